// Processor time of the preview producer thread per frame (reading or grabbing the frame,
// decimation, quality frame, publication) for a 1920x1080 synthetic camera at 30 frames per
// second into 960x540 slots, measured on the thread's own CPU clock in 1-second windows (best and
// median), so the capture library's drawing of frames on its capture thread is left out. Beside it,
// in the same run: the library's grab alone, a memcpy of one 1080p RGB frame (what the grab must
// move, repeated between buffers that stay in cache), the same copy in the grab's situation (a
// source just written by another thread, a destination a frame old), a memcpy of one 960x540 RGBA
// slot, and the ratios.
//
//   build/bench_preview [seconds=10]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera_binding.h"
#include "camera/preview_producer.h"

using namespace zentri_native;

namespace {

double MemcpyMicroseconds(size_t bytes, int rounds) {
  std::vector<uint8_t> from(bytes, 1);
  std::vector<uint8_t> to(bytes, 2);
  std::memcpy(to.data(), from.data(), bytes);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) {
    from[static_cast<size_t>(i) % bytes] = static_cast<uint8_t>(i);
    std::memcpy(to.data(), from.data(), bytes);
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  volatile uint8_t sink = to[bytes / 2];
  (void)sink;
  return std::chrono::duration<double, std::micro>(elapsed).count() / rounds;
}

// A copy in the grab's own situation: the source was just written by another thread (as the
// capture thread draws or converts each frame) and the destination was last written a frame
// interval ago.
double ColdCopyMicroseconds(size_t bytes) {
  std::vector<uint8_t> source(bytes, 1);
  std::vector<uint8_t> destination(bytes, 2);
  static int round = 0;
  ++round;
  std::thread writer([&] { std::memset(source.data(), round, bytes); });
  writer.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(33));
  std::thread again([&] { std::memset(source.data(), round + 1, bytes); });
  again.join();
  const auto start = std::chrono::steady_clock::now();
  std::memcpy(destination.data(), source.data(), bytes);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  volatile uint8_t sink = destination[bytes / 2];
  (void)sink;
  return std::chrono::duration<double, std::micro>(elapsed).count();
}

struct Stats {
  double best;
  double median;
};

Stats Summarise(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return {values.front(), values[values.size() / 2]};
}

int64_t ThreadCpuNs() {
  timespec time{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
  return int64_t{time.tv_sec} * 1000000000 + time.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  setenv("CNOKHWA_SYNTHETIC_CAMERAS", "1920x1080@30", 1);
  CameraBinding binding;
  if (!binding.Load(std::string(ZENTRI_BENCH_LIB_DIR) + "/libcnokhwa.so")) {
    std::fprintf(stderr, "could not load libcnokhwa.so from %s\n", ZENTRI_BENCH_LIB_DIR);
    return 1;
  }
  const int device = binding.devicesCount() - 1;
  if (device < 0 || binding.startCapture(device, 0, 0) != 0) {
    std::fprintf(stderr, "could not start the synthetic camera\n");
    return 1;
  }
  CameraPreviewProducer producer(binding, nullptr);
  if (producer.Start(device, 960, 540, CameraPreviewProducer::FrameIntervalForFps(30)) != 0) {
    std::fprintf(stderr, "could not start the preview\n");
    return 1;
  }
  // Warm-up: first frame, geometry probe, buffers grown.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  // Per-frame processor time of the producer thread in 1-second windows.
  std::vector<double> producerUs;
  uint64_t frames = 0;
  const auto wallStart = std::chrono::steady_clock::now();
  for (int window = 0; window < seconds; ++window) {
    int64_t cpuStart = 0;
    int64_t cpuEnd = 0;
    const uint64_t framesStart = producer.GetStatistics().producedFrames;
    producer.ThreadCpuTimeNs(&cpuStart);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    producer.ThreadCpuTimeNs(&cpuEnd);
    const uint64_t windowFrames = producer.GetStatistics().producedFrames - framesStart;
    frames += windowFrames;
    if (windowFrames > 0) {
      producerUs.push_back((cpuEnd - cpuStart) / 1e3 / static_cast<double>(windowFrames));
    }
  }
  const double wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  const CameraPreviewProducer::Statistics statistics = producer.GetStatistics();
  producer.Stop();
  // The library's share: the same grab, called from this thread at the same rate.
  std::vector<uint8_t> frame(static_cast<size_t>(binding.PreviewFrameDataSize(device)));
  std::vector<double> grabUs;
  for (int i = 0; i < 30 * std::min(seconds, 5); ++i) {
    const int64_t before = ThreadCpuNs();
    binding.GrabFrame(device, frame.data(), static_cast<int64_t>(frame.size()));
    grabUs.push_back((ThreadCpuNs() - before) / 1e3);
    std::this_thread::sleep_for(std::chrono::milliseconds(33));
  }
  binding.stopCapture(-1);
  if (producerUs.empty()) {
    std::fprintf(stderr, "the producer made no frames\n");
    return 1;
  }
  std::vector<double> frameCopyUs, slotCopyUs;
  for (int round = 0; round < 5; ++round) {
    frameCopyUs.push_back(MemcpyMicroseconds(1920 * 1080 * 3, 40));
    slotCopyUs.push_back(MemcpyMicroseconds(960 * 540 * 4, 80));
  }
  std::vector<double> coldCopyUs;
  for (int round = 0; round < 15; ++round) {
    coldCopyUs.push_back(ColdCopyMicroseconds(1920 * 1080 * 3));
  }
  const Stats coldCopy = Summarise(coldCopyUs);
  const Stats producerStats = Summarise(producerUs);
  const Stats grabStats = Summarise(grabUs);
  const Stats frameCopy = Summarise(frameCopyUs);
  const Stats slotCopy = Summarise(slotCopyUs);
  std::printf("producer, 1920x1080 RGB -> 960x540 RGBA at 30 fps, %.1f s:\n", wallSeconds);
  std::printf("  frames %llu (%.1f fps), dropped %d\n", static_cast<unsigned long long>(frames),
              frames / wallSeconds, statistics.droppedFrames);
  std::printf(
      "  producer thread CPU per frame (1-s windows): best %.0f us, median %.0f us; median "
      "%.2f%% of one core\n",
      producerStats.best, producerStats.median, producerStats.median * 30 / 1e4);
  std::printf(
      "  reference memcpy of one 1080p RGB frame (6,220,800 bytes): best %.0f us, median "
      "%.0f us\n",
      frameCopy.best, frameCopy.median);
  std::printf(
      "  reference memcpy of one 960x540 RGBA slot (2,073,600 bytes): best %.0f us, "
      "median %.0f us\n",
      slotCopy.best, slotCopy.median);
  std::printf(
      "  library grab alone (its copy of the frame), same rate: best %.0f us, median %.0f "
      "us per frame\n",
      grabStats.best, grabStats.median);
  std::printf(
      "  producer per frame / library grab alone (the producer copies the frame only for the "
      "quality frame, every 500 ms): best %.2f, medians %.2f\n",
      producerStats.best / grabStats.best, producerStats.median / grabStats.median);
  std::printf(
      "  memcpy of one frame just written by another thread, into a buffer a frame old: best "
      "%.0f us, median %.0f us\n",
      coldCopy.best, coldCopy.median);
  std::printf("  producer per frame / that copy: best %.2f, medians %.2f\n",
              producerStats.best / coldCopy.best, producerStats.median / coldCopy.median);
  std::printf("  grab / frame memcpy: best %.2f, medians %.2f\n", grabStats.best / frameCopy.best,
              grabStats.median / frameCopy.median);
  std::printf("  producer per frame / frame memcpy: best %.2f, medians %.2f\n",
              producerStats.best / frameCopy.best, producerStats.median / frameCopy.median);
  return 0;
}
