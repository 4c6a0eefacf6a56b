// Script entry points of recording: the status object shared by the camera and external
// recorders, and the external recorder's functions (frames pushed by script).
#pragma once

#include <napi.h>

#include "recording/video_recorder.h"

namespace zentri_native {

// The recorder status as a script object, keys in their fixed order.
Napi::Object MakeRecordingStatusObject(Napi::Env env, const VideoRecorder::Status& status);

// Creates this environment's external recorder (destroyed by an environment clean-up hook,
// which stops and finalizes a running recording) and registers "externalRecordingAvailable",
// "externalRecordingStart", "externalRecordingEnqueue", "externalRecordingStop" and
// "externalRecordingStatus".
void RegisterExternalVideoRecorder(Napi::Env env, Napi::Object exports);

}  // namespace zentri_native
