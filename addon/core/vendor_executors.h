// The two process-wide vendor executors, started when the addon loads. Every call into
// libdinolite runs on g_dinoLiteExecutor, every device call into libzentri on g_zentriExecutor.
#pragma once

#include <chrono>

#include "core/vendor_sdk_executor.h"

namespace zentri_native {

// How long an executor waits for work before it runs its idle task.
constexpr std::chrono::milliseconds kVendorIdleInterval{10};

// Time-outs of the calls that wait on a vendor executor.
constexpr std::chrono::milliseconds kVendorCallTimeout{5000};
constexpr std::chrono::milliseconds kVendorSelectTimeout{10000};
constexpr std::chrono::milliseconds kVendorInitTimeout{20000};

extern VendorSdkExecutor g_dinoLiteExecutor;
extern VendorSdkExecutor g_zentriExecutor;

// Stops both executors: no new work is accepted, queued and running jobs finish, the threads are
// joined. Safe to call more than once. The Dino-Lite and Zentri registrations call it from an
// environment clean-up hook, and their binding objects' translation units call it before those
// objects are destroyed, so no vendor job runs against a destroyed binding at unload.
void StopVendorSdkExecutors();

}  // namespace zentri_native
