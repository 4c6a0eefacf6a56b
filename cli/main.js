'use strict';
// The `zentri` command: one subcommand per thing the addon does. Every failure ends in a single
// line on stderr and a non-zero exit code; output files appear only when they are complete.
const fs = require('fs');
const { spawn } = require('child_process');
const { Command } = require('commander');
const cliProgress = require('cli-progress');
const { CliError, firstLine } = require('./errors');
const camera = require('./camera');
const { runPreview, requirePreview } = require('./preview');
const { snapshot } = require('./snapshot');
const { record } = require('./record');
const { fuseFiles } = require('./fuse');
const { partialPath } = require('./output');
const { Zentri, DinoLite } = require('./microscopes');

const INTERRUPTED = 130;
const fixed = (value, digits = 1) => Number(value).toFixed(digits);

// ---- option helpers ----

function cameraOptions(command) {
  return syntheticOptions(command
    .option('-c, --camera <index>', 'camera index (see "zentri cameras")', '0')
    .option('--size <WxH>', 'capture size to ask the camera for (default: the camera\'s own)'));
}

function syntheticOptions(command) {
  return command
    .option('--synthetic', 'add a synthetic 1280x720@30 test camera after the real ones')
    .option('--synthetic-sizes <list>', 'add synthetic cameras of these sizes, e.g. 1920x1080@30,640x480 or a count');
}

// A flag, not an option with an optional value, so that `--synthetic out.png` cannot take the
// output file for a camera size.
function syntheticCameras(opts) {
  if (opts.syntheticSizes !== undefined) camera.enableSynthetic(opts.syntheticSizes);
  else if (opts.synthetic) camera.enableSynthetic('');
}

function cameraArguments(opts) {
  syntheticCameras(opts);
  return {
    index: camera.parseInteger(opts.camera, 'the camera index', 0, 1000),
    size: opts.size ? camera.parseSize(opts.size, 'the capture size') : null,
  };
}

function previewArguments(opts) {
  return {
    max: camera.parseSize(opts.max, 'the preview size limit'),
    fps: camera.parseInteger(opts.fps, 'the frame rate', 1, 120),
  };
}

function previewOptions(command) {
  return command
    .option('--max <WxH>', 'largest preview size; frames are decimated to fit', '960x540')
    .option('--fps <n>', 'preview (and recording) frame rate', '30');
}

// ---- commands ----

function printCameras(cameras, json) {
  if (json) {
    console.log(JSON.stringify(cameras, null, 2));
    return;
  }
  if (cameras.length === 0) {
    console.log('no camera found (--synthetic adds a synthetic test camera)');
    return;
  }
  for (const c of cameras) {
    console.log(`${c.index}: ${c.name}  [${c.uniqueId}]  model ${c.modelId || '-'}`);
    for (const line of camera.describeFormats(c.formats)) console.log(`   ${line}`);
  }
}

async function camerasCommand(opts) {
  syntheticCameras(opts);
  printCameras(camera.listCameras(), opts.json);
}

async function snapshotCommand(output, opts) {
  const shot = await snapshot({ ...cameraArguments(opts), output,
    max: camera.parseSize(opts.max, 'the size limit'), quality: Boolean(opts.quality) });
  console.log(`${shot.path}: ${shot.width}x${shot.height} ${shot.kind} of ${shot.camera}` +
    ` (camera frame ${shot.sourceWidth}x${shot.sourceHeight})`);
}

function statsLine(s) {
  return `${fixed(s.seconds)} s  ${fixed(s.producerFps)} fps  sequence ${s.sequence}  ` +
    `dropped ${s.droppedFrames}  ${s.width}x${s.height}`;
}

async function previewCommand(opts) {
  const { index, size } = cameraArguments(opts);
  const seconds = camera.parseSeconds(opts.duration);
  const { max, fps } = previewArguments(opts);
  const stop = interruptible();
  const tty = process.stdout.isTTY;
  requirePreview();
  const opened = await camera.openCamera(index, size);
  let stats;
  try {
    console.log(`previewing camera ${index} (${opened.name}, ${opened.width}x${opened.height}) for ${seconds} s`);
    stats = await runPreview(index, {
      seconds, max, fps, stop, reportMs: tty ? 200 : 1000,
      onStats: (s) => (tty ? process.stdout.write(`\r${statsLine(s)}   `) : console.log(statsLine(s))),
    });
  } finally {
    opened.close();
  }
  if (tty) process.stdout.write('\n');
  console.log(`preview: ${stats.producedFrames} frames in ${fixed(stats.seconds)} s, ` +
    `${fixed(stats.meanFps)} fps (producer ${fixed(stats.producerFps)}), ${stats.droppedFrames} dropped, ` +
    `${stats.width}x${stats.height} from ${stats.sourceWidth}x${stats.sourceHeight}`);
  if (stop.requested) process.exitCode = INTERRUPTED;
}

function describeRecording(result) {
  const s = result.status;
  const accel = s.encoderAcceleration ? ` (${s.encoderAcceleration})` : '';
  return [
    `${result.path}: ${s.width}x${s.height} H.264 at ${s.frameRate} fps, ${fixed(s.bitrate / 1e6, 2)} Mbit/s`,
    `encoder ${s.encoderName}${accel}, conversion ${s.conversionBackend || '-'}`,
    `frames written ${s.framesWritten}, dropped ${s.framesDropped}, duration ${fixed(s.durationMs / 1000, 2)} s`,
  ];
}

async function recordCommand(output, opts) {
  const { index, size } = cameraArguments(opts);
  const seconds = camera.parseSeconds(opts.duration);
  const { max, fps } = previewArguments(opts);
  const bitrate = camera.parseInteger(opts.bitrate, 'the bit rate', 100_000, 240_000_000);
  const stop = interruptible();
  const tty = process.stdout.isTTY;
  const bar = new cliProgress.SingleBar({
    format: 'recording [{bar}] {value}/{total} s | {frames} frames | {dropped} dropped',
    hideCursor: true, clearOnComplete: true, stream: process.stdout,
  }, cliProgress.Presets.shades_classic);
  let barShown = false;
  try {
    const result = await record({
      index, output, seconds, size, max, fps, bitrate, stop,
      onStart: (info) => {
        console.log(`recording camera ${index} (${info.camera}) at ${info.width}x${info.height}, ` +
          `${fps} fps for ${seconds} s to ${output}; Ctrl-C stops early`);
        if (tty) {
          bar.start(seconds, 0, { frames: 0, dropped: 0 });
          barShown = true;
        }
      },
      onProgress: (elapsed, status) => {
        if (barShown) bar.update(Number(elapsed.toFixed(1)), { frames: status.framesWritten, dropped: status.framesDropped });
      },
    });
    if (barShown) bar.stop();
    barShown = false;
    if (result.interrupted) console.log(`interrupted: the recording stopped after ${fixed(result.seconds)} s and was finalized`);
    for (const line of describeRecording(result)) console.log(line);
    if (result.interrupted) process.exitCode = INTERRUPTED;
  } finally {
    if (barShown) bar.stop();
  }
}

async function fuseCommand(images, opts) {
  const options = {};
  if (opts.reference !== undefined) options.reference = camera.parseInteger(opts.reference, 'the reference frame', 0, 10);
  if (opts.threads !== undefined) options.threads = camera.parseInteger(opts.threads, 'the thread count', 1, 64);
  if (opts.radius !== undefined) options.radius = camera.parseInteger(opts.radius, 'the sharpness radius', 0, 1000);
  const fused = fuseFiles(images, opts.output, options);
  console.log(`${fused.path}: ${fused.width}x${fused.height} fused from ${fused.frames} frames (reference ${fused.reference})`);
  console.log(`fusion ${fixed(fused.durationMs)} ms on ${fused.threads} thread${fused.threads === 1 ? '' : 's'} ` +
    `(${fused.backend}, ${fused.simd}); sharpness weights ${fixed(fused.weightsMs)} ms (radius ${fused.radius})`);
}

// ---- microscopes ----

function deviceIndex(opts) {
  return camera.parseInteger(opts.device, 'the device index', 0, 1000);
}

async function withMicroscope(Kind, opts, body) {
  const scope = new Kind(opts.library);
  try {
    return await body(scope);
  } finally {
    scope.dispose();
  }
}

// Dino-Lite LED modes are bit sets (0x11 all on, 0x10 and 0x01 one group each, 0 off).
const hex = (mode) => (mode < 0 ? String(mode) : `0x${mode.toString(16)}`);
const millimetres = (value) => Number(value.toFixed(3));

function microscopeCommand(program, name, Kind, label) {
  const group = program.command(name).description(`${label} microscopes`);
  const common = (cmd) => cmd
    .option('-d, --device <index>', 'microscope index (see list)', '0')
    .option('--library <path>', `path of lib${name}.so (default: the build folder's)`);
  common(group.command('list').description(`every ${label} microscope`)).action(async (opts) => {
    await withMicroscope(Kind, opts, async (scope) => {
      const devices = await scope.devices();
      if (devices.length === 0) console.log(`no ${label} microscope found`);
      for (const d of devices) console.log(`${d.index}: ${d.name}  [${d.uniqueId}]`);
    });
  });
  common(group.command('select <index>').description('select a microscope and show what it reports'))
    .action(async (index, opts) => {
      await withMicroscope(Kind, opts, async (scope) => {
        scope.select(camera.parseInteger(index, 'the device index', 0, 1000));
        printStatus(name, await scope.status());
      });
    });
  common(group.command('status').description('status of the selected microscope'))
    .action(async (opts) => {
      await withMicroscope(Kind, opts, async (scope) => {
        scope.select(deviceIndex(opts));
        printStatus(name, await scope.status());
      });
    });
  return { group, common };
}

function printStatus(name, s) {
  if (name === 'zentri') {
    const t = s.telemetry;
    console.log(`device ${s.selected}`);
    if (s.version) {
      const v = s.version;
      console.log(`product 0x${v.productId.toString(16)}, hardware ${v.hardwareMajorVersion}.${v.hardwareMinorVersion}, ` +
        `firmware ${v.softwareMajorVersion}.${v.softwareMinorVersion}.${v.softwarePatchVersion}`);
    }
    if (s.protocol) console.log(`protocol ${s.protocol.majorVersion}.${s.protocol.minorVersion}.${s.protocol.patchVersion}`);
    console.log(`status ${t ? `0x${(t.status >>> 0).toString(16).padStart(8, '0')}` : 'unknown'}, focus ${t ? t.focusPosition : 'unknown'}, LED ${s.led === 1 ? 'on' : s.led === 0 ? 'off' : 'unknown'} (as last set by libzentri)`);
    if (t && t.pixelInfo.ok) console.log(`pixel size ${t.pixelInfo.micronsPerPixel} µm at ${t.pixelInfo.width}x${t.pixelInfo.height}`);
    if (t && t.lensInfo.ok) console.log(`lens driver ${t.lensInfo.lensDriver}, lens group ${t.lensInfo.lensGroup}`);
    const caps = Object.entries(s.capabilities).filter(([k, v]) => k !== 'apiVersion' && v).map(([k]) => k);
    console.log(`API 0x${s.capabilities.apiVersion.toString(16)}, supports ${caps.join(', ') || 'nothing optional'}`);
    return;
  }
  console.log(`device ${s.selected}, backend ${s.state.backend}`);
  console.log(`magnification ${s.magnification === null ? 'unknown' : `${s.magnification}x`}, ` +
    `field of view ${s.fieldOfView === null ? 'unknown' : `${millimetres(s.fieldOfView)} mm`}`);
  console.log(`LED mode ${hex(s.state.ledState)} of [${s.state.ledModes.map(hex).join(', ')}], ` +
    `MicroTouch ${s.state.supportsMicrotouch ? 'yes' : 'no'}`);
}

function zentriCommands(program) {
  const { group, common } = microscopeCommand(program, 'zentri', Zentri, 'Zentri');
  common(group.command('telemetry').description('status, focus, pixel size and lens group, repeatedly'))
    .option('--watch <seconds>', 'keep printing for this long', '0')
    .action(async (opts) => {
      const seconds = Number(opts.watch) > 0 ? camera.parseSeconds(opts.watch, 'the watch time') : 0;
      await withMicroscope(Zentri, opts, async (scope) => {
        scope.select(deviceIndex(opts));
        const stop = interruptible();
        const end = Date.now() + seconds * 1000;
        do {
          const t = await scope.telemetry();
          if (!t) throw new CliError(`Zentri microscope ${opts.device} sent no telemetry: ${scope.reason()}`);
          console.log(JSON.stringify(t));
          if (Date.now() < end) await camera.sleep(500);
        } while (Date.now() < end && !stop.requested);
      });
    });
  common(group.command('focus [action]').description('read the focus position, or set it: a position, near, far or auto'))
    .action(async (action, opts) => {
      await withMicroscope(Zentri, opts, async (scope) => {
        scope.select(deviceIndex(opts));
        if (action === undefined) {
          const t = await scope.telemetry();
          console.log(`focus position ${t ? t.focusPosition : 'unknown'}`);
          return;
        }
        const target = ['near', 'far', 'auto'].includes(action) ? action
          : camera.parseInteger(action, 'the focus position', 0, 0xffff);
        console.log(`focus position ${await scope.focus(target)}`);
      });
    });
  common(group.command('led [state]').description('switch the LED on or off (reading shows what libzentri last set; the microscope does not report it)'))
    .action(async (state, opts) => {
      if (state !== undefined && state !== 'on' && state !== 'off') throw new CliError(`the LED state must be on or off, got "${state}"`);
      await withMicroscope(Zentri, opts, async (scope) => {
        scope.select(deviceIndex(opts));
        const led = state === undefined ? scope.led() : await scope.setLed(state === 'on');
        // The microscope cannot report its LED: libzentri answers with what it last set in this
        // process (on, before any change).
        const word = led === 1 ? 'on' : led === 0 ? 'off' : 'unknown';
        console.log(state === undefined ? `LED ${word} (as last set by libzentri in this process)` : `LED ${word}`);
      });
    });
}

function dinoLiteCommands(program) {
  const { group, common } = microscopeCommand(program, 'dinolite', DinoLite, 'Dino-Lite');
  common(group.command('magnification').alias('amr').description('the magnification reading'))
    .action(async (opts) => {
      await withMicroscope(DinoLite, opts, async (scope) => {
        scope.select(deviceIndex(opts));
        const amr = await scope.magnification();
        if (amr === null) throw new CliError(`Dino-Lite microscope ${opts.device} reports no magnification`);
        console.log(`magnification ${amr}x`);
      });
    });
  common(group.command('fov').description('the horizontal field of view at the current magnification'))
    .action(async (opts) => {
      await withMicroscope(DinoLite, opts, async (scope) => {
        scope.select(deviceIndex(opts));
        const amr = await scope.magnification();
        const fov = await scope.fieldOfView(amr);
        if (fov === null) throw new CliError(`Dino-Lite microscope ${opts.device} reports no field of view`);
        console.log(`field of view ${millimetres(fov)} mm at magnification ${amr}x`);
      });
    });
  common(group.command('led [action]').description('show the LED mode, or "toggle" it to the next mode (every command selects the microscope, which sets its preferred mode first)'))
    .action(async (action, opts) => {
      if (action !== undefined && action !== 'toggle') throw new CliError(`the LED action must be toggle, got "${action}"`);
      await withMicroscope(DinoLite, opts, async (scope) => {
        scope.select(deviceIndex(opts));
        if (action === 'toggle') {
          console.log(`LED mode ${hex(scope.toggleLed())}`);
        } else {
          const led = scope.led();
          console.log(`LED mode ${hex(led.mode)} of [${led.modes.map(hex).join(', ')}]${led.controllable ? '' : ' (not controllable)'}`);
        }
      });
    });
}

// ---- signals ----

// Ctrl-C and SIGTERM ask the running command to stop; a second one ends the process at once
// (the exit handlers still remove unfinished output files).
function interruptible() {
  const stop = { requested: false };
  const onSignal = () => {
    if (stop.requested) process.exit(INTERRUPTED);
    stop.requested = true;
  };
  process.removeAllListeners('SIGINT');
  process.removeAllListeners('SIGTERM');
  process.on('SIGINT', onSignal);
  process.on('SIGTERM', onSignal);
  // The recording copy of `record` (see runDetached) stops, and finalizes, when the process that
  // started it is gone, however that ended.
  if (process.channel) {
    process.channel.unref();
    process.on('disconnect', () => {
      stop.requested = true;
    });
  }
  return stop;
}

// `record` runs in a copy of this process in its own session, and this process passes the
// signals on to it: the copy finalizes the MP4 on Ctrl-C or SIGTERM, and if it is killed outright
// this process removes its unfinished file and says so. (The encoder worker has a process group
// of its own, so a terminal's Ctrl-C never reaches it directly.)
function runDetached(output, argv) {
  return new Promise((resolve) => {
    // The IPC channel tells the copy when this process is gone, however it ended.
    const child = spawn(process.execPath, [...process.execArgv, ...argv.slice(1)], {
      detached: true, stdio: ['inherit', 'inherit', 'inherit', 'ipc'],
      env: { ...process.env, ZENTRI_CLI_DETACHED: '1' },
    });
    const forward = (signal) => () => {
      try {
        process.kill(child.pid, signal);
      } catch {
        // Already gone.
      }
    };
    process.removeAllListeners('SIGINT');
    process.removeAllListeners('SIGTERM');
    process.on('SIGINT', forward('SIGINT'));
    process.on('SIGTERM', forward('SIGTERM'));
    process.on('SIGHUP', forward('SIGTERM'));
    process.on('SIGQUIT', forward('SIGTERM'));
    child.on('error', (error) => {
      console.error(`zentri: could not start the recording process: ${firstLine(error)}`);
      resolve(1);
    });
    child.on('exit', (code, signal) => {
      if (signal) {
        // Killed before it could clean up: its unfinished file is of no use.
        fs.rmSync(partialPath(output, child.pid), { force: true });
        console.error(`zentri: the recording process was killed by ${signal}; nothing was recorded`);
      }
      resolve(code ?? 1);
    });
  });
}

// ---- program ----

function buildProgram(argv = process.argv) {
  const program = new Command('zentri');
  program
    .description('USB microscopes and cameras from the command line, over the zentri-native addon')
    .showSuggestionAfterError(true)
    .configureOutput({ outputError: (text, write) => write(`zentri: ${text.replace(/^error: /, '')}`) });

  syntheticOptions(program.command('cameras').description('every camera with its formats'))
    .option('--json', 'print JSON')
    .action(camerasCommand);

  cameraOptions(program.command('snapshot <output.png>').description('one camera frame as a PNG'))
    .option('--max <WxH>', 'largest size of the RGBA frame (ignored with --quality)', '960x540')
    .option('--quality', 'the full-resolution quality frame of the preview instead')
    .action(snapshotCommand);

  previewOptions(cameraOptions(program.command('preview').description('run the preview and print live statistics')))
    .option('-d, --duration <seconds>', 'how long', '5')
    .action(previewCommand);

  previewOptions(cameraOptions(program.command('record <output.mp4>').description('record the camera preview to an MP4')))
    .option('-d, --duration <seconds>', 'how long', '5')
    .option('--bitrate <bits/s>', 'H.264 bit rate', '4000000')
    .action(async (output, opts) => {
      if (process.env.ZENTRI_CLI_DETACHED === '1') {
        await recordCommand(output, opts);
      } else {
        process.exitCode = await runDetached(output, argv);
      }
    });

  program.command('fuse <images...>').description('fuse a focus stack of 3 to 11 PNG or JPEG images into one PNG')
    .requiredOption('-o, --output <file.png>', 'the fused image')
    .option('--reference <k>', 'frame that fills pixels no frame can supply (default: the middle one)')
    .option('--threads <n>', 'thread budget (default: about half the processors, at most 8)')
    .option('--radius <pixels>', 'window radius of the sharpness measure (default: from the image size)')
    .action(fuseCommand);

  zentriCommands(program);
  dinoLiteCommands(program);
  return program;
}

async function main(argv = process.argv) {
  const program = buildProgram(argv);
  program.exitOverride();
  // Until a command installs its own handling, a signal ends the process through the exit
  // handlers, so unfinished output files are removed.
  process.on('SIGINT', () => process.exit(INTERRUPTED));
  process.on('SIGTERM', () => process.exit(INTERRUPTED));
  try {
    await program.parseAsync(argv);
  } catch (error) {
    if (error && error.code && String(error.code).startsWith('commander.')) {
      // Commander has printed its one line (or the help) already.
      process.exitCode = error.exitCode;
      return;
    }
    if (error instanceof CliError) {
      console.error(`zentri: ${error.message}`);
      process.exitCode = error.exitCode;
      return;
    }
    console.error(`zentri: unexpected failure: ${firstLine(error)}`);
    if (process.env.ZENTRI_DEBUG) console.error(error);
    process.exitCode = 1;
  }
}

module.exports = { main, buildProgram };
