// The live preview's script functions, the quality and encoded frames, the libjpeg-turbo loader,
// and the camera module's process-wide preview producer and camera recorder.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "camera/camera.h"
#include "camera/camera_binding.h"
#include "camera/preview_producer.h"
#include "camera/turbojpeg_runtime.h"
#include "core/script_args.h"
#include "recording/linux_backend.h"
#include "recording/video_recorder.h"

namespace zentri_native {

// Defined in this order so that the producer, which offers its frames to the recorder, is
// destroyed (stopped and joined) before the recorder.
VideoRecorder g_cameraRecorder(LinuxRecorderPlatform());
CameraPreviewProducer g_cameraPreviewProducer(g_cameraBinding, &g_cameraRecorder);
TurboJpegRuntime g_turboJpeg;

namespace {

// The preview thread calls into the capture library. The library is opened after the addon, so
// its static objects are destroyed first at exit; a handler registered when a preview starts
// with the library loaded runs before them (exit handlers run in reverse order of registration)
// and ends the producer thread in time. A preview started before the library was loaded
// registers once more when one starts after it.
void StopPreviewAtExit() {
  g_cameraPreviewProducer.Stop();
}

void RegisterExitStop() {
  static bool registered = false;
  static bool registeredAfterLoad = false;
  const bool loaded = g_cameraBinding.loaded();
  if (!registered || (loaded && !registeredAfterLoad)) {
    if (std::atexit(StopPreviewAtExit) == 0) {
      registered = true;
      registeredAfterLoad = registeredAfterLoad || loaded;
    }
  }
}

// A script number as a sequence: not positive (or NaN) is 0, beyond the 64-bit range saturates.
uint64_t ReadSequenceArg(const Napi::CallbackInfo& info, size_t index) {
  const double value = ReadDoubleArg(info, index, 0);
  if (!(value > 0)) {
    return 0;
  }
  if (value >= 18446744073709551616.0) {
    return std::numeric_limits<uint64_t>::max();
  }
  return static_cast<uint64_t>(value);
}

const char* PixelFormatName(int32_t code) {
  switch (code) {
    case 0:
      return "rgb";
    case 1:
      return "bgra";
    case 2:
      return "nv12";
    case 3:
      return "yuy2";
    case 6:
      return "i420";
    case 7:
      return "uyvy";
    default:
      return "rgba";
  }
}

Napi::Array IntArray(Napi::Env env, const int32_t* values, int32_t count) {
  const uint32_t n = static_cast<uint32_t>(count < 0 ? 0 : (count > 3 ? 3 : count));
  Napi::Array array = Napi::Array::New(env, n);
  for (uint32_t i = 0; i < n; ++i) {
    array.Set(i, Napi::Number::New(env, values[i]));
  }
  return array;
}

void SetStatisticsTail(Napi::Object result, uint64_t sequence,
                       const CameraPreviewProducer::Statistics& statistics) {
  Napi::Env env = result.Env();
  result.Set("sequence", Napi::Number::New(env, static_cast<double>(sequence)));
  result.Set("droppedFrames", Napi::Number::New(env, statistics.droppedFrames));
  result.Set("lastResult", Napi::Number::New(env, statistics.lastResult));
  result.Set("producerFps", Napi::Number::New(env, statistics.producerRate / 10.0));
  result.Set("producedFrames",
             Napi::Number::New(env, static_cast<double>(statistics.producedFrames)));
}

}  // namespace

Napi::Value CameraPreviewStart(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  // Script-owned slots for direct delivery exist only on other platforms' capture stacks.
  if (info.Length() >= 5 && info[4].IsArray()) {
    return Napi::Number::New(env, kCameraNotSupported);
  }
  const int index = ReadIntArg(info, 0, -1);
  if (index < 0) {
    return Napi::Number::New(env, kPreviewNoPreview);
  }
  const int maxWidth = ReadIntArg(info, 1, 960);
  const int maxHeight = ReadIntArg(info, 2, 540);
  const int fps = ReadIntArg(info, 3, 30);
  const int result = g_cameraPreviewProducer.Start(index, maxWidth, maxHeight,
                                                   CameraPreviewProducer::FrameIntervalForFps(fps));
  if (result == kCameraResultOk) {
    RegisterExitStop();
  }
  return Napi::Number::New(env, result);
}

Napi::Value CameraPreviewStop(const Napi::CallbackInfo& info) {
  const int index = ReadIntArg(info, 0, -1);
  if (index < 0 || index == g_cameraPreviewProducer.DeviceIndex()) {
    g_cameraPreviewProducer.Stop();
  }
  return Napi::Number::New(info.Env(), 0);
}

Napi::Value CameraPreviewIsRunning(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(info.Env(), g_cameraPreviewProducer.IsRunning());
}

Napi::Value CameraPreviewIsDirect(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(info.Env(), false);
}

Napi::Value CameraPreviewReleaseDirectSlot(const Napi::CallbackInfo& info) {
  return Napi::Number::New(info.Env(), -1);
}

Napi::Value CameraPreviewReleaseAllDirectSlots(const Napi::CallbackInfo& info) {
  return Napi::Number::New(info.Env(), 0);
}

Napi::Value CameraPreviewGetLatest(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const int index = ReadIntArg(info, 0, -1);
  const uint64_t lastSequence = ReadSequenceArg(info, 1);
  Napi::Uint8Array target;
  if (info.Length() >= 3 && info[2].IsTypedArray() &&
      info[2].As<Napi::TypedArray>().TypedArrayType() == napi_uint8_array) {
    target = info[2].As<Napi::Uint8Array>();
  }
  Napi::Value data = env.Null();
  const CameraPreviewProducer::Latest latest =
      g_cameraPreviewProducer.GetLatest(index, lastSequence, [&](size_t size) -> uint8_t* {
        if (!target.IsEmpty() && target.ByteLength() >= size) {
          Napi::ArrayBuffer buffer = target.ArrayBuffer();
          // A view over a SharedArrayBuffer cannot be made through Node-API: such a target is
          // treated like any other unusable one.
          if (buffer.IsArrayBuffer()) {
            data = Napi::Uint8Array::New(env, size, buffer, target.ByteOffset());
            return target.Data();
          }
        }
        Napi::Buffer<uint8_t> fresh = Napi::Buffer<uint8_t>::New(env, size);
        data = fresh;
        return fresh.Data();
      });

  Napi::Object result = Napi::Object::New(env);
  result.Set("result", Napi::Number::New(env, latest.result));
  if (latest.result != kCameraResultOk) {
    result.Set("data", env.Null());
    SetStatisticsTail(result, latest.sequence, latest.statistics);
    return result;
  }
  const CameraPreviewProducer::PreviewMeta& meta = latest.meta;
  const CameraPreviewProducer::Statistics& statistics = latest.statistics;
  result.Set("sequence", Napi::Number::New(env, static_cast<double>(meta.sequence)));
  result.Set("width", Napi::Number::New(env, meta.width));
  result.Set("height", Napi::Number::New(env, meta.height));
  result.Set("bytesPerRow", Napi::Number::New(env, meta.bytesPerRow));
  result.Set("pixelFormat", Napi::String::New(env, PixelFormatName(meta.pixelFormat)));
  result.Set("planeOffsets", IntArray(env, meta.planeOffsets.data(), meta.planeCount));
  result.Set("planeStrides", IntArray(env, meta.planeStrides.data(), meta.planeCount));
  result.Set("sourceWidth", Napi::Number::New(env, meta.sourceWidth));
  result.Set("sourceHeight", Napi::Number::New(env, meta.sourceHeight));
  result.Set("sourceBytesPerRow", Napi::Number::New(env, meta.sourceBytesPerRow));
  result.Set("timestampMs", Napi::Number::New(env, static_cast<double>(meta.timestampMs)));
  result.Set("droppedFrames", Napi::Number::New(env, statistics.droppedFrames));
  result.Set("producerFps", Napi::Number::New(env, statistics.producerRate / 10.0));
  result.Set("producerMode", Napi::String::New(env, "polling"));
  result.Set("deliveryMode", Napi::String::New(env, "copy"));
  result.Set("producedFrames",
             Napi::Number::New(env, static_cast<double>(statistics.producedFrames)));
  result.Set("lastResult", Napi::Number::New(env, statistics.lastResult));
  result.Set("data", data);
  return result;
}

Napi::Value CameraPreviewGetLatestQualityFrame(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const int index = ReadIntArg(info, 0, -1);
  const uint64_t lastSequence = ReadSequenceArg(info, 1);
  Napi::Object result = Napi::Object::New(env);
  uint64_t sequence = 0;
  // The copy is made under the quality-frame lock, which the producer takes only to refresh it.
  const bool delivered = g_cameraPreviewProducer.GetQualityFrame(
      index, lastSequence,
      [&](const CameraPreviewProducer::QualityFrameView& frame) {
        result.Set("result", Napi::Number::New(env, kCameraResultOk));
        result.Set("sequence", Napi::Number::New(env, static_cast<double>(frame.sequence)));
        result.Set("width", Napi::Number::New(env, frame.width));
        result.Set("height", Napi::Number::New(env, frame.height));
        result.Set("bytesPerRow", Napi::Number::New(env, frame.bytesPerRow));
        result.Set("pixelFormat", Napi::String::New(env, frame.fourBytesPerPixel ? "bgra" : "rgb"));
        result.Set("timestampMs", Napi::Number::New(env, static_cast<double>(frame.timestampMs)));
        result.Set("data", Napi::Buffer<uint8_t>::Copy(env, frame.data,
                                                       static_cast<size_t>(frame.dataSize)));
      },
      &sequence);
  if (!delivered) {
    result.Set("result", Napi::Number::New(env, kCameraResultNo));
    result.Set("sequence", Napi::Number::New(env, static_cast<double>(sequence)));
    result.Set("data", env.Null());
  }
  return result;
}

Napi::Value CameraGrabEncodedFrame(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const int index = ReadIntArg(info, 0, -1);
  Napi::Object result = Napi::Object::New(env);
  const bool delivered = g_cameraPreviewProducer.GetEncodedFrame(
      index, [&](const CameraPreviewProducer::EncodedFrameView& frame) {
        result.Set("result", Napi::Number::New(env, kCameraResultOk));
        result.Set("sequence", Napi::Number::New(env, static_cast<double>(frame.sequence)));
        result.Set("width", Napi::Number::New(env, frame.width));
        result.Set("height", Napi::Number::New(env, frame.height));
        result.Set("mimeType", Napi::String::New(env, "image/jpeg"));
        result.Set("timestampMs", Napi::Number::New(env, static_cast<double>(frame.timestampMs)));
        result.Set("data", Napi::Buffer<uint8_t>::Copy(env, frame.data, frame.size));
      });
  if (!delivered) {
    result.Set("result", Napi::Number::New(env, kCameraResultNo));
    result.Set("data", env.Null());
  }
  return result;
}

Napi::Value LoadTurboJpeg(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(info.Env(), g_turboJpeg.Load(ReadStringArg(info, 0)));
}

Napi::Value TurboJpegAvailable(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(info.Env(), g_turboJpeg.Available());
}

Napi::Value TurboJpegLoadPath(const Napi::CallbackInfo& info) {
  return Napi::String::New(info.Env(), g_turboJpeg.loadPath());
}

}  // namespace zentri_native
