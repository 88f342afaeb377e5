// Runs an ONNX model in ONNX Runtime's CPU engine on request, as a baseline for
// bench/inference.py, which times it in turn with the other engines.
//
//   node ort_run.js MODEL INPUT.f32 DIMS OUTPUT.f32 THREADS
//
// INPUT.f32 holds the float32 input of dims DIMS ("1,3,224,224"). Once the model is loaded
// and warmed up, prints {"dims": [...]} (the first output's); then each line "run" on standard
// input runs the model once and prints {"ms": time of that run}. At the end of standard input
// the first output of the last run is written to OUTPUT.f32. One JSON object a line.
// The package is found through NODE_PATH (bench/inference.py points it into the build tree).
'use strict';
const fs = require('fs');
const readline = require('readline');
const ort = require('onnxruntime-node');

const WARMUP = 3;

async function main() {
  const [model, inputPath, dimsText, outputPath, threadsText] = process.argv.slice(2);
  const session = await ort.InferenceSession.create(model, {
    executionProviders: ['cpu'],
    intraOpNumThreads: Number(threadsText),
    interOpNumThreads: 1,
    executionMode: 'sequential',
    graphOptimizationLevel: 'all',
  });
  const bytes = fs.readFileSync(inputPath);
  const data = new Float32Array(bytes.buffer, bytes.byteOffset, bytes.byteLength / 4);
  const feeds = {[session.inputNames[0]]: new ort.Tensor('float32', data, dimsText.split(',').map(Number))};
  let result;
  for (let i = 0; i < WARMUP; i++) {
    result = await session.run(feeds);
  }
  const output = () => result[session.outputNames[0]];
  console.log(JSON.stringify({dims: output().dims}));
  for await (const line of readline.createInterface({input: process.stdin})) {
    if (line.trim() !== 'run') {
      throw new Error(`unknown request '${line}'`);
    }
    const start = process.hrtime.bigint();
    result = await session.run(feeds);
    console.log(JSON.stringify({ms: Number(process.hrtime.bigint() - start) / 1e6}));
  }
  const values = output().data;
  fs.writeFileSync(outputPath, Buffer.from(values.buffer, values.byteOffset, values.byteLength));
}

main().catch((error) => {
  console.error(`ort_run: ${error.message || error}`);
  process.exit(1);
});
