'use strict';
// Focus-stack fusion through the addon's multiband fusion. The frames of a stack taken on a
// fixed stand are already aligned, so every frame gets an identity field (each output pixel
// shows the same pixel of the frame) with full confidence, and its weights from the local
// sharpness measure of ./sharpness.js.
//
// Large stacks are fused in horizontal strips: the fields and weights of a strip, and the
// fusion's own pyramids, then take memory for that strip only, while the frames stay whole.
// Each strip is fused with margins of rows above and below that are computed and dropped, and
// strips start on multiples of 8 rows so that every coarser pyramid level lies on the same grid
// as the whole image's: the kept rows are the rows a whole-image fusion gives.
const os = require('os');
const { CliError, firstLine } = require('./errors');
const { requireFunctions } = require('./addon');
const { readImage, probeImage, encodeImage } = require('./images');
const { sharpnessRows, defaultRadius } = require('./sharpness');

const MIN_FRAMES = 3;
const MAX_FRAMES = 11;
const MAX_SIDE = 16384;

const ALIGN = 8; // 2^(levels - 1) for the fusion's 4 pyramid levels
const MARGIN = 32; // rows fused beyond each edge of a strip and dropped (a multiple of ALIGN)
const MIN_STRIP_ROWS = 37 * ALIGN; // a strip as tall as this gets all 4 levels when the image does
const STRIP_PIXELS = 2_500_000; // fused pixels per strip, margins excluded

function requireFusion() {
  return requireFunctions('focus-stack fusion', ['edofMultibandFuse']);
}

function checkStackSize(count) {
  if (count < MIN_FRAMES || count > MAX_FRAMES) {
    throw new CliError(`a focus stack needs ${MIN_FRAMES} to ${MAX_FRAMES} images, got ${count}`);
  }
}

// Checks the headers of a stack's images (existence, format, equal sizes) before any is decoded.
async function probeStack(files) {
  checkStackSize(files.length);
  const probes = [];
  for (const file of files) {
    const info = await probeImage(file);
    if (info.width > MAX_SIDE || info.height > MAX_SIDE) {
      throw new CliError(`${file}: ${info.width}x${info.height} is larger than ${MAX_SIDE} pixels on a side`);
    }
    const first = probes[0];
    if (first && (info.width !== first.width || info.height !== first.height)) {
      throw new CliError(`${file} is ${info.width}x${info.height} but ${first.file} is ` +
        `${first.width}x${first.height}: all images of a stack must have the same size`);
    }
    probes.push({ file, ...info });
  }
  return probes;
}

// Reads the images of a stack as 8-bit RGBA. `onReduced(file, bits)` is called for the first
// image of more than 8 bits a channel.
async function loadStack(files, { onReduced = null } = {}) {
  const probes = await probeStack(files);
  const deep = probes.find((p) => p.bitDepth > 8);
  if (deep && onReduced) onReduced(deep.file, deep.bitDepth);
  // Decoding runs on libvips' threads; two at a time keep both processors busy without holding
  // more than the frames themselves.
  const images = new Array(files.length);
  let nextIndex = 0;
  const worker = async () => {
    while (nextIndex < files.length) {
      const k = nextIndex++;
      images[k] = { file: files[k], ...(await readImage(files[k])) };
    }
  };
  await Promise.all([worker(), worker()]);
  return images;
}

// Strips of a width x height fusion: { y0, y1 } rows kept, { a, b } rows fused.
function planStrips(width, height, stripPixels = STRIP_PIXELS) {
  const rows = Math.max(ALIGN, Math.floor(stripPixels / width / ALIGN) * ALIGN);
  if (rows + MARGIN >= height) return [{ y0: 0, y1: height, a: 0, b: height }];
  const strips = [];
  for (let y0 = 0; y0 < height; y0 += rows) {
    const y1 = Math.min(height, y0 + rows);
    let a = Math.max(0, y0 - MARGIN);
    let b = Math.min(height, y1 + MARGIN);
    // A short strip would have fewer pyramid levels than the image: widen it.
    if (b - a < MIN_STRIP_ROWS) a = Math.max(0, Math.floor((b - MIN_STRIP_ROWS) / ALIGN) * ALIGN);
    if (b - a < MIN_STRIP_ROWS) b = Math.min(height, a + MIN_STRIP_ROWS);
    strips.push({ y0, y1, a, b });
  }
  return strips;
}

// The identity field of a width x rows map (map cell (i, j) shows frame position (i, j)) with
// full confidence. The arrays of a shorter strip are prefixes of these.
function identityField(width, rows) {
  const cells = width * rows;
  const x = new Float32Array(cells);
  const y = new Float32Array(cells);
  for (let row = 0; row < rows; row++) {
    const o = row * width;
    for (let col = 0; col < width; col++) {
      x[o + col] = col;
      y[o + col] = row;
    }
  }
  return { x, y, confidence: new Float32Array(cells).fill(1) };
}

function fieldView(field, width, rows) {
  const cells = width * rows;
  return { mapWidth: width, mapHeight: rows, x: field.x.subarray(0, cells), y: field.y.subarray(0, cells),
    confidence: field.confidence.subarray(0, cells), accepted: true };
}

function rowsOf(bytes, width, a, b) {
  return bytes.subarray(a * width * 4, b * width * 4);
}

// Fuses same-sized RGBA images ({ width, height, rgba }). Returns the fused RGBA image with the
// addon's facts about the run and the time the tool spent on the weights.
function fuseImages(images, { reference = Math.floor(images.length / 2), threads, radius, stripPixels } = {}) {
  const addon = requireFusion();
  checkStackSize(images.length);
  if (!Number.isInteger(reference) || reference < 0 || reference >= images.length) {
    throw new CliError(`the reference frame must be 0 to ${images.length - 1}, got ${reference}`);
  }
  const { width, height } = images[0];
  const r = radius ?? defaultRadius(width, height);
  const maxThreads = threads ?? Math.min(8, os.availableParallelism ? os.availableParallelism() : os.cpus().length);
  const strips = planStrips(width, height, stripPixels);
  const tallest = Math.max(...strips.map((s) => s.b - s.a));
  const field = identityField(width, tallest);
  const weightRows = images.map(() => new Float32Array(width * tallest));
  const fused = new Uint8Array(width * height * 4);
  let weightsMs = 0;
  let durationMs = 0;
  let facts = null;
  for (const { y0, y1, a, b } of strips) {
    const rows = b - a;
    const weighing = process.hrtime.bigint();
    const weights = images.map((image, k) => sharpnessRows(image.rgba, width, height, r, a, b,
      weightRows[k].subarray(0, width * rows)));
    weightsMs += Number(process.hrtime.bigint() - weighing) / 1e6;
    const view = fieldView(field, width, rows);
    const request = {
      width,
      height: rows,
      referenceIndex: reference,
      frames: images.map((image) => ({ rgba: rowsOf(image.rgba, width, a, b), sourcePixelsPerOutputPixel: 1 })),
      fields: images.map(() => view),
      weights,
      maxThreads,
    };
    let result;
    try {
      result = addon.edofMultibandFuse(request);
    } catch (error) {
      throw new CliError(`the fusion failed: ${firstLine(error)}`);
    }
    fused.set(rowsOf(result.data, width, y0 - a, y1 - a), y0 * width * 4);
    durationMs += result.durationMs;
    facts = result;
  }
  return { width, height, rgba: fused, frames: images.length, reference, radius: r, strips: strips.length,
    backend: facts.backend, simd: facts.simd, threads: facts.threads, durationMs, weightsMs };
}

// Reads the stack `files`, fuses it and writes it to `out` (an OutputFile) in `format`.
// Returns the fusion facts.
async function fuseFiles(files, out, { format = 'png', jpegQuality, onReduced, ...options } = {}) {
  requireFusion();
  const images = await loadStack(files, { onReduced });
  const fused = fuseImages(images, options);
  images.length = 0; // the frames are no longer needed while the result is encoded
  out.write(await encodeImage(fused.rgba, fused.width, fused.height, 4, format, { quality: jpegQuality }));
  return { path: out.path, format, ...fused };
}

module.exports = { MIN_FRAMES, MAX_FRAMES, ALIGN, MARGIN, requireFusion, probeStack, loadStack, planStrips, identityField,
  fuseImages, fuseFiles };
