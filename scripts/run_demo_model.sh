#!/usr/bin/env bash
# Installs what is needed, builds the library and runs the demo model through the C API: a small
# demo classifier is written, then opened and run on a test image by an example program that
# links only the public library.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release
model=/tmp/vexa-demo-model.vexa
./build/vexa-make-demo-model "$model"
image=../shared/testdata/images/jpeg-testimages/testorig.jpg
if [ -f "$image" ]; then
  ./build/example_run_model "$model" "$image"
else
  ./build/example_run_model "$model"
fi
