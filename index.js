'use strict';
// Loads the native addon from the build folder. ZENTRI_NATIVE_BUILD_DIR points at another build
// folder (for example one configured elsewhere); the default is ./build beside this file.
const path = require('path');

const buildDir = process.env.ZENTRI_NATIVE_BUILD_DIR
  ? path.resolve(process.env.ZENTRI_NATIVE_BUILD_DIR)
  : path.join(__dirname, 'build');

module.exports = require(path.join(buildDir, 'zentri_native.node'));
