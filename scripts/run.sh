#!/usr/bin/env bash
# Installs what is needed, builds the library and runs the main job through the C API.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release
./build/vexa-demo-container
