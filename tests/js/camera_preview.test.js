'use strict';
// The live preview, the quality frame, the JPEG runtime and camera recording, against the real
// capture library with synthetic cameras whose pixels carry their frame number.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { buildPath, loadAddon, rootDir, tempDir } = require('./helpers');
const { probe, sleep } = require('./recording_helpers');

process.env.CNOKHWA_SYNTHETIC_CAMERAS = '1920x1080@30, 640x480@30';
const addon = loadAddon();

const TAIL_KEYS = ['sequence', 'droppedFrames', 'lastResult', 'producerFps', 'producedFrames'];
const FRAME_KEYS = [
  'result', 'sequence', 'width', 'height', 'bytesPerRow', 'pixelFormat', 'planeOffsets',
  'planeStrides', 'sourceWidth', 'sourceHeight', 'sourceBytesPerRow', 'timestampMs',
  'droppedFrames', 'producerFps', 'producerMode', 'deliveryMode', 'producedFrames', 'lastResult',
  'data',
];
const TURBOJPEG = '/usr/lib/x86_64-linux-gnu/libturbojpeg.so.0';

async function waitFor(check, what, timeoutMs = 10000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = check();
    if (value) return value;
    if (Date.now() > end) assert.fail(`timed out waiting for ${what}`);
    await sleep(5);
  }
}

function syntheticIndex(k) {
  const count = addon.cameraDevicesCount();
  for (let i = 0; i < count; i++) {
    if (addon.cameraDeviceUniqueId(i) === `synthetic-${k}`) return i;
  }
  return assert.fail(`synthetic camera ${k} not listed`);
}

const frameNumber = (data) => data[0] | (data[1] << 8) | (data[2] << 16);

// Pixels of a decimated RGBA preview that differ from camera frame n (pattern in cnokhwa.h).
function wrongPixels(data, width, height, step, sourceHeight) {
  const n = frameNumber(data);
  const band = Math.max(1, Math.floor(sourceHeight / 8));
  let wrong = 0;
  for (let y = 0; y < height; y += 7) {
    const sy = y * step;
    for (let x = 0; x < width; x++) {
      const sx = x * step;
      const o = (y * width + x) * 4;
      const expected = sy < band
        ? [n & 255, (n >> 8) & 255, (n >> 16) & 255]
        : [(sx + 4 * n) & 255, (sy + 2 * n) & 255, (sx + sy + n) & 255];
      wrong += data[o] !== expected[0] || data[o + 1] !== expected[1] ||
        data[o + 2] !== expected[2] || data[o + 3] !== 255;
    }
  }
  return wrong;
}

test('without a running preview every function gives its fixed answer', async () => {
  assert.equal(addon.cameraPreviewStart(-1), -1);
  assert.equal(addon.cameraPreviewStart(0, 960, 540, 30, [new Uint8Array(4)]), -13);
  assert.equal(addon.cameraPreviewIsRunning(), false);
  assert.equal(addon.cameraPreviewIsDirect(), false);
  assert.equal(addon.cameraPreviewReleaseDirectSlot(0, 1, 2), -1);
  assert.equal(addon.cameraPreviewReleaseAllDirectSlots(0), 0);
  const stopped = addon.cameraPreviewGetLatest(0);
  assert.deepEqual(Object.keys(stopped), ['result', 'data', ...TAIL_KEYS]);
  assert.deepEqual(stopped, {
    result: -1, data: null, sequence: 0, droppedFrames: 0, lastResult: -5, producerFps: 0,
    producedFrames: 0,
  });
  assert.deepEqual(addon.cameraPreviewGetLatestQualityFrame(0, 0), { result: -256, sequence: 0, data: null });
  assert.deepEqual(addon.cameraGrabEncodedFrame(0), { result: -256, data: null });
  assert.equal(addon.cameraPreviewStop(), 0);

  // Before the camera library is loaded the producer runs but only counts the missing library.
  assert.equal(addon.cameraPreviewStart(0, 0, -5, 0), 0);
  assert.equal(addon.cameraPreviewIsRunning(), true);
  await waitFor(() => addon.cameraPreviewGetLatest(0).lastResult === -6, 'the not-loaded code');
  const polling = addon.cameraPreviewGetLatest(0, 2 ** 70, new Uint16Array(4));
  assert.equal(polling.result, -256);
  assert.equal(polling.sequence, 0);
  assert.ok(polling.droppedFrames >= 1);
  assert.equal(addon.cameraPreviewStop(3), 0, 'another device: nothing happens');
  assert.equal(addon.cameraPreviewIsRunning(), true);
  assert.equal(addon.cameraStopCapture(), -6);
  assert.equal(addon.cameraPreviewIsRunning(), false);
  assert.ok(addon.cameraPreviewGetLatest(0).droppedFrames >= 1, 'dropped frames outlive the stop');
});

test('a preview started before the camera library loads shows frames once it is loaded', async () => {
  assert.equal(addon.cameraPreviewStart(0, 320, 240, 30), 0);
  await waitFor(() => addon.cameraPreviewGetLatest(0).lastResult === -6, 'the not-loaded code');
  assert.equal(addon.loadCameraBackend(buildPath('libcnokhwa.so')), true);
  // The same preview, not restarted: device 0 is the first synthetic camera unless a real camera
  // is attached, whose frames then only need to arrive.
  assert.equal(addon.cameraStartCapture(0, 640, 480), 0);
  const frame = await waitFor(() => {
    const latest = addon.cameraPreviewGetLatest(0, 0);
    return latest.result === 0 ? latest : null;
  }, 'a frame after the load');
  assert.equal(frame.lastResult, 0);
  if (addon.cameraDeviceUniqueId(0) === 'synthetic-0') {
    assert.equal(frame.sourceWidth, 640);
    assert.equal(frame.width, 320);
    assert.equal(wrongPixels(frame.data, frame.width, frame.height, 2, 480), 0);
  }
  assert.equal(addon.cameraStopCapture(), 0);
  assert.equal(addon.cameraPreviewIsRunning(), false);
});

test('libjpeg-turbo loads from the given path only, and reports what it found', () => {
  assert.equal(addon.turboJpegAvailable(), false);
  assert.equal(addon.turboJpegLoadPath(), '');
  assert.equal(addon.loadTurboJpeg(''), false);
  assert.equal(addon.getLastError(), 'No libjpeg-turbo library path was provided');
  assert.equal(addon.loadTurboJpeg(), false);
  assert.equal(addon.loadTurboJpeg(buildPath('fake_camera.so')), false);
  assert.equal(addon.getLastError(), 'Required symbol not found: tjInitDecompress');
  assert.equal(addon.loadTurboJpeg(buildPath('no_such_turbojpeg.so')), false);
  assert.match(addon.getLastError(), /^Could not load native library '.*no_such_turbojpeg\.so'/);
  assert.equal(addon.turboJpegAvailable(), false);

  assert.equal(addon.loadTurboJpeg(TURBOJPEG), true);
  assert.match(addon.getLastError(), /no_such_turbojpeg/, 'a successful load leaves the last error');
  assert.equal(addon.turboJpegAvailable(), true);
  assert.equal(addon.turboJpegLoadPath(), TURBOJPEG);
  assert.equal(addon.loadTurboJpeg(buildPath('fake_camera.so')), true, 'loaded once for good');
  assert.equal(addon.turboJpegLoadPath(), TURBOJPEG);
});

test('camera recording needs a preview and well-formed arguments', (t) => {
  const file = path.join(tempDir(t), 'none.mp4');
  for (const args of [[], [file, 960], [file, 960, 540, 30], [42, 960, 540, 30, 4e6]]) {
    assert.throws(() => addon.cameraRecordingStart(...args),
      { name: 'TypeError', message: 'Expected (outputPath, width, height, frameRate, bitrate)' });
  }
  assert.equal(addon.cameraRecordingStart(file, 960, 540, 30, 4e6), -5);
  assert.equal(addon.getLastError(), 'Cannot start video recording without an active camera preview');
  assert.equal(addon.cameraRecordingAvailable(), true);
  assert.equal(addon.cameraRecordingStop(), 0);
  const status = addon.cameraRecordingStatus();
  assert.deepEqual(Object.keys(status), [
    'available', 'recording', 'outputPath', 'error', 'encoderName', 'encoderAcceleration',
    'conversionBackend', 'accelerationFallbackReason', 'framesWritten', 'framesDropped',
    'durationMs', 'width', 'height', 'frameRate', 'bitrate',
  ]);
  assert.equal(status.recording, false);
});

test('the preview of a 1080p camera: slots, sequences, targets and statistics', async () => {
  assert.equal(addon.loadCameraBackend(buildPath('libcnokhwa.so')), true);
  const index = syntheticIndex(0);
  // The preview may start before capture: it waits for the first frame.
  assert.equal(addon.cameraPreviewStart(index), 0);
  const early = addon.cameraPreviewGetLatest(index);
  assert.equal(early.result, -256);
  assert.equal(early.sequence, 0);
  assert.ok([-256, -4].includes(early.lastResult), String(early.lastResult));
  assert.equal(addon.cameraStartCapture(index, 0, 0), 0);

  const first = await waitFor(() => {
    const latest = addon.cameraPreviewGetLatest(index, 0);
    return latest.result === 0 && latest;
  }, 'the first preview frame');
  assert.deepEqual(Object.keys(first), FRAME_KEYS);
  assert.equal(first.width, 960);
  assert.equal(first.height, 540);
  assert.equal(first.bytesPerRow, 3840);
  assert.equal(first.pixelFormat, 'rgba');
  assert.deepEqual(first.planeOffsets, [0]);
  assert.deepEqual(first.planeStrides, [3840]);
  assert.deepEqual([first.sourceWidth, first.sourceHeight, first.sourceBytesPerRow], [1920, 1080, 5760]);
  assert.equal(first.producerMode, 'polling');
  assert.equal(first.deliveryMode, 'copy');
  assert.equal(first.lastResult, 0);
  assert.ok(Buffer.isBuffer(first.data));
  assert.equal(first.data.length, 2_073_600);
  assert.ok(Math.abs(first.timestampMs - Date.now()) < 5000);
  assert.equal(wrongPixels(first.data, 960, 540, 2, 1080), 0);

  // Sequences grow strictly; asking with the newest one copies nothing.
  let last = first.sequence;
  for (let i = 0; i < 5; i++) {
    const same = addon.cameraPreviewGetLatest(index, last);
    if (same.result === -256) {
      assert.deepEqual(Object.keys(same), ['result', 'data', ...TAIL_KEYS]);
      assert.equal(same.data, null);
      assert.equal(same.sequence, last);
    }
    const next = await waitFor(() => {
      const latest = addon.cameraPreviewGetLatest(index, last);
      return latest.result === 0 && latest;
    }, 'a newer frame');
    assert.ok(next.sequence > last);
    assert.ok(next.producedFrames >= next.sequence);
    last = next.sequence;
  }

  // A large enough Uint8Array is filled from its start and handed back as a view of dataSize
  // bytes; a small one, or another kind of array, is ignored.
  const memory = new ArrayBuffer(2_073_600 + 100);
  const target = new Uint8Array(memory, 16, 2_073_600 + 50);
  target.fill(7);
  const intoTarget = addon.cameraPreviewGetLatest(index, 0, target);
  assert.equal(intoTarget.result, 0);
  assert.ok(!Buffer.isBuffer(intoTarget.data));
  assert.equal(intoTarget.data.buffer, memory);
  assert.equal(intoTarget.data.byteOffset, 16);
  assert.equal(intoTarget.data.length, 2_073_600);
  assert.equal(target[2_073_600], 7, 'nothing written past dataSize');
  assert.equal(wrongPixels(target, 960, 540, 2, 1080), 0);
  for (const other of [new Uint8Array(100), new Uint16Array(2_073_600), [1, 2], 'x', {}]) {
    const fresh = addon.cameraPreviewGetLatest(index, 0, other);
    assert.equal(fresh.result, 0);
    assert.ok(Buffer.isBuffer(fresh.data));
    assert.equal(fresh.data.length, 2_073_600);
  }

  // Over a second of frames the rate is measured.
  const rated = await waitFor(() => {
    const latest = addon.cameraPreviewGetLatest(index);
    return latest.producerFps > 0 && latest;
  }, 'a measured rate', 5000);
  assert.ok(rated.producerFps <= 60, String(rated.producerFps));
  assert.ok(Number.isInteger(rated.producerFps * 10));

  // Slots that cannot be allocated: refused, and the preview goes on.
  assert.equal(addon.cameraPreviewStart(index, 2 ** 31 - 1, 2 ** 31 - 1), -11);
  assert.equal(addon.cameraPreviewStart(index, 1e5, 1e5), -11);
  assert.equal(addon.cameraPreviewIsRunning(), true);
  const after = await waitFor(() => {
    const latest = addon.cameraPreviewGetLatest(index, last);
    return latest.result === 0 && latest;
  }, 'frames after the refused start');
  assert.equal(after.width, 960);

  const dropped = after.droppedFrames;
  assert.equal(addon.cameraPreviewStop(), 0);
  assert.equal(addon.cameraPreviewIsRunning(), false);
  const stopped = addon.cameraPreviewGetLatest(index);
  assert.equal(stopped.result, -1);
  assert.equal(stopped.lastResult, -5);
  assert.equal(stopped.droppedFrames, dropped);
  assert.equal(stopped.sequence, 0);
});

test('a new start moves the preview to another camera; stopping that camera stops it', async () => {
  const big = syntheticIndex(0);
  const small = syntheticIndex(1);
  assert.equal(addon.cameraStartCapture(big, 0, 0), 0);
  assert.equal(addon.cameraStartCapture(small, 0, 0), 0);
  assert.equal(addon.cameraPreviewStart(big, 640, 360, 60), 0);
  await waitFor(() => addon.cameraPreviewGetLatest(big).result === 0, 'the first camera');
  assert.equal(addon.cameraPreviewStart(small, 960, 540, 15), 0);
  assert.equal(addon.cameraPreviewGetLatest(big).result, -1);
  const frame = await waitFor(() => {
    const latest = addon.cameraPreviewGetLatest(small);
    return latest.result === 0 && latest;
  }, 'the second camera');
  assert.equal(frame.sequence, 1, 'the sequence starts again');
  assert.deepEqual([frame.width, frame.height, frame.sourceWidth], [640, 480, 640]);
  assert.equal(wrongPixels(frame.data, 640, 480, 1, 480), 0);

  assert.equal(addon.cameraStopCapture(big), 0);
  assert.equal(addon.cameraPreviewIsRunning(), true, 'another camera stopped');
  assert.equal(addon.cameraStopCapture(small), 0);
  assert.equal(addon.cameraPreviewIsRunning(), false);
  assert.equal(addon.cameraPreviewGetLatest(small).result, -1);
});

test('the quality frame is the whole camera frame, refreshed at most every 500 ms', async () => {
  const index = syntheticIndex(0);
  assert.equal(addon.cameraStartCapture(index, 0, 0), 0);
  assert.equal(addon.cameraPreviewStart(index, 960, 540, 30), 0);
  const refreshes = [];
  let sequence = 0;
  const end = Date.now() + 2300;
  while (Date.now() < end) {
    const quality = addon.cameraPreviewGetLatestQualityFrame(index, sequence);
    if (quality.result === 0) {
      assert.deepEqual(Object.keys(quality), [
        'result', 'sequence', 'width', 'height', 'bytesPerRow', 'pixelFormat', 'timestampMs', 'data',
      ]);
      assert.equal(quality.sequence, sequence + 1);
      assert.deepEqual([quality.width, quality.height, quality.bytesPerRow], [1920, 1080, 5760]);
      assert.equal(quality.pixelFormat, 'rgb');
      assert.equal(quality.data.length, 1920 * 1080 * 3);
      const n = frameNumber(quality.data);
      const o = 1000 * 5760 + 1234 * 3;
      assert.deepEqual([...quality.data.subarray(o, o + 3)],
        [(1234 + 4 * n) & 255, (1000 + 2 * n) & 255, (2234 + n) & 255]);
      refreshes.push(quality.timestampMs);
      sequence = quality.sequence;
    } else {
      assert.deepEqual(quality, { result: -256, sequence, data: null });
    }
    await sleep(15);
  }
  assert.ok(refreshes.length >= 3 && refreshes.length <= 6, String(refreshes.length));
  for (let i = 1; i < refreshes.length; i++) {
    // Refreshes are 500 ms of steady time apart; wall-clock milliseconds are truncated.
    assert.ok(refreshes[i] - refreshes[i - 1] >= 499, `${refreshes[i] - refreshes[i - 1]} ms`);
  }
  assert.deepEqual(addon.cameraPreviewGetLatestQualityFrame(index + 1, 0), { result: -256, sequence, data: null });
  assert.equal(addon.cameraStopCapture(), 0);
});

test('a camera recording takes every preview frame and is finalized by stopping the camera', async (t) => {
  const file = path.join(tempDir(t), 'camera.mp4');
  const index = syntheticIndex(0);
  assert.equal(addon.cameraStartCapture(index, 0, 0), 0);
  assert.equal(addon.cameraPreviewStart(index, 960, 540, 30), 0);
  await waitFor(() => addon.cameraPreviewGetLatest(index).result === 0, 'the preview');
  assert.equal(addon.cameraRecordingStart(file, 960, 540, 30, 4_000_000), 0, addon.getLastError());
  const startSequence = addon.cameraPreviewGetLatest(index).sequence;
  await sleep(6000);
  const running = addon.cameraRecordingStatus();
  assert.equal(running.recording, true);
  assert.equal(running.encoderName, 'libx264');
  const endSequence = addon.cameraPreviewGetLatest(index).sequence;
  // Stopping capture finalizes the recording before the preview goes.
  assert.equal(addon.cameraStopCapture(), 0);
  const status = addon.cameraRecordingStatus();
  assert.equal(status.recording, false);
  assert.equal(status.error, '');
  assert.deepEqual([status.width, status.height, status.frameRate], [960, 540, 30]);
  // Every frame produced while recording reached the recorder (give or take the frames at either
  // end): written, or counted as dropped when a busy machine's encoder fell behind.
  const produced = endSequence - startSequence;
  const taken = status.framesWritten + status.framesDropped;
  assert.ok(taken >= produced - 2, `${status.framesWritten} + ${status.framesDropped} of ${produced}`);
  assert.ok(taken >= 150, String(taken));
  assert.ok(status.framesWritten >= taken / 2, `${status.framesWritten} written of ${taken}`);
  assert.ok(Math.abs(status.durationMs - 6000) < 1500, String(status.durationMs));

  const { stream, durations } = probe(file);
  assert.equal(stream.codec_name, 'h264');
  assert.equal(stream.profile, 'High');
  assert.deepEqual([stream.width, stream.height], [960, 540]);
  assert.equal(Number(stream.nb_read_packets), status.framesWritten);
  // 30 fps of steady-clock capture times: 3000 ticks of 1/90000 s, give or take the tick jitter.
  const total = durations.reduce((sum, d) => sum + d, 0);
  const expected = ((status.durationMs / 1000) * 90000) + durations[durations.length - 1];
  assert.ok(Math.abs(total - expected) < 90000 * 0.05, `${total} vs ${expected}`);

  // The preview is gone, so a new camera recording cannot start.
  assert.equal(addon.cameraRecordingStart(file, 960, 540, 30, 4_000_000), -5);
});

// Threads of this process named like the preview producer.
function previewThreads() {
  const fs = require('node:fs');
  return fs.readdirSync('/proc/self/task').filter((tid) => {
    try {
      return fs.readFileSync(`/proc/self/task/${tid}/comm`, 'utf8').trim() === 'zentri-preview';
    } catch {
      return false;
    }
  }).length;
}

// A joined thread can still be listed for a moment: the kernel wakes the joiner before it removes
// the thread's task entry. Wait up to a second for the count to settle.
async function settledPreviewThreads(expected) {
  const end = Date.now() + 1000;
  let count = previewThreads();
  while (count !== expected && Date.now() < end) {
    await sleep(1);
    count = previewThreads();
  }
  return count;
}

test('quick starts, stops and restarts, with or without capture, leave one thread at most', async () => {
  const index = syntheticIndex(1);
  assert.equal(addon.cameraStopCapture(), 0);
  for (let i = 0; i < 60; i++) {
    if (i === 30) assert.equal(addon.cameraStartCapture(index, 0, 0), 0);
    assert.equal(addon.cameraPreviewStart(index, 64 + i, 48, i % 3 === 0 ? 0 : 200), 0);
    assert.equal(await settledPreviewThreads(1), 1);
    if (i % 4 === 0) await sleep(2);
    if (i % 2 === 0) assert.equal(addon.cameraPreviewStop(index), 0);
  }
  assert.equal(addon.cameraPreviewIsRunning(), true);
  assert.equal(addon.cameraStopCapture(index), 0);
  assert.equal(await settledPreviewThreads(0), 0);
  assert.equal(addon.cameraPreviewIsRunning(), false);
});

test('a worker thread reads the preview while the main thread restarts it', async () => {
  const { Worker } = require('node:worker_threads');
  const index = syntheticIndex(1);
  assert.equal(addon.cameraStartCapture(index, 0, 0), 0);
  assert.equal(addon.cameraPreviewStart(index, 320, 240, 120), 0);
  // The worker checks every frame it gets against the pattern and counts the bad ones.
  const worker = new Worker(
    `const { parentPort, workerData } = require('node:worker_threads');
     const z = require(workerData.root);
     let good = 0, bad = 0;
     const end = Date.now() + 1500;
     while (Date.now() < end) {
       const f = z.cameraPreviewGetLatest(workerData.index, 0);
       if (f.result !== 0) continue;
       const step = f.sourceWidth / f.width;
       const n = f.data[0] | (f.data[1] << 8) | (f.data[2] << 16);
       const y = f.height - 1, x = f.width - 1, o = (y * f.width + x) * 4;
       const ok = f.data.length === f.width * f.height * 4 &&
         f.data[o] === ((x * step + 4 * n) & 255) && f.data[o + 1] === ((y * step + 2 * n) & 255);
       ok ? good++ : bad++;
     }
     parentPort.postMessage({ good, bad });`,
    { eval: true, workerData: { root: rootDir, index } },
  );
  const fromWorker = new Promise((resolve, reject) => {
    worker.once('message', resolve);
    worker.once('error', reject);
  });
  for (let i = 0; i < 30; i++) {
    assert.equal(addon.cameraPreviewStart(index, i % 2 ? 320 : 160, i % 2 ? 240 : 120, 120), 0);
    await sleep(40);
  }
  const result = await fromWorker;
  await worker.terminate();
  assert.equal(result.bad, 0);
  assert.ok(result.good > 10, String(result.good));
  assert.equal(addon.cameraStopCapture(), 0);
});

test('a process that exits with a preview running ends cleanly', () => {
  const script = `
    process.env.CNOKHWA_SYNTHETIC_CAMERAS = '640x480@60';
    const z = require(${JSON.stringify(rootDir)});
    z.loadCameraBackend(${JSON.stringify(buildPath('libcnokhwa.so'))});
    const i = z.cameraDevicesCount() - 1;
    z.cameraStartCapture(i, 0, 0);
    z.cameraPreviewStart(i, 320, 240, 120);
    setTimeout(() => { if (process.argv[1] === 'exit') process.exit(3); }, 200);`;
  for (const [arg, code] of [['natural', 0], ['exit', 3]]) {
    const child = spawnSync(process.execPath, ['-e', script, arg], { encoding: 'utf8', timeout: 20000 });
    assert.equal(child.signal, null, child.stderr);
    assert.equal(child.status, code, child.stderr);
  }
});

test('the main thread and a worker starting and stopping the preview at once take turns', () => {
  const script = `
    const { Worker } = require('node:worker_threads');
    const root = ${JSON.stringify(rootDir)};
    const z = require(root);
    z.loadCameraBackend(${JSON.stringify(buildPath('libcnokhwa.so'))});
    const worker = new Worker(\`
      const z = require(\${JSON.stringify(root)});
      for (let i = 0; i < 3000; i++) {
        z.cameraPreviewStart(0, 64, 48, 120);
        if (i % 3 === 0) z.cameraStopCapture(); else z.cameraPreviewStop();
      }
      require('node:worker_threads').parentPort.postMessage('worker done');\`, { eval: true });
    worker.on('message', (m) => console.log(m));
    for (let i = 0; i < 3000; i++) {
      if (i % 500 === 0) z.cameraStartCapture(0, 320, 240);
      z.cameraPreviewStart(0, 80, 60, 120);
      z.cameraPreviewStop();
    }
    console.log('main done');
    worker.on('exit', () => { z.cameraStopCapture(); console.log('running ' + z.cameraPreviewIsRunning()); });`;
  const run = spawnSync(process.execPath, ['-e', script], {
    encoding: 'utf8', timeout: 120_000, env: { ...process.env, CNOKHWA_SYNTHETIC_CAMERAS: '1' },
  });
  assert.equal(run.signal, null, run.stderr);
  assert.equal(run.status, 0, run.stderr);
  assert.match(run.stdout, /main done/);
  assert.match(run.stdout, /worker done/);
  assert.match(run.stdout, /running false/);
});
