// Promise-returning script functions of the vendor bindings: the blocking work (usually an
// Invoke on a vendor executor) runs on a pool thread of the host, and the promise settles on the
// script thread. Work reports ordinary failures through its result (false, a negative number, an
// empty list); only an exception rejects the promise.
#pragma once

#include <napi.h>

#include <exception>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/vendor_device_snapshot.h"

namespace zentri_native {

// The shared part of the three workers: runs `work` on a pool thread (nothing escapes it; an
// exception becomes the rejection's text) and settles the promise on the script thread with the
// result converted by ToScript.
template <typename Result>
class PromiseAsyncWorker : public Napi::AsyncWorker {
 public:
  PromiseAsyncWorker(Napi::Env env, const std::string& resourceName, std::function<Result()> work,
                     const char* unknownFailure)
      : Napi::AsyncWorker(env, resourceName.c_str()),
        work_(std::move(work)),
        unknownFailure_(unknownFailure),
        deferred_(Napi::Promise::Deferred::New(env)) {}

  Napi::Promise Promise() const { return deferred_.Promise(); }

 protected:
  virtual Napi::Value ToScript(Napi::Env env, const Result& result) const = 0;

  void Execute() override {
    std::string error;
    try {
      result_ = work_();
      return;
    } catch (const std::exception& exception) {
      error = exception.what();
    } catch (...) {
      error = unknownFailure_;
    }
    // AsyncWorker takes an empty error text for success, so an exception without a text is
    // flagged here and rejected in OnOK. (An empty std::function throws bad_function_call.)
    if (error.empty()) {
      failedSilently_ = true;
    } else {
      SetError(error);
    }
  }
  void OnOK() override {
    if (failedSilently_) {
      return deferred_.Reject(Napi::Error::New(Env(), "").Value());
    }
    deferred_.Resolve(ToScript(Env(), result_));
  }
  void OnError(const Napi::Error& error) override { deferred_.Reject(error.Value()); }

 private:
  std::function<Result()> work_;
  const char* unknownFailure_;
  Napi::Promise::Deferred deferred_;
  Result result_{};
  bool failedSilently_ = false;  // an exception whose text was empty
};

class BooleanAsyncWorker final : public PromiseAsyncWorker<bool> {
 public:
  BooleanAsyncWorker(Napi::Env env, const std::string& resourceName, std::function<bool()> work);

 protected:
  Napi::Value ToScript(Napi::Env env, const bool& result) const override;
};

class IntegerAsyncWorker final : public PromiseAsyncWorker<int> {
 public:
  IntegerAsyncWorker(Napi::Env env, const std::string& resourceName, std::function<int()> work);

 protected:
  Napi::Value ToScript(Napi::Env env, const int& result) const override;
};

// Resolves with [{ index, uniqueId, name }, ...].
class VendorDeviceListAsyncWorker final
    : public PromiseAsyncWorker<std::vector<VendorDeviceSnapshot>> {
 public:
  VendorDeviceListAsyncWorker(Napi::Env env, const std::string& resourceName,
                              std::function<std::vector<VendorDeviceSnapshot>()> work);

 protected:
  Napi::Value ToScript(Napi::Env env,
                       const std::vector<VendorDeviceSnapshot>& devices) const override;
};

// Each queues a worker that runs `work` on a pool thread and returns its promise at once.
// `resourceName` names the work in the host's diagnostics ("ZentriDevices", "DinoLiteInit").
Napi::Promise RunBooleanAsync(Napi::Env env, const std::string& resourceName,
                              std::function<bool()> work);
Napi::Promise RunIntegerAsync(Napi::Env env, const std::string& resourceName,
                              std::function<int()> work);
Napi::Promise RunVendorDeviceListAsync(Napi::Env env, const std::string& resourceName,
                                       std::function<std::vector<VendorDeviceSnapshot>()> work);

// Registers an environment clean-up hook that stops both vendor executors (draining their
// queues) when the last environment that loaded the addon goes away. Called by the Dino-Lite and
// Zentri registrations; each call counts once.
void AddVendorExecutorCleanupHook(Napi::Env env);

}  // namespace zentri_native
