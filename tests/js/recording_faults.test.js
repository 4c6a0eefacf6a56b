'use strict';
// Faults during a recording, met the way users meet them: the application killed or exiting,
// encworker killed or stopped, the disk full, the camera unplugged, a busy machine. Each case
// runs the recording application (recording_child.js) in a child process with a hard time-out;
// the file is then checked with ffmpeg (it decodes without error) and ffprobe (how many frames
// it kept of those recorded before the fault), no process may be left, and the next recording
// must work. Loss windows are printed as test diagnostics.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { spawn, spawnSync } = require('node:child_process');
const { rootDir, buildPath, tempDir } = require('./helpers');
const { probe, topLevelBoxes, sleep } = require('./recording_helpers');

const CHILD = path.join(__dirname, 'recording_child.js');
const FPS = 30;
// At most this much video may be lost to a fault.
const LOSS_LIMIT_FRAMES = 2 * FPS;

// The recording application in a child process, killed when the test ends and in any case after
// timeoutMs. Its report lines are kept; waitFor resolves with the first one (from now on, or
// already received when `seen` allows) that matches.
class RecordingApp {
  constructor(t, settings, { timeoutMs = 90_000, env = {} } = {}) {
    this.messages = [];
    this.waiters = [];
    this.stderr = '';
    this.proc = spawn(process.execPath, [CHILD, JSON.stringify(settings)], {
      env: { ...process.env, ...env }, timeout: timeoutMs, killSignal: 'SIGKILL',
      stdio: ['pipe', 'pipe', 'pipe'],
    });
    this.proc.stderr.on('data', (chunk) => { this.stderr += chunk; });
    readline.createInterface({ input: this.proc.stdout }).on('line', (line) => {
      const message = JSON.parse(line);
      this.messages.push(message);
      this.waiters = this.waiters.filter((w) => !w.check(message));
    });
    this.exited = new Promise((resolve) => {
      this.proc.on('exit', (code, signal) => {
        this.exitStatus = { code, signal };
        for (const w of this.waiters) w.fail(new Error(`the recording application ended (${code ?? signal}) ${this.stderr}`));
        this.waiters = [];
        resolve(this.exitStatus);
      });
    });
    t.after(() => this.proc.kill('SIGKILL'));
  }

  waitFor(predicate, timeoutMs = 30_000) {
    return new Promise((resolve, reject) => {
      if (this.exitStatus) {
        reject(new Error(`the recording application ended ${this.stderr}`));
        return;
      }
      const timer = setTimeout(() => reject(new Error(`no matching report in ${timeoutMs} ms; last: ${
        JSON.stringify(this.messages.at(-1))} ${this.stderr}`)), timeoutMs);
      this.waiters.push({
        check: (message) => {
          if (message.error) {
            clearTimeout(timer);
            reject(new Error(message.error));
            return true;
          }
          if (!predicate(message)) return false;
          clearTimeout(timer);
          resolve(message);
          return true;
        },
        fail: (error) => { clearTimeout(timer); reject(error); },
      });
    });
  }

  latest(key) {
    for (let i = this.messages.length - 1; i >= 0; i--) {
      if (key in this.messages[i]) return this.messages[i];
    }
    return undefined;
  }

  send(command) {
    this.proc.stdin.write(`${command}\n`);
  }
}

// ffmpeg's errors when it decodes the whole file ('' when there are none). Frames keep their
// own times (capture times need not fit a frame-rate grid).
function decodeErrors(file) {
  const decoded = spawnSync('ffmpeg', ['-v', 'error', '-i', file, '-fps_mode', 'passthrough',
    '-enc_time_base', '-1', '-f', 'null', '-'], { encoding: 'utf8', timeout: 120_000 });
  return decoded.status === 0 ? decoded.stderr.trim() : `exit ${decoded.status}: ${decoded.stderr}`;
}

// The file decodes without a single error; ffprobe counts its packets.
function playableFrames(file) {
  assert.equal(decodeErrors(file), '', `${file} decodes with errors`);
  return Number(probe(file).stream.nb_read_packets);
}

function indexFirst(file) {
  const boxes = topLevelBoxes(file);
  return boxes.indexOf('moov') >= 0 && boxes.indexOf('moov') < boxes.indexOf('mdat') &&
    !boxes.includes('moof');
}

function processGone(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2)[0] === 'Z';
  } catch {
    return true;
  }
}

async function waitGone(pid, timeoutMs = 30_000) {
  const until = Date.now() + timeoutMs;
  while (!processGone(pid)) {
    assert.ok(Date.now() < until, `process ${pid} is still there`);
    await sleep(20);
  }
}

// Frames recorded before the fault, frames the file kept: the loss must stay within 2 s.
function checkLoss(t, what, before, kept) {
  assert.ok(kept <= before + 1, `${what}: ${kept} frames kept of ${before} recorded`);
  const lost = Math.max(0, before - kept);
  t.diagnostic(`${what}: ${before} frames recorded before the fault, ${kept} kept, ` +
    `${lost} lost (${(lost / FPS).toFixed(2)} s)`);
  assert.ok(lost <= LOSS_LIMIT_FRAMES, `${what}: ${lost} frames lost`);
}

function noFinalizingCopy(file) {
  assert.equal(fs.existsSync(`${file}.finalizing`), false, 'the unfinished regular copy is removed');
}

const small = (file, extra = {}) => ({
  mode: 'external', file, width: 320, height: 240, fps: FPS, bitrate: 1_000_000, ...extra,
});

test('the application killed while recording: encworker finalizes what it received', async (t) => {
  const file = path.join(tempDir(t), 'killed-app.mp4');
  const app = new RecordingApp(t, small(file));
  await app.waitFor((m) => m.accepted >= 90 && m.worker > 0);
  app.proc.kill('SIGKILL');
  await app.exited;
  const { accepted, worker } = app.latest('accepted');
  await waitGone(worker);
  checkLoss(t, 'application killed', accepted, playableFrames(file));
  assert.ok(indexFirst(file), 'the worker turned it into the regular file');
  noFinalizingCopy(file);
});

test('process.exit() and an uncaught exception during an external recording finalize it', async (t) => {
  const dir = tempDir(t);
  for (const [command, exitCode] of [['exit', 0], ['throw', 1]]) {
    const file = path.join(dir, `${command}.mp4`);
    const app = new RecordingApp(t, small(file));
    await app.waitFor((m) => m.accepted >= 45 && m.worker > 0);
    app.send(command);
    const { code } = await app.exited;
    assert.equal(code, exitCode, app.stderr);
    const { accepted, worker } = app.latest('accepted');
    await waitGone(worker);
    const kept = playableFrames(file);
    checkLoss(t, `${command} of the application`, accepted, kept);
    assert.ok(indexFirst(file));
  }
});

test('encworker killed: the recording fails, the file keeps its prefix, the next one works', async (t) => {
  const dir = tempDir(t);
  const file = path.join(dir, 'killed-worker.mp4');
  const app = new RecordingApp(t, small(file));
  const { worker } = await app.waitFor((m) => m.accepted >= 90 && m.worker > 0);
  process.kill(worker, 'SIGKILL');
  const { accepted } = app.latest('accepted');
  const { ended } = await app.waitFor((m) => m.ended);
  assert.equal(ended.error, 'Software video encoder disconnected');
  app.send('stop');
  const stopped = await app.waitFor((m) => 'stopped' in m);
  assert.equal(stopped.stopped, -3);
  assert.equal(stopped.lastError, 'Software video encoder disconnected');
  await waitGone(worker);
  checkLoss(t, 'encworker killed', accepted, playableFrames(file));
  noFinalizingCopy(file);

  app.send(`again ${path.join(dir, 'after.mp4')}`);
  const next = await app.waitFor((m) => 'again' in m);
  assert.equal(next.again, 0, next.lastError);
  assert.equal(playableFrames(path.join(dir, 'after.mp4')), 10);
  app.send('quit');
  assert.equal((await app.exited).code, 0);
});

test('encworker stopped for good is killed and collected; the file keeps its prefix', async (t) => {
  const dir = tempDir(t);
  const file = path.join(dir, 'stalled.mp4');
  const app = new RecordingApp(t, small(file));
  const { worker } = await app.waitFor((m) => m.accepted >= 60 && m.worker > 0);
  t.after(() => { try { process.kill(worker, 'SIGKILL'); } catch { /* collected */ } });
  process.kill(worker, 'SIGSTOP');
  const { accepted } = app.latest('accepted');
  // The addon gives up once the worker has made no progress for 10 s.
  const { ended } = await app.waitFor((m) => m.ended, 60_000);
  assert.equal(ended.error, 'Software video encoder timed out');
  assert.ok(ended.framesDropped > 0, 'frames pushed meanwhile were dropped and counted');
  await waitGone(worker);
  app.send('stop');
  assert.equal((await app.waitFor((m) => 'stopped' in m)).stopped, -3);
  checkLoss(t, 'encworker stopped for good', accepted, playableFrames(file));

  app.send(`again ${path.join(dir, 'after.mp4')}`);
  assert.equal((await app.waitFor((m) => 'again' in m)).again, 0);
  assert.equal(playableFrames(path.join(dir, 'after.mp4')), 10);
  app.send('quit');
  await app.exited;
});

test('encworker stopped for 1 s and for 4 s costs frames, not the recording', async (t) => {
  const file = path.join(tempDir(t), 'paused.mp4');
  const app = new RecordingApp(t, small(file));
  const { worker } = await app.waitFor((m) => m.accepted >= 30 && m.worker > 0);
  t.after(() => { try { process.kill(worker, 'SIGCONT'); } catch { /* gone */ } });
  for (const pauseMs of [1000, 4000]) {
    process.kill(worker, 'SIGSTOP');
    await sleep(pauseMs);
    process.kill(worker, 'SIGCONT');
    // Recording goes on: frames are accepted again.
    const resumed = app.latest('accepted').accepted;
    const after = await app.waitFor((m) => m.accepted >= resumed + FPS);
    assert.equal(after.recording, true);
  }
  app.send('stop');
  const { stopped, status } = await app.waitFor((m) => 'stopped' in m);
  assert.equal(stopped, 0, status.error);
  assert.equal(status.error, '');
  const last = app.latest('accepted');
  assert.ok(status.framesDropped > 0, 'frames pushed while the encoder stood still were dropped');
  assert.equal(status.framesDropped, last.refused);
  assert.equal(status.framesWritten, last.accepted);
  assert.equal(playableFrames(file), status.framesWritten);
  assert.ok(indexFirst(file));
  t.diagnostic(`${status.framesWritten} frames written, ${status.framesDropped} dropped`);
});

test('two busy processes beside a 1280x720 recording cost frames, not the recording', async (t) => {
  const busy = [0, 1].map(() => {
    const child = spawn('sh', ['-c', 'while :; do :; done'], { timeout: 120_000, killSignal: 'SIGKILL' });
    t.after(() => child.kill('SIGKILL'));
    return child;
  });
  assert.equal(busy.length, 2);
  const file = path.join(tempDir(t), 'busy.mp4');
  const app = new RecordingApp(t, { ...small(file), width: 1280, height: 720, bitrate: 4_000_000 });
  await app.waitFor((m) => m.accepted + m.refused >= 4 * FPS, 60_000);
  app.send('stop');
  const { stopped, status } = await app.waitFor((m) => 'stopped' in m, 60_000);
  assert.equal(stopped, 0, status.error);
  assert.equal(status.error, '');
  const last = app.latest('accepted');
  assert.equal(status.framesWritten, last.accepted);
  assert.equal(status.framesDropped, last.refused);
  assert.equal(playableFrames(file), status.framesWritten);
  assert.ok(indexFirst(file));
  t.diagnostic(`${status.framesWritten} frames written, ${status.framesDropped} dropped under load`);
});

// A small tmpfs as the disk (root only), unmounted whatever happens.
function smallDisk(t, size) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zentri-disk-'));
  const mounted = spawnSync('mount', ['-t', 'tmpfs', '-o', `size=${size}`, 'tmpfs', dir], { encoding: 'utf8' });
  if (mounted.status !== 0) {
    fs.rmdirSync(dir);
    return null;
  }
  t.after(async () => {
    for (let i = 0; i < 50; i++) {
      if (spawnSync('umount', [dir]).status === 0) break;
      await sleep(100);
    }
    fs.rmSync(dir, { recursive: true, force: true });
  });
  return dir;
}

const rootOnly = process.getuid && process.getuid() === 0 ? {} : { skip: 'mounting a tmpfs needs root' };

test('a full disk keeps the recorded prefix and reports the write failure', rootOnly, async (t) => {
  const disk = smallDisk(t, '1m');
  assert.ok(disk, 'tmpfs mounted');
  const file = path.join(disk, 'full.mp4');
  const app = new RecordingApp(t, small(file, { bitrate: 2_000_000, pattern: 'noise' }));
  const { ended } = await app.waitFor((m) => m.ended, 60_000);
  assert.equal(ended.error, 'Writing an H.264 packet failed: No space left on device');
  const { worker } = app.latest('accepted');
  app.send('stop');
  const stopped = await app.waitFor((m) => 'stopped' in m);
  assert.equal(stopped.stopped, -3);
  assert.equal(stopped.lastError, 'Writing an H.264 packet failed: No space left on device');
  await waitGone(worker);
  checkLoss(t, 'disk full', ended.framesWritten, playableFrames(file));
  noFinalizingCopy(file);

  const after = path.join(tempDir(t), 'after.mp4');
  app.send(`again ${after}`);
  assert.equal((await app.waitFor((m) => 'again' in m)).again, 0);
  assert.equal(playableFrames(after), 10);
  app.send('quit');
  await app.exited;
});

// Fills the file system at dir up to its last byte.
function fillUp(dir) {
  const fd = fs.openSync(path.join(dir, 'filler'), 'w');
  try {
    for (const chunk of [1 << 20, 1 << 16, 1 << 12, 1 << 9]) {
      const bytes = Buffer.alloc(chunk);
      try {
        for (;;) fs.writeSync(fd, bytes);
      } catch (error) {
        if (error.code !== 'ENOSPC') throw error;
      }
    }
  } finally {
    fs.closeSync(fd);
  }
}

test('a disk too full to finish the regular file keeps the fragmented file, which plays', rootOnly, async (t) => {
  const disk = smallDisk(t, '8m');
  assert.ok(disk, 'tmpfs mounted');
  const file = path.join(disk, 'tight.mp4');
  const app = new RecordingApp(t, small(file, { pattern: 'noise' }));
  await app.waitFor((m) => m.accepted >= 3 * FPS);
  app.send('pause');
  await app.waitFor((m) => m.paused);
  fillUp(disk);
  app.send('stop');
  const { stopped, lastError, status } = await app.waitFor((m) => 'stopped' in m);
  assert.equal(stopped, -3);
  assert.equal(lastError, 'Finalizing the MP4 file failed: No space left on device');
  assert.equal(status.error, lastError);
  assert.equal(playableFrames(file), status.framesWritten, 'every frame is in the fragmented file');
  assert.ok(topLevelBoxes(file).includes('moof'));
  noFinalizingCopy(file);
  app.send('quit');
  await app.exited;
});

test('a recording whose regular copy had to go for room is copied at the end once there is room', rootOnly, async (t) => {
  const disk = smallDisk(t, '8m');
  assert.ok(disk, 'tmpfs mounted');
  const file = path.join(disk, 'copied.mp4');
  const app = new RecordingApp(t, small(file, { pattern: 'noise' }));
  await app.waitFor((m) => m.accepted >= 2 * FPS);
  // Little room left: at the next fragment the regular copy goes, the recording goes on.
  const { bavail, bsize } = fs.statfsSync(disk);
  const filler = path.join(disk, 'filler');
  fs.writeFileSync(filler, Buffer.alloc(Math.max(0, bavail * bsize - 512 * 1024)));
  const from = app.latest('accepted').accepted;
  await app.waitFor((m) => m.accepted >= from + 2 * FPS);
  fs.rmSync(filler);
  app.send('stop');
  const { stopped, status } = await app.waitFor((m) => 'stopped' in m);
  assert.equal(stopped, 0, status.error);
  assert.equal(playableFrames(file), status.framesWritten);
  // Copied from the fragmented file: the index in room kept for it, in front of the media.
  assert.deepEqual(topLevelBoxes(file), ['ftyp', 'moov', 'free', 'free', 'mdat']);
  noFinalizingCopy(file);
  app.send('quit');
  await app.exited;
});

test('a camera that vanishes ends its recording with the capture error; the file is kept', async (t) => {
  const dir = tempDir(t);
  const file = path.join(dir, 'camera.mp4');
  const app = new RecordingApp(t, { ...small(file), mode: 'camera' });
  await app.waitFor((m) => m.written >= 60);
  app.send('vanish');
  const { written } = await app.waitFor((m) => 'vanished' in m);
  const { ended } = await app.waitFor((m) => m.ended);
  assert.match(ended.error, /^The camera stopped delivering frames \(capture result -\d+\)$/);
  assert.ok(ended.framesWritten >= written);
  app.send('stop');
  const stopped = await app.waitFor((m) => 'stopped' in m);
  assert.equal(stopped.stopped, 0);
  assert.equal(stopped.status.error, ended.error);
  const kept = playableFrames(file);
  assert.equal(kept, ended.framesWritten);
  // Frames still queued when the camera went are written too: nothing is lost.
  assert.ok(kept >= written, `${kept} frames kept of ${written} written before the camera went`);
  t.diagnostic(`camera gone: ${written} frames written before, ${kept} kept, 0 lost`);
  assert.ok(indexFirst(file));

  app.send(`again ${path.join(dir, 'replugged.mp4')}`);
  const next = await app.waitFor((m) => 'again' in m, 60_000);
  assert.equal(next.again, 0, next.status.error);
  assert.ok(playableFrames(path.join(dir, 'replugged.mp4')) >= 10);
  app.send('quit');
  assert.equal((await app.exited).code, 0);
});

// A program run with a hard time-out; its exit status and output.
function runNode(args, options = {}) {
  return spawnSync(process.execPath, args, {
    encoding: 'utf8', timeout: 90_000, killSignal: 'SIGKILL', ...options,
  });
}

test('two worker threads starting and stopping the camera recording at once both finish', (t) => {
  const dir = tempDir(t);
  const script = `
    const { Worker, isMainThread, workerData, parentPort } = require('node:worker_threads');
    const z = require(${JSON.stringify(rootDir)});
    if (isMainThread) {
      z.loadCameraBackend(${JSON.stringify(buildPath('libcnokhwa.so'))});
      const n = z.cameraDevicesCount();
      if (z.cameraStartCapture(n - 1, 640, 480) !== 0 || z.cameraPreviewStart(n - 1, 320, 240, 30) !== 0) process.exit(2);
      let done = 0;
      for (const id of [0, 1]) {
        new Worker(__filename, { workerData: id }).on('message', (results) => {
          if (++done === 2) {
            z.cameraStopCapture();
            process.stdout.write(JSON.stringify(results));
          }
        });
      }
    } else {
      const results = [];
      for (let i = 0; i < 20; i++) {
        results.push(z.cameraRecordingStart(${JSON.stringify(dir)} + '/t' + workerData + '-' + i + '.mp4', 320, 240, 30, 1000000));
        Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 30);
        results.push(z.cameraRecordingStop());
      }
      parentPort.postMessage(results);
    }`;
  const program = path.join(dir, 'threads.js');
  fs.writeFileSync(program, script);
  const run = runNode([program], { env: { ...process.env, CNOKHWA_SYNTHETIC_CAMERAS: '640x480@30' } });
  assert.equal(run.status, 0, `${run.signal ?? ''} ${run.stderr}`);
  const results = JSON.parse(run.stdout);
  assert.equal(results.length, 40);
  for (const result of results) assert.ok(result === 0 || result === -3, String(result));
  // Every recording that got frames before the other thread ended it plays.
  const files = fs.readdirSync(dir).filter((name) => name.endsWith('.mp4'));
  assert.equal(files.length, 40);
  const withFrames = files.filter((name) => probeHasVideo(path.join(dir, name)));
  for (const name of withFrames) assert.equal(decodeErrors(path.join(dir, name)), '', name);
});

// Whether the file holds a video stream (a recording stopped before its first frame has none).
function probeHasVideo(file) {
  const probed = spawnSync('ffprobe', ['-v', 'error', '-select_streams', 'v', '-show_entries',
    'stream=index', '-of', 'csv=p=0', file], { encoding: 'utf8', timeout: 60_000 });
  return probed.status === 0 && probed.stdout.trim() !== '';
}

test('without encworker beside the addon, libx264 is never opened in the application', (t) => {
  const dir = tempDir(t);
  fs.copyFileSync(buildPath('zentri_native.node'), path.join(dir, 'zentri_native.node'));
  const script = `
    const z = require(${JSON.stringify(path.join(dir, 'zentri_native.node'))});
    const result = z.externalRecordingStart(${JSON.stringify(path.join(dir, 'x.mp4'))}, 320, 240, 30, 1000000);
    process.stdout.write(JSON.stringify({ result, error: z.getLastError(), status: z.externalRecordingStatus() }));`;
  const run = runNode(['-e', script]);
  assert.equal(run.status, 0, run.stderr);
  const { result, error, status } = JSON.parse(run.stdout);
  assert.equal(result, -3);
  assert.match(error, /^No usable FFmpeg H\.264 encoder was found \((.+; )?libx264: The native software video encoder worker is missing\)$/);
  assert.equal(status.recording, false);
  assert.equal(status.error, error);
  assert.doesNotMatch(run.stderr, /x264/, 'libx264 said nothing: it was never opened');
});
