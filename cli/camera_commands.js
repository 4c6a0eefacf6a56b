'use strict';
// The camera commands: cameras, snapshot, preview and record.
const path = require('path');
const { CliError } = require('./errors');
const camera = require('./camera');
const opt = require('./options');
const { runPreview, requirePreview } = require('./preview');
const { snapshot } = require('./snapshot');
const { record } = require('./record');
const { imageFormatFor, formatName } = require('./images');
const { openOutput } = require('./output');
const { Progress } = require('./progress');
const { INTERRUPTED, interruptible, isRecordingCopy, runDetached } = require('./launcher');
const { messages } = require('./stdio');
const { report, fixed } = require('./report');

// ---- options ----

function syntheticOptions(command) {
  return command
    .option('--synthetic', 'add a synthetic 1280x720@30 test camera after the real ones')
    .option('--synthetic-sizes <list>', 'add synthetic cameras of these sizes, e.g. 1920x1080@30,640x480 or a count');
}

function cameraOptions(command) {
  return syntheticOptions(command
    .option('-c, --camera <index>', 'camera index (see "zentri cameras")', '0')
    .option('--size <WxH>', 'capture size to ask the camera for (default: the camera\'s own)'));
}

function previewOptions(command) {
  return command
    .option('--max <WxH>', 'largest preview size; frames are decimated to fit', '960x540')
    .option('--fps <n>', 'preview (and recording) frame rate', '30');
}

function overwriteOptions(command) {
  return command
    .option('-y, --overwrite', 'replace an existing output file without asking')
    .option('-n, --no-overwrite', 'never replace an existing output file');
}

const jsonOption = (command) => command.option('--json', 'print the result as JSON');

// A flag, not an option with an optional value, so that `--synthetic out.png` cannot take the
// output file for a camera size.
function syntheticCameras(opts) {
  if (opts.syntheticSizes !== undefined) {
    camera.enableSynthetic(opt.syntheticCameras(opts.syntheticSizes, '--synthetic-sizes'));
  } else if (opts.synthetic) {
    camera.enableSynthetic('');
  }
}

function cameraArguments(opts) {
  syntheticCameras(opts);
  return {
    index: opt.integer(opts.camera, '--camera', 0, 1000),
    size: opts.size ? opt.size(opts.size, '--size') : null,
  };
}

function previewArguments(opts) {
  return { max: opt.size(opts.max, '--max'), fps: opt.integer(opts.fps, '--fps', 1, 120) };
}

// ---- cameras ----

async function camerasCommand(opts) {
  syntheticCameras(opts);
  const cameras = camera.listCameras();
  const lines = [];
  if (cameras.length === 0) lines.push('no camera found (--synthetic adds a synthetic test camera)');
  for (const c of cameras) {
    lines.push(`${c.index}: ${c.name}  [${c.uniqueId}]  model ${c.modelId || '-'}`);
    for (const line of camera.describeFormats(c.formats)) lines.push(`   ${line}`);
  }
  report(opts, cameras, lines);
}

// ---- snapshot ----

async function snapshotCommand(file, opts) {
  const args = cameraArguments(opts);
  const max = opt.size(opts.max, '--max');
  const format = imageFormatFor(file, opts.format);
  const jpegQuality = opts.quality === undefined ? undefined : opt.quality(opts.quality, '--quality');
  if (jpegQuality !== undefined && format !== 'jpeg') {
    throw new CliError(`--quality sets the JPEG quality, but ${file === '-' ? 'the output' : file} is ${formatName(format)}` +
      ' (the full-resolution frame is --quality-frame)');
  }
  const out = await openOutput(file, opts);
  const shot = await snapshot({ ...args, out, format, jpegQuality, max, qualityFrame: Boolean(opts.qualityFrame) });
  report(opts, shot, [`${file === '-' ? 'standard output' : shot.path}: ${shot.width}x${shot.height} ${formatName(format)}, ` +
    `${shot.kind} of ${shot.camera} (camera frame ${shot.sourceWidth}x${shot.sourceHeight})`], { dataOnOutput: out.toStdout });
}

// ---- preview ----

function statsLine(s) {
  return `${fixed(s.seconds)} s  ${fixed(s.producerFps)} fps  sequence ${s.sequence}  ` +
    `dropped ${s.droppedFrames}  ${s.width}x${s.height}`;
}

async function previewCommand(opts) {
  const { index, size } = cameraArguments(opts);
  const seconds = opt.seconds(opts.duration, '--duration');
  const { max, fps } = previewArguments(opts);
  const stop = interruptible();
  const tty = messages.isTTY;
  requirePreview();
  const opened = await camera.openCamera(index, size);
  let stats;
  let live = false;
  try {
    messages.line(`previewing camera ${index} (${opened.name}, ${opened.width}x${opened.height}) for ${seconds} s`);
    stats = await runPreview(index, {
      seconds, max, fps, stop, reportMs: tty ? 200 : 1000,
      onStats: (s) => {
        if (tty) {
          process.stderr.write(`\r${statsLine(s)}\x1b[K`);
          live = true;
        } else {
          messages.line(statsLine(s));
        }
      },
    });
  } finally {
    opened.close();
    if (live) process.stderr.write('\n');
  }
  const summary = { ...stats, interrupted: stop.requested };
  report(opts, summary, [`preview: ${stats.producedFrames} frames in ${fixed(stats.seconds)} s, ` +
    `${fixed(stats.meanFps)} fps (producer ${fixed(stats.producerFps)}), ${stats.droppedFrames} dropped, ` +
    `${stats.width}x${stats.height} from ${stats.sourceWidth}x${stats.sourceHeight}`]);
  if (stop.requested) process.exitCode = INTERRUPTED;
}

// ---- record ----

const RECORD_EXTENSIONS = ['.mp4', '.m4v'];

function recordExtension(file) {
  if (file === '-') return '.mp4';
  const ext = path.extname(file).toLowerCase();
  if (!RECORD_EXTENSIONS.includes(ext)) {
    throw new CliError(`cannot write ${file}: record writes H.264 in MP4, so the name must end in ` +
      `${RECORD_EXTENSIONS.join(' or ')}${ext ? ` (not ${ext})` : ''}`);
  }
  return path.extname(file);
}

function recordArguments(file, opts) {
  const ext = recordExtension(file);
  return {
    ...cameraArguments(opts),
    ...previewArguments(opts),
    ext,
    seconds: opt.seconds(opts.duration, '--duration'),
    bitrate: opt.bitrate(opts.bitrate, '--bitrate'),
  };
}

function describeRecording(result) {
  const s = result.status;
  const accel = s.encoderAcceleration ? ` (${s.encoderAcceleration})` : '';
  return [
    `${result.shown}: ${s.width}x${s.height} H.264 at ${s.frameRate} fps, ${fixed(s.bitrate / 1e6, 2)} Mbit/s`,
    `encoder ${s.encoderName}${accel}, conversion ${s.conversionBackend || '-'}`,
    `frames written ${s.framesWritten}, dropped ${s.framesDropped}, duration ${fixed(s.durationMs / 1000, 2)} s`,
  ];
}

async function recordInCopy(file, args, opts) {
  const out = await openOutput(file, opts, { ext: args.ext });
  const stop = interruptible();
  const progress = new Progress({
    total: args.seconds,
    format: 'recording [{bar}] {value}/{total} s | {frames} frames | {dropped} dropped',
    plain: (second, f) => `recording ${second} s of ${args.seconds} s: ${f.frames} frames written, ${f.dropped} dropped`,
  });
  try {
    const result = await record({
      ...args, out, stop,
      onStart: (info) => {
        messages.line(`recording camera ${args.index} (${info.camera}) at ${info.width}x${info.height}, ` +
          `${args.fps} fps for ${args.seconds} s to ${file === '-' ? 'standard output' : file}; Ctrl-C stops early`);
        progress.start({ frames: 0, dropped: 0 });
      },
      onProgress: (elapsed, status) => {
        progress.update(Number(elapsed.toFixed(1)), { frames: status.framesWritten, dropped: status.framesDropped });
      },
    });
    progress.stop();
    if (result.interrupted) messages.line(`interrupted: the recording stopped after ${fixed(result.seconds)} s and was finalized`);
    const shown = file === '-' ? 'standard output' : result.path;
    report(opts, { path: result.path, interrupted: result.interrupted, seconds: result.seconds, ...result.status },
      describeRecording({ ...result, shown }), { dataOnOutput: out.toStdout });
    if (result.interrupted) process.exitCode = INTERRUPTED;
  } finally {
    progress.stop();
  }
}

function recordCommand(argv) {
  return async (file, opts) => {
    const args = recordArguments(file, opts);
    if (isRecordingCopy()) {
      await recordInCopy(file, args, opts);
      return;
    }
    // Everything is checked, and the user asked, before the copy starts.
    const out = await openOutput(file, opts, { ext: args.ext });
    process.exitCode = await runDetached(argv, { file, ext: args.ext, replace: out.replace });
  };
}

// ---- registration ----

function cameraCommands(program, argv) {
  jsonOption(syntheticOptions(program.command('cameras').description('every camera with its formats')))
    .action(camerasCommand);

  jsonOption(overwriteOptions(cameraOptions(program.command('snapshot <output>')
    .description('one camera frame as a PNG, JPEG or TIFF (by the name; "-" writes PNG to standard output)'))))
    .option('--max <WxH>', 'largest size of the RGBA frame (ignored with --quality-frame)', '960x540')
    .option('--quality-frame', 'the preview\'s full-resolution quality frame instead')
    .option('--quality <1-100>', 'JPEG quality (default 90)')
    .option('--format <png|jpeg|tiff>', 'image format, for "-" or a name without an extension')
    .action(snapshotCommand);

  jsonOption(previewOptions(cameraOptions(program.command('preview').description('run the preview and print live statistics'))))
    .option('-d, --duration <seconds>', 'how long', '5')
    .action(previewCommand);

  jsonOption(overwriteOptions(previewOptions(cameraOptions(program.command('record <output.mp4>')
    .description('record the camera preview to an MP4 ("-": standard output, once finalized)')))))
    .option('-d, --duration <seconds>', 'how long', '5')
    .option('--bitrate <rate>', 'H.264 bit rate in bits/s, with k or M (4M, 2500k)', '4M')
    .action(recordCommand(argv));
}

module.exports = { cameraCommands, overwriteOptions, jsonOption };
