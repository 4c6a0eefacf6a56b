'use strict';
// npm pack's prepack step in a checkout: brings the shipped targets of build/ up to date and
// copies them, stripped, into prebuilds/<platform>-<arch>/, the folder that node-gyp-build
// searches, so the tarball carries binaries that install without a compiler. build/ must have
// been configured by scripts/bootstrap.sh.
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { TARGETS, SIMULATOR_TARGET, copyPieces } = require('./native-pieces');

const root = path.resolve(__dirname, '..');
const buildDir = path.join(root, 'build');
// The tags tell node-gyp-build that the addon is a Node-API build for glibc, so it loads in any
// Node.js or Electron of Node-API 8 or later, and not on musl.
const ADDON_NAME = 'zentri_native.napi.glibc.node';

function fail(message) {
  console.error(`prebuild: ${message}`);
  process.exit(1);
}

if (!fs.existsSync(path.join(buildDir, 'CMakeCache.txt'))) {
  fail('build/ is not configured: run bash scripts/bootstrap.sh first');
}
const cache = fs.readFileSync(path.join(buildDir, 'CMakeCache.txt'), 'utf8');
if (/^ZENTRI_SANITIZE:\w+=.+$/m.test(cache)) {
  fail('build/ is a sanitizer build; prebuilds come from the plain build');
}
const targets = [...TARGETS];
if (!/^ZENTRI_BUILD_SIMULATORS:BOOL=OFF$/m.test(cache)) {
  targets.push(SIMULATOR_TARGET);
}
const jobs = String(Number(process.env.ZENTRI_NATIVE_BUILD_JOBS) || require('os').cpus().length || 1);
const build = spawnSync('cmake', ['--build', buildDir, '-j', jobs, '--target', ...targets],
  { stdio: ['ignore', 'ignore', 'inherit'] });
if (build.status !== 0) {
  fail(`building ${targets.join(', ')} in build/ failed`);
}

const dest = path.join(root, 'prebuilds', `${process.platform}-${process.arch}`);
try {
  const files = copyPieces(buildDir, dest, { addonName: ADDON_NAME, strip: process.env.ZENTRI_NATIVE_NO_STRIP !== '1' });
  const bytes = files.reduce((sum, file) => sum + fs.statSync(file).size, 0);
  console.error(`prebuild: ${path.relative(root, dest)}: ${files.length} files, ${(bytes / 1e6).toFixed(1)} MB`);
} catch (error) {
  fail(error.message);
}
