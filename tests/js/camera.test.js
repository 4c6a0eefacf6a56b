'use strict';
// The camera functions against the real capture library with its synthetic cameras: the answers
// before loading, loading, device and format queries, capture, and grabbed frames whose pattern
// and frame numbers are checked pixel by pixel.
const test = require('node:test');
const assert = require('node:assert/strict');
const { buildPath, loadAddon } = require('./helpers');

// Read by the library whenever it builds its device list.
process.env.CNOKHWA_SYNTHETIC_CAMERAS = '1280x720@30, 64x48@60';
const addon = loadAddon();

const SUMMARY =
  'Could not load Linux camera backend library (libcnokhwa). Set ZENTRI_NATIVE_DIR or pass explicit path.';

async function waitFor(check, what, timeoutMs = 5000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = check();
    if (value) {
      return value;
    }
    if (Date.now() > end) {
      assert.fail(`timed out waiting for ${what}`);
    }
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
}

// The synthetic pattern (documented in cnokhwa.h): frame number n in the top band, a moving
// gradient below.
function expectedPixel(n, x, y, height) {
  const band = Math.max(1, Math.floor(height / 8));
  if (y < band) {
    return [n & 255, (n >> 8) & 255, (n >> 16) & 255];
  }
  return [(x + 4 * n) & 255, (y + 2 * n) & 255, (x + y + n) & 255];
}

function frameNumber(data) {
  return data[0] | (data[1] << 8) | (data[2] << 16);
}

function syntheticIndex(k) {
  const count = addon.cameraDevicesCount();
  for (let i = 0; i < count; i++) {
    if (addon.cameraDeviceUniqueId(i) === `synthetic-${k}`) {
      return i;
    }
  }
  return assert.fail(`synthetic camera ${k} not listed`);
}

test('before loading, every camera function gives its neutral answer', () => {
  assert.equal(addon.cameraLoadPath(), '');
  assert.equal(addon.cameraBackend(), 'none');
  assert.equal(addon.cameraInitialize(), -6);
  assert.equal(addon.cameraHasVideoCaptureAuth(), -6);
  assert.equal(addon.cameraAskVideoCaptureAuth(), undefined);
  assert.equal(addon.cameraDevicesCount(), 0);
  for (const fn of ['cameraDeviceUniqueId', 'cameraDeviceModelId', 'cameraDeviceName']) {
    assert.equal(addon[fn](0), '', fn);
  }
  assert.deepEqual(addon.cameraDeviceFormats(0), []);
  assert.equal(addon.cameraStartCapture(0, 640, 480), -6);
  assert.equal(addon.cameraStartCapture(0, 640, 480, 2), -6);
  assert.equal(addon.cameraStopCapture(), -6);
  assert.equal(addon.cameraHasFirstFrame(0), -6);
  assert.deepEqual(addon.cameraFrameInfo(0), {
    width: -1,
    height: -1,
    bytesPerRow: -1,
    dataSize: -1,
    pixelFormat: 'rgb',
    planeOffsets: [0],
    planeStrides: [-1],
  });
  const raw = addon.cameraGrabFrame(0);
  assert.deepEqual(Object.keys(raw), ['width', 'height', 'bytesPerRow', 'pixelFormat', 'result', 'data']);
  assert.deepEqual(raw, { width: -1, height: -1, bytesPerRow: -1, pixelFormat: 'rgb', result: -10, data: null });
  assert.deepEqual(addon.cameraGrabFrameRgba(0), {
    sourceWidth: -1,
    sourceHeight: -1,
    sourceBytesPerRow: -1,
    result: -10,
    data: null,
  });
  assert.equal(addon.getLastError(), '', 'queries on an unloaded binding record nothing');
});

test('a failed load names the camera library, tries nothing else, and can be retried', () => {
  assert.equal(addon.loadCameraBackend(buildPath('no_such_camera_library.so')), false);
  assert.equal(addon.getLastError(), SUMMARY);
  assert.equal(addon.cameraBackend(), 'none');
  assert.equal(addon.cameraLoadPath(), '');

  const path = buildPath('libcnokhwa.so');
  assert.equal(addon.loadCameraBackend(path, 'ignored', true), true);
  assert.equal(addon.getLastError(), '');
  assert.equal(addon.cameraLoadPath(), path);
  assert.equal(addon.cameraBackend(), 'linux-v4l2');
  // Loaded for good: another path changes nothing.
  assert.equal(addon.loadCameraBackend(buildPath('fake_camera.so')), true);
  assert.equal(addon.cameraLoadPath(), path);
});

test('camera functions and constants follow unlockFile in their fixed order', () => {
  const keys = Object.keys(addon);
  const start = keys.indexOf('unlockFile') + 1;
  assert.deepEqual(keys.slice(start, start + 56), [
    'loadCameraBackend', 'loadTurboJpeg', 'turboJpegAvailable', 'turboJpegLoadPath', 'cameraLoadPath', 'cameraBackend', 'cameraInitialize',
    'cameraHasVideoCaptureAuth', 'cameraAskVideoCaptureAuth', 'cameraDevicesCount',
    'cameraDeviceUniqueId', 'cameraDeviceModelId', 'cameraDeviceName', 'cameraDeviceType',
    'cameraDeviceFormats', 'cameraStartCapture', 'cameraStopCapture', 'cameraHasFirstFrame',
    'cameraFrameInfo', 'cameraButtonPressed', 'cameraButtonTimestamp', 'cameraGrabFrame',
    'cameraGrabFrameRgba', 'cameraGrabEncodedFrame', 'cameraPreviewStart', 'cameraPreviewStop',
    'cameraPreviewIsRunning', 'cameraPreviewIsDirect', 'cameraPreviewReleaseDirectSlot',
    'cameraPreviewReleaseAllDirectSlots', 'cameraPreviewGetLatest',
    'cameraPreviewGetLatestQualityFrame', 'cameraRecordingAvailable', 'cameraRecordingStart',
    'cameraRecordingStop', 'cameraRecordingStatus', 'cameraHasVideoProcAmp',
    'cameraVideoProcAmpRange', 'cameraVideoProcAmpGet', 'cameraVideoProcAmpSet',
    'VIDEOPROCAMP_BRIGHTNESS', 'VIDEOPROCAMP_CONTRAST', 'VIDEOPROCAMP_HUE',
    'VIDEOPROCAMP_SATURATION', 'VIDEOPROCAMP_SHARPNESS', 'VIDEOPROCAMP_GAMMA',
    'VIDEOPROCAMP_COLORENABLE', 'VIDEOPROCAMP_WHITEBALANCE',
    'VIDEOPROCAMP_BACKLIGHTCOMPENSATION', 'VIDEOPROCAMP_GAIN', 'VIDEOPROCAMP_FLAG_AUTO',
    'VIDEOPROCAMP_FLAG_MANUAL', 'RESULT_OK', 'RESULT_YES', 'RESULT_NO', 'STATUS_AUTHORIZED',
  ]);
  const constants = keys.slice(start + 40, start + 56).map((k) => addon[k]);
  assert.deepEqual(constants, [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 1, 2, 0, 0, -256, 0]);
});

test('this platform answers the button, device type, VideoProcAmp and encoded frame as unavailable', () => {
  assert.equal(addon.cameraDeviceType(0), '');
  assert.equal(addon.cameraButtonPressed(0), 0);
  assert.equal(addon.cameraButtonTimestamp(0), 0);
  assert.equal(addon.cameraHasVideoProcAmp(), false);
  assert.throws(() => addon.cameraVideoProcAmpGet(0), { name: 'TypeError', message: 'Expected (deviceIndex, property)' });
  assert.throws(() => addon.cameraVideoProcAmpRange(), { message: 'Expected (deviceIndex, property)' });
  assert.throws(() => addon.cameraVideoProcAmpSet(0, 1, 2), {
    name: 'TypeError',
    message: 'Expected (deviceIndex, property, value, flags)',
  });
  assert.throws(() => addon.cameraVideoProcAmpGet(0, 'gain'));
  assert.deepEqual(addon.cameraVideoProcAmpGet(0, 9), { result: -9, value: 0, flags: 0 });
  assert.deepEqual(addon.cameraVideoProcAmpRange(0, 1), { result: -9, min: 0, max: 0, step: 0, default: 0, caps: 0 });
  assert.deepEqual(addon.cameraVideoProcAmpSet(0, 1, 5, 2), { result: -9 });
  assert.deepEqual(addon.cameraGrabEncodedFrame(0), { result: -256, data: null });
});

test('synthetic cameras are listed after the real ones with their formats', () => {
  assert.equal(addon.cameraInitialize(), 0);
  assert.equal(addon.cameraHasVideoCaptureAuth(), 0);
  const first = syntheticIndex(0);
  const second = syntheticIndex(1);
  assert.equal(second, first + 1);
  assert.equal(first, addon.cameraDevicesCount() - 2, 'synthetic cameras come last');
  assert.equal(addon.cameraDeviceName(first), 'Synthetic Camera 0');
  assert.equal(addon.cameraDeviceModelId(first), 'synthetic');
  assert.deepEqual(addon.cameraDeviceFormats(first), [
    { width: 1280, height: 720, frameRate: 30, type: 'rgb' },
    { width: 640, height: 480, frameRate: 30, type: 'rgb' },
    { width: 320, height: 240, frameRate: 30, type: 'rgb' },
  ]);
  assert.deepEqual(addon.cameraDeviceFormats(second), [{ width: 64, height: 48, frameRate: 60, type: 'rgb' }]);
  // Indices past the list, negative or huge, are the library's bad-index code, not a crash.
  for (const index of [-1, -5, addon.cameraDevicesCount(), 2 ** 31 - 1]) {
    assert.equal(addon.cameraDeviceName(index), '');
    assert.deepEqual(addon.cameraDeviceFormats(index), []);
    assert.equal(addon.cameraStartCapture(index, 640, 480), -2);
    assert.equal(addon.cameraHasFirstFrame(index), -2);
    assert.equal(addon.cameraGrabFrame(index).result, -10);
  }
});

test('capture delivers fresh frames whose raw pixels follow the pattern', async () => {
  const index = syntheticIndex(0);
  assert.equal(addon.cameraHasFirstFrame(index), -4, 'not started');
  assert.equal(addon.cameraStartCapture(index, 640, 480), 0);
  await waitFor(() => addon.cameraHasFirstFrame(index) === 0, 'the first frame');
  assert.deepEqual(addon.cameraFrameInfo(index), {
    width: 640,
    height: 480,
    bytesPerRow: 1920,
    dataSize: 921600,
    pixelFormat: 'rgb',
    planeOffsets: [0],
    planeStrides: [1920],
  });
  const before = Date.now();
  const raw = addon.cameraGrabFrame(index);
  assert.deepEqual(Object.keys(raw), ['width', 'height', 'bytesPerRow', 'pixelFormat', 'result', 'data', 'timestampMs']);
  assert.equal(raw.result, 0);
  assert.ok(Buffer.isBuffer(raw.data));
  assert.equal(raw.data.length, 921600);
  assert.ok(Number.isInteger(raw.timestampMs) && Math.abs(raw.timestampMs - before) < 5000);
  const n = frameNumber(raw.data);
  assert.ok(n >= 1);
  let wrong = 0;
  for (let y = 0; y < 480; y++) {
    for (let x = 0; x < 640; x++) {
      const [r, g, b] = expectedPixel(n, x, y, 480);
      const o = y * 1920 + x * 3;
      wrong += raw.data[o] !== r || raw.data[o + 1] !== g || raw.data[o + 2] !== b;
    }
  }
  assert.equal(wrong, 0, `pixels that differ from frame ${n}`);
  // Frames keep coming, in order.
  await waitFor(() => frameNumber(addon.cameraGrabFrame(index).data) > n, 'a newer frame');
});

test('RGBA grabs decimate the frame by whole steps and keep the pixels exact', async () => {
  const index = syntheticIndex(0);
  assert.equal(addon.cameraStartCapture(index, 0, 0), 0, 'the camera size: 1280 x 720');
  await waitFor(() => addon.cameraFrameInfo(index).width === 1280, 'the restarted capture');
  const rgba = addon.cameraGrabFrameRgba(index);
  assert.deepEqual(Object.keys(rgba), [
    'sourceWidth', 'sourceHeight', 'sourceBytesPerRow', 'result', 'width', 'height',
    'bytesPerRow', 'data', 'timestampMs',
  ]);
  assert.equal(rgba.result, 0);
  assert.deepEqual([rgba.sourceWidth, rgba.sourceHeight, rgba.sourceBytesPerRow], [1280, 720, 3840]);
  // 1280 x 720 under 960 x 540: scale 1.33, step 2.
  assert.deepEqual([rgba.width, rgba.height, rgba.bytesPerRow, rgba.data.length], [640, 360, 2560, 640 * 360 * 4]);
  const n = frameNumber(rgba.data);
  let wrong = 0;
  for (let y = 0; y < 360; y++) {
    for (let x = 0; x < 640; x++) {
      const [r, g, b] = expectedPixel(n, x * 2, y * 2, 720);
      const o = (y * 640 + x) * 4;
      wrong += rgba.data[o] !== r || rgba.data[o + 1] !== g || rgba.data[o + 2] !== b || rgba.data[o + 3] !== 255;
    }
  }
  assert.equal(wrong, 0, `RGBA pixels that differ from frame ${n}`);

  const tiny = addon.cameraGrabFrameRgba(index, 0, -4);
  assert.deepEqual([tiny.width, tiny.height, tiny.bytesPerRow], [1, 1, 4]);
  const m = frameNumber(tiny.data);
  assert.deepEqual([...tiny.data], [m & 255, (m >> 8) & 255, (m >> 16) & 255, 255]);
  // Limits above the source never enlarge it.
  const whole = addon.cameraGrabFrameRgba(index, 2 ** 31 - 1, 5000);
  assert.deepEqual([whole.width, whole.height], [1280, 720]);
});

test('a format index starts that format; stopping ends capture on every device', async () => {
  const index = syntheticIndex(0);
  const other = syntheticIndex(1);
  assert.equal(addon.cameraStartCapture(index, 0, 0, 2), 0);
  assert.equal(addon.cameraStartCapture(other, 32, 24), 0);
  await waitFor(() => addon.cameraFrameInfo(index).width === 320, 'format 2 (320 x 240)');
  await waitFor(() => addon.cameraFrameInfo(other).width === 32, 'the second camera');
  assert.equal(addon.cameraStartCapture(index, 0, 0, 3), -3, 'a format past the list');
  assert.equal(addon.cameraStartCapture(index, 9000, 9000), -3, 'a size beyond the synthetic limit');
  assert.equal(addon.cameraHasFirstFrame(index), 0, 'a refused start leaves capture running');
  assert.equal(addon.cameraFrameInfo(index).width, 320);

  assert.equal(addon.cameraStopCapture(), 0);
  for (const i of [index, other]) {
    assert.equal(addon.cameraHasFirstFrame(i), -4);
    assert.equal(addon.cameraGrabFrame(i).result, -10);
    assert.equal(addon.cameraGrabFrameRgba(i).result, -10);
  }
  // Capture starts again after a stop.
  assert.equal(addon.cameraStartCapture(other, 64, 48), 0);
  await waitFor(() => addon.cameraGrabFrame(other).result === 0, 'a frame after restarting');
  assert.equal(addon.cameraStopCapture(other), 0);
});

test('grabs on a worker thread and the main thread at once each get whole frames', async () => {
  const { Worker } = require('node:worker_threads');
  const index = syntheticIndex(0);
  assert.equal(addon.cameraStartCapture(index, 320, 240), 0);
  await waitFor(() => addon.cameraHasFirstFrame(index) === 0, 'the first frame');
  // The worker checks its frames itself and reports how many were right.
  const worker = new Worker(
    `const { parentPort, workerData } = require('node:worker_threads');
     const z = require(workerData.root);
     let good = 0, bad = 0;
     for (let i = 0; i < 150; i++) {
       const g = z.cameraGrabFrameRgba(workerData.index, 160, 120);
       if (g.result !== 0) continue;
       const n = g.data[0] | (g.data[1] << 8) | (g.data[2] << 16);
       const o = (100 * g.width + 50) * 4;  // output (50, 100) is source (100, 200)
       const ok = g.width === 160 && g.data[o] === ((100 + 4 * n) & 255) &&
         g.data[o + 1] === ((200 + 2 * n) & 255) && g.data[o + 2] === ((300 + n) & 255);
       ok ? good++ : bad++;
     }
     parentPort.postMessage({ good, bad });`,
    { eval: true, workerData: { root: require('./helpers').rootDir, index } },
  );
  const fromWorker = new Promise((resolve, reject) => {
    worker.once('message', resolve);
    worker.once('error', reject);
  });
  let good = 0;
  for (let i = 0; i < 150; i++) {
    const g = addon.cameraGrabFrameRgba(index, 320, 240);
    const n = frameNumber(g.data);
    const o = (200 * 320 + 100) * 4;
    good += g.result === 0 && g.data[o] === ((100 + 4 * n) & 255) && g.data[o + 2] === ((300 + n) & 255);
  }
  const result = await fromWorker;
  await worker.terminate();
  assert.equal(good, 150);
  assert.equal(result.bad, 0);
  assert.ok(result.good > 0);
  assert.equal(addon.cameraStopCapture(index), 0);
});
