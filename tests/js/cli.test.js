'use strict';
// The `zentri` command-line tool run as a user runs it, against synthetic cameras: what each
// subcommand writes, and one-line failures for bad input that leave no half-written files.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { PNG } = require('pngjs');
const { rootDir, loadAddon, tempDir } = require('./helpers');
const { probe, childProcesses } = require('./recording_helpers');
const { syntheticFocusStack } = require('../../cli/focus_stack');
const { sharpnessMap } = require('../../cli/sharpness');
const { writePng } = require('../../cli/images');

const addon = loadAddon();
const cli = path.join(rootDir, 'bin', 'zentri');
const has = (...names) => names.every((n) => typeof addon[n] === 'function');
const previewLanded = has('cameraPreviewStart', 'cameraPreviewGetLatest', 'cameraPreviewGetLatestQualityFrame');
const recordingLanded = previewLanded && has('cameraRecordingStart', 'cameraRecordingStatus');
const fusionLanded = has('edofMultibandFuse');

function run(args, { synthetic = '1280x720@30', env = {} } = {}) {
  const childEnv = { ...process.env, ...env };
  if (synthetic) childEnv.CNOKHWA_SYNTHETIC_CAMERAS = synthetic;
  else delete childEnv.CNOKHWA_SYNTHETIC_CAMERAS;
  const r = spawnSync(process.execPath, [cli, ...args], { encoding: 'utf8', env: childEnv, timeout: 60_000 });
  return { code: r.status, stdout: r.stdout, stderr: r.stderr };
}

// A failure is one line on stderr, starting with the tool's name, and a non-zero exit code.
function assertOneLineError(result, pattern) {
  assert.notEqual(result.code, 0, `exit code for: ${result.stderr}`);
  const lines = result.stderr.split('\n').filter((l) => l !== '');
  assert.equal(lines.length, 1, `one line expected, got:\n${result.stderr}`);
  assert.match(lines[0], /^zentri: /);
  assert.match(lines[0], pattern);
}

function readPng(file) {
  return PNG.sync.read(fs.readFileSync(file));
}

// Files whose names mark them as unfinished output.
function partialFiles(dir) {
  return fs.readdirSync(dir).filter((name) => name.includes('.partial'));
}

// Checks a decimated frame of the synthetic pattern: the frame number from the top band, then
// the moving gradient below it, sampled at `step` source pixels per output pixel.
function assertSyntheticPattern(png, sourceHeight, step) {
  const px = (x, y) => {
    const i = (y * png.width + x) * 4;
    return [png.data[i], png.data[i + 1], png.data[i + 2], png.data[i + 3]];
  };
  const [r0, g0, b0] = px(0, 0);
  const n = r0 | (g0 << 8) | (b0 << 16);
  assert.ok(n >= 1, 'frame number in the top band');
  const band = Math.max(1, Math.floor(sourceHeight / 8));
  for (let y = 0; y * step < band; y += 3) {
    for (let x = 0; x < png.width; x += 37) assert.deepEqual(px(x, y), [r0, g0, b0, 255], `band pixel ${x},${y}`);
  }
  for (let y = Math.ceil(band / step); y < png.height; y += 7) {
    for (let x = 0; x < png.width; x += 13) {
      const sx = x * step;
      const sy = y * step;
      assert.deepEqual(px(x, y), [(sx + 4 * n) & 255, (sy + 2 * n) & 255, (sx + sy + n) & 255, 255],
        `gradient pixel ${x},${y}`);
    }
  }
}

test('cameras lists the synthetic cameras with their formats', () => {
  const text = run(['cameras'], { synthetic: '640x480@15,320x240' });
  assert.equal(text.code, 0, text.stderr);
  assert.match(text.stdout, /Synthetic Camera 0 {2}\[synthetic-0\]/);
  assert.match(text.stdout, /Synthetic Camera 1 {2}\[synthetic-1\]/);
  const json = run(['cameras', '--json'], { synthetic: '640x480@15,320x240' });
  const cameras = JSON.parse(json.stdout);
  const synthetic = cameras.filter((c) => c.uniqueId.startsWith('synthetic-'));
  assert.equal(synthetic.length, 2);
  assert.ok(synthetic[0].formats.some((f) => f.width === 640 && f.height === 480 && f.frameRate === 15 && f.type === 'rgb'));
  // --synthetic switches one on where the environment has none.
  const flag = run(['cameras', '--synthetic-sizes', '800x600@10', '--json'], { synthetic: null });
  assert.ok(JSON.parse(flag.stdout).some((c) => c.formats.some((f) => f.width === 800 && f.height === 600)));
});

test('snapshot writes the decimated synthetic frame as a PNG', (t) => {
  const dir = tempDir(t);
  const file = path.join(dir, 'shot.png');
  const result = run(['snapshot', file]);
  assert.equal(result.code, 0, result.stderr);
  assert.match(result.stdout, /640x360 RGBA frame of Synthetic Camera 0 \(camera frame 1280x720\)/);
  const png = readPng(file);
  assert.deepEqual([png.width, png.height], [640, 360]);
  assertSyntheticPattern(png, 720, 2);

  const full = path.join(dir, 'full.png');
  assert.equal(run(['snapshot', full, '--size', '320x240', '--max', '320x240']).code, 0);
  const small = readPng(full);
  assert.deepEqual([small.width, small.height], [320, 240]);
  assertSyntheticPattern(small, 240, 1);
  assert.deepEqual(partialFiles(dir), []);
});

test('camera commands fail in one line for bad input and write nothing', (t) => {
  const dir = tempDir(t);
  const out = path.join(dir, 'x.png');
  assertOneLineError(run(['snapshot', path.join(dir, 'missing', 'x.png')]), /directory .*missing does not exist/);
  assertOneLineError(run(['snapshot', out, '-c', '7']), /camera 7 does not exist: the only camera is 0/);
  if (/no camera found/.test(run(['cameras'], { synthetic: null }).stdout)) {
    assertOneLineError(run(['snapshot', out], { synthetic: null }), /camera 0 does not exist: no camera found/);
  }
  assertOneLineError(run(['snapshot', out, '-c', 'two']), /camera index must be a whole number/);
  assertOneLineError(run(['snapshot', out, '--size', '640by480']), /capture size must look like 1280x720/);
  assertOneLineError(run(['snapshot', dir]), /it is a directory/);
  assertOneLineError(run(['snapshot']), /missing required argument/);
  assertOneLineError(run(['snapshot', out, '--bogus']), /unknown option '--bogus'/);
  assertOneLineError(run(['preview', '-d', '0']), /duration must be a number of seconds above 0/);
  assertOneLineError(run(['record', out, '-d', 'x']), /duration must be/);
  assertOneLineError(run(['nonsense']), /unknown command 'nonsense'/);
  assert.deepEqual(fs.readdirSync(dir), []);
});

test('the sharpness measure picks the frame in focus in every band of a focus stack', () => {
  const width = 160;
  const height = 100;
  const count = 5;
  const { frames } = syntheticFocusStack(width, height, count);
  const maps = frames.map((f) => sharpnessMap(f, width, height));
  for (let band = 0; band < count; band++) {
    const y = Math.floor(((band + 0.5) * height) / count);
    for (const x of [10, 80, 150]) {
      const weights = maps.map((m) => m[y * width + x]);
      assert.equal(weights.indexOf(Math.max(...weights)), band, `band ${band} at x ${x}: ${weights}`);
    }
  }
});

test('preview prints live statistics and a summary', { skip: !previewLanded && 'the preview is not in this build' }, () => {
  const result = run(['preview', '-d', '2', '--max', '640x360', '--fps', '30']);
  assert.equal(result.code, 0, result.stderr);
  const live = result.stdout.split('\n').filter((l) => /fps {2}sequence \d+ {2}dropped \d+ {2}640x360$/.test(l));
  assert.ok(live.length >= 1, result.stdout);
  const summary = /preview: (\d+) frames in ([\d.]+) s, ([\d.]+) fps .*, (\d+) dropped, 640x360 from 1280x720/.exec(result.stdout);
  assert.ok(summary, result.stdout);
  assert.ok(Number(summary[1]) >= 20, `frames: ${summary[1]}`);
  assert.ok(Number(summary[3]) > 5, `fps: ${summary[3]}`);
});

test('snapshot --quality writes the full-resolution frame', { skip: !previewLanded && 'the preview is not in this build' }, (t) => {
  const file = path.join(tempDir(t), 'quality.png');
  const result = run(['snapshot', file, '--quality']);
  assert.equal(result.code, 0, result.stderr);
  const png = readPng(file);
  assert.deepEqual([png.width, png.height], [1280, 720]);
  assertSyntheticPattern(png, 720, 1);
});

test('record writes an MP4 that ffprobe reads and prints the recording status',
  { skip: !recordingLanded && 'camera recording is not in this build' }, (t) => {
    const dir = tempDir(t);
    const file = path.join(dir, 'clip.mp4');
    const result = run(['record', file, '-d', '2', '--max', '640x360']);
    assert.equal(result.code, 0, result.stderr);
    assert.match(result.stdout, /recording camera 0 \(Synthetic Camera 0\) at 640x360, 30 fps for 2 s/);
    const written = /frames written (\d+), dropped (\d+), duration ([\d.]+) s/.exec(result.stdout);
    assert.ok(written, result.stdout);
    assert.match(result.stdout, /encoder \S+/);
    const { stream } = probe(file);
    assert.equal(stream.codec_name, 'h264');
    assert.deepEqual([stream.width, stream.height], [640, 360]);
    assert.equal(Number(stream.nb_read_packets), Number(written[1]));
    assert.ok(Number(written[1]) >= 30, `frames: ${written[1]}`);
    assert.deepEqual(fs.readdirSync(dir), ['clip.mp4']);
  });

test('Ctrl-C during record still finalizes a playable MP4',
  { skip: !recordingLanded && 'camera recording is not in this build' }, async (t) => {
    const dir = tempDir(t);
    const file = path.join(dir, 'interrupted.mp4');
    // Its own process group, like a shell job: the signal goes to the whole group, as a
    // terminal's Ctrl-C does.
    const child = spawn(process.execPath, [cli, 'record', file, '-d', '30', '--max', '320x180'], {
      detached: true, env: { ...process.env, CNOKHWA_SYNTHETIC_CAMERAS: '1280x720@30' },
    });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (d) => { stdout += d; });
    child.stderr.on('data', (d) => { stderr += d; });
    const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
    const deadline = Date.now() + 20_000;
    while (!stdout.includes('Ctrl-C stops early') && Date.now() < deadline) {
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
    assert.match(stdout, /Ctrl-C stops early/, stderr);
    await new Promise((resolve) => setTimeout(resolve, 1500));
    process.kill(-child.pid, 'SIGINT');
    assert.equal(await exited, 130, stderr);
    assert.match(stdout, /interrupted: the recording stopped after [\d.]+ s and was finalized/);
    const { stream } = probe(file);
    assert.equal(stream.codec_name, 'h264');
    assert.ok(Number(stream.nb_read_packets) >= 10, `packets: ${stream.nb_read_packets}`);
    assert.deepEqual(fs.readdirSync(dir), ['interrupted.mp4']);
    assert.deepEqual(childProcesses('encworker'), []);
  });

test('a recording process that is killed leaves no file and one line',
  { skip: !recordingLanded && 'camera recording is not in this build' }, async (t) => {
    const dir = tempDir(t);
    const child = spawn(process.execPath, [cli, 'record', path.join(dir, 'killed.mp4'), '-d', '30', '--max', '320x180'], {
      env: { ...process.env, CNOKHWA_SYNTHETIC_CAMERAS: '1280x720@30' },
    });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (d) => { stdout += d; });
    child.stderr.on('data', (d) => { stderr += d; });
    const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
    const deadline = Date.now() + 20_000;
    while (!stdout.includes('Ctrl-C stops early') && Date.now() < deadline) {
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
    assert.equal(fs.readdirSync(dir).filter((n) => n.endsWith('.partial.mp4')).length, 1, 'recording under a temporary name');
    // The recording runs in a copy of the tool, the one child of the process we started.
    const copy = Number(fs.readFileSync(`/proc/${child.pid}/task/${child.pid}/children`, 'utf8').trim());
    process.kill(copy, 'SIGKILL');
    assert.equal(await exited, 1);
    assert.equal(stderr, 'zentri: the recording process was killed by SIGKILL; nothing was recorded\n');
    assert.deepEqual(fs.readdirSync(dir), []);
  });

test('fuse writes a fused PNG closer to the sharp scene than any frame',
  { skip: !fusionLanded && 'fusion is not in this build' }, (t) => {
    const dir = tempDir(t);
    const width = 320;
    const height = 200;
    const { scene, frames } = syntheticFocusStack(width, height, 5);
    const files = frames.map((f, k) => writePng(path.join(dir, `f${k}.png`), f, width, height));
    const out = path.join(dir, 'fused.png');
    const result = run(['fuse', '-o', out, ...files]);
    assert.equal(result.code, 0, result.stderr);
    assert.match(result.stdout, /320x200 fused from 5 frames \(reference 2\)/);
    assert.match(result.stdout, /fusion [\d.]+ ms on \d+ threads? \(native-cpp, (avx2|sse2)\)/);
    const fused = readPng(out);
    assert.deepEqual([fused.width, fused.height], [width, height]);
    const error = (img) => {
      let sum = 0;
      for (let i = 0; i < scene.length; i += 4) {
        for (let c = 0; c < 3; c++) sum += Math.abs(img[i + c] - scene[i + c]);
      }
      return sum / (width * height * 3);
    };
    const best = Math.min(...frames.map(error));
    assert.ok(error(fused.data) < best / 2, `fused ${error(fused.data)} vs best frame ${best}`);
    for (let i = 3; i < fused.data.length; i += 4) assert.equal(fused.data[i], 255);
  });

test('fuse fails in one line for bad stacks and writes nothing',
  { skip: !fusionLanded && 'fusion is not in this build' }, (t) => {
    const dir = tempDir(t);
    const { frames } = syntheticFocusStack(64, 48, 3);
    const files = frames.map((f, k) => writePng(path.join(dir, `f${k}.png`), f, 64, 48));
    const other = writePng(path.join(dir, 'other.png'), new Uint8Array(32 * 48 * 4), 32, 48);
    const text = path.join(dir, 'text.png');
    fs.writeFileSync(text, 'not an image');
    const broken = path.join(dir, 'broken.png');
    fs.writeFileSync(broken, fs.readFileSync(files[0]).subarray(0, 60));
    const out = path.join(dir, 'out.png');
    const before = fs.readdirSync(dir).sort();
    assertOneLineError(run(['fuse', '-o', out, files[0], files[1], path.join(dir, 'none.png')]), /none\.png: no such file/);
    assertOneLineError(run(['fuse', '-o', out, files[0], files[1], text]), /text\.png: not a PNG or JPEG image/);
    assertOneLineError(run(['fuse', '-o', out, files[0], files[1], broken]), /broken\.png: not a readable PNG image/);
    assertOneLineError(run(['fuse', '-o', out, files[0], other, files[1]]),
      /other\.png is 32x48 but .*f0\.png is 64x48: all images of a stack must have the same size/);
    assertOneLineError(run(['fuse', '-o', out, files[0], files[1]]), /needs 3 to 11 images, got 2/);
    assertOneLineError(run(['fuse', '-o', out, ...Array(12).fill(files[0])]), /needs 3 to 11 images, got 12/);
    assertOneLineError(run(['fuse', '-o', path.join(dir, 'no', 'out.png'), ...files]), /directory .*no does not exist/);
    assertOneLineError(run(['fuse', '-o', out, '--reference', '5', ...files]), /reference frame must be 0 to 2, got 5/);
    assertOneLineError(run(['fuse', ...files]), /required option '-o, --output/);
    assert.deepEqual(fs.readdirSync(dir).sort(), before);
  });

test('without the addon, or without a module of it, commands fail in one line', (t) => {
  const empty = tempDir(t);
  for (const args of [['cameras'], ['fuse', '-o', path.join(empty, 'x.png'), 'a', 'b', 'c'], ['zentri', 'list']]) {
    assertOneLineError(run(args, { env: { ZENTRI_NATIVE_BUILD_DIR: empty } }),
      /the addon is not built: .*zentri_native\.node is missing \(run bash scripts\/bootstrap\.sh\)/);
  }
  const { requireFunctions } = require('../../cli/addon');
  const { CliError } = require('../../cli/errors');
  assert.throws(() => requireFunctions('the flux capacitor', ['getLastError', 'fluxCapacitorStart']),
    (error) => error instanceof CliError &&
      error.message === 'the flux capacitor is not in this build of the addon (no fluxCapacitorStart function)');
  assert.equal(requireFunctions('lock files', ['lockFile', 'unlockFile']), addon);
});

test('recording limits give the preview an even size where the default limits would not', () => {
  const { decimatedSize, evenPreviewLimits } = require('../../cli/record');
  const max = { width: 960, height: 540 };
  // The addon's examples of its decimation rule.
  assert.deepEqual(decimatedSize(1920, 1080, max), { width: 960, height: 540 });
  assert.deepEqual(decimatedSize(1280, 720, max), { width: 640, height: 360 });
  assert.deepEqual(decimatedSize(1001, 1001, { width: 500, height: 500 }), { width: 333, height: 333 });
  assert.deepEqual(evenPreviewLimits(1920, 1080, max), max, 'even already: unchanged');
  for (const [w, h] of [[1600, 1200], [1001, 1001], [2592, 1944], [1366, 768], [3264, 2448]]) {
    const size = decimatedSize(w, h, evenPreviewLimits(w, h, max));
    assert.ok(size.width % 2 === 0 && size.height % 2 === 0, `${w}x${h} gives ${size.width}x${size.height}`);
    assert.ok(size.width <= 960 && size.height <= 540, `${w}x${h} within the limits`);
  }
});

// ---- microscopes ----

const emulatorPath = require('./helpers').buildPath('microscope_emulator.node');
const umockdevWrapper = spawnSync('sh', ['-c', 'command -v umockdev-wrapper']).status === 0;
const zentriLanded = has('loadZentri') && fs.existsSync(emulatorPath) && umockdevWrapper;

// Runs `zentri <args>` inside a node under umockdev-wrapper in which the emulated microscope
// exists (firmware 3.2.1 on hardware 1.4, protocol 1.5.0, focus 40), and reports the device's
// state afterwards on a marked line.
function runWithMicroscope(args) {
  const script = `
    const emu = require(${JSON.stringify(emulatorPath)});
    emu.open();
    const a = emu.addMicroscope({ serial: 'SN-CLI' });
    emu.setV4l2Focus(a, 40);
    emu.setProperty(a, 0x001, (3 << 16) | (2 << 8) | 1, (0x9059 << 16) | (1 << 8) | 4);
    emu.setProperty(a, 0x002, (1 << 16) | (5 << 8), 0);
    require(${JSON.stringify(path.join(rootDir, 'cli', 'main'))}).main(['node', 'zentri', ...${JSON.stringify(args)}])
      .then(() => {
        console.log('@@device ' + JSON.stringify({ led: emu.state(a).led, focus: emu.v4l2Focus(a).value }));
        emu.close();
      });`;
  const r = spawnSync('umockdev-wrapper', [process.execPath, '-e', script], { encoding: 'utf8', timeout: 60_000 });
  const marked = /@@device (.*)/.exec(r.stdout);
  // libzentri itself reports on stderr which transport a selection uses.
  const stderr = r.stderr.split('\n').filter((l) => !/^Zentri controls using .* \(V4L2 XU\)$/.test(l)).join('\n');
  return { code: r.status, stdout: r.stdout, stderr, device: marked && JSON.parse(marked[1]) };
}

test('zentri lists, reads and sets the emulated microscope',
  { skip: !zentriLanded && 'Zentri control or its emulator is not in this build' }, () => {
    const list = runWithMicroscope(['zentri', 'list']);
    assert.equal(list.code, 0, list.stderr);
    assert.match(list.stdout, /^0: Smart Zentri Z1 {2}\[usb#vid_636c&pid_9059#SN-CLI\]$/m);
    const status = runWithMicroscope(['zentri', 'status']);
    assert.equal(status.code, 0, status.stderr);
    assert.match(status.stdout, /product 0x9059, hardware 1\.4, firmware 3\.2\.1/);
    assert.match(status.stdout, /protocol 1\.5\.0/);
    assert.match(status.stdout, /LED on/);
    assert.match(status.stdout, /supports focus, led, pixelSizeInfo, lensGroupInfo/);
    const focus = runWithMicroscope(['zentri', 'focus', '77']);
    assert.match(focus.stdout, /^focus position 77$/m, focus.stderr);
    assert.equal(focus.device.focus, 77);
    const led = runWithMicroscope(['zentri', 'led', 'off']);
    assert.match(led.stdout, /^LED off$/m, led.stderr);
    assert.equal(led.device.led, false);
    assertOneLineError(runWithMicroscope(['zentri', 'focus', '300']), /refused the focus position 300/);
    assertOneLineError(runWithMicroscope(['zentri', 'status', '-d', '3']), /Zentri microscope 3 does not exist: the only one is 0/);
    assertOneLineError(runWithMicroscope(['zentri', 'led', 'bright']), /LED state must be on or off/);
  });

const dinoLiteLanded = has('loadDinoLite') && fs.existsSync(require('./helpers').simulatorPath);

test('dinolite lists, reads and toggles the simulated microscopes',
  { skip: !dinoLiteLanded && 'Dino-Lite control is not in this build' }, (t) => {
    const scenario = path.join(tempDir(t), 'scenario.json');
    fs.writeFileSync(scenario, JSON.stringify({
      devices: [
        { id: 'CLI-A', name: 'Dino A', ledModes: [0x11, 0], amrReadings: [{ atMs: 0, value: 220 }], fovxAt1x: 400000 },
        { id: 'CLI-B', name: 'Dino B', amr: false, failLed: true },
      ],
    }));
    const dino = (...args) => run(['dinolite', ...args], { env: { DINOLITE_SIMULATOR_SCENARIO: scenario } });
    const list = dino('list');
    assert.equal(list.code, 0, list.stderr);
    assert.equal(list.stdout, '0: Dino A  [CLI-A]\n1: Dino B  [CLI-B]\n');
    const status = dino('status');
    assert.equal(status.code, 0, status.stderr);
    // 400000 um at 1x is 1.818 mm at 220x.
    assert.match(status.stdout, /^magnification 220x, field of view 1\.818 mm$/m);
    assert.match(status.stdout, /^LED mode 0x11 of \[0x11, 0x0\], MicroTouch yes$/m);
    assert.equal(dino('fov').stdout, 'field of view 1.818 mm at magnification 220x\n');
    assert.equal(dino('led', 'toggle').stdout, 'LED mode 0x0\n');
    assert.match(dino('status', '-d', '1').stdout, /^magnification unknown, field of view unknown$/m);
    assertOneLineError(dino('magnification', '-d', '1'), /Dino-Lite microscope 1 reports no magnification/);
    assertOneLineError(dino('led', 'toggle', '-d', '1'), /could not switch the LED: \S/);
    assertOneLineError(dino('status', '-d', '2'), /Dino-Lite microscope 2 does not exist: they are 0 to 1/);
    assertOneLineError(dino('list', '--library', '/nowhere/libdinolite.so'), /could not load libdinolite/);
  });
