// Focus-stack fusion of a synthetic 5-frame 1920 x 1080 stack: our pyramid fusion with 1 and 2
// threads beside Debian's enfuse (focus-stacking settings, 4 levels) on the same frames, written
// as TIFF files. Prints best and median wall times, the ratio ours(2 threads) / enfuse, the
// 2-vs-1 thread speedup and the fusion's peak resident memory relative to the input frames.
//
// Usage: bench_edof [rounds]   (enfuse is looked up on PATH; without it only our figures print)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "edof/fusion.h"

extern char** environ;

namespace {

using zentri_native::FieldView;

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM"), or -1.
int64_t StatusBytes(const char* key) {
  FILE* file = std::fopen("/proc/self/status", "r");
  if (file == nullptr) {
    return -1;
  }
  char line[256];
  int64_t value = -1;
  const size_t length = std::strlen(key);
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, key, length) == 0 && line[length] == ':') {
      value = std::atoll(line + length + 1) * 1024;
      break;
    }
  }
  std::fclose(file);
  return value;
}

// Resets the peak resident size to the current one (Linux 4.0 and later).
bool ResetPeakResident() {
  FILE* file = std::fopen("/proc/self/clear_refs", "w");
  if (file == nullptr) {
    return false;
  }
  const bool ok = std::fputs("5", file) >= 0;
  return std::fclose(file) == 0 && ok;
}
using zentri_native::FrameView;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFrames = 5;

uint32_t Hash(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

// A textured test image: fine stripes, rings and noise, so every pyramid band carries detail.
std::vector<uint8_t> MakeTexture() {
  std::vector<uint8_t> rgb(static_cast<size_t>(kWidth) * kHeight * 3);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const double dx = x - kWidth * 0.4, dy = y - kHeight * 0.6;
      const double rings = std::sin(std::sqrt(dx * dx + dy * dy) * 0.35);
      const double stripes = std::sin(x * 0.9 + y * 0.25);
      const double noise = (Hash(static_cast<uint32_t>(y * kWidth + x)) & 255) / 255.0 - 0.5;
      const size_t i = 3 * (static_cast<size_t>(y) * kWidth + x);
      const double base = 128 + 50 * rings + 30 * stripes + 40 * noise;
      rgb[i] = static_cast<uint8_t>(std::clamp(base, 0.0, 255.0));
      rgb[i + 1] =
          static_cast<uint8_t>(std::clamp(base * 0.8 + 30 * std::sin(y * 0.05), 0.0, 255.0));
      rgb[i + 2] = static_cast<uint8_t>(std::clamp(255 - base * 0.9, 0.0, 255.0));
    }
  }
  return rgb;
}

// Separable box blur of radius r, applied three times (close to a Gaussian).
std::vector<uint8_t> Blur(const std::vector<uint8_t>& rgb, int r) {
  std::vector<float> a(rgb.begin(), rgb.end()), b(a.size());
  for (int pass = 0; pass < 3; ++pass) {
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        for (int c = 0; c < 3; ++c) {
          float sum = 0;
          for (int t = -r; t <= r; ++t) {
            const int xx = std::clamp(x + t, 0, kWidth - 1);
            sum += a[3 * (static_cast<size_t>(y) * kWidth + xx) + c];
          }
          b[3 * (static_cast<size_t>(y) * kWidth + x) + c] = sum / (2 * r + 1);
        }
      }
    }
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        for (int c = 0; c < 3; ++c) {
          float sum = 0;
          for (int t = -r; t <= r; ++t) {
            const int yy = std::clamp(y + t, 0, kHeight - 1);
            sum += b[3 * (static_cast<size_t>(yy) * kWidth + x) + c];
          }
          a[3 * (static_cast<size_t>(y) * kWidth + x) + c] = sum / (2 * r + 1);
        }
      }
    }
  }
  std::vector<uint8_t> out(rgb.size());
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<uint8_t>(std::lround(a[i]));
  }
  return out;
}

// Local contrast: absolute Laplacian of the luma, averaged over a 5 x 5 box, plus a floor.
std::vector<float> ContrastWeight(const std::vector<uint8_t>& rgba) {
  std::vector<float> luma(static_cast<size_t>(kWidth) * kHeight);
  for (size_t i = 0; i < luma.size(); ++i) {
    luma[i] = 0.299f * rgba[4 * i] + 0.587f * rgba[4 * i + 1] + 0.114f * rgba[4 * i + 2];
  }
  std::vector<float> lap(luma.size(), 0.0f), out(luma.size(), 0.0f);
  for (int y = 1; y + 1 < kHeight; ++y) {
    for (int x = 1; x + 1 < kWidth; ++x) {
      const size_t i = static_cast<size_t>(y) * kWidth + x;
      lap[i] =
          std::fabs(4 * luma[i] - luma[i - 1] - luma[i + 1] - luma[i - kWidth] - luma[i + kWidth]);
    }
  }
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      float sum = 0;
      for (int dy = -2; dy <= 2; ++dy) {
        for (int dx = -2; dx <= 2; ++dx) {
          sum += lap[static_cast<size_t>(std::clamp(y + dy, 0, kHeight - 1)) * kWidth +
                     std::clamp(x + dx, 0, kWidth - 1)];
        }
      }
      out[static_cast<size_t>(y) * kWidth + x] = sum / 25 + 1e-3f;
    }
  }
  return out;
}

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(v & 255);
  out.push_back(v >> 8);
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    out.push_back((v >> (8 * i)) & 255);
  }
}

// A baseline little-endian TIFF: 8-bit RGB, uncompressed, one strip.
bool WriteTiff(const std::string& path, const std::vector<uint8_t>& rgba) {
  const uint32_t pixels = static_cast<uint32_t>(kWidth) * kHeight;
  const uint32_t dataBytes = pixels * 3;
  const uint16_t entries = 12;
  const uint32_t ifdOffset = 8;
  const uint32_t ifdBytes = 2 + entries * 12 + 4;
  const uint32_t bitsOffset = ifdOffset + ifdBytes;
  const uint32_t resolutionOffset = bitsOffset + 6;
  const uint32_t dataOffset = resolutionOffset + 16;
  std::vector<uint8_t> out;
  out.reserve(dataOffset + dataBytes);
  out.insert(out.end(), {'I', 'I', 42, 0});
  Put32(out, ifdOffset);
  Put16(out, entries);
  const auto entry = [&out](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    Put16(out, tag);
    Put16(out, type);
    Put32(out, count);
    if (type == 3 && count == 1) {
      Put16(out, static_cast<uint16_t>(value));
      Put16(out, 0);
    } else {
      Put32(out, value);
    }
  };
  entry(256, 4, 1, kWidth);                // ImageWidth
  entry(257, 4, 1, kHeight);               // ImageLength
  entry(258, 3, 3, bitsOffset);            // BitsPerSample 8, 8, 8
  entry(259, 3, 1, 1);                     // no compression
  entry(262, 3, 1, 2);                     // RGB
  entry(273, 4, 1, dataOffset);            // StripOffsets
  entry(277, 3, 1, 3);                     // SamplesPerPixel
  entry(278, 4, 1, kHeight);               // RowsPerStrip
  entry(279, 4, 1, dataBytes);             // StripByteCounts
  entry(282, 5, 1, resolutionOffset);      // XResolution
  entry(283, 5, 1, resolutionOffset + 8);  // YResolution
  entry(296, 3, 1, 2);                     // inches
  Put32(out, 0);
  for (int i = 0; i < 3; ++i) {
    Put16(out, 8);
  }
  for (int i = 0; i < 2; ++i) {
    Put32(out, 72);
    Put32(out, 1);
  }
  for (uint32_t i = 0; i < pixels; ++i) {
    out.insert(out.end(), {rgba[4 * i], rgba[4 * i + 1], rgba[4 * i + 2]});
  }
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return false;
  }
  const bool ok = std::fwrite(out.data(), 1, out.size(), file) == out.size();
  return std::fclose(file) == 0 && ok;
}

// CPU time of the calling thread: what a run costs whatever else the machine is doing.
double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec * 1e-9;
}

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Stats {
  double best;
  double median;
};

Stats Summarise(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return {times.front(), times[times.size() / 2]};
}

// Runs a program to completion; returns its wall time, or a negative value on failure.
double RunTimed(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  const double elapsed = Seconds(start);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? elapsed : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const size_t pixels = static_cast<size_t>(kWidth) * kHeight;

  std::printf("building a %d-frame %dx%d stack...\n", kFrames, kWidth, kHeight);
  const std::vector<uint8_t> texture = MakeTexture();
  const std::vector<uint8_t> blurred = Blur(texture, 3);
  std::vector<std::vector<uint8_t>> frames(kFrames, std::vector<uint8_t>(pixels * 4, 255));
  std::vector<std::vector<float>> weights(kFrames);
  for (int k = 0; k < kFrames; ++k) {
    // Frame k is sharp in horizontal band k and blurred elsewhere.
    for (int y = 0; y < kHeight; ++y) {
      const bool sharp = y * kFrames / kHeight == k;
      const std::vector<uint8_t>& source = sharp ? texture : blurred;
      for (int x = 0; x < kWidth; ++x) {
        const size_t i = static_cast<size_t>(y) * kWidth + x;
        std::memcpy(&frames[k][4 * i], &source[3 * i], 3);
      }
    }
    weights[k] = ContrastWeight(frames[k]);
  }
  std::vector<float> identityX(pixels), identityY(pixels), confidence(pixels, 1.0f);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      identityX[static_cast<size_t>(y) * kWidth + x] = static_cast<float>(x);
      identityY[static_cast<size_t>(y) * kWidth + x] = static_cast<float>(y);
    }
  }
  std::vector<FrameView> frameViews(kFrames);
  std::vector<FieldView> fieldViews(kFrames);
  std::vector<const float*> weightViews(kFrames);
  for (int k = 0; k < kFrames; ++k) {
    frameViews[k] = FrameView{frames[k].data(), 1.0};
    fieldViews[k] =
        FieldView{kWidth, kHeight, identityX.data(), identityY.data(), confidence.data(), true};
    weightViews[k] = weights[k].data();
  }

  // As the script entry runs it: straight into a fresh zeroed buffer, which is what a script's
  // new ArrayBuffer is (calloc, so fresh pages from the kernel).
  const auto fuse = [&](unsigned threads, double* seconds) {
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<uint8_t, decltype(&std::free)> out(
        static_cast<uint8_t*>(std::calloc(pixels, 4)), &std::free);
    if (!out) {
      throw std::bad_alloc();
    }
    zentri_native::FuseInto(kWidth, kHeight, kFrames / 2, frameViews, fieldViews, weightViews,
                            threads, __builtin_cpu_supports("avx2") ? "avx2" : "sse2", out.get());
    if (seconds != nullptr) {
      *seconds = Seconds(start);
    }
    return std::vector<uint8_t>(out.get(), out.get() + pixels * 4);
  };
  // enfuse reads the same frames from TIFF files.
  char dirTemplate[] = "/tmp/bench_edof_XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = dirTemplate;
  std::vector<std::string> enfuse = {"enfuse",
                                     "--exposure-weight=0",
                                     "--saturation-weight=0",
                                     "--contrast-weight=1",
                                     "--hard-mask",
                                     "-l",
                                     "4",
                                     "-o",
                                     dir + "/fused.tif"};
  for (int k = 0; k < kFrames; ++k) {
    const std::string path = dir + "/frame" + std::to_string(k) + ".tif";
    if (!WriteTiff(path, frames[k])) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
    enfuse.push_back(path);
  }
  // enfuse parallelises with OpenMP: give it the same two threads.
  setenv("OMP_NUM_THREADS", "2", 1);

  // Warm-up, and the result that every other run must reproduce. The machine is shared, so
  // each round runs all three subjects back to back and the ratios are taken within a round.
  const std::vector<uint8_t> reference = fuse(2, nullptr);
  std::vector<double> times1, times2, cpu1, enfuseTimes, ratios, speedups;
  int64_t peak = 0;
  bool haveEnfuse = true;
  for (int run = 0; run < runs; ++run) {
    double round[2] = {0, 0};
    for (unsigned threads : {1u, 2u}) {
      const bool measurePeak = ResetPeakResident();
      const int64_t before = StatusBytes("VmRSS");
      const double cpuStart = ThreadCpuSeconds();
      double seconds = 0;
      std::vector<uint8_t> result = fuse(threads, &seconds);
      round[threads - 1] = seconds;
      if (threads == 1) {
        cpu1.push_back(ThreadCpuSeconds() - cpuStart);
      }
      if (measurePeak && before >= 0) {
        peak = std::max(peak, StatusBytes("VmHWM") - before);
      }
      if (result != reference) {
        std::fprintf(stderr, "the fused image differs between runs\n");
        return 1;
      }
    }
    times1.push_back(round[0]);
    times2.push_back(round[1]);
    speedups.push_back(round[0] / round[1]);
    if (haveEnfuse) {
      const double t = RunTimed(enfuse);
      if (t < 0) {
        std::printf("enfuse failed or is not installed (Debian package enfuse): no ratio\n");
        haveEnfuse = false;
      } else {
        enfuseTimes.push_back(t);
        ratios.push_back(round[1] / t);
      }
    }
  }
  for (int k = 0; k < kFrames; ++k) {
    std::remove((dir + "/frame" + std::to_string(k) + ".tif").c_str());
  }
  std::remove((dir + "/fused.tif").c_str());
  rmdir(dir.c_str());

  const Stats ours1 = Summarise(times1);
  const Stats ours2 = Summarise(times2);
  const double stackBytes = static_cast<double>(pixels) * 4 * kFrames;
  const double requestBytes = stackBytes + static_cast<double>(pixels) * 4 * (kFrames + 3);
  std::printf("%d rounds\n", runs);
  std::printf("ours, 1 thread:    best %.1f ms, median %.1f ms\n", ours1.best * 1e3,
              ours1.median * 1e3);
  std::printf("ours, 2 threads:   best %.1f ms, median %.1f ms\n", ours2.best * 1e3,
              ours2.median * 1e3);
  std::printf("ours, 1 thread, CPU time: best %.1f ms\n", Summarise(cpu1).best * 1e3);
  std::printf("speedup 2 vs 1 thread: best times %.2f, medians %.2f, median of rounds %.2f\n",
              ours1.best / ours2.best, ours1.median / ours2.median, Summarise(speedups).median);
  std::printf(
      "peak fusion memory (resident, with the result): %.1f MB = %.2f x the RGBA stack "
      "(%.1f MB), %.2f x the request with its fields and weights\n",
      peak / 1e6, peak / stackBytes, stackBytes / 1e6, peak / requestBytes);
  if (!enfuseTimes.empty()) {
    const Stats theirs = Summarise(enfuseTimes);
    std::printf("enfuse, 2 threads: best %.1f ms, median %.1f ms\n", theirs.best * 1e3,
                theirs.median * 1e3);
    std::printf(
        "ratio ours(2 threads) / enfuse: best times %.3f, medians %.3f, median of rounds %.3f\n",
        ours2.best / theirs.best, ours2.median / theirs.median, Summarise(ratios).median);
  }

  // The same stack with every frame displaced by a fraction of a pixel: every sample then
  // interpolates between four pixels.
  std::vector<float> shiftedX(identityX), shiftedY(identityY);
  for (size_t i = 0; i < pixels; ++i) {
    shiftedX[i] = std::min(identityX[i] + 0.37f, kWidth - 1.0f);
    shiftedY[i] = std::min(identityY[i] + 0.21f, kHeight - 1.0f);
  }
  for (int k = 0; k < kFrames; ++k) {
    fieldViews[k].x = shiftedX.data();
    fieldViews[k].y = shiftedY.data();
  }
  std::vector<double> shifted1, shifted2;
  for (int run = 0; run < std::max(1, runs / 2); ++run) {
    double seconds = 0;
    fuse(1, &seconds);
    shifted1.push_back(seconds);
    fuse(2, &seconds);
    shifted2.push_back(seconds);
  }
  const Stats sub1 = Summarise(shifted1);
  const Stats sub2 = Summarise(shifted2);
  std::printf(
      "sub-pixel fields: 1 thread best %.1f ms, median %.1f ms; 2 threads best %.1f ms, median "
      "%.1f ms\n",
      sub1.best * 1e3, sub1.median * 1e3, sub2.best * 1e3, sub2.median * 1e3);
  return 0;
}
