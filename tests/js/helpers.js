'use strict';
// Shared fixtures of the script-level tests: the build folder and the addon loaded from it.
const path = require('path');
const fs = require('fs');
const os = require('os');

const rootDir = path.resolve(__dirname, '..', '..');
const buildDir = process.env.ZENTRI_NATIVE_BUILD_DIR
  ? path.resolve(process.env.ZENTRI_NATIVE_BUILD_DIR)
  : path.join(rootDir, 'build');

function buildPath(name) {
  return path.join(buildDir, name);
}

// The Dino-Lite SDK simulator: in a folder of its own, never found by a bare "libdinolite.so".
const simulatorPath = buildPath(path.join('simulators', 'libdinolite.so'));

function loadAddon() {
  return require(rootDir);
}

// A fresh temporary directory, removed when the test ends.
function tempDir(t, prefix = 'zentri-test-') {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

module.exports = { rootDir, buildDir, buildPath, simulatorPath, loadAddon, tempDir };
