#include "edof/edof_functions.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/registration.h"
#include "edof/fusion.h"

namespace zentri_native {

namespace {

constexpr const char* kInvalidDimensions = "Native EDOF dimensions are invalid";
constexpr unsigned int kMaxThreadBudget = 8;

[[noreturn]] void Fail(const std::string& message) {
  throw std::runtime_error(message);
}

// Truncated toward zero; values beyond the int32 range saturate, so that they fail the range
// checks instead of wrapping into a valid size.
int32_t TruncateToInt32(double value) {
  const double whole = std::trunc(value);
  if (whole >= 2147483647.0) {
    return INT32_MAX;
  }
  if (whole <= -2147483648.0) {
    return INT32_MIN;
  }
  return static_cast<int32_t>(whole);
}

int32_t ReadRequiredInt(const Napi::Object& object, const char* key) {
  const Napi::Value value = object.Get(key);
  if (!value.IsNumber()) {
    Fail(std::string("Native EDOF requires numeric ") + key);
  }
  const double number = value.As<Napi::Number>().DoubleValue();
  if (!std::isfinite(number)) {
    Fail(std::string("Native EDOF received invalid ") + key);
  }
  return TruncateToInt32(number);
}

Napi::Array ReadArray(const Napi::Object& request, const char* key) {
  const Napi::Value value = request.Get(key);
  if (!value.IsArray()) {
    Fail("Native EDOF frames, fields, and weights must be arrays");
  }
  return value.As<Napi::Array>();
}

bool ValidDimension(int32_t size) {
  return size >= 1 && size <= kEdofMaxDimension;
}

bool IsTypedArrayOf(const Napi::Value& value, napi_typedarray_type type) {
  return value.IsTypedArray() && value.As<Napi::TypedArray>().TypedArrayType() == type;
}

// A typed array that a view points into, with what the checks saw. Getters of the request run
// script code while it is read, and that code could detach or shrink an array checked earlier;
// every view is therefore checked again once the request has been read in full, after which no
// script runs until the call returns.
struct CheckedArray {
  Napi::Value value;
  const void* data;
  size_t length;
  std::string lengthMessage;
};

// The element data of a typed array already known to hold T, which must have expectedLength
// elements.
template <typename T>
const T* TakeView(const Napi::Value& value, size_t expectedLength, std::string lengthMessage,
                  std::vector<CheckedArray>& views) {
  const Napi::TypedArrayOf<T> array = value.As<Napi::TypedArrayOf<T>>();
  if (array.ElementLength() != expectedLength || array.Data() == nullptr) {
    Fail(lengthMessage);
  }
  views.push_back(CheckedArray{value, array.Data(), expectedLength, std::move(lengthMessage)});
  return array.Data();
}

template <typename T>
void RecheckView(Napi::Env env, const CheckedArray& view) {
  const Napi::TypedArrayOf<T> array(env, view.value);
  if (array.Data() != view.data || array.ElementLength() != view.length) {
    Fail(view.lengthMessage);
  }
}

const float* ReadFieldMap(const Napi::Object& field, const char* key, size_t count,
                          std::vector<CheckedArray>& views) {
  const Napi::Value value = field.Get(key);
  if (!IsTypedArrayOf(value, napi_float32_array)) {
    Fail(std::string("Native EDOF field ") + key + " must be Float32Array");
  }
  return TakeView<float>(value, count,
                         std::string("Native EDOF field ") + key + " length is invalid", views);
}

unsigned int DefaultThreadBudget() {
  const unsigned int hardware = std::thread::hardware_concurrency();
  return hardware <= 2 ? 1 : (hardware + 1) / 2;
}

unsigned int ReadThreadBudget(const Napi::Object& request) {
  const Napi::Value value = request.Get("maxThreads");
  double budget = DefaultThreadBudget();
  if (value.IsNumber()) {
    const double number = value.As<Napi::Number>().DoubleValue();
    if (!std::isfinite(number)) {
      Fail("Native EDOF maxThreads is invalid");
    }
    budget = std::trunc(number);
  }
  if (budget >= kMaxThreadBudget) {
    return kMaxThreadBudget;
  }
  return budget < 2 ? 1 : static_cast<unsigned int>(budget);
}

bool CpuHasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

Napi::Value Run(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsObject()) {
    Fail("edofMultibandFuse requires an input object");
  }
  const Napi::Object request = info[0].As<Napi::Object>();
  const int32_t width = ReadRequiredInt(request, "width");
  const int32_t height = ReadRequiredInt(request, "height");
  if (!ValidDimension(width) || !ValidDimension(height)) {
    Fail(kInvalidDimensions);
  }
  const int32_t referenceIndex = ReadRequiredInt(request, "referenceIndex");
  const Napi::Array framesArray = ReadArray(request, "frames");
  const Napi::Array fieldsArray = ReadArray(request, "fields");
  const Napi::Array weightsArray = ReadArray(request, "weights");
  const uint32_t stack = framesArray.Length();
  if (stack < 3 || stack > 11 || fieldsArray.Length() != stack || weightsArray.Length() != stack) {
    Fail("Native EDOF stack lengths are invalid");
  }
  if (static_cast<uint32_t>(referenceIndex) >= stack) {
    Fail("Native EDOF reference index is invalid");
  }

  const uint64_t rgbaLength =
      static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * uint64_t{4};
  std::vector<FrameView> frames(stack);
  std::vector<FieldView> fields(stack);
  std::vector<const float*> weights(stack);
  std::vector<CheckedArray> views;
  views.reserve(static_cast<size_t>(stack) * 5);
  for (uint32_t k = 0; k < stack; ++k) {
    const Napi::Value frameValue = framesArray.Get(k);
    const Napi::Value fieldValue = fieldsArray.Get(k);
    if (!frameValue.IsObject() || !fieldValue.IsObject()) {
      Fail("Native EDOF frame or field is invalid");
    }
    const Napi::Object frame = frameValue.As<Napi::Object>();
    const Napi::Object field = fieldValue.As<Napi::Object>();

    const Napi::Value rgba = frame.Get("rgba");
    if (!IsTypedArrayOf(rgba, napi_uint8_array)) {
      Fail("Native EDOF frame RGBA data must be Uint8Array");
    }
    frames[k].rgba =
        TakeView<uint8_t>(rgba, rgbaLength, "Native EDOF frame RGBA length is invalid", views);

    const Napi::Value scale = frame.Get("sourcePixelsPerOutputPixel");
    if (!scale.IsNumber()) {
      Fail("Native EDOF requires numeric sourcePixelsPerOutputPixel");
    }
    const double physicalScale = scale.As<Napi::Number>().DoubleValue();
    if (!std::isfinite(physicalScale)) {
      Fail("Native EDOF received invalid sourcePixelsPerOutputPixel");
    }
    if (physicalScale <= 0) {
      Fail("Native EDOF physical scale must be positive");
    }
    frames[k].physicalScale = physicalScale;

    FieldView& view = fields[k];
    view.mapWidth = ReadRequiredInt(field, "mapWidth");
    view.mapHeight = ReadRequiredInt(field, "mapHeight");
    if (!ValidDimension(view.mapWidth) || !ValidDimension(view.mapHeight)) {
      Fail(kInvalidDimensions);
    }
    const size_t cells = static_cast<size_t>(view.mapWidth) * static_cast<size_t>(view.mapHeight);
    view.x = ReadFieldMap(field, "x", cells, views);
    view.y = ReadFieldMap(field, "y", cells, views);
    view.confidence = ReadFieldMap(field, "confidence", cells, views);
    view.accepted = field.Get("accepted").ToBoolean().Value();

    const Napi::Value weight = weightsArray.Get(k);
    if (!IsTypedArrayOf(weight, napi_float32_array)) {
      Fail("Native EDOF weights must be Float32Array values");
    }
    weights[k] = TakeView<float>(weight, cells, "Native EDOF weight length is invalid", views);
  }
  const unsigned int threads = ReadThreadBudget(request);
  for (const CheckedArray& view : views) {
    if (IsTypedArrayOf(view.value, napi_uint8_array)) {
      RecheckView<uint8_t>(env, view);
    } else {
      RecheckView<float>(env, view);
    }
  }

  const std::string simd = CpuHasAvx2() ? "avx2" : "sse2";
  // The fusion writes straight into the buffer the script receives.
  const size_t resultBytes = static_cast<size_t>(rgbaLength);
  Napi::ArrayBuffer buffer = Napi::ArrayBuffer::New(env, resultBytes);
  const auto start = std::chrono::steady_clock::now();
  FuseInto(width, height, referenceIndex, frames, fields, weights, threads, simd,
           static_cast<uint8_t*>(buffer.Data()));
  const auto stop = std::chrono::steady_clock::now();
  const double durationMs =
      std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count() / 1000000.0;

  Napi::Object result = Napi::Object::New(env);
  result.Set("data", Napi::Uint8Array::New(env, resultBytes, buffer, 0));
  result.Set("backend", Napi::String::New(env, "native-cpp"));
  result.Set("simd", Napi::String::New(env, simd));
  result.Set("threads", Napi::Number::New(env, threads));
  result.Set("durationMs", Napi::Number::New(env, durationMs));
  return result;
}

}  // namespace

Napi::Value EdoFMultibandFuse(const Napi::CallbackInfo& info) {
  // Every failure becomes a script Error carrying its message; nothing else leaves.
  try {
    return Run(info);
  } catch (const std::exception& error) {
    throw Napi::Error::New(info.Env(), error.what());
  } catch (...) {
    throw Napi::Error::New(info.Env(), "Native EDOF fusion failed");
  }
}

void RegisterEdoF(Napi::Env env, Napi::Object exports) {
  RegisterFunction<EdoFMultibandFuse>(env, exports, "edofMultibandFuse");
}

}  // namespace zentri_native
