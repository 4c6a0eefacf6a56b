'use strict';
// The tool's own output stream. bin/zentri starts the tool with the caller's standard output as
// descriptor 3 (named by ZENTRI_OUTPUT_FD) and the caller's standard error as descriptor 1, so
// whatever a loaded library prints on its standard output (libzentri announces its device count
// there) reaches the terminal or the log but never the stream a script parses. Started any other
// way (node cli/zentri.js, or main() called from a script), the output is descriptor 1.
const fs = require('fs');
const tty = require('tty');

const WAIT = new Int32Array(new SharedArrayBuffer(4));

function openDescriptor(fd) {
  try {
    fs.fstatSync(fd);
    return true;
  } catch {
    return false;
  }
}

function chooseOutput() {
  const named = Number(process.env.ZENTRI_OUTPUT_FD);
  // Not handed on to the processes this one starts; the recording copy is given it explicitly.
  delete process.env.ZENTRI_OUTPUT_FD;
  return Number.isInteger(named) && named > 2 && openDescriptor(named) ? named : 1;
}

const outputFd = chooseOutput();
let outputClosed = false;

// Writes every byte, waiting out a full non-blocking pipe. A reader that went away (`| head`)
// ends the output quietly: the command still finishes what it does (a recording is finalized).
function writeAll(fd, data) {
  const bytes = typeof data === 'string' ? Buffer.from(data)
    : Buffer.from(data.buffer, data.byteOffset, data.byteLength);
  let offset = 0;
  while (offset < bytes.length) {
    try {
      offset += fs.writeSync(fd, bytes, offset, bytes.length - offset);
    } catch (error) {
      if (error.code === 'EAGAIN') {
        Atomics.wait(WAIT, 0, 0, 5);
      } else if (error.code === 'EPIPE') {
        return false;
      } else {
        throw error;
      }
    }
  }
  return true;
}

const output = {
  fd: outputFd,
  isTTY: tty.isatty(outputFd),
  // Raw bytes (an image or a video written to "-").
  write(bytes) {
    if (!outputClosed && !writeAll(outputFd, bytes)) outputClosed = true;
  },
  line(text = '') {
    output.write(`${text}\n`);
  },
  json(value) {
    output.write(`${JSON.stringify(value, null, 2)}\n`);
  },
};

// Messages, notes and progress: the caller's standard error.
const messages = {
  isTTY: tty.isatty(2),
  line(text) {
    writeAll(2, `${text}\n`);
  },
};

module.exports = { output, messages, writeAll };
