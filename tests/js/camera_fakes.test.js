'use strict';
// The camera binding against stand-in libraries (tests/fakes/camera): libraries lacking a
// function, and a library that reports odd geometry, counts and text. Each case runs in its own
// process because the binding loads once per process.
const test = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const { buildPath, rootDir } = require('./helpers');

const SUMMARY =
  'Could not load Linux camera backend library (libcnokhwa). Set ZENTRI_NATIVE_DIR or pass explicit path.';

// Runs body (the text of a function of (z, lib)) in a fresh node with the addon and the given
// environment, and returns what it returns.
function inChild(library, env, body) {
  const script = `const z = require(${JSON.stringify(rootDir)});
    const out = (${body})(z, ${JSON.stringify(buildPath(library))});
    process.stdout.write(JSON.stringify(out));`;
  const stdout = execFileSync(process.execPath, ['-e', script], {
    encoding: 'utf8',
    env: { ...process.env, ...env },
  });
  return JSON.parse(stdout);
}

test('a library without cnokhwa_grab_frame is refused whole', () => {
  const out = inChild('fake_camera_no_grab.so', {}, `(z, lib) => ({
    loaded: z.loadCameraBackend(lib), error: z.getLastError(), path: z.cameraLoadPath(),
    backend: z.cameraBackend(), count: z.cameraDevicesCount(), init: z.cameraInitialize() })`);
  assert.deepEqual(out, { loaded: false, error: SUMMARY, path: '', backend: 'none', count: 0, init: -6 });
});

test('a library without cnokhwa_start_capture_with_format loads; a format start gives -13', () => {
  const out = inChild('fake_camera_no_format.so', {}, `(z, lib) => ({
    loaded: z.loadCameraBackend(lib), init: z.cameraInitialize(),
    format: z.cameraStartCapture(0, 640, 480, 2), size: z.cameraStartCapture(0, 640, 480),
    defaults: z.cameraStartCapture(), stopOne: z.cameraStopCapture(3), stopAll: z.cameraStopCapture() })`);
  // The fake answers 1000 + width + height for a size start and 3000 + index for a stop.
  assert.deepEqual(out, { loaded: true, init: 7, format: -13, size: 2120, defaults: 1000, stopOne: 3003, stopAll: 2999 });
  const full = inChild('fake_camera.so', {}, `(z, lib) => [z.loadCameraBackend(lib),
    z.cameraStartCapture(0, 640, 480, 2), z.cameraStartCapture(0, 1, 1, -1, true)]`);
  assert.deepEqual(full, [true, 2002, 1002]);
});

test('format lists: a negative count gives [], text is cut at the buffer end', () => {
  const formats = inChild('fake_camera.so', {}, `(z, lib) => (z.loadCameraBackend(lib), z.cameraDeviceFormats(0))`);
  assert.deepEqual(formats, [
    { width: 100, height: 200, frameRate: 30, type: 'mjpeg' },
    { width: 101, height: 201, frameRate: 29, type: 'yuy2' },
  ]);
  const negative = inChild('fake_camera.so', { FAKE_CAMERA_FORMATS: '-3' },
    `(z, lib) => (z.loadCameraBackend(lib), z.cameraDeviceFormats(0))`);
  assert.deepEqual(negative, []);
  const huge = inChild('fake_camera.so', { FAKE_CAMERA_FORMATS: '2147483647' },
    `(z, lib) => (z.loadCameraBackend(lib), z.cameraDeviceFormats(0).length)`);
  assert.equal(huge, 65536, 'a broken count is cut instead of exhausting the heap');
  const text = inChild('fake_camera.so', { FAKE_CAMERA_LONG_TEXT: '1' }, `(z, lib) => (z.loadCameraBackend(lib),
    [z.cameraDeviceName(0), z.cameraDeviceUniqueId(0), z.cameraDeviceFormats(0)[0].type])`);
  assert.deepEqual(text, ['n'.repeat(1023), 'n'.repeat(1023), 'n'.repeat(255)]);
  const utf8 = inChild('fake_camera.so', {}, `(z, lib) => (z.loadCameraBackend(lib), z.cameraDeviceName(0))`);
  assert.equal(utf8, 'Fake Camera µ');
});

test('odd geometry from the library gives result codes, never a crash', () => {
  const grabBoth = `(z, lib) => { z.loadCameraBackend(lib);
    const raw = z.cameraGrabFrame(0); const rgba = z.cameraGrabFrameRgba(0);
    return { info: z.cameraFrameInfo(0), raw: [raw.result, raw.data === null, raw.bytesPerRow],
             rgba: [rgba.result, rgba.data === null] }; }`;
  const cases = [
    [{ FAKE_CAMERA_WIDTH: '0', FAKE_CAMERA_HEIGHT: '10' }, [-10, true, -1], [-10, true]],
    [{ FAKE_CAMERA_WIDTH: '-4', FAKE_CAMERA_HEIGHT: '-2' }, [-10, true, -1], [-10, true]],
    // Packed rows overflow 32 bits and the frame exceeds the library's int capacity.
    [{ FAKE_CAMERA_WIDTH: '2147483647', FAKE_CAMERA_HEIGHT: '2147483647', FAKE_CAMERA_STRIDE: '2147483647' },
      [-11, true, 6442450941], [-10, true]],
    [{ FAKE_CAMERA_WIDTH: '40000', FAKE_CAMERA_HEIGHT: '40000', FAKE_CAMERA_STRIDE: '120000' },
      [-11, true, 120000], [-11, true]],
    // A stride shorter than a row of pixels would make decimation read past the frame.
    [{ FAKE_CAMERA_WIDTH: '100', FAKE_CAMERA_HEIGHT: '10', FAKE_CAMERA_STRIDE: '200' }, [0, false, 300], [-10, true]],
    [{ FAKE_CAMERA_GRAB_RESULT: '-7' }, [-7, false, 12], [-7, true]],
  ];
  for (const [env, raw, rgba] of cases) {
    const out = inChild('fake_camera.so', env, grabBoth);
    assert.deepEqual(out.raw, raw, JSON.stringify(env));
    assert.deepEqual(out.rgba, rgba, JSON.stringify(env));
  }
  const huge = inChild('fake_camera.so', { FAKE_CAMERA_WIDTH: '2147483647', FAKE_CAMERA_HEIGHT: '2', FAKE_CAMERA_STRIDE: '2147483647' },
    `(z, lib) => (z.loadCameraBackend(lib), z.cameraFrameInfo(0))`);
  assert.equal(huge.dataSize, 2147483647 * 2, 'data size is computed in 64 bits');
});

test('a failed raw grab still returns a zero-filled buffer', () => {
  const out = inChild('fake_camera.so', { FAKE_CAMERA_GRAB_RESULT: '-12' }, `(z, lib) => { z.loadCameraBackend(lib);
    const g = z.cameraGrabFrame(0); return [g.result, g.data.length, g.data.every((b) => b === 0), typeof g.timestampMs]; }`);
  assert.deepEqual(out, [-12, 24, true, 'number']);
});

test('decimation of a padded 1001 x 1001 frame under 500 x 500 samples every third pixel', () => {
  const out = inChild('fake_camera.so', { FAKE_CAMERA_WIDTH: '1001', FAKE_CAMERA_HEIGHT: '1001', FAKE_CAMERA_STRIDE: '3008' },
    `(z, lib) => { z.loadCameraBackend(lib); const g = z.cameraGrabFrameRgba(0, 500, 500);
      let wrong = 0;
      for (let y = 0; y < g.height; y++) for (let x = 0; x < g.width; x++) {
        const sx = x * 3, sy = y * 3, o = (y * g.width + x) * 4;
        wrong += g.data[o] !== (sx & 255) || g.data[o + 1] !== (sy & 255) ||
                 g.data[o + 2] !== ((sx >> 8) | ((sy >> 8) << 4)) || g.data[o + 3] !== 255;
      }
      const last = (332 * g.width + 332) * 4;
      return [g.result, g.width, g.height, g.bytesPerRow, g.sourceBytesPerRow, wrong,
              g.data[last] + 256 * (g.data[last + 2] & 15)]; }`);
  assert.deepEqual(out, [0, 333, 333, 1332, 3008, 0, 996]);
});
