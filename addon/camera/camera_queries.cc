// Loading of the camera library, device and format queries, capture control, and the fixed
// answers of this platform. Camera outcomes are returned as numbers, never thrown.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/camera_binding.h"
#include "camera/preview_producer.h"
#include "core/script_args.h"
#include "recording/video_recorder.h"

namespace zentri_native {
namespace {

constexpr int kTextBufferSize = 1024;
constexpr int kFormatTypeBufferSize = 256;
// A format count beyond any real device (V4L2 drivers list dozens) is a broken library: the list
// is cut here rather than building an array that exhausts the script heap.
constexpr int kMaxFormatsListed = 65536;

// Runs a text query of the library into a zero-filled buffer and reads up to the first NUL; the
// last byte is forced to 0 so an unterminated answer still ends inside the buffer.
std::string QueryText(CameraBinding::TextFn fn, int index) {
  std::vector<char> buffer(kTextBufferSize, 0);
  fn(index, buffer.data(), kTextBufferSize);
  buffer[kTextBufferSize - 1] = '\0';
  return std::string(buffer.data());
}

// The function is named by member so that it is read only after loaded() (see camera_binding.h).
Napi::Value DeviceText(const Napi::CallbackInfo& info,
                       CameraBinding::TextFn CameraFunctionTable::*fn) {
  if (!g_cameraBinding.loaded()) {
    return Napi::String::New(info.Env(), "");
  }
  return Napi::String::New(info.Env(), QueryText(g_cameraBinding.*fn, ReadIntArg(info, 0, -1)));
}

void RequireArguments(const Napi::CallbackInfo& info, size_t count, const char* message) {
  if (info.Length() < count) {
    throw Napi::TypeError::New(info.Env(), message);
  }
}

}  // namespace

Napi::Value LoadCameraBackend(const Napi::CallbackInfo& info) {
  // A second string and a flag are accepted for other platforms' capture stacks and ignored.
  return Napi::Boolean::New(info.Env(), g_cameraBinding.Load(ReadStringArg(info, 0)));
}

Napi::Value CameraLoadPath(const Napi::CallbackInfo& info) {
  return Napi::String::New(info.Env(), g_cameraBinding.loadPath());
}

Napi::Value CameraBackend(const Napi::CallbackInfo& info) {
  const char* name = "none";
  switch (g_cameraBinding.kind()) {
    case CameraBackendKind::kLinuxV4l2:
      name = "linux-v4l2";
      break;
    case CameraBackendKind::kDirectShow:
      name = "directshow";
      break;
    case CameraBackendKind::kAvFoundation:
      name = "avfoundation";
      break;
    default:
      break;
  }
  return Napi::String::New(info.Env(), name);
}

Napi::Value CameraInitialize(const Napi::CallbackInfo& info) {
  const CameraBinding& b = g_cameraBinding;
  return Napi::Number::New(info.Env(), b.loaded() ? b.initialize() : kCameraNotLoaded);
}

Napi::Value CameraHasVideoCaptureAuth(const Napi::CallbackInfo& info) {
  const CameraBinding& b = g_cameraBinding;
  return Napi::Number::New(info.Env(), b.loaded() ? b.hasVideoCaptureAuth() : kCameraNotLoaded);
}

Napi::Value CameraAskVideoCaptureAuth(const Napi::CallbackInfo& info) {
  if (g_cameraBinding.loaded()) {
    g_cameraBinding.askVideoCaptureAuth();
  }
  return info.Env().Undefined();
}

Napi::Value CameraDevicesCount(const Napi::CallbackInfo& info) {
  const CameraBinding& b = g_cameraBinding;
  return Napi::Number::New(info.Env(), b.loaded() ? b.devicesCount() : 0);
}

Napi::Value CameraDeviceUniqueId(const Napi::CallbackInfo& info) {
  return DeviceText(info, &CameraFunctionTable::deviceUniqueId);
}

Napi::Value CameraDeviceModelId(const Napi::CallbackInfo& info) {
  return DeviceText(info, &CameraFunctionTable::deviceModelId);
}

Napi::Value CameraDeviceName(const Napi::CallbackInfo& info) {
  return DeviceText(info, &CameraFunctionTable::deviceName);
}

Napi::Value CameraDeviceType(const Napi::CallbackInfo& info) {
  return Napi::String::New(info.Env(), "");
}

Napi::Value CameraDeviceFormats(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  Napi::Array formats = Napi::Array::New(env);
  const CameraBinding& b = g_cameraBinding;
  if (!b.loaded()) {
    return formats;
  }
  const int index = ReadIntArg(info, 0, -1);
  const int count = std::min(b.deviceFormatsCount(index), kMaxFormatsListed);
  for (int i = 0; i < count; ++i) {
    char type[kFormatTypeBufferSize];
    std::memset(type, 0, sizeof(type));
    b.deviceFormatType(index, i, type, kFormatTypeBufferSize);
    type[kFormatTypeBufferSize - 1] = '\0';
    Napi::Object format = Napi::Object::New(env);
    format.Set("width", b.deviceFormatWidth(index, i));
    format.Set("height", b.deviceFormatHeight(index, i));
    format.Set("frameRate", b.deviceFormatFrameRate(index, i));
    format.Set("type", type);
    formats.Set(static_cast<uint32_t>(i), format);
  }
  return formats;
}

Napi::Value CameraStartCapture(const Napi::CallbackInfo& info) {
  const CameraBinding& b = g_cameraBinding;
  const int index = ReadIntArg(info, 0, -1);
  const int width = ReadIntArg(info, 1, 0);
  const int height = ReadIntArg(info, 2, 0);
  const int format = ReadIntArg(info, 3, -1);
  // A fifth, boolean argument asks other platforms' capture stacks for direct delivery; ignored.
  int result;
  if (!b.loaded()) {
    result = kCameraNotLoaded;
  } else if (format >= 0) {
    result = b.startCaptureWithFormat != nullptr ? b.startCaptureWithFormat(index, format)
                                                 : kCameraNotSupported;
  } else {
    result = b.startCapture(index, width, height);
  }
  return Napi::Number::New(info.Env(), result);
}

Napi::Value CameraStopCapture(const Napi::CallbackInfo& info) {
  const CameraBinding& b = g_cameraBinding;
  const int index = ReadIntArg(info, 0, -1);
  // A camera recording is finalized first, whatever the index: its frames come from the preview.
  g_cameraRecorder.Stop();
  // The preview thread is told to leave before capture stops and joined after, so it never waits
  // on a device that is going away for longer than one library call.
  const bool stopsPreview = index < 0 || index == g_cameraPreviewProducer.DeviceIndex();
  if (stopsPreview) {
    g_cameraPreviewProducer.RequestStop();
  }
  const int result = b.loaded() ? b.stopCapture(index) : kCameraNotLoaded;
  if (stopsPreview) {
    g_cameraPreviewProducer.JoinAndReset();
  }
  return Napi::Number::New(info.Env(), result);
}

Napi::Value CameraHasFirstFrame(const Napi::CallbackInfo& info) {
  const CameraBinding& b = g_cameraBinding;
  const int index = ReadIntArg(info, 0, -1);
  return Napi::Number::New(info.Env(), b.loaded() ? b.hasFirstFrame(index) : kCameraNotLoaded);
}

Napi::Value CameraButtonPressed(const Napi::CallbackInfo& info) {
  return Napi::Number::New(info.Env(), 0);
}

Napi::Value CameraButtonTimestamp(const Napi::CallbackInfo& info) {
  return Napi::Number::New(info.Env(), 0);
}

Napi::Value CameraHasVideoProcAmp(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(info.Env(), false);
}

Napi::Value CameraVideoProcAmpRange(const Napi::CallbackInfo& info) {
  RequireArguments(info, 2, "Expected (deviceIndex, property)");
  info[0].As<Napi::Number>().Int32Value();
  info[1].As<Napi::Number>().Int32Value();
  Napi::Object result = Napi::Object::New(info.Env());
  result.Set("result", kCameraNoVideoProcAmp);
  result.Set("min", 0);
  result.Set("max", 0);
  result.Set("step", 0);
  result.Set("default", 0);
  result.Set("caps", 0);
  return result;
}

Napi::Value CameraVideoProcAmpGet(const Napi::CallbackInfo& info) {
  RequireArguments(info, 2, "Expected (deviceIndex, property)");
  info[0].As<Napi::Number>().Int32Value();
  info[1].As<Napi::Number>().Int32Value();
  Napi::Object result = Napi::Object::New(info.Env());
  result.Set("result", kCameraNoVideoProcAmp);
  result.Set("value", 0);
  result.Set("flags", 0);
  return result;
}

Napi::Value CameraVideoProcAmpSet(const Napi::CallbackInfo& info) {
  RequireArguments(info, 4, "Expected (deviceIndex, property, value, flags)");
  for (size_t i = 0; i < 4; ++i) {
    info[i].As<Napi::Number>().Int32Value();
  }
  Napi::Object result = Napi::Object::New(info.Env());
  result.Set("result", kCameraNoVideoProcAmp);
  return result;
}

}  // namespace zentri_native
