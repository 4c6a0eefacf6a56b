'use strict';
// The package's install step. A prebuilt binary for this platform (prebuilds/, chosen by
// node-gyp-build) is used when it loads here; otherwise the shipped pieces are built from the
// package's sources with CMake and copied into build/, where index.js looks first. A missing
// build tool or development package is named, with the Debian package that provides it.
//
// --build-from-source (npm_config_build_from_source) or ZENTRI_NATIVE_BUILD_FROM_SOURCE=1 skips
// the prebuilt binary. In a source checkout nothing happens: scripts/bootstrap.sh builds there.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { TARGETS, SIMULATOR_TARGET, copyPieces } = require('./native-pieces');

const root = path.resolve(__dirname, '..');

function say(message) {
  console.error(`zentri-native: ${message}`);
}

function forcedFromSource() {
  const flag = process.env.npm_config_build_from_source || '';
  return process.env.ZENTRI_NATIVE_BUILD_FROM_SOURCE === '1' || flag === 'true' ||
    flag.split(',').includes('zentri-native');
}

function firstLine(text) {
  return String(text || '').split('\n').map((line) => line.trim()).find(Boolean) || '';
}

// The prebuilt addon, when one is there for this platform and it loads in a fresh process of this
// runtime; otherwise why not.
function usablePrebuild() {
  let addon;
  try {
    addon = require('node-gyp-build').path(root);
  } catch (error) {
    return { reason: `no prebuilt binary for ${process.platform}-${process.arch}` };
  }
  const dir = path.dirname(addon);
  const absent = ['encworker', 'libcnokhwa.so', 'libzentri.so'].filter((name) => !fs.existsSync(path.join(dir, name)));
  if (absent.length) {
    return { reason: `the prebuilt binary lacks ${absent.join(', ')}` };
  }
  const probe = spawnSync(process.execPath, ['-e', 'require(process.argv[1])', addon],
    { encoding: 'utf8', timeout: 60000, env: { ...process.env, ELECTRON_RUN_AS_NODE: '1' } });
  if (probe.status !== 0) {
    const lines = String(probe.stderr || '').split('\n');
    const error = lines.find((line) => /Error\b/.test(line)) || firstLine(probe.stderr) || `status ${probe.status}`;
    return { reason: `the prebuilt binary does not load here (${error.trim()})` };
  }
  return { addon };
}

function runs(command, args) {
  return spawnSync(command, args, { stdio: 'ignore' }).status === 0;
}

function firstCommand(names) {
  return names.find((name) => runs(name, ['--version']));
}

// pkg-config module -> [what it is, Debian package]. The same modules the CMake files ask for.
const MODULES = {
  'libusb-1.0': ['libusb-1.0 headers', 'libusb-1.0-0-dev'],
  libavutil: ['FFmpeg libavutil headers', 'libavutil-dev'],
  libavcodec: ['FFmpeg libavcodec headers', 'libavcodec-dev'],
  libavformat: ['FFmpeg libavformat headers', 'libavformat-dev'],
  libturbojpeg: ['libjpeg-turbo headers', 'libturbojpeg0-dev'],
  libjpeg: ['libjpeg-turbo libjpeg headers', 'libjpeg62-turbo-dev'],
};
// Names that CMake reports when a package configuration or module is missing.
const CMAKE_NAMES = {
  'libjpeg-turbo': MODULES.libturbojpeg,
  nlohmann_json: ['nlohmann-json headers', 'nlohmann-json3-dev'],
  libv4lconvert: ['libv4l headers', 'libv4l-dev'],
  libv4l2: ['libv4l headers', 'libv4l-dev'],
  libudev: ['libudev headers', 'libudev-dev'],
  ...MODULES,
};

// Build tools and development packages that are not there: [what, Debian package] pairs.
function missingForBuild() {
  const missing = [];
  if (!runs('cmake', ['--version'])) missing.push(['cmake 3.18 or later', 'cmake']);
  const cxx = process.env.CXX || firstCommand(['c++', 'g++', 'clang++']);
  const cc = process.env.CC || firstCommand(['cc', 'gcc', 'clang']);
  if (!cxx || !cc) missing.push(['a C and C++17 compiler', 'build-essential']);
  const generator = process.env.CMAKE_GENERATOR || '';
  if (/ninja/i.test(generator) ? !runs('ninja', ['--version']) : !runs('make', ['--version'])) {
    missing.push([/ninja/i.test(generator) ? 'ninja' : 'make', /ninja/i.test(generator) ? 'ninja-build' : 'make']);
  }
  if (!runs('pkg-config', ['--version'])) {
    missing.push(['pkg-config', 'pkg-config']);
    return missing;
  }
  for (const [module, what] of Object.entries(MODULES)) {
    if (!runs('pkg-config', ['--exists', module])) missing.push(what);
  }
  return missing;
}

// Missing packages that a failed CMake configuration names.
function missingFromCmakeOutput(output) {
  const found = new Set();
  const patterns = [/No package '([^']+)' found/g, /provided by "([^"]+)"/g, /Could NOT find (\S+)/g,
    /The following required packages were not found:\s*\n\s*-\s*(\S+)/g];
  for (const pattern of patterns) {
    for (const match of output.matchAll(pattern)) {
      found.add(match[1].replace(/[<>=].*$/, ''));
    }
  }
  return [...found].map((name) => CMAKE_NAMES[name] || [name, null]);
}

function explainMissing(why, missing) {
  const lines = [`${why}; building from source needs what this machine lacks:`];
  for (const [what, pkg] of missing) lines.push(`  ${what}${pkg ? ` (Debian/Ubuntu package ${pkg})` : ''}`);
  const packages = [...new Set(missing.map(([, pkg]) => pkg).filter(Boolean))];
  if (packages.length) {
    lines.push(`Install them (sudo apt-get install ${packages.join(' ')}), then run npm rebuild zentri-native.`);
  }
  say(lines.join('\n'));
}

function buildFromSource(why) {
  const missing = missingForBuild();
  if (missing.length) {
    explainMissing(why, missing);
    return false;
  }
  const simulators = runs('pkg-config', ['--exists', 'nlohmann_json']);
  say(`${why}; building from source (a few minutes)`);
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'zentri-native-build-'));
  try {
    const configure = spawnSync('cmake', ['-S', root, '-B', work, '-DCMAKE_BUILD_TYPE=Release',
      '-DZENTRI_BUILD_TESTS=OFF', '-DZENTRI_BUILD_BENCH=OFF',
      `-DZENTRI_BUILD_SIMULATORS=${simulators ? 'ON' : 'OFF'}`, `-DNODE_EXECUTABLE=${process.execPath}`],
    { encoding: 'utf8' });
    if (configure.status !== 0) {
      const output = `${configure.stdout || ''}\n${configure.stderr || ''}`;
      const named = missingFromCmakeOutput(output);
      if (named.length) {
        explainMissing(why, named);
      } else {
        say(`configuring the build failed:\n${output.trim()}`);
      }
      return false;
    }
    const jobs = String(Number(process.env.ZENTRI_NATIVE_BUILD_JOBS) || os.cpus().length || 1);
    const targets = simulators ? [...TARGETS, SIMULATOR_TARGET] : TARGETS;
    const build = spawnSync('cmake', ['--build', work, '-j', jobs, '--target', ...targets],
      { stdio: ['ignore', 'ignore', 'inherit'] });
    if (build.status !== 0) {
      say('the build from source failed (the compiler\'s messages are above)');
      return false;
    }
    copyPieces(work, path.join(root, 'build'), { strip: true });
    if (!simulators) say('the Dino-Lite simulator was left out (no nlohmann-json headers)');
    return true;
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
}

function main() {
  // A checkout (npm ci there runs this step too): scripts/bootstrap.sh configures and builds
  // build/, which is never touched here. The package ships neither file.
  if (fs.existsSync(path.join(root, 'scripts', 'bootstrap.sh')) || fs.existsSync(path.join(root, '.git')) ||
      fs.existsSync(path.join(root, 'build', 'CMakeCache.txt'))) {
    return 0;
  }
  let why = '--build-from-source was asked for';
  if (!forcedFromSource()) {
    const prebuild = usablePrebuild();
    if (prebuild.addon) {
      // A build from source left by an earlier install would be preferred by index.js.
      fs.rmSync(path.join(root, 'build'), { recursive: true, force: true });
      return 0;
    }
    why = prebuild.reason;
  }
  return buildFromSource(why) ? 0 : 1;
}

process.exitCode = main();
