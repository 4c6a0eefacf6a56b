'use strict';
// Image files in and out: PNG through pngjs, JPEG input through jpeg-js. Pixels travel as packed
// 8-bit RGBA (or RGB for the camera's quality frame), rows top to bottom.
const fs = require('fs');
const { PNG } = require('pngjs');
const jpeg = require('jpeg-js');
const { CliError, firstLine } = require('./errors');
const { OutputFile } = require('./output');

function asBuffer(bytes) {
  return Buffer.isBuffer(bytes) ? bytes : Buffer.from(bytes.buffer, bytes.byteOffset, bytes.byteLength);
}

// PNG file bytes of a packed image with `channels` 4 (RGBA) or 3 (RGB) bytes per pixel.
function encodePng(pixels, width, height, channels = 4) {
  if (pixels.length !== width * height * channels) {
    throw new CliError(`image of ${width}x${height} has ${pixels.length} bytes, expected ${width * height * channels}`);
  }
  const rgb = channels === 3;
  return PNG.sync.write({ width, height, data: asBuffer(pixels) },
    { colorType: rgb ? 2 : 6, inputColorType: rgb ? 2 : 6, inputHasAlpha: !rgb });
}

// Writes a PNG through a temporary file; returns the final absolute path.
function writePng(file, pixels, width, height, channels = 4) {
  const out = new OutputFile(file);
  out.write(encodePng(pixels, width, height, channels));
  return out.path;
}

// Reads a PNG or JPEG file as { width, height, rgba }. Every failure is one CliError naming the file.
function readImage(file) {
  let bytes;
  try {
    bytes = fs.readFileSync(file);
  } catch (error) {
    if (error.code === 'ENOENT') throw new CliError(`${file}: no such file`);
    if (error.code === 'EISDIR') throw new CliError(`${file}: is a directory, not an image`);
    if (error.code === 'EACCES') throw new CliError(`${file}: permission denied`);
    throw new CliError(`${file}: cannot read (${error.code || firstLine(error)})`);
  }
  const isPng = bytes.length >= 8 && bytes.readUInt32BE(0) === 0x89504e47;
  const isJpeg = bytes.length >= 3 && bytes[0] === 0xff && bytes[1] === 0xd8 && bytes[2] === 0xff;
  try {
    if (isPng) {
      const png = PNG.sync.read(bytes);
      return { width: png.width, height: png.height, rgba: new Uint8Array(png.data.buffer, png.data.byteOffset, png.data.length) };
    }
    if (isJpeg) {
      const image = jpeg.decode(bytes, { useTArray: true, formatAsRGBA: true, maxMemoryUsageInMB: 1024 });
      return { width: image.width, height: image.height, rgba: image.data };
    }
  } catch (error) {
    throw new CliError(`${file}: not a readable ${isPng ? 'PNG' : 'JPEG'} image (${firstLine(error)})`);
  }
  throw new CliError(`${file}: not a PNG or JPEG image`);
}

module.exports = { encodePng, writePng, readImage };
