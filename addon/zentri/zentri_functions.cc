// The Zentri script functions: argument reading, the executor calls with their time-outs, and
// the result objects with their keys in fixed order.
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/promise_workers.h"
#include "core/script_args.h"
#include "core/vendor_executors.h"
#include "zentri/zentri.h"
#include "zentri/zentri_binding.h"
#include "zentri/zentri_telemetry.h"

namespace zentri_native {
namespace {

// Runs a job on the Zentri executor and waits for it; the failure value when it times out, the
// executor is shutting down or the job throws (the reason is then in the last-error slot).
template <typename F, typename R>
R RunJob(F job, std::chrono::milliseconds timeout, R failure) {
  return g_zentriExecutor.Invoke(std::move(job), timeout).value_or(std::move(failure));
}

// Only a boolean argument counts; anything else is "not forced".
bool ReadForce(const Napi::CallbackInfo& info) {
  return info.Length() > 0 && info[0].IsBoolean() && info[0].As<Napi::Boolean>().Value();
}

Napi::Object PixelInfoObject(Napi::Env env, const ZentriTelemetrySnapshot& snapshot) {
  Napi::Object pixel = Napi::Object::New(env);
  pixel.Set("ok", snapshot.pixelValid);
  pixel.Set("fromFocusCache", snapshot.fromFocusCache);
  pixel.Set("micronsPerPixel", static_cast<double>(snapshot.micronsPerPixel));
  pixel.Set("width", static_cast<double>(snapshot.width));
  pixel.Set("height", static_cast<double>(snapshot.height));
  return pixel;
}

Napi::Object LensInfoObject(Napi::Env env, const ZentriTelemetrySnapshot& snapshot) {
  Napi::Object lens = Napi::Object::New(env);
  lens.Set("ok", snapshot.lensValid);
  lens.Set("lensDriver", static_cast<double>(snapshot.lensDriver));
  lens.Set("lensGroup", static_cast<double>(snapshot.lensGroup));
  return lens;
}

// The snapshot a cached reader serves, after asking for a background refresh.
ZentriTelemetrySnapshot ScheduledSnapshot() {
  ScheduleZentriTelemetry();
  return FreshZentriTelemetry(ZentriSteadyNowMs());
}

Napi::Value FocusActionAsync(const Napi::CallbackInfo& info, const char* resourceName,
                             ZentriFocusAction action) {
  return RunBooleanAsync(info.Env(), resourceName, [action] {
    return RunJob([action] { return RunZentriFocusActionOnOwnerThread(action); },
                  kVendorCallTimeout, false);
  });
}

}  // namespace

void InstallZentriShutdown(Napi::Env env) {
  AddVendorExecutorCleanupHook(env);
  // process.exit() ends the process without environment clean-up hooks, and static objects of
  // different files are destroyed in no fixed order. A handler registered now, after every
  // static object of the addon exists, runs before any of them is destroyed: the executors drain
  // and join while the binding and telemetry state that their jobs use are still alive.
  static std::once_flag registered;
  std::call_once(registered, [] { std::atexit(StopVendorSdkExecutors); });
}

Napi::Value LoadZentri(const Napi::CallbackInfo& info) {
  const std::string path = ReadStringArg(info, 0);
  const ZentriLoadResult result = RunJob([path] { return LoadZentriOnOwnerThread(path); },
                                         kVendorCallTimeout, ZentriLoadResult());
  Napi::Object object = Napi::Object::New(info.Env());
  object.Set("ok", result.ok);
  object.Set("path", result.path);
  return object;
}

Napi::Value ZentriInit(const Napi::CallbackInfo& info) {
  const bool force = ReadForce(info);
  ResetZentriTelemetry();
  const bool ok =
      RunJob([force] { return InitializeZentriOnOwnerThread(force); }, kVendorInitTimeout, false);
  // A refresh that ran during the initialisation sampled the old state.
  ResetZentriTelemetry();
  InvalidateZentriVersionSnapshots();
  return Napi::Boolean::New(info.Env(), ok);
}

Napi::Value ZentriLastError(const Napi::CallbackInfo& info) {
  return Napi::String::New(info.Env(), ZentriLastErrorText());
}

Napi::Value ZentriInitAsync(const Napi::CallbackInfo& info) {
  const bool force = ReadForce(info);
  return RunBooleanAsync(info.Env(), "ZentriInit", [force] {
    return RunJob([force] { return InitializeZentriOnOwnerThread(force); }, kVendorInitTimeout,
                  false);
  });
}

Napi::Value ZentriDeviceCount(const Napi::CallbackInfo& info) {
  return Napi::Number::New(info.Env(),
                           RunJob(ZentriDeviceCountOnOwnerThread, kVendorCallTimeout, 0));
}

Napi::Value ZentriDevicesAsync(const Napi::CallbackInfo& info) {
  return RunVendorDeviceListAsync(info.Env(), "ZentriDevices", [] {
    return RunJob(ListZentriDevicesOnOwnerThread, kVendorInitTimeout,
                  std::vector<VendorDeviceSnapshot>());
  });
}

Napi::Value ZentriDeviceUniqueId(const Napi::CallbackInfo& info) {
  const int index = ReadIntArg(info, 0, -1);
  return Napi::String::New(info.Env(),
                           RunJob([index] { return ZentriDeviceUniqueIdOnOwnerThread(index); },
                                  kVendorCallTimeout, std::string()));
}

Napi::Value ZentriDeviceFriendlyName(const Napi::CallbackInfo& info) {
  const int index = ReadIntArg(info, 0, -1);
  return Napi::String::New(info.Env(),
                           RunJob([index] { return ZentriDeviceFriendlyNameOnOwnerThread(index); },
                                  kVendorCallTimeout, std::string()));
}

Napi::Value ZentriSelectDevice(const Napi::CallbackInfo& info) {
  const int index = ReadIntArg(info, 0, -1);
  ResetZentriTelemetry();
  return Napi::Boolean::New(info.Env(),
                            RunJob([index] { return SelectZentriDeviceOnOwnerThread(index); },
                                   kVendorSelectTimeout, false));
}

Napi::Value ZentriSelectDeviceAsync(const Napi::CallbackInfo& info) {
  const int index = ReadIntArg(info, 0, -1);
  return RunBooleanAsync(info.Env(), "ZentriSelectDevice", [index] {
    return RunJob([index] { return SelectZentriDeviceOnOwnerThread(index); }, kVendorSelectTimeout,
                  false);
  });
}

Napi::Value ZentriGetSelectedDevice(const Napi::CallbackInfo& info) {
  return Napi::Number::New(info.Env(),
                           RunJob([] { return g_zentri.selectedIndex(); }, kVendorCallTimeout, -1));
}

Napi::Value ZentriGetTelemetry(const Napi::CallbackInfo& info) {
  if (info.Length() >= 2 && info[0].IsNumber() && info[1].IsNumber()) {
    ReportZentriFrameSize(static_cast<uint32_t>(ReadIntArg(info, 0, 0)),
                          static_cast<uint32_t>(ReadIntArg(info, 1, 0)));
  }
  const ZentriTelemetrySnapshot snapshot = ScheduledSnapshot();
  Napi::Env env = info.Env();
  Napi::Object object = Napi::Object::New(env);
  object.Set("status", static_cast<double>(snapshot.status));
  object.Set("focusPosition", static_cast<double>(snapshot.focusPosition));
  object.Set("pixelInfo", PixelInfoObject(env, snapshot));
  object.Set("lensInfo", LensInfoObject(env, snapshot));
  return object;
}

Napi::Value ZentriGetScopeStatus(const Napi::CallbackInfo& info) {
  return Napi::Number::New(info.Env(), ScheduledSnapshot().status);
}

Napi::Value ZentriGetPixelSizeMicrons(const Napi::CallbackInfo& info) {
  return Napi::Number::New(info.Env(), static_cast<double>(ScheduledSnapshot().micronsPerPixel));
}

Napi::Value ZentriGetPixelSizeInfo(const Napi::CallbackInfo& info) {
  return PixelInfoObject(info.Env(), ScheduledSnapshot());
}

Napi::Value ZentriGetLensGroupInfo(const Napi::CallbackInfo& info) {
  return LensInfoObject(info.Env(), ScheduledSnapshot());
}

Napi::Value ZentriCapabilities(const Napi::CallbackInfo& info) {
  const bool loaded = g_zentri.loaded();
  ZentriFunctionTable fn;
  if (loaded) {
    fn = g_zentri.functions();
  }
  Napi::Object object = Napi::Object::New(info.Env());
  object.Set("apiVersion",
             static_cast<double>(fn.getApiVersion != nullptr ? fn.getApiVersion() : 65536));
  object.Set("focus", fn.triggerAutoFocus != nullptr && fn.getFocusPosition != nullptr &&
                          fn.setFocusPosition != nullptr && fn.focusNearStep != nullptr &&
                          fn.focusFarStep != nullptr);
  object.Set("led", fn.getLedState != nullptr && fn.setLedState != nullptr);
  object.Set("pixelSizeInfo", fn.getPixelSizeInfo != nullptr);
  object.Set("lensGroupInfo", fn.getLensGroupInfo != nullptr);
  return object;
}

Napi::Value ZentriGetFocusPosition(const Napi::CallbackInfo& info) {
  return Napi::Number::New(info.Env(), CachedZentriFocusPosition(ZentriSteadyNowMs()));
}

Napi::Value ZentriGetLedState(const Napi::CallbackInfo& info) {
  // The library's Init enumerates the bus and replaces the tables that executor jobs read, so
  // it runs on the executor like every other initialisation, never on the script thread.
  if (g_zentri.loaded() && !g_zentri.initialized() &&
      !RunJob([] { return g_zentri.Init(); }, kVendorInitTimeout, false)) {
    return Napi::Number::New(info.Env(), -1);
  }
  return Napi::Number::New(info.Env(), ZentriLedStateOfInitializedLibrary());
}

Napi::Value ZentriTriggerAutoFocusAsync(const Napi::CallbackInfo& info) {
  return FocusActionAsync(info, "ZentriTriggerAutoFocus", ZentriFocusAction::kAutoFocus);
}

Napi::Value ZentriSetFocusPositionAsync(const Napi::CallbackInfo& info) {
  const int position = ReadIntArg(info, 0, -1);
  return RunBooleanAsync(info.Env(), "ZentriSetFocusPosition", [position] {
    return RunJob([position] { return SetZentriFocusPositionOnOwnerThread(position); },
                  kVendorCallTimeout, false);
  });
}

Napi::Value ZentriFocusNearAsync(const Napi::CallbackInfo& info) {
  return FocusActionAsync(info, "ZentriFocusNear", ZentriFocusAction::kNearStep);
}

Napi::Value ZentriFocusFarAsync(const Napi::CallbackInfo& info) {
  return FocusActionAsync(info, "ZentriFocusFar", ZentriFocusAction::kFarStep);
}

Napi::Value ZentriSetLedStateAsync(const Napi::CallbackInfo& info) {
  const bool on = info.Length() > 0 && info[0].ToBoolean().Value();
  return RunBooleanAsync(info.Env(), "ZentriSetLedState", [on] {
    return RunJob([on] { return SetZentriLedStateOnOwnerThread(on); }, kVendorCallTimeout, false);
  });
}

Napi::Value ZentriIsCapturePressed(const Napi::CallbackInfo& info) {
  ScheduleZentriTelemetry();
  return Napi::Boolean::New(info.Env(), TakeZentriCapturePressed());
}

Napi::Value ZentriVersionInfo(const Napi::CallbackInfo& info) {
  const ZentriVersionRecord record = ZentriCachedVersion();
  if (!record.valid || record.softwareMajor == 0) {
    return info.Env().Null();
  }
  Napi::Object object = Napi::Object::New(info.Env());
  object.Set("productId", static_cast<double>(record.productId));
  object.Set("hardwareMajorVersion", static_cast<double>(record.hardwareMajor));
  object.Set("hardwareMinorVersion", static_cast<double>(record.hardwareMinor));
  object.Set("softwareMajorVersion", static_cast<double>(record.softwareMajor));
  object.Set("softwareMinorVersion", static_cast<double>(record.softwareMinor));
  object.Set("softwarePatchVersion", static_cast<double>(record.softwarePatch));
  return object;
}

Napi::Value ZentriProtocolVersionInfo(const Napi::CallbackInfo& info) {
  const ZentriProtocolRecord record = ZentriCachedProtocol();
  if (!record.valid || record.major == 0) {
    return info.Env().Null();
  }
  Napi::Object object = Napi::Object::New(info.Env());
  object.Set("majorVersion", static_cast<double>(record.major));
  object.Set("minorVersion", static_cast<double>(record.minor));
  object.Set("patchVersion", static_cast<double>(record.patch));
  return object;
}

Napi::Value ZentriDispose(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(
      info.Env(), g_zentriExecutor.InvokeVoid(DisposeZentriOnOwnerThread, kVendorCallTimeout));
}

Napi::Value ZentriDisposeAsync(const Napi::CallbackInfo& info) {
  return RunBooleanAsync(info.Env(), "ZentriDispose", [] {
    return g_zentriExecutor.InvokeVoid(DisposeZentriOnOwnerThread, kVendorCallTimeout);
  });
}

}  // namespace zentri_native
