'use strict';
// Focus-stack fusion through the addon's multiband fusion. The frames of a stack taken on a
// fixed stand are already aligned, so every frame gets an identity field (each output pixel
// shows the same pixel of the frame) with full confidence, and its weights from the local
// sharpness measure of ./sharpness.js.
const { CliError, firstLine } = require('./errors');
const { requireFunctions } = require('./addon');
const { readImage, encodePng } = require('./images');
const { OutputFile } = require('./output');
const { sharpnessMap, defaultRadius } = require('./sharpness');

const MIN_FRAMES = 3;
const MAX_FRAMES = 11;
const MAX_SIDE = 16384;

function requireFusion() {
  return requireFunctions('focus-stack fusion', ['edofMultibandFuse']);
}

function checkStackSize(count) {
  if (count < MIN_FRAMES || count > MAX_FRAMES) {
    throw new CliError(`a focus stack needs ${MIN_FRAMES} to ${MAX_FRAMES} images, got ${count}`);
  }
}

// Reads the images of a stack and checks that they can be fused together.
function loadStack(files) {
  checkStackSize(files.length);
  const images = [];
  for (const file of files) {
    const image = readImage(file);
    if (image.width > MAX_SIDE || image.height > MAX_SIDE) {
      throw new CliError(`${file}: ${image.width}x${image.height} is larger than ${MAX_SIDE} pixels on a side`);
    }
    const first = images[0];
    if (first && (image.width !== first.width || image.height !== first.height)) {
      throw new CliError(`${file} is ${image.width}x${image.height} but ${first.file} is ` +
        `${first.width}x${first.height}: all images of a stack must have the same size`);
    }
    images.push({ file, ...image });
  }
  return images;
}

// The identity field of a width x height image at full resolution: map cell (i, j) shows frame
// position (i, j). One field serves every frame, since the arrays are only read.
function identityField(width, height) {
  const cells = width * height;
  const x = new Float32Array(cells);
  const y = new Float32Array(cells);
  for (let row = 0; row < height; row++) {
    for (let col = 0; col < width; col++) {
      x[row * width + col] = col;
      y[row * width + col] = row;
    }
  }
  return { mapWidth: width, mapHeight: height, x, y, confidence: new Float32Array(cells).fill(1), accepted: true };
}

// Fuses same-sized RGBA images ({ width, height, rgba }). Returns the fused RGBA image with the
// addon's facts about the run and the time the tool spent on the weights.
function fuseImages(images, { reference = Math.floor(images.length / 2), threads, radius } = {}) {
  const addon = requireFusion();
  checkStackSize(images.length);
  if (!Number.isInteger(reference) || reference < 0 || reference >= images.length) {
    throw new CliError(`the reference frame must be 0 to ${images.length - 1}, got ${reference}`);
  }
  const { width, height } = images[0];
  const r = radius ?? defaultRadius(width, height);
  const weighing = process.hrtime.bigint();
  const weights = images.map((image) => sharpnessMap(image.rgba, width, height, r));
  const weightsMs = Number(process.hrtime.bigint() - weighing) / 1e6;
  const field = identityField(width, height);
  const request = {
    width,
    height,
    referenceIndex: reference,
    frames: images.map((image) => ({ rgba: image.rgba, sourcePixelsPerOutputPixel: 1 })),
    fields: images.map(() => field),
    weights,
  };
  if (threads !== undefined) request.maxThreads = threads;
  let result;
  try {
    result = addon.edofMultibandFuse(request);
  } catch (error) {
    throw new CliError(`the fusion failed: ${firstLine(error)}`);
  }
  return { width, height, rgba: result.data, frames: images.length, reference, radius: r,
    backend: result.backend, simd: result.simd, threads: result.threads,
    durationMs: result.durationMs, weightsMs };
}

// Reads the stack `files`, fuses it and writes the PNG `output`. Returns the fusion facts.
function fuseFiles(files, output, options = {}) {
  requireFusion();
  const out = new OutputFile(output);
  const images = loadStack(files);
  const fused = fuseImages(images, options);
  out.write(encodePng(fused.rgba, fused.width, fused.height));
  return { path: out.path, ...fused };
}

module.exports = { MIN_FRAMES, MAX_FRAMES, loadStack, identityField, fuseImages, fuseFiles };
