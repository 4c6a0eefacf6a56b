// Promise-returning script functions of the vendor bindings: the blocking work (usually an
// Invoke on a vendor executor) runs on a pool thread of the host, and the promise settles on the
// script thread. Work reports ordinary failures through its result (false, a negative number, an
// empty list); only an exception rejects the promise.
#pragma once

#include <napi.h>

#include <functional>
#include <string>
#include <vector>

#include "core/vendor_device_snapshot.h"

namespace zentri_native {

class BooleanAsyncWorker : public Napi::AsyncWorker {
 public:
  BooleanAsyncWorker(Napi::Env env, const std::string& resourceName, std::function<bool()> work);
  ~BooleanAsyncWorker() override;

  Napi::Promise Promise() const { return deferred_.Promise(); }

 protected:
  void Execute() override;
  void OnOK() override;
  void OnError(const Napi::Error& error) override;

 private:
  std::function<bool()> work_;
  Napi::Promise::Deferred deferred_;
  bool result_ = false;
  bool failedSilently_ = false;  // an exception whose text was empty
};

class IntegerAsyncWorker : public Napi::AsyncWorker {
 public:
  IntegerAsyncWorker(Napi::Env env, const std::string& resourceName, std::function<int()> work);
  ~IntegerAsyncWorker() override;

  Napi::Promise Promise() const { return deferred_.Promise(); }

 protected:
  void Execute() override;
  void OnOK() override;
  void OnError(const Napi::Error& error) override;

 private:
  std::function<int()> work_;
  Napi::Promise::Deferred deferred_;
  int result_ = 0;
  bool failedSilently_ = false;  // an exception whose text was empty
};

class VendorDeviceListAsyncWorker : public Napi::AsyncWorker {
 public:
  VendorDeviceListAsyncWorker(Napi::Env env, const std::string& resourceName,
                              std::function<std::vector<VendorDeviceSnapshot>()> work);
  ~VendorDeviceListAsyncWorker() override;

  Napi::Promise Promise() const { return deferred_.Promise(); }

 protected:
  void Execute() override;
  void OnOK() override;
  void OnError(const Napi::Error& error) override;

 private:
  std::function<std::vector<VendorDeviceSnapshot>()> work_;
  Napi::Promise::Deferred deferred_;
  std::vector<VendorDeviceSnapshot> result_;
  bool failedSilently_ = false;  // an exception whose text was empty
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
