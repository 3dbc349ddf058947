#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: once in release, once under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build --output-on-failure -j "$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXA_SANITIZE=ON -DVEXA_BENCH=OFF
ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE no_sanitizer
