'use strict';
// The main job: shows the whole system working on this machine. With no camera attached it
// switches on one synthetic camera; with a real camera it uses that one. It lists the cameras,
// runs the preview, writes a snapshot PNG, records an MP4, fuses a synthetic focus stack into a
// PNG and ends with a summary of the files and figures. It uses the command-line tool's modules,
// so it exercises the same code as `zentri`.
//
//   node scripts/demo.js [--out DIR]     (default DIR: demo-output beside this folder)
const fs = require('fs');
const path = require('path');
const { CliError, firstLine } = require('../cli/errors');
const { buildFile, dinoLiteSimulator, loadAddon, missingFunctions, packageRoot } = require('../cli/addon');
const camera = require('../cli/camera');
const { runPreview, PREVIEW_FUNCTIONS } = require('../cli/preview');
const { snapshot } = require('../cli/snapshot');
const { record, RECORDING_FUNCTIONS } = require('../cli/record');
const { fuseFiles } = require('../cli/fuse');
const { syntheticFocusStack } = require('../cli/focus_stack');
const { writeImage, readImage } = require('../cli/images');
const { openOutput } = require('../cli/output');
const { Zentri, DinoLite, ZENTRI_FUNCTIONS, DINOLITE_FUNCTIONS } = require('../cli/microscopes');

const PREVIEW_SECONDS = 3;
const RECORD_SECONDS = 5;
const STACK = { width: 640, height: 480, frames: 5 };

const fixed = (value, digits = 1) => Number(value).toFixed(digits);
const shown = (file) => {
  const relative = path.relative(process.cwd(), file);
  return relative && !relative.startsWith('..') ? relative : file;
};

function outputDir() {
  const at = process.argv.indexOf('--out');
  const dir = at >= 0 && process.argv[at + 1] ? path.resolve(process.argv[at + 1])
    : path.join(packageRoot, 'demo-output');
  fs.mkdirSync(dir, { recursive: true });
  return dir;
}

// Mean absolute difference of two RGBA images over R, G and B.
function meanError(a, b) {
  let sum = 0;
  for (let i = 0; i < a.length; i += 4) {
    sum += Math.abs(a[i] - b[i]) + Math.abs(a[i + 1] - b[i + 1]) + Math.abs(a[i + 2] - b[i + 2]);
  }
  return sum / ((a.length / 4) * 3);
}

async function main() {
  const began = Date.now();
  const outDir = outputDir();
  const addon = loadAddon();
  const names = Object.keys(addon);
  const functions = names.filter((k) => typeof addon[k] === 'function').length;
  console.log(`zentri-native demo: addon ${shown(buildFile('zentri_native.node'))} ` +
    `(${functions} functions, ${names.length - functions} constants; node ${process.version})`);
  console.log(`output folder: ${shown(outDir)}`);

  const summary = [];
  let failed = 0;
  // Runs one step; a step whose addon functions are not in this build is skipped in one line.
  const step = async (title, needed, body) => {
    const missing = missingFunctions(needed);
    if (missing.length) {
      console.log(`\n== ${title}: skipped, not in this build of the addon yet (no ${missing[0]})`);
      summary.push(`${title}: skipped`);
      return;
    }
    console.log(`\n== ${title}`);
    const t0 = Date.now();
    try {
      const line = await body();
      summary.push(`${title}: ${line}`);
    } catch (error) {
      failed++;
      const message = error instanceof CliError ? error.message : `unexpected failure: ${firstLine(error)}`;
      console.log(`failed: ${message}`);
      summary.push(`${title}: FAILED (${message})`);
    }
    console.log(`(${fixed((Date.now() - t0) / 1000)} s)`);
  };

  // Cameras: a real one when attached, else a synthetic 1280x720 camera at 30 fps.
  let cam = null;
  await step('cameras', ['loadCameraBackend'], async () => {
    let cameras = camera.listCameras();
    let kind = 'real camera';
    if (cameras.length === 0) {
      camera.enableSynthetic(camera.DEFAULT_SYNTHETIC);
      cameras = camera.listCameras();
      kind = 'synthetic camera (no camera attached)';
    }
    for (const c of cameras) {
      console.log(`${c.index}: ${c.name} [${c.uniqueId}] ${camera.describeFormats(c.formats).join('; ')}`);
    }
    if (cameras.length === 0) throw new CliError('no camera, not even a synthetic one');
    cam = cameras[0];
    return `${cameras.length} found, using ${cam.index}: ${cam.name}, a ${kind}`;
  });

  const cameraStep = (title, needed, body) =>
    step(title, needed, async () => {
      if (!cam) throw new CliError('no camera to use');
      return body();
    });

  await cameraStep(`preview ${PREVIEW_SECONDS} s`, PREVIEW_FUNCTIONS, async () => {
    const opened = await camera.openCamera(cam.index);
    try {
      const stats = await runPreview(cam.index, {
        seconds: PREVIEW_SECONDS, max: { width: 960, height: 540 }, fps: 30,
        onStats: (s) => console.log(`${fixed(s.seconds)} s: ${fixed(s.producerFps)} fps, sequence ${s.sequence}, dropped ${s.droppedFrames}`),
      });
      return `${fixed(stats.meanFps)} fps, ${stats.producedFrames} frames of ${stats.width}x${stats.height} ` +
        `from ${stats.sourceWidth}x${stats.sourceHeight}, ${stats.droppedFrames} dropped`;
    } finally {
      opened.close();
    }
  });

  await cameraStep('snapshot', ['cameraGrabFrameRgba'], async () => {
    const out = await openOutput(path.join(outDir, 'snapshot.png'), { overwrite: true });
    const shot = await snapshot({ index: cam.index, out });
    console.log(`${shown(shot.path)}: ${shot.width}x${shot.height} from ${shot.sourceWidth}x${shot.sourceHeight}`);
    return `${shown(shot.path)} (${shot.width}x${shot.height} PNG)`;
  });

  await cameraStep(`record ${RECORD_SECONDS} s`, [...PREVIEW_FUNCTIONS, ...RECORDING_FUNCTIONS], async () => {
    let lastSecond = 0;
    const result = await record({
      index: cam.index, out: await openOutput(path.join(outDir, 'recording.mp4'), { overwrite: true }), seconds: RECORD_SECONDS,
      onStart: (info) => console.log(`recording ${info.width}x${info.height} at ${info.fps} fps`),
      onProgress: (seconds, status) => {
        if (Math.floor(seconds) > lastSecond) {
          lastSecond = Math.floor(seconds);
          console.log(`${lastSecond} s: ${status.framesWritten} frames written, ${status.framesDropped} dropped`);
        }
      },
    });
    const s = result.status;
    console.log(`${shown(result.path)}: ${s.width}x${s.height}, encoder ${s.encoderName}, ` +
      `${s.framesWritten} frames written, ${s.framesDropped} dropped, ${fixed(s.durationMs / 1000, 2)} s`);
    return `${shown(result.path)} (encoder ${s.encoderName}, ${s.framesWritten} frames, ` +
      `${s.framesDropped} dropped, ${fixed(s.durationMs / 1000, 2)} s)`;
  });

  await step(`fuse a ${STACK.frames}-frame focus stack`, ['edofMultibandFuse'], async () => {
    const stackDir = path.join(outDir, 'stack');
    fs.mkdirSync(stackDir, { recursive: true });
    const { scene, frames } = syntheticFocusStack(STACK.width, STACK.height, STACK.frames);
    const files = await Promise.all(frames.map((rgba, k) => writeImage(path.join(stackDir, `frame-${k + 1}.png`),
      rgba, STACK.width, STACK.height, 4, { overwrite: true })));
    console.log(`${shown(stackDir)}: ${frames.length} frames of ${STACK.width}x${STACK.height}, each sharp in one band`);
    const fused = await fuseFiles(files, await openOutput(path.join(outDir, 'fused.png'), { overwrite: true }));
    // How close each image comes to the sharp scene the stack was made from.
    const fusedImage = await readImage(fused.path);
    const best = Math.min(...frames.map((f) => meanError(f, scene)));
    const error = meanError(fusedImage.rgba, scene);
    console.log(`${shown(fused.path)}: fusion ${fixed(fused.durationMs)} ms on ${fused.threads} thread(s) ` +
      `(${fused.backend}, ${fused.simd}), weights ${fixed(fused.weightsMs)} ms`);
    console.log(`mean error against the sharp scene: fused ${fixed(error, 2)}, best single frame ${fixed(best, 2)}`);
    return `${shown(fused.path)} (fusion ${fixed(fused.durationMs)} ms, ${fused.threads} thread(s), ` +
      `error ${fixed(error, 2)} vs ${fixed(best, 2)} for the best frame)`;
  });

  // Microscopes: Zentri ones only with hardware; Dino-Lite through the libdinolite simulator
  // (dinolite/README.md), named by its path, which offers one microscope unless a scenario says more.
  await step('Zentri microscopes', ZENTRI_FUNCTIONS, async () => {
    const scope = new Zentri();
    try {
      const devices = await scope.devices();
      if (devices.length === 0) return 'none attached';
      scope.select(0);
      const s = await scope.status();
      const focus = s.telemetry ? s.telemetry.focusPosition : 'unknown';
      return `${devices.length} attached; 0: ${devices[0].name}, focus ${focus}, LED ${s.led === 1 ? 'on' : 'off'}`;
    } finally {
      scope.dispose();
    }
  });

  await step('Dino-Lite microscope', DINOLITE_FUNCTIONS, async () => {
    const scope = new DinoLite(dinoLiteSimulator());
    try {
      const devices = await scope.devices();
      for (const d of devices) console.log(`${d.index}: ${d.name} [${d.uniqueId}]`);
      if (devices.length === 0) return 'none attached';
      scope.select(0);
      const s = await scope.status();
      const led = `LED mode 0x${s.state.ledState.toString(16)}, next 0x${scope.toggleLed().toString(16)}`;
      const readings = `magnification ${s.magnification === null ? 'unknown' : `${s.magnification}x`}, ` +
        `field of view ${s.fieldOfView === null ? 'unknown' : `${Number(s.fieldOfView.toFixed(3))} mm`}`;
      console.log(`${readings}, ${led}`);
      return `${devices[0].name} (backend ${s.state.backend}): ${readings}, ${led}`;
    } finally {
      scope.dispose();
    }
  });

  console.log(`\nsummary (${fixed((Date.now() - began) / 1000)} s):`);
  for (const line of summary) console.log(`  ${line}`);
  if (failed) process.exitCode = 1;
}

main().catch((error) => {
  console.error(`demo: ${error instanceof CliError ? error.message : `unexpected failure: ${firstLine(error)}`}`);
  process.exitCode = 1;
});
