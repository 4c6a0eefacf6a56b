// The binding of the Dino-Lite SDK shim libdinolite and the state of the one Dino-Lite
// microscope the addon works with. Every operation that calls the SDK or changes the device state
// runs on g_dinoLiteExecutor's thread (the owner thread); script functions only submit work and
// read the debug snapshot and the telemetry cache, which are safe to read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/vendor_device_snapshot.h"

namespace zentri_native {

class DinoLiteBinding {
 public:
  // LED modes with a fixed meaning; other numbers are device specific.
  static constexpr int32_t kLedOn = 0x11;
  static constexpr int32_t kLedFlexibleOn = 0x22;
  static constexpr int32_t kLed1On = 0x10;
  static constexpr int32_t kLed2On = 0x01;

  static constexpr int32_t kBackendNone = 0;
  static constexpr int32_t kBackendLibDinoLite = 1;
  static constexpr int32_t kBackendWindowsDnx = 2;  // named in reports, never set on this platform

  // What the backend report answers.
  struct BackendSelection {
    bool ok = false;
    bool supportsAmr = false;
    bool dnxLoadAttempted = false;
    std::string backend;
    std::string path;
    std::string reason;
  };

  // The copy of the binding state that scripts read without waiting.
  struct DebugSnapshot {
    bool loaded = false;
    std::string backend;
    std::string path;
    int32_t selectedDeviceIndex = -1;
    int32_t ledState = 0;
    int32_t controllableLedsCount = 0;
    std::vector<int32_t> ledModes;
    bool initialized = false;
    bool supportsAmr = false;
    bool supportsMicrotouch = false;
    bool supportsLedControl = false;
    bool amrRead = false;
    double amrRaw = -1.0;
    bool amrAccepted = false;
    uint64_t amrUpdates = 0;
  };

  DinoLiteBinding() = default;
  ~DinoLiteBinding();
  DinoLiteBinding(const DinoLiteBinding&) = delete;
  DinoLiteBinding& operator=(const DinoLiteBinding&) = delete;

  // Owner thread. Opens the library (explicit path, else "libdinolite.so" then
  // "libdinolite.dylib") and binds its functions. A second call returns true and keeps the first.
  bool Load(const std::string& path);
  // Owner thread. Selects a device and reads what it supports; the first selection after a load
  // waits 300 ms and initialises the SDK.
  bool SelectDevice(int32_t index);
  // Owner thread. Moves to the next LED mode of the device; the new mode, or -1.
  int32_t ToggleLedState();
  // Owner thread. Records whether scripts want MicroTouch polling; true when the selected device
  // has the button.
  bool EnableMicrotouch(bool enable);

  // Owner-thread tasks that the script functions submit.
  bool InitializeOnOwnerThread(bool force);
  void DisposeOnOwnerThread();
  void ReadAmrOnOwnerThread();
  void ReadFovOnOwnerThread(double amr, int32_t selector);
  void PollMicrotouchOnOwnerThread();
  BackendSelection ReportBackendOnOwnerThread();
  // "" unless loaded with a device-id function, and index >= 0.
  std::string ReadDeviceIdOnOwnerThread(int32_t index);
  std::string ReadDeviceNameOnOwnerThread(int32_t index);
  int32_t DeviceCountOnOwnerThread() const;
  int32_t SelectedDeviceOnOwnerThread() const { return selectedDeviceIndex_; }
  bool SupportsAmrOnOwnerThread() const;
  bool loadedOnOwnerThread() const { return loaded_; }
  const std::string& pathOnOwnerThread() const { return path_; }
  int32_t backendOnOwnerThread() const { return backend_; }

  // Any thread: the binding's own error text, and setting it (the last-error slot too).
  std::string ErrorText();
  void SetBindingError(const std::string& text);

  static const char* BackendName(int32_t backend);
  // LED groups that a mode lights: 1 for all-on modes, 2 for the single-group modes, else 0.
  static int32_t LedGroupCount(int32_t mode);

 private:
  friend void UpdateDinoSnapshotOnOwnerThread();
  friend std::vector<VendorDeviceSnapshot> ReadDinoDevicesOnCurrentThread();

  using InitializeFn = void (*)();
  using DevicesCountFn = int (*)();
  using DeviceStringFn = void (*)(unsigned int, void*, unsigned int);
  using SelectDeviceFn = bool (*)(int);
  using IntFn = int (*)();
  using BoolFn = bool (*)();
  using FloatFn = float (*)();
  using UnsignedFn = unsigned int (*)();
  using LedModeFn = int (*)(unsigned int);
  using SetLedStateFn = bool (*)(int);
  using VoidFn = void (*)();
  using CounterFn = uint64_t (*)();
  using FovxFn = double (*)(int, double);
  using TextFn = const char* (*)();

  void ResetDeviceState();
  void InitializeSdk();
  bool DeviceSelected() const;
  bool FailWithSdkText(const char* fallback);
  std::string ReadDeviceString(DeviceStringFn function, int32_t index) const;
  bool BindRequired(void* handle);
  void ClearFunctions();
  void BindOptional(void* handle);

  std::mutex mutex_;  // guards error_ only
  std::string error_;

  // Required.
  InitializeFn initialize_ = nullptr;
  DevicesCountFn devicesCount_ = nullptr;
  DeviceStringFn getDeviceUniqueId_ = nullptr;
  DeviceStringFn getDeviceName_ = nullptr;
  SelectDeviceFn selectDevice_ = nullptr;
  IntFn getSelectedDevice_ = nullptr;
  BoolFn deviceSupportsAmr_ = nullptr;
  FloatFn getAmr_ = nullptr;
  BoolFn deviceSupportsMicrotouch_ = nullptr;
  BoolFn microtouchPressed_ = nullptr;
  // Optional.
  UnsignedFn ledModeCount_ = nullptr;
  LedModeFn ledMode_ = nullptr;
  SetLedStateFn setLedState_ = nullptr;
  VoidFn unselectDevice_ = nullptr;
  CounterFn getAmrUpdateCount_ = nullptr;
  FovxFn getFovx_ = nullptr;
  BoolFn initializeSelectedDevice_ = nullptr;
  TextFn getLastError_ = nullptr;

  bool initialized_ = false;
  int32_t deviceCount_ = 0;
  bool supportsAmr_ = false;
  bool supportsMicrotouch_ = false;
  bool microtouchEnabled_ = false;
  bool amrRead_ = false;
  double amrRaw_ = -1.0;
  bool amrAccepted_ = false;
  void* library_ = nullptr;
  bool loaded_ = false;
  std::string path_;
  int32_t backend_ = kBackendNone;
  int32_t selectedDeviceIndex_ = -1;
  int32_t ledState_ = 0;
  int32_t controllableLedsCount_ = 0;
  std::vector<int32_t> ledModes_;
};

extern DinoLiteBinding g_dinoLite;

// Owner thread: copies g_dinoLite's state into the debug snapshot that scripts read.
void UpdateDinoSnapshotOnOwnerThread();
// Owner thread: the devices counted by the last initialisation, with their ids and names.
std::vector<VendorDeviceSnapshot> ReadDinoDevicesOnCurrentThread();

// The debug snapshot that scripts read; written by the owner thread.
DinoLiteBinding::DebugSnapshot CopyDinoSnapshot();
void ResetDinoSnapshot();

// Telemetry cache: written by the owner thread, read by the script thread without a lock.
extern std::atomic<int32_t> g_dinoTelemetryIndex;
extern std::atomic<double> g_dinoCachedAmr;
extern std::atomic<int64_t> g_dinoCachedAmrAtMs;
extern std::atomic<double> g_dinoCachedFov;
extern std::atomic<double> g_dinoCachedFovAmr;
extern std::atomic<int64_t> g_dinoCachedFovAtMs;
extern std::atomic<bool> g_dinoCachedMicrotouch;

// The field of view, the magnification it was measured for and its time are stored, and compared
// with a requested magnification, together under one leaf lock: checked one by one, a read for
// another magnification finishing in between could pair its field of view with the wrong
// magnification.
struct DinoFovReading {
  double fov;
  int64_t atMs;
};
// The cached field of view for amr (within the tolerance; a NaN never matches); for another
// magnification the cache is dropped and re-keyed to amr, and an empty reading comes back.
DinoFovReading TakeDinoFovFor(double amr, double tolerance);
void StoreDinoFov(double fov, double amr, int64_t atMs);

// Points the cache at a device index and drops every cached value.
void ResetDinoTelemetry(int32_t index);
// Steady-clock milliseconds, the time base of the cache.
int64_t DinoSteadyNowMs();

}  // namespace zentri_native
