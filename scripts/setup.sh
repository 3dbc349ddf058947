#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the main job need, down to what a
# minimal Debian 12 system (mmdebstrap --variant=apt) lacks. Idempotent and quiet: packages
# already present are not fetched again, and apt's output is shown only when it fails.
#   scripts/setup.sh [EXTRA_PACKAGE...]     (scripts/fuzz.sh adds clang this way)
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates
  libgtest-dev libgmock-dev
  nlohmann-json3-dev libjpeg62-turbo-dev libpng-dev zlib1g-dev libxxhash-dev
  libopenblas-dev libdnnl-dev libicu-dev
  libjpeg-turbo-progs python3 python3-pil python3-numpy locales
  golang-1.19-src
  fonts-dejavu-core libonnx-testdata python3-onnx python3-torch
  "$@"
)
# Node and npm fetch the main job's model; a machine that already has its own keeps them.
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  if ! { apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"; } \
      >"$log" 2>&1; then
    cat "$log" >&2
    echo "setup: apt-get failed" >&2
    exit 1
  fi
fi
