'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { rootDir, loadAddon, tempDir } = require('./helpers');

const addon = loadAddon();

// flock(1) from util-linux: exit 0 when the lock could be taken, 1 while someone holds it.
function lockIsFree(file) {
  return spawnSync('flock', ['-n', file, 'true']).status === 0;
}

function openDescriptors() {
  return fs.readdirSync('/proc/self/fd').length;
}

test('lockFile refuses a missing or empty path', () => {
  for (const args of [[], [''], [42], [null], [{}]]) {
    assert.throws(() => addon.lockFile(...args), {
      name: 'Error',
      message: 'lockFile requires a path argument',
    });
  }
});

test('lockFile creates and locks the file; a second call sees LOCK_FILE_EXISTS', (t) => {
  const file = path.join(tempDir(t), 'app.lock');
  const before = openDescriptors();
  const fd = addon.lockFile(file);
  assert.equal(typeof fd, 'number');
  assert.ok(fd >= 0);
  assert.ok(fs.existsSync(file));
  assert.equal(fs.statSync(file).size, 0);
  assert.equal(lockIsFree(file), false);

  assert.throws(() => addon.lockFile(file), { message: 'LOCK_FILE_EXISTS' });
  assert.equal(openDescriptors(), before + 1, 'the failed call leaves no descriptor open');

  assert.equal(addon.unlockFile(fd), undefined);
  assert.equal(lockIsFree(file), true);
  assert.equal(openDescriptors(), before);
  // The file stays until the caller removes it.
  assert.ok(fs.existsSync(file));
  assert.throws(() => addon.lockFile(file), { message: 'LOCK_FILE_EXISTS' });
  fs.unlinkSync(file);
  addon.unlockFile(addon.lockFile(file));
});

test('lockFile in a missing directory reports the errno', (t) => {
  const file = path.join(tempDir(t), 'missing', 'app.lock');
  const before = openDescriptors();
  assert.throws(() => addon.lockFile(file), {
    message: `Failed to open lock file: ${file} (errno 2)`,
  });
  assert.equal(openDescriptors(), before);
});

test('a lock held by another process is seen, and released when that process exits', async (t) => {
  const file = path.join(tempDir(t), 'shared.lock');
  const holder = spawn(
    process.execPath,
    ['-e', `const z = require(${JSON.stringify(rootDir)});
            z.lockFile(${JSON.stringify(file)});
            process.stdout.write('locked\\n');
            process.stdin.on('data', () => process.exit(0));`],
    { stdio: ['pipe', 'pipe', 'inherit'] },
  );
  await new Promise((resolve, reject) => {
    holder.stdout.once('data', resolve);
    holder.once('exit', (code) => reject(new Error(`holder exited early (${code})`)));
  });
  assert.throws(() => addon.lockFile(file), { message: 'LOCK_FILE_EXISTS' });
  assert.equal(lockIsFree(file), false);

  const exited = new Promise((resolve) => holder.once('exit', resolve));
  holder.stdin.write('go\n');
  assert.equal(await exited, 0);
  assert.equal(lockIsFree(file), true);
  assert.throws(() => addon.lockFile(file), { message: 'LOCK_FILE_EXISTS' });
});

test('unlockFile never closes a descriptor that lockFile did not hand out', (t) => {
  const dir = tempDir(t);
  const other = fs.openSync(path.join(dir, 'not-a-lock'), 'w');
  const before = openDescriptors();
  for (const arg of [other, -1, 0, 1, 2, 2 ** 32 + other, NaN, '3', null, undefined, {}]) {
    assert.equal(addon.unlockFile(arg), undefined);
  }
  assert.equal(addon.unlockFile(), undefined);
  assert.equal(openDescriptors(), before);
  fs.writeSync(other, 'still open');
  fs.closeSync(other);

  // Released twice: the second call must not close whatever now has that number.
  const lockFd = addon.lockFile(path.join(dir, 'twice.lock'));
  addon.unlockFile(lockFd);
  const reused = fs.openSync(path.join(dir, 'reused'), 'w');
  addon.unlockFile(lockFd);
  fs.writeSync(reused, 'still open');
  fs.closeSync(reused);
});

// The addon is loaded first by a worker thread that then ends, so the main thread's later load
// must see the descriptors that the worker's lockFile handed out (and only those).
test('locks taken on a worker thread that ended are released on the main thread', (t) => {
  const dir = tempDir(t);
  const script = `
    const { Worker } = require('node:worker_threads');
    const { spawnSync } = require('node:child_process');
    const fs = require('node:fs');
    const root = ${JSON.stringify(rootDir)};
    const dir = ${JSON.stringify(dir)};
    const free = (file) => spawnSync('flock', ['-n', file, 'true']).status === 0;
    const isOpen = (fd) => { try { fs.fstatSync(fd); return true; } catch { return false; } };
    const inWorker = (source) => new Promise((resolve, reject) => {
      const worker = new Worker(source, { eval: true, workerData: { root, dir } });
      let message;
      worker.on('message', (m) => { message = m; });
      worker.on('error', reject);
      worker.on('exit', () => resolve(message));
    });
    (async () => {
      const first = await inWorker(\`
        const { parentPort, workerData } = require('node:worker_threads');
        const z = require(workerData.root);
        parentPort.postMessage({ lock: z.lockFile(workerData.dir + '/worker.lock') });\`);
      const out = { heldAfterWorkerEnded: !free(dir + '/worker.lock') };
      const foreign = fs.openSync(dir + '/foreign', 'w');
      const z = require(root);
      z.unlockFile(foreign);
      out.foreignStillOpen = isOpen(foreign);
      z.unlockFile(first.lock);
      out.releasedOnMain = free(dir + '/worker.lock') && !isOpen(first.lock);

      const mainLock = z.lockFile(dir + '/main.lock');
      await inWorker(\`
        const { workerData } = require('node:worker_threads');
        require(workerData.root).unlockFile(\${mainLock});\`);
      out.releasedOnWorker = free(dir + '/main.lock') && !isOpen(mainLock);
      console.log(JSON.stringify(out));
    })().catch((error) => { console.error(error); process.exitCode = 1; });`;
  const child = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', timeout: 60000 });
  assert.equal(child.status, 0, child.stderr);
  assert.deepEqual(JSON.parse(child.stdout), {
    heldAfterWorkerEnded: true,
    foreignStillOpen: true,
    releasedOnMain: true,
    releasedOnWorker: true,
  });
});
