// Helpers of the tests that drive the capture library's C interface against the camera zoo.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "camera_zoo.h"
#include "cnokhwa.h"
#include "pixel_reference.h"

namespace cnokhwa {
namespace zoo {

using namespace std::chrono_literals;

// Runs body in a forked child that an alarm kills after kCaseSeconds; the child's failures fail
// the calling test. The library's device list is process-wide, and a case that hangs must not
// hang the suite.
constexpr int kCaseSeconds = 120;
void InChild(const std::function<void()>& body);

// The library stops every capture before the zoo (and its emulated nodes) goes away.
struct ZooCase {
  ~ZooCase() { cnokhwa_stop_capture(-1); }
  Zoo zoo;
};

template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds limit = 20s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

std::string Text(int (*query)(int, void*, int), int index);

struct Listed {
  std::string type;
  int width;
  int height;
  int frameRate;
  bool operator==(const Listed& o) const {
    return type == o.type && width == o.width && height == o.height && frameRate == o.frameRate;
  }
};
std::vector<Listed> FormatsOf(int index);
// Index of the first listed format of that type and size, or -1.
int FormatIndex(int index, const std::string& type, int width, int height);
// The index of the device whose name is card (after a rescan), or -1.
int DeviceNamed(const std::string& card);

struct Grabbed {
  int result = 0;
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};
Grabbed Grab(int index);

// Frames the library has published since capture started on device index.
uint64_t PublishedFrames(int index);

// Delivers one frame of a held camera and waits until the library has read it.
uint32_t DeliverOne(Camera& camera);

// The grab of device index against frame `frame` of the camera's format.
testing::RgbDifference GrabAgainst(int index, const Camera& camera, uint32_t frame);

// What frame `frame` of a camera's negotiated format must look like: the exact conversion
// formulas, libv4lconvert for Bayer data, TurboJPEG for JPEG.
std::vector<uint8_t> Reference(const v4l2_pix_format& format, uint32_t frame);

}  // namespace zoo
}  // namespace cnokhwa
