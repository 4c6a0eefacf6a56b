// The addon's module entry: InitAddon puts every script function on the exports object.
#pragma once

#include <napi.h>

namespace zentri_native {

Napi::Object InitAddon(Napi::Env env, Napi::Object exports);

// "getLastError": the last-error slot's message, "" when nothing is recorded.
Napi::Value GetLastError(const Napi::CallbackInfo& info);

}  // namespace zentri_native
