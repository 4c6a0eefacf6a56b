'use strict';
// Local sharpness of an image: the energy of the luminance Laplacian, averaged over a square
// window. In focus, fine detail gives large second derivatives; defocus blur flattens them, so
// across a focus stack the frame in focus at a pixel has the largest energy there.
//
// Everything up to the final division is integer arithmetic (8-bit luminance, its Laplacian, sums
// of squares below 2^53 held in doubles), so a row's weight is the same whichever band of rows it
// is computed in: a stack fused in strips gets exactly the weights of the whole image.

// Integer luminance (Rec. 601 weights in 1/256) of one RGBA row into `out`.
function lumaRow(rgba, width, y, out) {
  let p = y * width * 4;
  for (let x = 0; x < width; x++, p += 4) {
    out[x] = (77 * rgba[p] + 150 * rgba[p + 1] + 29 * rgba[p + 2] + 128) >> 8;
  }
}

// Window radius that suits an image size: about a 160th of its shorter side, at least 2 pixels.
function defaultRadius(width, height) {
  return Math.max(2, Math.round(Math.min(width, height) / 160));
}

// Squared Laplacian of the middle one of three luminance rows, edges clamped.
function energyRow(up, mid, down, width, energy) {
  const last = width - 1;
  for (let x = 0; x < width; x++) {
    const lap = 4 * mid[x] - mid[x > 0 ? x - 1 : 0] - mid[x < last ? x + 1 : last] - up[x] - down[x];
    energy[x] = lap * lap;
  }
}

// Window sums of one energy row over columns [x - r, x + r] (clipped) into `row`, also added to
// the vertical sums in `columns`.
function horizontalSums(energy, width, r, row, columns) {
  let sum = 0;
  for (let x = 0; x < r && x < width; x++) sum += energy[x];
  for (let x = 0; x < width; x++) {
    if (x + r < width) sum += energy[x + r];
    if (x > r) sum -= energy[x - r - 1];
    row[x] = sum;
    columns[x] += sum;
  }
}

// One output row: the window means plus the floor, taking the energy row `old` (or none) out of
// the vertical sums first.
function outputRow(columns, old, inverseRows, inverseWidth, width, out, o) {
  if (old !== null) {
    for (let x = 0; x < width; x++) {
      const c = columns[x] - old[x];
      columns[x] = c;
      out[o + x] = c * inverseRows * inverseWidth[x] + 1e-3;
    }
  } else {
    for (let x = 0; x < width; x++) out[o + x] = columns[x] * inverseRows * inverseWidth[x] + 1e-3;
  }
}

// Sharpness weights (all positive) of rows [rowBegin, rowEnd) of a width x height RGBA image,
// written to `out` (at least width x (rowEnd - rowBegin) floats, row-major). Windows are clipped
// at the image's borders, never at the band's. The small floor keeps flat areas, where no frame
// has detail, an equal share for every frame.
function sharpnessRows(rgba, width, height, radius, rowBegin, rowEnd, out) {
  const r = radius;
  // Luminance rows, clamped at the image's edges, in a ring of three.
  const luma = [new Int32Array(width), new Int32Array(width), new Int32Array(width)];
  const lumaOf = [-1, -1, -1];
  const lumaAt = (y) => {
    const c = Math.min(height - 1, Math.max(0, y));
    const slot = c % 3;
    if (lumaOf[slot] !== c) {
      lumaRow(rgba, width, c, luma[slot]);
      lumaOf[slot] = c;
    }
    return luma[slot];
  };
  // Horizontal window sums of the energy rows that the band's windows reach, in a ring of
  // 2r + 2 rows; `columns` holds the vertical sum of the rows [dropped, next).
  const ringRows = 2 * r + 2;
  const ring = [];
  for (let i = 0; i < ringRows; i++) ring.push(new Float64Array(width));
  const columns = new Float64Array(width);
  const energy = new Float64Array(width);
  const inverseWidth = new Float64Array(width);
  for (let x = 0; x < width; x++) inverseWidth[x] = 1 / (Math.min(width, x + r + 1) - Math.max(0, x - r));
  let next = Math.max(0, rowBegin - r);
  let dropped = next;
  for (let y = rowBegin; y < rowEnd; y++) {
    const y0 = Math.max(0, y - r);
    const y1 = Math.min(height, y + r + 1);
    for (; next < y1; next++) {
      energyRow(lumaAt(next - 1), lumaAt(next), lumaAt(next + 1), width, energy);
      horizontalSums(energy, width, r, ring[next % ringRows], columns);
    }
    // The window moves down one row at a time: at most one row leaves it.
    const old = dropped < y0 ? ring[dropped++ % ringRows] : null;
    outputRow(columns, old, 1 / (y1 - y0), inverseWidth, width, out, (y - rowBegin) * width);
  }
  return out;
}

// Sharpness weight map (width x height floats) of a whole RGBA image.
function sharpnessMap(rgba, width, height, radius = defaultRadius(width, height)) {
  return sharpnessRows(rgba, width, height, radius, 0, height, new Float32Array(width * height));
}

// Mean Laplacian energy of a whole image: one figure of how much fine detail it holds.
function meanSharpness(rgba, width, height) {
  const map = sharpnessMap(rgba, width, height, 0);
  let sum = 0;
  for (const v of map) sum += v;
  return sum / map.length;
}

module.exports = { defaultRadius, sharpnessRows, sharpnessMap, meanSharpness };
