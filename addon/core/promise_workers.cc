#include "core/promise_workers.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <utility>

#include "core/vendor_executors.h"

namespace zentri_native {
namespace {

constexpr const char* kUnknownFailure = "Native SDK operation failed with an unknown error";
constexpr const char* kUnknownEnumerationFailure =
    "Native SDK device enumeration failed with an unknown error";

Napi::Array DeviceListToScript(Napi::Env env, const std::vector<VendorDeviceSnapshot>& devices) {
  Napi::Array array = Napi::Array::New(env, devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    Napi::Object entry = Napi::Object::New(env);
    entry.Set("index", Napi::Number::New(env, devices[i].index));
    entry.Set("uniqueId", Napi::String::New(env, devices[i].uniqueId));
    entry.Set("name", Napi::String::New(env, devices[i].name));
    array.Set(static_cast<uint32_t>(i), entry);
  }
  return array;
}

// Environments that registered the hook and have not been torn down yet. The executors are
// process-wide, so only the last environment to go stops them (worker threads may load the addon
// too).
std::atomic<int> g_vendorHookCount{0};

// The addon is never unloaded (it is linked nodelete), so the executors must outlive a worker
// thread that was the only environment to load it: a later load on another thread uses the same
// executors. Only the main thread's environment ends with the process.
bool OnMainThread() {
  return static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
}

void StopExecutorsWhenLastEnvironmentEnds() {
  if (g_vendorHookCount.fetch_sub(1) == 1 && OnMainThread()) {
    StopVendorSdkExecutors();
  }
}

// Once queued, the worker belongs to the host, which deletes it after OnOK or OnError has run;
// until then a failure to queue must not leak it.
template <typename Worker>
Napi::Promise QueueWorker(std::unique_ptr<Worker> worker) {
  Napi::Promise promise = worker->Promise();
  worker->Queue();
  worker.release();
  return promise;
}

}  // namespace

BooleanAsyncWorker::BooleanAsyncWorker(Napi::Env env, const std::string& resourceName,
                                       std::function<bool()> work)
    : PromiseAsyncWorker(env, resourceName, std::move(work), kUnknownFailure) {}

Napi::Value BooleanAsyncWorker::ToScript(Napi::Env env, const bool& result) const {
  return Napi::Boolean::New(env, result);
}

IntegerAsyncWorker::IntegerAsyncWorker(Napi::Env env, const std::string& resourceName,
                                       std::function<int()> work)
    : PromiseAsyncWorker(env, resourceName, std::move(work), kUnknownFailure) {}

Napi::Value IntegerAsyncWorker::ToScript(Napi::Env env, const int& result) const {
  return Napi::Number::New(env, static_cast<double>(result));
}

VendorDeviceListAsyncWorker::VendorDeviceListAsyncWorker(
    Napi::Env env, const std::string& resourceName,
    std::function<std::vector<VendorDeviceSnapshot>()> work)
    : PromiseAsyncWorker(env, resourceName, std::move(work), kUnknownEnumerationFailure) {}

Napi::Value VendorDeviceListAsyncWorker::ToScript(
    Napi::Env env, const std::vector<VendorDeviceSnapshot>& devices) const {
  return DeviceListToScript(env, devices);
}

Napi::Promise RunBooleanAsync(Napi::Env env, const std::string& resourceName,
                              std::function<bool()> work) {
  return QueueWorker(std::make_unique<BooleanAsyncWorker>(env, resourceName, std::move(work)));
}

Napi::Promise RunIntegerAsync(Napi::Env env, const std::string& resourceName,
                              std::function<int()> work) {
  return QueueWorker(std::make_unique<IntegerAsyncWorker>(env, resourceName, std::move(work)));
}

Napi::Promise RunVendorDeviceListAsync(Napi::Env env, const std::string& resourceName,
                                       std::function<std::vector<VendorDeviceSnapshot>()> work) {
  return QueueWorker(
      std::make_unique<VendorDeviceListAsyncWorker>(env, resourceName, std::move(work)));
}

void AddVendorExecutorCleanupHook(Napi::Env env) {
  g_vendorHookCount.fetch_add(1);
  env.AddCleanupHook(StopExecutorsWhenLastEnvironmentEnds);
}

}  // namespace zentri_native
