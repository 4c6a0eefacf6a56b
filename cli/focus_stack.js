'use strict';
// A synthetic focus stack for the demo and the tests: a detailed scene, photographed `count`
// times with the plane of focus moving from the top band of the image to the bottom one. Frame
// k is sharp in band k and increasingly blurred in the bands further away, like a microscope
// stepping its focus through a tilted sample.

// The sharp scene: a fine checkerboard with thin diagonal lines over colour gradients.
function sharpScene(width, height) {
  const rgba = new Uint8Array(width * height * 4);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      const i = (y * width + x) * 4;
      const checker = ((x >> 2) + (y >> 2)) & 1;
      const line = (x + y) % 11 === 0 || (x - y + 4096) % 13 === 0;
      const base = line ? 20 : checker ? 200 : 70;
      rgba[i] = Math.min(255, base + Math.round((x * 50) / width));
      rgba[i + 1] = Math.min(255, base + Math.round((y * 50) / height));
      rgba[i + 2] = Math.min(255, base + 25);
      rgba[i + 3] = 255;
    }
  }
  return rgba;
}

// Separable box blur of radius r with clamped edges.
function boxBlur(rgba, width, height, r) {
  if (r === 0) return rgba.slice();
  const pass = (src, horizontal) => {
    const dst = new Uint8Array(src.length);
    const n = 2 * r + 1;
    const length = horizontal ? width : height;
    const lines = horizontal ? height : width;
    for (let line = 0; line < lines; line++) {
      const at = (k) => {
        const c = Math.min(length - 1, Math.max(0, k));
        return horizontal ? (line * width + c) * 4 : (c * width + line) * 4;
      };
      for (let ch = 0; ch < 3; ch++) {
        let sum = 0;
        for (let k = -r; k <= r; k++) sum += src[at(k) + ch];
        for (let k = 0; k < length; k++) {
          dst[at(k) + ch] = Math.round(sum / n);
          sum += src[at(k + r + 1) + ch] - src[at(k - r) + ch];
        }
      }
      for (let k = 0; k < length; k++) dst[at(k) + 3] = 255;
    }
    return dst;
  };
  return pass(pass(rgba, true), false);
}

// { scene, frames }: the sharp scene and `count` RGBA frames of width x height.
function syntheticFocusStack(width, height, count = 5, blurPerBand = 2) {
  const scene = sharpScene(width, height);
  const blurred = new Map();
  const blurredBy = (r) => {
    if (!blurred.has(r)) blurred.set(r, boxBlur(scene, width, height, r));
    return blurred.get(r);
  };
  const rowBytes = width * 4;
  const frames = [];
  for (let k = 0; k < count; k++) {
    const frame = new Uint8Array(scene.length);
    for (let y = 0; y < height; y++) {
      const band = Math.floor((y * count) / height);
      const source = blurredBy(blurPerBand * Math.abs(band - k));
      frame.set(source.subarray(y * rowBytes, (y + 1) * rowBytes), y * rowBytes);
    }
    frames.push(frame);
  }
  return { scene, frames };
}

module.exports = { sharpScene, boxBlur, syntheticFocusStack };
