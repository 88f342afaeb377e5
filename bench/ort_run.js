// Times an ONNX model in ONNX Runtime's CPU engine, as a baseline for bench/inference.py.
//
//   node ort_run.js MODEL INPUT.f32 DIMS OUTPUT.f32 [WARMUP RUNS THREADS]
//
// INPUT.f32 holds the float32 input of dims DIMS ("1,3,224,224"); the first output of the last
// run is written to OUTPUT.f32. Prints one JSON line: {"times_ms": [...], "dims": [...]}.
// The package is found through NODE_PATH (bench/inference.py points it into the build tree).
'use strict';
const fs = require('fs');
const os = require('os');
const ort = require('onnxruntime-node');

async function main() {
  const [model, inputPath, dimsText, outputPath, warmupText, runsText, threadsText] = process.argv.slice(2);
  const warmup = Number(warmupText || 3);
  const runs = Number(runsText || 10);
  const threads = Number(threadsText || os.cpus().length);
  const session = await ort.InferenceSession.create(model, {
    executionProviders: ['cpu'],
    intraOpNumThreads: threads,
    interOpNumThreads: 1,
    executionMode: 'sequential',
    graphOptimizationLevel: 'all',
  });
  const bytes = fs.readFileSync(inputPath);
  const data = new Float32Array(bytes.buffer, bytes.byteOffset, bytes.byteLength / 4);
  const dims = dimsText.split(',').map(Number);
  const feeds = {[session.inputNames[0]]: new ort.Tensor('float32', data, dims)};
  let result;
  for (let i = 0; i < warmup; i++) {
    result = await session.run(feeds);
  }
  const times = [];
  for (let i = 0; i < runs; i++) {
    const start = process.hrtime.bigint();
    result = await session.run(feeds);
    times.push(Number(process.hrtime.bigint() - start) / 1e6);
  }
  const output = result[session.outputNames[0]];
  fs.writeFileSync(outputPath, Buffer.from(output.data.buffer, output.data.byteOffset, output.data.byteLength));
  console.log(JSON.stringify({times_ms: times, dims: output.dims}));
}

main().catch((error) => {
  console.error(`ort_run: ${error.message || error}`);
  process.exit(1);
});
