'use strict';
// Output files are written under a temporary name beside their final path and moved into place
// only once they are complete, so an interrupted or failed command never leaves a file that
// looks finished. Temporary files that are still pending when the process exits are removed.
//
// An existing file is replaced only when the user says so, as ffmpeg does: -y/--overwrite
// replaces, -n/--no-overwrite never does, and without either the tool asks on a terminal and
// refuses everywhere else. "-" names standard output.
const fs = require('fs');
const os = require('os');
const path = require('path');
const readline = require('readline');
const { CliError } = require('./errors');
const { output, messages } = require('./stdio');

const pending = new Set();

process.on('exit', () => {
  for (const temp of pending) {
    try {
      fs.rmSync(temp, { force: true });
    } catch {
      // Best effort: the process is ending.
    }
  }
});

// The temporary name under which process `pid` writes `file` ("-": a file in the temporary
// folder, copied to standard output when complete). It keeps the extension, because writers
// such as the MP4 muxer pick the container from it.
function partialPath(file, pid, ext = path.extname(file)) {
  if (file === '-') return path.join(os.tmpdir(), `.zentri-stdout.${pid}.partial${ext}`);
  const full = path.resolve(file);
  return path.join(path.dirname(full), `.${path.basename(full, ext)}.${pid}.partial${ext}`);
}

// Asks on the terminal whether `file` may be replaced: true for y or yes, false for anything
// else or the end of input; Ctrl-C (a key while the terminal is in raw mode) interrupts.
function confirm(question) {
  return new Promise((resolve, reject) => {
    const rl = readline.createInterface({ input: process.stdin, output: process.stderr, terminal: true });
    let settled = false;
    rl.question(question, (answer) => {
      settled = true;
      rl.close();
      resolve(/^\s*y(es)?\s*$/i.test(answer));
    });
    rl.on('SIGINT', () => {
      settled = true;
      rl.close();
      process.stderr.write('\n');
      reject(new CliError('interrupted', 130));
    });
    rl.on('close', () => {
      if (!settled) resolve(false);
    });
  });
}

// Whether the MP4 at `target` holds any video: a fragment, or media data with something in it
// (a recording killed before its first frame holds only its header).
function holdsVideo(target) {
  let fd;
  try {
    fd = fs.openSync(target, 'r');
  } catch {
    return false;
  }
  try {
    const size = fs.fstatSync(fd).size;
    const header = Buffer.alloc(16);
    for (let offset = 0; offset + 8 <= size;) {
      if (fs.readSync(fd, header, 0, 16, offset) < 8) return false;
      let boxSize = header.readUInt32BE(0);
      const type = header.toString('latin1', 4, 8);
      let headerSize = 8;
      if (boxSize === 1) {
        boxSize = Number(header.readBigUInt64BE(8));
        headerSize = 16;
      } else if (boxSize === 0) {
        boxSize = size - offset;
      }
      if (type === 'moof' || (type === 'mdat' && Math.min(boxSize, size - offset) > headerSize)) return true;
      if (boxSize < headerSize) return false;
      offset += boxSize;
    }
    return false;
  } finally {
    fs.closeSync(fd);
  }
}

const canAsk = () => Boolean(process.stdin.isTTY && messages.isTTY);

// What the overwrite options allow: true (-y), false (-n) or undefined (ask on a terminal).
function overwriteChoice(opts) {
  if (process.env.ZENTRI_CLI_OVERWRITE === '1') return true; // answered in the launching process
  return opts.overwrite;
}

class OutputFile {
  // Use openOutput(): the checks may have to ask the user.
  constructor(file, { ext } = {}) {
    if (typeof file !== 'string' || file === '') {
      throw new CliError('no output file given');
    }
    this.shown = file;
    this.toStdout = file === '-';
    this.path = this.toStdout ? '-' : path.resolve(file);
    this.replace = false;
    if (!this.toStdout) this.checkPlace();
    this.temp = partialPath(file, process.pid, ext ?? path.extname(file));
  }

  checkPlace() {
    const dir = path.dirname(this.path);
    let dirStat;
    try {
      dirStat = fs.statSync(dir);
    } catch {
      throw new CliError(`cannot write ${this.shown}: the directory ${dir} does not exist`);
    }
    if (!dirStat.isDirectory()) {
      throw new CliError(`cannot write ${this.shown}: ${dir} is not a directory`);
    }
    try {
      fs.accessSync(dir, fs.constants.W_OK);
    } catch {
      throw new CliError(`cannot write ${this.shown}: the directory ${dir} is not writable`);
    }
  }

  exists() {
    try {
      return fs.statSync(this.path);
    } catch {
      return null;
    }
  }

  // Applies the overwrite choice to a file already at the path.
  async decide(choice) {
    if (this.toStdout) return;
    const existing = this.exists();
    if (!existing) return;
    if (existing.isDirectory()) throw new CliError(`cannot write ${this.shown}: it is a directory`);
    if (choice === true) {
      this.replace = true;
      return;
    }
    if (choice === false) throw new CliError(`${this.shown} already exists; not overwriting it (-n)`);
    if (!canAsk()) throw new CliError(`${this.shown} already exists (-y overwrites it)`);
    if (!(await confirm(`zentri: ${this.shown} already exists. Overwrite? [y/N] `))) {
      throw new CliError(`${this.shown} already exists; not overwritten`);
    }
    this.replace = true;
  }

  reserve() {
    pending.add(this.temp);
  }

  // Where a recording is written. A recording file is playable while it grows and keeps what was
  // recorded when anything goes wrong, so it is written at its own path rather than under a
  // temporary name that an ending process would remove; only standard output goes through a
  // temporary file. Without agreement to replace, the name is taken exclusively first, so a
  // file that appeared since the check is never truncated.
  recordingTarget() {
    if (this.toStdout) {
      this.reserve();
      return this.temp;
    }
    if (!this.replace) {
      try {
        fs.closeSync(fs.openSync(this.path, 'wx'));
      } catch (error) {
        if (error.code === 'EEXIST') throw new CliError(`${this.shown} already exists (-y overwrites it)`);
        throw new CliError(`cannot write ${this.shown}: ${error.code || error.message}`);
      }
    }
    return this.path;
  }

  // Ends a recording written to recordingTarget(): a file that holds frames stays (standard
  // output gets it), one without frames is removed. Returns whether frames were kept.
  finishRecording(framesWritten) {
    const target = this.toStdout ? this.temp : this.path;
    if (framesWritten < 1 || !holdsVideo(target)) {
      fs.rmSync(target, { force: true });
      pending.delete(target);
      return false;
    }
    if (this.toStdout) this.copyToStdout();
    return true;
  }

  // Writes the whole content to the temporary file and moves it into place (or, for "-",
  // writes it to standard output).
  write(bytes) {
    if (this.toStdout) {
      output.write(bytes);
      return;
    }
    this.reserve();
    try {
      fs.writeFileSync(this.temp, bytes);
    } catch (error) {
      this.discard();
      throw new CliError(`cannot write ${this.shown}: ${error.code || error.message}`);
    }
    this.commit();
  }

  // Moves the finished temporary file to the final path. Where replacing was not agreed, the
  // move never replaces a file that appeared meanwhile: the finished file is kept beside it.
  commit() {
    if (this.toStdout) {
      this.copyToStdout();
      return;
    }
    try {
      if (this.replace || !this.linkIfAbsent()) fs.renameSync(this.temp, this.path);
    } catch (error) {
      if (error.code === 'EEXIST') {
        const kept = this.keepAside();
        throw new CliError(`${this.shown} appeared while it was being written; not overwritten, the result is in ${kept}`);
      }
      this.discard();
      throw new CliError(`cannot write ${this.shown}: ${error.code || error.message}`);
    }
    pending.delete(this.temp);
  }

  // A hard link fails with EEXIST rather than replace; false where the file system has none.
  linkIfAbsent() {
    try {
      fs.linkSync(this.temp, this.path);
    } catch (error) {
      if (error.code === 'EEXIST') throw error;
      if (this.exists()) throw Object.assign(new Error('exists'), { code: 'EEXIST' });
      return false;
    }
    fs.rmSync(this.temp, { force: true });
    return true;
  }

  keepAside() {
    const ext = path.extname(this.path);
    const kept = path.join(path.dirname(this.path), `${path.basename(this.path, ext)}.${process.pid}${ext}`);
    try {
      fs.renameSync(this.temp, kept);
      pending.delete(this.temp);
      return kept;
    } catch {
      return this.temp;
    }
  }

  copyToStdout() {
    const fd = fs.openSync(this.temp, 'r');
    try {
      const chunk = Buffer.allocUnsafe(1 << 20);
      for (;;) {
        const n = fs.readSync(fd, chunk, 0, chunk.length, null);
        if (n === 0) break;
        output.write(chunk.subarray(0, n));
      }
    } finally {
      fs.closeSync(fd);
    }
    this.discard();
  }

  discard() {
    fs.rmSync(this.temp, { force: true });
    pending.delete(this.temp);
  }
}

// Checks that `file` can be written under the overwrite choice of `opts` (asking when it may)
// and returns its OutputFile. Nothing is created yet.
async function openOutput(file, opts = {}, options = {}) {
  const out = new OutputFile(file, options);
  await out.decide(overwriteChoice(opts));
  return out;
}

module.exports = { OutputFile, openOutput, partialPath, holdsVideo, overwriteChoice, canAsk };
