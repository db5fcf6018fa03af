// ONNX Runtime baseline for encoder_bench: runs the model exported by
// torch_bench.py --onnx on the chunks written by encoder_bench --write-chunks,
// on the real tokens only and on all 512 padded positions.
//
// Setup (once, in this folder): npm install --no-save --ignore-scripts onnxruntime-node
// Usage: node bench/encoder/ort_bench.js MODEL.onnx CHUNKS.json [THREADS]
'use strict';
const fs = require('fs');
const path = require('path');
const ort = require(path.join(__dirname, 'node_modules', 'onnxruntime-node'));

function cpuMs() {
  const u = process.cpuUsage();
  return (u.user + u.system) / 1000;
}

async function timed(items, fn) {
  const wall = process.hrtime.bigint();
  const cpu = cpuMs();
  await fn();
  return [Number(process.hrtime.bigint() - wall) / 1e6 / items, (cpuMs() - cpu) / items];
}

function tensors(ids, mask) {
  return {
    input_ids: new ort.Tensor('int64', BigInt64Array.from(ids.map(BigInt)), [1, ids.length]),
    attention_mask: new ort.Tensor('int64', BigInt64Array.from(mask.map(BigInt)), [1, mask.length]),
  };
}

async function main() {
  const [modelPath, chunksPath, threadsText] = process.argv.slice(2);
  const threads = Number(threadsText || 2);
  const session = await ort.InferenceSession.create(modelPath, {
    intraOpNumThreads: threads, interOpNumThreads: 1, graphOptimizationLevel: 'all', executionMode: 'sequential',
  });
  const rows = JSON.parse(fs.readFileSync(chunksPath, 'utf8'));
  const full = rows.map((r) => tensors(r.input_ids, r.attention_mask));
  const real = rows.map((r) => {
    const n = r.attention_mask.reduce((a, b) => a + b, 0);
    return tensors(r.input_ids.slice(0, n), r.attention_mask.slice(0, n));
  });
  await session.run(real[0]);
  const tReal = await timed(real.length, async () => { for (const feeds of real) await session.run(feeds); });
  const few = full.slice(0, 8);
  const tFull = await timed(few.length, async () => { for (const feeds of few) await session.run(feeds); });
  const fmt = (t) => `${t[0].toFixed(2).padStart(8)} / ${t[1].toFixed(2).padStart(8)}`;
  console.log(`onnxruntime-node, ${threads} threads (ms per chunk, wall / cpu):`);
  console.log(`  real tokens only, one chunk per call  ${fmt(tReal)}`);
  console.log(`  all 512 positions, one chunk per call ${fmt(tFull)}`);
}

main().catch((e) => { console.error(e); process.exit(1); });
