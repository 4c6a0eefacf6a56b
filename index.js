'use strict';
// Loads the native addon: from ZENTRI_NATIVE_BUILD_DIR when set, else build/ beside this file,
// else the prebuilt binary for this platform (paths.js says how it is found).
module.exports = require(require('./paths').addon);
