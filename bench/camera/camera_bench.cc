// Usage: bench_camera [rounds]
//
// 1. A 1920x1080 MJPEG frame (quality 85, 4:2:2 like UVC cameras send) through the capture
//    library's per-frame path (header check, decode into the capture buffer, publish by buffer
//    swap) beside a bare tjDecompress2 of the same JPEG into a preallocated buffer.
// 2. Decimation of a 1920x1080 packed-RGB frame to 960x540 RGBA beside a memcpy of the same
//    number of output bytes, with the frame in cache.
// The two sides alternate round by round so that load on the machine hits both alike; the
// median time per iteration of each side and their ratio are printed.
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "camera/decimation.h"
#include "frame_store.h"
#include "mjpeg_decoder.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Runs each side `iterations` times per round and returns the median milliseconds per
// iteration of each.
std::pair<double, double> SideBySide(int rounds, int iterations, const std::function<void()>& a,
                                     const std::function<void()>& b) {
  std::vector<double> timesA;
  std::vector<double> timesB;
  a();
  b();  // warm up: caches, page faults, decoder tables
  for (int r = 0; r < rounds; ++r) {
    for (int side = 0; side < 2; ++side) {
      const auto& fn = side == 0 ? a : b;
      const auto start = Clock::now();
      for (int i = 0; i < iterations; ++i) {
        fn();
      }
      const double ms =
          std::chrono::duration<double, std::milli>(Clock::now() - start).count() / iterations;
      (side == 0 ? timesA : timesB).push_back(ms);
    }
  }
  return {Median(timesA), Median(timesB)};
}

std::vector<uint8_t> TestImage(int width, int height) {
  // Smooth shading with fine texture, roughly what a microscope sees: the JPEG is neither
  // trivially small nor noise.
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * 3 * height);
  uint32_t seed = 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      seed = seed * 1664525u + 1013904223u;
      const int grain = static_cast<int>(seed >> 28) - 8;
      uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      p[0] = static_cast<uint8_t>(std::clamp(x * 255 / width + grain, 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(((x / 40 + y / 40) % 2) * 120 + 60 + grain, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp(y * 255 / height + grain, 0, 255));
    }
  }
  return rgb;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
  const int width = 1920;
  const int height = 1080;
  const std::vector<uint8_t> image = TestImage(width, height);

  tjhandle encoder = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long jpegSize = 0;
  if (tjCompress2(encoder, image.data(), width, width * 3, height, TJPF_RGB, &jpeg, &jpegSize,
                  TJSAMP_422, 85, 0) != 0) {
    std::fprintf(stderr, "encoding failed: %s\n", tjGetErrorStr2(encoder));
    return 1;
  }
  tjDestroy(encoder);

  // Library path: what the capture thread does per MJPEG frame.
  cnokhwa::MjpegDecoder decoder;
  cnokhwa::FrameStore store;
  const uint64_t token = store.Begin();
  std::vector<uint8_t> back;
  bool libraryOk = true;
  auto libraryPath = [&] {
    int w = 0;
    int h = 0;
    libraryOk = decoder.Decode(jpeg, jpegSize, back, &w, &h) && libraryOk;
    store.Publish(token, back, w, h);
  };
  // Reference: a bare decode into a buffer that already exists.
  tjhandle bare = tjInitDecompress();
  std::vector<uint8_t> bareOut(static_cast<size_t>(width) * 3 * height);
  auto bareDecode = [&] {
    tjDecompress2(bare, jpeg, jpegSize, bareOut.data(), width, width * 3, height, TJPF_RGB, 0);
  };
  const auto [libraryMs, bareMs] = SideBySide(rounds, 10, libraryPath, bareDecode);
  tjDestroy(bare);
  tjFree(jpeg);
  if (!libraryOk) {
    std::fprintf(stderr, "the library path failed to decode\n");
    return 1;
  }
  std::printf("MJPEG 1920x1080 q85 (%lu bytes) to packed RGB\n", jpegSize);
  std::printf("  libcnokhwa decode path   %8.3f ms\n", libraryMs);
  std::printf("  bare tjDecompress2       %8.3f ms\n", bareMs);
  std::printf("  ratio                    %8.3f  (target <= 1.15)\n", libraryMs / bareMs);

  // Decimation with the frame in cache.
  const zentri_native::DecimationPlan plan = zentri_native::PlanDecimation(width, height, 960, 540);
  const size_t outBytes = static_cast<size_t>(plan.outWidth) * 4 * plan.outHeight;
  std::vector<uint8_t> rgba(outBytes);
  std::vector<uint8_t> copySource(outBytes, 7);
  std::vector<uint8_t> copyTarget(outBytes);
  auto decimate = [&] {
    zentri_native::DecimateRgbToRgba(image.data(), width * 3, width, height, plan, rgba.data());
  };
  auto copy = [&] { std::memcpy(copyTarget.data(), copySource.data(), outBytes); };
  const auto [decimateMs, copyMs] = SideBySide(rounds, 50, decimate, copy);
  std::printf("Decimation 1920x1080 RGB to %dx%d RGBA (%zu bytes out)\n", plan.outWidth,
              plan.outHeight, outBytes);
  std::printf("  decimation               %8.3f ms  (target <= 0.3 ms)\n", decimateMs);
  std::printf("  memcpy of the same bytes %8.3f ms\n", copyMs);
  std::printf("  ratio                    %8.3f\n", decimateMs / copyMs);
  return 0;
}
