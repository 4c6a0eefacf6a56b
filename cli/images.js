'use strict';
// Image files in and out through sharp (libvips: libjpeg-turbo, libspng, libtiff). The format of
// an output file comes from its name; input files are recognised by their content. Pixels travel
// as packed 8-bit RGBA (or RGB for the camera's quality frame), rows top to bottom.
const fs = require('fs');
const path = require('path');
const { CliError, firstLine } = require('./errors');

// sharp (and libvips with it) is loaded by the commands that read or write images only.
let sharpModule = null;
function sharp(...args) {
  if (!sharpModule) {
    sharpModule = require('sharp');
    // Decoded images are used once; libvips' operation cache would only hold on to their memory.
    sharpModule.cache(false);
  }
  return sharpModule(...args);
}

const FORMATS = {
  png: { name: 'PNG', extensions: ['.png'] },
  jpeg: { name: 'JPEG', extensions: ['.jpg', '.jpeg'] },
  tiff: { name: 'TIFF', extensions: ['.tif', '.tiff'] },
};
const READABLE = new Set(Object.keys(FORMATS));
const KNOWN_EXTENSIONS = Object.values(FORMATS).flatMap((f) => f.extensions);

// The format named by a --format value: png, jpeg (or jpg), tiff (or tif).
function formatByName(text, option = '--format') {
  const name = String(text).toLowerCase();
  const format = { jpg: 'jpeg', tif: 'tiff' }[name] || name;
  if (!FORMATS[format]) {
    throw new CliError(`${option} must be png, jpeg or tiff, got ${JSON.stringify(String(text))}`);
  }
  return format;
}

// The image format to write `file` in: `explicit` (a --format value) when given, which must
// agree with a known extension; else the extension; "-" (standard output) is PNG by default.
function imageFormatFor(file, explicit) {
  const chosen = explicit === undefined ? null : formatByName(explicit);
  if (file === '-') return chosen || 'png';
  if (isDirectory(file)) throw new CliError(`cannot write ${file}: it is a directory`);
  const ext = path.extname(file).toLowerCase();
  const byName = Object.keys(FORMATS).find((f) => FORMATS[f].extensions.includes(ext)) || null;
  if (chosen && byName && chosen !== byName) {
    throw new CliError(`cannot write ${file}: its name says ${FORMATS[byName].name} but --format says ${FORMATS[chosen].name}`);
  }
  if (chosen) return chosen;
  if (!byName) {
    throw new CliError(`cannot write ${file}: ${ext ? `"${ext}" is not an image format this tool writes`
      : 'the name has no extension'} (use ${KNOWN_EXTENSIONS.join(', ')}, or --format)`);
  }
  return byName;
}

function isDirectory(file) {
  try {
    return fs.statSync(file).isDirectory();
  } catch {
    return false;
  }
}

function formatName(format) {
  return FORMATS[format].name;
}

// File bytes of a packed 8-bit image with `channels` 4 (RGBA) or 3 (RGB) bytes per pixel. The
// images of this tool are opaque, so the alpha channel is not written.
async function encodeImage(pixels, width, height, channels, format, { quality } = {}) {
  const expected = width * height * channels;
  if (pixels.length !== expected) {
    throw new CliError(`image of ${width}x${height} has ${pixels.length} bytes, expected ${expected}`);
  }
  let image = sharp(pixels, { raw: { width, height, channels } });
  if (channels === 4) image = image.removeAlpha();
  if (format === 'png') image = image.png({ compressionLevel: 6, adaptiveFiltering: false });
  else if (format === 'jpeg') image = image.jpeg({ quality: quality ?? 90, chromaSubsampling: '4:4:4' });
  else if (format === 'tiff') image = image.tiff({ compression: 'deflate', predictor: 'horizontal' });
  else throw new CliError(`unknown image format ${format}`);
  try {
    return await image.toBuffer();
  } catch (error) {
    throw new CliError(`could not encode the ${formatName(format)} image: ${firstLine(error)}`);
  }
}

function readFailure(file, error) {
  if (error.code === 'ENOENT') return new CliError(`${file}: no such file`);
  if (error.code === 'EISDIR') return new CliError(`${file}: is a directory, not an image`);
  if (error.code === 'EACCES') return new CliError(`${file}: permission denied`);
  return new CliError(`${file}: cannot read (${error.code || firstLine(error)})`);
}

// The header facts of an image file: { format, width, height, bitDepth }.
async function probeImage(file) {
  let stat;
  try {
    stat = fs.statSync(file);
    if (stat.isDirectory()) throw Object.assign(new Error('directory'), { code: 'EISDIR' });
    fs.accessSync(file, fs.constants.R_OK);
  } catch (error) {
    throw readFailure(file, error);
  }
  let meta;
  try {
    meta = await sharp(file).metadata();
  } catch {
    throw new CliError(`${file}: not a PNG, JPEG or TIFF image`);
  }
  if (!READABLE.has(meta.format)) {
    throw new CliError(`${file}: not a PNG, JPEG or TIFF image (it is ${meta.format})`);
  }
  const bitDepth = { uchar: 8, char: 8 }[meta.depth] ?? 16;
  return { format: meta.format, width: meta.width, height: meta.height, bitDepth };
}

// Reads a PNG, JPEG or TIFF file of 8 or 16 bits a channel (grey, RGB, with or without alpha)
// as 8-bit sRGB { width, height, rgba, bitDepth, format }. Every failure is one CliError naming
// the file.
async function readImage(file) {
  const info = await probeImage(file);
  try {
    const { data, info: raw } = await sharp(file, { failOn: 'error' })
      .toColourspace('srgb').ensureAlpha().raw().toBuffer({ resolveWithObject: true });
    return { ...info, width: raw.width, height: raw.height, rgba: data };
  } catch (error) {
    throw new CliError(`${file}: not a readable ${formatName(info.format)} image (${firstLine(error)})`);
  }
}

// Writes a packed 8-bit image to `file` in the format its name gives, through a temporary file;
// returns the final absolute path. An existing file is replaced only with `overwrite`.
async function writeImage(file, pixels, width, height, channels = 4, { overwrite = false, quality } = {}) {
  const { openOutput } = require('./output');
  const format = imageFormatFor(file);
  const out = await openOutput(file, { overwrite });
  out.write(await encodeImage(pixels, width, height, channels, format, { quality }));
  return out.path;
}

module.exports = { FORMATS, formatByName, imageFormatFor, formatName, encodeImage, probeImage, readImage,
  writeImage };
