'use strict';
// The package around the addon, in the checkout: the ES module entry against the addon's real
// exports, where the pieces are and what bare names find, and what the install step says when a
// machine cannot build from source. (package_install.test.js installs the packed package.)
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { rootDir, buildDir, simulatorPath, loadAddon, tempDir } = require('./helpers');

const addon = loadAddon();

test('index.mjs exports every name of the addon, in its order, bound to the same values', async () => {
  const source = fs.readFileSync(path.join(rootDir, 'index.mjs'), 'utf8');
  const list = /export const \{([^}]*)\} = addon;/.exec(source);
  assert.ok(list, 'index.mjs destructures the addon');
  const names = list[1].split(',').map((name) => name.trim()).filter(Boolean);
  assert.deepEqual(names, Object.keys(addon));
  const esm = await import(path.join(rootDir, 'index.mjs'));
  assert.equal(esm.default, addon);
  for (const name of names) assert.equal(esm[name], addon[name], name);
});

test('the addon, encworker and both libraries sit side by side; the simulator does not', () => {
  const paths = require(path.join(rootDir, 'paths'));
  assert.equal(paths.directory, buildDir);
  assert.equal(paths.addon, path.join(buildDir, 'zentri_native.node'));
  for (const file of [paths.encworker, paths.cameraLibrary, paths.zentriLibrary]) {
    assert.equal(path.dirname(file), paths.directory);
    assert.ok(fs.existsSync(file), file);
  }
  assert.equal(paths.dinoLiteSimulator, simulatorPath);
  assert.notEqual(path.dirname(paths.dinoLiteSimulator), paths.directory);
  assert.equal(fs.existsSync(path.join(paths.directory, 'libdinolite.so')), false);
  assert.ok(fs.existsSync(paths.udevRules));
});

test('bare names find the camera library and libzentri beside the addon, never the simulator', () => {
  const script = `
    const z = require(${JSON.stringify(rootDir)});
    console.log(JSON.stringify({ camera: z.loadCameraBackend(), cameraPath: z.cameraLoadPath(),
      zentri: z.loadZentri(), dino: z.loadDinoLite() }));`;
  const env = { ...process.env, LD_LIBRARY_PATH: '' };
  const child = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', timeout: 60000, env });
  assert.equal(child.status, 0, child.stderr);
  assert.deepEqual(JSON.parse(child.stdout), {
    camera: true, cameraPath: 'libcnokhwa.so',
    zentri: { ok: true, path: 'libzentri.so' },
    dino: { ok: false, backend: 'none', path: '' },
  });
});

// A package folder as npm unpacks it, without prebuilt binaries (or with the ones given), and
// the install step run there with the given environment.
function runInstallStep(t, { env, prebuild = null }) {
  const dir = tempDir(t, 'zentri-install-');
  fs.mkdirSync(path.join(dir, 'scripts'));
  for (const file of ['package.json', 'scripts/install.js', 'scripts/native-pieces.js']) {
    fs.copyFileSync(path.join(rootDir, file), path.join(dir, file));
  }
  fs.mkdirSync(path.join(dir, 'node_modules'));
  fs.symlinkSync(path.join(rootDir, 'node_modules', 'node-gyp-build'), path.join(dir, 'node_modules', 'node-gyp-build'));
  if (prebuild) {
    const folder = path.join(dir, 'prebuilds', `${process.platform}-${process.arch}`);
    fs.mkdirSync(folder, { recursive: true });
    for (const [name, bytes] of Object.entries(prebuild)) fs.writeFileSync(path.join(folder, name), bytes);
  }
  return spawnSync(process.execPath, [path.join(dir, 'scripts', 'install.js')],
    { encoding: 'utf8', timeout: 60000, cwd: dir, env });
}

test('without a usable prebuilt binary, the install step names what building from source lacks', (t) => {
  const emptyBin = tempDir(t, 'zentri-empty-bin-');
  const noTools = runInstallStep(t, { env: { PATH: emptyBin, HOME: process.env.HOME } });
  assert.equal(noTools.status, 1, noTools.stderr);
  assert.match(noTools.stderr, /^zentri-native: no prebuilt binary for linux-x64; building from source needs what this machine lacks:$/m);
  for (const line of ['cmake 3.18 or later (Debian/Ubuntu package cmake)',
    'a C and C++17 compiler (Debian/Ubuntu package build-essential)', 'make (Debian/Ubuntu package make)',
    'pkg-config (Debian/Ubuntu package pkg-config)']) {
    assert.ok(noTools.stderr.includes(`\n  ${line}\n`), `${line} in:\n${noTools.stderr}`);
  }
  assert.match(noTools.stderr, /sudo apt-get install cmake build-essential make pkg-config\), then run npm rebuild zentri-native/);

  // Tools present, development packages absent; and a prebuilt binary that cannot load here.
  const emptyPc = tempDir(t, 'zentri-empty-pc-');
  const noHeaders = runInstallStep(t, {
    env: { ...process.env, PKG_CONFIG_LIBDIR: emptyPc, PKG_CONFIG_PATH: '' },
    prebuild: { 'zentri_native.napi.glibc.node': 'not an ELF file', encworker: '', 'libcnokhwa.so': '', 'libzentri.so': '' },
  });
  assert.equal(noHeaders.status, 1, noHeaders.stderr);
  assert.match(noHeaders.stderr, /^zentri-native: the prebuilt binary does not load here \(.+\); building from source needs/m);
  for (const pkg of ['libusb-1.0-0-dev', 'libavutil-dev', 'libavcodec-dev', 'libavformat-dev', 'libturbojpeg0-dev',
    'libjpeg62-turbo-dev']) {
    assert.match(noHeaders.stderr, new RegExp(`\\(Debian/Ubuntu package ${pkg}\\)`));
  }
  assert.doesNotMatch(noHeaders.stderr, /package cmake\)/);
});

test('a checkout is left to scripts/bootstrap.sh by the install step', () => {
  const run = spawnSync(process.execPath, [path.join(rootDir, 'scripts', 'install.js')],
    { encoding: 'utf8', timeout: 60000, env: { ...process.env, npm_config_build_from_source: 'true' } });
  assert.equal(run.status, 0, run.stderr);
  assert.equal(run.stderr, '');
  assert.ok(fs.existsSync(path.join(buildDir, 'CMakeCache.txt')), 'build/ untouched');
});

test('an installed package without a usable binary says so when required', (t) => {
  const dir = tempDir(t, 'zentri-unbuilt-');
  for (const file of ['package.json', 'index.js', 'paths.js']) fs.copyFileSync(path.join(rootDir, file), path.join(dir, file));
  fs.mkdirSync(path.join(dir, 'node_modules'));
  fs.symlinkSync(path.join(rootDir, 'node_modules', 'node-gyp-build'), path.join(dir, 'node_modules', 'node-gyp-build'));
  const env = { ...process.env };
  delete env.ZENTRI_NATIVE_BUILD_DIR;
  const child = spawnSync(process.execPath, ['-e', `require(${JSON.stringify(dir)})`], { encoding: 'utf8', timeout: 60000, env });
  assert.equal(child.status, 1);
  assert.match(child.stderr, /zentri-native: no native build found \(No native build was found for platform=linux arch=x64 .*\)\. In an application, allow the package's install script/);
});
