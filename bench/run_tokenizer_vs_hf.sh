#!/usr/bin/env bash
# Encode throughput of our tokenizer beside Hugging Face tokenizers (npm `tokenizers`) on the
# same corpora and the same tokenizer.json (tests/fixtures/tokenizer), single thread, both
# pinned to one core, in the same run. Per corpus: MB/s and tokens/s of each side, the speed
# ratio (ours over the reference; above 1 means faster), and whether both produced the same ids.
#
#   bench/run_tokenizer_vs_hf.sh [corpus ...]     (english, code, chat; default all)
# Environment: BUILD_DIR (default build-bench), RUNS (timed passes per side per round, default 10),
# ROUNDS (alternating rounds of both sides, median kept, default 3), MIB (corpus size, default 2),
# PIN_CPU (default the last core allowed).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=bench/bench_common.sh
. "$root/bench/bench_common.sh"
runs="${RUNS:-10}"
rounds="${ROUNDS:-3}"
mib="${MIB:-2}"
corpus_dir="$build/tokenizer_corpus"
tokenizer_json="$root/tests/fixtures/tokenizer/tokenizer.json"

bash "$root/bench/setup_tokenizers.sh"
bench_configure
cmake --build "$build" --target bench_tokenizer >/dev/null
if [ ! -f "$corpus_dir/english.txt" ]; then
  /usr/bin/python3 "$root/bench/tokenizer_corpus.py" "$corpus_dir" "$mib"
fi

pin_cpu=$(bench_pin_cpu)
pin=()
[ -n "$pin_cpu" ] && pin=(taskset -c "$pin_cpu")
# The reference encodes a batch; these keep it on one thread.
export TOKENIZERS_PARALLELISM=false RAYON_NUM_THREADS=1 UV_THREADPOOL_SIZE=1
export NODE_PATH="$root/bench/node/node_modules"

echo "cpu: $(lscpu | sed -n 's/^Model name: *//p' | head -n 1), pinned to core ${pin_cpu:-none}, 1 thread"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-8s %7s %9s %10s %10s %9s %9s %12s %12s %7s %s\n" corpus MB tokens ours_ms hf_ms \
  ours_MB/s hf_MB/s ours_tok/s hf_tok/s ratio ids
wanted=("$@")
[ ${#wanted[@]} -eq 0 ] && wanted=(english code chat)
for name in "${wanted[@]}"; do
  corpus="$corpus_dir/$name.txt"
  ours=() ; theirs=()
  for ((r = 0; r < rounds; r++)); do
    read -r _ ms bytes tokens ours_hash < <("${pin[@]}" "$build/bench/bench_tokenizer" "$root/tests/fixtures" "$corpus" "$runs")
    ours+=("$ms")
    read -r _ hf_ms _ hf_tokens hf_hash < <("${pin[@]}" node "$root/bench/tokenizer_hf.js" "$tokenizer_json" "$corpus" "$runs")
    theirs+=("$hf_ms")
  done
  o=$(median_of "${ours[@]}")
  h=$(median_of "${theirs[@]}")
  same="same"
  [ "$ours_hash" != "$hf_hash" ] || [ "$tokens" != "$hf_tokens" ] && same="DIFFERENT"
  awk -v n="$name" -v b="$bytes" -v t="$tokens" -v o="$o" -v h="$h" -v s="$same" 'BEGIN {
    printf "%-8s %7.2f %9d %10.1f %10.1f %9.1f %9.1f %12.0f %12.0f %7.2f %s\n", n, b / 1e6, t, o, h,
      b / 1e6 / (o / 1e3), b / 1e6 / (h / 1e3), t / (o / 1e3), t / (h / 1e3), h / o, s }'
done
