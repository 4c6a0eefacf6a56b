'use strict';
// The `zentri` command-line tool run as a user runs it, against synthetic cameras and the
// emulated and simulated microscopes: what each subcommand writes and prints, the conventions of
// command-line tools (overwriting, formats by name, "-", --json, --version, progress, the
// terminal), and one-line failures for bad input that leave no half-written files.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const sharp = require('sharp');
const { rootDir, loadAddon, tempDir, buildPath, simulatorPath } = require('./helpers');
const { probe, childProcesses } = require('./recording_helpers');
const { syntheticFocusStack } = require('../../cli/focus_stack');
const { sharpnessMap } = require('../../cli/sharpness');
const { writeImage } = require('../../cli/images');

const addon = loadAddon();
const cli = path.join(rootDir, 'bin', 'zentri');
const has = (...names) => names.every((n) => typeof addon[n] === 'function');
const previewLanded = has('cameraPreviewStart', 'cameraPreviewGetLatest', 'cameraPreviewGetLatestQualityFrame');
const recordingLanded = previewLanded && has('cameraRecordingStart', 'cameraRecordingStatus');
const fusionLanded = has('edofMultibandFuse');
const noRecording = { skip: !recordingLanded && 'camera recording is not in this build' };
const noFusion = { skip: !fusionLanded && 'fusion is not in this build' };

function childEnv(synthetic, env) {
  const e = { ...process.env, ...env };
  if (synthetic) e.CNOKHWA_SYNTHETIC_CAMERAS = synthetic;
  else delete e.CNOKHWA_SYNTHETIC_CAMERAS;
  return e;
}

// Runs bin/zentri without a terminal; stdout is a Buffer with `encoding: null`.
function run(args, { synthetic = '1280x720@30', env = {}, encoding = 'utf8' } = {}) {
  const r = spawnSync(cli, args, { encoding, env: childEnv(synthetic, env), timeout: 90_000, stdio: ['ignore', 'pipe', 'pipe'] });
  return { code: r.status, stdout: r.stdout, stderr: String(r.stderr) };
}

// A failure is one line on stderr, starting with the tool's name, and a non-zero exit code.
function assertOneLineError(result, pattern) {
  assert.notEqual(result.code, 0, `exit code for: ${result.stderr}`);
  const lines = result.stderr.split('\n').filter((l) => l !== '');
  assert.equal(lines.length, 1, `one line expected, got:\n${result.stderr}`);
  assert.match(lines[0], /^zentri: /);
  assert.match(lines[0], pattern);
}

async function readPixels(file) {
  const { data, info } = await sharp(file).raw().toBuffer({ resolveWithObject: true });
  return { data, width: info.width, height: info.height, channels: info.channels };
}

const MAGIC = {
  png: (b) => b.subarray(0, 8).equals(Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a])),
  jpeg: (b) => b[0] === 0xff && b[1] === 0xd8 && b[2] === 0xff,
  tiff: (b) => ['49492a00', '4d4d002a'].includes(b.subarray(0, 4).toString('hex')),
  mp4: (b) => b.toString('latin1', 4, 8) === 'ftyp',
};
const formatOf = (bytes) => Object.keys(MAGIC).find((f) => MAGIC[f](bytes)) || null;

// Files whose names mark them as unfinished output.
function partialFiles(dir) {
  return fs.readdirSync(dir).filter((name) => name.includes('.partial'));
}

// Checks a decimated frame of the synthetic pattern: the frame number from the top band, then
// the moving gradient below it, sampled at `step` source pixels per output pixel.
function assertSyntheticPattern(img, sourceHeight, step) {
  const px = (x, y) => {
    const i = (y * img.width + x) * img.channels;
    return [img.data[i], img.data[i + 1], img.data[i + 2]];
  };
  const [r0, g0, b0] = px(0, 0);
  const n = r0 | (g0 << 8) | (b0 << 16);
  assert.ok(n >= 1, 'frame number in the top band');
  const band = Math.max(1, Math.floor(sourceHeight / 8));
  for (let y = 0; y * step < band; y += 3) {
    for (let x = 0; x < img.width; x += 37) assert.deepEqual(px(x, y), [r0, g0, b0], `band pixel ${x},${y}`);
  }
  for (let y = Math.ceil(band / step); y < img.height; y += 7) {
    for (let x = 0; x < img.width; x += 13) {
      const sx = x * step;
      const sy = y * step;
      assert.deepEqual(px(x, y), [(sx + 4 * n) & 255, (sy + 2 * n) & 255, (sx + sy + n) & 255], `gradient pixel ${x},${y}`);
    }
  }
}

// Runs `command` in a pseudo-terminal (util-linux script); resolves with everything the
// terminal showed. `onOutput(text, child)` sees the output as it comes.
function inTerminal(command, { env = {}, onOutput = () => {}, timeout = 60_000 } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn('script', ['-qfec', command, '/dev/null'], { env: childEnv('1280x720@30', env) });
    let text = '';
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`timed out; the terminal showed:\n${text}`));
    }, timeout);
    child.stdout.on('data', (d) => {
      text += d;
      onOutput(text, child);
    });
    child.on('exit', (code) => {
      clearTimeout(timer);
      resolve({ code, text });
    });
  });
}

const shellQuote = (args) => args.map((a) => `'${a.replace(/'/g, "'\\''")}'`).join(' ');

// ---- cameras and snapshots ----

test('cameras lists the synthetic cameras as text and JSON', () => {
  const text = run(['cameras'], { synthetic: '640x480@15,320x240' });
  assert.equal(text.code, 0, text.stderr);
  assert.match(text.stdout, /Synthetic Camera 0 {2}\[synthetic-0\]/);
  assert.match(text.stdout, /Synthetic Camera 1 {2}\[synthetic-1\]/);
  const cameras = JSON.parse(run(['cameras', '--json'], { synthetic: '640x480@15,320x240' }).stdout);
  const synthetic = cameras.filter((c) => c.uniqueId.startsWith('synthetic-'));
  assert.equal(synthetic.length, 2);
  assert.ok(synthetic[0].formats.some((f) => f.width === 640 && f.height === 480 && f.frameRate === 15 && f.type === 'rgb'));
  // --synthetic-sizes switches them on where the environment has none.
  const flag = run(['cameras', '--synthetic-sizes', '800x600@10', '--json'], { synthetic: null });
  assert.ok(JSON.parse(flag.stdout).some((c) => c.formats.some((f) => f.width === 800 && f.height === 600)));
});

test('snapshot writes the decimated synthetic frame in the format its name gives', async (t) => {
  const dir = tempDir(t);
  const png = path.join(dir, 'shot.png');
  const result = run(['snapshot', png]);
  assert.equal(result.code, 0, result.stderr);
  assert.match(result.stdout, /640x360 PNG, RGBA frame of Synthetic Camera 0 \(camera frame 1280x720\)/);
  const image = await readPixels(png);
  assert.deepEqual([image.width, image.height], [640, 360]);
  assertSyntheticPattern(image, 720, 2);

  for (const [name, format] of [['s.jpg', 'jpeg'], ['s.JPEG', 'jpeg'], ['s.tif', 'tiff'], ['s.tiff', 'tiff']]) {
    const file = path.join(dir, name);
    const r = run(['snapshot', file, '--size', '320x240', '--max', '320x240']);
    assert.equal(r.code, 0, r.stderr);
    assert.equal(formatOf(fs.readFileSync(file)), format, name);
  }
  const tiff = await readPixels(path.join(dir, 's.tif'));
  assertSyntheticPattern(tiff, 240, 1); // lossless
  // JPEG quality changes the bytes the encoder writes.
  const q = (quality) => run(['snapshot', '-', '--format', 'jpeg', '--quality', quality], { encoding: null }).stdout.length;
  assert.ok(q('95') > q('20'), 'higher quality, larger file');
  // "-" is standard output; the report then goes to standard error.
  const piped = run(['snapshot', '-'], { encoding: null });
  assert.equal(piped.code, 0, piped.stderr);
  assert.equal(formatOf(piped.stdout), 'png');
  assert.match(piped.stderr, /^standard output: 640x360 PNG/);
  assert.deepEqual(partialFiles(dir), []);
});

test('snapshot --json reports what it wrote', (t) => {
  const file = path.join(tempDir(t), 'j.png');
  const shot = JSON.parse(run(['snapshot', file, '--json']).stdout);
  assert.equal(shot.path, file);
  assert.equal(shot.format, 'png');
  assert.deepEqual([shot.width, shot.height, shot.sourceWidth, shot.sourceHeight], [640, 360, 1280, 720]);
});

test('an existing output is replaced only with -y, never with -n, and never without asking', (t) => {
  const dir = tempDir(t);
  const file = path.join(dir, 'keep.png');
  fs.writeFileSync(file, 'precious');
  assertOneLineError(run(['snapshot', file]), /keep\.png already exists \(-y overwrites it\)/);
  assertOneLineError(run(['snapshot', file, '-n']), /keep\.png already exists; not overwriting it \(-n\)/);
  const clip = path.join(dir, 'keep.mp4');
  fs.writeFileSync(clip, 'precious');
  // Refused by the launching process, before a recording starts.
  assertOneLineError(run(['record', clip, '-d', '1']), /keep\.mp4 already exists \(-y overwrites it\)/);
  assert.equal(fs.readFileSync(file, 'utf8'), 'precious');
  assert.equal(fs.readFileSync(clip, 'utf8'), 'precious');
  fs.rmSync(clip);
  const replaced = run(['snapshot', file, '-y']);
  assert.equal(replaced.code, 0, replaced.stderr);
  assert.equal(formatOf(fs.readFileSync(file)), 'png');
  assert.deepEqual(fs.readdirSync(dir).sort(), ['keep.png']);
});

test('on a terminal the tool asks before replacing a file', async (t) => {
  const dir = tempDir(t);
  const file = path.join(dir, 'ask.png');
  for (const [answer, replaced] of [['n', false], ['y', true]]) {
    fs.writeFileSync(file, 'old');
    let sent = false;
    const { code, text } = await inTerminal(shellQuote([cli, 'snapshot', file]), {
      onOutput: (shown, child) => {
        if (!sent && shown.includes('Overwrite? [y/N]')) {
          sent = true;
          child.stdin.write(`${answer}\r`);
        }
      },
    });
    assert.match(text, /zentri: .*ask\.png already exists\. Overwrite\? \[y\/N\]/);
    assert.equal(code, replaced ? 0 : 1, text);
    assert.equal(fs.readFileSync(file, 'utf8') !== 'old', replaced, `answer ${answer}`);
  }
});

test('bad values are refused up front, naming the option, and nothing is written', (t) => {
  const dir = tempDir(t);
  const out = path.join(dir, 'x.png');
  const mp4 = path.join(dir, 'x.mp4');
  assertOneLineError(run(['snapshot', path.join(dir, 'missing', 'x.png')]), /directory .*missing does not exist/);
  assertOneLineError(run(['snapshot', out, '-c', '7']), /camera 7 does not exist: the only camera is 0/);
  assertOneLineError(run(['snapshot', out, '-c', 'two']), /--camera must be a whole number from 0 to 1000, got "two"/);
  assertOneLineError(run(['snapshot', out, '--size', '640by480']), /--size must be a size like 1280x720/);
  assertOneLineError(run(['snapshot', out, '--max', '0x10']), /--max must be a size/);
  assertOneLineError(run(['snapshot', '-', '--quality', '101', '--format', 'jpeg']), /--quality must be a whole number from 1 to 100/);
  assertOneLineError(run(['snapshot', out, '--quality', '80']), /--quality sets the JPEG quality, but .*x\.png is PNG \(the full-resolution frame is --quality-frame\)/);
  assertOneLineError(run(['snapshot', out, '--format', 'gif']), /--format must be png, jpeg or tiff/);
  assertOneLineError(run(['snapshot', path.join(dir, 'x.jpg'), '--format', 'png']), /its name says JPEG but --format says PNG/);
  assertOneLineError(run(['snapshot', dir]), /it is a directory/);
  assertOneLineError(run(['snapshot', '--synthetic-sizes', '640by480', out]), /--synthetic-sizes must be a count from 1 to 16 or sizes like .*cannot read "640by480"/);
  assertOneLineError(run(['cameras', '--synthetic-sizes', '99']), /--synthetic-sizes must be a count from 1 to 16/);
  assertOneLineError(run(['snapshot']), /missing required argument/);
  assertOneLineError(run(['snapshot', out, '--bogus']), /unknown option '--bogus'/);
  assertOneLineError(run(['preview', '-d', '0']), /--duration must be a number of seconds above 0/);
  assertOneLineError(run(['preview', '--fps', '500']), /--fps must be a whole number from 1 to 120/);
  assertOneLineError(run(['record', mp4, '-d', 'x']), /--duration must be/);
  assertOneLineError(run(['record', mp4, '--bitrate', '4 megabits']), /--bitrate must be a bit rate from 100k to 240M/);
  assertOneLineError(run(['record', mp4, '--bitrate', '1G']), /--bitrate must be a bit rate/);
  assertOneLineError(run(['record', mp4, '--bitrate', '50k']), /--bitrate must be a bit rate/);
  assertOneLineError(run(['nonsense']), /unknown command 'nonsense'/);
  assert.deepEqual(fs.readdirSync(dir), []);
});

test('unknown output names are refused before anything is touched', (t) => {
  const dir = tempDir(t);
  // No camera exists: the name is refused before the camera would be looked up.
  assertOneLineError(run(['snapshot', path.join(dir, 's.bmp')], { synthetic: null }), /s\.bmp: "\.bmp" is not an image format this tool writes/);
  assertOneLineError(run(['snapshot', path.join(dir, 'noext')]), /noext: the name has no extension/);
  assertOneLineError(run(['record', path.join(dir, 'r.avi')], { synthetic: null }),
    /cannot write .*r\.avi: record writes H\.264 in MP4, so the name must end in \.mp4 or \.m4v \(not \.avi\)/);
  assertOneLineError(run(['fuse', '-o', path.join(dir, 'f.webp'), 'a.png', 'b.png', 'c.png']), /"\.webp" is not an image format/);
  assert.deepEqual(fs.readdirSync(dir), []);
});

test('--version and --help print on standard output', () => {
  const { version } = require('../../package.json');
  const v = run(['--version']);
  assert.equal(v.code, 0);
  assert.equal(v.stdout, `zentri ${version}\n`);
  assert.equal(run(['-V']).stdout, v.stdout);
  const help = run(['fuse', '--help']);
  assert.equal(help.code, 0);
  assert.match(help.stdout, /-y, --overwrite/);
  assert.match(help.stdout, /--json/);
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

// ---- preview and record ----

test('preview prints live statistics on stderr and a summary on stdout', { skip: !previewLanded && 'the preview is not in this build' }, () => {
  const result = run(['preview', '-d', '2', '--max', '640x360', '--fps', '30']);
  assert.equal(result.code, 0, result.stderr);
  const live = result.stderr.split('\n').filter((l) => /fps {2}sequence \d+ {2}dropped \d+ {2}640x360$/.test(l));
  assert.ok(live.length >= 1, result.stderr);
  const summary = /^preview: (\d+) frames in ([\d.]+) s, ([\d.]+) fps .*, (\d+) dropped, 640x360 from 1280x720\n$/.exec(result.stdout);
  assert.ok(summary, result.stdout);
  assert.ok(Number(summary[1]) >= 20, `frames: ${summary[1]}`);
  const json = JSON.parse(run(['preview', '-d', '1', '--max', '320x180', '--json']).stdout);
  assert.deepEqual([json.width, json.height, json.interrupted], [320, 180, false]);
});

test('snapshot --quality-frame writes the full-resolution frame', { skip: !previewLanded && 'the preview is not in this build' }, async (t) => {
  const file = path.join(tempDir(t), 'quality.png');
  const result = run(['snapshot', file, '--quality-frame']);
  assert.equal(result.code, 0, result.stderr);
  const image = await readPixels(file);
  assert.deepEqual([image.width, image.height], [1280, 720]);
  assertSyntheticPattern(image, 720, 1);
});

test('record writes an MP4 that ffprobe reads, with one progress line a second without a terminal', noRecording, (t) => {
  const dir = tempDir(t);
  const file = path.join(dir, 'clip.mp4');
  const result = run(['record', file, '-d', '3', '--max', '640x360', '--bitrate', '2500k']);
  assert.equal(result.code, 0, result.stderr);
  assert.match(result.stderr, /recording camera 0 \(Synthetic Camera 0\) at 640x360, 30 fps for 3 s/);
  const progress = result.stderr.split('\n').filter((l) => l.startsWith('recording ') && / s of 3 s: /.test(l));
  assert.ok(progress.length >= 2 && progress.length <= 3, result.stderr);
  progress.forEach((line, k) => assert.match(line, new RegExp(`^recording ${k + 1} s of 3 s: \\d+ frames written, \\d+ dropped$`)));
  assert.doesNotMatch(result.stderr, /\x1b/, 'no terminal control sequences in a log');
  const written = /frames written (\d+), dropped (\d+), duration ([\d.]+) s/.exec(result.stdout);
  assert.ok(written, result.stdout);
  assert.match(result.stdout, /2\.50 Mbit\/s/);
  const { stream } = probe(file);
  assert.equal(stream.codec_name, 'h264');
  assert.deepEqual([stream.width, stream.height], [640, 360]);
  assert.equal(Number(stream.nb_read_packets), Number(written[1]));
  assert.deepEqual(fs.readdirSync(dir), ['clip.mp4']);
});

test('record to standard output with --bitrate 4M and --json on stderr', noRecording, (t) => {
  const dir = tempDir(t);
  const result = run(['record', '-', '-d', '1', '--max', '320x180', '--bitrate', '4M', '--json'], { encoding: null });
  assert.equal(result.code, 0, result.stderr);
  assert.equal(formatOf(result.stdout), 'mp4');
  const file = path.join(dir, 'out.mp4');
  fs.writeFileSync(file, result.stdout);
  assert.equal(probe(file).stream.codec_name, 'h264');
  const report = JSON.parse(result.stderr.slice(result.stderr.indexOf('{')));
  assert.equal(report.bitrate, 4_000_000);
  assert.ok(report.framesWritten >= 10);
  assert.deepEqual(fs.readdirSync(require('node:os').tmpdir()).filter((n) => n.startsWith('.zentri-stdout.')), []);
});

// A small tmpfs as the disk (root only), unmounted after the test.
function smallDisk(t, size) {
  const dir = fs.mkdtempSync(path.join(require('node:os').tmpdir(), 'zentri-cli-disk-'));
  if (spawnSync('mount', ['-t', 'tmpfs', '-o', `size=${size}`, 'tmpfs', dir]).status !== 0) {
    fs.rmdirSync(dir);
    return null;
  }
  t.after(() => {
    spawnSync('umount', [dir]);
    fs.rmSync(dir, { recursive: true, force: true });
  });
  return dir;
}

test('a recording that fails on a full disk keeps what it recorded, and one without video leaves nothing', {
  ...noRecording, skip: noRecording.skip || (process.getuid() !== 0 && 'mounting a tmpfs needs root'),
}, (t) => {
  const disk = smallDisk(t, '1m');
  assert.ok(disk, 'tmpfs mounted');
  const file = path.join(disk, 'full.mp4');
  const result = run(['record', file, '-d', '30', '--max', '640x360', '--bitrate', '8M']);
  assert.equal(result.code, 1, result.stderr);
  assert.match(result.stderr, new RegExp(`\nzentri: the recording failed: Writing an H.264 packet failed: No space left on device; ${file} keeps what was recorded before that\n$`));
  assert.ok(decodesCleanly(file), 'the kept recording decodes without errors');
  assert.ok(Number(probe(file).stream.nb_read_packets) >= 30);

  // Too small for the first fragment: nothing is kept, and nothing is left.
  const tiny = smallDisk(t, '200k');
  const none = run(['record', path.join(tiny, 'none.mp4'), '-d', '30', '--max', '1280x720', '--bitrate', '20M']);
  assert.equal(none.code, 1, none.stderr);
  assert.match(none.stderr, /the recording failed: .*No space left on device; nothing was kept\n$/);
  assert.deepEqual(fs.readdirSync(tiny), []);
});

test('Ctrl-C during record still finalizes a playable MP4', noRecording, async (t) => {
  const dir = tempDir(t);
  const file = path.join(dir, 'interrupted.mp4');
  // Its own process group, like a shell job: the signal goes to the whole group, as a
  // terminal's Ctrl-C does.
  const child = spawn(cli, ['record', file, '-d', '30', '--max', '320x180', '--json'], {
    detached: true, env: childEnv('1280x720@30', {}),
  });
  let stdout = '';
  let stderr = '';
  child.stdout.on('data', (d) => { stdout += d; });
  child.stderr.on('data', (d) => { stderr += d; });
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  const deadline = Date.now() + 20_000;
  while (!stderr.includes('Ctrl-C stops early') && Date.now() < deadline) {
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  assert.match(stderr, /Ctrl-C stops early/);
  await new Promise((resolve) => setTimeout(resolve, 1500));
  process.kill(-child.pid, 'SIGINT');
  assert.equal(await exited, 130, stderr);
  assert.match(stderr, /interrupted: the recording stopped after [\d.]+ s and was finalized/);
  assert.equal(JSON.parse(stdout).interrupted, true);
  const { stream } = probe(file);
  assert.equal(stream.codec_name, 'h264');
  assert.ok(Number(stream.nb_read_packets) >= 10, `packets: ${stream.nb_read_packets}`);
  assert.deepEqual(fs.readdirSync(dir), ['interrupted.mp4']);
  assert.deepEqual(childProcesses('encworker'), []);
});

// The recording copy of the tool: the node process whose command line names `file` and whose
// environment marks it as the copy.
function recordingCopy(file) {
  for (const pid of fs.readdirSync('/proc').filter((e) => /^\d+$/.test(e))) {
    try {
      const cmdline = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8');
      if (cmdline.includes(file) && fs.readFileSync(`/proc/${pid}/environ`, 'utf8').includes('ZENTRI_CLI_DETACHED=1')) {
        return Number(pid);
      }
    } catch {
      // Gone meanwhile.
    }
  }
  return null;
}

// ffmpeg decodes all of `file` without an error.
function decodesCleanly(file) {
  const decoded = spawnSync('ffmpeg', ['-v', 'error', '-i', file, '-f', 'null', '-'], { encoding: 'utf8' });
  return decoded.status === 0 && decoded.stderr.trim() === '';
}

test('a recording process that is killed keeps what it recorded, playable, and says so in one line', noRecording, async (t) => {
  const dir = tempDir(t);
  const file = path.join(dir, 'killed.mp4');
  const child = spawn(cli, ['record', file, '-d', '30', '--max', '320x180'], { env: childEnv('1280x720@30', {}) });
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  const deadline = Date.now() + 20_000;
  while (!stderr.includes('Ctrl-C stops early') && Date.now() < deadline) {
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  assert.deepEqual(fs.readdirSync(dir), ['killed.mp4'], 'recording at its own name');
  // Past the first fragment, so that something is on disk whatever the encoder does.
  await new Promise((resolve) => setTimeout(resolve, 2500));
  process.kill(recordingCopy(file), 'SIGKILL');
  assert.equal(await exited, 1);
  assert.match(stderr, new RegExp(`\nzentri: the recording process was killed by SIGKILL; ${file} keeps what was recorded until then\n$`));
  assert.deepEqual(fs.readdirSync(dir), ['killed.mp4']);
  assert.ok(decodesCleanly(file), 'the kept recording decodes without errors');
  const { stream } = probe(file);
  assert.equal(stream.codec_name, 'h264');
  assert.ok(Number(stream.nb_read_packets) >= 30, stream.nb_read_packets);
});

test('on a terminal, record shows a bar and a killed recording leaves the terminal as it was', noRecording, async (t) => {
  const dir = tempDir(t);
  const file = path.join(dir, 'tty.mp4');
  let killed = false;
  const { code, text } = await inTerminal(shellQuote([cli, 'record', file, '-d', '30', '--max', '320x180']), {
    onOutput: (shown) => {
      const shownSeconds = [...shown.matchAll(/recording \[[^\]]*\] ([\d.]+)\/30 s/g)].map((m) => Number(m[1]));
      if (!killed && shownSeconds.length > 0 && shownSeconds[shownSeconds.length - 1] >= 1.5) {
        const copy = recordingCopy(file);
        if (copy) {
          killed = true;
          process.kill(copy, 'SIGKILL');
        }
      }
    },
  });
  assert.ok(killed, text);
  assert.equal(code, 1, text);
  const hidden = text.lastIndexOf('\x1b[?25l');
  assert.ok(hidden >= 0, 'the bar hid the cursor');
  const after = text.slice(hidden);
  // Cursor shown, line wrap on, and the message on a cleared line of its own, whole.
  assert.match(after, /\r\x1b\[2K\x1b\[\?25h\x1b\[\?7hzentri: the recording process was killed by SIGKILL; \S+tty\.mp4 keeps what was recorded until then\r?\n$/);
  assert.deepEqual(fs.readdirSync(dir), ['tty.mp4']);
});

// ---- fuse ----

// Writes a synthetic focus stack of `count` frames as files `name(k)`; returns paths, scene, frames.
async function writeStack(dir, width, height, count, name = (k) => `f${k}.png`) {
  const { scene, frames } = syntheticFocusStack(width, height, count);
  const files = [];
  for (const [k, f] of frames.entries()) files.push(await writeImage(path.join(dir, name(k)), f, width, height));
  return { files, scene, frames };
}

function meanError(img, channels, scene) {
  let sum = 0;
  const n = scene.length / 4;
  for (let p = 0; p < n; p++) {
    for (let c = 0; c < 3; c++) sum += Math.abs(img[p * channels + c] - scene[p * 4 + c]);
  }
  return sum / (n * 3);
}

test('fuse writes a fused image closer to the sharp scene than any frame, in PNG, JPEG or TIFF', noFusion, async (t) => {
  const dir = tempDir(t);
  const width = 320;
  const height = 200;
  const { files, scene, frames } = await writeStack(dir, width, height, 5);
  const best = Math.min(...frames.map((f) => meanError(f, 4, scene)));
  const out = path.join(dir, 'fused.png');
  const result = run(['fuse', '-o', out, ...files]);
  assert.equal(result.code, 0, result.stderr);
  assert.match(result.stdout, /320x200 PNG fused from 5 frames \(reference 2\)/);
  assert.match(result.stdout, /fusion [\d.]+ ms on \d+ threads? \(native-cpp, (avx2|sse2)\)/);
  const fused = await readPixels(out);
  assert.deepEqual([fused.width, fused.height, fused.channels], [width, height, 3]);
  assert.ok(meanError(fused.data, 3, scene) < best / 2, `fused ${meanError(fused.data, 3, scene)} vs best frame ${best}`);
  for (const [name, format] of [['fused.jpg', 'jpeg'], ['fused.tiff', 'tiff']]) {
    const r = run(['fuse', '-o', path.join(dir, name), ...files, '--json']);
    assert.equal(r.code, 0, r.stderr);
    const facts = JSON.parse(r.stdout);
    assert.equal(facts.format, format);
    assert.equal(formatOf(fs.readFileSync(path.join(dir, name))), format);
  }
  const tiff = await readPixels(path.join(dir, 'fused.tiff'));
  assert.ok(tiff.data.equals(fused.data), 'TIFF and PNG hold the same pixels');
  const piped = run(['fuse', '-o', '-', '--format', 'tiff', ...files], { encoding: null });
  assert.equal(formatOf(piped.stdout), 'tiff');
  assertOneLineError(run(['fuse', '-o', out, ...files]), /fused\.png already exists/);
});

test('fuse reads JPEG and 16-bit TIFF and PNG stacks, and says once that 16 bits become 8', noFusion, async (t) => {
  const dir = tempDir(t);
  const width = 200;
  const height = 120;
  const { frames } = syntheticFocusStack(width, height, 3);
  const reference = path.join(dir, 'ref.png');
  const files8 = [];
  for (const [k, f] of frames.entries()) files8.push(await writeImage(path.join(dir, `e${k}.png`), f, width, height));
  assert.equal(run(['fuse', '-o', reference, ...files8]).code, 0);
  const deep = [];
  for (const [k, f] of frames.entries()) {
    const wide = Uint16Array.from(f, (v) => v * 257);
    const file = path.join(dir, `d${k}.${k === 1 ? 'png' : 'tif'}`);
    const image = sharp(wide, { raw: { width, height, channels: 4 } }).toColourspace('rgb16');
    await (k === 1 ? image.png() : image.tiff({ compression: 'lzw' })).toFile(file);
    deep.push(file);
  }
  const out = path.join(dir, 'deep.png');
  const result = run(['fuse', '-o', out, ...deep]);
  assert.equal(result.code, 0, result.stderr);
  assert.equal(result.stderr, `zentri: note: ${deep[0]} has 16 bits a channel; the fusion works in 8 bits, so the fused image has 8\n`);
  // v * 257 reduced to 8 bits is v again: the same pixels as the 8-bit stack.
  assert.ok((await readPixels(out)).data.equals((await readPixels(reference)).data));
  const jpegs = [];
  for (const [k, f] of frames.entries()) jpegs.push(await writeImage(path.join(dir, `j${k}.jpg`), f, width, height));
  const fromJpeg = run(['fuse', '-o', path.join(dir, 'j.png'), ...jpegs]);
  assert.equal(fromJpeg.code, 0, fromJpeg.stderr);
  assert.equal(fromJpeg.stderr, '');
});

test('a stack fused in strips gives the whole-image result', noFusion, () => {
  const { fuseImages, planStrips, MARGIN } = require('../../cli/fuse');
  for (const [width, height] of [[600, 1000], [530, 2048]]) {
    const { frames } = syntheticFocusStack(width, height, 5);
    const images = frames.map((rgba) => ({ width, height, rgba }));
    const whole = fuseImages(images, { stripPixels: Infinity });
    assert.equal(whole.strips, 1);
    for (const rows of [64, 200]) {
      const striped = fuseImages(images, { stripPixels: width * rows });
      assert.ok(striped.strips > 2, `${striped.strips} strips`);
      assert.ok(Buffer.from(striped.rgba).equals(Buffer.from(whole.rgba)), `${width}x${height} in strips of ${rows} rows`);
    }
  }
  // Strips cover every row once and start on rows where every pyramid level lines up.
  for (const height of [3024, 3001, 400]) {
    const strips = planStrips(4032, height);
    assert.equal(strips[0].y0, 0);
    assert.equal(strips.at(-1).y1, height);
    for (const [k, s] of strips.entries()) {
      if (k > 0) assert.equal(s.y0, strips[k - 1].y1);
      assert.equal(s.a % 8, 0);
      assert.ok(s.a <= Math.max(0, s.y0 - MARGIN) && s.b >= Math.min(height, s.y1 + MARGIN));
    }
  }
});

test('fuse fails in one line for bad stacks and writes nothing', noFusion, async (t) => {
  const dir = tempDir(t);
  const { files } = await writeStack(dir, 64, 48, 3);
  const other = await writeImage(path.join(dir, 'other.png'), new Uint8Array(32 * 48 * 4), 32, 48);
  const text = path.join(dir, 'text.png');
  fs.writeFileSync(text, 'not an image');
  const broken = path.join(dir, 'broken.png');
  fs.writeFileSync(broken, fs.readFileSync(files[0]).subarray(0, 60));
  const gif = path.join(dir, 'g.gif');
  await sharp(Buffer.alloc(64 * 48 * 3), { raw: { width: 64, height: 48, channels: 3 } }).gif().toFile(gif);
  const out = path.join(dir, 'out.png');
  const before = fs.readdirSync(dir).sort();
  assertOneLineError(run(['fuse', '-o', out, files[0], files[1], path.join(dir, 'none.png')]), /none\.png: no such file/);
  assertOneLineError(run(['fuse', '-o', out, files[0], files[1], text]), /text\.png: not a PNG, JPEG or TIFF image/);
  assertOneLineError(run(['fuse', '-o', out, files[0], files[1], gif]), /g\.gif: not a PNG, JPEG or TIFF image \(it is gif\)/);
  assertOneLineError(run(['fuse', '-o', out, files[0], files[1], broken]), /broken\.png: not a (readable PNG|PNG, JPEG or TIFF) image/);
  assertOneLineError(run(['fuse', '-o', out, files[0], other, files[1]]),
    /other\.png is 32x48 but .*f0\.png is 64x48: all images of a stack must have the same size/);
  assertOneLineError(run(['fuse', '-o', out, files[0], files[1]]), /needs 3 to 11 images, got 2/);
  assertOneLineError(run(['fuse', '-o', out, ...Array(12).fill(files[0])]), /needs 3 to 11 images, got 12/);
  assertOneLineError(run(['fuse', '-o', path.join(dir, 'no', 'out.png'), ...files]), /directory .*no does not exist/);
  assertOneLineError(run(['fuse', '-o', out, '--reference', '5', ...files]), /reference frame must be 0 to 2, got 5/);
  assertOneLineError(run(['fuse', '-o', out, '--threads', '0', ...files]), /--threads must be a whole number from 1 to 64/);
  assertOneLineError(run(['fuse', '-o', out, '--quality', '50', ...files]), /--quality sets the JPEG quality, but the output is PNG/);
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

const emulatorPath = buildPath('microscope_emulator.node');
const umockdevWrapper = spawnSync('sh', ['-c', 'command -v umockdev-wrapper']).status === 0;
const zentriLanded = has('loadZentri') && fs.existsSync(emulatorPath) && umockdevWrapper;

// Runs `zentri <args>` inside a node under umockdev-wrapper in which the emulated microscope
// exists (firmware 3.2.1 on hardware 1.4, protocol 1.5.0, focus 40), with the descriptors the
// tool has when bin/zentri starts it: its output on descriptor 3, descriptor 1 for whatever the
// libraries print. Reports the device's state afterwards on a marked line there.
function runWithMicroscope(args) {
  const script = `
    process.env.ZENTRI_OUTPUT_FD = '3';
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
  const r = spawnSync('umockdev-wrapper', [process.execPath, '-e', script],
    { encoding: 'utf8', timeout: 60_000, stdio: ['ignore', 'pipe', 'pipe', 'pipe'] });
  const [, printed, stderrText, stdout] = r.output;
  const marked = /@@device (.*)/.exec(printed);
  // libzentri itself reports on stderr which transport a selection uses.
  const stderr = stderrText.split('\n').filter((l) => !/^Zentri controls using .* \(V4L2 XU\)$/.test(l)).join('\n');
  return { code: r.status, stdout, printed, stderr, device: marked && JSON.parse(marked[1]) };
}

test('zentri lists, reads and sets the emulated microscope', { skip: !zentriLanded && 'Zentri control or its emulator is not in this build' }, () => {
  const list = runWithMicroscope(['zentri', 'list']);
  assert.equal(list.code, 0, list.stderr);
  assert.equal(list.stdout, '0: Smart Zentri Z1  [usb#vid_636c&pid_9059#SN-CLI]\n');
  // What libzentri prints stays off the tool's output.
  assert.match(list.printed, /^1 Zentri devices found$/m);
  const status = runWithMicroscope(['zentri', 'status']);
  assert.equal(status.code, 0, status.stderr);
  assert.match(status.stdout, /product 0x9059, hardware 1\.4, firmware 3\.2\.1/);
  assert.match(status.stdout, /protocol 1\.5\.0/);
  assert.match(status.stdout, /LED on/);
  assert.match(status.stdout, /supports focus, led, pixelSizeInfo, lensGroupInfo/);
  const focus = runWithMicroscope(['zentri', 'focus', '77']);
  assert.equal(focus.stdout, 'focus position 77\n', focus.stderr);
  assert.equal(focus.device.focus, 77);
  const led = runWithMicroscope(['zentri', 'led', 'off']);
  assert.equal(led.stdout, 'LED off\n', led.stderr);
  assert.equal(led.device.led, false);
  assertOneLineError(runWithMicroscope(['zentri', 'focus', '300']), /refused the focus position 300/);
  assertOneLineError(runWithMicroscope(['zentri', 'status', '-d', '3']), /Zentri microscope 3 does not exist: the only one is 0/);
});

test('every zentri --json output parses with libzentri loaded', { skip: !zentriLanded && 'Zentri control or its emulator is not in this build' }, () => {
  const json = (args) => {
    const r = runWithMicroscope(['zentri', ...args, '--json']);
    assert.equal(r.code, 0, `${args.join(' ')}: ${r.stderr}`);
    return JSON.parse(r.stdout);
  };
  assert.deepEqual(json(['list']), [{ index: 0, uniqueId: 'usb#vid_636c&pid_9059#SN-CLI', name: 'Smart Zentri Z1' }]);
  const status = json(['status']);
  assert.equal(status.selected, 0);
  assert.equal(status.version.productId, 0x9059);
  assert.equal(status.capabilities.focus, true);
  assert.equal(json(['select', '0']).selected, 0);
  assert.equal(json(['focus']).focusPosition, 40);
  assert.equal(json(['focus', '90']).focusPosition, 90);
  assert.deepEqual(json(['led']), { led: 'on', asLastSet: true });
  assert.deepEqual(json(['led', 'off']), { led: 'off', asLastSet: false });
  const telemetry = runWithMicroscope(['zentri', 'telemetry', '--json']);
  assert.equal(JSON.parse(telemetry.stdout).focusPosition, 40, telemetry.stderr);
});

test('microscope values are checked before the library is looked for', () => {
  const nowhere = ['--library', '/nowhere/lib.so'];
  assertOneLineError(run(['zentri', 'focus', '70000', ...nowhere]), /focus position .* must be a whole number from 0 to 65535, got "70000"/);
  assertOneLineError(run(['zentri', 'focus', 'closer', ...nowhere]), /focus position/);
  assertOneLineError(run(['zentri', 'led', 'bright', ...nowhere]), /LED state must be on or off/);
  assertOneLineError(run(['zentri', 'status', '-d', 'x', ...nowhere]), /--device must be a whole number/);
  assertOneLineError(run(['zentri', 'telemetry', '--watch', '-1', ...nowhere]), /--watch must be a number of seconds/);
  assertOneLineError(run(['dinolite', 'led', 'set', 'purple', ...nowhere]), /LED mode must be on, flexible, led1, led2, off, or a number/);
  assertOneLineError(run(['dinolite', 'led', 'set', ...nowhere]), /led set needs a mode/);
  assertOneLineError(run(['dinolite', 'led', 'blink', ...nowhere]), /LED action must be toggle or set/);
  assertOneLineError(run(['dinolite', 'list', ...nowhere]), /could not load libdinolite/);
});

const dinoLiteLanded = has('loadDinoLite') && fs.existsSync(simulatorPath);
const noDinoLite = { skip: !dinoLiteLanded && 'Dino-Lite control is not in this build' };

function dinoLiteRunner(t, devices) {
  const dir = tempDir(t);
  const scenario = path.join(dir, 'scenario.json');
  fs.writeFileSync(scenario, JSON.stringify({ devices }));
  // XDG_STATE_HOME keeps the remembered LED modes of each case to itself.
  const dino = (...args) => run(['dinolite', ...args], { env: { DINOLITE_SIMULATOR_SCENARIO: scenario, XDG_STATE_HOME: dir } });
  dino.stateFile = path.join(dir, 'zentri', 'dinolite-led.json');
  return dino;
}

test('dinolite lists and reads the simulated microscopes, as text and JSON', noDinoLite, (t) => {
  const dino = dinoLiteRunner(t, [
    { id: 'CLI-A', name: 'Dino A', ledModes: [0x11, 0], amrReadings: [{ atMs: 0, value: 220 }], fovxAt1x: 400000 },
    { id: 'CLI-B', name: 'Dino B', amr: false, failLed: true },
  ]);
  const list = dino('list');
  assert.equal(list.code, 0, list.stderr);
  assert.equal(list.stdout, '0: Dino A  [CLI-A]\n1: Dino B  [CLI-B]\n');
  const status = dino('status');
  assert.equal(status.code, 0, status.stderr);
  // 400000 um at 1x is 1.818 mm at 220x.
  assert.match(status.stdout, /^magnification 220x, field of view 1\.818 mm$/m);
  assert.match(status.stdout, /^LED mode 0x11 of \[0x11, 0x0\], MicroTouch yes$/m);
  assert.equal(dino('fov').stdout, 'field of view 1.818 mm at magnification 220x\n');
  assert.match(dino('status', '-d', '1').stdout, /^magnification unknown, field of view unknown$/m);
  assertOneLineError(dino('magnification', '-d', '1'), /Dino-Lite microscope 1 reports no magnification/);
  assertOneLineError(dino('led', 'toggle', '-d', '1'), /could not switch the LED: \S/);
  assertOneLineError(dino('status', '-d', '2'), /Dino-Lite microscope 2 does not exist: they are 0 to 1/);

  const json = (...args) => {
    const r = dino(...args, '--json');
    assert.equal(r.code, 0, `${args.join(' ')}: ${r.stderr}`);
    return JSON.parse(r.stdout);
  };
  assert.deepEqual(json('list').map((d) => d.uniqueId), ['CLI-A', 'CLI-B']);
  assert.deepEqual(json('status'), { selected: 0, backend: 'mac-libdinolite', magnification: 220, fieldOfView: 400000 / 220 / 1000,
    ledMode: 0x11, ledModes: [0x11, 0], ledControllable: true, microtouch: true });
  assert.equal(json('select', '1').selected, 1);
  assert.deepEqual(json('magnification'), { magnification: 220 });
  assert.deepEqual(json('fov'), { fieldOfView: 1.818, magnification: 220 });
  assert.deepEqual(json('led'), { mode: 0x11, modes: [0x11, 0], controllable: true });
});

test('dinolite reaches every LED mode from the shell and steps on from the last one set', noDinoLite, (t) => {
  const dino = dinoLiteRunner(t, [
    { id: 'LED-A', name: 'Dino A', ledModes: [0x11, 0x10, 0x01, 0] },
    { id: 'LED-B', name: 'Dino B', ledModes: [0x11, 0x10, 0x01, 0], failLed: [0x10] },
  ]);
  const mode = (r) => {
    assert.equal(r.code, 0, r.stderr);
    return /^LED mode (0x[0-9a-f]+)/.exec(r.stdout)[1];
  };
  // Every selection switches the microscope to its preferred mode (0x11); set reaches each
  // mode, by name or number, and the next command keeps it.
  for (const [name, expected] of [['led2', '0x1'], ['off', '0x0'], ['0x10', '0x10'], ['17', '0x11'], ['1', '0x1']]) {
    assert.equal(mode(dino('led', 'set', name)), expected, `set ${name}`);
    assert.equal(mode(dino('led')), expected, `after set ${name}`);
  }
  assert.match(dino('status').stdout, /^LED mode 0x1 of/m, 'a status run keeps the mode too');
  // toggle steps on from there, through every mode and round again.
  assert.deepEqual([1, 2, 3, 4].map(() => mode(dino('led', 'toggle'))), ['0x0', '0x11', '0x10', '0x1']);
  assertOneLineError(dino('led', 'set', '0x22'), /LED mode 0x22 is not one of this microscope's modes \[0x11, 0x10, 0x1, 0x0\]/);
  // A microscope that refuses a mode on the way cannot get past it; each microscope has its own mode.
  assertOneLineError(dino('led', 'set', 'off', '-d', '1'), /could not switch the LED to mode 0x0: \S/);
  assert.equal(mode(dino('led', '-d', '1')), '0x11');
  assert.equal(mode(dino('led')), '0x1');
  const json = JSON.parse(dino('led', 'set', 'on', '--json').stdout);
  assert.deepEqual(json, { mode: 0x11, modes: [0x11, 0x10, 0x01, 0], controllable: true });
  // A damaged state file is ignored: the selection's preferred mode then, and a new mode is kept.
  fs.writeFileSync(dino.stateFile, '{ damaged');
  assert.equal(mode(dino('led')), '0x11');
  assert.equal(mode(dino('led', 'toggle')), '0x10');
  assert.equal(mode(dino('led')), '0x10');
});
