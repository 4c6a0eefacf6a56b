'use strict';
// The Zentri functions against stand-ins for libzentri (tests/fakes/zentri): missing functions,
// a failing Init, a hanging call, odd device names, any argument of any type, and the end of the
// process while jobs are queued and running. Each case runs in its own process.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { loadAddon, tempDir } = require('./helpers');
const { ZENTRI_FUNCTIONS, runZentri, zentri } = require('./zentri_helpers');

const LOAD_FAILED = 'Could not load Zentri native library';

test('the Zentri functions are registered in their order', () => {
  const keys = Object.keys(loadAddon());
  const ours = keys.filter((key) => ZENTRI_FUNCTIONS.includes(key));
  assert.deepEqual(ours, ZENTRI_FUNCTIONS);
  for (const name of ZENTRI_FUNCTIONS) {
    assert.equal(typeof loadAddon()[name], 'function', name);
  }
});

test('a library without the required GetPixelSizeMicrons is not loaded', async () => {
  const out = await zentri(`async (z, lib) => {
    const load = z.loadZentri(lib);
    return { load, error: z.getLastError(), zentriError: z.zentriLastError(),
      caps: z.zentriCapabilities(), init: z.zentriInit(), initAsync: await z.zentriInitAsync(),
      count: z.zentriDeviceCount(), devices: await z.zentriDevicesAsync(), led: z.zentriGetLedState(),
      select: z.zentriSelectDevice(0), focus: await z.zentriFocusNearAsync(),
      telemetry: z.zentriGetTelemetry(1920, 1080).status, dispose: z.zentriDispose() };
  }`, { library: 'fake_zentri_no_pixel.so' });
  assert.deepEqual(out, {
    load: { ok: false, path: '' }, error: LOAD_FAILED, zentriError: LOAD_FAILED,
    caps: { apiVersion: 65536, focus: false, led: false, pixelSizeInfo: false, lensGroupInfo: false },
    init: false, initAsync: false, count: 0, devices: [], led: -1, select: false, focus: false,
    telemetry: -1, dispose: true,
  });
});

test('a library without the optional TriggerAutoFocus loads; auto focus then fails', async () => {
  const out = await zentri(`async (z, lib) => {
    const load = z.loadZentri(lib);
    await z.zentriSelectDeviceAsync(0);
    return { load: load.ok, error: z.getLastError(), caps: z.zentriCapabilities(),
      auto: await z.zentriTriggerAutoFocusAsync(), near: await z.zentriFocusNearAsync(),
      far: await z.zentriFocusFarAsync() };
  }`, { library: 'fake_zentri_no_autofocus.so' });
  assert.deepEqual(out, {
    load: true, error: '',
    caps: { apiVersion: 0x30001, focus: false, led: true, pixelSizeInfo: false, lensGroupInfo: true },
    auto: false, near: true, far: true,
  });
});

test('a library with the required functions only', async () => {
  const out = await zentri(`async (z, lib) => {
    z.loadZentri(lib);
    const select = z.zentriSelectDevice(1);
    await new Promise((resolve) => setTimeout(resolve, 50));
    return { select, caps: z.zentriCapabilities(), version: z.zentriVersionInfo(),
      protocol: z.zentriProtocolVersionInfo(), led: z.zentriGetLedState(),
      setLed: await z.zentriSetLedStateAsync(true), setFocus: await z.zentriSetFocusPositionAsync(10),
      telemetry: (z.zentriGetTelemetry(640, 480), z.zentriGetSelectedDevice(), z.zentriGetTelemetry()),
      lastError: z.zentriLastError() };
  }`, { library: 'fake_zentri_required_only.so' });
  assert.deepEqual(out, {
    select: true,
    caps: { apiVersion: 65536, focus: false, led: false, pixelSizeInfo: false, lensGroupInfo: false },
    version: null, protocol: null, led: -1, setLed: false, setFocus: false,
    // Focus from the status word; without lens data the pixel size is not read.
    telemetry: {
      status: (10 << 16) | 100, focusPosition: 100,
      pixelInfo: { ok: false, fromFocusCache: false, micronsPerPixel: -1, width: 0, height: 0 },
      lensInfo: { ok: false, lensDriver: 0, lensGroup: 0 },
    },
    lastError: '',
  });
});

test('Init failing: every device function gives its failure value and the message', async () => {
  const out = await zentri(`async (z, lib) => {
    const load = z.loadZentri(lib).ok;
    const init = z.zentriInit();
    const message = [z.zentriLastError(), z.getLastError()];
    return { load, init, message, initAsync: await z.zentriInitAsync(true),
      count: z.zentriDeviceCount(), id: z.zentriDeviceUniqueId(0), devices: await z.zentriDevicesAsync(),
      select: await z.zentriSelectDeviceAsync(0), led: z.zentriGetLedState(),
      setLed: await z.zentriSetLedStateAsync(1), selected: z.zentriGetSelectedDevice() };
  }`, { library: 'fake_zentri.so', env: { FAKE_ZENTRI_INIT: '0' } });
  const failed = 'Zentri SDK initialization failed';
  assert.deepEqual(out, {
    load: true, init: false, message: [failed, failed], initAsync: false, count: 0, id: '',
    devices: [], select: false, led: -1, setLed: false, selected: -1,
  });
});

test('device names are converted from wide strings; a forced init destroys first', async (t) => {
  const log = path.join(tempDir(t), 'calls.log');
  const out = await zentri(`async (z, lib) => {
    z.loadZentri(lib);
    const devices = await z.zentriDevicesAsync();
    const inits = [z.zentriInit(), z.zentriInit('yes'), z.zentriInit(1), await z.zentriInitAsync()];
    require('fs').appendFileSync(${JSON.stringify(log)}, '--\\n');
    const forced = [z.zentriInit(true), await z.zentriInitAsync(true)];
    return { devices, names: [z.zentriDeviceUniqueId(1), z.zentriDeviceFriendlyName(2), z.zentriDeviceUniqueId(2),
      z.zentriDeviceUniqueId(), z.zentriDeviceFriendlyName(-5)], inits, forced,
      lastError: z.zentriLastError() };
  }`, { library: 'fake_zentri.so', env: { FAKE_ZENTRI_DEVICES: '3', FAKE_ZENTRI_LOG: log } });
  assert.deepEqual(out.devices, [
    { index: 0, uniqueId: 'fake#\u00b5\u{1F52C}', name: 'Fake Zentri A' },
    { index: 1, uniqueId: 'fake#\uFFFD', name: 'Fake Zentri B' },
    { index: 2, uniqueId: '', name: 'Fake Zentri B' },
  ]);
  assert.deepEqual(out.names, ['fake#\uFFFD', 'Fake Zentri B', '', '?', '?']);
  assert.deepEqual(out.inits, [true, true, true, true]);
  assert.deepEqual(out.forced, [true, true]);
  // No device operation failed, so the library's own transfer text shows through.
  assert.equal(out.lastError, 'fake transfer failed');
  const calls = fs.readFileSync(log, 'utf8').split('\n').filter((c) => c === 'Init' || c === 'Destroy' || c === '--');
  assert.deepEqual(calls, ['Init', '--', 'Destroy', 'Init', 'Destroy', 'Init']);
});

test('a hanging call costs the time-out; later calls work once it returns', { timeout: 60000 }, async () => {
  const out = await zentri(`async (z, lib) => {
    z.loadZentri(lib);
    z.zentriInit();
    let t = Date.now();
    const count = z.zentriDeviceCount();
    const hung = { count, ms: Date.now() - t, error: z.getLastError() };
    // Queued behind the hung call: it runs once that returns (about 3 s later).
    t = Date.now();
    const behind = { selected: z.zentriGetSelectedDevice(), ms: Date.now() - t };
    return { hung, behind, count: z.zentriDeviceCount(), select: await z.zentriSelectDeviceAsync(1) };
  }`, { library: 'fake_zentri.so', env: { FAKE_ZENTRI_HANG: 'GetDevicesCount:8000' } });
  assert.equal(out.hung.count, 0);
  assert.equal(out.hung.error, 'Zentri SDK call timed out');
  assert.ok(out.hung.ms >= 4990 && out.hung.ms < 6500, `waited ${out.hung.ms} ms`);
  assert.equal(out.behind.selected, -1);
  assert.ok(out.behind.ms > 2000 && out.behind.ms < 4800, `the next call waited ${out.behind.ms} ms`);
  assert.equal(out.count, 2);
  assert.equal(out.select, true);
});

test('the end of the process drains queued and running jobs', async (t) => {
  const log = path.join(tempDir(t), 'calls.log');
  const started = Date.now();
  const result = await runZentri(`async (z, lib) => {
    z.loadZentri(lib);
    z.zentriInit();
    z.zentriSelectDevice(0);
    // The device list hangs for a second on the executor; the others queue behind it.
    z.zentriDevicesAsync();
    z.zentriSetLedStateAsync(false);
    z.zentriSetFocusPositionAsync(30);
    z.zentriGetTelemetry();
    z.zentriDisposeAsync();
    await new Promise((resolve) => setTimeout(resolve, 200));
    process.exit(0);
  }`, { library: 'fake_zentri.so', env: { FAKE_ZENTRI_HANG: 'GetDevicesCount:1000', FAKE_ZENTRI_LOG: log } });
  assert.equal(result.code, 0, result.stderr);
  assert.equal(result.signal, null);
  assert.ok(Date.now() - started < 10000);
  const calls = fs.readFileSync(log, 'utf8').split('\n');
  for (const name of ['SetLedState', 'SetFocusPosition', 'Destroy']) {
    assert.ok(calls.includes(name), `${name} ran before the process ended: ${calls.join(' ')}`);
  }
  assert.equal(calls.filter((c) => c === 'Destroy').length, 1);
});

test('any argument of any type gives the specified value, never a crash', async () => {
  const out = await zentri(`async (z, lib) => {
    const odd = [undefined, null, true, -1, 2 ** 31, -(2 ** 53), NaN, Infinity, 1.5, 'x', 'x'.repeat(100000),
      Symbol('s'), 10n, {}, [], () => 1, new Uint8Array(4)];
    const names = ${JSON.stringify(ZENTRI_FUNCTIONS)};
    const run = async () => {
      const types = {};
      for (const name of names) {
        const seen = new Set();
        for (const a of odd) {
          for (const args of [[a], [a, a], [1920, a], [a, 1080]]) {
            if (name === 'loadZentri' && typeof args[0] === 'string') continue;
            let value = z[name](...args);
            if (value instanceof Promise) value = await value;
            seen.add(value === null ? 'null' : Array.isArray(value) ? 'array' : typeof value);
          }
        }
        types[name] = [...seen].sort().join('|');
      }
      return types;
    };
    const unloaded = await run();
    z.loadZentri(lib);
    const loaded = await run();
    return { unloaded, loaded, selectedAfter: z.zentriGetSelectedDevice() };
  }`, { library: 'fake_zentri.so' });
  const expected = {
    loadZentri: 'object', zentriInit: 'boolean', zentriLastError: 'string', zentriInitAsync: 'boolean',
    zentriDeviceCount: 'number', zentriDevicesAsync: 'array', zentriDeviceUniqueId: 'string',
    zentriDeviceFriendlyName: 'string', zentriSelectDevice: 'boolean', zentriSelectDeviceAsync: 'boolean',
    zentriGetSelectedDevice: 'number', zentriGetTelemetry: 'object', zentriGetScopeStatus: 'number',
    zentriGetPixelSizeMicrons: 'number', zentriGetPixelSizeInfo: 'object', zentriGetLensGroupInfo: 'object',
    zentriCapabilities: 'object', zentriGetFocusPosition: 'number', zentriGetLedState: 'number',
    zentriTriggerAutoFocusAsync: 'boolean', zentriSetFocusPositionAsync: 'boolean',
    zentriFocusNearAsync: 'boolean', zentriFocusFarAsync: 'boolean', zentriSetLedStateAsync: 'boolean',
    zentriIsCapturePressed: 'boolean', zentriVersionInfo: 'null|object', zentriProtocolVersionInfo: 'null|object',
    zentriDispose: 'boolean', zentriDisposeAsync: 'boolean',
  };
  assert.deepEqual(out.unloaded, { ...expected, zentriVersionInfo: 'null', zentriProtocolVersionInfo: 'null' });
  // Whether the records are set depends on which odd index happened to select a device.
  assert.match(out.loaded.zentriVersionInfo, /^(null\|object|object|null)$/);
  assert.deepEqual(out.loaded, { ...expected, zentriVersionInfo: out.loaded.zentriVersionInfo,
    zentriProtocolVersionInfo: out.loaded.zentriVersionInfo });
  assert.equal(out.selectedAfter, -1);
});
