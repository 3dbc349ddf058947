#!/usr/bin/env bash
# Installs ONNX Runtime for Node (CPU binaries only: the package's install script would fetch
# GPU files, so it is skipped) into bench/node/, which git ignores. Idempotent.
set -euo pipefail
cd "$(dirname "$0")"
if [ -d node/node_modules/onnxruntime-node ]; then
  exit 0
fi
mkdir -p node
cd node
[ -f package.json ] || echo '{ "private": true }' > package.json
npm install --silent --no-audit --no-fund --ignore-scripts onnxruntime-node
