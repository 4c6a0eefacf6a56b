#include "recording/recording_functions.h"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/last_error.h"
#include "core/script_args.h"
#include "recording/ffmpeg_api.h"
#include "recording/linux_backend.h"
#include "recording/video_pixel_format.h"

namespace zentri_native {

namespace {

constexpr const char* kStartSignature = "Expected (outputPath, width, height, frameRate, bitrate)";
constexpr const char* kEnqueueSignature =
    "Expected (Uint8Array pixels, width, height, rgba or bgra, monotonicTimestampMicroseconds)";
// Ten times this is still an exact double, so the 100-ns tick count is exact.
constexpr double kMaxTimestampMicroseconds = 900719925474099.0;

// A finite number without a fractional part, within [low, high].
bool IntegerInRange(const Napi::Value& value, double low, double high) {
  if (!value.IsNumber()) {
    return false;
  }
  const double number = value.As<Napi::Number>().DoubleValue();
  return std::isfinite(number) && std::trunc(number) == number && number >= low && number <= high;
}

// The external recorders of every environment. process.exit() and an uncaught exception end the
// process without running the environments' clean-up hooks, so an exit handler finalizes what
// they still record (as the camera recorder, a static object, is finalized at exit).
class ExternalRecorders {
 public:
  static ExternalRecorders& Instance() {
    // Never destroyed: the exit handler may run after static destructors have begun.
    static ExternalRecorders* instance = new ExternalRecorders();
    return *instance;
  }

  std::shared_ptr<VideoRecorder> Add() {
    auto recorder = std::make_shared<VideoRecorder>(LinuxRecorderPlatform());
    std::call_once(exitHandler_, [] {
      // Exit handlers run in reverse order of registration, and the FFmpeg binding is a static
      // object destroyed at exit: created first, it is still there when this handler stops an
      // in-process encoder.
      FfmpegApi::Instance();
      std::atexit([] { Instance().StopAll(); });
    });
    std::lock_guard<std::mutex> lock(mutex_);
    Prune();
    recorders_.push_back(recorder);
    return recorder;
  }

 private:
  void StopAll() {
    std::vector<std::shared_ptr<VideoRecorder>> live;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& weak : recorders_) {
        if (auto recorder = weak.lock()) {
          live.push_back(std::move(recorder));
        }
      }
    }
    // Outside the lock: stopping joins the recorder's thread and waits for its encoder.
    for (const auto& recorder : live) {
      recorder->Stop();
    }
  }

  void Prune() {
    std::vector<std::weak_ptr<VideoRecorder>> kept;
    for (auto& weak : recorders_) {
      if (!weak.expired()) {
        kept.push_back(std::move(weak));
      }
    }
    recorders_.swap(kept);
  }

  std::mutex mutex_;
  std::once_flag exitHandler_;
  std::vector<std::weak_ptr<VideoRecorder>> recorders_;
};

VideoRecorder& RecorderOf(const Napi::CallbackInfo& info) {
  return *static_cast<VideoRecorder*>(info.Data());
}

Napi::Value ExternalAvailable(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(info.Env(), RecorderOf(info).Available());
}

Napi::Value ExternalStart(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() != 5 || !info[0].IsString() || !IntegerInRange(info[1], 2, 8192) ||
      !IntegerInRange(info[2], 2, 8192) || !IntegerInRange(info[3], 1, 120) ||
      !IntegerInRange(info[4], 100000, 240000000)) {
    throw Napi::TypeError::New(env, kStartSignature);
  }
  VideoRecorder& recorder = RecorderOf(info);
  if (recorder.GetStatus().recording) {
    SetLastError("An external video recording is already running");
    return Napi::Number::New(env, -5);
  }
  const int32_t result =
      recorder.Start(ReadStringArg(info, 0), ReadIntArg(info, 1, 0), ReadIntArg(info, 2, 0),
                     ReadIntArg(info, 3, 0), ReadIntArg(info, 4, 0));
  if (result < 0) {
    const std::string error = recorder.GetStatus().error;
    SetLastError(error.empty() ? "Could not start the external video recorder" : error);
  }
  return Napi::Number::New(env, result);
}

Napi::Value ExternalEnqueue(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const bool isUint8Array = info.Length() >= 1 && info[0].IsTypedArray() &&
                            info[0].As<Napi::TypedArray>().TypedArrayType() == napi_uint8_array;
  if (info.Length() != 5 || !isUint8Array || !IntegerInRange(info[1], 2, 8192) ||
      !IntegerInRange(info[2], 2, 8192) || !info[3].IsString() ||
      !IntegerInRange(info[4], 0, kMaxTimestampMicroseconds)) {
    throw Napi::TypeError::New(env, kEnqueueSignature);
  }
  const int32_t width = ReadIntArg(info, 1, 0);
  const int32_t height = ReadIntArg(info, 2, 0);
  const std::string layout = ReadStringArg(info, 3);
  Napi::Uint8Array pixels = info[0].As<Napi::Uint8Array>();
  const uint64_t expectedBytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4;
  if ((layout != "rgba" && layout != "bgra") || pixels.ByteLength() != expectedBytes) {
    throw Napi::RangeError::New(env, "Invalid external video frame layout");
  }
  const int32_t format =
      static_cast<int32_t>(layout == "rgba" ? VideoPixelFormat::Rgba : VideoPixelFormat::Bgra);
  const int32_t offsets[3] = {0, 0, 0};
  const int32_t strides[3] = {width * 4, 0, 0};
  const int64_t ticks = static_cast<int64_t>(info[4].As<Napi::Number>().DoubleValue()) * 10;
  const bool accepted = RecorderOf(info).TryEnqueue(pixels.Data(), pixels.ByteLength(), width,
                                                    height, format, 1, offsets, strides, ticks);
  return Napi::Boolean::New(env, accepted);
}

Napi::Value ExternalStop(const Napi::CallbackInfo& info) {
  VideoRecorder& recorder = RecorderOf(info);
  const int32_t result = recorder.Stop();
  if (result < 0) {
    SetLastError(recorder.GetStatus().error);
  }
  return Napi::Number::New(info.Env(), result);
}

Napi::Value ExternalStatus(const Napi::CallbackInfo& info) {
  return MakeRecordingStatusObject(info.Env(), RecorderOf(info).GetStatus());
}

}  // namespace

Napi::Object MakeRecordingStatusObject(Napi::Env env, const VideoRecorder::Status& status) {
  Napi::Object result = Napi::Object::New(env);
  result.Set("available", Napi::Boolean::New(env, status.available));
  result.Set("recording", Napi::Boolean::New(env, status.recording));
  result.Set("outputPath", Napi::String::New(env, status.outputPath));
  result.Set("error", Napi::String::New(env, status.error));
  result.Set("encoderName", Napi::String::New(env, status.encoderName));
  result.Set("encoderAcceleration", Napi::String::New(env, status.encoderAcceleration));
  result.Set("conversionBackend", Napi::String::New(env, status.conversionBackend));
  result.Set("accelerationFallbackReason",
             Napi::String::New(env, status.accelerationFallbackReason));
  result.Set("framesWritten", Napi::Number::New(env, static_cast<double>(status.framesWritten)));
  result.Set("framesDropped", Napi::Number::New(env, static_cast<double>(status.framesDropped)));
  result.Set("durationMs", Napi::Number::New(env, static_cast<double>(status.durationMs)));
  result.Set("width", Napi::Number::New(env, status.width));
  result.Set("height", Napi::Number::New(env, status.height));
  result.Set("frameRate", Napi::Number::New(env, status.frameRate));
  result.Set("bitrate", Napi::Number::New(env, status.bitrate));
  return result;
}

void RegisterExternalVideoRecorder(Napi::Env env, Napi::Object exports) {
  // One recorder per environment (the main thread and every worker thread get their own). The
  // clean-up hook releases it, which finalizes a running recording before the environment goes
  // (unless the exit handler holds it at that moment: it is then finalized there).
  auto owned =
      std::make_unique<std::shared_ptr<VideoRecorder>>(ExternalRecorders::Instance().Add());
  VideoRecorder* recorder = owned->get();
  std::shared_ptr<VideoRecorder>* holder = owned.get();
  env.AddCleanupHook([holder] { delete holder; });
  owned.release();
  const struct {
    const char* name;
    Napi::Function::Callback callback;
  } functions[] = {
      {"externalRecordingAvailable", ExternalAvailable}, {"externalRecordingStart", ExternalStart},
      {"externalRecordingEnqueue", ExternalEnqueue},     {"externalRecordingStop", ExternalStop},
      {"externalRecordingStatus", ExternalStatus},
  };
  for (const auto& function : functions) {
    exports.Set(function.name, Napi::Function::New(env, function.callback, nullptr, recorder));
  }
}

}  // namespace zentri_native
