#include "dino_lite/dino_lite_binding.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

#include "core/last_error.h"
#include "core/library_loader.h"
#include "core/vendor_executors.h"

namespace zentri_native {

DinoLiteBinding g_dinoLite;

namespace {

// Defined after g_dinoLite, so destroyed before it: at unload the executor has drained and
// stopped before the binding its jobs use goes away, whichever of the two is destroyed first.
struct StopExecutorsBeforeBinding {
  ~StopExecutorsBeforeBinding() { StopVendorSdkExecutors(); }
} g_stopExecutorsBeforeBinding;

std::mutex g_dinoSnapshotMutex;
DinoLiteBinding::DebugSnapshot g_dinoCachedSnapshot;

constexpr auto kFirstSelectionSettle = std::chrono::milliseconds(300);
// The SDK fills caller buffers of this size with NUL-terminated strings.
constexpr unsigned int kDeviceStringBytes = 1024;
// Enumeration stops here, whatever count a faulty library reports.
constexpr int32_t kMaxEnumeratedDevices = 1024;

// Magnifications outside this range are read but not trusted (compared in single precision, as
// the SDK reports them).
constexpr float kMinAcceptedAmr = 10.0f;
constexpr float kMaxAcceptedAmr = 1000.0f;

}  // namespace

std::atomic<int32_t> g_dinoTelemetryIndex{-1};
std::atomic<double> g_dinoCachedAmr{-1.0};
std::atomic<int64_t> g_dinoCachedAmrAtMs{0};
std::atomic<double> g_dinoCachedFov{-1.0};
std::atomic<double> g_dinoCachedFovAmr{-1.0};
std::atomic<int64_t> g_dinoCachedFovAtMs{0};
std::atomic<bool> g_dinoCachedMicrotouch{false};

namespace {
std::mutex g_dinoFovMutex;  // leaf lock: see TakeDinoFovFor
}  // namespace

DinoFovReading TakeDinoFovFor(double amr, double tolerance) {
  std::lock_guard<std::mutex> lock(g_dinoFovMutex);
  if (!(std::fabs(g_dinoCachedFovAmr.load() - amr) <= tolerance)) {
    g_dinoCachedFov = -1.0;
    g_dinoCachedFovAmr = amr;
    g_dinoCachedFovAtMs = 0;
  }
  return DinoFovReading{g_dinoCachedFov.load(), g_dinoCachedFovAtMs.load()};
}

void StoreDinoFov(double fov, double amr, int64_t atMs) {
  std::lock_guard<std::mutex> lock(g_dinoFovMutex);
  g_dinoCachedFov = fov;
  g_dinoCachedFovAmr = amr;
  g_dinoCachedFovAtMs = atMs;
}

int64_t DinoSteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
             .count() /
         1000000;
}

void ResetDinoTelemetry(int32_t index) {
  g_dinoTelemetryIndex = index;
  g_dinoCachedAmr = -1.0;
  g_dinoCachedAmrAtMs = 0;
  StoreDinoFov(-1.0, -1.0, 0);
  g_dinoCachedMicrotouch = false;
}

DinoLiteBinding::DebugSnapshot CopyDinoSnapshot() {
  std::lock_guard<std::mutex> lock(g_dinoSnapshotMutex);
  return g_dinoCachedSnapshot;
}

void ResetDinoSnapshot() {
  DinoLiteBinding::DebugSnapshot defaults;
  std::lock_guard<std::mutex> lock(g_dinoSnapshotMutex);
  g_dinoCachedSnapshot = std::move(defaults);
}

DinoLiteBinding::~DinoLiteBinding() {
  CloseLibrary(library_);
}

const char* DinoLiteBinding::BackendName(int32_t backend) {
  switch (backend) {
    case kBackendLibDinoLite:
      return "mac-libdinolite";
    case kBackendWindowsDnx:
      return "windows-dnx";
    default:
      return "none";
  }
}

int32_t DinoLiteBinding::LedGroupCount(int32_t mode) {
  if (mode == kLedOn || mode == kLedFlexibleOn) {
    return 1;
  }
  if (mode == kLed1On || mode == kLed2On) {
    return 2;
  }
  return 0;
}

std::string DinoLiteBinding::ErrorText() {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

void DinoLiteBinding::SetBindingError(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = text;
  }
  SetLastError(text);
}

bool DinoLiteBinding::BindRequired(void* handle) {
  return LoadRequiredSymbol(handle, "dl_initialize", &initialize_) &&
         LoadRequiredSymbol(handle, "dl_devices_count", &devicesCount_) &&
         LoadRequiredSymbol(handle, "dl_get_device_unique_id", &getDeviceUniqueId_) &&
         LoadRequiredSymbol(handle, "dl_get_device_name", &getDeviceName_) &&
         LoadRequiredSymbol(handle, "dl_select_device", &selectDevice_) &&
         LoadRequiredSymbol(handle, "dl_get_selected_device", &getSelectedDevice_) &&
         LoadRequiredSymbol(handle, "dl_device_supports_amr", &deviceSupportsAmr_) &&
         LoadRequiredSymbol(handle, "dl_get_amr", &getAmr_) &&
         LoadRequiredSymbol(handle, "dl_device_supports_microtouch", &deviceSupportsMicrotouch_) &&
         LoadRequiredSymbol(handle, "dl_microtouch_pressed", &microtouchPressed_);
}

void DinoLiteBinding::ClearFunctions() {
  initialize_ = nullptr;
  devicesCount_ = nullptr;
  getDeviceUniqueId_ = nullptr;
  getDeviceName_ = nullptr;
  selectDevice_ = nullptr;
  getSelectedDevice_ = nullptr;
  deviceSupportsAmr_ = nullptr;
  getAmr_ = nullptr;
  deviceSupportsMicrotouch_ = nullptr;
  microtouchPressed_ = nullptr;
  ledModeCount_ = nullptr;
  ledMode_ = nullptr;
  setLedState_ = nullptr;
  unselectDevice_ = nullptr;
  getAmrUpdateCount_ = nullptr;
  getFovx_ = nullptr;
  initializeSelectedDevice_ = nullptr;
  getLastError_ = nullptr;
}

void DinoLiteBinding::BindOptional(void* handle) {
  LoadOptionalSymbol(handle, "dl_led_mode_count", &ledModeCount_);
  LoadOptionalSymbol(handle, "dl_led_mode", &ledMode_);
  LoadOptionalSymbol(handle, "dl_set_led_state", &setLedState_);
  LoadOptionalSymbol(handle, "dl_unselect_device", &unselectDevice_);
  LoadOptionalSymbol(handle, "dl_get_amr_update_count", &getAmrUpdateCount_);
  LoadOptionalSymbol(handle, "dl_get_fovx", &getFovx_);
  LoadOptionalSymbol(handle, "dl_initialize_selected_device", &initializeSelectedDevice_);
  LoadOptionalSymbol(handle, "dl_get_last_error", &getLastError_);
}

bool DinoLiteBinding::Load(const std::string& path) {
  if (loaded_) {
    return true;  // never reopens or switches libraries
  }
  std::string firstFailure;
  for (const std::string& candidate :
       BuildLoadCandidates(path, {"libdinolite.so", "libdinolite.dylib"})) {
    void* handle = OpenLibrary(candidate);
    if (handle == nullptr) {
      if (firstFailure.empty()) {
        firstFailure = GetLastErrorString();
      }
      continue;
    }
    if (!BindRequired(handle)) {
      if (firstFailure.empty()) {
        firstFailure = GetLastErrorString();
      }
      CloseLibrary(handle);
      ClearFunctions();  // a failed candidate leaves no pointer into its unmapped code
      continue;
    }
    BindOptional(handle);
    library_ = handle;
    backend_ = kBackendLibDinoLite;
    loaded_ = true;
    path_ = candidate;
    SetBindingError("");
    return true;
  }
  SetBindingError(firstFailure.empty() ? "Could not load Dino-Lite native library" : firstFailure);
  return false;
}

void DinoLiteBinding::ResetDeviceState() {
  supportsAmr_ = false;
  supportsMicrotouch_ = false;
  ledModes_.clear();
  ledState_ = 0;
  controllableLedsCount_ = 0;
  amrRead_ = false;
  amrRaw_ = -1.0;
  amrAccepted_ = false;
}

void DinoLiteBinding::InitializeSdk() {
  initialize_();
  deviceCount_ = devicesCount_();
  initialized_ = true;
}

bool DinoLiteBinding::DeviceSelected() const {
  if (selectedDeviceIndex_ >= 0) {
    return true;
  }
  return getSelectedDevice_ != nullptr && getSelectedDevice_() >= 0;
}

bool DinoLiteBinding::FailWithSdkText(const char* fallback) {
  const char* sdkText = getLastError_ != nullptr ? getLastError_() : nullptr;
  SetBindingError(sdkText != nullptr && *sdkText != '\0' ? std::string(sdkText) : fallback);
  return false;
}

bool DinoLiteBinding::InitializeOnOwnerThread(bool force) {
  bool result = false;
  if (!loaded_ || backend_ != kBackendLibDinoLite) {
    result = false;
  } else if (initialize_ == nullptr || devicesCount_ == nullptr) {
    SetBindingError("Dino-Lite SDK initialization functions are unavailable");
  } else {
    if (!initialized_ || force) {
      if (force) {
        if (unselectDevice_ != nullptr && DeviceSelected()) {
          unselectDevice_();
        }
        microtouchEnabled_ = false;
        selectedDeviceIndex_ = -1;
        ResetDeviceState();
      }
      InitializeSdk();
      SetBindingError("");
    }
    result = true;
  }
  UpdateDinoSnapshotOnOwnerThread();
  ResetDinoTelemetry(-1);
  return result;
}

bool DinoLiteBinding::SelectDevice(int32_t index) {
  if (!loaded_ || index < 0) {
    SetBindingError("Dino-Lite SDK device selection received an invalid device index");
    return false;
  }
  if (backend_ != kBackendLibDinoLite) {
    SetBindingError("Dino-Lite SDK device selection is unavailable for this backend");
    return false;
  }
  if (!initialized_) {
    // The SDK needs a moment after loading before its first enumeration finds the microscope.
    std::this_thread::sleep_for(kFirstSelectionSettle);
    if (loaded_ && backend_ == kBackendLibDinoLite) {
      if (initialize_ == nullptr || devicesCount_ == nullptr) {
        SetBindingError("Dino-Lite SDK initialization functions are unavailable");
      } else if (!initialized_) {
        InitializeSdk();
        SetBindingError("");
      }
    }
  }
  // On the failures below the per-device state is wiped but the index of the device selected
  // before is kept.
  if (selectDevice_ == nullptr) {
    ResetDeviceState();
    SetBindingError("Dino-Lite SDK device selection function is unavailable");
    return false;
  }
  const int current = getSelectedDevice_ != nullptr ? getSelectedDevice_() : -1;
  bool switched = false;
  if (current != index) {
    if (!selectDevice_(index)) {
      ResetDeviceState();
      return FailWithSdkText("Dino-Lite SDK device selection failed");
    }
    switched = true;
  }
  if (initializeSelectedDevice_ != nullptr && !initializeSelectedDevice_()) {
    ResetDeviceState();
    return FailWithSdkText("Dino-Lite post-connect initialization failed");
  }
  if (switched && initializeSelectedDevice_ == nullptr && initialize_ != nullptr &&
      devicesCount_ != nullptr) {
    InitializeSdk();
  }

  ResetDeviceState();
  selectedDeviceIndex_ = index;
  supportsAmr_ = deviceSupportsAmr_ != nullptr && deviceSupportsAmr_();
  supportsMicrotouch_ = deviceSupportsMicrotouch_ != nullptr && deviceSupportsMicrotouch_();

  if (ledModeCount_ != nullptr && ledMode_ != nullptr) {
    const unsigned int count = ledModeCount_();
    // A device has a handful of modes; a larger count is a faulty library, not a reason to
    // allocate without bound.
    const unsigned int bounded = std::min(count, 256u);
    ledModes_.reserve(bounded);
    for (unsigned int i = 0; i < bounded; ++i) {
      const int32_t mode = ledMode_(i);
      ledModes_.push_back(mode);
      controllableLedsCount_ = std::max(controllableLedsCount_, LedGroupCount(mode));
    }
  }

  if (setLedState_ != nullptr && !ledModes_.empty()) {
    int32_t initial = 0;
    for (int32_t preferred : {kLedOn, kLedFlexibleOn, kLed1On, kLed2On}) {
      if (std::find(ledModes_.begin(), ledModes_.end(), preferred) != ledModes_.end()) {
        initial = preferred;
        break;
      }
    }
    if (initial == 0) {
      auto nonZero =
          std::find_if(ledModes_.begin(), ledModes_.end(), [](int32_t mode) { return mode != 0; });
      initial = nonZero != ledModes_.end() ? *nonZero : 0;
    }
    // A refused initial mode does not fail the selection.
    if (initial != 0 && setLedState_(initial)) {
      ledState_ = initial;
    }
  }
  SetBindingError("");
  return true;
}

int32_t DinoLiteBinding::ToggleLedState() {
  if (!loaded_ || selectedDeviceIndex_ < 0) {
    SetBindingError("No Dino-Lite SDK device is selected for LED control");
    return -1;
  }
  if (backend_ != kBackendLibDinoLite || setLedState_ == nullptr || ledModes_.empty()) {
    SetBindingError("The selected Dino-Lite device does not expose controllable LEDs");
    return -1;
  }
  auto current = std::find(ledModes_.begin(), ledModes_.end(), ledState_);
  int32_t next = ledModes_.front();
  if (current != ledModes_.end() && current + 1 != ledModes_.end()) {
    next = *(current + 1);
  }
  if (!setLedState_(next)) {
    SetBindingError("Dino-Lite SDK rejected the LED change");
    return -1;
  }
  ledState_ = next;
  SetBindingError("");
  return next;
}

bool DinoLiteBinding::EnableMicrotouch(bool enable) {
  if (!loaded_) {
    SetBindingError("Dino-Lite MicroTouch is unavailable because the SDK is not loaded");
    return false;
  }
  if (backend_ != kBackendLibDinoLite) {
    SetBindingError("Dino-Lite MicroTouch control is unavailable for this backend");
    return false;
  }
  microtouchEnabled_ = enable;
  const bool supported = selectedDeviceIndex_ >= 0 && supportsMicrotouch_;
  SetBindingError(supported ? "" : "The selected Dino-Lite device does not support MicroTouch");
  return supported;
}

void DinoLiteBinding::DisposeOnOwnerThread() {
  if (backend_ == kBackendLibDinoLite) {
    if (unselectDevice_ != nullptr && DeviceSelected()) {
      unselectDevice_();
    }
    initialized_ = false;
    deviceCount_ = 0;
    microtouchEnabled_ = false;
    ResetDeviceState();
    selectedDeviceIndex_ = -1;
  } else {
    selectedDeviceIndex_ = -1;
    ledState_ = 0;
    controllableLedsCount_ = 0;
    ledModes_.clear();
  }
  UpdateDinoSnapshotOnOwnerThread();
  ResetDinoTelemetry(-1);
}

void DinoLiteBinding::ReadAmrOnOwnerThread() {
  if (loaded_ && backend_ == kBackendLibDinoLite && supportsAmr_ && getAmr_ != nullptr) {
    const float value = getAmr_();
    amrRead_ = true;
    amrRaw_ = value;
    amrAccepted_ = value >= kMinAcceptedAmr && value <= kMaxAcceptedAmr;
    if (amrAccepted_) {
      g_dinoCachedAmr = static_cast<double>(value);
      g_dinoCachedAmrAtMs = DinoSteadyNowMs();
    }
  }
  UpdateDinoSnapshotOnOwnerThread();
}

void DinoLiteBinding::ReadFovOnOwnerThread(double amr, int32_t selector) {
  double fov = -1.0;
  if (loaded_ && backend_ == kBackendLibDinoLite && getFovx_ != nullptr) {
    const double micrometres = getFovx_(selector, amr);
    fov = micrometres > 0.0 ? micrometres / 1000.0 : -1.0;
  }
  StoreDinoFov(fov, amr, DinoSteadyNowMs());
}

void DinoLiteBinding::PollMicrotouchOnOwnerThread() {
  if (loaded_ && selectedDeviceIndex_ >= 0 && backend_ == kBackendLibDinoLite &&
      microtouchEnabled_ && supportsMicrotouch_ && microtouchPressed_ != nullptr &&
      microtouchPressed_()) {
    // Latched until a script reads it; never cleared here.
    g_dinoCachedMicrotouch = true;
  }
}

DinoLiteBinding::BackendSelection DinoLiteBinding::ReportBackendOnOwnerThread() {
  BackendSelection report;
  report.ok = loaded_ && backend_ == kBackendLibDinoLite;
  report.supportsAmr = report.ok;
  report.dnxLoadAttempted = false;
  report.backend = BackendName(backend_);
  report.path = path_;
  report.reason = report.ok ? "" : "libdinolite is not loaded";
  UpdateDinoSnapshotOnOwnerThread();
  ResetDinoTelemetry(-1);
  return report;
}

std::string DinoLiteBinding::ReadDeviceString(DeviceStringFn function, int32_t index) const {
  if (function == nullptr) {
    return std::string();
  }
  std::vector<char> buffer(kDeviceStringBytes, '\0');
  function(static_cast<unsigned int>(index), buffer.data(), kDeviceStringBytes);
  buffer.back() = '\0';
  return std::string(buffer.data());
}

std::vector<VendorDeviceSnapshot> ReadDinoDevicesOnCurrentThread() {
  const DinoLiteBinding& binding = g_dinoLite;
  std::vector<VendorDeviceSnapshot> devices;
  if (!binding.loaded_ || binding.backend_ != DinoLiteBinding::kBackendLibDinoLite ||
      binding.deviceCount_ < 1) {
    return devices;
  }
  const int32_t count = std::min(binding.deviceCount_, kMaxEnumeratedDevices);
  devices.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    devices.push_back({i, binding.ReadDeviceString(binding.getDeviceUniqueId_, i),
                       binding.ReadDeviceString(binding.getDeviceName_, i)});
  }
  return devices;
}

std::string DinoLiteBinding::ReadDeviceIdOnOwnerThread(int32_t index) {
  if (!loaded_ || backend_ != kBackendLibDinoLite || index < 0) {
    return std::string();
  }
  return ReadDeviceString(getDeviceUniqueId_, index);
}

std::string DinoLiteBinding::ReadDeviceNameOnOwnerThread(int32_t index) {
  if (!loaded_ || backend_ != kBackendLibDinoLite || index < 0) {
    return std::string();
  }
  return ReadDeviceString(getDeviceName_, index);
}

int32_t DinoLiteBinding::DeviceCountOnOwnerThread() const {
  return loaded_ && backend_ == kBackendLibDinoLite ? deviceCount_ : 0;
}

bool DinoLiteBinding::SupportsAmrOnOwnerThread() const {
  return loaded_ && backend_ == kBackendLibDinoLite && supportsAmr_;
}

void UpdateDinoSnapshotOnOwnerThread() {
  const DinoLiteBinding& binding = g_dinoLite;
  DinoLiteBinding::DebugSnapshot snapshot;
  snapshot.loaded = binding.loaded_;
  snapshot.backend = DinoLiteBinding::BackendName(binding.backend_);
  snapshot.path = binding.path_;
  snapshot.selectedDeviceIndex = binding.selectedDeviceIndex_;
  snapshot.ledState = binding.ledState_;
  snapshot.controllableLedsCount = binding.controllableLedsCount_;
  snapshot.ledModes = binding.ledModes_;
  if (binding.backend_ == DinoLiteBinding::kBackendLibDinoLite) {
    snapshot.initialized = binding.initialized_;
    snapshot.supportsAmr = binding.supportsAmr_;
    snapshot.supportsMicrotouch = binding.supportsMicrotouch_;
    snapshot.supportsLedControl = binding.setLedState_ != nullptr && !binding.ledModes_.empty() &&
                                  binding.selectedDeviceIndex_ >= 0;
    snapshot.amrRead = binding.amrRead_;
    snapshot.amrRaw = binding.amrRaw_;
    snapshot.amrAccepted = binding.amrAccepted_;
    snapshot.amrUpdates = binding.getAmrUpdateCount_ != nullptr ? binding.getAmrUpdateCount_() : 0;
  }
  std::lock_guard<std::mutex> lock(g_dinoSnapshotMutex);
  g_dinoCachedSnapshot = std::move(snapshot);
}

}  // namespace zentri_native
