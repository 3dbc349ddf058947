#!/usr/bin/env node
// Times one ONNX model on ONNX Runtime (CPU) as the speed and output reference.
// Usage: node ort_bench.js MODEL.onnx INPUT.f32 SHAPE(comma list) THREADS RUNS [OUT.f32]
// Prints one line "median_ms <x>" and, when OUT is given, writes output 0 as raw f32.
'use strict';
const fs = require('fs');
const path = require('path');

// The package lives in bench/node/node_modules (bench/setup_ort.sh) unless NODE_PATH says so.
let ort;
try {
  ort = require('onnxruntime-node');
} catch (e) {
  ort = require(path.join(__dirname, 'node', 'node_modules', 'onnxruntime-node'));
}

const WARMUP_RUNS = 3;

async function main() {
  const [modelPath, inputPath, shapeText, threadsText, runsText, outPath] = process.argv.slice(2);
  if (!runsText) {
    console.error('usage: ort_bench.js MODEL INPUT SHAPE THREADS RUNS [OUT]');
    process.exit(2);
  }
  const threads = parseInt(threadsText, 10);
  const runs = Math.max(1, parseInt(runsText, 10));
  const shape = shapeText.split(',').map((d) => parseInt(d, 10));
  const raw = fs.readFileSync(inputPath);
  const data = new Float32Array(raw.buffer, raw.byteOffset, raw.byteLength / 4);
  const session = await ort.InferenceSession.create(modelPath, {
    intraOpNumThreads: threads,
    interOpNumThreads: 1,
    executionMode: 'sequential',
    graphOptimizationLevel: 'all',
  });
  const feeds = {};
  feeds[session.inputNames[0]] = new ort.Tensor('float32', data, shape);
  let result;
  for (let i = 0; i < WARMUP_RUNS; ++i) result = await session.run(feeds);
  const times = [];
  for (let i = 0; i < runs; ++i) {
    const t0 = process.hrtime.bigint();
    result = await session.run(feeds);
    times.push(Number(process.hrtime.bigint() - t0) / 1e6);
  }
  times.sort((a, b) => a - b);
  console.log(`median_ms ${times[Math.floor(times.length / 2)].toFixed(3)}`);
  if (outPath) {
    const out = result[session.outputNames[0]].data;
    fs.writeFileSync(outPath, Buffer.from(out.buffer, out.byteOffset, out.byteLength));
  }
}

main().catch((e) => {
  console.error(`ort_bench: ${e.message}`);
  process.exit(1);
});
