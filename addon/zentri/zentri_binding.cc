#include "zentri/zentri_binding.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "core/last_error.h"
#include "core/library_loader.h"
#include "core/string_convert.h"
#include "zentri/zentri_telemetry.h"

namespace zentri_native {

ZentriBinding g_zentri;

std::mutex g_zentriVersionMutex;
ZentriVersionRecord g_zentriCachedVersion;
ZentriProtocolRecord g_zentriCachedProtocol;

namespace {

const char kLoadFailed[] = "Could not load Zentri native library";
const char kInitFailed[] = "Zentri SDK initialization failed";
const char kUnavailableIndex[] = "Zentri SDK device selection received an unavailable device index";
const char kSelectFailed[] = "Zentri SDK device selection failed";

// A count beyond any real bus is a broken library: the list is cut here rather than exhausting
// memory on billions of entries.
constexpr int kMaxDevicesListed = 65536;

// The lens needs this long to settle after a focus move before a sample means anything.
constexpr std::chrono::milliseconds kFocusSettleTime(150);

// The functions the binding cannot work without, in the order they are bound; stops at the first
// missing one (its name is then in the last-error slot).
bool BindRequired(void* handle, ZentriFunctionTable* fn) {
  return LoadRequiredSymbol(handle, "Init", &fn->init) &&
         LoadRequiredSymbol(handle, "Destroy", &fn->destroy) &&
         LoadRequiredSymbol(handle, "GetDevicesCount", &fn->getDevicesCount) &&
         LoadRequiredSymbol(handle, "GetDeviceUniqueId", &fn->getDeviceUniqueId) &&
         LoadRequiredSymbol(handle, "GetDeviceFriendlyName", &fn->getDeviceFriendlyName) &&
         LoadRequiredSymbol(handle, "SelectDeviceNumber", &fn->selectDeviceNumber) &&
         LoadRequiredSymbol(handle, "GetScopeStatus", &fn->getScopeStatus) &&
         LoadRequiredSymbol(handle, "GetPixelSizeMicrons", &fn->getPixelSizeMicrons) &&
         LoadRequiredSymbol(handle, "IsCapturePressed", &fn->isCapturePressed);
}

void BindOptional(void* handle, ZentriFunctionTable* fn) {
  LoadOptionalSymbol(handle, "GetVersionInfo", &fn->getVersionInfo);
  LoadOptionalSymbol(handle, "GetProtocolVersionInfo", &fn->getProtocolVersionInfo);
  LoadOptionalSymbol(handle, "GetApiVersion", &fn->getApiVersion);
  LoadOptionalSymbol(handle, "GetPixelSizeInfo", &fn->getPixelSizeInfo);
  LoadOptionalSymbol(handle, "GetLensGroupInfo", &fn->getLensGroupInfo);
  LoadOptionalSymbol(handle, "TriggerAutoFocus", &fn->triggerAutoFocus);
  LoadOptionalSymbol(handle, "GetFocusPosition", &fn->getFocusPosition);
  LoadOptionalSymbol(handle, "SetFocusPosition", &fn->setFocusPosition);
  LoadOptionalSymbol(handle, "FocusNearStep", &fn->focusNearStep);
  LoadOptionalSymbol(handle, "FocusFarStep", &fn->focusFarStep);
  LoadOptionalSymbol(handle, "GetLedState", &fn->getLedState);
  LoadOptionalSymbol(handle, "SetLedState", &fn->setLedState);
  LoadOptionalSymbol(handle, "GetLastErrorString", &fn->getLastErrorString);
}

}  // namespace

bool ZentriBinding::Load(const std::string& path) {
  if (library_ != nullptr) {
    return loaded();
  }
  for (const std::string& candidate : BuildLoadCandidates(path, {"libzentri.so", "zentri.so"})) {
    void* handle = OpenLibrary(candidate);
    if (handle == nullptr) {
      continue;
    }
    ZentriFunctionTable table;
    if (!BindRequired(handle, &table)) {
      CloseLibrary(handle);
      continue;
    }
    BindOptional(handle, &table);
    library_ = handle;
    Adopt(table, candidate);
    return true;
  }
  SetError(kLoadFailed);
  return false;
}

void ZentriBinding::Adopt(const ZentriFunctionTable& table, const std::string& libraryPath) {
  functions_ = table;
  libraryPath_ = libraryPath;
  selectedIndex_ = -1;
  initialized_.store(false, std::memory_order_release);
  loaded_.store(true, std::memory_order_release);
  ClearErrors();
}

bool ZentriBinding::Init() {
  if (!loaded() || functions_.init == nullptr) {
    return false;
  }
  if (initialized()) {
    return true;
  }
  if (functions_.init() == 0) {
    SetError(kInitFailed);
    return false;
  }
  set_initialized(true);
  ClearErrors();
  return true;
}

std::string ZentriBinding::lastError() const {
  std::lock_guard<std::mutex> lock(errorMutex_);
  return lastError_;
}

void ZentriBinding::SetError(const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(errorMutex_);
    lastError_ = message;
  }
  SetLastError(message);
}

void ZentriBinding::ClearErrors() {
  SetError("");
}

// ---- Version records ----

ZentriVersionRecord ZentriCachedVersion() {
  std::lock_guard<std::mutex> lock(g_zentriVersionMutex);
  return g_zentriCachedVersion;
}

ZentriProtocolRecord ZentriCachedProtocol() {
  std::lock_guard<std::mutex> lock(g_zentriVersionMutex);
  return g_zentriCachedProtocol;
}

void InvalidateZentriVersionSnapshots() {
  std::lock_guard<std::mutex> lock(g_zentriVersionMutex);
  g_zentriCachedVersion = ZentriVersionRecord();
  g_zentriCachedProtocol = ZentriProtocolRecord();
}

void UpdateZentriVersionSnapshotsOnOwnerThread() {
  const ZentriFunctionTable& fn = g_zentri.functions();
  ZentriVersionRecord version;
  if (fn.getVersionInfo != nullptr && g_zentri.Init()) {
    version.valid = fn.getVersionInfo(&version.productId, &version.hardwareMajor,
                                      &version.hardwareMinor, &version.softwareMajor,
                                      &version.softwareMinor, &version.softwarePatch) != 0;
  }
  ZentriProtocolRecord protocol;
  if (fn.getProtocolVersionInfo != nullptr && g_zentri.Init()) {
    protocol.valid =
        fn.getProtocolVersionInfo(&protocol.major, &protocol.minor, &protocol.patch) != 0;
  }
  std::lock_guard<std::mutex> lock(g_zentriVersionMutex);
  g_zentriCachedVersion = version;
  g_zentriCachedProtocol = protocol;
}

// ---- Jobs ----

ZentriLoadResult LoadZentriOnOwnerThread(const std::string& path) {
  ZentriLoadResult result;
  result.ok = g_zentri.Load(path);
  if (result.ok) {
    result.path = g_zentri.libraryPath();
  }
  return result;
}

bool InitializeZentriOnOwnerThread(bool force) {
  ResetZentriTelemetry();
  const ZentriFunctionTable& fn = g_zentri.functions();
  if (!g_zentri.loaded() || fn.init == nullptr) {
    return false;
  }
  if (g_zentri.initialized()) {
    if (!force) {
      return true;
    }
    if (fn.destroy != nullptr) {
      fn.destroy();
    }
    g_zentri.set_initialized(false);
    g_zentri.set_selectedIndex(-1);
  }
  return g_zentri.Init();
}

int ZentriDeviceCountOnOwnerThread() {
  if (!g_zentri.Init()) {
    return 0;
  }
  return g_zentri.functions().getDevicesCount();
}

std::string ZentriDeviceUniqueIdOnOwnerThread(int index) {
  if (!g_zentri.Init()) {
    return "";
  }
  return WCharPtrToUtf8(g_zentri.functions().getDeviceUniqueId(index));
}

std::string ZentriDeviceFriendlyNameOnOwnerThread(int index) {
  if (!g_zentri.Init()) {
    return "";
  }
  return WCharPtrToUtf8(g_zentri.functions().getDeviceFriendlyName(index));
}

std::vector<VendorDeviceSnapshot> ListZentriDevicesOnOwnerThread() {
  std::vector<VendorDeviceSnapshot> devices;
  if (!g_zentri.Init()) {
    return devices;
  }
  const ZentriFunctionTable& fn = g_zentri.functions();
  const int count = std::min(fn.getDevicesCount(), kMaxDevicesListed);
  for (int i = 0; i < count; ++i) {
    devices.push_back(VendorDeviceSnapshot{i, WCharPtrToUtf8(fn.getDeviceUniqueId(i)),
                                           WCharPtrToUtf8(fn.getDeviceFriendlyName(i))});
  }
  return devices;
}

bool SelectZentriDeviceOnOwnerThread(int index) {
  ResetZentriTelemetry();
  const ZentriFunctionTable& fn = g_zentri.functions();
  if (!g_zentri.Init() || fn.selectDeviceNumber == nullptr) {
    return false;
  }
  if (index < 0 || index >= fn.getDevicesCount()) {
    g_zentri.SetError(kUnavailableIndex);
    return false;
  }
  if (fn.selectDeviceNumber(index) == 0) {
    g_zentri.SetError(kSelectFailed);
    return false;
  }
  g_zentri.set_selectedIndex(index);
  g_zentri.ClearErrors();
  UpdateZentriVersionSnapshotsOnOwnerThread();
  PrimeZentriTelemetryOnOwnerThread();
  return true;
}

void DisposeZentriOnOwnerThread() {
  ResetZentriTelemetry();
  const ZentriFunctionTable& fn = g_zentri.functions();
  if (g_zentri.initialized() && fn.destroy != nullptr) {
    fn.destroy();
  }
  g_zentri.set_initialized(false);
  g_zentri.set_selectedIndex(-1);
}

bool SetZentriFocusPositionOnOwnerThread(int position) {
  const bool ready = g_zentri.Init();
  const ZentriFunctionTable& fn = g_zentri.functions();
  if (!ready || fn.setFocusPosition == nullptr) {
    return false;
  }
  if (fn.setFocusPosition(static_cast<uint16_t>(position & 0xFFFF)) == 0) {
    return false;
  }
  PreferZentriStandardFocus();
  std::this_thread::sleep_for(kFocusSettleTime);
  PrimeZentriTelemetryOnOwnerThread();
  return true;
}

bool RunZentriFocusActionOnOwnerThread(ZentriFocusAction action) {
  const bool ready = g_zentri.Init();
  const ZentriFunctionTable& fn = g_zentri.functions();
  int (*step)() = nullptr;
  switch (action) {
    case ZentriFocusAction::kAutoFocus:
      step = fn.triggerAutoFocus;
      break;
    case ZentriFocusAction::kNearStep:
      step = fn.focusNearStep;
      break;
    case ZentriFocusAction::kFarStep:
      step = fn.focusFarStep;
      break;
  }
  if (!ready || step == nullptr || step() == 0) {
    return false;
  }
  PrimeZentriTelemetryOnOwnerThread();
  return true;
}

bool SetZentriLedStateOnOwnerThread(bool on) {
  const bool ready = g_zentri.Init();
  const ZentriFunctionTable& fn = g_zentri.functions();
  return ready && fn.setLedState != nullptr && fn.setLedState(on ? 1 : 0) != 0;
}

int ZentriLedStateOfInitializedLibrary() {
  const ZentriFunctionTable& fn = g_zentri.functions();
  if (!g_zentri.initialized() || fn.getLedState == nullptr) {
    return -1;
  }
  int on = 0;
  if (fn.getLedState(&on) == 0) {
    return -1;
  }
  return on != 0 ? 1 : 0;
}

std::string ZentriLastErrorText() {
  std::string text = g_zentri.lastError();
  if (!text.empty() || !g_zentri.loaded()) {
    return text;
  }
  const ZentriFunctionTable& fn = g_zentri.functions();
  return fn.getLastErrorString != nullptr ? SafeCString(fn.getLastErrorString()) : "";
}

}  // namespace zentri_native
