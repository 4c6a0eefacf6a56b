// Camera recording: the camera recorder is fed by the preview producer, which offers it every
// preview frame; scripts only start, stop and poll it.
#include "camera/camera.h"
#include "camera/preview_producer.h"
#include "core/last_error.h"
#include "core/script_args.h"
#include "recording/recording_functions.h"
#include "recording/video_recorder.h"

namespace zentri_native {

Napi::Value CameraRecordingAvailable(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(info.Env(), g_cameraRecorder.Available());
}

Napi::Value CameraRecordingStart(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 5 || !info[0].IsString()) {
    throw Napi::TypeError::New(env, "Expected (outputPath, width, height, frameRate, bitrate)");
  }
  if (!g_cameraPreviewProducer.IsRunning()) {
    SetLastError("Cannot start video recording without an active camera preview");
    return Napi::Number::New(env, -5);
  }
  // Range checks are the recorder's. Frames reach it only at the preview's output size.
  const int32_t result =
      g_cameraRecorder.Start(ReadStringArg(info, 0), ReadIntArg(info, 1, 0), ReadIntArg(info, 2, 0),
                             ReadIntArg(info, 3, 30), ReadIntArg(info, 4, 4000000));
  if (result < 0) {
    const std::string error = g_cameraRecorder.GetStatus().error;
    SetLastError(error.empty() ? "Could not start video recording" : error);
  }
  return Napi::Number::New(env, result);
}

Napi::Value CameraRecordingStop(const Napi::CallbackInfo& info) {
  const int32_t result = g_cameraRecorder.Stop();
  if (result < 0) {
    const std::string error = g_cameraRecorder.GetStatus().error;
    SetLastError(error.empty() ? "Could not finalize video recording" : error);
  }
  return Napi::Number::New(info.Env(), result);
}

Napi::Value CameraRecordingStatus(const Napi::CallbackInfo& info) {
  return MakeRecordingStatusObject(info.Env(), g_cameraRecorder.GetStatus());
}

}  // namespace zentri_native
