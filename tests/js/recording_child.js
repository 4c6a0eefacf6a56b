'use strict';
// A recording application for the fault tests, run as a child process so that a test can kill,
// stop or starve it (or its encoder) the way a user's machine would.
//
//   node recording_child.js '<json settings>'
//
// It reports on standard output, one JSON object per line, and takes commands on standard input,
// one per line. Settings: { mode: 'external' | 'camera', file, width, height, fps, bitrate,
// pattern: 'moving' | 'noise' }.
//
// external: pushes frames in real time (one every 1/fps s, refused frames are not retried, as a
// camera would deliver them) and reports {accepted, refused, recording, worker} after every
// push; when the recording stops by itself it reports {ended: status} and pushes no more.
// camera: runs a synthetic camera, its preview and a camera recording, and reports
// {written, recording} every 100 ms, then {ended: status} when the recording stops by itself.
//
// Commands: "stop" (prints {stopped: result, lastError, status}), "pause" (no more frames; the
// recording stays open; prints {paused: status} once the encoder has taken every frame),
// "exit" (process.exit(0)),
// "throw" (an uncaught exception), "vanish" (camera mode: the synthetic camera is unplugged),
// "again <file>" (a new recording of 10 frames to file, then {again: result, status}; camera
// mode plugs the camera back in first), "quit" (leaves normally).
const path = require('node:path');
const readline = require('node:readline');
const { makeFrame, childProcesses, sleep } = require('./recording_helpers');

const settings = JSON.parse(process.argv[2]);
const { mode, width, height, fps, bitrate } = settings;
if (mode === 'camera') process.env.CNOKHWA_SYNTHETIC_CAMERAS = `${width * 2}x${height * 2}@${fps}`;
const addon = require(path.resolve(__dirname, '..', '..'));
const buildDir = process.env.ZENTRI_NATIVE_BUILD_DIR
  ? path.resolve(process.env.ZENTRI_NATIVE_BUILD_DIR)
  : path.resolve(__dirname, '..', '..', 'build');

const report = (object) => process.stdout.write(`${JSON.stringify(object)}\n`);

// Random bytes do not compress: the encoder writes close to its bit rate.
function noiseFrame(seed) {
  const pixels = new Uint8Array(width * height * 4);
  let x = seed * 2654435761 >>> 0 || 1;
  for (let i = 0; i < pixels.length; i++) {
    x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0;
    pixels[i] = x & 255;
  }
  return pixels;
}
const distinct = Array.from({ length: 30 },
  (_, i) => (settings.pattern === 'noise' ? noiseFrame(i + 1) : makeFrame(width, height, i)));

const worker = () => {
  const found = childProcesses('encworker');
  return found.length ? found[0].pid : 0;
};

let pushing = false;
let pushedAccepted = 0;
let cameraIndex = -1;

async function pushRealTime() {
  pushing = true;
  let accepted = 0;
  let refused = 0;
  const start = performance.now();
  for (let i = 0; pushing; i++) {
    const micros = 1_000_000 + Math.round((i * 1_000_000) / fps);
    if (addon.externalRecordingEnqueue(distinct[i % distinct.length], width, height, 'rgba', micros)) {
      accepted++;
      pushedAccepted = accepted;
    } else {
      refused++;
    }
    const status = addon.externalRecordingStatus();
    if (!status.recording) {
      report({ ended: status, accepted });
      break;
    }
    report({ accepted, refused, recording: true, worker: worker() });
    const due = start + ((i + 1) * 1000) / fps;
    await sleep(Math.max(0, due - performance.now()));
  }
  pushing = false;
}

async function watchCamera() {
  for (;;) {
    const status = addon.cameraRecordingStatus();
    if (!status.recording) {
      report({ ended: status });
      return;
    }
    report({ written: status.framesWritten, recording: true, worker: worker() });
    await sleep(100);
  }
}

async function startCamera(file) {
  if (!addon.loadCameraBackend(path.join(buildDir, 'libcnokhwa.so'))) throw new Error(addon.getLastError());
  cameraIndex = addon.cameraDevicesCount() - 1;
  const started = addon.cameraStartCapture(cameraIndex, width * 2, height * 2);
  if (started !== 0) throw new Error(`cameraStartCapture ${started}`);
  if (addon.cameraPreviewStart(cameraIndex, width, height, fps) !== 0) throw new Error('preview');
  for (let i = 0; i < 500 && addon.cameraHasFirstFrame(cameraIndex) !== 0; i++) await sleep(10);
  const result = addon.cameraRecordingStart(file, width, height, fps, bitrate);
  if (result !== 0) throw new Error(`cameraRecordingStart ${result}: ${addon.getLastError()}`);
}

async function again(file) {
  if (mode === 'camera') {
    process.env.CNOKHWA_SYNTHETIC_CAMERAS = `${width * 2}x${height * 2}@${fps}`;
    addon.cameraStopCapture();
    await startCamera(file);
    while (addon.cameraRecordingStatus().framesWritten < 10) await sleep(20);
    const result = addon.cameraRecordingStop();
    report({ again: result, status: addon.cameraRecordingStatus() });
    return;
  }
  let result = addon.externalRecordingStart(file, width, height, fps, bitrate);
  if (result === 0) {
    for (let i = 0; i < 10; i++) {
      while (!addon.externalRecordingEnqueue(distinct[i], width, height, 'rgba', 1e6 + i * 33_333)) {
        await sleep(5);
      }
    }
    result = addon.externalRecordingStop();
  }
  report({ again: result, lastError: addon.getLastError(), status: addon.externalRecordingStatus() });
}

async function command(line) {
  const [name, argument] = line.trim().split(/\s+/, 2);
  if (name === 'stop') {
    pushing = false;
    const result = mode === 'camera' ? addon.cameraRecordingStop() : addon.externalRecordingStop();
    const status = mode === 'camera' ? addon.cameraRecordingStatus() : addon.externalRecordingStatus();
    report({ stopped: result, lastError: addon.getLastError(), status });
  } else if (name === 'pause') {
    pushing = false;
    const start = Date.now();
    // The last frame is held back until the next one or the stop: all but one get written.
    while (Date.now() - start < 10_000) {
      const status = addon.externalRecordingStatus();
      if (status.framesWritten >= pushedAccepted - 1) break;
      await sleep(20);
    }
    await sleep(200);
    report({ paused: addon.externalRecordingStatus() });
  } else if (name === 'exit') {
    process.exit(0);
  } else if (name === 'throw') {
    setImmediate(() => { throw new Error('an application fault'); });
  } else if (name === 'vanish') {
    process.env.CNOKHWA_SYNTHETIC_CAMERAS = '0';
    report({ vanished: addon.cameraDevicesCount(), written: addon.cameraRecordingStatus().framesWritten });
  } else if (name === 'again') {
    await again(argument);
  } else if (name === 'quit') {
    if (mode === 'camera') addon.cameraStopCapture();
    process.exit(0);
  }
}

async function main() {
  const lines = readline.createInterface({ input: process.stdin });
  let queue = Promise.resolve();
  lines.on('line', (line) => { queue = queue.then(() => command(line)); });
  // The test that drives this program is gone: so is the reason to run.
  lines.on('close', () => { queue.then(() => process.exit(3)); });
  if (mode === 'camera') {
    await startCamera(settings.file);
    watchCamera();
  } else {
    const result = addon.externalRecordingStart(settings.file, width, height, fps, bitrate);
    if (result !== 0) throw new Error(`externalRecordingStart ${result}: ${addon.getLastError()}`);
    pushRealTime();
  }
}

main().catch((error) => {
  report({ error: error.message });
  process.exit(2);
});
