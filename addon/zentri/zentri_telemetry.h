// Telemetry of the selected Zentri microscope: status word, focus position, lens data and pixel
// size, sampled on the executor thread and published for the script thread, with a cache of pixel
// calibrations per focus position, lens and frame size.
//
// Every reset and every change of the reported frame size advances a generation counter; a
// sample records the generation when it starts and is dropped if the counter moved while it
// talked to the device, so a stale sample never overwrites what belongs to the new state.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <tuple>

namespace zentri_native {

struct ZentriTelemetrySnapshot {
  int status = -1;         // raw scope status word; -1 unknown
  int focusPosition = -1;  // chosen focus position; -1 unknown
  bool fromFocusCache = false;
  float micronsPerPixel = -1.0f;
  uint16_t width = 0;  // image size the pixel size refers to
  uint16_t height = 0;
  bool pixelValid = false;
  uint16_t lensDriver = 0;
  uint8_t lensGroup = 0;
  bool lensValid = false;
  int64_t sampledAtMs = 0;  // steady clock; 0 = never
};

// A pixel size holds only for one focus position, lens and frame size.
struct ZentriCalibrationKey {
  int focusPosition = 0;
  uint16_t lensDriver = 0;
  uint8_t lensGroup = 0;
  int frameWidth = 0;
  int frameHeight = 0;

  bool operator<(const ZentriCalibrationKey& other) const {
    return std::tie(focusPosition, lensDriver, lensGroup, frameWidth, frameHeight) <
           std::tie(other.focusPosition, other.lensDriver, other.lensGroup, other.frameWidth,
                    other.frameHeight);
  }
};

struct ZentriPixelCalibration {
  float micronsPerPixel = -1.0f;
  uint16_t width = 0;
  uint16_t height = 0;
};

// A published snapshot is served for this long after it was taken.
constexpr int64_t kZentriTelemetryFreshMs = 2000;

// All telemetry state, guarded by g_zentriTelemetryMutex (the capture latch is atomic).
extern std::mutex g_zentriTelemetryMutex;
extern ZentriTelemetrySnapshot g_zentriTelemetry;
extern uint64_t g_zentriTelemetryGeneration;
extern uint32_t g_zentriFrameWidth;
extern uint32_t g_zentriFrameHeight;
extern int g_zentriLastManufacturerFocus;
extern bool g_zentriPreferStandardFocus;
extern std::atomic<bool> g_zentriCachedCapturePressed;
extern int g_zentriCachedFocusPosition;
extern int64_t g_zentriCachedFocusAtMs;
extern std::map<ZentriCalibrationKey, ZentriPixelCalibration> g_zentriFocusCalibrations;

// Milliseconds of the steady clock.
int64_t ZentriSteadyNowMs();

// Forgets everything: new generation, reset snapshot, empty calibration cache, no frame size, no
// focus bookkeeping, capture latch cleared.
void ResetZentriTelemetry();

// Takes one sample from the selected device and publishes it (see the .cc for the rules).
void PrimeZentriTelemetryOnOwnerThread();

// The background refresh: a sample, then the capture button; a press sets the latch.
void RefreshZentriTelemetryOnOwnerThread();

// Requests one background refresh on the Zentri executor; at most one is queued or running.
void ScheduleZentriTelemetry();

// The preview frame size as the script reports it. A change starts a new generation and resets
// the snapshot (the calibration cache stays: its keys carry the frame size).
void ReportZentriFrameSize(uint32_t width, uint32_t height);

// After a successful focus move the standard focus reading wins until the manufacturer focus in
// the status word changes.
void PreferZentriStandardFocus();

// The published snapshot if it was taken at most kZentriTelemetryFreshMs before nowMs, else a
// reset snapshot.
ZentriTelemetrySnapshot FreshZentriTelemetry(int64_t nowMs);

// The last standard focus reading if at most kZentriTelemetryFreshMs old, else -1.
int CachedZentriFocusPosition(int64_t nowMs);

// Reads and clears the capture latch.
bool TakeZentriCapturePressed();

}  // namespace zentri_native
