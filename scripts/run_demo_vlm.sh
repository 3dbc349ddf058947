#!/usr/bin/env bash
# Installs what is needed, builds, writes the tiny generative test model (random weights: its
# answers are not meant to make sense) and runs one image-and-text request through it with
# vexa-chat, streaming the answer as it is generated and writing the generation report.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release
out=/tmp/vexa-demo-vlm
mkdir -p "$out"
./build/tests/support/vexa-write-tiny-vlm "$out/tiny-vlm.vexa"
./build/vexa-chat --model "$out/tiny-vlm.vexa" --image examples/data/text.png \
  --prompt "Describe this picture." --max-new-tokens 32 --temperature 0.7 --seed 1 \
  --stream --report "$out/report.json"
echo "generation report: $out/report.json"
