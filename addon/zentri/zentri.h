// The Zentri microscope script functions. Device work runs on the Zentri executor with a
// time-out (synchronously, or on a pool thread for the "Async" functions); telemetry, pixel,
// lens, focus, capture-button and version readers serve cached state. Failures give the
// function's failure value, with the reason in the last-error slot or "zentriLastError".
#pragma once

#include <napi.h>

namespace zentri_native {

void RegisterZentri(Napi::Env env, Napi::Object exports);

// Makes the vendor executors drain and stop before the process (or the last environment) ends,
// while the Zentri binding that their jobs use still exists.
void InstallZentriShutdown(Napi::Env env);

Napi::Value LoadZentri(const Napi::CallbackInfo& info);
Napi::Value ZentriInit(const Napi::CallbackInfo& info);
Napi::Value ZentriLastError(const Napi::CallbackInfo& info);
Napi::Value ZentriInitAsync(const Napi::CallbackInfo& info);
Napi::Value ZentriDeviceCount(const Napi::CallbackInfo& info);
Napi::Value ZentriDevicesAsync(const Napi::CallbackInfo& info);
Napi::Value ZentriDeviceUniqueId(const Napi::CallbackInfo& info);
Napi::Value ZentriDeviceFriendlyName(const Napi::CallbackInfo& info);
Napi::Value ZentriSelectDevice(const Napi::CallbackInfo& info);
Napi::Value ZentriSelectDeviceAsync(const Napi::CallbackInfo& info);
Napi::Value ZentriGetSelectedDevice(const Napi::CallbackInfo& info);
Napi::Value ZentriGetTelemetry(const Napi::CallbackInfo& info);
Napi::Value ZentriGetScopeStatus(const Napi::CallbackInfo& info);
Napi::Value ZentriGetPixelSizeMicrons(const Napi::CallbackInfo& info);
Napi::Value ZentriGetPixelSizeInfo(const Napi::CallbackInfo& info);
Napi::Value ZentriGetLensGroupInfo(const Napi::CallbackInfo& info);
Napi::Value ZentriCapabilities(const Napi::CallbackInfo& info);
Napi::Value ZentriGetFocusPosition(const Napi::CallbackInfo& info);
Napi::Value ZentriGetLedState(const Napi::CallbackInfo& info);
Napi::Value ZentriTriggerAutoFocusAsync(const Napi::CallbackInfo& info);
Napi::Value ZentriSetFocusPositionAsync(const Napi::CallbackInfo& info);
Napi::Value ZentriFocusNearAsync(const Napi::CallbackInfo& info);
Napi::Value ZentriFocusFarAsync(const Napi::CallbackInfo& info);
Napi::Value ZentriSetLedStateAsync(const Napi::CallbackInfo& info);
Napi::Value ZentriIsCapturePressed(const Napi::CallbackInfo& info);
Napi::Value ZentriVersionInfo(const Napi::CallbackInfo& info);
Napi::Value ZentriProtocolVersionInfo(const Napi::CallbackInfo& info);
Napi::Value ZentriDispose(const Napi::CallbackInfo& info);
Napi::Value ZentriDisposeAsync(const Napi::CallbackInfo& info);

}  // namespace zentri_native
