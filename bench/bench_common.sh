# shellcheck shell=bash
# Sourced by the side-by-side benchmark scripts after they set `root` (the source tree): the
# build folder, a median, the benchmark build configured once, and the core a one-thread side
# is pinned to.
build="${BUILD_DIR:-$root/build-bench}"
median_of() { printf "%s\n" "$@" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

bench_configure() {
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEXA_BENCH=ON >/dev/null
  fi
}

# The last core this script may run on (PIN_CPU overrides; empty without taskset).
bench_pin_cpu() {
  local cpu="${PIN_CPU-}"
  if [ -z "$cpu" ] && command -v taskset >/dev/null; then
    cpu=$(taskset -cp $$ | sed 's/.*: //' | tr ',' '\n' | tail -n 1 | sed 's/.*-//')
  fi
  printf "%s" "$cpu"
}
