'use strict';
// Local sharpness of an image: the energy of the luminance Laplacian, averaged over a square
// window. In focus, fine detail gives large second derivatives; defocus blur flattens them, so
// across a focus stack the frame in focus at a pixel has the largest energy there.

// Box average of `src` (width x height floats) over (2r+1)^2 windows clipped at the borders,
// through a summed-area table so the cost does not depend on r.
function boxAverage(src, width, height, r) {
  const stride = width + 1;
  const table = new Float64Array(stride * (height + 1));
  for (let y = 0; y < height; y++) {
    let rowSum = 0;
    for (let x = 0; x < width; x++) {
      rowSum += src[y * width + x];
      table[(y + 1) * stride + x + 1] = table[y * stride + x + 1] + rowSum;
    }
  }
  const out = new Float32Array(width * height);
  for (let y = 0; y < height; y++) {
    const y0 = Math.max(0, y - r);
    const y1 = Math.min(height, y + r + 1);
    for (let x = 0; x < width; x++) {
      const x0 = Math.max(0, x - r);
      const x1 = Math.min(width, x + r + 1);
      const sum = table[y1 * stride + x1] - table[y0 * stride + x1] - table[y1 * stride + x0] +
        table[y0 * stride + x0];
      out[y * width + x] = sum / ((x1 - x0) * (y1 - y0));
    }
  }
  return out;
}

function luminance(rgba, width, height) {
  const luma = new Float32Array(width * height);
  for (let i = 0, p = 0; i < luma.length; i++, p += 4) {
    luma[i] = 0.299 * rgba[p] + 0.587 * rgba[p + 1] + 0.114 * rgba[p + 2];
  }
  return luma;
}

// Window radius that suits an image size: about a 160th of its shorter side, at least 2 pixels.
function defaultRadius(width, height) {
  return Math.max(2, Math.round(Math.min(width, height) / 160));
}

// Sharpness weight map (width x height floats, all positive) of an RGBA image. The small floor
// keeps flat areas, where no frame has detail, an equal share for every frame.
function sharpnessMap(rgba, width, height, radius = defaultRadius(width, height)) {
  const luma = luminance(rgba, width, height);
  const energy = new Float32Array(width * height);
  for (let y = 0; y < height; y++) {
    const up = (y > 0 ? y - 1 : y) * width;
    const down = (y < height - 1 ? y + 1 : y) * width;
    const row = y * width;
    for (let x = 0; x < width; x++) {
      const left = x > 0 ? x - 1 : x;
      const right = x < width - 1 ? x + 1 : x;
      const lap = 4 * luma[row + x] - luma[row + left] - luma[row + right] - luma[up + x] - luma[down + x];
      energy[row + x] = lap * lap;
    }
  }
  const map = boxAverage(energy, width, height, radius);
  for (let i = 0; i < map.length; i++) {
    map[i] += 1e-3;
  }
  return map;
}

// Mean Laplacian energy of a whole image: one figure of how much fine detail it holds.
function meanSharpness(rgba, width, height) {
  const map = sharpnessMap(rgba, width, height, 0);
  let sum = 0;
  for (const v of map) sum += v;
  return sum / map.length;
}

module.exports = { boxAverage, luminance, defaultRadius, sharpnessMap, meanSharpness };
