'use strict';
// Every script function of the addon, called with argument lists made of every kind of script
// value, while a synthetic camera captures and previews, a camera and an external recording run,
// and the Dino-Lite and Zentri libraries are loaded: nothing may crash the process, hang, or
// escape as anything but an ordinary exception or a rejected promise.
const test = require('node:test');
const assert = require('node:assert');
const { spawnSync } = require('node:child_process');
const { rootDir, buildPath, tempDir } = require('./helpers');

const script = `
const z = require(${JSON.stringify(rootDir)});
const build = ${JSON.stringify(buildPath(''))};
const values = [undefined, null, true, -1, 0, 1, 2 ** 31, -(2 ** 31) - 1, 2 ** 53, NaN, Infinity,
  -Infinity, 1.5, '', 'abc', 'x'.repeat(70000), '\\u0000\\ud800', {}, [], [1, 2, 3],
  { width: 1e9, height: -1 }, new Uint8Array(0), new Uint8Array(16), new Float32Array(4),
  Buffer.alloc(3), () => 1, Symbol('s'), 10n];
// Loading, disposing and stopping functions come last, so that everything else meets the loaded
// and running state.
const all = Object.keys(z).filter((k) => typeof z[k] === 'function');
const last = (k) => /^load|Dispose|StopCapture|RecordingStop/.test(k);
const names = [...all.filter((k) => !last(k)), ...all.filter(last)];
(async () => {
  if (!z.loadCameraBackend(build + '/libcnokhwa.so')) throw new Error(z.getLastError());
  if (z.cameraStartCapture(0, 640, 480) !== 0) throw new Error('capture did not start');
  for (let i = 0; i < 250 && z.cameraHasFirstFrame(0) !== 0; i++) {
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  if (z.cameraPreviewStart(0, 320, 240, 30) !== 0) throw new Error('preview did not start');
  z.loadDinoLite(build + '/simulators/libdinolite.so');
  z.dinoLiteInit();
  z.loadZentri(build + '/libzentri.so');
  if (z.externalRecordingStart('ext.mp4', 64, 48, 30, 1000000) !== 0) throw new Error(z.getLastError());
  if (z.cameraRecordingStart('cam.mp4', 320, 240, 30, 1000000) !== 0) throw new Error(z.getLastError());
  const pending = [];
  let calls = 0;
  for (const name of names) {
    for (let count = 0; count <= 6; count++) {
      for (let start = 0; start < values.length; start++) {
        const args = [];
        for (let a = 0; a < count; a++) args.push(values[(start + a * 7) % values.length]);
        calls++;
        try {
          const result = z[name](...args);
          if (result && typeof result.then === 'function') pending.push(result.catch(() => {}));
        } catch {
          // An ordinary exception is a specified answer for many of these.
        }
      }
    }
  }
  await Promise.all(pending);
  console.log('CALLS ' + calls + ' OF ' + names.length);
})().catch((error) => { console.log('SETUP FAILED ' + error.message); process.exitCode = 2; });
`;

test('every function survives every kind of argument while everything runs', (t) => {
  const dir = tempDir(t);
  const run = spawnSync(process.execPath, ['-e', script], {
    cwd: dir,
    encoding: 'utf8',
    timeout: 120_000,
    env: { ...process.env, CNOKHWA_SYNTHETIC_CAMERAS: '1' },
  });
  assert.equal(run.signal, null, `killed by ${run.signal}: ${run.stderr}`);
  assert.equal(run.status, 0, run.stdout + run.stderr);
  const match = /CALLS (\d+) OF (\d+)/.exec(run.stdout);
  assert.ok(match, run.stdout);
  assert.ok(Number(match[2]) > 100, `only ${match[2]} functions were called`);
});
