// Script entry of the extended-depth-of-field fusion: "edofMultibandFuse".
#pragma once

#include <napi.h>

namespace zentri_native {

// "edofMultibandFuse"(request): checks the request, fuses the stack in place over the script's
// typed arrays on up to 8 threads and returns { data, backend, simd, threads, durationMs }. Every
// failure is thrown as a script Error with a fixed message.
Napi::Value EdoFMultibandFuse(const Napi::CallbackInfo& info);

// Sets "edofMultibandFuse" on the exports object.
void RegisterEdoF(Napi::Env env, Napi::Object exports);

}  // namespace zentri_native
