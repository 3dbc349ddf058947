#!/usr/bin/env bash
# Latency of our engines beside ONNX Runtime on the same ONNX files and inputs, at one thread
# and at every core. Exports the models with fresh random weights (python3-torch), converts
# them with vexa-convert, and prints per model and thread count the medians of: the CPU engine
# alone (engine_ms, as bench_model runs it), and through the C API the CPU backend (cpu_ms), the
# GPU backend (gpu_ms) and AUTO (auto_ms, the backend an application gets by default), ORT's
# median, then the ratios engine / ORT, GPU / CPU and AUTO / CPU (below 1 means faster) and the
# largest difference of the GPU backend's output from ORT's.
#
#   bench/run_vs_ort.sh [model ...]       (default: every exported model)
# Environment: BUILD_DIR (default build-bench), RUNS (default 20), THREADS_ALL (default nproc),
# ROUNDS (default 1: alternating runs of every side per point, the median of each side kept),
# PIN_CPU (the core every side shares at one thread; default the last one allowed).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build-bench}"
runs="${RUNS:-20}"
all="${THREADS_ALL:-$(nproc)}"
rounds="${ROUNDS:-1}"
median_of() { printf "%s\n" "$@" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
models_dir="$build/bench_models"

bash "$root/bench/setup_ort.sh"
if ! /usr/bin/python3 -c "import torch" 2>/dev/null; then
  echo "run_vs_ort: installing python3-torch" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends python3-torch
fi

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEXA_BENCH=ON >/dev/null
fi
cmake --build "$build" --target bench_model bench_session vexa-convert >/dev/null

if [ ! -f "$models_dir/manifest.tsv" ]; then
  /usr/bin/python3 "$root/bench/models/export_models.py" "$models_dir" 2>/dev/null
fi
# The main job's text detector joins when it has been fetched (scripts/fetch_ocr_model.sh).
ocr="$root/models/ch_PP-OCRv4_det_infer.onnx"
if [ -f "$ocr" ] && ! grep -q "^ppocr_det" "$models_dir/manifest.tsv"; then
  ln -sf "$ocr" "$models_dir/ppocr_det.onnx"
  /usr/bin/python3 -c "import numpy as np; np.random.default_rng(7).random((1, 3, 640, 640), dtype=np.float32).astype('<f4').tofile('$models_dir/ppocr_det.input.f32')"
  printf "ppocr_det\tx\t1,3,640,640\t--input x=1x3x640x640\n" >>"$models_dir/manifest.tsv"
fi

wanted=("$@")
# The last core this script may run on (PIN_CPU overrides; empty without taskset).
pin_cpu="${PIN_CPU-}"
if [ -z "$pin_cpu" ] && command -v taskset >/dev/null; then
  pin_cpu=$(taskset -cp $$ | sed 's/.*: //' | tr ',' '\n' | tail -n 1 | sed 's/.*-//')
fi
# Other processes on the machine distort the all-cores figures most: show the load.
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg), cores: $(nproc)"
printf "%-14s %7s %10s %10s %10s %10s %10s %7s %7s %7s %13s\n" model threads engine_ms cpu_ms \
  gpu_ms auto_ms ort_ms eng/ort gpu/cpu auto/cpu gpu_max_diff
while IFS=$'\t' read -r name _input shape convert_args; do
  if [ ${#wanted[@]} -gt 0 ] && [[ ! " ${wanted[*]} " =~ " $name " ]]; then continue; fi
  onnx="$models_dir/$name.onnx"
  vexa="$models_dir/$name.vexa"
  input="$models_dir/$name.input.f32"
  ref="$models_dir/$name.ort.f32"
  # shellcheck disable=SC2086  # the manifest's options are words
  if ! "$build/vexa-convert" ${convert_args:-} "$onnx" "$vexa" >"$models_dir/$name.convert.log" 2>&1; then
    printf "%-14s conversion failed: %s\n" "$name" "$(tail -n 3 "$models_dir/$name.convert.log" | tr '\n' ' ')"
    continue
  fi
  for t in 1 "$all"; do
    # One thread: every side on the same core, so none is moved between cores mid-run.
    pin=()
    if [ "$t" = 1 ] && [ -n "$pin_cpu" ]; then pin=(taskset -c "$pin_cpu"); fi
    # On a shared machine one run can land in a slow minute for any side: the sides alternate
    # `rounds` times and each side's figure is the median of its rounds.
    ort_all="" engine_all="" cpu_all="" gpu_all="" auto_all="" failed="" diff=""
    for _ in $(seq "$rounds"); do
      ort_all="$ort_all $("${pin[@]}" node "$root/bench/ort_bench.js" "$onnx" "$input" "$shape" "$t" "$runs" "$ref" |
                          awk '/^median_ms/ {print $2}')"
      if ! out=$("${pin[@]}" "$build/bench/bench_model" "$vexa" "$input" "$t" "$runs" "$ref" 2>&1); then
        failed="engine: $(echo "$out" | tail -n 1)"
        break
      fi
      engine_all="$engine_all $(echo "$out" | awk '/^median_ms/ {print $2}')"
      for side in cpu gpu auto; do
        if ! out=$("${pin[@]}" "$build/bench/bench_session" "$vexa" "$input" "$t" "$runs" "$side" "$ref" 2>&1); then
          failed="$side: $(echo "$out" | tail -n 1)"
          break 2
        fi
        ms=$(echo "$out" | awk '/^median_ms/ {print $2}')
        case $side in
          cpu) cpu_all="$cpu_all $ms" ;;
          gpu) gpu_all="$gpu_all $ms"; diff=$(echo "$out" | awk '/^max_abs_diff/ {print $2}') ;;
          auto) auto_all="$auto_all $ms" ;;
        esac
      done
    done
    if [ -n "$failed" ]; then
      printf "%-14s %7s run failed: %s\n" "$name" "$t" "$failed"
      continue
    fi
    ort=$(median_of $ort_all)
    engine=$(median_of $engine_all)
    cpu=$(median_of $cpu_all)
    gpu=$(median_of $gpu_all)
    auto=$(median_of $auto_all)
    ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
    printf "%-14s %7s %10s %10s %10s %10s %10s %7s %7s %7s %13s\n" "$name" "$t" "$engine" "$cpu" \
      "$gpu" "$auto" "$ort" "$(ratio "$engine" "$ort")" "$(ratio "$gpu" "$cpu")" \
      "$(ratio "$auto" "$cpu")" "$diff"
  done
done <"$models_dir/manifest.tsv"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
