// Thin script-facing wrappers over the Dino-Lite binding. Each one either runs a task on
// g_dinoLiteExecutor and waits with a time-out, returns a promise that waits on a pool thread
// instead, or answers from the debug snapshot and the telemetry cache without waiting. Ordinary
// failures return the function's failure value; the reason is in "dinoLiteLastError" or, for
// executor failures (time-out, shutdown), only in "getLastError".
#include "dino_lite/dino_lite_functions.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/last_error.h"
#include "core/promise_workers.h"
#include "core/registration.h"
#include "core/script_args.h"
#include "core/vendor_executors.h"
#include "dino_lite/dino_lite_binding.h"

namespace zentri_native {
namespace {

// Cached readings older than this are not returned.
constexpr int64_t kCacheMaxAgeMs = 2000;
// Two magnifications closer than this share a field of view.
constexpr double kFovAmrTolerance = 0.001;

// A flag counts only when it is a script boolean; anything else gives the default.
bool ReadBoolFlag(const Napi::CallbackInfo& info, size_t index, bool defaultValue) {
  if (index < info.Length() && info[index].IsBoolean()) {
    return info[index].As<Napi::Boolean>().Value();
  }
  return defaultValue;
}

// A cached value when it is positive and at most kCacheMaxAgeMs old, else null.
Napi::Value FreshOrNull(Napi::Env env, double value, int64_t atMs) {
  if (value > 0.0 && atMs >= 1 && DinoSteadyNowMs() - atMs <= kCacheMaxAgeMs) {
    return Napi::Number::New(env, value);
  }
  return env.Null();
}

// The tasks, shared by the synchronous and the promise forms.
bool InitializeTask(bool force) {
  return g_dinoLiteExecutor
      .Invoke([force] { return g_dinoLite.InitializeOnOwnerThread(force); }, kVendorInitTimeout)
      .value_or(false);
}

bool SelectTask(int32_t index) {
  return g_dinoLiteExecutor
      .Invoke(
          [index] {
            const bool ok = g_dinoLite.SelectDevice(index);
            ResetDinoTelemetry(ok ? index : -1);
            UpdateDinoSnapshotOnOwnerThread();
            return ok;
          },
          kVendorSelectTimeout)
      .value_or(false);
}

bool EnableMicrotouchTask(bool enable) {
  return g_dinoLiteExecutor
      .Invoke(
          [enable] {
            const bool ok = g_dinoLite.EnableMicrotouch(enable);
            UpdateDinoSnapshotOnOwnerThread();
            return ok;
          },
          kVendorCallTimeout)
      .value_or(false);
}

int ToggleLedTask() {
  return g_dinoLiteExecutor
      .Invoke(
          [] {
            const int32_t mode = g_dinoLite.ToggleLedState();
            UpdateDinoSnapshotOnOwnerThread();
            return mode;
          },
          kVendorCallTimeout)
      .value_or(-1);
}

bool DisposeTask() {
  const bool ran =
      g_dinoLiteExecutor.InvokeVoid([] { g_dinoLite.DisposeOnOwnerThread(); }, kVendorCallTimeout);
  if (!ran) {
    // The dispose may still run later; until then scripts should not see the old device.
    ResetDinoSnapshot();
  }
  return ran;
}

struct LoadResult {
  bool ok = false;
  std::string backend = "none";
  std::string path;
};

Napi::Value LoadDinoLite(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const std::string path = ReadStringArg(info, 0);
  g_dinoLiteExecutor.SetIdleTask([] {});
  LoadResult result = g_dinoLiteExecutor
                          .Invoke(
                              [path] {
                                LoadResult loaded;
                                loaded.ok = g_dinoLite.Load(path);
                                UpdateDinoSnapshotOnOwnerThread();
                                loaded.backend =
                                    DinoLiteBinding::BackendName(g_dinoLite.backendOnOwnerThread());
                                loaded.path = g_dinoLite.pathOnOwnerThread();
                                return loaded;
                              },
                              kVendorInitTimeout)
                          .value_or(LoadResult{});
  Napi::Object object = Napi::Object::New(env);
  object.Set("ok", Napi::Boolean::New(env, result.ok));
  object.Set("backend", Napi::String::New(env, result.backend));
  object.Set("path", Napi::String::New(env, result.path));
  return object;
}

Napi::Value DinoLiteInit(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(info.Env(), InitializeTask(ReadBoolFlag(info, 0, false)));
}

Napi::Value DinoLiteLastError(const Napi::CallbackInfo& info) {
  return Napi::String::New(info.Env(), g_dinoLite.ErrorText());
}

Napi::Value DinoLiteSelectBackendForProductId(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  // Carried with the task for the backends of other platforms; libdinolite's report does not
  // depend on them.
  const int productId = ReadIntArg(info, 0, -1);
  const std::string path = ReadStringArg(info, 1);
  DinoLiteBinding::BackendSelection failed;
  DinoLiteBinding::BackendSelection report =
      g_dinoLiteExecutor
          .Invoke(
              [productId, path] {
                (void)productId;
                (void)path;
                return g_dinoLite.ReportBackendOnOwnerThread();
              },
              kVendorInitTimeout)
          .value_or(failed);
  Napi::Object object = Napi::Object::New(env);
  object.Set("ok", Napi::Boolean::New(env, report.ok));
  object.Set("supportsAmr", Napi::Boolean::New(env, report.supportsAmr));
  object.Set("dnxLoadAttempted", Napi::Boolean::New(env, report.dnxLoadAttempted));
  object.Set("backend", Napi::String::New(env, report.backend));
  object.Set("path", Napi::String::New(env, report.path));
  object.Set("reason", Napi::String::New(env, report.reason));
  return object;
}

Napi::Value DinoLiteInitAsync(const Napi::CallbackInfo& info) {
  const bool force = ReadBoolFlag(info, 0, false);
  return RunBooleanAsync(info.Env(), "DinoLiteInit", [force] { return InitializeTask(force); });
}

Napi::Value DinoLiteDeviceCount(const Napi::CallbackInfo& info) {
  const int count =
      g_dinoLiteExecutor
          .Invoke([] { return g_dinoLite.DeviceCountOnOwnerThread(); }, kVendorCallTimeout)
          .value_or(0);
  return Napi::Number::New(info.Env(), count);
}

Napi::Value DinoLiteDevicesAsync(const Napi::CallbackInfo& info) {
  return RunVendorDeviceListAsync(info.Env(), "DinoLiteDevices", [] {
    return g_dinoLiteExecutor
        .Invoke([] { return ReadDinoDevicesOnCurrentThread(); }, kVendorInitTimeout)
        .value_or(std::vector<VendorDeviceSnapshot>());
  });
}

Napi::Value DinoLiteDeviceId(const Napi::CallbackInfo& info) {
  const int32_t index = ReadIntArg(info, 0, -1);
  const std::string id =
      g_dinoLiteExecutor
          .Invoke([index] { return g_dinoLite.ReadDeviceIdOnOwnerThread(index); },
                  kVendorCallTimeout)
          .value_or(std::string());
  return Napi::String::New(info.Env(), id);
}

Napi::Value DinoLiteDeviceName(const Napi::CallbackInfo& info) {
  const int32_t index = ReadIntArg(info, 0, -1);
  const std::string name =
      g_dinoLiteExecutor
          .Invoke([index] { return g_dinoLite.ReadDeviceNameOnOwnerThread(index); },
                  kVendorCallTimeout)
          .value_or(std::string());
  return Napi::String::New(info.Env(), name);
}

Napi::Value DinoLiteSelectDevice(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(info.Env(), SelectTask(ReadIntArg(info, 0, -1)));
}

Napi::Value DinoLiteSelectDeviceAsync(const Napi::CallbackInfo& info) {
  const int32_t index = ReadIntArg(info, 0, -1);
  return RunBooleanAsync(info.Env(), "DinoLiteSelectDevice", [index] { return SelectTask(index); });
}

Napi::Value DinoLiteGetSelectedDevice(const Napi::CallbackInfo& info) {
  const int index =
      g_dinoLiteExecutor
          .Invoke([] { return g_dinoLite.SelectedDeviceOnOwnerThread(); }, kVendorCallTimeout)
          .value_or(-1);
  return Napi::Number::New(info.Env(), index);
}

Napi::Value DinoLiteSupportsAmr(const Napi::CallbackInfo& info) {
  const bool supported =
      g_dinoLiteExecutor
          .Invoke([] { return g_dinoLite.SupportsAmrOnOwnerThread(); }, kVendorCallTimeout)
          .value_or(false);
  return Napi::Boolean::New(info.Env(), supported);
}

Napi::Value DinoLiteGetAmr(const Napi::CallbackInfo& info) {
  const int32_t index = ReadIntArg(info, 0, -1);
  if (index != g_dinoTelemetryIndex.load()) {
    ResetDinoTelemetry(index);  // values cached for another device are dropped
  }
  // The answer is what earlier polls measured, taken before this poll's read is posted: an idle
  // executor could otherwise finish it first and make the answer depend on thread timing.
  Napi::Value answer = FreshOrNull(info.Env(), g_dinoCachedAmr.load(), g_dinoCachedAmrAtMs.load());
  g_dinoLiteExecutor.PostCoalesced("amr", [] { g_dinoLite.ReadAmrOnOwnerThread(); });
  return answer;
}

Napi::Value DinoLiteGetFovx(const Napi::CallbackInfo& info) {
  const int32_t index = ReadIntArg(info, 0, -1);
  const double amr = ReadDoubleArg(info, 1, -1.0);
  const int32_t selector = std::max(ReadIntArg(info, 2, 0), 0);
  (void)index;  // carried for symmetry with the magnification read; the SDK call needs none
  // A field of view measured for another magnification is never returned. Written so that a NaN
  // magnification counts as different, too.
  const DinoFovReading cached = TakeDinoFovFor(amr, kFovAmrTolerance);
  Napi::Value answer = FreshOrNull(info.Env(), cached.fov, cached.atMs);
  g_dinoLiteExecutor.PostCoalesced(
      "fov", [amr, selector] { g_dinoLite.ReadFovOnOwnerThread(amr, selector); });
  return answer;
}

Napi::Value DinoLiteEnableMicrotouch(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(info.Env(), EnableMicrotouchTask(ReadBoolFlag(info, 0, true)));
}

Napi::Value DinoLiteEnableMicrotouchAsync(const Napi::CallbackInfo& info) {
  const bool enable = ReadBoolFlag(info, 0, true);
  return RunBooleanAsync(info.Env(), "DinoLiteEnableMicrotouch",
                         [enable] { return EnableMicrotouchTask(enable); });
}

Napi::Value DinoLiteMicrotouchPressed(const Napi::CallbackInfo& info) {
  g_dinoLiteExecutor.PostCoalesced("microtouch", [] { g_dinoLite.PollMicrotouchOnOwnerThread(); });
  // One exchange: a press is reported exactly once.
  return Napi::Boolean::New(info.Env(), g_dinoCachedMicrotouch.exchange(false));
}

Napi::Value DinoLiteToggleLed(const Napi::CallbackInfo& info) {
  return Napi::Number::New(info.Env(), ToggleLedTask());
}

Napi::Value DinoLiteToggleLedAsync(const Napi::CallbackInfo& info) {
  return RunIntegerAsync(info.Env(), "DinoLiteToggleLed", [] { return ToggleLedTask(); });
}

Napi::Value DinoLiteDebugState(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const DinoLiteBinding::DebugSnapshot snapshot = CopyDinoSnapshot();
  Napi::Object state = Napi::Object::New(env);
  state.Set("loaded", Napi::Boolean::New(env, snapshot.loaded));
  state.Set("backend", Napi::String::New(env, snapshot.backend));
  state.Set("path", Napi::String::New(env, snapshot.path));
  state.Set("selectedDeviceIndex", Napi::Number::New(env, snapshot.selectedDeviceIndex));
  state.Set("ledState", Napi::Number::New(env, snapshot.ledState));
  state.Set("controllableLedsCount", Napi::Number::New(env, snapshot.controllableLedsCount));
  state.Set("initialized", Napi::Boolean::New(env, snapshot.initialized));
  state.Set("supportsAmr", Napi::Boolean::New(env, snapshot.supportsAmr));
  state.Set("supportsMicrotouch", Napi::Boolean::New(env, snapshot.supportsMicrotouch));
  state.Set("supportsLedControl", Napi::Boolean::New(env, snapshot.supportsLedControl));
  state.Set("amrRead", Napi::Boolean::New(env, snapshot.amrRead));
  state.Set("amrRaw", Napi::Number::New(env, snapshot.amrRaw));
  state.Set("amrAccepted", Napi::Boolean::New(env, snapshot.amrAccepted));
  state.Set("amrUpdates", Napi::Number::New(env, static_cast<double>(snapshot.amrUpdates)));
  Napi::Array modes = Napi::Array::New(env, snapshot.ledModes.size());
  for (size_t i = 0; i < snapshot.ledModes.size(); ++i) {
    modes.Set(static_cast<uint32_t>(i), Napi::Number::New(env, snapshot.ledModes[i]));
  }
  state.Set("ledModes", modes);
  const double cachedAmr = g_dinoCachedAmr.load();
  state.Set("cachedAmr", cachedAmr > 0.0 ? Napi::Number::New(env, cachedAmr) : env.Null());
  const int64_t cachedAt = g_dinoCachedAmrAtMs.load();
  state.Set("cachedAmrAgeMs",
            cachedAt >= 1
                ? Napi::Number::New(env, static_cast<double>(DinoSteadyNowMs() - cachedAt))
                : env.Null());
  if (!snapshot.loaded) {
    state.Set("error", Napi::String::New(env, GetLastErrorString()));
  }
  return state;
}

Napi::Value DinoLiteDispose(const Napi::CallbackInfo& info) {
  return Napi::Boolean::New(info.Env(), DisposeTask());
}

Napi::Value DinoLiteDisposeAsync(const Napi::CallbackInfo& info) {
  return RunBooleanAsync(info.Env(), "DinoLiteDispose", [] { return DisposeTask(); });
}

}  // namespace

void RegisterDinoLite(Napi::Env env, Napi::Object exports) {
  RegisterFunction<LoadDinoLite>(env, exports, "loadDinoLite");
  RegisterFunction<DinoLiteInit>(env, exports, "dinoLiteInit");
  RegisterFunction<DinoLiteLastError>(env, exports, "dinoLiteLastError");
  RegisterFunction<DinoLiteSelectBackendForProductId>(env, exports,
                                                      "dinoLiteSelectBackendForProductId");
  RegisterFunction<DinoLiteInitAsync>(env, exports, "dinoLiteInitAsync");
  RegisterFunction<DinoLiteDeviceCount>(env, exports, "dinoLiteDeviceCount");
  RegisterFunction<DinoLiteDevicesAsync>(env, exports, "dinoLiteDevicesAsync");
  RegisterFunction<DinoLiteDeviceId>(env, exports, "dinoLiteDeviceId");
  RegisterFunction<DinoLiteDeviceName>(env, exports, "dinoLiteDeviceName");
  RegisterFunction<DinoLiteSelectDevice>(env, exports, "dinoLiteSelectDevice");
  RegisterFunction<DinoLiteSelectDeviceAsync>(env, exports, "dinoLiteSelectDeviceAsync");
  RegisterFunction<DinoLiteGetSelectedDevice>(env, exports, "dinoLiteGetSelectedDevice");
  RegisterFunction<DinoLiteSupportsAmr>(env, exports, "dinoLiteSupportsAmr");
  RegisterFunction<DinoLiteGetAmr>(env, exports, "dinoLiteGetAmr");
  RegisterFunction<DinoLiteGetFovx>(env, exports, "dinoLiteGetFovx");
  RegisterFunction<DinoLiteEnableMicrotouch>(env, exports, "dinoLiteEnableMicrotouch");
  RegisterFunction<DinoLiteEnableMicrotouchAsync>(env, exports, "dinoLiteEnableMicrotouchAsync");
  RegisterFunction<DinoLiteMicrotouchPressed>(env, exports, "dinoLiteMicrotouchPressed");
  RegisterFunction<DinoLiteToggleLed>(env, exports, "dinoLiteToggleLed");
  RegisterFunction<DinoLiteToggleLedAsync>(env, exports, "dinoLiteToggleLedAsync");
  RegisterFunction<DinoLiteDebugState>(env, exports, "dinoLiteDebugState");
  RegisterFunction<DinoLiteDispose>(env, exports, "dinoLiteDispose");
  RegisterFunction<DinoLiteDisposeAsync>(env, exports, "dinoLiteDisposeAsync");
  AddVendorExecutorCleanupHook(env);
}

}  // namespace zentri_native
