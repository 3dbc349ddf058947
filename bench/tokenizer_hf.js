// Hugging Face tokenizers' encode throughput on the same corpus file and tokenizer.json as
// bench_tokenizer, printed in the same form:
//   hf <median_ms> <bytes> <tokens> <ids_hash>
// One encodeBatch call per pass over the NUL-separated texts; run with TOKENIZERS_PARALLELISM=false
// (and RAYON_NUM_THREADS=1) so the batch is encoded on one thread.
//
//   node tokenizer_hf.js TOKENIZER_JSON CORPUS [RUNS]
'use strict';
const fs = require('fs');
const { Tokenizer } = require('tokenizers');

const kWarmupRuns = 2;

// FNV-1a over the ids in 64 bits, as bench_tokenizer computes it.
function hashIds(encodings) {
  let h = 1469598103934665603n;
  const mask = (1n << 64n) - 1n;
  for (const e of encodings) {
    for (const id of e.getIds()) h = ((h ^ BigInt(id)) * 1099511628211n) & mask;
  }
  return h.toString(16).padStart(16, '0');
}

async function main() {
  const [tokenizerPath, corpusPath, runsArg] = process.argv.slice(2);
  const runs = Math.max(1, parseInt(runsArg || '10', 10));
  const tokenizer = Tokenizer.fromFile(tokenizerPath);
  const corpus = fs.readFileSync(corpusPath);
  const texts = corpus.toString('utf8').split('\0');
  const bytes = corpus.length - (texts.length - 1);
  let tokens = 0;
  let hash = '';
  const times = [];
  for (let run = 0; run < kWarmupRuns + runs; ++run) {
    const start = process.hrtime.bigint();
    const encodings = await tokenizer.encodeBatch(texts);
    const ms = Number(process.hrtime.bigint() - start) / 1e6;
    if (run === 0) {
      tokens = encodings.reduce((n, e) => n + e.getIds().length, 0);
      hash = hashIds(encodings);
    }
    if (run >= kWarmupRuns) times.push(ms);
  }
  times.sort((a, b) => a - b);
  console.log(`hf ${times[Math.floor(times.length / 2)].toFixed(3)} ${bytes} ${tokens} ${hash}`);
}

main();
