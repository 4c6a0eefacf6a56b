// Registration only: the camera functions and constants in the order that scripts see them.
#include "camera/camera.h"
#include "core/registration.h"

namespace zentri_native {

void RegisterCamera(Napi::Env env, Napi::Object exports) {
  RegisterFunction<LoadCameraBackend>(env, exports, "loadCameraBackend");
  RegisterFunction<LoadTurboJpeg>(env, exports, "loadTurboJpeg");
  RegisterFunction<TurboJpegAvailable>(env, exports, "turboJpegAvailable");
  RegisterFunction<TurboJpegLoadPath>(env, exports, "turboJpegLoadPath");
  RegisterFunction<CameraLoadPath>(env, exports, "cameraLoadPath");
  RegisterFunction<CameraBackend>(env, exports, "cameraBackend");
  RegisterFunction<CameraInitialize>(env, exports, "cameraInitialize");
  RegisterFunction<CameraHasVideoCaptureAuth>(env, exports, "cameraHasVideoCaptureAuth");
  RegisterFunction<CameraAskVideoCaptureAuth>(env, exports, "cameraAskVideoCaptureAuth");
  RegisterFunction<CameraDevicesCount>(env, exports, "cameraDevicesCount");
  RegisterFunction<CameraDeviceUniqueId>(env, exports, "cameraDeviceUniqueId");
  RegisterFunction<CameraDeviceModelId>(env, exports, "cameraDeviceModelId");
  RegisterFunction<CameraDeviceName>(env, exports, "cameraDeviceName");
  RegisterFunction<CameraDeviceType>(env, exports, "cameraDeviceType");
  RegisterFunction<CameraDeviceFormats>(env, exports, "cameraDeviceFormats");
  RegisterFunction<CameraStartCapture>(env, exports, "cameraStartCapture");
  RegisterFunction<CameraStopCapture>(env, exports, "cameraStopCapture");
  RegisterFunction<CameraHasFirstFrame>(env, exports, "cameraHasFirstFrame");
  RegisterFunction<CameraFrameInfo>(env, exports, "cameraFrameInfo");
  RegisterFunction<CameraButtonPressed>(env, exports, "cameraButtonPressed");
  RegisterFunction<CameraButtonTimestamp>(env, exports, "cameraButtonTimestamp");
  RegisterFunction<CameraGrabFrame>(env, exports, "cameraGrabFrame");
  RegisterFunction<CameraGrabFrameRgba>(env, exports, "cameraGrabFrameRgba");
  RegisterFunction<CameraGrabEncodedFrame>(env, exports, "cameraGrabEncodedFrame");
  RegisterFunction<CameraPreviewStart>(env, exports, "cameraPreviewStart");
  RegisterFunction<CameraPreviewStop>(env, exports, "cameraPreviewStop");
  RegisterFunction<CameraPreviewIsRunning>(env, exports, "cameraPreviewIsRunning");
  RegisterFunction<CameraPreviewIsDirect>(env, exports, "cameraPreviewIsDirect");
  RegisterFunction<CameraPreviewReleaseDirectSlot>(env, exports, "cameraPreviewReleaseDirectSlot");
  RegisterFunction<CameraPreviewReleaseAllDirectSlots>(env, exports,
                                                       "cameraPreviewReleaseAllDirectSlots");
  RegisterFunction<CameraPreviewGetLatest>(env, exports, "cameraPreviewGetLatest");
  RegisterFunction<CameraPreviewGetLatestQualityFrame>(env, exports,
                                                       "cameraPreviewGetLatestQualityFrame");
  RegisterFunction<CameraRecordingAvailable>(env, exports, "cameraRecordingAvailable");
  RegisterFunction<CameraRecordingStart>(env, exports, "cameraRecordingStart");
  RegisterFunction<CameraRecordingStop>(env, exports, "cameraRecordingStop");
  RegisterFunction<CameraRecordingStatus>(env, exports, "cameraRecordingStatus");
  RegisterFunction<CameraHasVideoProcAmp>(env, exports, "cameraHasVideoProcAmp");
  RegisterFunction<CameraVideoProcAmpRange>(env, exports, "cameraVideoProcAmpRange");
  RegisterFunction<CameraVideoProcAmpGet>(env, exports, "cameraVideoProcAmpGet");
  RegisterFunction<CameraVideoProcAmpSet>(env, exports, "cameraVideoProcAmpSet");

  RegisterConstant(env, exports, "VIDEOPROCAMP_BRIGHTNESS", 0);
  RegisterConstant(env, exports, "VIDEOPROCAMP_CONTRAST", 1);
  RegisterConstant(env, exports, "VIDEOPROCAMP_HUE", 2);
  RegisterConstant(env, exports, "VIDEOPROCAMP_SATURATION", 3);
  RegisterConstant(env, exports, "VIDEOPROCAMP_SHARPNESS", 4);
  RegisterConstant(env, exports, "VIDEOPROCAMP_GAMMA", 5);
  RegisterConstant(env, exports, "VIDEOPROCAMP_COLORENABLE", 6);
  RegisterConstant(env, exports, "VIDEOPROCAMP_WHITEBALANCE", 7);
  RegisterConstant(env, exports, "VIDEOPROCAMP_BACKLIGHTCOMPENSATION", 8);
  RegisterConstant(env, exports, "VIDEOPROCAMP_GAIN", 9);
  RegisterConstant(env, exports, "VIDEOPROCAMP_FLAG_AUTO", 1);
  RegisterConstant(env, exports, "VIDEOPROCAMP_FLAG_MANUAL", 2);
  RegisterConstant(env, exports, "RESULT_OK", 0);
  RegisterConstant(env, exports, "RESULT_YES", 0);
  RegisterConstant(env, exports, "RESULT_NO", -256);
  RegisterConstant(env, exports, "STATUS_AUTHORIZED", 0);
}

}  // namespace zentri_native
