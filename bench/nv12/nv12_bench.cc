// RGBA to NV12 at 1920x1080 and 960x540: our vector and scalar paths beside libyuv's
// ABGRToNV12 (all its processor paths, and limited to SSSE3) and beside a memcpy of the frame,
// in one run. Each figure is measured twice: with one frame converted over and over (in cache)
// and with frames rotated through twice the last-level cache (from main memory).
//
// Usage: bench_nv12 [--rounds N] [--rotate-mb MB]
#include <libyuv/convert_from_argb.h>
#include <libyuv/cpu_id.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "recording/nv12_convert.h"
#include "recording/video_pixel_format.h"

namespace {

using zentri_native::Nv12Path;
using zentri_native::VideoRecorder;
using Clock = std::chrono::steady_clock;

struct Slot {
  VideoRecorder::Frame frame;
  std::vector<uint8_t> y;
  std::vector<uint8_t> uv;
};

struct Candidate {
  std::string name;
  std::function<void(Slot& slot, Slot& other)> run;
  double inCache = 0;
  double fromMemory = 0;
};

std::vector<Slot> MakeSlots(size_t count, int width, int height) {
  std::vector<Slot> slots(count);
  std::mt19937 random(1);
  for (Slot& slot : slots) {
    slot.frame.width = width;
    slot.frame.height = height;
    slot.frame.format = static_cast<int32_t>(zentri_native::VideoPixelFormat::Rgba);
    slot.frame.strides[0] = width * 4;
    slot.frame.data.resize(static_cast<size_t>(width) * height * 4);
    // Touch every page now so that no page fault lands inside a measurement.
    for (size_t i = 0; i < slot.frame.data.size(); i += 64) {
      slot.frame.data[i] = static_cast<uint8_t>(random());
    }
    slot.y.assign(static_cast<size_t>(width) * height, 0);
    slot.uv.assign(static_cast<size_t>(width) * height / 2, 0);
  }
  return slots;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Milliseconds per frame: each round runs every candidate in turn, so that a busy machine slows
// all of them alike; the median over rounds is kept.
void Measure(std::vector<Candidate>& candidates, std::vector<Slot>& slots, int rounds, bool rotate,
             int framesPerRound) {
  std::vector<std::vector<double>> samples(candidates.size());
  size_t next = 0;
  for (int round = -1; round < rounds; ++round) {  // round -1 warms up
    for (size_t c = 0; c < candidates.size(); ++c) {
      const auto begin = Clock::now();
      for (int i = 0; i < framesPerRound; ++i) {
        Slot& slot = slots[rotate ? next : 0];
        Slot& other = slots[rotate ? (next + slots.size() / 2) % slots.size() : 0];
        candidates[c].run(slot, other);
        if (rotate) {
          next = (next + 1) % slots.size();
        }
      }
      const double ms =
          std::chrono::duration<double, std::milli>(Clock::now() - begin).count() / framesPerRound;
      if (round >= 0) {
        samples[c].push_back(ms);
      }
    }
  }
  for (size_t c = 0; c < candidates.size(); ++c) {
    (rotate ? candidates[c].fromMemory : candidates[c].inCache) = Median(samples[c]);
  }
}

void Bench(int width, int height, int rounds, size_t rotateBytes) {
  const size_t frameBytes = static_cast<size_t>(width) * height * 4;
  const size_t nv12Bytes = static_cast<size_t>(width) * height * 3 / 2;
  const size_t slotCount = std::max<size_t>(4, rotateBytes / (frameBytes + nv12Bytes) + 1);
  std::vector<Slot> slots = MakeSlots(slotCount, width, height);
  // memcpy copies the frame into its own target in cache, and into another slot's frame from
  // memory (the content does not matter for timing).
  std::vector<uint8_t> copyTarget(frameBytes);

  const Nv12Path best = zentri_native::BestNv12Path();
  std::vector<Candidate> candidates;
  auto ours = [](Nv12Path path) {
    return [path](Slot& slot, Slot&) {
      if (!zentri_native::ConvertFrameToNv12PlanarWithPath(path, slot.frame, slot.y.data(),
                                                           slot.frame.width, slot.uv.data(),
                                                           slot.frame.width)) {
        std::fprintf(stderr, "conversion failed\n");
        std::exit(1);
      }
    };
  };
  candidates.push_back({std::string("ours, ") + zentri_native::Nv12PathName(best), ours(best)});
  if (best != Nv12Path::Sse41 && zentri_native::Nv12PathSupported(Nv12Path::Sse41)) {
    candidates.push_back({"ours, sse4.1", ours(Nv12Path::Sse41)});
  }
  candidates.push_back({"ours, scalar", ours(Nv12Path::Scalar)});
  auto libyuv = [](int cpuFlags) {
    return [cpuFlags](Slot& slot, Slot&) {
      libyuv::MaskCpuFlags(cpuFlags);
      libyuv::ABGRToNV12(slot.frame.data.data(), slot.frame.width * 4, slot.y.data(),
                         slot.frame.width, slot.uv.data(), slot.frame.width, slot.frame.width,
                         slot.frame.height);
    };
  };
  candidates.push_back({"libyuv ABGRToNV12, all paths", libyuv(-1)});
  candidates.push_back(
      {"libyuv ABGRToNV12, SSSE3", libyuv(libyuv::kCpuInitialized | libyuv::kCpuHasX86 |
                                          libyuv::kCpuHasSSE2 | libyuv::kCpuHasSSSE3)});
  candidates.push_back({"memcpy of the frame", [&copyTarget](Slot& slot, Slot& other) {
                          uint8_t* target =
                              &slot == &other ? copyTarget.data() : other.frame.data.data();
                          std::memcpy(target, slot.frame.data.data(), slot.frame.data.size());
                        }});

  const int inCacheFrames = std::max(4, static_cast<int>((64u << 20) / frameBytes));
  Measure(candidates, slots, rounds, false, inCacheFrames);
  Measure(candidates, slots, rounds, true, static_cast<int>(std::min<size_t>(slotCount, 64)));
  libyuv::MaskCpuFlags(-1);

  std::printf(
      "\nRGBA %dx%d to NV12 (%.1f MB in, %.1f MB out); ms per frame, median of %d rounds;"
      " from memory: %zu frames rotated (%.0f MB)\n",
      width, height, frameBytes / 1e6, nv12Bytes / 1e6, rounds, slotCount,
      slotCount * (frameBytes + nv12Bytes) / 1e6);
  std::printf("  %-32s %10s %12s\n", "", "in cache", "from memory");
  for (const Candidate& c : candidates) {
    std::printf("  %-32s %10.3f %12.3f\n", c.name.c_str(), c.inCache, c.fromMemory);
  }
  auto find = [&](const std::string& prefix) -> const Candidate& {
    for (const Candidate& c : candidates) {
      if (c.name.rfind(prefix, 0) == 0) {
        return c;
      }
    }
    return candidates.front();
  };
  const Candidate& vector = candidates.front();
  const Candidate& scalar = find("ours, scalar");
  const Candidate& yuvBest = find("libyuv ABGRToNV12, all");
  const Candidate& yuvSsse3 = find("libyuv ABGRToNV12, SSSE3");
  const Candidate& copy = find("memcpy");
  std::printf("  ratios, in cache | from memory:\n");
  auto both = [&](const char* what, const Candidate& a, const Candidate& b) {
    std::printf("  %-44s %6.2fx | %6.2fx\n", what, a.inCache / b.inCache,
                a.fromMemory / b.fromMemory);
  };
  both("scalar / ours (speed-up of the vector path)", scalar, vector);
  both("ours / libyuv SSSE3 (<= 1 is no slower)", vector, yuvSsse3);
  both("ours / libyuv best", vector, yuvBest);
  both("ours / memcpy of the frame", vector, copy);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 15;
  long l3 = sysconf(_SC_LEVEL3_CACHE_SIZE);
  size_t rotateBytes = std::max<size_t>(l3 > 0 ? 2 * static_cast<size_t>(l3) : 0, 256u << 20);
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--rounds") == 0) {
      rounds = std::max(1, std::atoi(argv[i + 1]));
    } else if (std::strcmp(argv[i], "--rotate-mb") == 0) {
      rotateBytes = static_cast<size_t>(std::max(1, std::atoi(argv[i + 1]))) << 20;
    }
  }
  std::printf("best conversion path on this processor: %s; last-level cache %ld KB\n",
              zentri_native::Nv12PathName(zentri_native::BestNv12Path()), l3 / 1024);
  Bench(1920, 1080, rounds, rotateBytes);
  Bench(960, 540, rounds, rotateBytes);
  return 0;
}
