// Registration only: the Zentri functions in the order that scripts see them.
#include "core/registration.h"
#include "zentri/zentri.h"

namespace zentri_native {

void RegisterZentri(Napi::Env env, Napi::Object exports) {
  RegisterFunction<LoadZentri>(env, exports, "loadZentri");
  RegisterFunction<ZentriInit>(env, exports, "zentriInit");
  RegisterFunction<ZentriLastError>(env, exports, "zentriLastError");
  RegisterFunction<ZentriInitAsync>(env, exports, "zentriInitAsync");
  RegisterFunction<ZentriDeviceCount>(env, exports, "zentriDeviceCount");
  RegisterFunction<ZentriDevicesAsync>(env, exports, "zentriDevicesAsync");
  RegisterFunction<ZentriDeviceUniqueId>(env, exports, "zentriDeviceUniqueId");
  RegisterFunction<ZentriDeviceFriendlyName>(env, exports, "zentriDeviceFriendlyName");
  RegisterFunction<ZentriSelectDevice>(env, exports, "zentriSelectDevice");
  RegisterFunction<ZentriSelectDeviceAsync>(env, exports, "zentriSelectDeviceAsync");
  RegisterFunction<ZentriGetSelectedDevice>(env, exports, "zentriGetSelectedDevice");
  RegisterFunction<ZentriGetTelemetry>(env, exports, "zentriGetTelemetry");
  RegisterFunction<ZentriGetScopeStatus>(env, exports, "zentriGetScopeStatus");
  RegisterFunction<ZentriGetPixelSizeMicrons>(env, exports, "zentriGetPixelSizeMicrons");
  RegisterFunction<ZentriGetPixelSizeInfo>(env, exports, "zentriGetPixelSizeInfo");
  RegisterFunction<ZentriGetLensGroupInfo>(env, exports, "zentriGetLensGroupInfo");
  RegisterFunction<ZentriCapabilities>(env, exports, "zentriCapabilities");
  RegisterFunction<ZentriGetFocusPosition>(env, exports, "zentriGetFocusPosition");
  RegisterFunction<ZentriGetLedState>(env, exports, "zentriGetLedState");
  RegisterFunction<ZentriTriggerAutoFocusAsync>(env, exports, "zentriTriggerAutoFocusAsync");
  RegisterFunction<ZentriSetFocusPositionAsync>(env, exports, "zentriSetFocusPositionAsync");
  RegisterFunction<ZentriFocusNearAsync>(env, exports, "zentriFocusNearAsync");
  RegisterFunction<ZentriFocusFarAsync>(env, exports, "zentriFocusFarAsync");
  RegisterFunction<ZentriSetLedStateAsync>(env, exports, "zentriSetLedStateAsync");
  RegisterFunction<ZentriIsCapturePressed>(env, exports, "zentriIsCapturePressed");
  RegisterFunction<ZentriVersionInfo>(env, exports, "zentriVersionInfo");
  RegisterFunction<ZentriProtocolVersionInfo>(env, exports, "zentriProtocolVersionInfo");
  RegisterFunction<ZentriDispose>(env, exports, "zentriDispose");
  RegisterFunction<ZentriDisposeAsync>(env, exports, "zentriDisposeAsync");

  InstallZentriShutdown(env);
}

}  // namespace zentri_native
