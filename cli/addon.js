'use strict';
// Access to the addon and to the libraries built beside it. Every command asks for the script
// functions it needs by name, so that a build that lacks a module fails with one clear line
// instead of a "not a function" deep inside a command.
const fs = require('fs');
const path = require('path');
const { CliError, firstLine } = require('./errors');

const packageRoot = path.resolve(__dirname, '..');

// The package's native pieces (paths.js): the folder of the addon, with the programs and
// libraries beside it, and the Dino-Lite simulator apart from them.
function nativePaths() {
  try {
    return require('../paths');
  } catch (error) {
    throw new CliError(firstLine(error));
  }
}

function buildDir() {
  return nativePaths().directory;
}

// Path of a library or program beside the addon (libcnokhwa.so, libzentri.so, ...).
function buildFile(name) {
  return path.join(buildDir(), name);
}

// The Dino-Lite simulator, which the tool uses when no Dino-Lite library is named.
function dinoLiteSimulator() {
  const simulator = nativePaths().dinoLiteSimulator;
  if (!simulator) {
    throw new CliError('no Dino-Lite library given (--library PATH) and the simulator is not built');
  }
  return simulator;
}

let addon = null;

function loadAddon() {
  if (addon) {
    return addon;
  }
  const file = nativePaths().addon;
  if (!fs.existsSync(file)) {
    throw new CliError(`the addon is not built: ${file} is missing (run bash scripts/bootstrap.sh)`);
  }
  try {
    addon = require(packageRoot);
  } catch (error) {
    throw new CliError(`could not load the addon ${file}: ${firstLine(error)}`);
  }
  return addon;
}

// Names of `names` that the loaded addon does not offer as functions.
function missingFunctions(names) {
  const loaded = loadAddon();
  return names.filter((name) => typeof loaded[name] !== 'function');
}

// The addon, once it is known to offer every function of `names`; `feature` names what they
// belong to in the message.
function requireFunctions(feature, names) {
  const missing = missingFunctions(names);
  if (missing.length) {
    throw new CliError(`${feature} is not in this build of the addon (no ${missing[0]} function)`);
  }
  return addon;
}

// The addon's last recorded failure, for messages: "" becomes a neutral note.
function lastError() {
  const text = addon && typeof addon.getLastError === 'function' ? addon.getLastError() : '';
  return text || 'no reason recorded';
}

module.exports = { packageRoot, buildDir, buildFile, dinoLiteSimulator, loadAddon, missingFunctions,
  requireFunctions, lastError };
