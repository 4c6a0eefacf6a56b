'use strict';
// The Dino-Lite LED mode this tool last set on each microscope, kept between runs. The SDK
// cannot read a microscope's LED mode, and selecting a microscope (which every command does)
// switches it to the preferred mode; remembering the mode lets each command put it back, so
// that stepping through the modes from the shell starts where the last run left off.
// Kept in $XDG_STATE_HOME/zentri (else ~/.local/state/zentri), one small JSON file.
const fs = require('fs');
const os = require('os');
const path = require('path');

function stateFile() {
  const base = process.env.XDG_STATE_HOME || path.join(os.homedir(), '.local', 'state');
  return path.join(base, 'zentri', 'dinolite-led.json');
}

function readAll() {
  try {
    const data = JSON.parse(fs.readFileSync(stateFile(), 'utf8'));
    return data && typeof data === 'object' && !Array.isArray(data) ? data : {};
  } catch {
    return {}; // none yet, unreadable or damaged: nothing remembered
  }
}

// The remembered mode of the microscope `id`, or null.
function rememberedMode(id) {
  const mode = readAll()[id];
  return Number.isInteger(mode) ? mode : null;
}

// Remembers `mode` for `id`; false when the state cannot be written (the change itself stands).
function rememberMode(id, mode) {
  const file = stateFile();
  try {
    fs.mkdirSync(path.dirname(file), { recursive: true });
    const all = readAll();
    all[id] = mode;
    const temp = `${file}.${process.pid}.tmp`;
    fs.writeFileSync(temp, `${JSON.stringify(all, null, 2)}\n`);
    fs.renameSync(temp, file);
    return true;
  } catch {
    return false;
  }
}

module.exports = { stateFile, rememberedMode, rememberMode };
