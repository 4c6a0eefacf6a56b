'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { rootDir, loadAddon, tempDir } = require('./helpers');
const { makeFrame, probe, topLevelBoxes, childProcesses, sleep } = require('./recording_helpers');

const addon = loadAddon();
const START_MESSAGE = 'Expected (outputPath, width, height, frameRate, bitrate)';
const ENQUEUE_MESSAGE =
  'Expected (Uint8Array pixels, width, height, rgba or bgra, monotonicTimestampMicroseconds)';

// Pushes frames 1/30 s apart, waiting whenever the six-frame queue is full. Returns how many
// times a frame was refused (each refusal of a full queue is counted as a drop).
async function pushFrames(width, height, count, layout, firstMicros = 1_000_000) {
  let refusals = 0;
  for (let i = 0; i < count; i++) {
    const pixels = makeFrame(width, height, i, layout);
    const micros = firstMicros + Math.round((i * 1_000_000) / 30);
    while (!addon.externalRecordingEnqueue(pixels, width, height, layout, micros)) {
      assert.equal(addon.externalRecordingStatus().recording, true, addon.getLastError());
      refusals++;
      await sleep(2);
    }
  }
  return refusals;
}

test('external recording functions follow the lock functions in registration order', () => {
  const keys = Object.keys(addon);
  const first = keys.indexOf('externalRecordingAvailable');
  assert.deepEqual(keys.slice(first, first + 5), [
    'externalRecordingAvailable', 'externalRecordingStart', 'externalRecordingEnqueue',
    'externalRecordingStop', 'externalRecordingStatus',
  ]);
  assert.equal(addon.externalRecordingAvailable(), true);
});

test('start and enqueue refuse malformed arguments with the exact errors', () => {
  const bad = [
    [], ['a.mp4', 640, 480, 30], ['a.mp4', 640, 480, 30, 4e6, 1], [1, 640, 480, 30, 4e6],
    ['a.mp4', 1, 480, 30, 4e6], ['a.mp4', 640, 8194, 30, 4e6], ['a.mp4', 640.5, 480, 30, 4e6],
    ['a.mp4', 640, 480, 0, 4e6], ['a.mp4', 640, 480, 121, 4e6], ['a.mp4', 640, 480, 30, 99_999],
    ['a.mp4', 640, 480, 30, 240_000_001], ['a.mp4', NaN, 480, 30, 4e6],
    ['a.mp4', '640', 480, 30, 4e6], ['a.mp4', 640, 480, Infinity, 4e6],
  ];
  for (const args of bad) {
    assert.throws(() => addon.externalRecordingStart(...args),
      { name: 'TypeError', message: START_MESSAGE }, JSON.stringify(args));
  }
  const frame = new Uint8Array(64);
  const badEnqueue = [
    [], [frame, 4, 4, 'rgba'], [Buffer.alloc(64).buffer, 4, 4, 'rgba', 0],
    [new Uint16Array(32), 4, 4, 'rgba', 0], [new Uint8ClampedArray(64), 4, 4, 'rgba', 0],
    [frame, 1, 4, 'rgba', 0], [frame, 4, 4, 5, 0], [frame, 4, 4, 'rgba', -1],
    [frame, 4, 4, 'rgba', 0.5], [frame, 4, 4, 'rgba', 900_719_925_474_100], [[0], 4, 4, 'rgba', 0],
  ];
  for (const args of badEnqueue) {
    assert.throws(() => addon.externalRecordingEnqueue(...args),
      { name: 'TypeError', message: ENQUEUE_MESSAGE });
  }
  for (const args of [[new Uint8Array(63), 4, 4, 'rgba', 0], [frame, 4, 4, 'RGBA', 0],
    [frame, 4, 4, 'nv12', 0], [new Uint8Array(65), 4, 4, 'bgra', 0]]) {
    assert.throws(() => addon.externalRecordingEnqueue(...args),
      { name: 'RangeError', message: 'Invalid external video frame layout' });
  }
  // Well-formed but not recording: refused, not an error.
  assert.equal(addon.externalRecordingEnqueue(frame, 4, 4, 'rgba', 0), false);
});

test('an odd size passes the argument check and fails in the recorder', (t) => {
  const file = path.join(tempDir(t), 'odd.mp4');
  assert.equal(addon.externalRecordingStart(file, 3, 480, 30, 4_000_000), -1);
  assert.equal(addon.getLastError(), 'Invalid video recording configuration');
  const status = addon.externalRecordingStatus();
  assert.equal(status.recording, false);
  assert.equal(status.error, 'Invalid video recording configuration');
});

test('pushed RGBA frames become a faststart H.264 High MP4 tagged BT.601', async (t) => {
  const file = path.join(tempDir(t), 'rgba.mp4');
  assert.equal(addon.externalRecordingStart(file, 640, 480, 30, 2_000_000), 0, addon.getLastError());
  const running = addon.externalRecordingStatus();
  assert.deepEqual(Object.keys(running), [
    'available', 'recording', 'outputPath', 'error', 'encoderName', 'encoderAcceleration',
    'conversionBackend', 'accelerationFallbackReason', 'framesWritten', 'framesDropped',
    'durationMs', 'width', 'height', 'frameRate', 'bitrate',
  ]);
  assert.equal(running.recording, true);
  assert.equal(running.encoderName, 'libx264');
  assert.equal(running.encoderAcceleration, 'software');
  assert.equal(running.conversionBackend, 'cpu');
  assert.equal(running.outputPath, file);

  // A second start leaves the first recording untouched.
  assert.equal(addon.externalRecordingStart(file + '2', 640, 480, 30, 2_000_000), -5);
  assert.equal(addon.getLastError(), 'An external video recording is already running');

  const refusals = await pushFrames(640, 480, 12, 'rgba');
  assert.equal(addon.externalRecordingStop(), 0, addon.getLastError());
  const status = addon.externalRecordingStatus();
  assert.equal(status.recording, false);
  assert.equal(status.error, '');
  assert.equal(status.framesWritten, 12);
  assert.equal(status.framesDropped, refusals);
  assert.equal(status.durationMs, 366); // 11 intervals of 33333 us
  assert.deepEqual([status.width, status.height, status.frameRate, status.bitrate],
    [640, 480, 30, 2_000_000]);

  const { stream, durations } = probe(file);
  assert.equal(stream.codec_name, 'h264');
  assert.equal(stream.profile, 'High');
  assert.equal(stream.pix_fmt, 'yuv420p');
  assert.equal(stream.color_range, 'tv');
  assert.equal(stream.color_space, 'smpte170m');
  assert.equal(stream.color_primaries, 'smpte170m');
  assert.equal(stream.color_transfer, 'smpte170m');
  assert.equal(Number(stream.nb_read_packets), 12);
  assert.deepEqual(durations, new Array(12).fill(3000));
  const boxes = topLevelBoxes(file);
  assert.ok(boxes.indexOf('moov') >= 0 && boxes.indexOf('moov') < boxes.indexOf('mdat'), boxes.join());
});

test('pushed BGRA frames at 1280x720 are tagged BT.709 with capture-time durations', async (t) => {
  const file = path.join(tempDir(t), 'bgra.mp4');
  assert.equal(addon.externalRecordingStart(file, 1280, 720, 30, 4_000_000), 0, addon.getLastError());
  // 40 ms, 40 ms, then 20 ms apart: each frame lasts until the next; the last repeats.
  const times = [2_000_000, 2_040_000, 2_080_000, 2_100_000];
  times.forEach((micros, i) => {
    assert.equal(addon.externalRecordingEnqueue(makeFrame(1280, 720, i, 'bgra'), 1280, 720, 'bgra', micros), true);
  });
  assert.equal(addon.externalRecordingStop(), 0, addon.getLastError());
  const { stream, durations } = probe(file);
  assert.equal(stream.color_space, 'bt709');
  assert.equal(stream.color_primaries, 'bt709');
  assert.equal(stream.color_range, 'tv');
  assert.deepEqual(durations, [3600, 3600, 1800, 1800]);
});

test('a killed worker fails the recording cleanly and the next one succeeds', async (t) => {
  const dir = tempDir(t);
  assert.equal(addon.externalRecordingStart(path.join(dir, 'killed.mp4'), 320, 240, 30, 1_000_000), 0);
  await pushFrames(320, 240, 3, 'rgba');
  const workers = childProcesses('encworker');
  assert.equal(workers.length, 1);
  // Its own process group: a terminal's Ctrl-C reaches the application, not the encoder.
  assert.equal(workers[0].processGroup, workers[0].pid);
  process.kill(workers[0].pid, 'SIGKILL');
  // Frames keep arriving until the recorder notices; then they are refused.
  for (let i = 0; i < 200 && addon.externalRecordingStatus().recording; i++) {
    addon.externalRecordingEnqueue(makeFrame(320, 240, i), 320, 240, 'rgba', 2_000_000 + i * 33_333);
    await sleep(5);
  }
  const failed = addon.externalRecordingStatus();
  assert.equal(failed.recording, false);
  assert.equal(failed.error, 'Software video encoder disconnected');
  assert.equal(addon.externalRecordingStop(), -3);
  assert.equal(addon.getLastError(), 'Software video encoder disconnected');
  assert.deepEqual(childProcesses('encworker'), [], 'the killed worker was collected');

  const file = path.join(dir, 'after.mp4');
  assert.equal(addon.externalRecordingStart(file, 320, 240, 30, 1_000_000), 0);
  await pushFrames(320, 240, 4, 'rgba');
  assert.equal(addon.externalRecordingStop(), 0);
  assert.equal(Number(probe(file).stream.nb_read_packets), 4);
  assert.deepEqual(childProcesses('encworker'), []);
});

// Environment variables are read by FFmpeg loading, once per process: each case gets its own.
function runInChild(env, body) {
  const script = `const z = require(${JSON.stringify(rootDir)}); ${body}`;
  return JSON.parse(execFileSync(process.execPath, ['-e', script], {
    encoding: 'utf8', env: { ...process.env, ...env },
  }));
}

test('FFmpeg and encoder choice failures reach the script as messages', (t) => {
  const dir = tempDir(t);
  const file = path.join(dir, 'x.mp4');
  const noFfmpeg = runInChild({ ZENTRI_FFMPEG_LIBRARY_DIR: dir }, `
    const r = z.externalRecordingStart(${JSON.stringify(file)}, 64, 48, 30, 1000000);
    process.stdout.write(JSON.stringify([z.externalRecordingAvailable(), r, z.getLastError()]));`);
  assert.deepEqual(noFfmpeg, [false, -13, 'Video recording is not available on this platform']);

  const noEncoder = runInChild({ ZENTRI_FFMPEG_ENCODER: 'no_such_encoder' }, `
    const r = z.externalRecordingStart(${JSON.stringify(file)}, 64, 48, 30, 1000000);
    process.stdout.write(JSON.stringify([r, z.getLastError(), z.externalRecordingStatus().recording]));`);
  assert.deepEqual(noEncoder, [-3, 'No usable FFmpeg H.264 encoder was found', false]);
});

test('a recording still running when the environment ends is finalized', (t) => {
  const file = path.join(tempDir(t), 'exit.mp4');
  const written = runInChild({}, `
    const { makeFrame } = require(${JSON.stringify(path.join(__dirname, 'recording_helpers.js'))});
    z.externalRecordingStart(${JSON.stringify(file)}, 160, 120, 30, 1000000);
    for (let i = 0; i < 5; i++) z.externalRecordingEnqueue(makeFrame(160, 120, i), 160, 120, 'rgba', 1e6 + i * 33333);
    process.stdout.write(JSON.stringify(true));`);
  assert.equal(written, true);
  assert.ok(fs.existsSync(file));
  assert.equal(Number(probe(file).stream.nb_read_packets), 5);
});
