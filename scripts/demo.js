'use strict';
// Loads the built addon and prints what it registers and what the build holds.
const fs = require('fs');
const path = require('path');

const root = path.resolve(__dirname, '..');
const buildDir = process.env.ZENTRI_NATIVE_BUILD_DIR
  ? path.resolve(process.env.ZENTRI_NATIVE_BUILD_DIR)
  : path.join(root, 'build');
const addon = require(root);

const functions = Object.keys(addon).filter((k) => typeof addon[k] === 'function');
const constants = Object.keys(addon).filter((k) => typeof addon[k] !== 'function');
console.log(`zentri-native addon: ${path.join(buildDir, 'zentri_native.node')}`);
console.log(`node ${process.version}, Node-API ${process.versions.napi}`);
console.log(`script functions (${functions.length}): ${functions.join(', ')}`);
if (constants.length) {
  console.log(`constants (${constants.length}): ${constants.join(', ')}`);
}
const shipped = ['encworker', 'libzentri.so.0', 'libcnokhwa.so', 'libdinolite.so'];
for (const name of shipped) {
  const present = fs.existsSync(path.join(buildDir, name));
  console.log(`${name}: ${present ? 'built' : 'not built yet'}`);
}
console.log(`last error: "${addon.getLastError()}"`);

// Cameras: every camera the capture library sees, and one frame from the first of them. With no
// camera attached, a synthetic one stands in.
async function cameraDemo() {
  const library = path.join(buildDir, 'libcnokhwa.so');
  if (!fs.existsSync(library) || typeof addon.loadCameraBackend !== 'function') {
    return;
  }
  if (!process.env.CNOKHWA_SYNTHETIC_CAMERAS) {
    process.env.CNOKHWA_SYNTHETIC_CAMERAS = '1280x720@30';
  }
  if (!addon.loadCameraBackend(library)) {
    console.log(`camera library: ${addon.getLastError()}`);
    return;
  }
  const count = addon.cameraDevicesCount();
  console.log(`cameras (${count}):`);
  for (let i = 0; i < count; i++) {
    const formats = addon.cameraDeviceFormats(i);
    const listed = formats.slice(0, 4).map((f) => `${f.type} ${f.width}x${f.height}@${f.frameRate}`);
    console.log(`  ${i}: ${addon.cameraDeviceName(i)} [${addon.cameraDeviceUniqueId(i)}] ` +
      `${listed.join(', ')}${formats.length > 4 ? `, ... (${formats.length})` : ''}`);
  }
  if (count === 0) {
    return;
  }
  const started = addon.cameraStartCapture(0, 1280, 720);
  if (started !== 0) {
    console.log(`camera 0: start failed (${started})`);
    return;
  }
  const deadline = Date.now() + 3000;
  while (addon.cameraHasFirstFrame(0) !== 0 && Date.now() < deadline) {
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  const frame = addon.cameraGrabFrameRgba(0, 960, 540);
  console.log(`camera 0: ${frame.sourceWidth}x${frame.sourceHeight} grabbed as ` +
    `${frame.width}x${frame.height} RGBA (result ${frame.result})`);
  addon.cameraStopCapture();
}

// Dino-Lite: the simulated microscope of libdinolite (dinolite/README.md), or the devices of a
// scenario named by DINOLITE_SIMULATOR_SCENARIO.
async function dinoLiteDemo() {
  const library = path.join(buildDir, 'libdinolite.so');
  if (!fs.existsSync(library) || typeof addon.loadDinoLite !== 'function') {
    return;
  }
  const loaded = addon.loadDinoLite(library);
  if (!loaded.ok || !(await addon.dinoLiteInitAsync())) {
    console.log(`Dino-Lite: ${addon.dinoLiteLastError()}`);
    return;
  }
  const devices = await addon.dinoLiteDevicesAsync();
  console.log(`Dino-Lite microscopes (${devices.length}):`);
  for (const device of devices) {
    console.log(`  ${device.index}: ${device.name} [${device.uniqueId}]`);
  }
  if (devices.length === 0 || !(await addon.dinoLiteSelectDeviceAsync(0))) {
    return;
  }
  // Cached readings: the first call posts a read, a later one returns what it measured.
  let amr = null;
  for (let i = 0; i < 50 && amr === null; i++) {
    amr = addon.dinoLiteGetAmr(0);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  let fov = null;
  for (let i = 0; i < 50 && fov === null && amr !== null; i++) {
    fov = addon.dinoLiteGetFovx(0, amr);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  const state = addon.dinoLiteDebugState();
  console.log(`Dino-Lite 0: magnification ${amr}x, field of view ${fov} mm, ` +
    `LED mode 0x${state.ledState.toString(16)} of [${state.ledModes.map((m) => `0x${m.toString(16)}`).join(', ')}], ` +
    `next LED mode 0x${(await addon.dinoLiteToggleLedAsync()).toString(16)}`);
  await addon.dinoLiteDisposeAsync();
}

cameraDemo()
  .then(dinoLiteDemo)
  .catch((error) => {
    console.error(error);
    process.exitCode = 1;
  });
