#include "synthetic_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "cnokhwa.h"
#include "device.h"

namespace cnokhwa {
namespace {

uint32_t FrameNumberOf(const std::vector<uint8_t>& rgb) {
  return rgb[0] | (rgb[1] << 8) | (rgb[2] << 16);
}

bool WaitForFrame(const Device& device, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (device.Frames().HasFirstFrame() == CNOKHWA_OK) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

std::vector<uint8_t> GrabWhole(const Device& device, int* result) {
  const int width = device.Frames().Width();
  const int height = device.Frames().Height();
  std::vector<uint8_t> out(width > 0 && height > 0 ? static_cast<size_t>(width) * 3 * height : 1);
  *result = device.Frames().Grab(out.data(), static_cast<int64_t>(out.size()));
  return out;
}

TEST(ParseSyntheticCameras, CountOrSizeList) {
  EXPECT_TRUE(ParseSyntheticCameras(nullptr).empty());
  EXPECT_TRUE(ParseSyntheticCameras("").empty());
  EXPECT_TRUE(ParseSyntheticCameras("0").empty());
  const auto two = ParseSyntheticCameras("2");
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[1].width, 640);
  EXPECT_EQ(two[1].height, 480);
  EXPECT_EQ(two[1].frameRate, 30);
  EXPECT_EQ(ParseSyntheticCameras("1000").size(), 16u);

  const auto list =
      ParseSyntheticCameras(" 1920x1080@60 ,64X48,0x5,10x10@0,abc,9000x10,7x7@241,3x2@");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].width, 1920);
  EXPECT_EQ(list[0].height, 1080);
  EXPECT_EQ(list[0].frameRate, 60);
  EXPECT_EQ(list[1].width, 64);
  EXPECT_EQ(list[1].frameRate, 30);
}

TEST(DrawSyntheticFrame, BandCarriesTheFrameNumberAndTheGradientMoves) {
  // Sizes with rows shorter and longer than the 256-pixel period of the gradient (one with a
  // partial last period), and with more than 256 rows below the band.
  const std::pair<int, int> sizes[] = {{37, 21}, {600, 700}, {513, 300}};
  for (const auto& [width, height] : sizes) {
    for (const uint32_t n : {1u, 255u, 70000u, 16777217u}) {
      const int band = height / 8;
      std::vector<uint8_t> rgb(width * 3 * height);
      DrawSyntheticFrame(n, width, height, rgb.data());
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const uint8_t* p = &rgb[(y * width + x) * 3];
          if (y < band) {
            ASSERT_EQ(p[0], n & 255) << n;
            ASSERT_EQ(p[1], (n >> 8) & 255) << n;
            ASSERT_EQ(p[2], (n >> 16) & 255) << n;
          } else {
            ASSERT_EQ(p[0], (x + 4 * n) & 255) << x << "," << y;
            ASSERT_EQ(p[1], (y + 2 * n) & 255) << x << "," << y;
            ASSERT_EQ(p[2], (x + y + n) & 255) << x << "," << y;
          }
        }
      }
    }
  }
  std::vector<uint8_t> one(3);
  DrawSyntheticFrame(5, 1, 1, one.data());
  EXPECT_EQ(one, (std::vector<uint8_t>{5, 0, 0}));
}

TEST(SyntheticDevice, DescribesItselfAndListsSmallerSizes) {
  auto device = MakeSyntheticDevice(3, {1280, 720, 25});
  EXPECT_EQ(device->Info().uniqueId, "synthetic-3");
  EXPECT_EQ(device->Info().name, "Synthetic Camera 3");
  ASSERT_EQ(device->Formats().size(), 3u);
  EXPECT_EQ(device->Formats()[2].width, 320);
  EXPECT_EQ(device->Formats()[2].frameRate, 25);
  EXPECT_EQ(MakeSyntheticDevice(0, {640, 480, 30})->Formats().size(), 2u);
}

TEST(SyntheticDevice, CapturesAtTheRequestedSizeWithRisingFrameNumbers) {
  auto device = MakeSyntheticDevice(0, {64, 48, 200});
  EXPECT_EQ(device->Start({-1, 40, 30}), CNOKHWA_OK);
  ASSERT_TRUE(WaitForFrame(*device, std::chrono::seconds(5)));
  EXPECT_EQ(device->Frames().Width(), 40);
  EXPECT_EQ(device->Frames().Height(), 30);
  int result = 0;
  const uint32_t first = FrameNumberOf(GrabWhole(*device, &result));
  ASSERT_EQ(result, CNOKHWA_OK);
  EXPECT_GE(first, 1u);
  uint32_t later = first;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (later == first && std::chrono::steady_clock::now() < end) {
    later = FrameNumberOf(GrabWhole(*device, &result));
  }
  EXPECT_GT(later, first);

  // Refused starts leave the capture running as it was.
  EXPECT_EQ(device->Start({1, 0, 0}), CNOKHWA_ERR_BAD_ARGUMENT) << "one format only";
  EXPECT_EQ(device->Start({-1, 8193, 10}), CNOKHWA_ERR_BAD_ARGUMENT);
  EXPECT_EQ(device->Frames().HasFirstFrame(), CNOKHWA_OK);
  EXPECT_EQ(device->Frames().Width(), 40);
  EXPECT_EQ(device->Start({0, 0, 0}), CNOKHWA_OK);
  ASSERT_TRUE(WaitForFrame(*device, std::chrono::seconds(5)));
  EXPECT_EQ(device->Frames().Width(), 64);
  device->Stop();
  EXPECT_EQ(device->Frames().HasFirstFrame(), CNOKHWA_ERR_NOT_STARTED);
  device->Stop();  // stopping twice is harmless
}

// Grabbing threads keep reading while the main thread restarts capture at other sizes: every
// successful grab is a whole frame of the pattern (its band is one frame number throughout).
TEST(SyntheticDevice, GrabsDuringRestartsSeeWholeFrames) {
  auto device = MakeSyntheticDevice(0, {64, 48, 240});
  std::atomic<bool> done{false};
  std::atomic<int> good{0};
  std::atomic<int> bad{0};
  std::vector<std::thread> grabbers;
  for (int t = 0; t < 2; ++t) {
    grabbers.emplace_back([&] {
      while (!done) {
        const int width = device->Frames().Width();
        const int height = device->Frames().Height();
        if (width <= 0 || height <= 0) {
          std::this_thread::yield();
          continue;
        }
        std::vector<uint8_t> out(static_cast<size_t>(width) * 3 * height);
        if (device->Frames().Grab(out.data(), static_cast<int64_t>(out.size())) != CNOKHWA_OK) {
          continue;
        }
        std::vector<uint8_t> want(out.size());
        DrawSyntheticFrame(FrameNumberOf(out), width, height, want.data());
        (out == want ? good : bad)++;
      }
    });
  }
  const int sizes[][2] = {{16, 8}, {64, 48}, {33, 17}, {8, 8}};
  for (int round = 0; round < 12; ++round) {
    const auto& size = sizes[round % 4];
    ASSERT_EQ(device->Start({-1, size[0], size[1]}), CNOKHWA_OK);
    ASSERT_TRUE(WaitForFrame(*device, std::chrono::seconds(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (round % 3 == 2) {
      device->Stop();
    }
  }
  done = true;
  for (auto& grabber : grabbers) {
    grabber.join();
  }
  device->Stop();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(good.load(), 0);
}

}  // namespace
}  // namespace cnokhwa
