'use strict';
// Where the package's native pieces are, without loading any of them: the addon, the encoder
// program and the two libraries that ship beside it, and the Dino-Lite simulator, which ships in
// a folder of its own so that no bare "libdinolite.so" search can find it.
//
// The addon is looked for, in this order:
//   1. the folder named by ZENTRI_NATIVE_BUILD_DIR (another build tree);
//   2. build/ beside this file (a checkout after scripts/bootstrap.sh, or a package built from
//      source when it was installed);
//   3. the prebuilt binaries in prebuilds/<platform>-<arch>/, chosen by node-gyp-build.
const fs = require('fs');
const path = require('path');

const ADDON_FILE = 'zentri_native.node';

// Inside an Electron app packed into app.asar, programs and libraries can only run from the
// app.asar.unpacked copy (asarUnpack); the addon's own path is redirected there by Electron, but
// the paths handed to posix_spawn or dlopen are not.
function unpacked(file) {
  const outside = file.replace(/\.asar([\\/])/, '.asar.unpacked$1');
  return outside !== file && fs.existsSync(outside) ? outside : file;
}

function findAddon() {
  if (process.env.ZENTRI_NATIVE_BUILD_DIR) {
    return path.join(path.resolve(process.env.ZENTRI_NATIVE_BUILD_DIR), ADDON_FILE);
  }
  const built = path.join(__dirname, 'build', ADDON_FILE);
  if (fs.existsSync(built)) {
    return built;
  }
  try {
    return require('node-gyp-build').path(__dirname);
  } catch (error) {
    const reason = String(error && error.message ? error.message : error).split('\n')[0];
    throw new Error(
      `zentri-native: no native build found (${reason}). In an application, allow the package's ` +
        'install script (allowScripts in package.json) and run npm rebuild zentri-native, which builds it ' +
        'from source; in a checkout, run bash scripts/bootstrap.sh');
  }
}

const addon = unpacked(findAddon());
const directory = path.dirname(addon);

function optional(file) {
  return fs.existsSync(file) ? file : null;
}

module.exports = {
  // The folder that holds the addon and the pieces it finds by their bare names.
  directory,
  addon,
  encworker: unpacked(path.join(directory, 'encworker')),
  cameraLibrary: unpacked(path.join(directory, 'libcnokhwa.so')),
  zentriLibrary: unpacked(path.join(directory, 'libzentri.so')),
  // The Dino-Lite SDK simulator (not the vendor's SDK), or null when it was not built.
  dinoLiteSimulator: optional(unpacked(path.join(directory, 'simulators', 'libdinolite.so'))),
  // The udev rules that give the logged-in user access to Zentri microscopes.
  udevRules: path.join(__dirname, 'udev', '70-zentri-microscopes.rules'),
};
