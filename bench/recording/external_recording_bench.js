'use strict';
// Throughput of a 1080p recording through "externalRecording..." (conversion to NV12, the
// socket hop to encworker, libx264 there) beside the ffmpeg command line encoding the same raw
// RGBA frames with the same x264 settings, in one run.
//
//   node bench/recording/external_recording_bench.js [frames=300]
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');
const addon = require('../..');

const WIDTH = 1920;
const HEIGHT = 1080;
const FPS = 30;
const BITRATE = 8_000_000;
const FRAMES = Number(process.argv[2] || 300);
const DISTINCT = 30; // frames are cycled; each is a different moving pattern

function makeFrame(index) {
  const pixels = Buffer.alloc(WIDTH * HEIGHT * 4);
  for (let y = 0; y < HEIGHT; y++) {
    let i = y * WIDTH * 4;
    for (let x = 0; x < WIDTH; x++, i += 4) {
      pixels[i] = (x + index * 8) & 255;
      pixels[i + 1] = (y + index * 4) & 255;
      pixels[i + 2] = ((x >> 2) ^ (y >> 2)) + index;
      pixels[i + 3] = 255;
    }
  }
  return pixels;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function recordThroughAddon(frames, file) {
  const start = process.hrtime.bigint();
  if (addon.externalRecordingStart(file, WIDTH, HEIGHT, FPS, BITRATE) !== 0) {
    throw new Error(addon.getLastError());
  }
  for (let i = 0; i < FRAMES; i++) {
    const frame = frames[i % DISTINCT];
    const view = new Uint8Array(frame.buffer, frame.byteOffset, frame.length);
    const micros = 1_000_000 + Math.round((i * 1_000_000) / FPS);
    // No drops: wait and retry while the six-frame queue is full.
    while (!addon.externalRecordingEnqueue(view, WIDTH, HEIGHT, 'rgba', micros)) {
      if (!addon.externalRecordingStatus().recording) throw new Error(addon.getLastError());
      await sleep(1);
    }
  }
  if (addon.externalRecordingStop() !== 0) throw new Error(addon.getLastError());
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  const status = addon.externalRecordingStatus();
  // Every refusal of a full queue counts as a drop; each refused frame was pushed again, so
  // all frames must have been written.
  if (status.framesWritten !== FRAMES) {
    throw new Error(`wrote ${status.framesWritten} of ${FRAMES} frames`);
  }
  return seconds;
}

function recordThroughFfmpegCli(frames, file) {
  return new Promise((resolve, reject) => {
    const start = process.hrtime.bigint();
    const ffmpeg = spawn('ffmpeg', [
      '-v', 'error', '-y', '-f', 'rawvideo', '-pix_fmt', 'rgba', '-s', `${WIDTH}x${HEIGHT}`,
      '-r', String(FPS), '-i', 'pipe:0', '-pix_fmt', 'nv12', '-c:v', 'libx264',
      '-preset', 'veryfast', '-tune', 'zerolatency', '-profile:v', 'high', '-g', String(2 * FPS),
      '-bf', '0', '-b:v', String(BITRATE), '-movflags', '+faststart', file,
    ], { stdio: ['pipe', 'ignore', 'inherit'] });
    ffmpeg.on('error', reject);
    ffmpeg.on('exit', (code) => {
      if (code !== 0) reject(new Error(`ffmpeg exited with ${code}`));
      else resolve(Number(process.hrtime.bigint() - start) / 1e9);
    });
    let i = 0;
    const writeMore = () => {
      while (i < FRAMES) {
        const ok = ffmpeg.stdin.write(frames[i % DISTINCT]);
        i++;
        if (!ok) {
          ffmpeg.stdin.once('drain', writeMore);
          return;
        }
      }
      ffmpeg.stdin.end();
    };
    writeMore();
  });
}

async function main() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zentri-bench-'));
  try {
    const frames = Array.from({ length: DISTINCT }, (_, i) => makeFrame(i));
    // Warm-up: loads FFmpeg and starts a worker once, outside the measurement.
    await recordThroughAddonWarmup(frames, path.join(dir, 'warm.mp4'));
    const ours = await recordThroughAddon(frames, path.join(dir, 'addon.mp4'));
    const cli = await recordThroughFfmpegCli(frames, path.join(dir, 'cli.mp4'));
    const ourFps = FRAMES / ours;
    const cliFps = FRAMES / cli;
    console.log(`${FRAMES} frames ${WIDTH}x${HEIGHT} RGBA, libx264 veryfast/zerolatency/high, ${BITRATE} b/s`);
    console.log(`addon -> encworker : ${ours.toFixed(2)} s, ${ourFps.toFixed(1)} frames/s`);
    console.log(`ffmpeg command line: ${cli.toFixed(2)} s, ${cliFps.toFixed(1)} frames/s`);
    console.log(`ratio (addon / ffmpeg throughput): ${(ourFps / cliFps).toFixed(3)}`);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

async function recordThroughAddonWarmup(frames, file) {
  addon.externalRecordingStart(file, WIDTH, HEIGHT, FPS, BITRATE);
  addon.externalRecordingEnqueue(new Uint8Array(frames[0]), WIDTH, HEIGHT, 'rgba', 1);
  addon.externalRecordingStop();
}

main().catch((error) => {
  console.error(error.message);
  process.exit(1);
});
