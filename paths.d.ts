// Type declarations of zentri-native/paths: where the package's native pieces are.

declare const paths: {
  /** The folder that holds the addon and the pieces it finds by their bare names. */
  readonly directory: string;
  /** The addon (zentri_native.node, or the prebuilt zentri_native.napi.glibc.node). */
  readonly addon: string;
  /** The software encoder program that recordings start. */
  readonly encworker: string;
  /** libcnokhwa.so, the camera capture library ("loadCameraBackend"). */
  readonly cameraLibrary: string;
  /** libzentri.so, the Zentri microscope control library ("loadZentri"). */
  readonly zentriLibrary: string;
  /** The Dino-Lite SDK simulator (not the vendor's SDK), or null when it was not built. */
  readonly dinoLiteSimulator: string | null;
  /** The udev rules that give the logged-in user access to Zentri microscopes. */
  readonly udevRules: string;
};

export = paths;
