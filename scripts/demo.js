'use strict';
// Loads the built addon and prints what it registers and what the build holds.
const fs = require('fs');
const path = require('path');

const root = path.resolve(__dirname, '..');
const buildDir = process.env.ZENTRI_NATIVE_BUILD_DIR
  ? path.resolve(process.env.ZENTRI_NATIVE_BUILD_DIR)
  : path.join(root, 'build');
const addon = require(root);

const functions = Object.keys(addon).filter((k) => typeof addon[k] === 'function');
const constants = Object.keys(addon).filter((k) => typeof addon[k] !== 'function');
console.log(`zentri-native addon: ${path.join(buildDir, 'zentri_native.node')}`);
console.log(`node ${process.version}, Node-API ${process.versions.napi}`);
console.log(`script functions (${functions.length}): ${functions.join(', ')}`);
if (constants.length) {
  console.log(`constants (${constants.length}): ${constants.join(', ')}`);
}
const shipped = ['encworker', 'libzentri.so.0', 'libcnokhwa.so', 'libdinolite.so'];
for (const name of shipped) {
  const present = fs.existsSync(path.join(buildDir, name));
  console.log(`${name}: ${present ? 'built' : 'not built yet'}`);
}
console.log(`last error: "${addon.getLastError()}"`);
