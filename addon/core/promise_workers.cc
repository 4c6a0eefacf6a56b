#include "core/promise_workers.h"

#include <atomic>
#include <exception>
#include <memory>
#include <utility>

#include "core/vendor_executors.h"

namespace zentri_native {
namespace {

constexpr const char* kUnknownFailure = "Native SDK operation failed with an unknown error";
constexpr const char* kUnknownEnumerationFailure =
    "Native SDK device enumeration failed with an unknown error";

// Runs the work on the pool thread; nothing escapes. An exception becomes the worker's error
// text. An empty std::function throws std::bad_function_call, reported like any other standard
// exception. AsyncWorker takes an empty error text for success, so an exception without a text
// is flagged separately and rejected in OnOK.
template <typename Work, typename Result, typename SetError>
void ExecuteWork(Work& work, Result& result, bool& failedSilently, const char* unknownFailure,
                 SetError setError) {
  std::string error;
  try {
    result = work();
    return;
  } catch (const std::exception& exception) {
    error = exception.what();
  } catch (...) {
    error = unknownFailure;
  }
  if (error.empty()) {
    failedSilently = true;
  } else {
    setError(error);
  }
}

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

void StopExecutorsWhenLastEnvironmentEnds() {
  if (g_vendorHookCount.fetch_sub(1) == 1) {
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
    : Napi::AsyncWorker(env, resourceName.c_str()),
      work_(std::move(work)),
      deferred_(Napi::Promise::Deferred::New(env)) {}

BooleanAsyncWorker::~BooleanAsyncWorker() = default;

void BooleanAsyncWorker::Execute() {
  ExecuteWork(work_, result_, failedSilently_, kUnknownFailure,
              [this](const std::string& error) { SetError(error); });
}

void BooleanAsyncWorker::OnOK() {
  if (failedSilently_) {
    return deferred_.Reject(Napi::Error::New(Env(), "").Value());
  }
  deferred_.Resolve(Napi::Boolean::New(Env(), result_));
}

void BooleanAsyncWorker::OnError(const Napi::Error& error) {
  deferred_.Reject(error.Value());
}

IntegerAsyncWorker::IntegerAsyncWorker(Napi::Env env, const std::string& resourceName,
                                       std::function<int()> work)
    : Napi::AsyncWorker(env, resourceName.c_str()),
      work_(std::move(work)),
      deferred_(Napi::Promise::Deferred::New(env)) {}

IntegerAsyncWorker::~IntegerAsyncWorker() = default;

void IntegerAsyncWorker::Execute() {
  ExecuteWork(work_, result_, failedSilently_, kUnknownFailure,
              [this](const std::string& error) { SetError(error); });
}

void IntegerAsyncWorker::OnOK() {
  if (failedSilently_) {
    return deferred_.Reject(Napi::Error::New(Env(), "").Value());
  }
  deferred_.Resolve(Napi::Number::New(Env(), static_cast<double>(result_)));
}

void IntegerAsyncWorker::OnError(const Napi::Error& error) {
  deferred_.Reject(error.Value());
}

VendorDeviceListAsyncWorker::VendorDeviceListAsyncWorker(
    Napi::Env env, const std::string& resourceName,
    std::function<std::vector<VendorDeviceSnapshot>()> work)
    : Napi::AsyncWorker(env, resourceName.c_str()),
      work_(std::move(work)),
      deferred_(Napi::Promise::Deferred::New(env)) {}

VendorDeviceListAsyncWorker::~VendorDeviceListAsyncWorker() = default;

void VendorDeviceListAsyncWorker::Execute() {
  ExecuteWork(work_, result_, failedSilently_, kUnknownEnumerationFailure,
              [this](const std::string& error) { SetError(error); });
}

void VendorDeviceListAsyncWorker::OnOK() {
  if (failedSilently_) {
    return deferred_.Reject(Napi::Error::New(Env(), "").Value());
  }
  deferred_.Resolve(DeviceListToScript(Env(), result_));
}

void VendorDeviceListAsyncWorker::OnError(const Napi::Error& error) {
  deferred_.Reject(error.Value());
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
