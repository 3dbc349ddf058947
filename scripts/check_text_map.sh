#!/usr/bin/env bash
# Checks the main job's output against ONNX Runtime: preprocesses the same image the same way
# (RGB to BGR, /255, ImageNet mean and deviation), runs the ONNX text detector on ONNX Runtime
# and compares its probability map, as bytes, with the map scripts/run.sh wrote.
#   scripts/check_text_map.sh [IMAGE] [MAP.ppm]   (run scripts/run.sh first)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
image="${1:-$root/examples/data/text.png}"
map="${2:-$root/build/text_map.ppm}"
onnx="$root/models/ch_PP-OCRv4_det_infer.onnx"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bash bench/setup_ort.sh
/usr/bin/python3 - "$image" "$work/input.f32" <<'PY'
import sys
import numpy as np
from PIL import Image
rgb = np.asarray(Image.open(sys.argv[1]).convert("RGB").resize((640, 640), Image.BILINEAR),
                 dtype=np.float32) / 255.0
mean = np.array([0.485, 0.456, 0.406], np.float32)
std = np.array([0.229, 0.224, 0.225], np.float32)
x = ((rgb[:, :, ::-1] - mean) / std).transpose(2, 0, 1)[None]
x.astype("<f4").tofile(sys.argv[2])
PY
node bench/ort_bench.js "$onnx" "$work/input.f32" 1,3,640,640 "$(nproc)" 1 "$work/ort.f32" >/dev/null
/usr/bin/python3 - "$work/ort.f32" "$map" <<'PY'
import sys
import numpy as np
from PIL import Image
ref = np.clip(np.round(np.fromfile(sys.argv[1], np.float32).reshape(640, 640) * 255), 0, 255)
ours = np.asarray(Image.open(sys.argv[2]).convert("L"), dtype=np.float32)
if ours.shape != ref.shape:
    sys.exit(f"check_text_map: map is {ours.shape}, reference {ref.shape}")
d = np.abs(ours - ref)
print(f"max byte difference {d.max():.0f}, mean {d.mean():.5f}, pixels off by more than 2: "
      f"{int((d > 2).sum())}")
sys.exit(0 if d.max() <= 2 else 1)
PY
