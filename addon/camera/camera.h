// The camera module's script functions and their registration.
#pragma once

#include <napi.h>

namespace zentri_native {

class CameraPreviewProducer;
class TurboJpegRuntime;
class VideoRecorder;

// The camera recorder, fed by the preview producer; the one preview producer; the JPEG runtime.
extern VideoRecorder g_cameraRecorder;
extern CameraPreviewProducer g_cameraPreviewProducer;
extern TurboJpegRuntime g_turboJpeg;

// Puts the camera script functions and constants on the exports object, in their fixed order.
void RegisterCamera(Napi::Env env, Napi::Object exports);

// Loading and device queries (camera_queries.cc).
Napi::Value LoadCameraBackend(const Napi::CallbackInfo& info);
Napi::Value CameraLoadPath(const Napi::CallbackInfo& info);
Napi::Value CameraBackend(const Napi::CallbackInfo& info);
Napi::Value CameraInitialize(const Napi::CallbackInfo& info);
Napi::Value CameraHasVideoCaptureAuth(const Napi::CallbackInfo& info);
Napi::Value CameraAskVideoCaptureAuth(const Napi::CallbackInfo& info);
Napi::Value CameraDevicesCount(const Napi::CallbackInfo& info);
Napi::Value CameraDeviceUniqueId(const Napi::CallbackInfo& info);
Napi::Value CameraDeviceModelId(const Napi::CallbackInfo& info);
Napi::Value CameraDeviceName(const Napi::CallbackInfo& info);
Napi::Value CameraDeviceType(const Napi::CallbackInfo& info);
Napi::Value CameraDeviceFormats(const Napi::CallbackInfo& info);
Napi::Value CameraStartCapture(const Napi::CallbackInfo& info);
Napi::Value CameraStopCapture(const Napi::CallbackInfo& info);
Napi::Value CameraHasFirstFrame(const Napi::CallbackInfo& info);
// Fixed answers of this platform: no hardware button, no VideoProcAmp interface.
Napi::Value CameraButtonPressed(const Napi::CallbackInfo& info);
Napi::Value CameraButtonTimestamp(const Napi::CallbackInfo& info);
Napi::Value CameraHasVideoProcAmp(const Napi::CallbackInfo& info);
Napi::Value CameraVideoProcAmpRange(const Napi::CallbackInfo& info);
Napi::Value CameraVideoProcAmpGet(const Napi::CallbackInfo& info);
Napi::Value CameraVideoProcAmpSet(const Napi::CallbackInfo& info);

// Frame access (camera_grab.cc).
Napi::Value CameraFrameInfo(const Napi::CallbackInfo& info);
Napi::Value CameraGrabFrame(const Napi::CallbackInfo& info);
Napi::Value CameraGrabFrameRgba(const Napi::CallbackInfo& info);

// Live preview, quality and encoded frames, JPEG runtime (preview_functions.cc).
Napi::Value CameraPreviewStart(const Napi::CallbackInfo& info);
Napi::Value CameraPreviewStop(const Napi::CallbackInfo& info);
Napi::Value CameraPreviewIsRunning(const Napi::CallbackInfo& info);
Napi::Value CameraPreviewIsDirect(const Napi::CallbackInfo& info);
Napi::Value CameraPreviewReleaseDirectSlot(const Napi::CallbackInfo& info);
Napi::Value CameraPreviewReleaseAllDirectSlots(const Napi::CallbackInfo& info);
Napi::Value CameraPreviewGetLatest(const Napi::CallbackInfo& info);
Napi::Value CameraPreviewGetLatestQualityFrame(const Napi::CallbackInfo& info);
Napi::Value CameraGrabEncodedFrame(const Napi::CallbackInfo& info);
Napi::Value LoadTurboJpeg(const Napi::CallbackInfo& info);
Napi::Value TurboJpegAvailable(const Napi::CallbackInfo& info);
Napi::Value TurboJpegLoadPath(const Napi::CallbackInfo& info);

// Camera recording (camera_recording.cc).
Napi::Value CameraRecordingAvailable(const Napi::CallbackInfo& info);
Napi::Value CameraRecordingStart(const Napi::CallbackInfo& info);
Napi::Value CameraRecordingStop(const Napi::CallbackInfo& info);
Napi::Value CameraRecordingStatus(const Napi::CallbackInfo& info);

}  // namespace zentri_native
