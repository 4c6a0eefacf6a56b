// ES module entry: the addon's script functions and constants as named exports, and the
// addon itself as the default export. Node cannot see the names of a native module's exports
// from ESM, so they are listed here, in the addon's order (a test compares them with the addon).
import { createRequire } from 'node:module';

const addon = createRequire(import.meta.url)('./index.js');

export default addon;
export const {
  getLastError, lockFile, unlockFile, loadCameraBackend, loadTurboJpeg, turboJpegAvailable,
  turboJpegLoadPath, cameraLoadPath, cameraBackend, cameraInitialize, cameraHasVideoCaptureAuth,
  cameraAskVideoCaptureAuth, cameraDevicesCount, cameraDeviceUniqueId, cameraDeviceModelId,
  cameraDeviceName, cameraDeviceType, cameraDeviceFormats, cameraStartCapture, cameraStopCapture,
  cameraHasFirstFrame, cameraFrameInfo, cameraButtonPressed, cameraButtonTimestamp, cameraGrabFrame,
  cameraGrabFrameRgba, cameraGrabEncodedFrame, cameraPreviewStart, cameraPreviewStop,
  cameraPreviewIsRunning, cameraPreviewIsDirect, cameraPreviewReleaseDirectSlot,
  cameraPreviewReleaseAllDirectSlots, cameraPreviewGetLatest, cameraPreviewGetLatestQualityFrame,
  cameraRecordingAvailable, cameraRecordingStart, cameraRecordingStop, cameraRecordingStatus,
  cameraHasVideoProcAmp, cameraVideoProcAmpRange, cameraVideoProcAmpGet, cameraVideoProcAmpSet,
  VIDEOPROCAMP_BRIGHTNESS, VIDEOPROCAMP_CONTRAST, VIDEOPROCAMP_HUE, VIDEOPROCAMP_SATURATION,
  VIDEOPROCAMP_SHARPNESS, VIDEOPROCAMP_GAMMA, VIDEOPROCAMP_COLORENABLE, VIDEOPROCAMP_WHITEBALANCE,
  VIDEOPROCAMP_BACKLIGHTCOMPENSATION, VIDEOPROCAMP_GAIN, VIDEOPROCAMP_FLAG_AUTO,
  VIDEOPROCAMP_FLAG_MANUAL, RESULT_OK, RESULT_YES, RESULT_NO, STATUS_AUTHORIZED,
  externalRecordingAvailable, externalRecordingStart, externalRecordingEnqueue,
  externalRecordingStop, externalRecordingStatus, edofMultibandFuse, loadDinoLite, dinoLiteInit,
  dinoLiteLastError, dinoLiteSelectBackendForProductId, dinoLiteInitAsync, dinoLiteDeviceCount,
  dinoLiteDevicesAsync, dinoLiteDeviceId, dinoLiteDeviceName, dinoLiteSelectDevice,
  dinoLiteSelectDeviceAsync, dinoLiteGetSelectedDevice, dinoLiteSupportsAmr, dinoLiteGetAmr,
  dinoLiteGetFovx, dinoLiteEnableMicrotouch, dinoLiteEnableMicrotouchAsync,
  dinoLiteMicrotouchPressed, dinoLiteToggleLed, dinoLiteToggleLedAsync, dinoLiteDebugState,
  dinoLiteDispose, dinoLiteDisposeAsync, loadZentri, zentriInit, zentriLastError, zentriInitAsync,
  zentriDeviceCount, zentriDevicesAsync, zentriDeviceUniqueId, zentriDeviceFriendlyName,
  zentriSelectDevice, zentriSelectDeviceAsync, zentriGetSelectedDevice, zentriGetTelemetry,
  zentriGetScopeStatus, zentriGetPixelSizeMicrons, zentriGetPixelSizeInfo, zentriGetLensGroupInfo,
  zentriCapabilities, zentriGetFocusPosition, zentriGetLedState, zentriTriggerAutoFocusAsync,
  zentriSetFocusPositionAsync, zentriFocusNearAsync, zentriFocusFarAsync, zentriSetLedStateAsync,
  zentriIsCapturePressed, zentriVersionInfo, zentriProtocolVersionInfo, zentriDispose,
  zentriDisposeAsync,
} = addon;
