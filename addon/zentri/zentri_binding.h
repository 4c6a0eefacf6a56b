// ZentriBinding: the run-time binding of libzentri, and the jobs that drive it. No Node-API here,
// so unit tests drive it directly.
//
// Every call into libzentri is made on the Zentri executor thread; functions whose names end in
// OnOwnerThread must only run there (or, in unit tests, on the one thread that plays its part).
// The exceptions are the cheap library calls that only read the library's own cached state
// (GetApiVersion, GetLedState, GetLastErrorString), which script-thread readers may make once the
// binding is loaded.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/vendor_device_snapshot.h"

namespace zentri_native {

// The libzentri functions that the binding uses, in the binding's fixed order. Null when absent.
struct ZentriFunctionTable {
  int (*init)() = nullptr;
  void (*destroy)() = nullptr;
  int (*getDevicesCount)() = nullptr;
  const wchar_t* (*getDeviceUniqueId)(int) = nullptr;
  const wchar_t* (*getDeviceFriendlyName)(int) = nullptr;
  int (*selectDeviceNumber)(int) = nullptr;
  int (*getScopeStatus)() = nullptr;
  float (*getPixelSizeMicrons)() = nullptr;
  int (*getApiVersion)() = nullptr;
  int (*getPixelSizeInfo)(float*, uint16_t*, uint16_t*) = nullptr;
  int (*getLensGroupInfo)(uint16_t*, uint8_t*, void*) = nullptr;
  int (*isCapturePressed)() = nullptr;
  int (*getVersionInfo)(uint16_t*, uint8_t*, uint8_t*, uint16_t*, uint8_t*, uint8_t*) = nullptr;
  int (*getProtocolVersionInfo)(uint16_t*, uint8_t*, uint8_t*) = nullptr;
  int (*triggerAutoFocus)() = nullptr;
  int (*getFocusPosition)(uint16_t*) = nullptr;
  int (*setFocusPosition)(uint16_t) = nullptr;
  int (*focusNearStep)() = nullptr;
  int (*focusFarStep)() = nullptr;
  int (*getLedState)(int*) = nullptr;
  int (*setLedState)(int) = nullptr;
  const char* (*getLastErrorString)() = nullptr;
};

class ZentriBinding {
 public:
  ZentriBinding() = default;
  ZentriBinding(const ZentriBinding&) = delete;
  ZentriBinding& operator=(const ZentriBinding&) = delete;
  // Releases its strings only: the library is neither destroyed nor closed, because static
  // destruction at exit may run while the executor thread still drains jobs that use it.
  ~ZentriBinding() = default;

  // Opens the library (the explicit path alone, else "libzentri.so" then "zentri.so"), binds the
  // nine required functions (a candidate lacking one is closed and the next tried) and the
  // optional ones. Once a library is open, returns whether it loaded. Owner thread.
  bool Load(const std::string& path);

  // Installs a bound function table as the loaded library: clears the error texts, marks the
  // binding loaded and not initialised. Load uses it for the candidate that bound; tests use it
  // to drive the binding with functions of their own.
  void Adopt(const ZentriFunctionTable& table, const std::string& libraryPath);

  // Lazy initialisation: the library's Init once until the next dispose. Owner thread.
  bool Init();

  // Readable on any thread: the table is written only before loaded turns true.
  bool loaded() const { return loaded_.load(std::memory_order_acquire); }
  bool initialized() const { return initialized_.load(std::memory_order_acquire); }
  const ZentriFunctionTable& functions() const { return functions_; }
  // The candidate that loaded; "" before. Owner thread (scripts get it from the load job).
  const std::string& libraryPath() const { return libraryPath_; }

  // Owner thread only.
  int selectedIndex() const { return selectedIndex_; }
  void set_selectedIndex(int index) { selectedIndex_ = index; }
  void set_initialized(bool value) { initialized_.store(value, std::memory_order_release); }

  // The binding's own last error ("" after a successful operation). SetError also writes the
  // addon's last-error slot; ClearErrors empties both.
  std::string lastError() const;
  void SetError(const std::string& message);
  void ClearErrors();

 private:
  void* library_ = nullptr;
  std::atomic<bool> loaded_{false};
  std::atomic<bool> initialized_{false};
  std::string libraryPath_;
  int selectedIndex_ = -1;
  ZentriFunctionTable functions_;
  mutable std::mutex errorMutex_;
  std::string lastError_;
};

extern ZentriBinding g_zentri;

// Cached version records, refreshed by a selection and read by scripts.
struct ZentriVersionRecord {
  bool valid = false;
  uint16_t productId = 0;
  uint8_t hardwareMajor = 0;
  uint8_t hardwareMinor = 0;
  uint16_t softwareMajor = 0;
  uint8_t softwareMinor = 0;
  uint8_t softwarePatch = 0;
};

struct ZentriProtocolRecord {
  bool valid = false;
  uint16_t major = 0;
  uint8_t minor = 0;
  uint8_t patch = 0;
};

extern std::mutex g_zentriVersionMutex;
extern ZentriVersionRecord g_zentriCachedVersion;
extern ZentriProtocolRecord g_zentriCachedProtocol;

// Copies of the cached records, taken under g_zentriVersionMutex.
ZentriVersionRecord ZentriCachedVersion();
ZentriProtocolRecord ZentriCachedProtocol();
// Marks both records invalid (a new initialisation has not selected anything yet).
void InvalidateZentriVersionSnapshots();
// Asks the selected device for both records and replaces the cached ones; an unsuccessful
// request stores an invalid record.
void UpdateZentriVersionSnapshotsOnOwnerThread();

// ---- Jobs of the script functions (owner thread) ----

// Load job: the outcome and the candidate that loaded ("" on failure).
struct ZentriLoadResult {
  bool ok = false;
  std::string path;
};
ZentriLoadResult LoadZentriOnOwnerThread(const std::string& path);

// Initialisation job: telemetry reset, then the library's Init unless already initialised;
// force re-initialises (Destroy, then Init).
bool InitializeZentriOnOwnerThread(bool force);

// Device queries after lazy initialisation: 0 / "" when it fails.
int ZentriDeviceCountOnOwnerThread();
std::string ZentriDeviceUniqueIdOnOwnerThread(int index);
std::string ZentriDeviceFriendlyNameOnOwnerThread(int index);
std::vector<VendorDeviceSnapshot> ListZentriDevicesOnOwnerThread();

// Selection job: telemetry reset, range check against the device count, SelectDeviceNumber, then
// the version records and a first telemetry sample.
bool SelectZentriDeviceOnOwnerThread(int index);

// Dispose job: telemetry reset, the library's Destroy when initialised; the library stays loaded.
void DisposeZentriOnOwnerThread();

// Set-focus job: SetFocusPosition(position & 0xFFFF); on success the standard focus reading is
// preferred, and a sample follows after the lens has had 150 ms to move.
bool SetZentriFocusPositionOnOwnerThread(int position);

// Auto focus and the focus steps: the action, then a telemetry sample on success. An absent
// function fails.
enum class ZentriFocusAction { kAutoFocus, kNearStep, kFarStep };
bool RunZentriFocusActionOnOwnerThread(ZentriFocusAction action);

// LED job: SetLedState(on ? 1 : 0).
bool SetZentriLedStateOnOwnerThread(bool on);

// GetLedState of an initialised library: 1 on, 0 off, -1 when absent or failing. Reads the
// library's own cached state, so any thread may call it.
int ZentriLedStateOfInitializedLibrary();

// The text for "zentriLastError": the binding's error, else the library's last transfer error.
std::string ZentriLastErrorText();

}  // namespace zentri_native
