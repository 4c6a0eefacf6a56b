'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const { buildPath, loadAddon } = require('./helpers');

const addon = loadAddon();
const probe = require(buildPath('args_probe.node'));

test('the addon registers its functions in their fixed order', () => {
  const keys = Object.keys(addon);
  assert.deepEqual(keys.slice(0, 3), ['getLastError', 'lockFile', 'unlockFile']);
  for (const key of keys.slice(0, 3)) {
    assert.equal(typeof addon[key], 'function');
  }
});

test('only the two module-entry symbols are exported', () => {
  const out = execFileSync('nm', ['-D', '--defined-only', buildPath('zentri_native.node')], {
    encoding: 'utf8',
  });
  const names = out
    .split('\n')
    .filter(Boolean)
    .map((line) => line.trim().split(/\s+/).pop())
    .sort();
  assert.deepEqual(names, ['napi_register_module_v1', 'node_api_module_get_api_version_v1']);
});

test('getLastError is a string, empty before any failure, and ignores arguments', () => {
  // A fresh process: nothing has failed yet.
  const out = execFileSync(
    process.execPath,
    ['-e', `const z = require(${JSON.stringify(require('./helpers').rootDir)});
            process.stdout.write(JSON.stringify(z.getLastError(1, 'x', {})))`],
    { encoding: 'utf8' },
  );
  assert.equal(JSON.parse(out), '');
  assert.equal(typeof addon.getLastError(), 'string');
});

test('ReadIntArg: only numbers count, with 32-bit truncation and wrapping', () => {
  const read = (value) => probe.readInt(0, -99, value);
  assert.equal(read(3.9), 3);
  assert.equal(read(-3.9), -3);
  assert.equal(read(2 ** 32 + 7), 7);
  assert.equal(read(2 ** 31), -(2 ** 31));
  assert.equal(read(NaN), 0);
  assert.equal(read(Infinity), 0);
  assert.equal(read(-Infinity), 0);
  for (const notNumber of ['5', true, null, undefined, {}, [1], 5n, Symbol('s'), () => 1]) {
    assert.equal(read(notNumber), -99, `argument ${String(notNumber)}`);
  }
  assert.equal(probe.readInt(3, 12, 1, 2), 12, 'index past the arguments');
});

test('ReadDoubleArg keeps the value and falls back for non-numbers', () => {
  assert.equal(probe.readDouble(0, 1.5, -0.25), -0.25);
  assert.ok(Number.isNaN(probe.readDouble(0, 1.5, NaN)));
  assert.equal(probe.readDouble(0, 1.5, Infinity), Infinity);
  assert.equal(probe.readDouble(0, 1.5, '2.5'), 1.5);
  assert.equal(probe.readDouble(1, 1.5, 2), 1.5);
});

test('ReadStringArg reads any length whole and gives "" for non-strings', () => {
  assert.equal(probe.readString(0, 'mikroskop µ 😀'), 'mikroskop µ 😀');
  const long = 'é'.repeat(100000);
  assert.equal(probe.readString(0, long), long);
  assert.equal(probe.readString(0, ''), '');
  assert.equal(probe.readString(0, 5), '');
  assert.equal(probe.readString(0, null), '');
  assert.equal(probe.readString(0, { toString: () => 'x' }), '');
  assert.equal(probe.readString(2, 'a'), '');
});
