#include "core/script_args.h"

namespace zentri_native {

int ReadIntArg(const Napi::CallbackInfo& info, size_t index, int defaultValue) {
  if (index >= info.Length() || !info[index].IsNumber()) {
    return defaultValue;
  }
  return info[index].As<Napi::Number>().Int32Value();
}

double ReadDoubleArg(const Napi::CallbackInfo& info, size_t index, double defaultValue) {
  if (index >= info.Length() || !info[index].IsNumber()) {
    return defaultValue;
  }
  return info[index].As<Napi::Number>().DoubleValue();
}

std::string ReadStringArg(const Napi::CallbackInfo& info, size_t index) {
  if (index >= info.Length() || !info[index].IsString()) {
    return {};
  }
  // Utf8Value asks for the byte length first and then fetches exactly that many bytes.
  return info[index].As<Napi::String>().Utf8Value();
}

}  // namespace zentri_native
