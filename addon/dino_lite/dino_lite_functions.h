// The Dino-Lite script functions, from "loadDinoLite" to "dinoLiteDisposeAsync".
#pragma once

#include <napi.h>

namespace zentri_native {

void RegisterDinoLite(Napi::Env env, Napi::Object exports);

}  // namespace zentri_native
