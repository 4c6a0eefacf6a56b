'use strict';
// Camera recording: the preview producer offers each preview frame to the addon's camera
// recorder, so a recording runs at the preview's size and rate. The MP4 is written at its own
// path: it is playable while it grows, and a failed or killed recording keeps what it recorded.
const { CliError } = require('./errors');
const { requireFunctions, lastError } = require('./addon');
const { openCamera, sleep } = require('./camera');
const { Preview, PREVIEW_FUNCTIONS } = require('./preview');

const RECORDING_FUNCTIONS = ['cameraRecordingAvailable', 'cameraRecordingStart',
  'cameraRecordingStop', 'cameraRecordingStatus'];

// Output size of the addon's whole-step decimation of a sw x sh frame into max limits.
function decimatedSize(sw, sh, max) {
  const scale = Math.max(sw / Math.max(max.width, 1), sh / Math.max(max.height, 1));
  const step = scale < 1 ? 1 : Math.max(Math.ceil(scale), 1);
  return { width: Math.max(Math.floor(sw / step), 1), height: Math.max(Math.floor(sh / step), 1) };
}

// H.264 needs even sizes, and a camera recording has the preview's size. When the limits would
// give an odd preview (1600x1200 into 960x540 gives 533x400), use the limits of the smallest
// coarser step that gives an even one; keep the limits when there is none.
function evenPreviewLimits(sw, sh, max) {
  const even = (size) => size.width % 2 === 0 && size.height % 2 === 0;
  if (even(decimatedSize(sw, sh, max))) return max;
  for (let step = 2; step <= 16; step++) {
    const limits = { width: Math.ceil(sw / step), height: Math.ceil(sh / step) };
    const size = decimatedSize(sw, sh, limits);
    if (size.width <= max.width && size.height <= max.height && even(size)) return limits;
  }
  return max;
}

// Records camera `index` for `seconds` into `out` (an OutputFile). `stop.requested` ends the recording early
// (Ctrl-C); it is still finalized. onStart(info) runs once the recorder has started and
// onProgress(seconds, status) about every 100 ms. Returns { path, status, seconds, interrupted }.
async function record({ index, out, seconds, size = null, max = { width: 960, height: 540 },
  fps = 30, bitrate = 4_000_000, stop = { requested: false }, onStart = null, onProgress = null }) {
  const addon = requireFunctions('camera recording', [...PREVIEW_FUNCTIONS, ...RECORDING_FUNCTIONS]);
  const target = out.recordingTarget();
  let camera;
  try {
    camera = await openCamera(index, size);
  } catch (error) {
    out.finishRecording(0);
    throw error;
  }
  let stopResult;
  let status;
  let elapsed = 0;
  try {
    const preview = new Preview(index, { max: evenPreviewLimits(camera.width, camera.height, max), fps });
    const first = await preview.waitFirstFrame();
    if (!addon.cameraRecordingAvailable()) {
      throw new CliError(`recording is not available: ${lastError()}`);
    }
    const started = addon.cameraRecordingStart(target, first.width, first.height, fps, bitrate);
    if (started !== 0) {
      throw new CliError(`the recording of ${first.width}x${first.height} did not start: ${lastError()}`);
    }
    const began = Date.now();
    if (onStart) {
      onStart({ camera: camera.name, width: first.width, height: first.height, fps, bitrate,
        sourceWidth: first.sourceWidth, sourceHeight: first.sourceHeight });
    }
    while (!stop.requested) {
      elapsed = (Date.now() - began) / 1000;
      if (elapsed >= seconds) break;
      await sleep(Math.min(100, Math.max(1, (seconds - elapsed) * 1000)));
      // Polling the preview keeps the same picture as an interface would show.
      preview.poll();
      const current = addon.cameraRecordingStatus();
      if (!current.recording) break; // the recorder failed on its own; Stop reports why
      if (onProgress) onProgress(Math.min((Date.now() - began) / 1000, seconds), current);
    }
    elapsed = (Date.now() - began) / 1000;
    stopResult = addon.cameraRecordingStop();
    status = addon.cameraRecordingStatus();
    preview.stop();
  } catch (error) {
    camera.close(); // finalizes a recording that is still running
    out.finishRecording(addon.cameraRecordingStatus().framesWritten);
    throw error;
  }
  camera.close();
  const failure = stopResult !== 0 || status.error ? status.error || lastError() : '';
  const kept = out.finishRecording(status.framesWritten);
  if (failure) {
    const where = out.toStdout ? 'standard output got' : `${out.shown} keeps`;
    throw new CliError(`the recording failed: ${failure}; ` +
      (kept ? `${where} what was recorded before that` : 'nothing was kept'));
  }
  if (!kept) throw new CliError('the recording failed: no frame was written');
  return { path: out.path, status, seconds: elapsed, interrupted: Boolean(stop.requested) };
}

module.exports = { RECORDING_FUNCTIONS, decimatedSize, evenPreviewLimits, record };
