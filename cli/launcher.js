'use strict';
// Signals, and the recording copy of the tool.
//
// `record` runs in a copy of this process in its own session, and this process passes the
// signals on to it: the copy finalizes the MP4 on Ctrl-C or SIGTERM, and if it is killed outright
// this process removes its unfinished file, puts the terminal back (the copy's progress bar hid
// the cursor) and says so on a line of its own. (The encoder worker has a process group of its
// own, so a terminal's Ctrl-C never reaches it directly.)
const fs = require('fs');
const { spawn } = require('child_process');
const { firstLine } = require('./errors');
const { partialPath } = require('./output');
const { output, messages, writeAll } = require('./stdio');
const { TERMINAL_RESET } = require('./progress');

const INTERRUPTED = 130;

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

// Runs argv in the recording copy and resolves to its exit code. `temp` is the name the copy
// writes its unfinished file under; `replace` says the user agreed to replace the output.
function runDetached(argv, { temp, replace }) {
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
    child.on('exit', (code, signal) => {
      if (signal) {
        // Killed before it could clean up: its unfinished file is of no use, and its progress
        // bar may have left the cursor hidden in the middle of a line.
        fs.rmSync(temp(child.pid), { force: true });
        if (messages.isTTY) writeAll(2, TERMINAL_RESET);
        messages.line(`zentri: the recording process was killed by ${signal}; nothing was recorded`);
      }
      resolve(code ?? 1);
    });
  });
}

module.exports = { INTERRUPTED, interruptible, isRecordingCopy, runDetached, partialPath };
