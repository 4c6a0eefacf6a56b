'use strict';
// "cameraPreviewGetLatest" of a 960x540 slot (2,073,600 bytes) from a running 1080p30 preview,
// with a caller-supplied Uint8Array and without (a new Buffer per call), beside a memcpy of the
// same bytes (TypedArray.prototype.set between two buffers) in the same run. Every call asks
// with sequence 0, so every call copies the slot.
//
//   node bench/preview/preview_bench.js [calls=400]
process.env.CNOKHWA_SYNTHETIC_CAMERAS = '1920x1080@30';
const path = require('node:path');
const addon = require('../..');

const CALLS = Number(process.argv[2] || 400);
const ROUNDS = 5;
const buildDir = process.env.ZENTRI_NATIVE_BUILD_DIR || path.join(__dirname, '..', '..', 'build');

function microsPerCall(fn) {
  const start = process.hrtime.bigint();
  for (let i = 0; i < CALLS; i++) fn();
  return Number(process.hrtime.bigint() - start) / 1000 / CALLS;
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

async function main() {
  if (!addon.loadCameraBackend(path.join(buildDir, 'libcnokhwa.so'))) throw new Error(addon.getLastError());
  const index = addon.cameraDevicesCount() - 1;
  if (addon.cameraStartCapture(index, 0, 0) !== 0 || addon.cameraPreviewStart(index, 960, 540, 30) !== 0) {
    throw new Error('could not start the synthetic camera preview');
  }
  let first;
  for (;;) {
    first = addon.cameraPreviewGetLatest(index, 0);
    if (first.result === 0) break;
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  const bytes = first.data.length;
  const target = new Uint8Array(bytes);
  const source = Buffer.from(first.data);
  const copy = new Uint8Array(bytes);

  const withTarget = [];
  const withoutTarget = [];
  const memcpy = [];
  for (let round = 0; round < ROUNDS; round++) {
    withTarget.push(microsPerCall(() => {
      if (addon.cameraPreviewGetLatest(index, 0, target).result !== 0) throw new Error('no frame');
    }));
    withoutTarget.push(microsPerCall(() => {
      if (addon.cameraPreviewGetLatest(index, 0).result !== 0) throw new Error('no frame');
    }));
    memcpy.push(microsPerCall(() => copy.set(source)));
  }
  addon.cameraStopCapture();
  const t = median(withTarget);
  const n = median(withoutTarget);
  const m = median(memcpy);
  console.log(`cameraPreviewGetLatest, ${bytes} bytes per call, median of ${ROUNDS} x ${CALLS} calls:`);
  console.log(`  with a Uint8Array target   ${t.toFixed(1)} us   ${(t / m).toFixed(2)} x memcpy (target <= 1.5)`);
  console.log(`  without a target           ${n.toFixed(1)} us   ${(n / m).toFixed(2)} x memcpy`);
  console.log(`  memcpy of the same bytes   ${m.toFixed(1)} us`);
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
