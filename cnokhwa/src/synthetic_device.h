// Synthetic cameras: a deterministic moving test pattern that carries its frame number in its
// pixels, for demos and tests on machines without a camera. The pattern is described in
// cnokhwa.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device.h"

namespace cnokhwa {

// Largest side of a synthetic frame.
constexpr int kMaxSyntheticSide = 8192;

struct SyntheticConfig {
  int width = 640;
  int height = 480;
  int frameRate = 30;
};

// Reads a CNOKHWA_SYNTHETIC_CAMERAS value: a count, or "WxH[@FPS]" entries separated by commas.
// Entries that do not parse, and sizes or rates out of range, are left out; a count is capped at
// 16 cameras.
std::vector<SyntheticConfig> ParseSyntheticCameras(const char* value);

// Draws frame number n at width x height into rgb (packed, width x 3 bytes per row).
void DrawSyntheticFrame(uint32_t n, int width, int height, uint8_t* rgb);

// Synthetic camera number k (counted from 0 among the synthetic cameras).
std::shared_ptr<Device> MakeSyntheticDevice(int k, const SyntheticConfig& config);

// Plugs a synthetic camera in or out, as a rebuild of the list finds it in
// CNOKHWA_SYNTHETIC_CAMERAS or not (one that captures stays listed, like an unplugged camera):
// unplugged, its capture answers CNOKHWA_ERR_DEVICE_LOST; back in the list, it resumes. False
// for a device that is not synthetic.
bool SetSyntheticAttached(Device& device, bool attached);

}  // namespace cnokhwa
