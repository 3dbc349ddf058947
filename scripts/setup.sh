#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the main job need. Idempotent:
# packages already present are not fetched again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev
  nlohmann-json3-dev libjpeg62-turbo-dev libpng-dev zlib1g-dev libxxhash-dev
  libopenblas-dev libdnnl-dev libicu-dev
  libjpeg-turbo-progs python3 python3-pil python3-numpy
  golang-1.19-src
  fonts-dejavu-core libonnx-testdata python3-onnx
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
