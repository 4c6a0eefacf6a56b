'use strict';
// Progress of a long command, always on standard error so standard output keeps only results.
// On a terminal it is a bar redrawn in place; anywhere else (a pipe, a log, CI) it is one plain
// line per second, so a script's log shows the command advancing.
const cliProgress = require('cli-progress');
const { messages, writeAll } = require('./stdio');

// What puts a terminal back after a progress bar: the start of a clean line, the cursor shown,
// line wrap on. Harmless when nothing had changed them.
const TERMINAL_RESET = '\r\x1b[2K\x1b[?25h\x1b[?7h';

let activeBars = 0;

process.on('exit', () => {
  // A bar still shown when the process ends (process.exit() on a second Ctrl-C, a failure).
  if (activeBars > 0 && messages.isTTY) writeAll(2, TERMINAL_RESET);
});

class Progress {
  // format: the bar's cli-progress format; plain(value, fields): the text of one plain line.
  constructor({ total, format, plain, tty = messages.isTTY }) {
    this.total = total;
    this.plain = plain;
    this.tty = tty;
    this.lastSecond = 0;
    this.bar = null;
    if (tty) {
      // linewrap: true keeps the terminal's wrap mode and trims the bar to the width instead.
      this.bar = new cliProgress.SingleBar({ format, hideCursor: true, clearOnComplete: true, linewrap: true,
        stream: process.stderr }, cliProgress.Presets.shades_classic);
    }
  }

  start(fields) {
    if (!this.bar) return;
    this.bar.start(this.total, 0, fields);
    activeBars++;
  }

  update(value, fields) {
    if (this.bar) {
      this.bar.update(value, fields);
      return;
    }
    const second = Math.floor(value);
    if (second > this.lastSecond) {
      this.lastSecond = second;
      messages.line(this.plain(second, fields));
    }
  }

  stop() {
    if (!this.bar) return;
    this.bar.stop();
    this.bar = null;
    activeBars--;
  }
}

module.exports = { Progress, TERMINAL_RESET };
