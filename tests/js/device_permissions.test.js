'use strict';
// Microscopes for users who are not root: the udev rules that grant access, and what a user
// without access is told. The denied user runs in a child process under umockdev-wrapper with
// the emulated microscope, whose /dev nodes it may not open (as root the child drops to nobody,
// since root opens any node).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { rootDir, buildPath } = require('./helpers');

const RULES = path.join(rootDir, 'udev', '70-zentri-microscopes.rules');
const emulatorPath = buildPath('microscope_emulator.node');
const umockdevWrapper = spawnSync('sh', ['-c', 'command -v umockdev-wrapper']).status === 0;
const skipEmulated = !(umockdevWrapper && fs.existsSync(emulatorPath)) && 'needs umockdev-wrapper and the emulator';

// udev's match patterns: "*", "?", "[...]" (with ranges) and "|" between alternatives.
function udevPattern(pattern) {
  const alternatives = pattern.split('|').map((alt) => alt.replace(/[.+^${}()\\]/g, '\\$&')
    .replace(/\*/g, '.*').replace(/\?/g, '.'));
  return new RegExp(`^(?:${alternatives.join('|')})$`);
}

// Each rule line as [key, operator, value] triples.
function rules() {
  return fs.readFileSync(RULES, 'utf8').split('\n').map((line) => line.trim())
    .filter((line) => line && !line.startsWith('#'))
    .map((line) => {
      const fields = [...line.matchAll(/\s*([A-Z_]+(?:\{[^}]*\})?)\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*(,|$)/g)];
      assert.equal(fields.map((f) => f[0]).join(''), line, `every field of "${line}" parses`);
      return fields.map((f) => [f[1], f[2], f[3]]);
    });
}

test('the udev rules tag the USB device and its video nodes of exactly the seven Zentri models', () => {
  const tagged = rules().filter((fields) => fields.some(([k, op, v]) => k === 'TAG' && op === '+=' && v === 'uaccess'));
  const bySubsystem = {};
  for (const fields of tagged) {
    const match = (key) => fields.find(([k, op]) => k === key && op === '==');
    const subsystem = match('SUBSYSTEM')[2];
    const scope = subsystem === 'usb' ? 'ATTR' : 'ATTRS';
    const vendor = udevPattern(match(`${scope}{idVendor}`)[2]);
    const product = udevPattern(match(`${scope}{idProduct}`)[2]);
    // sysfs spells the ids in four lower-case hex digits.
    const ids = [];
    for (let id = 0x9000; id <= 0x90ff; id++) {
      if (vendor.test('636c') && product.test(id.toString(16).padStart(4, '0'))) ids.push(id);
    }
    assert.equal(vendor.test('636C'), false, 'sysfs ids are lower case');
    bySubsystem[subsystem] = ids;
    if (subsystem === 'usb') {
      assert.deepEqual(match('ENV{DEVTYPE}'), ['ENV{DEVTYPE}', '==', 'usb_device'], 'the device, not its interfaces');
    }
  }
  const models = [0x9059, 0x905a, 0x905b, 0x905c, 0x905d, 0x905e, 0x905f];
  assert.deepEqual(bySubsystem, { usb: models, video4linux: models });
  // logind applies uaccess in 73-seat-late.rules: the tag must be set before that.
  assert.ok(Number(path.basename(RULES).split('-')[0]) < 73);
});

// Runs script under umockdev-wrapper as a user who may not open the emulated microscope's
// nodes; `emu` is the emulator with one microscope (V4L2 node and USB node) already there.
function asDeniedUser(script) {
  const setup = `
    const fs = require('fs');
    const emu = require(${JSON.stringify(emulatorPath)});
    emu.open();
    emu.addMicroscope({ serial: 'SN-DENIED' });
    for (const node of ['/dev/video0', '/dev/bus/usb/001/002']) fs.chmodSync(emu.rootDir() + node, 0);
    process.on('exit', () => emu.close());`;
  const asRoot = process.getuid() === 0;
  return spawnSync('umockdev-wrapper', [process.execPath, '-e', setup + script], {
    encoding: 'utf8',
    timeout: 60_000,
    cwd: '/',
    ...(asRoot ? { uid: 65534, gid: 65534 } : {}),
  });
}

const DENIED = 'Zentri: permission denied on /dev/video0 and /dev/bus/usb/001/002 ' +
  '(install the Zentri udev rules, then re-plug the microscope)';

test('a user without access to the microscope is told so, with the specified messages kept',
  { skip: skipEmulated }, () => {
    const run = asDeniedUser(`
      const z = require(${JSON.stringify(rootDir)});
      z.loadZentri(${JSON.stringify(buildPath('libzentri.so'))});
      const out = { init: z.zentriInit(), count: z.zentriDeviceCount(), selected: z.zentriSelectDevice(0),
        error: z.zentriLastError(), last: z.getLastError(), now: z.zentriGetSelectedDevice() };
      z.zentriDispose();
      console.log(JSON.stringify(out));`);
    assert.equal(run.status, 0, run.stderr);
    const out = JSON.parse(run.stdout.trim().split('\n').pop());
    assert.deepEqual(out, { init: true, count: 1, selected: false, error: 'Zentri SDK device selection failed',
      last: 'Zentri SDK device selection failed', now: -1 });
    assert.deepEqual(run.stderr.trim().split('\n'), ['Could not open Zentri control transport', DENIED]);
  });

test('the zentri tool run by such a user says why it could not select the microscope',
  { skip: skipEmulated }, () => {
    const run = asDeniedUser(`
      require(${JSON.stringify(path.join(rootDir, 'cli', 'main'))}).main(['node', 'zentri', 'zentri', 'status']);`);
    assert.equal(run.status, 1, run.stderr);
    const lines = run.stderr.trim().split('\n');
    assert.ok(lines.includes(DENIED), run.stderr);
    assert.match(lines[lines.length - 1], /^zentri: could not select Zentri microscope 0: Zentri SDK device selection failed$/);
  });
