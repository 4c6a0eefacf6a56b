// What every module's Register function uses to put its script functions and constants on the
// exports object. A failing Node-API call raises Napi::Error, which stops the registration.
#pragma once

#include <napi.h>

namespace zentri_native {

template <Napi::Function::Callback callback>
void RegisterFunction(Napi::Env env, Napi::Object exports, const char* name) {
  exports.Set(name, Napi::Function::New<callback>(env));
}

inline void RegisterConstant(Napi::Env env, Napi::Object exports, const char* name, double value) {
  exports.Set(name, Napi::Number::New(env, value));
}

}  // namespace zentri_native
