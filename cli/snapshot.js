'use strict';
// One frame of a camera to an image file (PNG, JPEG or TIFF by its name): the size-limited RGBA
// grab, or the preview's full-resolution quality frame.
const { CliError } = require('./errors');
const { requireFunctions } = require('./addon');
const { openCamera, sleep } = require('./camera');
const { encodeImage } = require('./images');
const { Preview, PREVIEW_FUNCTIONS } = require('./preview');

const GRAB_TIMEOUT_MS = 3000;

async function grabRgba(addon, camera, max) {
  const deadline = Date.now() + GRAB_TIMEOUT_MS;
  for (;;) {
    const frame = addon.cameraGrabFrameRgba(camera.index, max.width, max.height);
    if (frame.result === 0) {
      return { pixels: frame.data, channels: 4, width: frame.width, height: frame.height,
        sourceWidth: frame.sourceWidth, sourceHeight: frame.sourceHeight };
    }
    if (frame.result !== addon.RESULT_NO || Date.now() > deadline) {
      throw new CliError(`camera ${camera.index} gave no frame: result ${frame.result}`);
    }
    await sleep(10);
  }
}

// The quality frame is a packed RGB copy that the preview producer refreshes every 500 ms.
async function grabQuality(addon, camera, max) {
  const preview = new Preview(camera.index, { max });
  try {
    const deadline = Date.now() + GRAB_TIMEOUT_MS;
    for (;;) {
      const frame = addon.cameraPreviewGetLatestQualityFrame(camera.index, 0);
      if (frame.result === 0) {
        const bgra = frame.pixelFormat === 'bgra';
        const pixels = new Uint8Array(frame.data.buffer, frame.data.byteOffset, frame.data.length);
        if (bgra) {
          for (let i = 0; i < pixels.length; i += 4) {
            const b = pixels[i];
            pixels[i] = pixels[i + 2];
            pixels[i + 2] = b;
          }
        }
        const channels = bgra ? 4 : 3;
        const packed = frame.bytesPerRow === frame.width * channels ? pixels
          : repack(pixels, frame.width, frame.height, frame.bytesPerRow, channels);
        return { pixels: packed, channels, width: frame.width, height: frame.height,
          sourceWidth: frame.width, sourceHeight: frame.height };
      }
      if (Date.now() > deadline) {
        throw new CliError(`camera ${camera.index} gave no quality frame within ${GRAB_TIMEOUT_MS / 1000} s`);
      }
      await sleep(20);
    }
  } finally {
    preview.stop();
  }
}

function repack(pixels, width, height, stride, channels) {
  const row = width * channels;
  const out = new Uint8Array(row * height);
  for (let y = 0; y < height; y++) {
    out.set(pixels.subarray(y * stride, y * stride + row), y * row);
  }
  return out;
}

// Writes one frame of camera `index` to `out` (an OutputFile) in `format`. Returns what was
// written.
async function snapshot({ index, out, format = 'png', jpegQuality, size = null, max = { width: 960, height: 540 },
  qualityFrame = false }) {
  const addon = qualityFrame
    ? requireFunctions('the quality frame', [...PREVIEW_FUNCTIONS, 'cameraPreviewGetLatestQualityFrame'])
    : requireFunctions('frame grabbing', ['cameraGrabFrameRgba']);
  const camera = await openCamera(index, size);
  let frame;
  try {
    frame = qualityFrame ? await grabQuality(addon, camera, max) : await grabRgba(addon, camera, max);
  } finally {
    camera.close();
  }
  out.write(await encodeImage(frame.pixels, frame.width, frame.height, frame.channels, format, { quality: jpegQuality }));
  return { path: out.path, camera: camera.name, kind: qualityFrame ? 'quality frame' : 'RGBA frame', format,
    width: frame.width, height: frame.height, sourceWidth: frame.sourceWidth,
    sourceHeight: frame.sourceHeight };
}

module.exports = { snapshot };
