'use strict';
// Output files are written under a temporary name beside their final path and renamed only once
// they are complete, so an interrupted or failed command never leaves a file that looks finished.
// Temporary files that are still pending when the process exits are removed.
const fs = require('fs');
const path = require('path');
const { CliError } = require('./errors');

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

// The temporary name under which process `pid` writes `file`.
function partialPath(file, pid) {
  const full = path.resolve(file);
  const ext = path.extname(full);
  return path.join(path.dirname(full), `.${path.basename(full, ext)}.${pid}.partial${ext}`);
}

class OutputFile {
  // Checks that `file` can be written and reserves its temporary name. The temporary name keeps
  // the extension, because writers such as the MP4 muxer pick the container from it.
  constructor(file) {
    if (typeof file !== 'string' || file === '') {
      throw new CliError('no output file given');
    }
    this.path = path.resolve(file);
    const dir = path.dirname(this.path);
    let dirStat;
    try {
      dirStat = fs.statSync(dir);
    } catch {
      throw new CliError(`cannot write ${file}: the directory ${dir} does not exist`);
    }
    if (!dirStat.isDirectory()) {
      throw new CliError(`cannot write ${file}: ${dir} is not a directory`);
    }
    try {
      fs.accessSync(dir, fs.constants.W_OK);
    } catch {
      throw new CliError(`cannot write ${file}: the directory ${dir} is not writable`);
    }
    let existing = null;
    try {
      existing = fs.statSync(this.path);
    } catch {
      // Not there yet: the usual case.
    }
    if (existing && existing.isDirectory()) {
      throw new CliError(`cannot write ${file}: it is a directory`);
    }
    this.temp = partialPath(this.path, process.pid);
    this.shown = file;
    pending.add(this.temp);
  }

  // Writes the whole content to the temporary file and moves it into place.
  write(bytes) {
    try {
      fs.writeFileSync(this.temp, bytes);
    } catch (error) {
      this.discard();
      throw new CliError(`cannot write ${this.shown}: ${error.code || error.message}`);
    }
    this.commit();
  }

  // Moves the finished temporary file to the final path.
  commit() {
    try {
      fs.renameSync(this.temp, this.path);
    } catch (error) {
      this.discard();
      throw new CliError(`cannot write ${this.shown}: ${error.code || error.message}`);
    }
    pending.delete(this.temp);
  }

  discard() {
    fs.rmSync(this.temp, { force: true });
    pending.delete(this.temp);
  }
}

module.exports = { OutputFile, partialPath };
