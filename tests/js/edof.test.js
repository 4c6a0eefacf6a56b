'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const os = require('node:os');
const { loadAddon } = require('./helpers');

const addon = loadAddon();
const fuse = addon.edofMultibandFuse;

// A valid request: n frames of width x height with a ramp per frame, identity fields, equal
// weights. Map sizes may differ from the image.
function makeRequest({ width = 8, height = 6, n = 3, mapWidth = width, mapHeight = height } = {}) {
  const frames = [];
  const fields = [];
  const weights = [];
  const cells = mapWidth * mapHeight;
  for (let k = 0; k < n; k++) {
    const rgba = new Uint8Array(width * height * 4);
    for (let p = 0; p < width * height; p++) {
      rgba[4 * p] = (p * 13 + k * 50) & 255;
      rgba[4 * p + 1] = 30 * k;
      rgba[4 * p + 2] = (p * 7) & 255;
      rgba[4 * p + 3] = 255;
    }
    frames.push({ rgba, sourcePixelsPerOutputPixel: 1 });
    const x = new Float32Array(cells);
    const y = new Float32Array(cells);
    for (let j = 0; j < mapHeight; j++) {
      for (let i = 0; i < mapWidth; i++) {
        x[j * mapWidth + i] = i;
        y[j * mapWidth + i] = j;
      }
    }
    fields.push({ mapWidth, mapHeight, x, y, confidence: new Float32Array(cells).fill(1), accepted: true });
    weights.push(new Float32Array(cells).fill(1));
  }
  return { width, height, referenceIndex: 0, frames, fields, weights };
}

function throwsMessage(request, message, ...extra) {
  assert.throws(() => fuse(request, ...extra), (error) => {
    assert.equal(error.constructor, Error);
    assert.equal(error.message, message);
    return true;
  });
}

function detach(typedArray) {
  structuredClone(typedArray.buffer, { transfer: [typedArray.buffer] });
  assert.equal(typedArray.length, 0);
}

test('edofMultibandFuse is registered after the external recording functions', () => {
  const keys = Object.keys(addon);
  const at = keys.indexOf('edofMultibandFuse');
  assert.ok(at > 0);
  assert.equal(keys[at - 1], 'externalRecordingStatus');
  assert.equal(typeof fuse, 'function');
});

test('the result object: keys in order, a fresh RGBA buffer and facts about the run', () => {
  const request = makeRequest({ width: 8, height: 6 });
  request.maxThreads = 3;
  const result = fuse(request);
  assert.deepEqual(Object.keys(result), ['data', 'backend', 'simd', 'threads', 'durationMs']);
  assert.ok(result.data instanceof Uint8Array);
  assert.equal(result.data.byteOffset, 0);
  assert.equal(result.data.buffer.byteLength, 8 * 6 * 4);
  assert.equal(result.backend, 'native-cpp');
  assert.ok(['avx2', 'sse2'].includes(result.simd));
  // A 6-row image starts no thread, but the budget is reported as chosen.
  assert.equal(result.threads, 3);
  assert.ok(Number.isFinite(result.durationMs) && result.durationMs >= 0);
  for (let p = 0; p < 48; p++) {
    assert.equal(result.data[4 * p + 3], 255);
    // Identity fields and equal weights: the mean of the three frames.
    const mean = (k) => request.frames.reduce((s, f) => s + f.rgba[4 * p + k], 0) / 3;
    assert.ok(Math.abs(result.data[4 * p + 1] - mean(1)) <= 0.5);
  }
  assert.notEqual(result.data.buffer, request.frames[0].rgba.buffer);
});

test('request-level checks run in their order with their messages', () => {
  const valid = () => makeRequest();
  for (const bad of [undefined, null, 5, 'request', true]) {
    throwsMessage(bad, 'edofMultibandFuse requires an input object');
  }
  assert.throws(() => fuse(), { message: 'edofMultibandFuse requires an input object' });

  const cases = [
    [{ width: '640' }, 'Native EDOF requires numeric width'],
    [{ width: undefined }, 'Native EDOF requires numeric width'],
    [{ width: NaN }, 'Native EDOF received invalid width'],
    [{ width: Infinity }, 'Native EDOF received invalid width'],
    [{ height: null }, 'Native EDOF requires numeric height'],
    // Both sizes are read before either is range-checked.
    [{ width: 0, height: 'x' }, 'Native EDOF requires numeric height'],
    [{ width: 0 }, 'Native EDOF dimensions are invalid'],
    [{ height: 16385 }, 'Native EDOF dimensions are invalid'],
    [{ width: -8 }, 'Native EDOF dimensions are invalid'],
    [{ width: 2 ** 32 + 8 }, 'Native EDOF dimensions are invalid'],
    [{ width: 0, referenceIndex: 'a' }, 'Native EDOF dimensions are invalid'],
    [{ referenceIndex: '0' }, 'Native EDOF requires numeric referenceIndex'],
    [{ referenceIndex: -Infinity }, 'Native EDOF received invalid referenceIndex'],
    [{ frames: {} }, 'Native EDOF frames, fields, and weights must be arrays'],
    [{ fields: undefined, referenceIndex: 99 }, 'Native EDOF frames, fields, and weights must be arrays'],
    [{ weights: new Float32Array(3) }, 'Native EDOF frames, fields, and weights must be arrays'],
    [{ referenceIndex: -1 }, 'Native EDOF reference index is invalid'],
    [{ referenceIndex: 3 }, 'Native EDOF reference index is invalid'],
    [{ referenceIndex: 2 ** 40 }, 'Native EDOF reference index is invalid'],
  ];
  for (const [change, message] of cases) {
    throwsMessage({ ...valid(), ...change }, message);
  }

  // "frames" is checked before "weights" is read.
  const early = valid();
  early.frames = 5;
  Object.defineProperty(early, 'weights', {
    get() {
      throw new Error('weights read too early');
    },
  });
  throwsMessage(early, 'Native EDOF frames, fields, and weights must be arrays');

  const r = valid();
  r.fields.pop();
  throwsMessage(r, 'Native EDOF stack lengths are invalid');
  for (const n of [2, 12]) {
    const s = makeRequest({ n });
    s.referenceIndex = 5;
    throwsMessage(s, 'Native EDOF stack lengths are invalid');
  }
  for (const n of [3, 11]) {
    assert.equal(fuse(makeRequest({ n })).data.length, 8 * 6 * 4);
  }
  // 2.9 is taken as 2.
  const a = makeRequest();
  a.referenceIndex = 2.9;
  a.weights.forEach((w) => w.fill(0));
  const b = makeRequest();
  b.referenceIndex = 2;
  b.weights.forEach((w) => w.fill(0));
  assert.deepEqual(fuse(a).data, fuse(b).data);
  assert.deepEqual(fuse(a).data.subarray(0, 16), b.frames[2].rgba.subarray(0, 16));
});

test('frame, field and weight checks run frame by frame in their order', () => {
  const cases = [
    [(r) => { r.frames[1] = null; }, 'Native EDOF frame or field is invalid'],
    [(r) => { r.fields[2] = 7; }, 'Native EDOF frame or field is invalid'],
    [(r) => { delete r.frames[0]; }, 'Native EDOF frame or field is invalid'],
    [(r) => { r.frames[0].rgba = new Uint8ClampedArray(8 * 6 * 4); }, 'Native EDOF frame RGBA data must be Uint8Array'],
    [(r) => { r.frames[0].rgba = Array.from(r.frames[0].rgba); }, 'Native EDOF frame RGBA data must be Uint8Array'],
    [(r) => { r.frames[0].rgba = new Uint8Array(8 * 6 * 4 - 1); }, 'Native EDOF frame RGBA length is invalid'],
    [(r) => { r.frames[1].rgba = new Uint8Array(new ArrayBuffer(8 * 6 * 4 + 8), 8, 8 * 6 * 3); }, 'Native EDOF frame RGBA length is invalid'],
    [(r) => { detach(r.frames[2].rgba); }, 'Native EDOF frame RGBA length is invalid'],
    [(r) => { delete r.frames[0].sourcePixelsPerOutputPixel; }, 'Native EDOF requires numeric sourcePixelsPerOutputPixel'],
    [(r) => { r.frames[0].sourcePixelsPerOutputPixel = '1'; }, 'Native EDOF requires numeric sourcePixelsPerOutputPixel'],
    [(r) => { r.frames[0].sourcePixelsPerOutputPixel = NaN; }, 'Native EDOF received invalid sourcePixelsPerOutputPixel'],
    [(r) => { r.frames[0].sourcePixelsPerOutputPixel = 0; }, 'Native EDOF physical scale must be positive'],
    [(r) => { r.frames[0].sourcePixelsPerOutputPixel = -2; }, 'Native EDOF physical scale must be positive'],
    [(r) => { r.fields[0].mapWidth = '8'; }, 'Native EDOF requires numeric mapWidth'],
    [(r) => { r.fields[0].mapHeight = NaN; }, 'Native EDOF received invalid mapHeight'],
    [(r) => { r.fields[0].mapWidth = 0; r.fields[0].mapHeight = 'x'; }, 'Native EDOF requires numeric mapHeight'],
    [(r) => { r.fields[0].mapHeight = 16385; }, 'Native EDOF dimensions are invalid'],
    [(r) => { r.fields[0].x = new Float64Array(48); }, 'Native EDOF field x must be Float32Array'],
    [(r) => { r.fields[0].y = new Float32Array(47); }, 'Native EDOF field y length is invalid'],
    [(r) => { delete r.fields[0].confidence; }, 'Native EDOF field confidence must be Float32Array'],
    [(r) => { detach(r.fields[1].confidence); }, 'Native EDOF field confidence length is invalid'],
    [(r) => { r.fields[0].mapWidth = 4; }, 'Native EDOF field x length is invalid'],
    [(r) => { r.weights[0] = new Float64Array(48); }, 'Native EDOF weights must be Float32Array values'],
    [(r) => { r.weights[0] = undefined; }, 'Native EDOF weights must be Float32Array values'],
    [(r) => { r.weights[1] = new Float32Array(49); }, 'Native EDOF weight length is invalid'],
    // Frame 0 is checked completely before frame 1.
    [(r) => { r.weights[0] = null; r.frames[1].rgba = null; }, 'Native EDOF weights must be Float32Array values'],
    [(r) => { r.fields[1].x = null; r.frames[0].sourcePixelsPerOutputPixel = 0; }, 'Native EDOF physical scale must be positive'],
    // x before y before confidence, all before the weight.
    [(r) => { r.fields[0].confidence = null; r.fields[0].y = null; r.weights[0] = null; }, 'Native EDOF field y must be Float32Array'],
    [(r) => { r.maxThreads = Infinity; }, 'Native EDOF maxThreads is invalid'],
    [(r) => { r.maxThreads = NaN; }, 'Native EDOF maxThreads is invalid'],
    [(r) => { r.maxThreads = NaN; r.weights[2] = null; }, 'Native EDOF weights must be Float32Array values'],
  ];
  for (const [change, message] of cases) {
    const request = makeRequest();
    change(request);
    throwsMessage(request, message);
  }
});

test('Buffers, differing map sizes and non-finite field values are accepted', () => {
  const request = makeRequest({ width: 16, height: 12 });
  request.frames[0].rgba = Buffer.from(request.frames[0].rgba);
  const small = makeRequest({ width: 16, height: 12, mapWidth: 5, mapHeight: 3 });
  request.fields[1] = small.fields[1];
  request.weights[1] = small.weights[1];
  request.fields[2].x[7] = NaN;
  request.fields[2].y[9] = -Infinity;
  request.weights[0][3] = Infinity;
  const result = fuse(request);
  assert.equal(result.data.length, 16 * 12 * 4);
});

test('accepted follows script truthiness', () => {
  const run = (accepted) => {
    const request = makeRequest();
    if (accepted === undefined) {
      delete request.fields[1].accepted;
    } else {
      request.fields[1].accepted = accepted;
    }
    return fuse(request).data;
  };
  const dropped = run(false);
  const kept = run(true);
  assert.notDeepEqual(dropped, kept);
  for (const value of [0, '', undefined, null, NaN]) {
    assert.deepEqual(run(value), dropped, String(value));
  }
  for (const value of [{}, [], 1, 'no', () => 0]) {
    assert.deepEqual(run(value), kept, String(value));
  }
});

test('the thread budget: default from the hardware, limited to 1 to 8', () => {
  const budget = (maxThreads) => {
    const request = makeRequest();
    if (maxThreads !== undefined) {
      request.maxThreads = maxThreads;
    }
    return fuse(request).threads;
  };
  const hardware = os.cpus().length;
  const fallback = hardware <= 2 ? 1 : Math.min(8, Math.floor((hardware + 1) / 2));
  assert.equal(budget(), fallback);
  assert.equal(budget('4'), fallback);
  assert.equal(budget(null), fallback);
  assert.equal(budget(0), 1);
  assert.equal(budget(-3), 1);
  assert.equal(budget(1.9), 1);
  assert.equal(budget(2.7), 2);
  assert.equal(budget(5), 5);
  assert.equal(budget(100), 8);
  assert.equal(budget(-1e300), 1);
  assert.equal(budget(1e300), 8);
});

test('every thread budget gives the same bytes', () => {
  const request = makeRequest({ width: 150, height: 97, n: 5, mapWidth: 70, mapHeight: 61 });
  for (let k = 0; k < 5; k++) {
    const f = request.fields[k];
    for (let c = 0; c < f.x.length; c++) {
      f.x[c] += Math.sin(c * 0.1 + k) * 0.7;
      f.y[c] += Math.cos(c * 0.07) * 0.7;
      request.weights[k][c] = (c * (k + 3)) % 17;
    }
    request.frames[k].sourcePixelsPerOutputPixel = 0.98 + 0.01 * k;
  }
  request.maxThreads = 1;
  const one = fuse(request).data;
  for (const maxThreads of [2, 3, 8]) {
    request.maxThreads = maxThreads;
    assert.deepEqual(fuse(request).data, one, `${maxThreads} threads`);
  }
});

test('script code run while the request is read cannot pull memory from under the fusion', () => {
  // A getter read after frame 0 was checked detaches its pixels.
  const request = makeRequest({ width: 64, height: 48 });
  Object.defineProperty(request, 'maxThreads', {
    get() {
      detach(request.frames[0].rgba);
      return 2;
    },
  });
  throwsMessage(request, 'Native EDOF frame RGBA length is invalid');

  const shrink = makeRequest();
  const weightBuffer = new ArrayBuffer(48 * 4, { maxByteLength: 96 * 4 });
  if (typeof weightBuffer.resize === 'function') {
    shrink.weights[0] = new Float32Array(weightBuffer);
    shrink.weights[0].fill(1);
    Object.defineProperty(shrink.fields[2], 'accepted', {
      get() {
        weightBuffer.resize(8);
        return true;
      },
    });
    throwsMessage(shrink, 'Native EDOF weight length is invalid');
  }

  // An exception thrown by a getter becomes the call's error.
  const throwing = makeRequest();
  Object.defineProperty(throwing.frames[1], 'rgba', {
    get() {
      throw new RangeError('no pixels today');
    },
  });
  throwsMessage(throwing, 'no pixels today');
});

// Seeded generator of malformed requests: every call must either fuse or fail with one of the
// fixed messages.
function mulberry32(seed) {
  return () => {
    seed = (seed + 0x6d2b79f5) | 0;
    let t = Math.imul(seed ^ (seed >>> 15), 1 | seed);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

const knownMessages = new Set([
  'edofMultibandFuse requires an input object',
  'Native EDOF dimensions are invalid',
  'Native EDOF frames, fields, and weights must be arrays',
  'Native EDOF stack lengths are invalid',
  'Native EDOF reference index is invalid',
  'Native EDOF frame or field is invalid',
  'Native EDOF frame RGBA data must be Uint8Array',
  'Native EDOF frame RGBA length is invalid',
  'Native EDOF physical scale must be positive',
  'Native EDOF weights must be Float32Array values',
  'Native EDOF weight length is invalid',
  'Native EDOF maxThreads is invalid',
]);
for (const key of ['width', 'height', 'referenceIndex', 'mapWidth', 'mapHeight', 'sourcePixelsPerOutputPixel']) {
  knownMessages.add(`Native EDOF requires numeric ${key}`);
  knownMessages.add(`Native EDOF received invalid ${key}`);
}
for (const key of ['x', 'y', 'confidence']) {
  knownMessages.add(`Native EDOF field ${key} must be Float32Array`);
  knownMessages.add(`Native EDOF field ${key} length is invalid`);
}

test('randomized malformed requests fail only with the fixed messages', () => {
  const random = mulberry32(20240607);
  const pick = (list) => list[Math.floor(random() * list.length)];
  const junk = () =>
    pick([
      undefined, null, 0, -1, 1, 2.5, -0, NaN, Infinity, -Infinity, 2 ** 31, 2 ** 32 + 3, -(2 ** 31) - 1,
      1e300, 16384, 16385, '', '3', 'abc', true, false, {}, [], [1, 2, 3], () => 1, Symbol('s'), 10n,
      new Uint8Array(0), new Uint8Array(8), new Uint8ClampedArray(192), new Float32Array(48),
      new Float32Array(47), new Float64Array(48), new Int32Array(48), new DataView(new ArrayBuffer(8)),
      new ArrayBuffer(192), Buffer.alloc(192), new Float32Array(48).fill(NaN),
      new Float32Array(48).fill(Infinity), new Float32Array(48).fill(-1e38),
    ]);
  const paths = [
    (r, v) => { r.width = v; }, (r, v) => { r.height = v; }, (r, v) => { r.referenceIndex = v; },
    (r, v) => { r.frames = v; }, (r, v) => { r.fields = v; }, (r, v) => { r.weights = v; },
    (r, v) => { r.maxThreads = v; },
    (r, v) => { r.frames[Math.floor(random() * 4)] = v; },
    (r, v) => { r.fields[Math.floor(random() * 4)] = v; },
    (r, v) => { r.weights[Math.floor(random() * 4)] = v; },
    (r, v) => { r.frames[Math.floor(random() * 3)].rgba = v; },
    (r, v) => { r.frames[Math.floor(random() * 3)].sourcePixelsPerOutputPixel = v; },
    (r, v) => { r.fields[Math.floor(random() * 3)][pick(['mapWidth', 'mapHeight', 'x', 'y', 'confidence', 'accepted'])] = v; },
    (r) => { detach(pick([r.frames[0].rgba, r.fields[1].x, r.weights[2]])); },
    (r) => { r.fields[0].confidence.fill(pick([0.019, 0.02, NaN, -Infinity])); },
    (r) => { r.fields[1].x[Math.floor(random() * 48)] = pick([NaN, Infinity, -1e30, 1e30, -5, 500]); },
    (r) => { r.weights[0].fill(pick([0, -1, 1e-30, NaN, Infinity, 3.4e38])); },
  ];
  let fused = 0;
  const cases = 600;
  for (let i = 0; i < cases; i++) {
    const request = makeRequest();
    const changes = 1 + Math.floor(random() * 3);
    for (let c = 0; c < changes; c++) {
      const path = pick(paths);
      try {
        path(request, junk());
      } catch {
        // The change itself could not be made (a replaced array); keep what there is.
      }
    }
    try {
      const result = fuse(request);
      assert.equal(result.data.length, result.data.buffer.byteLength);
      fused++;
    } catch (error) {
      assert.ok(error instanceof Error, `case ${i}: ${String(error)}`);
      assert.ok(knownMessages.has(error.message), `case ${i}: unexpected message "${error.message}"`);
    }
  }
  assert.ok(fused > 0 && fused < cases, `${fused} of ${cases} requests fused`);
});
