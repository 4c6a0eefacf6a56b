// Calls every script function of the addon the way an interface would, so that the type check
// proves the declarations accept real calls and give usable result types. The lines marked as
// expected errors must stay errors: they prove that wrong calls are rejected.
import zentri = require('../../..');

function lockAndRelease(path: string): void {
  const fd: number = zentri.lockFile(path);
  zentri.unlockFile(fd);
  const message: string = zentri.getLastError();
  void message;
}

function cameras(): void {
  const loaded: boolean = zentri.loadCameraBackend('build/libcnokhwa.so');
  zentri.loadCameraBackend();
  const backend: 'linux-v4l2' | 'directshow' | 'avfoundation' | 'none' = zentri.cameraBackend();
  const loadPath: string = zentri.cameraLoadPath();
  const init: number = zentri.cameraInitialize();
  const auth: boolean = zentri.cameraHasVideoCaptureAuth() === zentri.STATUS_AUTHORIZED;
  zentri.cameraAskVideoCaptureAuth();
  const count: number = zentri.cameraDevicesCount();
  for (let i = 0; i < count; i++) {
    const label = `${zentri.cameraDeviceName(i)} ${zentri.cameraDeviceUniqueId(i)} ` +
      `${zentri.cameraDeviceModelId(i)} ${zentri.cameraDeviceType(i)}`;
    const sizes = zentri.cameraDeviceFormats(i).map((f) => `${f.type} ${f.width}x${f.height}@${f.frameRate}`);
    void label;
    void sizes;
  }
  if (zentri.cameraStartCapture(0, 1280, 720) !== zentri.RESULT_OK) return;
  zentri.cameraStartCapture(0, 0, 0, 2, false);
  const first: boolean = zentri.cameraHasFirstFrame(0) === zentri.RESULT_YES;
  const info = zentri.cameraFrameInfo(0);
  const rgb: 'rgb' = info.pixelFormat;
  const raw = zentri.cameraGrabFrame(0);
  const rawBytes: number = raw.data ? raw.data.length : 0;
  const frame = zentri.cameraGrabFrameRgba(0, 960, 540);
  const rgbaBytes: Uint8Array | null = frame.data;
  const encoded = zentri.cameraGrabEncodedFrame(0);
  if (encoded.result === 0) {
    const mime: 'image/jpeg' = encoded.mimeType;
    void mime;
  } else {
    const none: null = encoded.data;
    void none;
  }
  const pressed: number = zentri.cameraButtonPressed(0) + zentri.cameraButtonTimestamp(0);
  if (zentri.cameraHasVideoProcAmp()) {
    const range = zentri.cameraVideoProcAmpRange(0, zentri.VIDEOPROCAMP_BRIGHTNESS);
    const current = zentri.cameraVideoProcAmpGet(0, zentri.VIDEOPROCAMP_GAIN);
    zentri.cameraVideoProcAmpSet(0, zentri.VIDEOPROCAMP_GAIN, range.default + current.value,
      zentri.VIDEOPROCAMP_FLAG_MANUAL);
  }
  const constants: number[] = [zentri.VIDEOPROCAMP_CONTRAST, zentri.VIDEOPROCAMP_HUE,
    zentri.VIDEOPROCAMP_SATURATION, zentri.VIDEOPROCAMP_SHARPNESS, zentri.VIDEOPROCAMP_GAMMA,
    zentri.VIDEOPROCAMP_COLORENABLE, zentri.VIDEOPROCAMP_WHITEBALANCE,
    zentri.VIDEOPROCAMP_BACKLIGHTCOMPENSATION, zentri.VIDEOPROCAMP_FLAG_AUTO, zentri.RESULT_NO];
  const stopped: number = zentri.cameraStopCapture();
  void [loaded, backend, loadPath, init, auth, first, rgb, rawBytes, rgbaBytes, pressed, constants, stopped];
  // @ts-expect-error: the result code is a number, not a boolean
  const wrong: boolean = zentri.cameraStartCapture(0);
  void wrong;
}

function externalRecording(frames: Uint8Array[]): void {
  if (!zentri.externalRecordingAvailable()) return;
  if (zentri.externalRecordingStart('/tmp/out.mp4', 1280, 720, 30, 4_000_000) !== 0) {
    throw new Error(zentri.getLastError());
  }
  frames.forEach((pixels, i) => zentri.externalRecordingEnqueue(pixels, 1280, 720, 'rgba', i * 33_333));
  // @ts-expect-error: the layout is "rgba" or "bgra"
  zentri.externalRecordingEnqueue(frames[0], 1280, 720, 'nv12', 0);
  const finalized: boolean = zentri.externalRecordingStop() === 0;
  const status = zentri.externalRecordingStatus();
  const summary: string = `${status.encoderName}: ${status.framesWritten} written, ` +
    `${status.framesDropped} dropped in ${status.durationMs} ms, ${status.recording}`;
  void [finalized, summary];
}

function fuse(frames: Uint8Array[], width: number, height: number): Uint8Array {
  const cells = width * height;
  const field: zentri.FusionField = {
    mapWidth: width, mapHeight: height, x: new Float32Array(cells), y: new Float32Array(cells),
    confidence: new Float32Array(cells).fill(1), accepted: true,
  };
  const result = zentri.edofMultibandFuse({
    width, height, referenceIndex: 0,
    frames: frames.map((rgba) => ({ rgba, sourcePixelsPerOutputPixel: 1 })),
    fields: frames.map(() => field),
    weights: frames.map(() => new Float32Array(cells).fill(1)),
    maxThreads: 4,
  });
  const facts: string = `${result.backend} ${result.simd} ${result.threads} ${result.durationMs}`;
  void facts;
  // @ts-expect-error: frames and fields are required
  zentri.edofMultibandFuse({ width, height, referenceIndex: 0, weights: [] });
  return result.data;
}
async function zentriMicroscope(): Promise<void> {
  const loaded: { ok: boolean; path: string } = zentri.loadZentri();
  if (!loaded.ok || !zentri.zentriInit(false) || !(await zentri.zentriInitAsync())) {
    throw new Error(zentri.zentriLastError());
  }
  const devices = await zentri.zentriDevicesAsync();
  const names = devices.map((d) => `${d.index} ${d.uniqueId} ${d.name}`);
  const count: number = zentri.zentriDeviceCount();
  const label = `${zentri.zentriDeviceUniqueId(0)} ${zentri.zentriDeviceFriendlyName(0)} ${count}`;
  if (!zentri.zentriSelectDevice(0) || !(await zentri.zentriSelectDeviceAsync(0))) return;
  const selected: number = zentri.zentriGetSelectedDevice();
  const telemetry = zentri.zentriGetTelemetry(1920, 1080);
  const microns: number = telemetry.pixelInfo.ok ? telemetry.pixelInfo.micronsPerPixel : zentri.zentriGetPixelSizeMicrons();
  const status: number = zentri.zentriGetScopeStatus();
  const pixel = zentri.zentriGetPixelSizeInfo();
  const lens = zentri.zentriGetLensGroupInfo();
  const caps = zentri.zentriCapabilities();
  const focus: number = zentri.zentriGetFocusPosition();
  if (caps.focus) {
    await zentri.zentriSetFocusPositionAsync(focus + 1);
    await zentri.zentriFocusNearAsync();
    await zentri.zentriFocusFarAsync();
    await zentri.zentriTriggerAutoFocusAsync();
  }
  if (caps.led) await zentri.zentriSetLedStateAsync(zentri.zentriGetLedState() !== 1);
  const pressed: boolean = zentri.zentriIsCapturePressed();
  const version = zentri.zentriVersionInfo();
  const firmware = version ? `${version.softwareMajorVersion}.${version.softwareMinorVersion}` : 'unknown';
  const protocol = zentri.zentriProtocolVersionInfo();
  // @ts-expect-error: the version record may be null
  const product: number = zentri.zentriVersionInfo().productId;
  const disposed: boolean = zentri.zentriDispose() && (await zentri.zentriDisposeAsync());
  void [names, label, selected, microns, status, pixel.width, lens.lensGroup, pressed, firmware, protocol, product, disposed];
}
async function preview(): Promise<void> {
  if (zentri.cameraPreviewStart(0, 960, 540, 30) !== 0) return;
  const target = new Uint8Array(960 * 540 * 4);
  let sequence = 0;
  const latest = zentri.cameraPreviewGetLatest(0, sequence, target);
  if (latest.result === 0) {
    sequence = latest.sequence;
    const pixels: Uint8Array = latest.data;
    const size = `${latest.width}x${latest.height} ${latest.pixelFormat} at ${latest.producerFps} fps`;
    void [pixels, size];
  } else {
    const none: null = latest.data;
    const dropped: number = latest.droppedFrames;
    void [none, dropped];
  }
  const quality = zentri.cameraPreviewGetLatestQualityFrame(0, 0);
  if (quality.result === 0) {
    const rgb: Uint8Array = quality.data;
    void rgb;
  }
  const state: boolean = zentri.cameraPreviewIsRunning() && !zentri.cameraPreviewIsDirect();
  zentri.cameraPreviewReleaseDirectSlot(0, 0, sequence);
  zentri.cameraPreviewReleaseAllDirectSlots(0);
  if (zentri.cameraRecordingAvailable() && latest.result === 0) {
    zentri.cameraRecordingStart('/tmp/camera.mp4', latest.width, latest.height, 30, 4_000_000);
    const status = zentri.cameraRecordingStatus();
    void status.framesWritten;
    zentri.cameraRecordingStop();
  }
  if (!zentri.turboJpegAvailable() && zentri.loadTurboJpeg('/usr/lib/x86_64-linux-gnu/libturbojpeg.so.0')) {
    const jpegPath: string = zentri.turboJpegLoadPath();
    void jpegPath;
  }
  // @ts-expect-error: a camera recording needs all five arguments
  zentri.cameraRecordingStart('/tmp/camera.mp4', 960);
  zentri.cameraPreviewStop(0);
  void state;
}
async function dinoLite(): Promise<void> {
  const loaded = zentri.loadDinoLite('build/simulators/libdinolite.so');
  const report = zentri.dinoLiteSelectBackendForProductId(0x0a, loaded.path);
  if (!loaded.ok || !report.ok || !zentri.dinoLiteInit() || !(await zentri.dinoLiteInitAsync(true))) {
    throw new Error(`${zentri.dinoLiteLastError()} ${report.reason}`);
  }
  const devices = await zentri.dinoLiteDevicesAsync();
  const count: number = zentri.dinoLiteDeviceCount();
  const label = `${zentri.dinoLiteDeviceId(0)} ${zentri.dinoLiteDeviceName(0)} ${devices.length} ${count}`;
  if (!zentri.dinoLiteSelectDevice(0) || !(await zentri.dinoLiteSelectDeviceAsync(0))) return;
  const selected: number = zentri.dinoLiteGetSelectedDevice();
  const amr: number | null = zentri.dinoLiteSupportsAmr() ? zentri.dinoLiteGetAmr(0) : null;
  const fov: number | null = amr === null ? null : zentri.dinoLiteGetFovx(0, amr, 0);
  zentri.dinoLiteEnableMicrotouch(true);
  await zentri.dinoLiteEnableMicrotouchAsync(false);
  const pressed: boolean = zentri.dinoLiteMicrotouchPressed();
  const mode: number = zentri.dinoLiteToggleLed() + (await zentri.dinoLiteToggleLedAsync());
  const state = zentri.dinoLiteDebugState();
  const modes: number[] = state.ledModes;
  const cached: number | null = state.cachedAmr;
  // @ts-expect-error: a magnification may be null and cannot be used as a number unchecked
  const doubled: number = zentri.dinoLiteGetAmr(0) * 2;
  const disposed: boolean = zentri.dinoLiteDispose() && (await zentri.dinoLiteDisposeAsync());
  void [label, selected, fov, pressed, mode, modes, cached, doubled, disposed];
}

export { lockAndRelease, cameras, externalRecording, fuse, zentriMicroscope, preview, dinoLite };
