'use strict';
// Fixtures of the Zentri script tests. The binding loads its library once per process, so every
// case runs in a child node: plain for the stand-in libraries of tests/fakes, or under
// umockdev-wrapper with the emulated microscopes (build/microscope_emulator.node) for the real
// libzentri.
const { execFile } = require('node:child_process');
const { buildPath, rootDir } = require('./helpers');

const MARK = '@@zentri-result@@';

// The 29 Zentri functions in their registration order.
const ZENTRI_FUNCTIONS = [
  'loadZentri', 'zentriInit', 'zentriLastError', 'zentriInitAsync', 'zentriDeviceCount',
  'zentriDevicesAsync', 'zentriDeviceUniqueId', 'zentriDeviceFriendlyName', 'zentriSelectDevice',
  'zentriSelectDeviceAsync', 'zentriGetSelectedDevice', 'zentriGetTelemetry',
  'zentriGetScopeStatus', 'zentriGetPixelSizeMicrons', 'zentriGetPixelSizeInfo',
  'zentriGetLensGroupInfo', 'zentriCapabilities', 'zentriGetFocusPosition', 'zentriGetLedState',
  'zentriTriggerAutoFocusAsync', 'zentriSetFocusPositionAsync', 'zentriFocusNearAsync',
  'zentriFocusFarAsync', 'zentriSetLedStateAsync', 'zentriIsCapturePressed', 'zentriVersionInfo',
  'zentriProtocolVersionInfo', 'zentriDispose', 'zentriDisposeAsync',
];

// Runs body, the source text of an async function (z, lib, emu) => value, in a child node, and
// resolves with { value, code, stdout, stderr }. `lib` is the path of the library to load (a
// file name in the build folder); `emulated` runs the child under umockdev-wrapper with the
// microscope emulator opened as `emu` (closed again after a dispose when the body returns).
// The value travels after a marker line, since libzentri prints to standard output.
function runZentri(body, { library = 'libzentri.so', emulated = false, env = {}, timeout = 60000 } = {}) {
  const script = `
    const z = require(${JSON.stringify(rootDir)});
    const emu = ${emulated} ? require(${JSON.stringify(buildPath('microscope_emulator.node'))}) : null;
    const lib = ${JSON.stringify(buildPath(library))};
    (async () => {
      if (emu) emu.open();
      try {
        const value = await (${body})(z, lib, emu);
        process.stdout.write('\\n${MARK}' + JSON.stringify(value === undefined ? null : value) + '\\n');
      } finally {
        if (emu) { z.zentriDispose(); emu.close(); }
      }
    })().catch((error) => { console.error(error); process.exitCode = 1; });`;
  const command = emulated ? 'umockdev-wrapper' : process.execPath;
  const args = emulated ? [process.execPath, '-e', script] : ['-e', script];
  return new Promise((resolve) => {
    execFile(command, args, { encoding: 'utf8', timeout, env: { ...process.env, ...env } },
      (error, stdout, stderr) => {
        const at = stdout.lastIndexOf(MARK);
        const value = at < 0 ? undefined : JSON.parse(stdout.slice(at + MARK.length));
        resolve({ value, code: error ? error.code : 0, signal: error ? error.signal : null, stdout, stderr });
      });
  });
}

// As runZentri, but fails unless the child exited with 0 and returned a value.
async function zentri(body, options) {
  const result = await runZentri(body, options);
  if (result.code !== 0 || result.value === undefined) {
    throw new Error(`child failed (code ${result.code}, signal ${result.signal}):\n${result.stderr}`);
  }
  return result.value;
}

module.exports = { ZENTRI_FUNCTIONS, runZentri, zentri };
