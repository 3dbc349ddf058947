#!/usr/bin/env bash
# Builds the fuzz configuration (clang's libFuzzer; the library itself carries coverage and
# ASan+UBSan) in build-fuzz and runs every fuzz target, tests/fuzz/fuzz_*.cpp, for SECONDS
# each, as many at once as there are cores. Each target starts from a scratch copy of its
# committed seed corpus, tests/fuzz/corpus/NAME, which is never written. Prints per target its
# executions, coverage (libFuzzer's cov: edges, ft: features) and whether it found anything;
# findings and logs stay under build-fuzz/fuzz-run. Exits non-zero when anything was found.
#   scripts/fuzz.sh [SECONDS]      (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [SECONDS]" >&2
  exit 2
fi

bash scripts/setup.sh clang libclang-rt-14-dev
build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVEXA_FUZZ=ON -DVEXA_BENCH=OFF >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }

targets=()
for src in tests/fuzz/fuzz_*.cpp; do
  targets+=("$(basename "$src" .cpp)")
done
echo "fuzz: building ${targets[*]}"
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >"$build/fuzz-build.log" 2>&1 ||
  { tail -n 60 "$build/fuzz-build.log"; exit 1; }

run="$build/fuzz-run"
rm -rf "$run"
mkdir -p "$run"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# fuzz_one NAME: one target for the given time in its own folder.
fuzz_one() {
  local name=$1 comp=${1#fuzz_}
  local dir="$run/$comp"
  mkdir -p "$dir/corpus" "$dir/findings"
  if [ -d "tests/fuzz/corpus/$comp" ]; then
    cp -R "tests/fuzz/corpus/$comp/." "$dir/corpus/"
  fi
  # A single input that takes more than 60 s is reported as a hang: a legitimate one can take
  # a third of that on a busy machine (a 239-byte JPEG may declare 83 million pixels, within
  # the decoder's limits: 7 s instrumented on an idle core, 24 s under load).
  (cd "$dir" && "$build/tests/$name" -max_total_time="$seconds" -print_final_stats=1 \
     -timeout=60 -artifact_prefix="$dir/findings/" "$dir/corpus") >"$dir/log" 2>&1 || true
}

echo "fuzz: running ${#targets[@]} targets for ${seconds}s each, up to $(nproc) at once"
running=0
for name in "${targets[@]}"; do
  if [ "$running" -ge "$(nproc)" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_one "$name" &
  running=$((running + 1))
done
wait

found=0
printf '%-22s %12s %8s %9s %8s  %s\n' target executions cov ft corpus result
for name in "${targets[@]}"; do
  comp=${name#fuzz_}
  dir="$run/$comp"
  # The last status line ("#N DONE cov: C ft: F corp: U/...") and the final stats.
  status=$(grep -E '^#[0-9]+' "$dir/log" | tail -n 1 || true)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -n 1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$status")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$status")
  corp=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$status")
  # Crashes, leaks, hangs and memory blow-ups are findings; libFuzzer also keeps inputs that
  # merely took over 10 s (slow-unit-*), which are listed but fail nothing.
  findings=$(cd "$dir/findings" && ls -A | grep -v '^slow-unit-' | tr '\n' ' ' || true)
  slow=$(cd "$dir/findings" && ls -A | grep -c '^slow-unit-' || true)
  if [ -n "$findings" ] || ! grep -q '^stat::number_of_executed_units' "$dir/log" ||
     grep -q '^==[0-9]*==ERROR\|runtime error:' "$dir/log"; then
    result="FOUND: ${findings:-see log} (in $dir)"
    found=1
  else
    result="no finding"
  fi
  if [ "$slow" -gt 0 ]; then result="$result; $slow slow input(s) kept in $dir/findings"; fi
  printf '%-22s %12s %8s %9s %8s  %s\n' "$name" "${execs:-?}" "${cov:-?}" "${ft:-?}" \
    "${corp:-?}" "$result"
done
echo "fuzz: logs in $run/NAME/log"
exit "$found"
