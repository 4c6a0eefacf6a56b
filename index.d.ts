// Type declarations of the zentri-native addon: every script function and constant that
// build/zentri_native.node registers, with the objects they return. Buffers that the addon
// creates are Node.js Buffers; they are declared as Uint8Array (their base class) so these
// declarations need no Node.js typings.

// ---- Shared ----

/** Message of the last recorded failure ("" when none); reading does not clear it. */
export function getLastError(): string;

/**
 * Creates `path` exclusively and takes an advisory lock on it; returns the descriptor that holds
 * the lock. Throws "LOCK_FILE_EXISTS" when the file exists (held, or left behind), and
 * "lockFile requires a path argument" or an open/flock failure message otherwise.
 */
export function lockFile(path: string): number;

/** Releases a lock taken by lockFile; the file itself stays. Other values are ignored. */
export function unlockFile(fd: number): void;

// ---- Cameras ----

/** One capture format of a camera. */
export interface CameraFormat {
  width: number;
  height: number;
  frameRate: number;
  /** Pixel type as the capture library names it ("rgb", "mjpeg", "yuyv", ...). */
  type: string;
}

/** Geometry of a camera's current frame; the sizes are -1 before the library is loaded. */
export interface CameraFrameInfo {
  width: number;
  height: number;
  bytesPerRow: number;
  dataSize: number;
  pixelFormat: 'rgb';
  planeOffsets: number[];
  planeStrides: number[];
}

/** A raw packed-RGB frame (cameraGrabFrame). */
export interface CameraRawFrame {
  width: number;
  height: number;
  bytesPerRow: number;
  pixelFormat: 'rgb';
  /** 0 on success, -10 for an invalid frame geometry, or the capture library's code. */
  result: number;
  /** The frame (a Buffer), also when the grab failed; null for an invalid geometry. */
  data: Uint8Array | null;
  /** Wall-clock milliseconds of the grab; absent for an invalid geometry. */
  timestampMs?: number;
}

/** A decimated RGBA copy of the current frame (cameraGrabFrameRgba). */
export interface CameraRgbaFrame {
  sourceWidth: number;
  sourceHeight: number;
  sourceBytesPerRow: number;
  /** 0 on success, -10 for an invalid geometry, -256 for no frame, or the library's code. */
  result: number;
  /** Packed RGBA rows (a Buffer) on success, else null. */
  data: Uint8Array | null;
  /** Present on success. */
  width?: number;
  height?: number;
  bytesPerRow?: number;
  timestampMs?: number;
}

/** A compressed camera frame; on Linux there never is one (result -256, data null). */
export type CameraEncodedFrame =
  | {
      result: 0;
      sequence: number;
      width: number;
      height: number;
      mimeType: 'image/jpeg';
      timestampMs: number;
      data: Uint8Array;
    }
  | { result: -256; data: null };

export interface VideoProcAmpRange {
  result: number;
  min: number;
  max: number;
  step: number;
  default: number;
  caps: number;
}

export interface VideoProcAmpValue {
  result: number;
  value: number;
  flags: number;
}

/**
 * Opens the camera capture library (libcnokhwa): `path`, or "libcnokhwa.so" then "cnokhwa".
 * The second and third arguments are accepted and ignored on Linux. False, with the reason in
 * getLastError(), when no candidate loads.
 */
export function loadCameraBackend(path?: string, secondaryPath?: string, flag?: boolean): boolean;
/** The path that loaded the camera library, "" before. */
export function cameraLoadPath(): string;
export function cameraBackend(): 'linux-v4l2' | 'directshow' | 'avfoundation' | 'none';
/** The library's initialise result, or -6 when it is not loaded. */
export function cameraInitialize(): number;
export function cameraHasVideoCaptureAuth(): number;
export function cameraAskVideoCaptureAuth(): void;
/** Number of cameras (real ones first, then synthetic ones); 0 when not loaded. */
export function cameraDevicesCount(): number;
export function cameraDeviceUniqueId(index?: number): string;
export function cameraDeviceModelId(index?: number): string;
export function cameraDeviceName(index?: number): string;
/** Always "" on Linux. */
export function cameraDeviceType(index?: number): string;
export function cameraDeviceFormats(index?: number): CameraFormat[];
/**
 * Starts capture at width x height (0 x 0: the camera's choice), or with a format index of
 * cameraDeviceFormats when `format` is 0 or more. 0 or a negative result code. The fifth
 * argument is ignored on Linux.
 */
export function cameraStartCapture(index?: number, width?: number, height?: number, format?: number,
  flag?: boolean): number;
/** Stops recording, the preview of that camera and its capture (-1: every camera). */
export function cameraStopCapture(index?: number): number;
/** 0 once the first frame has arrived, -256 before, or a negative error code. */
export function cameraHasFirstFrame(index?: number): number;
export function cameraFrameInfo(index?: number): CameraFrameInfo;
/** Always 0 on Linux (no hardware button). */
export function cameraButtonPressed(index?: number): number;
/** Always 0 on Linux. */
export function cameraButtonTimestamp(index?: number): number;
export function cameraGrabFrame(index?: number): CameraRawFrame;
/** The current frame decimated by a whole step to fit maxWidth x maxHeight (default 960 x 540). */
export function cameraGrabFrameRgba(index?: number, maxWidth?: number, maxHeight?: number): CameraRgbaFrame;
export function cameraGrabEncodedFrame(index?: number): CameraEncodedFrame;
/** Always false on Linux. */
export function cameraHasVideoProcAmp(): boolean;
/** Throws TypeError "Expected (deviceIndex, property)" with fewer arguments; result -9 on Linux. */
export function cameraVideoProcAmpRange(deviceIndex: number, property: number): VideoProcAmpRange;
export function cameraVideoProcAmpGet(deviceIndex: number, property: number): VideoProcAmpValue;
export function cameraVideoProcAmpSet(deviceIndex: number, property: number, value: number,
  flags: number): { result: number };

export const VIDEOPROCAMP_BRIGHTNESS: 0;
export const VIDEOPROCAMP_CONTRAST: 1;
export const VIDEOPROCAMP_HUE: 2;
export const VIDEOPROCAMP_SATURATION: 3;
export const VIDEOPROCAMP_SHARPNESS: 4;
export const VIDEOPROCAMP_GAMMA: 5;
export const VIDEOPROCAMP_COLORENABLE: 6;
export const VIDEOPROCAMP_WHITEBALANCE: 7;
export const VIDEOPROCAMP_BACKLIGHTCOMPENSATION: 8;
export const VIDEOPROCAMP_GAIN: 9;
export const VIDEOPROCAMP_FLAG_AUTO: 1;
export const VIDEOPROCAMP_FLAG_MANUAL: 2;
export const RESULT_OK: 0;
export const RESULT_YES: 0;
export const RESULT_NO: -256;
export const STATUS_AUTHORIZED: 0;

// ---- Camera preview ----

/** Producer statistics that every cameraPreviewGetLatest answer ends with. */
export interface PreviewStatistics {
  /** Sequence number of the newest produced frame (0 before the first). */
  sequence: number;
  droppedFrames: number;
  /** Result of the producer's latest library call: 0, -256 before the first frame, -5 stopped. */
  lastResult: number;
  /** Frames per second over the last second, to one decimal. */
  producerFps: number;
  producedFrames: number;
}

/** A preview frame newer than the sequence the caller passed. */
export interface PreviewFrame {
  result: 0;
  sequence: number;
  width: number;
  height: number;
  bytesPerRow: number;
  pixelFormat: 'rgba' | 'rgb' | 'bgra' | 'nv12' | 'yuy2' | 'i420' | 'uyvy';
  planeOffsets: number[];
  planeStrides: number[];
  sourceWidth: number;
  sourceHeight: number;
  sourceBytesPerRow: number;
  timestampMs: number;
  droppedFrames: number;
  producerFps: number;
  producerMode: 'polling';
  deliveryMode: 'copy';
  producedFrames: number;
  lastResult: number;
  /** The pixels: a view of the caller's target when it was large enough, else a new Buffer. */
  data: Uint8Array;
}

/** No frame: -1 no preview for that camera, -256 nothing newer, -11 a slot size fault. */
export interface PreviewNoFrame extends PreviewStatistics {
  result: -1 | -256 | -11;
  data: null;
}

/** The preview's full-resolution copy of the camera frame, refreshed every 500 ms. */
export type QualityFrame =
  | {
      result: 0;
      sequence: number;
      width: number;
      height: number;
      bytesPerRow: number;
      /** "rgb" on Linux: packed 3 bytes per pixel. */
      pixelFormat: 'rgb' | 'bgra';
      timestampMs: number;
      data: Uint8Array;
    }
  | { result: -256; sequence: number; data: null };

/**
 * Starts the preview producer of camera `index` with frames of at most maxWidth x maxHeight
 * (default 960 x 540) at `fps` (default 30). 0, -1 for a negative index, -13 when `slots` is an
 * array (direct delivery is not available on Linux).
 */
export function cameraPreviewStart(index?: number, maxWidth?: number, maxHeight?: number, fps?: number,
  slots?: unknown): number;
/** Stops the preview of `index` (-1: any); capture keeps running. Returns 0. */
export function cameraPreviewStop(index?: number): number;
export function cameraPreviewIsRunning(): boolean;
/** Always false on Linux. */
export function cameraPreviewIsDirect(): boolean;
/** Always -1 on Linux (there are no direct slots). */
export function cameraPreviewReleaseDirectSlot(index?: number, slot?: number, sequence?: number): number;
/** Always 0 on Linux. */
export function cameraPreviewReleaseAllDirectSlots(index?: number): number;
/** The newest preview frame if its sequence is above `lastSequence`; copied into `target` when it fits. */
export function cameraPreviewGetLatest(index?: number, lastSequence?: number,
  target?: Uint8Array): PreviewFrame | PreviewNoFrame;
export function cameraPreviewGetLatestQualityFrame(deviceIndex?: number, lastSequence?: number): QualityFrame;

// ---- Camera recording ----

export function cameraRecordingAvailable(): boolean;
/**
 * Records the running preview of the camera: width and height must be the preview's output
 * size. Throws TypeError "Expected (outputPath, width, height, frameRate, bitrate)" with fewer
 * arguments; 0, -5 without a preview, or the recorder's negative code (reason in getLastError()).
 */
export function cameraRecordingStart(outputPath: string, width: number, height: number, frameRate: number,
  bitrate: number): number;
/** Drains and finalizes the MP4: 0, or -3 when finalizing failed. */
export function cameraRecordingStop(): number;
export function cameraRecordingStatus(): RecordingStatus;

// ---- JPEG runtime ----

/**
 * Opens libjpeg-turbo from exactly `path` for the decoding of compressed camera frames (which
 * Linux capture never produces). False with the reason in getLastError() on failure.
 */
export function loadTurboJpeg(path: string): boolean;
export function turboJpegAvailable(): boolean;
/** The path that loaded libjpeg-turbo, "" before. */
export function turboJpegLoadPath(): string;

// ---- Recording ----

/** State of a recorder (externalRecordingStatus, cameraRecordingStatus). */
export interface RecordingStatus {
  available: boolean;
  recording: boolean;
  outputPath: string;
  /** Why the last start, recording or finalize failed; "" when nothing failed. */
  error: string;
  /** The H.264 encoder in use, e.g. "libx264" or "h264_vaapi". */
  encoderName: string;
  encoderAcceleration: string;
  conversionBackend: string;
  accelerationFallbackReason: string;
  framesWritten: number;
  framesDropped: number;
  durationMs: number;
  width: number;
  height: number;
  frameRate: number;
  bitrate: number;
}

export function externalRecordingAvailable(): boolean;
/**
 * Starts recording pushed frames to an MP4. Throws TypeError for malformed arguments (sizes 2 to
 * 8192, frame rate 1 to 120, bit rate 100000 to 240000000); 0, -5 when already recording, or the
 * recorder's negative code with the reason in getLastError().
 */
export function externalRecordingStart(outputPath: string, width: number, height: number,
  frameRate: number, bitrate: number): number;
/** Queues one frame of width x height x 4 bytes; false when refused (queue full, not recording). */
export function externalRecordingEnqueue(pixels: Uint8Array, width: number, height: number,
  layout: 'rgba' | 'bgra', monotonicTimestampMicroseconds: number): boolean;
/** Drains the queue and finalizes the MP4: 0, or -3 when finalizing failed. */
export function externalRecordingStop(): number;
export function externalRecordingStatus(): RecordingStatus;
// ---- Focus-stack fusion ----

/** One frame of a focus stack: RGBA bytes of the output size, and its physical scale. */
export interface FusionFrame {
  /** width x height x 4 bytes; a Uint8Array (a Buffer passes, a Uint8ClampedArray does not). */
  rgba: Uint8Array;
  /** Source pixels per output pixel, finite and above 0 (1 for frames at the same scale). */
  sourcePixelsPerOutputPixel: number;
}

/**
 * Where each output position lies in a frame, on a map of mapWidth x mapHeight cells: x and y in
 * map-cell units, and the alignment's confidence (below 0.02 the frame does not contribute).
 */
export interface FusionField {
  mapWidth: number;
  mapHeight: number;
  x: Float32Array;
  y: Float32Array;
  confidence: Float32Array;
  /** Frames whose alignment was not accepted take no part (taken by truthiness). */
  accepted?: unknown;
}

export interface FusionRequest {
  /** Output size, 1 to 16384 each. */
  width: number;
  height: number;
  /** Frame that fills pixels no frame can supply. */
  referenceIndex: number;
  /** 3 to 11 frames; fields and weights have one entry per frame. */
  frames: FusionFrame[];
  fields: FusionField[];
  /** Per-frame sharpness weights on the frame's field map (any scale). */
  weights: Float32Array[];
  /** Thread budget, limited to 1 to 8; default about half the hardware threads. */
  maxThreads?: number;
}

export interface FusionResult {
  /** The fused image: width x height x 4 bytes of RGBA, alpha 255. */
  data: Uint8Array;
  backend: 'native-cpp';
  simd: 'avx2' | 'sse2';
  threads: number;
  /** Wall time of the fusion itself, in milliseconds. */
  durationMs: number;
}

/** Fuses a focus stack synchronously; throws an Error ("Native EDOF ...") for an invalid request. */
export function edofMultibandFuse(request: FusionRequest): FusionResult;

// ---- Microscopes: shared ----

/** One microscope of a device list. */
export interface MicroscopeDevice {
  index: number;
  uniqueId: string;
  name: string;
}

// ---- Dino-Lite microscopes (libdinolite) ----

export interface DinoLiteLoadResult {
  ok: boolean;
  /** The SDK backend that loaded; "none" on failure. */
  backend: string;
  path: string;
}

export interface DinoLiteBackendReport {
  ok: boolean;
  supportsAmr: boolean;
  dnxLoadAttempted: boolean;
  backend: string;
  path: string;
  reason: string;
}

export interface DinoLiteDebugState {
  loaded: boolean;
  backend: string;
  path: string;
  selectedDeviceIndex: number;
  ledState: number;
  controllableLedsCount: number;
  initialized: boolean;
  supportsAmr: boolean;
  supportsMicrotouch: boolean;
  supportsLedControl: boolean;
  amrRead: boolean;
  amrRaw: number;
  amrAccepted: boolean;
  amrUpdates: number;
  ledModes: number[];
  cachedAmr: number | null;
  cachedAmrAgeMs: number | null;
  /** Present only while not loaded: the last recorded failure. */
  error?: string;
}

/** Loads libdinolite (`path`, or the default names); the failure value is {ok: false, backend: "none", path: ""}. */
export function loadDinoLite(path?: string): DinoLiteLoadResult;
export function dinoLiteInit(force?: boolean): boolean;
/** The binding's last error text ("" when none). */
export function dinoLiteLastError(): string;
export function dinoLiteSelectBackendForProductId(productId?: number, path?: string): DinoLiteBackendReport;
export function dinoLiteInitAsync(force?: boolean): Promise<boolean>;
export function dinoLiteDeviceCount(): number;
export function dinoLiteDevicesAsync(): Promise<MicroscopeDevice[]>;
export function dinoLiteDeviceId(index?: number): string;
export function dinoLiteDeviceName(index?: number): string;
export function dinoLiteSelectDevice(index?: number): boolean;
export function dinoLiteSelectDeviceAsync(index?: number): Promise<boolean>;
/** The selected device, -1 when none or on failure. */
export function dinoLiteGetSelectedDevice(): number;
export function dinoLiteSupportsAmr(): boolean;
/** The cached magnification (at most 2 s old), null before a reading; each call asks for a fresh one. */
export function dinoLiteGetAmr(index?: number): number | null;
/** The cached horizontal field of view at magnification `amr`, null before a reading. */
export function dinoLiteGetFovx(index?: number, amr?: number, selector?: number): number | null;
export function dinoLiteEnableMicrotouch(enable?: boolean): boolean;
export function dinoLiteEnableMicrotouchAsync(enable?: boolean): Promise<boolean>;
/** True once per MicroTouch press. */
export function dinoLiteMicrotouchPressed(): boolean;
/** Switches the LED to its next mode; returns the new mode, -1 on failure. */
export function dinoLiteToggleLed(): number;
export function dinoLiteToggleLedAsync(): Promise<number>;
export function dinoLiteDebugState(): DinoLiteDebugState;
export function dinoLiteDispose(): boolean;
export function dinoLiteDisposeAsync(): Promise<boolean>;

// ---- Zentri microscopes (libzentri) ----

export interface ZentriPixelInfo {
  ok: boolean;
  fromFocusCache: boolean;
  micronsPerPixel: number;
  width: number;
  height: number;
}

export interface ZentriLensInfo {
  ok: boolean;
  lensDriver: number;
  lensGroup: number;
}

/** A telemetry sample; status and focusPosition are -1 while no fresh sample exists. */
export interface ZentriTelemetry {
  status: number;
  focusPosition: number;
  pixelInfo: ZentriPixelInfo;
  lensInfo: ZentriLensInfo;
}

export interface ZentriCapabilities {
  apiVersion: number;
  focus: boolean;
  led: boolean;
  pixelSizeInfo: boolean;
  lensGroupInfo: boolean;
}

export interface ZentriVersionInfo {
  productId: number;
  hardwareMajorVersion: number;
  hardwareMinorVersion: number;
  softwareMajorVersion: number;
  softwareMinorVersion: number;
  softwarePatchVersion: number;
}

export interface ZentriProtocolVersionInfo {
  majorVersion: number;
  minorVersion: number;
  patchVersion: number;
}

/** Loads libzentri (`path`, or "libzentri.so" then "zentri.so"); "path" is the one that loaded. */
export function loadZentri(path?: string): { ok: boolean; path: string };
export function zentriInit(force?: boolean): boolean;
export function zentriLastError(): string;
export function zentriInitAsync(force?: boolean): Promise<boolean>;
export function zentriDeviceCount(): number;
export function zentriDevicesAsync(): Promise<MicroscopeDevice[]>;
export function zentriDeviceUniqueId(index?: number): string;
export function zentriDeviceFriendlyName(index?: number): string;
export function zentriSelectDevice(index?: number): boolean;
export function zentriSelectDeviceAsync(index?: number): Promise<boolean>;
export function zentriGetSelectedDevice(): number;
/** The cached telemetry; with both sizes it first reports the camera frame size for the pixel size. */
export function zentriGetTelemetry(frameWidth?: number, frameHeight?: number): ZentriTelemetry;
export function zentriGetScopeStatus(): number;
export function zentriGetPixelSizeMicrons(): number;
export function zentriGetPixelSizeInfo(): ZentriPixelInfo;
export function zentriGetLensGroupInfo(): ZentriLensInfo;
export function zentriCapabilities(): ZentriCapabilities;
/** The cached focus position (at most 2 s old), else -1. */
export function zentriGetFocusPosition(): number;
/** 1 on, 0 off, -1 unknown. */
export function zentriGetLedState(): number;
export function zentriTriggerAutoFocusAsync(): Promise<boolean>;
export function zentriSetFocusPositionAsync(position?: number): Promise<boolean>;
export function zentriFocusNearAsync(): Promise<boolean>;
export function zentriFocusFarAsync(): Promise<boolean>;
export function zentriSetLedStateAsync(on: unknown): Promise<boolean>;
/** True once per capture-button press. */
export function zentriIsCapturePressed(): boolean;
export function zentriVersionInfo(): ZentriVersionInfo | null;
export function zentriProtocolVersionInfo(): ZentriProtocolVersionInfo | null;
export function zentriDispose(): boolean;
export function zentriDisposeAsync(): Promise<boolean>;
