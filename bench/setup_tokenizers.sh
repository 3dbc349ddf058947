#!/usr/bin/env bash
# Installs Hugging Face tokenizers for Node (npm `tokenizers`, prebuilt native binding) into
# bench/node/, which git ignores. Idempotent.
set -euo pipefail
cd "$(dirname "$0")"
if [ -d node/node_modules/tokenizers ]; then
  exit 0
fi
mkdir -p node
cd node
[ -f package.json ] || echo '{ "private": true }' > package.json
npm install --silent --no-audit --no-fund tokenizers
