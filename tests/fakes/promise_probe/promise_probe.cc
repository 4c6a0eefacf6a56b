// Runs RunBooleanAsync, RunIntegerAsync and RunVendorDeviceListAsync with a work function picked
// by name: one that returns a value, throws a standard or another exception, or is empty.
#include <napi.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/promise_workers.h"

namespace {

using zentri_native::VendorDeviceSnapshot;

template <typename Result>
std::function<Result()> Work(const std::string& kind, Result value) {
  if (kind == "value") {
    return [value] { return value; };
  }
  if (kind == "throw") {
    return []() -> Result { throw std::runtime_error("x"); };
  }
  if (kind == "throwEmpty") {
    return []() -> Result { throw std::runtime_error(""); };
  }
  if (kind == "unknown") {
    return []() -> Result { throw 42; };
  }
  return std::function<Result()>();  // "empty"
}

std::string Kind(const Napi::CallbackInfo& info) {
  return info[0].IsString() ? info[0].As<Napi::String>().Utf8Value() : std::string();
}

Napi::Value Boolean(const Napi::CallbackInfo& info) {
  const bool value = info[1].IsBoolean() && info[1].As<Napi::Boolean>().Value();
  return zentri_native::RunBooleanAsync(info.Env(), "ProbeBoolean", Work<bool>(Kind(info), value));
}

Napi::Value Integer(const Napi::CallbackInfo& info) {
  const int value = info[1].IsNumber() ? info[1].As<Napi::Number>().Int32Value() : 0;
  return zentri_native::RunIntegerAsync(info.Env(), "ProbeInteger", Work<int>(Kind(info), value));
}

Napi::Value Devices(const Napi::CallbackInfo& info) {
  std::vector<VendorDeviceSnapshot> devices;
  const uint32_t count = info[1].IsNumber() ? info[1].As<Napi::Number>().Uint32Value() : 0;
  for (uint32_t i = 0; i < count && i < 16; ++i) {
    devices.push_back({static_cast<int>(i), "id-" + std::to_string(i),
                       "Mikroskop \xC3\xBC " + std::to_string(i)});
  }
  return zentri_native::RunVendorDeviceListAsync(info.Env(), "ProbeDevices",
                                                 Work(Kind(info), devices));
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  exports.Set("boolean", Napi::Function::New<Boolean>(env));
  exports.Set("integer", Napi::Function::New<Integer>(env));
  exports.Set("devices", Napi::Function::New<Devices>(env));
  return exports;
}

}  // namespace

NODE_API_MODULE(promise_probe, Init)
