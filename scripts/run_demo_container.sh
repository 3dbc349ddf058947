#!/usr/bin/env bash
# Builds the library and writes, reopens and summarises a small demo container.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release
./build/vexa-demo-container
