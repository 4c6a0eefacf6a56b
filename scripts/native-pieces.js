'use strict';
// The native pieces that ship in the package, and how they are copied out of a build tree: the
// addon with encworker and the two libraries side by side (the addon finds encworker in its own
// folder, and its run path of $ORIGIN lets the load functions' bare names find the libraries),
// and the Dino-Lite simulator in a folder of its own below them, where no bare name reaches it.
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');

// CMake targets that produce the pieces (the simulator only when its build is switched on).
const TARGETS = ['zentri_native', 'encworker', 'cnokhwa', 'zentri'];
const SIMULATOR_TARGET = 'dinolite';

// [file in the build tree, file in the destination]. npm packs no symbolic links, so the library
// ships under both of its names as plain files: libzentri.so is the name the addon opens.
function pieces(addonName) {
  return [
    ['zentri_native.node', addonName],
    ['encworker', 'encworker'],
    ['libcnokhwa.so', 'libcnokhwa.so'],
    ['libzentri.so.0', 'libzentri.so.0'],
    ['libzentri.so.0', 'libzentri.so'],
  ];
}
const SIMULATOR = path.join('simulators', 'libdinolite.so');

function haveStrip() {
  return spawnSync('strip', ['--version'], { stdio: 'ignore' }).status === 0;
}

// Copies the pieces from buildDir into destDir, which is emptied first. With strip, the copies
// lose their debugging sections and static symbol tables (the dynamic ones stay). Returns the
// destination paths.
function copyPieces(buildDir, destDir, { addonName = 'zentri_native.node', strip = false } = {}) {
  const missing = pieces(addonName).map(([from]) => from).filter((from) => !fs.existsSync(path.join(buildDir, from)));
  if (missing.length) {
    throw new Error(`${buildDir} lacks ${missing.join(', ')}`);
  }
  fs.rmSync(destDir, { recursive: true, force: true });
  fs.mkdirSync(destDir, { recursive: true });
  const copies = pieces(addonName).map(([from, to]) => [path.join(buildDir, from), path.join(destDir, to)]);
  if (fs.existsSync(path.join(buildDir, SIMULATOR))) {
    fs.mkdirSync(path.join(destDir, path.dirname(SIMULATOR)));
    copies.push([path.join(buildDir, SIMULATOR), path.join(destDir, SIMULATOR)]);
  }
  const stripping = strip && haveStrip();
  for (const [from, to] of copies) {
    fs.copyFileSync(from, to);
    fs.chmodSync(to, 0o755);
    if (stripping) {
      const run = spawnSync('strip', ['--strip-unneeded', to], { encoding: 'utf8' });
      if (run.status !== 0) {
        throw new Error(`strip ${to} failed: ${(run.stderr || '').trim()}`);
      }
    }
  }
  return copies.map(([, to]) => to);
}

module.exports = { TARGETS, SIMULATOR_TARGET, copyPieces };
