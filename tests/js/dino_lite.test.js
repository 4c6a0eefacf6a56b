'use strict';
// The Dino-Lite functions against the libdinolite simulator. The binding loads once per process
// and the simulator reads its scenario from the environment, so every case runs in a child
// process of its own; the suites run their cases concurrently, which keeps the slow ones (the
// 10 s selection time-out, cache expiry) from adding up.
const { describe, test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFile } = require('node:child_process');
const { buildPath, simulatorPath, rootDir, loadAddon } = require('./helpers');

const SIMULATOR = simulatorPath;
const MINIMAL = buildPath(path.join('fake_dinolite_minimal', 'libdinolite.so'));
const NO_AMR_DIR = buildPath('fake_dinolite_no_amr');

const FUNCTIONS = [
  'loadDinoLite', 'dinoLiteInit', 'dinoLiteLastError', 'dinoLiteSelectBackendForProductId',
  'dinoLiteInitAsync', 'dinoLiteDeviceCount', 'dinoLiteDevicesAsync', 'dinoLiteDeviceId',
  'dinoLiteDeviceName', 'dinoLiteSelectDevice', 'dinoLiteSelectDeviceAsync',
  'dinoLiteGetSelectedDevice', 'dinoLiteSupportsAmr', 'dinoLiteGetAmr', 'dinoLiteGetFovx',
  'dinoLiteEnableMicrotouch', 'dinoLiteEnableMicrotouchAsync', 'dinoLiteMicrotouchPressed',
  'dinoLiteToggleLed', 'dinoLiteToggleLedAsync', 'dinoLiteDebugState', 'dinoLiteDispose',
  'dinoLiteDisposeAsync',
];

const scenarioDir = fs.mkdtempSync(path.join(os.tmpdir(), 'zentri-dinolite-'));
process.on('exit', () => fs.rmSync(scenarioDir, { recursive: true, force: true }));
let scenarioCount = 0;

function writeScenario(scenario) {
  const file = path.join(scenarioDir, `scenario-${++scenarioCount}.json`);
  fs.writeFileSync(file, typeof scenario === 'string' ? scenario : JSON.stringify(scenario));
  return file;
}

// Runs body, the text of an async function of (z, lib, helpers), in a fresh node with the addon,
// the simulator's path and the scenario; resolves with what it returns, how long the child ran,
// its standard error and its exit code.
function inChild({ scenario, env = {}, lib = SIMULATOR, body }) {
  const scenarioEnv = {};
  if (scenario !== undefined) {
    scenarioEnv.DINOLITE_SIMULATOR_SCENARIO =
      typeof scenario === 'string' && !scenario.trim().startsWith('{') ? scenario : writeScenario(scenario);
  }
  const script = `
    const z = require(${JSON.stringify(rootDir)});
    const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
    const timed = (fn) => { const start = Date.now(); const value = fn(); return [value, Date.now() - start]; };
    // Polls a cached reading until it is not null (the posted read has landed).
    const settle = async (fn) => { for (let i = 0; i < 200; i++) { const v = fn(); if (v !== null) return v; await sleep(10); } return null; };
    (${body})(z, ${JSON.stringify(lib)}, { sleep, timed, settle })
      .then((out) => process.stdout.write(JSON.stringify(out === undefined ? null : out)));`;
  const started = Date.now();
  return new Promise((resolve, reject) => {
    const child = execFile(process.execPath, ['-e', script], {
      encoding: 'utf8',
      env: { ...process.env, DINOLITE_SIMULATOR_SCENARIO: '', ...scenarioEnv, ...env },
      timeout: 60000,
    }, (error, stdout, stderr) => {
      const elapsed = Date.now() - started;
      if (error && error.code === undefined) {
        reject(error);
        return;
      }
      let out;
      try {
        out = JSON.parse(stdout);
      } catch (parseError) {
        reject(new Error(`child printed ${JSON.stringify(stdout)}; stderr: ${stderr}`));
        return;
      }
      resolve({ out, elapsed, stderr, code: child.exitCode });
    });
  });
}

async function run(options) {
  const { out, stderr, code } = await inChild(options);
  assert.equal(code, 0, stderr);
  return out;
}

// A device of the simulator; fields as in dinolite/README.md.
function device(id, fields = {}) {
  return { id: `ID-${id}`, name: `Device ${id}`, ...fields };
}

describe('Dino-Lite before and at loading', { concurrency: true }, () => {
  test('the functions are registered together, in their order', () => {
    const keys = Object.keys(loadAddon()).filter((key) => FUNCTIONS.includes(key));
    assert.deepEqual(keys, FUNCTIONS);
    for (const key of FUNCTIONS) assert.equal(typeof loadAddon()[key], 'function');
  });

  test('before loading: the failure values, the debug defaults and the report', async () => {
    const out = await run({
      body: `async (z) => {
        const state = z.dinoLiteDebugState();
        const report = z.dinoLiteSelectBackendForProductId(0x1234, '/x');
        return {
          state, stateKeys: Object.keys(state), report, reportKeys: Object.keys(report),
          init: z.dinoLiteInit(true), count: z.dinoLiteDeviceCount(), id: z.dinoLiteDeviceId(0),
          name: z.dinoLiteDeviceName(0), select: z.dinoLiteSelectDevice(0),
          selectError: z.dinoLiteLastError(), selected: z.dinoLiteGetSelectedDevice(),
          amrSupport: z.dinoLiteSupportsAmr(), amr: z.dinoLiteGetAmr(0), fov: z.dinoLiteGetFovx(0, 50),
          touch: z.dinoLiteEnableMicrotouch(true), touchError: z.dinoLiteLastError(),
          pressed: z.dinoLiteMicrotouchPressed(), led: z.dinoLiteToggleLed(),
          ledError: z.dinoLiteLastError(), devices: await z.dinoLiteDevicesAsync(),
          initAsync: await z.dinoLiteInitAsync(), ledAsync: await z.dinoLiteToggleLedAsync(),
          dispose: z.dinoLiteDispose(), disposeAsync: await z.dinoLiteDisposeAsync(),
        };
      }`,
    });
    assert.deepEqual(out.state, {
      loaded: false, backend: '', path: '', selectedDeviceIndex: -1, ledState: 0,
      controllableLedsCount: 0, initialized: false, supportsAmr: false, supportsMicrotouch: false,
      supportsLedControl: false, amrRead: false, amrRaw: -1, amrAccepted: false, amrUpdates: 0,
      ledModes: [], cachedAmr: null, cachedAmrAgeMs: null, error: '',
    });
    assert.deepEqual(out.stateKeys, Object.keys(out.state));
    assert.deepEqual(out.report, {
      ok: false, supportsAmr: false, dnxLoadAttempted: false, backend: 'none', path: '',
      reason: 'libdinolite is not loaded',
    });
    assert.deepEqual(out.reportKeys, ['ok', 'supportsAmr', 'dnxLoadAttempted', 'backend', 'path', 'reason']);
    assert.equal(out.init, false);
    assert.equal(out.count, 0);
    assert.equal(out.id, '');
    assert.equal(out.name, '');
    assert.equal(out.select, false);
    assert.equal(out.selectError, 'Dino-Lite SDK device selection received an invalid device index');
    assert.equal(out.selected, -1);
    assert.equal(out.amrSupport, false);
    assert.equal(out.amr, null);
    assert.equal(out.fov, null);
    assert.equal(out.touch, false);
    assert.equal(out.touchError, 'Dino-Lite MicroTouch is unavailable because the SDK is not loaded');
    assert.equal(out.pressed, false);
    assert.equal(out.led, -1);
    assert.equal(out.ledError, 'No Dino-Lite SDK device is selected for LED control');
    assert.deepEqual(out.devices, []);
    assert.equal(out.initAsync, false);
    assert.equal(out.ledAsync, -1);
    assert.equal(out.dispose, true);
    assert.equal(out.disposeAsync, true);
  });

  test('a failed load: the failure object, the loader message, backend "none" in the debug state', async () => {
    const missing = path.join(scenarioDir, 'no-such-libdinolite.so');
    const out = await run({
      body: `async (z) => {
        const result = z.loadDinoLite(${JSON.stringify(missing)});
        return { result, keys: Object.keys(result), error: z.dinoLiteLastError(), last: z.getLastError(),
                 state: z.dinoLiteDebugState(), init: z.dinoLiteInit() };
      }`,
    });
    assert.deepEqual(out.result, { ok: false, backend: 'none', path: '' });
    assert.deepEqual(out.keys, ['ok', 'backend', 'path']);
    assert.ok(out.error.startsWith(`Could not load native library '${missing}': `), out.error);
    assert.equal(out.last, out.error);
    assert.equal(out.state.loaded, false);
    assert.equal(out.state.backend, 'none');
    assert.equal(out.state.error, out.error);
    assert.equal(out.init, false);
  });

  test('default names: a first candidate without dl_get_amr is refused with its own message', async () => {
    const out = await run({
      env: { LD_LIBRARY_PATH: NO_AMR_DIR },
      body: `async (z) => [z.loadDinoLite(), z.dinoLiteLastError(), z.getLastError()]`,
    });
    assert.deepEqual(out, [
      { ok: false, backend: 'none', path: '' },
      'Required symbol not found: dl_get_amr',
      'Required symbol not found: dl_get_amr',
    ]);
  });

  test('default names find libdinolite.so; a second load keeps the first library', async () => {
    const out = await run({
      env: { LD_LIBRARY_PATH: path.dirname(SIMULATOR) },
      body: `async (z) => {
        z.getLastError();
        const first = z.loadDinoLite();
        const second = z.loadDinoLite(${JSON.stringify(MINIMAL)});
        return { first, second, last: z.getLastError(), error: z.dinoLiteLastError(),
                 state: z.dinoLiteDebugState() };
      }`,
    });
    assert.deepEqual(out.first, { ok: true, backend: 'mac-libdinolite', path: 'libdinolite.so' });
    assert.deepEqual(out.second, out.first);
    assert.equal(out.last, '');
    assert.equal(out.error, '');
    assert.equal(out.state.loaded, true);
    assert.equal(out.state.path, 'libdinolite.so');
    assert.equal('error' in out.state, false);
  });

  test('the backend report after loading, whatever the arguments', async () => {
    const out = await run({
      body: `async (z, lib) => (z.loadDinoLite(lib),
        [z.dinoLiteSelectBackendForProductId(), z.dinoLiteSelectBackendForProductId('x', 5)])`,
    });
    const expected = { ok: true, supportsAmr: true, dnxLoadAttempted: false, backend: 'mac-libdinolite', path: SIMULATOR, reason: '' };
    assert.deepEqual(out, [expected, expected]);
  });

  test('arguments of any type give the specified values, never a crash', async () => {
    const out = await run({
      env: { LD_LIBRARY_PATH: '' },
      body: `async (z, lib) => {
        const odd = [undefined, null, true, 'x', '1', {}, [], Symbol('s'), 1n, NaN, Infinity, -Infinity,
                     2 ** 53, -(2 ** 40), 1.5, () => 1];
        const names = ${JSON.stringify(FUNCTIONS.filter((name) => name !== 'loadDinoLite'))};
        const types = {};
        const calls = async () => {
          for (const name of names) {
            for (const a of odd) {
              for (const b of odd) {
                let value = z[name](a, b, a);
                if (value instanceof Promise) value = await value;
                const type = value === null ? 'null' : Array.isArray(value) ? 'array' : typeof value;
                (types[name] ||= new Set()).add(type);
              }
            }
          }
        };
        for (const a of odd) z.loadDinoLite(a);  // no path, and no libdinolite.so on the search path
        const unloaded = z.dinoLiteDebugState().loaded;
        await calls();
        z.loadDinoLite(lib);
        z.dinoLiteSelectDevice(0);
        await calls();
        return { unloaded, types: Object.fromEntries(Object.entries(types).map(([k, v]) => [k, [...v].sort()])) };
      }`,
    });
    assert.equal(out.unloaded, false);
    const expected = {
      dinoLiteInit: ['boolean'], dinoLiteLastError: ['string'], dinoLiteSelectBackendForProductId: ['object'],
      dinoLiteInitAsync: ['boolean'], dinoLiteDeviceCount: ['number'], dinoLiteDevicesAsync: ['array'],
      dinoLiteDeviceId: ['string'], dinoLiteDeviceName: ['string'], dinoLiteSelectDevice: ['boolean'],
      dinoLiteSelectDeviceAsync: ['boolean'], dinoLiteGetSelectedDevice: ['number'],
      dinoLiteSupportsAmr: ['boolean'], dinoLiteEnableMicrotouch: ['boolean'],
      dinoLiteEnableMicrotouchAsync: ['boolean'], dinoLiteMicrotouchPressed: ['boolean'],
      dinoLiteToggleLed: ['number'], dinoLiteToggleLedAsync: ['number'], dinoLiteDebugState: ['object'],
      dinoLiteDispose: ['boolean'], dinoLiteDisposeAsync: ['boolean'],
    };
    for (const [name, types] of Object.entries(expected)) assert.deepEqual(out.types[name], types, name);
    for (const name of ['dinoLiteGetAmr', 'dinoLiteGetFovx']) {
      assert.ok(out.types[name].every((type) => type === 'null' || type === 'number'), name);
    }
  });
});

describe('Dino-Lite initialisation, devices and selection', { concurrency: true }, () => {
  test('only a boolean true forces re-initialisation; a forced one drops the selection', async () => {
    const file = writeScenario({ devices: [device(0)] });
    const twoDevices = JSON.stringify({ devices: [device(0), device(1)] });
    const out = await run({
      scenario: file,
      body: `async (z, lib) => {
        z.loadDinoLite(lib);
        const first = [z.dinoLiteInit(), z.dinoLiteDeviceCount()];
        require('fs').writeFileSync(${JSON.stringify(file)}, ${JSON.stringify(twoDevices)});
        const notForced = [z.dinoLiteInit(1), z.dinoLiteInit('true'), z.dinoLiteInit(), z.dinoLiteDeviceCount()];
        const selected = [z.dinoLiteSelectDevice(0), z.dinoLiteGetSelectedDevice()];
        const forced = [z.dinoLiteInit(true), z.dinoLiteDeviceCount(), z.dinoLiteGetSelectedDevice(),
                        z.dinoLiteDebugState().selectedDeviceIndex, z.dinoLiteDebugState().ledModes];
        const forcedAsync = [await z.dinoLiteInitAsync(true), await z.dinoLiteInitAsync(7)];
        return { first, notForced, selected, forced, forcedAsync, error: z.dinoLiteLastError() };
      }`,
    });
    assert.deepEqual(out.first, [true, 1]);
    assert.deepEqual(out.notForced, [true, true, true, 1]);
    assert.deepEqual(out.selected, [true, 0]);
    assert.deepEqual(out.forced, [true, 2, -1, -1, []]);
    assert.deepEqual(out.forcedAsync, [true, true]);
    assert.equal(out.error, '');
  });

  test('device list, ids and names; the first selection waits about 300 ms, later ones do not', async () => {
    const out = await run({
      scenario: { devices: [device('A', { name: 'Edge AM4115' }), device('B', { name: 'Ünïcode ✓' })] },
      body: `async (z, lib, { timed }) => {
        z.loadDinoLite(lib);
        const beforeInit = await z.dinoLiteDevicesAsync();
        const [first, firstMs] = timed(() => z.dinoLiteSelectDevice(1));
        const [second, secondMs] = timed(() => z.dinoLiteSelectDevice(0));
        const [again, againMs] = timed(() => z.dinoLiteSelectDevice(0));
        return { beforeInit, first, firstMs, second, secondMs, again, againMs,
                 devices: await z.dinoLiteDevicesAsync(), count: z.dinoLiteDeviceCount(),
                 ids: [z.dinoLiteDeviceId(0), z.dinoLiteDeviceId(1), z.dinoLiteDeviceId(2), z.dinoLiteDeviceId(-1)],
                 names: [z.dinoLiteDeviceName(1), z.dinoLiteDeviceName()],
                 selected: z.dinoLiteGetSelectedDevice(), async: await z.dinoLiteSelectDeviceAsync(1),
                 afterAsync: z.dinoLiteGetSelectedDevice() };
      }`,
    });
    assert.deepEqual(out.beforeInit, []);  // the count comes from an initialisation
    assert.equal(out.first, true);
    assert.ok(out.firstMs >= 295, `first selection took ${out.firstMs} ms`);
    assert.equal(out.second, true);
    assert.ok(out.secondMs < 295, `second selection took ${out.secondMs} ms`);
    assert.equal(out.again, true);
    assert.ok(out.againMs < 295, `repeated selection took ${out.againMs} ms`);
    assert.deepEqual(out.devices, [
      { index: 0, uniqueId: 'ID-A', name: 'Edge AM4115' },
      { index: 1, uniqueId: 'ID-B', name: 'Ünïcode ✓' },
    ]);
    assert.deepEqual(out.devices.map(Object.keys), [['index', 'uniqueId', 'name'], ['index', 'uniqueId', 'name']]);
    assert.equal(out.count, 2);
    assert.deepEqual(out.ids, ['ID-A', 'ID-B', '', '']);
    assert.deepEqual(out.names, ['Ünïcode ✓', '']);
    assert.equal(out.selected, 0);
    assert.equal(out.async, true);
    assert.equal(out.afterAsync, 1);
  });

  test('device strings longer than the 1024-byte buffer are cut, not overrun', async () => {
    const out = await run({
      scenario: { devices: [device(0, { id: 'i'.repeat(5000), name: 'n'.repeat(1023) })] },
      body: `async (z, lib) => (z.loadDinoLite(lib), z.dinoLiteInit(),
        [z.dinoLiteDeviceId(0).length, z.dinoLiteDeviceName(0).length, (await z.dinoLiteDevicesAsync())[0].uniqueId.length])`,
    });
    assert.deepEqual(out, [1023, 1023, 1023]);
  });

  test('failed selections wipe the per-device state but keep the index, with the SDK text or the fixed one', async () => {
    const out = await run({
      scenario: {
        sdkError: 'USB transfer stalled',
        devices: [device(0), device(1, { failSelect: true }), device(2, { failPostConnect: true })],
      },
      body: `async (z, lib) => {
        z.loadDinoLite(lib);
        const pick = (i) => ({ ok: z.dinoLiteSelectDevice(i), error: z.dinoLiteLastError(), last: z.getLastError(),
                               state: z.dinoLiteDebugState(), selected: z.dinoLiteGetSelectedDevice(),
                               amr: z.dinoLiteSupportsAmr() });
        return { good: pick(0), refused: pick(1), postConnect: pick(2), invalid: pick(-1), outOfRange: pick(9),
                 recovered: pick(0) };
      }`,
    });
    assert.equal(out.good.ok, true);
    assert.equal(out.good.state.selectedDeviceIndex, 0);
    assert.equal(out.good.amr, true);
    assert.deepEqual(out.good.state.ledModes, [0x11, 0x10, 0x01, 0]);
    for (const failed of [out.refused, out.postConnect]) {
      assert.equal(failed.ok, false);
      assert.equal(failed.error, 'USB transfer stalled');
      assert.equal(failed.last, 'USB transfer stalled');
      assert.equal(failed.selected, 0);
      assert.equal(failed.amr, false);
      assert.equal(failed.state.selectedDeviceIndex, 0);
      assert.deepEqual(failed.state.ledModes, []);
      assert.equal(failed.state.ledState, 0);
      assert.equal(failed.state.supportsAmr, false);
      assert.equal(failed.state.supportsMicrotouch, false);
    }
    assert.equal(out.invalid.ok, false);
    assert.equal(out.invalid.error, 'Dino-Lite SDK device selection received an invalid device index');
    assert.equal(out.outOfRange.ok, false);
    assert.equal(out.outOfRange.error, 'No Dino-Lite device at index 9');  // the simulator's own text
    assert.equal(out.recovered.ok, true);
    assert.equal(out.recovered.error, '');
    assert.equal(out.recovered.last, '');
  });

  test('without an SDK text the fixed messages are used', async () => {
    const out = await run({
      scenario: { devices: [device(0, { failSelect: true }), device(1, { failPostConnect: true })] },
      body: `async (z, lib) => (z.loadDinoLite(lib),
        [z.dinoLiteSelectDevice(0), z.dinoLiteLastError(), z.dinoLiteSelectDevice(1), z.dinoLiteLastError()])`,
    });
    assert.deepEqual(out, [false, 'Dino-Lite SDK device selection failed', false, 'Dino-Lite post-connect initialization failed']);
  });

  test('a library without the optional functions: selection works, no LEDs, no field of view', async () => {
    const out = await run({
      lib: MINIMAL,
      scenario: { devices: [device(0), device(1)] },
      body: `async (z, lib, { sleep }) => {
        const load = z.loadDinoLite(lib);
        const select = [z.dinoLiteSelectDevice(0), z.dinoLiteSelectDevice(1), z.dinoLiteGetSelectedDevice()];
        const led = [z.dinoLiteToggleLed(), z.dinoLiteLastError()];
        z.dinoLiteGetFovx(1, 50);
        await sleep(100);
        const fov = z.dinoLiteGetFovx(1, 50);
        const amr = [z.dinoLiteGetAmr(1), await sleep(100), z.dinoLiteGetAmr(1)];
        return { load, select, led, fov, amr, state: z.dinoLiteDebugState(), dispose: z.dinoLiteDispose() };
      }`,
    });
    assert.equal(out.load.ok, true);
    assert.deepEqual(out.select, [true, true, 1]);
    assert.deepEqual(out.led, [-1, 'The selected Dino-Lite device does not expose controllable LEDs']);
    assert.equal(out.fov, null);
    assert.deepEqual(out.amr, [null, null, 50]);
    assert.equal(out.state.supportsLedControl, false);
    assert.deepEqual(out.state.ledModes, []);
    assert.equal(out.state.amrUpdates, 0);
    assert.equal(out.dispose, true);
  });

  test('dispose releases the device and the SDK but keeps the library', async () => {
    const out = await run({
      body: `async (z, lib, { settle }) => {
        z.loadDinoLite(lib);
        z.dinoLiteSelectDevice(0);
        z.dinoLiteEnableMicrotouch();
        await settle(() => z.dinoLiteGetAmr(0));
        const disposed = z.dinoLiteDispose();
        const after = { state: z.dinoLiteDebugState(), count: z.dinoLiteDeviceCount(),
                        selected: z.dinoLiteGetSelectedDevice(), amr: z.dinoLiteGetAmr(0) };
        const reselect = z.dinoLiteSelectDevice(0);
        return { disposed, after, reselect, async: await z.dinoLiteDisposeAsync(), final: z.dinoLiteDebugState() };
      }`,
    });
    assert.equal(out.disposed, true);
    assert.equal(out.after.state.loaded, true);
    assert.equal(out.after.state.path, SIMULATOR);
    assert.equal(out.after.state.initialized, false);
    assert.equal(out.after.state.selectedDeviceIndex, -1);
    assert.deepEqual(out.after.state.ledModes, []);
    assert.equal(out.after.state.cachedAmr, null);
    assert.equal(out.after.count, 0);
    assert.equal(out.after.selected, -1);
    assert.equal(out.after.amr, null);
    assert.equal(out.reselect, true);
    assert.equal(out.async, true);
    assert.equal(out.final.selectedDeviceIndex, -1);
  });
});

describe('Dino-Lite LEDs, MicroTouch, magnification and field of view', { concurrency: true }, () => {
  test('LED modes: the initial mode and the cycle for each mode list', async () => {
    const out = await run({
      scenario: {
        devices: [
          device(0, { ledModes: [0x10, 0x01] }),
          device(1, { ledModes: [0x05, 0x11] }),
          device(2, { ledModes: [0, 0] }),
          device(3, { ledModes: [0x05, 0x22, 0x07] }),
          device(4, { ledModes: [0x10, 0x01], failLed: [0x01] }),
          device(5, { ledModes: [] }),
        ],
      },
      body: `async (z, lib) => {
        z.loadDinoLite(lib);
        const cycle = async (i) => {
          z.dinoLiteSelectDevice(i);
          const state = z.dinoLiteDebugState();
          return { initial: state.ledState, groups: state.controllableLedsCount, control: state.supportsLedControl,
                   toggles: [z.dinoLiteToggleLed(), await z.dinoLiteToggleLedAsync(), z.dinoLiteToggleLed()],
                   error: z.dinoLiteLastError(), after: z.dinoLiteDebugState().ledState };
        };
        const out = [];
        for (let i = 0; i < 6; i++) out.push(await cycle(i));
        return out;
      }`,
    });
    assert.deepEqual(out[0], { initial: 0x10, groups: 2, control: true, toggles: [0x01, 0x10, 0x01], error: '', after: 0x01 });
    assert.deepEqual(out[1], { initial: 0x11, groups: 1, control: true, toggles: [0x05, 0x11, 0x05], error: '', after: 0x05 });
    assert.deepEqual(out[2], { initial: 0, groups: 0, control: true, toggles: [0, 0, 0], error: '', after: 0 });
    assert.deepEqual(out[3], { initial: 0x22, groups: 1, control: true, toggles: [0x07, 0x05, 0x22], error: '', after: 0x22 });
    assert.deepEqual(out[4], {
      initial: 0x10, groups: 2, control: true, toggles: [-1, -1, -1],
      error: 'Dino-Lite SDK rejected the LED change', after: 0x10,
    });
    assert.deepEqual(out[5], {
      initial: 0, groups: 0, control: false, toggles: [-1, -1, -1],
      error: 'The selected Dino-Lite device does not expose controllable LEDs', after: 0,
    });
  });

  test('a refused initial LED mode does not fail the selection', async () => {
    const out = await run({
      scenario: { devices: [device(0, { ledModes: [0x11, 0], failLed: true })] },
      body: `async (z, lib) => (z.loadDinoLite(lib), [z.dinoLiteSelectDevice(0), z.dinoLiteDebugState().ledState, z.dinoLiteLastError()])`,
    });
    assert.deepEqual(out, [true, 0, '']);
  });

  test('MicroTouch: enabling, presses latched and reported once, devices without the button', async () => {
    const out = await run({
      scenario: {
        devices: [device(0, { microtouchPressesMs: [0, 600] }), device(1, { microtouch: false }), device(2, { microtouchPressesMs: [0] })],
      },
      body: `async (z, lib, { sleep }) => {
        z.loadDinoLite(lib);
        z.dinoLiteSelectDevice(0);
        const enable = [z.dinoLiteEnableMicrotouch('false'), z.dinoLiteLastError()];
        const polls = [];
        for (let i = 0; i < 100; i++) { polls.push(z.dinoLiteMicrotouchPressed()); await sleep(15); }
        const unsupported = [z.dinoLiteSelectDevice(1), z.dinoLiteEnableMicrotouch(), z.dinoLiteLastError(),
                             await z.dinoLiteEnableMicrotouchAsync(true)];
        // Device 2 is pressed at once, but polling is switched off: nothing is latched.
        z.dinoLiteSelectDevice(2);
        const disabled = [z.dinoLiteEnableMicrotouch(false), z.dinoLiteLastError()];
        const quiet = [];
        for (let i = 0; i < 10; i++) { quiet.push(z.dinoLiteMicrotouchPressed()); await sleep(15); }
        const reenabled = await z.dinoLiteEnableMicrotouchAsync();
        let late = false;
        for (let i = 0; i < 50 && !late; i++) { late = z.dinoLiteMicrotouchPressed(); await sleep(10); }
        return { enable, presses: polls.filter(Boolean).length, unsupported, disabled,
                 quiet: quiet.filter(Boolean).length, reenabled, late };
      }`,
    });
    const detail = JSON.stringify(out);
    assert.deepEqual(out.enable, [true, ''], detail);  // the string 'false' is not a boolean: enable
    assert.equal(out.presses, 2, detail);
    assert.deepEqual(out.unsupported, [true, false, 'The selected Dino-Lite device does not support MicroTouch', false]);
    assert.deepEqual(out.disabled, [true, '']);  // the result does not depend on the flag
    assert.equal(out.quiet, 0);
    assert.equal(out.reenabled, true);
    assert.equal(out.late, true);  // the press stayed pending in the device until polled
  });

  test('magnification: null until a read lands, only accepted values, per device index', async () => {
    const out = await run({
      scenario: {
        devices: [
          device(0, { amrReadings: [{ atMs: 0, value: 50 }, { atMs: 800, value: 9.99 }] }),
          device(1, { amrReadings: [{ atMs: 0, value: 1000.5 }] }),
          device(2, { amrReadings: [{ atMs: 0, value: 10 }] }),
          device(3, { amrReadings: [{ atMs: 0, value: 1000 }] }),
          device(4, { amr: false }),
        ],
      },
      body: `async (z, lib, { sleep, settle }) => {
        z.loadDinoLite(lib);
        z.dinoLiteSelectDevice(0);
        const first = z.dinoLiteGetAmr(0);
        const landed = await settle(() => z.dinoLiteGetAmr(0));
        const state = z.dinoLiteDebugState();
        const otherIndex = [z.dinoLiteGetAmr(1), z.dinoLiteGetAmr(0)];
        await settle(() => z.dinoLiteGetAmr(0));
        // Keep polling until the device reads 9.99: rejected, the cache keeps 50.
        let later = z.dinoLiteDebugState();
        for (let i = 0; i < 300 && later.amrAccepted; i++) {
          z.dinoLiteGetAmr(0);
          await sleep(20);
          later = z.dinoLiteDebugState();
        }
        const rejected = { value: z.dinoLiteGetAmr(0), state: later };
        const bounds = [];
        for (const i of [1, 2, 3, 4]) {
          z.dinoLiteSelectDevice(i);
          z.dinoLiteGetAmr(i);
          await sleep(100);
          const s = z.dinoLiteDebugState();
          bounds.push([z.dinoLiteGetAmr(i), s.amrRead, s.amrAccepted, s.amrRaw, s.supportsAmr]);
        }
        return { first, landed, state, otherIndex, rejected, bounds };
      }`,
    });
    assert.equal(out.first, null);
    assert.equal(out.landed, 50);
    assert.equal(out.state.amrRead, true);
    assert.equal(out.state.amrAccepted, true);
    assert.equal(out.state.amrRaw, 50);
    assert.equal(out.state.cachedAmr, 50);
    assert.ok(out.state.cachedAmrAgeMs >= 0 && out.state.cachedAmrAgeMs < 2000);
    assert.deepEqual(out.otherIndex, [null, null]);
    assert.equal(out.rejected.value, 50);
    assert.equal(out.rejected.state.amrAccepted, false);
    assert.ok(Math.abs(out.rejected.state.amrRaw - 9.99) < 1e-5);
    assert.equal(out.rejected.state.cachedAmr, 50);
    assert.deepEqual(out.bounds, [
      [null, true, false, 1000.5, true],
      [10, true, true, 10, true],
      [1000, true, true, 1000, true],
      [null, false, false, -1, false],
    ]);
  });

  test('magnification: a cached value is returned for at most 2000 ms', async () => {
    const out = await run({
      body: `async (z, lib, { sleep, settle }) => {
        z.loadDinoLite(lib);
        z.dinoLiteSelectDevice(0);
        const fresh = await settle(() => z.dinoLiteGetAmr(0));
        await sleep(2100);
        const state = z.dinoLiteDebugState();
        const stale = z.dinoLiteGetAmr(0);  // also posts the next read
        const renewed = await settle(() => z.dinoLiteGetAmr(0));
        return { fresh, stale, age: state.cachedAmrAgeMs, cached: state.cachedAmr, renewed };
      }`,
    });
    assert.equal(out.fresh, 50);
    assert.equal(out.stale, null);
    assert.ok(out.age >= 2000, `age ${out.age}`);  // the debug state applies no age limit
    assert.equal(out.cached, 50);
    assert.equal(out.renewed, 50);
  });

  test('field of view: tied to its magnification within 0.001, selector and unknown values', async () => {
    const out = await run({
      scenario: { devices: [device(0, { fovxAt1x: 400000 })] },
      body: `async (z, lib, { sleep, settle }) => {
        z.loadDinoLite(lib);
        z.dinoLiteSelectDevice(0);
        const first = z.dinoLiteGetFovx(0, 50);
        const at50 = await settle(() => z.dinoLiteGetFovx(0, 50));
        const near = z.dinoLiteGetFovx(0, 50.0005);
        const other = z.dinoLiteGetFovx(0, 50.01);
        const atOther = await settle(() => z.dinoLiteGetFovx(0, 50.01));
        z.dinoLiteGetFovx(0, 100, 1);
        const half = await settle(() => z.dinoLiteGetFovx(0, 100, 1));
        z.dinoLiteGetFovx(0, 200, -5);
        const negativeSelector = await settle(() => z.dinoLiteGetFovx(0, 200, -5));
        z.dinoLiteGetFovx(0, -1);
        await sleep(100);
        const unknown = z.dinoLiteGetFovx(0, -1);
        const nan = [z.dinoLiteGetFovx(0, NaN), await sleep(100), z.dinoLiteGetFovx(0, NaN)];
        return { first, at50, near, other, atOther, half, negativeSelector, unknown, nan };
      }`,
    });
    assert.equal(out.first, null);
    assert.equal(out.at50, 8);
    assert.equal(out.near, 8);
    assert.equal(out.other, null);
    assert.ok(Math.abs(out.atOther - 400 / 50.01) < 1e-9);
    assert.equal(out.half, 2);
    assert.equal(out.negativeSelector, 2);
    assert.equal(out.unknown, null);
    assert.deepEqual(out.nan, [null, null, null]);
  });
});

describe('Dino-Lite hanging calls, process exit and the simulator fallback', { concurrency: true }, () => {
  test('a selection hanging 15 s returns false after 10 s; the executor recovers', async () => {
    const out = await run({
      scenario: { delaysMs: { dl_select_device: 15000 }, devices: [device(0), device(1)] },
      body: `async (z, lib, { sleep, timed }) => {
        z.loadDinoLite(lib);
        z.dinoLiteInit();
        const [selected, ms] = timed(() => z.dinoLiteSelectDevice(1));
        const last = z.getLastError();
        const bindingError = z.dinoLiteLastError();
        await sleep(5500);  // the hung call returns about 15 s after it started
        return { selected, ms, last, bindingError, now: z.dinoLiteGetSelectedDevice(), state: z.dinoLiteDebugState() };
      }`,
    });
    assert.equal(out.selected, false);
    assert.ok(out.ms >= 9990 && out.ms < 14000, `returned after ${out.ms} ms`);
    assert.equal(out.last, 'Dino-Lite SDK call timed out');
    assert.equal(out.bindingError, '');  // executor failures are not the binding's
    assert.equal(out.now, 1);  // the selection completed on the executor after all
    assert.equal(out.state.selectedDeviceIndex, 1);
  });

  test('a dispose that times out resets the debug state at once', async () => {
    const out = await run({
      scenario: { delaysMs: { dl_unselect_device: 6000 } },
      body: `async (z, lib) => {
        z.loadDinoLite(lib);
        z.dinoLiteSelectDevice(0);
        const before = z.dinoLiteDebugState().selectedDeviceIndex;
        const disposed = z.dinoLiteDispose();
        return { before, disposed, last: z.getLastError(), state: z.dinoLiteDebugState() };
      }`,
    });
    assert.equal(out.before, 0);
    assert.equal(out.disposed, false);
    assert.equal(out.last, 'Dino-Lite SDK call timed out');
    assert.equal(out.state.loaded, false);
    assert.equal(out.state.backend, '');
    assert.equal(out.state.selectedDeviceIndex, -1);
  });

  test('exit with queued and running jobs drains and ends cleanly', async () => {
    const scenario = { delaysMs: { dl_get_amr: 1500, dl_get_fovx: 500 } };
    const viaExit = inChild({
      scenario,
      body: `async (z, lib) => {
        z.loadDinoLite(lib);
        z.dinoLiteSelectDevice(0);
        z.dinoLiteGetAmr(0);
        z.dinoLiteGetFovx(0, 50);
        z.dinoLiteMicrotouchPressed();
        z.dinoLiteToggleLedAsync();
        process.stdout.write('"exiting"');
        process.exit(0);
      }`,
    });
    const natural = inChild({
      scenario,
      body: `async (z, lib) => {
        z.loadDinoLite(lib);
        z.dinoLiteSelectDevice(0);
        z.dinoLiteGetAmr(0);
        z.dinoLiteGetFovx(0, 50);
        z.dinoLiteSelectDeviceAsync(0);
        return 'done';
      }`,
    });
    for (const { out, code, stderr, elapsed } of await Promise.all([viaExit, natural])) {
      assert.equal(code, 0, stderr);
      assert.ok(out === 'exiting' || out === 'done');
      assert.doesNotMatch(stderr, /Segmentation|Aborted|terminate called/);
      assert.ok(elapsed < 20000, `took ${elapsed} ms`);
    }
  });

  test('a worker thread that loads the addon and ends leaves the executor running', async () => {
    const out = await run({
      body: `async (z, lib) => {
        const { Worker } = require('worker_threads');
        const worker = new Worker('require(' + JSON.stringify(${JSON.stringify(rootDir)}) + ').dinoLiteDebugState()', { eval: true });
        await new Promise((resolve) => worker.on('exit', resolve));
        return [z.loadDinoLite(lib).ok, z.dinoLiteSelectDevice(0), z.getLastError()];
      }`,
    });
    assert.deepEqual(out, [true, true, '']);
  });

  test('the executor outlives a worker thread that was the first and only one to load the addon', async () => {
    // Nothing loads the addon on the main thread until the worker has ended.
    const script = `
      const { Worker } = require('worker_threads');
      const root = ${JSON.stringify(rootDir)};
      const worker = new Worker('require(' + JSON.stringify(root) + ').dinoLiteDebugState()', { eval: true });
      worker.on('exit', () => {
        const z = require(root);
        console.log(JSON.stringify([z.loadDinoLite(${JSON.stringify(SIMULATOR)}).ok, z.dinoLiteSelectDevice(0),
          z.getLastError()]));
      });`;
    const child = await new Promise((resolve) => {
      execFile(process.execPath, ['-e', script], { encoding: 'utf8', timeout: 60000,
        env: { ...process.env, DINOLITE_SIMULATOR_SCENARIO: '' } },
      (error, stdout, stderr) => resolve({ error, stdout, stderr }));
    });
    assert.equal(child.error, null, child.stderr);
    assert.deepEqual(JSON.parse(child.stdout), [true, true, '']);
  });

  test('no scenario, a missing and a malformed scenario: the default device, one message', async () => {
    const body = `async (z, lib) => {
      z.loadDinoLite(lib);
      z.dinoLiteInit(); z.dinoLiteInit(true); z.dinoLiteInit(true);
      return await z.dinoLiteDevicesAsync();
    }`;
    const cases = await Promise.all([
      inChild({ body }),
      inChild({ scenario: path.join(scenarioDir, 'missing.json'), body }),
      inChild({ scenario: '{"devices": [ {"id": 5', body }),
      inChild({ scenario: { devices: [{ id: 'x', ledModes: 'bright' }] }, body }),
      inChild({ scenario: { devices: { id: 'x' } }, body }),
    ]);
    for (const { out, stderr, code } of cases) {
      assert.equal(code, 0, stderr);
      assert.equal(out.length, 1);
      assert.match(out[0].name, /Dino-Lite/);
      assert.notEqual(out[0].uniqueId, '');
      const lines = stderr.split('\n').filter((line) => line.startsWith('libdinolite simulator:'));
      assert.equal(lines.length, 1, stderr);
      assert.match(lines[0], /default device/);
    }
    const valid = await inChild({ scenario: { devices: [] }, body });
    assert.deepEqual(valid.out, []);
    assert.equal(valid.stderr, '');
  });
});
