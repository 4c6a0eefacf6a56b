// One-shot frame access: the frame geometry, the raw packed-RGB frame, and a size-limited RGBA
// copy for display. The grab runs on the calling thread.
#include <chrono>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "camera/camera.h"
#include "camera/camera_binding.h"
#include "camera/decimation.h"
#include "core/script_args.h"

namespace zentri_native {
namespace {

// The calling thread's grab buffer: resized for each grab (std::vector keeps its memory when the
// size shrinks), so repeated grabs of one camera allocate nothing. The preview producer thread
// has its own, so the script thread and the producer never share one.
thread_local std::vector<uint8_t> t_grabScratch;

double WallClockMs() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() /
                             1000000);
}

}  // namespace

Napi::Value CameraFrameInfo(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const CameraBinding& b = g_cameraBinding;
  const int index = ReadIntArg(info, 0, -1);
  const int bytesPerRow = b.PreviewFrameBytesPerRow(index);
  Napi::Object result = Napi::Object::New(env);
  result.Set("width", b.FrameWidth(index));
  result.Set("height", b.FrameHeight(index));
  result.Set("bytesPerRow", bytesPerRow);
  result.Set("dataSize", static_cast<double>(b.PreviewFrameDataSize(index)));
  result.Set("pixelFormat", "rgb");
  Napi::Array offsets = Napi::Array::New(env, 1);
  offsets.Set(0u, 0);
  result.Set("planeOffsets", offsets);
  Napi::Array strides = Napi::Array::New(env, 1);
  strides.Set(0u, bytesPerRow);
  result.Set("planeStrides", strides);
  return result;
}

Napi::Value CameraGrabFrame(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const CameraBinding& b = g_cameraBinding;
  const int index = ReadIntArg(info, 0, -1);
  const int width = b.FrameWidth(index);
  const int height = b.FrameHeight(index);
  // The buffer is sized for packed rows of the width as queried now.
  const int rowWidth = b.FrameWidth(index);
  const int64_t bytesPerRow = rowWidth < 1 ? -1 : int64_t{3} * rowWidth;
  Napi::Object result = Napi::Object::New(env);
  result.Set("width", width);
  result.Set("height", height);
  result.Set("bytesPerRow", static_cast<double>(bytesPerRow));
  result.Set("pixelFormat", "rgb");
  if (width < 1 || height < 1 || bytesPerRow < 1) {
    result.Set("result", kCameraGeometryInvalid);
    result.Set("data", env.Null());
    return result;
  }
  // The library takes its capacity as an int: a larger frame cannot be grabbed in one call. (Three
  // times a 31-bit width times a 31-bit height does not even fit in 64 bits.)
  constexpr int64_t kMaxCapacity = std::numeric_limits<int>::max();
  if (bytesPerRow > kMaxCapacity / height) {
    result.Set("result", kCameraSizeInvalid);
    result.Set("data", env.Null());
    return result;
  }
  const int64_t size = bytesPerRow * height;
  Napi::Buffer<uint8_t> data = Napi::Buffer<uint8_t>::New(env, static_cast<size_t>(size));
  const int grabbed = b.GrabFrame(index, data.Data(), size);
  if (grabbed != kCameraResultOk) {
    // The buffer is returned on failure too; never with leftover memory in it.
    std::memset(data.Data(), 0, static_cast<size_t>(size));
  }
  result.Set("result", grabbed);
  result.Set("data", data);
  result.Set("timestampMs", WallClockMs());
  return result;
}

Napi::Value CameraGrabFrameRgba(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const CameraBinding& b = g_cameraBinding;
  const int index = ReadIntArg(info, 0, -1);
  const int maxWidth = ReadIntArg(info, 1, 960);
  const int maxHeight = ReadIntArg(info, 2, 540);
  const int sourceWidth = b.FrameWidth(index);
  const int sourceHeight = b.FrameHeight(index);
  const int stride = b.PreviewFrameBytesPerRow(index);
  Napi::Object result = Napi::Object::New(env);
  result.Set("sourceWidth", sourceWidth);
  result.Set("sourceHeight", sourceHeight);
  result.Set("sourceBytesPerRow", stride);
  // A stride shorter than the pixels of a row would make the decimation read past the frame.
  if (sourceWidth < 1 || sourceHeight < 1 || stride < 1 ||
      int64_t{stride} < int64_t{3} * sourceWidth) {
    result.Set("result", kCameraGeometryInvalid);
    result.Set("data", env.Null());
    return result;
  }
  const int64_t size = int64_t{stride} * sourceHeight;
  bool haveBuffer = size <= std::numeric_limits<int>::max();
  if (haveBuffer) {
    try {
      t_grabScratch.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
      haveBuffer = false;
    }
  }
  if (!haveBuffer) {
    result.Set("result", kCameraSizeInvalid);
    result.Set("data", env.Null());
    return result;
  }
  const int grabbed = b.GrabFrame(index, t_grabScratch.data(), size);
  result.Set("result", grabbed);
  if (grabbed != kCameraResultOk) {
    result.Set("data", env.Null());
    return result;
  }
  const DecimationPlan plan = PlanDecimation(sourceWidth, sourceHeight, maxWidth, maxHeight);
  const size_t outBytes = static_cast<size_t>(plan.outWidth) * 4 * plan.outHeight;
  Napi::Buffer<uint8_t> data = Napi::Buffer<uint8_t>::New(env, outBytes);
  DecimateRgbToRgba(t_grabScratch.data(), stride, sourceWidth, sourceHeight, plan, data.Data());
  result.Set("width", plan.outWidth);
  result.Set("height", plan.outHeight);
  result.Set("bytesPerRow", static_cast<double>(int64_t{plan.outWidth} * 4));
  result.Set("data", data);
  result.Set("timestampMs", WallClockMs());
  return result;
}

}  // namespace zentri_native
