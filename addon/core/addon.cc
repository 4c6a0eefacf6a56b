#include "core/addon.h"

#include <exception>

#include "camera/camera.h"
#include "core/last_error.h"
#include "core/lock_file.h"
#include "core/registration.h"
#include "dino_lite/dino_lite_functions.h"
#include "edof/edof_functions.h"
#include "recording/recording_functions.h"
#include "zentri/zentri.h"

namespace zentri_native {

Napi::Value GetLastError(const Napi::CallbackInfo& info) {
  return Napi::String::New(info.Env(), GetLastErrorString());
}

// The order of registration is part of the module's contract: scripts see the exports object's
// keys in this order.
Napi::Object InitAddon(Napi::Env env, Napi::Object exports) {
  RegisterFunction<GetLastError>(env, exports, "getLastError");
  RegisterFunction<LockFile>(env, exports, "lockFile");
  RegisterFunction<UnlockFile>(env, exports, "unlockFile");
  RegisterCamera(env, exports);
  RegisterExternalVideoRecorder(env, exports);
  RegisterEdoF(env, exports);
  RegisterDinoLite(env, exports);
  RegisterZentri(env, exports);
  return exports;
}

}  // namespace zentri_native

extern "C" {

NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
  try {
    return zentri_native::InitAddon(Napi::Env(env), Napi::Object(env, exports));
  } catch (const Napi::Error& error) {
    error.ThrowAsJavaScriptException();
  } catch (const std::exception& error) {
    Napi::Error::New(env, error.what()).ThrowAsJavaScriptException();
  }
  return nullptr;
}

NAPI_MODULE_EXPORT int32_t node_api_module_get_api_version_v1(void) {
  return 8;
}

}  // extern "C"
