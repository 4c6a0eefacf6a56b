'use strict';
// Signals, and the recording copy of the tool.
//
// `record` runs in a copy of this process in its own session, and this process passes the
// signals on to it: the copy finalizes the MP4 on Ctrl-C or SIGTERM. If it is killed outright,
// the encoder worker still finishes the file with what was recorded (it sees its connection
// close); this process waits for that, puts the terminal back (the copy's progress bar hid the
// cursor) and says so on a line of its own. (The encoder worker has a process group of its
// own, so a terminal's Ctrl-C never reaches it directly.)
const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');
const { firstLine } = require('./errors');
const { partialPath, holdsVideo } = require('./output');
const { output, messages, writeAll } = require('./stdio');
const { TERMINAL_RESET } = require('./progress');

const INTERRUPTED = 130;
// How long a killed copy's encoder worker may take to finish the file before this process
// reports what is there (the worker goes on either way).
const WORKER_FINISH_MS = 30_000;

// Whether an encoder worker is still writing `target` (its first argument is the output path).
function workerWriting(target) {
  for (const pid of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(pid)) continue;
    try {
      const args = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').split('\0');
      if (path.basename(args[0]) === 'encworker' && args[1] === target) return true;
    } catch {
      // Gone meanwhile.
    }
  }
  return false;
}

async function waitForWorker(target) {
  const deadline = Date.now() + WORKER_FINISH_MS;
  while (workerWriting(target) && Date.now() < deadline) {
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

// After the copy was killed: the recording file (or, for standard output, the copy's temporary
// file, which is then written there) keeps what was recorded; one without frames is removed.
async function keepKilledRecording(file, ext, pid) {
  const target = file === '-' ? partialPath(file, pid, ext) : path.resolve(file);
  await waitForWorker(target);
  if (!holdsVideo(target)) {
    fs.rmSync(target, { force: true });
    return 'nothing was recorded';
  }
  if (file !== '-') return `${file} keeps what was recorded until then`;
  const fd = fs.openSync(target, 'r');
  try {
    const chunk = Buffer.allocUnsafe(1 << 20);
    for (let n; (n = fs.readSync(fd, chunk, 0, chunk.length, null)) > 0;) output.write(chunk.subarray(0, n));
  } finally {
    fs.closeSync(fd);
    fs.rmSync(target, { force: true });
  }
  return 'standard output got what was recorded until then';
}

// Ctrl-C and SIGTERM ask the running command to stop; a second one ends the process at once
// (the exit handlers still remove unfinished output files and restore the terminal).
function interruptible() {
  const stop = { requested: false };
  const onSignal = () => {
    if (stop.requested) process.exit(INTERRUPTED);
    stop.requested = true;
  };
  process.removeAllListeners('SIGINT');
  process.removeAllListeners('SIGTERM');
  process.on('SIGINT', onSignal);
  process.on('SIGTERM', onSignal);
  // The recording copy stops, and finalizes, when the process that started it is gone, however
  // that ended.
  if (process.channel) {
    process.channel.unref();
    process.on('disconnect', () => {
      stop.requested = true;
    });
  }
  return stop;
}

const isRecordingCopy = () => process.env.ZENTRI_CLI_DETACHED === '1';

// Runs argv in the recording copy and resolves to its exit code. `file` is the output as given
// and `ext` its extension; `replace` says the user agreed to replace the output.
function runDetached(argv, { file, ext, replace }) {
  return new Promise((resolve) => {
    const env = { ...process.env, ZENTRI_CLI_DETACHED: '1', ZENTRI_OUTPUT_FD: '3' };
    if (replace) env.ZENTRI_CLI_OVERWRITE = '1';
    // Descriptor 1 of the copy is standard error, as for this process: what its libraries print
    // stays off the output, which is descriptor 3. The IPC channel tells the copy when this
    // process is gone.
    const child = spawn(process.execPath, [...process.execArgv, ...argv.slice(1)], {
      detached: true, stdio: [0, 2, 2, output.fd, 'ipc'], env,
    });
    const forward = (signal) => () => {
      try {
        process.kill(child.pid, signal);
      } catch {
        // Already gone.
      }
    };
    process.removeAllListeners('SIGINT');
    process.removeAllListeners('SIGTERM');
    process.on('SIGINT', forward('SIGINT'));
    process.on('SIGTERM', forward('SIGTERM'));
    process.on('SIGHUP', forward('SIGTERM'));
    process.on('SIGQUIT', forward('SIGTERM'));
    child.on('error', (error) => {
      messages.line(`zentri: could not start the recording process: ${firstLine(error)}`);
      resolve(1);
    });
    child.on('exit', async (code, signal) => {
      if (signal) {
        // Killed before it could finish: its progress bar may have left the cursor hidden in the
        // middle of a line.
        let outcome;
        try {
          outcome = await keepKilledRecording(file, ext, child.pid);
        } catch (error) {
          outcome = `its file could not be checked: ${firstLine(error)}`;
        }
        if (messages.isTTY) writeAll(2, TERMINAL_RESET);
        messages.line(`zentri: the recording process was killed by ${signal}; ${outcome}`);
      }
      resolve(code ?? 1);
    });
  });
}

module.exports = { INTERRUPTED, interruptible, isRecordingCopy, runDetached, partialPath };
