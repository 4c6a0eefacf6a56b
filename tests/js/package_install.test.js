'use strict';
// The package as an application gets it: the checkout is packed (npm pack, whose prepack step
// copies the built pieces into prebuilds/), the tarball is installed with npm into a fresh
// application folder, and everything below runs from that folder with nothing of the checkout:
// require and ES module imports, the camera library and libzentri found without paths, the
// simulator refused as the default Dino-Lite SDK, a one-second recording of a synthetic camera
// through encworker, the declarations under TypeScript's Node resolution, and the zentri tool.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync, spawnSync } = require('node:child_process');
const { rootDir, tempDir } = require('./helpers');

// npm is reached through the node that runs the tests, so no PATH lookup can pick another one.
const npmCli = path.join(path.dirname(process.execPath), '..', 'lib', 'node_modules', 'npm', 'bin', 'npm-cli.js');
const npm = fs.existsSync(npmCli) ? [process.execPath, npmCli] : ['npm'];

// The environment of the application: no pointer into the checkout, no forced source build.
function appEnv(extra = {}) {
  const env = { ...process.env, LD_LIBRARY_PATH: '', DINOLITE_SIMULATOR_SCENARIO: '', ...extra };
  for (const name of ['ZENTRI_NATIVE_BUILD_DIR', 'ZENTRI_NATIVE_BUILD_FROM_SOURCE', 'npm_config_build_from_source',
    'NODE_PATH']) delete env[name];
  return env;
}

function run(command, args, options) {
  const child = spawnSync(command, args, { encoding: 'utf8', ...options });
  assert.equal(child.error, undefined, `${command} ${args.join(' ')}: ${child.error}`);
  assert.equal(child.status, 0, `${command} ${args.join(' ')} exited ${child.status}:\n${child.stdout}\n${child.stderr}`);
  return child;
}

// Runs a CommonJS script in the application folder and returns what it prints as JSON.
function inApp(app, script, env = {}) {
  const child = run(process.execPath, ['-e', script], { cwd: app, timeout: 120_000, env: appEnv(env) });
  return JSON.parse(child.stdout.trim().split('\n').pop());
}

test('the packed package installs into an application and works there without the checkout', (t) => {
  const work = tempDir(t, 'zentri-package-');
  const packed = run(npm[0], [...npm.slice(1), 'pack', '--json', '--pack-destination', work],
    { cwd: rootDir, timeout: 900_000, env: appEnv() });
  const [{ filename }] = JSON.parse(packed.stdout.slice(packed.stdout.indexOf('[')));
  const tarball = path.join(work, filename);

  const app = path.join(work, 'app');
  fs.mkdirSync(app);
  fs.writeFileSync(path.join(app, 'package.json'), JSON.stringify({
    name: 'microscope-app', version: '1.0.0', private: true, allowScripts: { 'zentri-native': true },
  }));
  // The npm cache that bootstrap's npm ci filled serves the dependencies.
  run(npm[0], [...npm.slice(1), 'install', '--no-audit', '--no-fund', '--prefer-offline', tarball],
    { cwd: app, timeout: 900_000, env: appEnv() });

  const pkg = path.join(app, 'node_modules', 'zentri-native');
  for (const absent of ['tests', 'bench', 'build', 'scripts/bootstrap.sh', 'package-lock.json']) {
    assert.equal(fs.existsSync(path.join(pkg, absent)), false, `${absent} is not shipped`);
  }
  const prebuilt = path.join(pkg, 'prebuilds', `${process.platform}-${process.arch}`);
  assert.deepEqual(fs.readdirSync(prebuilt).sort(), ['encworker', 'libcnokhwa.so', 'libzentri.so', 'libzentri.so.0',
    'simulators', 'zentri_native.napi.glibc.node']);

  const out = inApp(app, `
    const fs = require('fs');
    const path = require('path');
    const z = require('zentri-native');
    const paths = require('zentri-native/paths');
    const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
    const until = async (what, fn) => {
      for (let i = 0; i < 600; i++) { const v = fn(); if (v) return v; await sleep(50); }
      throw new Error('timed out waiting for ' + what);
    };
    (async () => {
      const out = { resolved: require.resolve('zentri-native'), names: Object.keys(z).length, paths };
      out.camera = [z.loadCameraBackend(), z.cameraLoadPath()];
      out.zentri = z.loadZentri();
      out.dinoLite = z.loadDinoLite();
      out.simulator = z.loadDinoLite(paths.dinoLiteSimulator).ok;

      const index = z.cameraDevicesCount() - 1;
      if (z.cameraStartCapture(index, 640, 480) !== 0) throw new Error('capture: ' + z.getLastError());
      if (z.cameraPreviewStart(index, 320, 240, 30) !== 0) throw new Error('preview');
      const frame = await until('a preview frame', () => { const f = z.cameraPreviewGetLatest(index); return f.result === 0 && f; });
      const file = path.join(process.cwd(), 'one-second.mp4');
      out.start = z.cameraRecordingStart(file, frame.width, frame.height, 30, 1000000);
      if (out.start !== 0) throw new Error('recording: ' + z.getLastError());
      await sleep(1000);
      out.stop = z.cameraRecordingStop();
      const status = z.cameraRecordingStatus();
      out.recording = { encoder: status.encoderName, error: status.error, written: status.framesWritten, file,
        width: frame.width, height: frame.height };
      z.cameraStopCapture();
      // Every file this process has mapped (the addon, the libraries it opened).
      out.mapped = [...new Set(fs.readFileSync('/proc/self/maps', 'utf8').split('\\n')
        .map((line) => line.split(/\\s+/)[5]).filter((p) => p && p.startsWith('/')))];
      console.log(JSON.stringify(out));
    })().catch((error) => { console.error(error); process.exit(1); });`, { CNOKHWA_SYNTHETIC_CAMERAS: '1' });

  assert.equal(out.resolved, path.join(pkg, 'index.js'));
  assert.equal(out.names, 117);
  assert.equal(out.paths.directory, prebuilt);
  assert.equal(out.paths.dinoLiteSimulator, path.join(prebuilt, 'simulators', 'libdinolite.so'));
  assert.deepEqual(out.camera, [true, 'libcnokhwa.so']);
  assert.deepEqual(out.zentri, { ok: true, path: 'libzentri.so' });
  assert.deepEqual(out.dinoLite, { ok: false, backend: 'none', path: '' });
  assert.equal(out.simulator, true, 'the simulator still loads by its path');
  assert.deepEqual([out.start, out.stop, out.recording.encoder, out.recording.error], [0, 0, 'libx264', '']);
  assert.ok(out.recording.written > 0);
  for (const file of ['zentri_native.napi.glibc.node', 'libcnokhwa.so', 'libzentri.so']) {
    assert.ok(out.mapped.includes(path.join(prebuilt, file)), `${file} mapped from the application`);
  }
  assert.deepEqual(out.mapped.filter((file) => file.startsWith(rootDir + path.sep)), [], 'nothing of the checkout');

  const probe = JSON.parse(execFileSync('ffprobe', ['-v', 'error', '-show_streams', '-show_format', '-of', 'json',
    out.recording.file], { encoding: 'utf8' }));
  assert.equal(probe.streams.length, 1);
  assert.equal(probe.streams[0].codec_name, 'h264');
  assert.deepEqual([probe.streams[0].width, probe.streams[0].height], [out.recording.width, out.recording.height]);
  const seconds = Number(probe.format.duration);
  assert.ok(seconds > 0.5 && seconds < 2.5, `${seconds} s`);

  const esm = run(process.execPath, ['--input-type=module', '-e', `
    import { getLastError, cameraPreviewStart, RESULT_OK } from 'zentri-native';
    import zentri from 'zentri-native';
    import paths from 'zentri-native/paths';
    console.log(JSON.stringify([typeof getLastError, cameraPreviewStart === zentri.cameraPreviewStart, RESULT_OK,
      getLastError(), paths.addon]));`], { cwd: app, timeout: 60_000, env: appEnv() });
  assert.deepEqual(JSON.parse(esm.stdout), ['function', true, 0, '', path.join(prebuilt, 'zentri_native.napi.glibc.node')]);

  // The declarations, as an ES module application under TypeScript's Node resolution sees them.
  fs.writeFileSync(path.join(app, 'check.mts'), `
    import { getLastError, cameraPreviewStart, lockFile } from 'zentri-native';
    import zentri from 'zentri-native';
    import paths from 'zentri-native/paths';
    const message: string = getLastError();
    const result: number = cameraPreviewStart(0, 960, 540, 30);
    const fd: number = zentri.lockFile('/tmp/x.lock') + lockFile.length;
    const simulator: string | null = paths.dinoLiteSimulator;
    // @ts-expect-error the addon has no such function
    zentri.noSuchFunction();
    export { message, result, fd, simulator };`);
  fs.writeFileSync(path.join(app, 'tsconfig.json'), JSON.stringify({
    compilerOptions: { strict: true, noEmit: true, module: 'nodenext', moduleResolution: 'nodenext', target: 'es2022',
      types: [], skipLibCheck: false },
    files: ['check.mts'],
  }));
  run(process.execPath, [path.join(rootDir, 'node_modules', 'typescript', 'bin', 'tsc'), '-p', app],
    { cwd: app, timeout: 120_000 });

  const cameras = run(path.join(app, 'node_modules', '.bin', 'zentri'), ['cameras', '--synthetic', '--json'],
    { cwd: app, timeout: 60_000, env: appEnv() });
  assert.ok(JSON.parse(cameras.stdout).length >= 1);
});
