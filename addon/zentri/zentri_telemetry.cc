#include "zentri/zentri_telemetry.h"

#include <chrono>
#include <cmath>

#include "core/vendor_executors.h"
#include "zentri/zentri_binding.h"

namespace zentri_native {

std::mutex g_zentriTelemetryMutex;
ZentriTelemetrySnapshot g_zentriTelemetry;
uint64_t g_zentriTelemetryGeneration = 0;
uint32_t g_zentriFrameWidth = 0;
uint32_t g_zentriFrameHeight = 0;
int g_zentriLastManufacturerFocus = -1;
bool g_zentriPreferStandardFocus = false;
std::atomic<bool> g_zentriCachedCapturePressed{false};
int g_zentriCachedFocusPosition = -1;
int64_t g_zentriCachedFocusAtMs = 0;
std::map<ZentriCalibrationKey, ZentriPixelCalibration> g_zentriFocusCalibrations;

namespace {

// The status word's fields: focus in bits 0-15 (a position only when 1-255), a middle field in
// bits 16-23 and a top field in bits 24-29. Calibrations are only trusted in the state where the
// middle field reads 10 and the top field at most 1.
constexpr int kCalibratedMiddleField = 10;
constexpr int kCalibratedMaxTopField = 1;

bool IsFocusPosition(int value) {
  return value >= 1 && value <= 255;
}

bool IsCalibratedFrameSize(uint32_t width, uint32_t height) {
  return (width == 1920 && height == 1080) || (width == 1280 && height == 720);
}

// The standard focus reading (GetFocusPosition), or -1 when it is absent, fails or is out of
// the lens range.
int ReadStandardFocus(const ZentriFunctionTable& fn) {
  if (fn.getFocusPosition == nullptr) {
    return -1;
  }
  uint16_t position = 0;
  if (fn.getFocusPosition(&position) == 0 || !IsFocusPosition(position)) {
    return -1;
  }
  return position;
}

struct StatusFields {
  int manufacturerFocus = -1;
  int middle = -1;
  int top = -1;
};

StatusFields SplitStatus(int status) {
  StatusFields fields;
  if (status < 0) {
    return fields;
  }
  const uint32_t word = static_cast<uint32_t>(status);
  const int focus = static_cast<int>(word & 0xFFFF);
  fields.manufacturerFocus = IsFocusPosition(focus) ? focus : -1;
  fields.middle = static_cast<int>((word >> 16) & 0xFF);
  fields.top = static_cast<int>((word >> 24) & 0x3F);
  return fields;
}

// Chooses the focus position of a sample. Caller holds g_zentriTelemetryMutex.
int ChooseFocusLocked(int manufacturerFocus, int standardFocus) {
  if (manufacturerFocus <= 0) {
    return standardFocus;
  }
  if (g_zentriLastManufacturerFocus == manufacturerFocus || g_zentriLastManufacturerFocus < 1) {
    g_zentriLastManufacturerFocus = manufacturerFocus;
    return g_zentriPreferStandardFocus ? standardFocus : manufacturerFocus;
  }
  // The lens moved by other means than our last set: the status word is current again.
  g_zentriPreferStandardFocus = false;
  g_zentriLastManufacturerFocus = manufacturerFocus;
  return manufacturerFocus;
}

// Reads the pixel size into the snapshot; true when it is usable.
bool ReadPixelSize(const ZentriFunctionTable& fn, ZentriTelemetrySnapshot* snapshot) {
  if (fn.getPixelSizeInfo != nullptr) {
    float microns = 0.0f;
    uint16_t width = 0;
    uint16_t height = 0;
    if (fn.getPixelSizeInfo(&microns, &width, &height) == 0 || !std::isfinite(microns) ||
        microns <= 0.0f) {
      return false;
    }
    snapshot->micronsPerPixel = microns;
    snapshot->width = width;
    snapshot->height = height;
    return true;
  }
  if (fn.getPixelSizeMicrons == nullptr) {
    return false;
  }
  const float microns = fn.getPixelSizeMicrons();
  if (!std::isfinite(microns) || microns <= 0.0f) {
    return false;
  }
  snapshot->micronsPerPixel = microns;
  return true;
}

}  // namespace

int64_t ZentriSteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void ResetZentriTelemetry() {
  std::lock_guard<std::mutex> lock(g_zentriTelemetryMutex);
  ++g_zentriTelemetryGeneration;
  g_zentriTelemetry = ZentriTelemetrySnapshot();
  g_zentriFocusCalibrations.clear();
  g_zentriFrameWidth = 0;
  g_zentriFrameHeight = 0;
  g_zentriLastManufacturerFocus = -1;
  g_zentriPreferStandardFocus = false;
  g_zentriCachedCapturePressed.store(false);
  g_zentriCachedFocusPosition = -1;
  g_zentriCachedFocusAtMs = 0;
}

void PrimeZentriTelemetryOnOwnerThread() {
  uint32_t frameWidth = 0;
  uint32_t frameHeight = 0;
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(g_zentriTelemetryMutex);
    frameWidth = g_zentriFrameWidth;
    frameHeight = g_zentriFrameHeight;
    generation = g_zentriTelemetryGeneration;
  }
  ZentriTelemetrySnapshot snapshot;
  snapshot.sampledAtMs = ZentriSteadyNowMs();

  const bool ready = g_zentri.Init();
  const ZentriFunctionTable& fn = g_zentri.functions();
  snapshot.status = ready && fn.getScopeStatus != nullptr ? fn.getScopeStatus() : -1;
  if (ready && fn.getLensGroupInfo != nullptr) {
    uint16_t driver = 0;
    uint8_t group = 0;
    if (fn.getLensGroupInfo(&driver, &group, nullptr) != 0) {
      snapshot.lensDriver = driver;
      snapshot.lensGroup = group;
      snapshot.lensValid = true;
    }
  }
  const int standardFocus = ready ? ReadStandardFocus(fn) : -1;
  const StatusFields fields = SplitStatus(snapshot.status);

  bool cacheable = false;
  ZentriCalibrationKey key;
  {
    std::lock_guard<std::mutex> lock(g_zentriTelemetryMutex);
    if (g_zentriTelemetryGeneration != generation) {
      return;
    }
    snapshot.focusPosition = ChooseFocusLocked(fields.manufacturerFocus, standardFocus);
    cacheable = fields.middle == kCalibratedMiddleField && fields.top <= kCalibratedMaxTopField &&
                snapshot.focusPosition >= 1 && snapshot.lensValid &&
                IsCalibratedFrameSize(frameWidth, frameHeight);
    if (cacheable) {
      key = ZentriCalibrationKey{snapshot.focusPosition, snapshot.lensDriver, snapshot.lensGroup,
                                 static_cast<int>(frameWidth), static_cast<int>(frameHeight)};
      auto it = g_zentriFocusCalibrations.find(key);
      if (it != g_zentriFocusCalibrations.end()) {
        snapshot.micronsPerPixel = it->second.micronsPerPixel;
        snapshot.width = it->second.width;
        snapshot.height = it->second.height;
        snapshot.pixelValid = true;
        snapshot.fromFocusCache = true;
      }
    }
  }

  bool pixelRead = false;
  if (!snapshot.fromFocusCache && ready && snapshot.status >= 0 && snapshot.lensValid &&
      fields.top <= kCalibratedMaxTopField) {
    pixelRead = ReadPixelSize(fn, &snapshot);
    snapshot.pixelValid = pixelRead;
  }
  if (pixelRead && cacheable) {
    // A calibration is only worth keeping if the lens stood still while it was read.
    const int statusAgain = fn.getScopeStatus != nullptr ? fn.getScopeStatus() : -1;
    if (statusAgain != snapshot.status || ReadStandardFocus(fn) != standardFocus) {
      snapshot.pixelValid = false;
    }
  }

  std::lock_guard<std::mutex> lock(g_zentriTelemetryMutex);
  if (g_zentriTelemetryGeneration != generation) {
    return;
  }
  if (cacheable && snapshot.pixelValid && !snapshot.fromFocusCache &&
      snapshot.width == frameWidth && snapshot.height == frameHeight) {
    g_zentriFocusCalibrations.emplace(
        key, ZentriPixelCalibration{snapshot.micronsPerPixel, snapshot.width, snapshot.height});
  }
  if (standardFocus > 0) {
    g_zentriCachedFocusPosition = standardFocus;
    g_zentriCachedFocusAtMs = snapshot.sampledAtMs;
  }
  g_zentriTelemetry = snapshot;
}

void RefreshZentriTelemetryOnOwnerThread() {
  PrimeZentriTelemetryOnOwnerThread();
  const ZentriFunctionTable& fn = g_zentri.functions();
  if (g_zentri.Init() && fn.isCapturePressed != nullptr && fn.isCapturePressed() != 0) {
    g_zentriCachedCapturePressed.store(true);
  }
}

void ScheduleZentriTelemetry() {
  g_zentriExecutor.PostCoalesced("telemetry", RefreshZentriTelemetryOnOwnerThread);
}

void ReportZentriFrameSize(uint32_t width, uint32_t height) {
  std::lock_guard<std::mutex> lock(g_zentriTelemetryMutex);
  if (width == g_zentriFrameWidth && height == g_zentriFrameHeight) {
    return;
  }
  ++g_zentriTelemetryGeneration;
  g_zentriFrameWidth = width;
  g_zentriFrameHeight = height;
  g_zentriTelemetry = ZentriTelemetrySnapshot();
}

void PreferZentriStandardFocus() {
  std::lock_guard<std::mutex> lock(g_zentriTelemetryMutex);
  g_zentriPreferStandardFocus = true;
}

ZentriTelemetrySnapshot FreshZentriTelemetry(int64_t nowMs) {
  std::lock_guard<std::mutex> lock(g_zentriTelemetryMutex);
  const int64_t sampledAt = g_zentriTelemetry.sampledAtMs;
  if (sampledAt > 0 && nowMs - sampledAt <= kZentriTelemetryFreshMs) {
    return g_zentriTelemetry;
  }
  return ZentriTelemetrySnapshot();
}

int CachedZentriFocusPosition(int64_t nowMs) {
  std::lock_guard<std::mutex> lock(g_zentriTelemetryMutex);
  if (g_zentriCachedFocusAtMs > 0 && nowMs - g_zentriCachedFocusAtMs <= kZentriTelemetryFreshMs) {
    return g_zentriCachedFocusPosition;
  }
  return -1;
}

bool TakeZentriCapturePressed() {
  return g_zentriCachedCapturePressed.exchange(false);
}

}  // namespace zentri_native
