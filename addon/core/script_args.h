// Readers of script arguments. A missing or wrong-typed argument gives the default, never an
// error; a function that must reject a wrong type checks it itself.
#pragma once

#include <napi.h>

#include <cstddef>
#include <string>

namespace zentri_native {

// Node-API's 32-bit conversion of a number argument: truncated toward zero, wrapped modulo 2^32,
// NaN and infinities give 0. Anything that is not a number gives the default.
int ReadIntArg(const Napi::CallbackInfo& info, size_t index, int defaultValue);

// The number argument unchanged, or the default for anything that is not a number.
double ReadDoubleArg(const Napi::CallbackInfo& info, size_t index, double defaultValue);

// The UTF-8 content of a string argument, or "" for anything else.
std::string ReadStringArg(const Napi::CallbackInfo& info, size_t index);

}  // namespace zentri_native
