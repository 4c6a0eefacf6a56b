// Echoes what the argument readers make of a script call's arguments.
#include <napi.h>

#include "core/script_args.h"

namespace {

// readInt(index, default, ...args) is ReadIntArg(args, index, default); likewise the others.
Napi::Value ReadInt(const Napi::CallbackInfo& info) {
  const size_t index = info[0].As<Napi::Number>().Uint32Value();
  const int fallback = info[1].As<Napi::Number>().Int32Value();
  return Napi::Number::New(info.Env(), zentri_native::ReadIntArg(info, index + 2, fallback));
}

Napi::Value ReadDouble(const Napi::CallbackInfo& info) {
  const size_t index = info[0].As<Napi::Number>().Uint32Value();
  const double fallback = info[1].As<Napi::Number>().DoubleValue();
  return Napi::Number::New(info.Env(), zentri_native::ReadDoubleArg(info, index + 2, fallback));
}

Napi::Value ReadString(const Napi::CallbackInfo& info) {
  const size_t index = info[0].As<Napi::Number>().Uint32Value();
  return Napi::String::New(info.Env(), zentri_native::ReadStringArg(info, index + 1));
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  exports.Set("readInt", Napi::Function::New<ReadInt>(env));
  exports.Set("readDouble", Napi::Function::New<ReadDouble>(env));
  exports.Set("readString", Napi::Function::New<ReadString>(env));
  return exports;
}

}  // namespace

NODE_API_MODULE(args_probe, Init)
