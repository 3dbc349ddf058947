#!/usr/bin/env bash
# The main job: installs what is needed, builds the library, fetches the PP-OCRv4 text
# detector, converts it to a .vexa container with its input bound to 1x3x640x640, runs it on
# the project's text page through the public C API and writes the text probability map.
#   scripts/run.sh [IMAGE]      (default: examples/data/text.png)
# Smaller demos: scripts/run_demo_model.sh (a built-in classifier), scripts/run_demo_container.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build"
image="${1:-$root/examples/data/text.png}"

bash scripts/setup.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" --target vexa vexa-convert example_detect_text

onnx=$(bash scripts/fetch_ocr_model.sh | tail -n 1)
model="$root/models/ch_PP-OCRv4_det.vexa"
"$build/vexa-convert" --input x=1x3x640x640 "$onnx" "$model"

map="$build/text_map.ppm"
"$build/example_detect_text" "$model" "$image" "$map"
echo "text probability map written to $map"
