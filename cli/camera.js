'use strict';
// Cameras through the addon: loading the capture library from the build folder, listing devices
// and formats, and opening one camera until its first frame has arrived.
const { CliError } = require('./errors');
const { buildFile, requireFunctions, lastError } = require('./addon');

const DEFAULT_SYNTHETIC = '1280x720@30';
const FIRST_FRAME_TIMEOUT_MS = 5000;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Switches synthetic test cameras on for this process. The capture library reads the variable
// each time it rebuilds its device list, so this also works after the library was loaded.
function enableSynthetic(spec) {
  process.env.CNOKHWA_SYNTHETIC_CAMERAS = typeof spec === 'string' && spec !== '' ? spec : DEFAULT_SYNTHETIC;
}

// Loads libcnokhwa from the build folder (once per process) and returns the addon.
function loadCameras() {
  const addon = requireFunctions('camera capture', ['loadCameraBackend', 'cameraDevicesCount',
    'cameraDeviceName', 'cameraDeviceUniqueId', 'cameraDeviceModelId', 'cameraDeviceFormats',
    'cameraStartCapture', 'cameraStopCapture', 'cameraHasFirstFrame', 'cameraFrameInfo',
    'cameraGrabFrameRgba']);
  if (!addon.loadCameraBackend(buildFile('libcnokhwa.so'))) {
    throw new CliError(`could not load the camera library: ${lastError()}`);
  }
  return addon;
}

// Every camera with its formats, in the library's order (real cameras, then synthetic ones).
function listCameras() {
  const addon = loadCameras();
  const count = addon.cameraDevicesCount();
  const cameras = [];
  for (let index = 0; index < count; index++) {
    cameras.push({
      index,
      name: addon.cameraDeviceName(index),
      uniqueId: addon.cameraDeviceUniqueId(index),
      modelId: addon.cameraDeviceModelId(index),
      formats: addon.cameraDeviceFormats(index),
    });
  }
  return cameras;
}

// One line per pixel type: "mjpeg 1920x1080@30, 1280x720@30, ...".
function describeFormats(formats) {
  const byType = new Map();
  for (const f of formats) {
    if (!byType.has(f.type)) byType.set(f.type, []);
    byType.get(f.type).push(`${f.width}x${f.height}@${f.frameRate}`);
  }
  return [...byType].map(([type, sizes]) => `${type} ${[...new Set(sizes)].join(', ')}`);
}

function checkIndex(addon, index) {
  const count = addon.cameraDevicesCount();
  if (index >= 0 && index < count) {
    return;
  }
  if (count === 0) {
    throw new CliError(`camera ${index} does not exist: no camera found (--synthetic adds a test camera)`);
  }
  throw new CliError(`camera ${index} does not exist: ${count === 1 ? 'the only camera is 0' : `cameras are 0 to ${count - 1}`}`);
}

// Starts capture on camera `index` (at `size` when given, else the camera's own choice) and waits
// for its first frame. Returns { index, name, width, height, close() }; close() stops the camera
// (and with it a preview or camera recording of it).
async function openCamera(index, size = null) {
  const addon = loadCameras();
  checkIndex(addon, index);
  const name = addon.cameraDeviceName(index);
  const started = size ? addon.cameraStartCapture(index, size.width, size.height)
    : addon.cameraStartCapture(index, 0, 0);
  if (started !== 0) {
    throw new CliError(`camera ${index} (${name}) did not start: result ${started}`);
  }
  const close = () => addon.cameraStopCapture(index);
  const deadline = Date.now() + FIRST_FRAME_TIMEOUT_MS;
  let state = addon.cameraHasFirstFrame(index);
  while (state !== 0) {
    if (state !== addon.RESULT_NO || Date.now() > deadline) {
      close();
      throw new CliError(state === addon.RESULT_NO
        ? `camera ${index} (${name}) delivered no frame within ${FIRST_FRAME_TIMEOUT_MS / 1000} s`
        : `camera ${index} (${name}) failed before its first frame: result ${state}`);
    }
    await sleep(10);
    state = addon.cameraHasFirstFrame(index);
  }
  const info = addon.cameraFrameInfo(index);
  return { index, name, width: info.width, height: info.height, close };
}

module.exports = { DEFAULT_SYNTHETIC, sleep, enableSynthetic,
  loadCameras, listCameras, describeFormats, openCamera };
