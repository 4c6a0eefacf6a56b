// "lockFile" and "unlockFile": an exclusive lock file held by an open descriptor with an
// advisory flock, for example to keep the application to one instance.
#pragma once

#include <napi.h>

namespace zentri_native {

Napi::Value LockFile(const Napi::CallbackInfo& info);
Napi::Value UnlockFile(const Napi::CallbackInfo& info);

}  // namespace zentri_native
