// Processor time of the preview producer thread per frame (grab, decimation, publication) for a
// 1920x1080 synthetic camera at 30 frames per second into 960x540 slots, measured on the
// thread's own CPU clock, so the capture library's drawing of frames on its capture thread is
// left out. Beside it, in the same run: a memcpy of one 1080p RGB frame (what the grab alone
// must move) and of one 960x540 RGBA slot.
//
//   build/bench_preview [seconds=10]
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
  int64_t cpuStart = 0;
  int64_t cpuEnd = 0;
  const uint64_t framesStart = producer.GetStatistics().producedFrames;
  const auto wallStart = std::chrono::steady_clock::now();
  producer.ThreadCpuTimeNs(&cpuStart);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  producer.ThreadCpuTimeNs(&cpuEnd);
  const auto wallEnd = std::chrono::steady_clock::now();
  const CameraPreviewProducer::Statistics statistics = producer.GetStatistics();
  producer.Stop();
  // The library's share: the same grab, called from this thread at the same rate.
  std::vector<uint8_t> frame(static_cast<size_t>(binding.PreviewFrameDataSize(device)));
  const int grabs = 90;
  int64_t grabCpu = 0;
  for (int i = 0; i < grabs; ++i) {
    const int64_t before = ThreadCpuNs();
    binding.GrabFrame(device, frame.data(), static_cast<int64_t>(frame.size()));
    grabCpu += ThreadCpuNs() - before;
    std::this_thread::sleep_for(std::chrono::milliseconds(33));
  }
  binding.stopCapture(-1);
  const double grabUs = grabCpu / 1e3 / grabs;

  const uint64_t frames = statistics.producedFrames - framesStart;
  const double wallSeconds = std::chrono::duration<double>(wallEnd - wallStart).count();
  const double cpuMs = (cpuEnd - cpuStart) / 1e6;
  const double perFrameUs = frames > 0 ? (cpuEnd - cpuStart) / 1e3 / frames : 0;
  std::printf("producer, 1920x1080 RGB -> 960x540 RGBA at 30 fps, %.1f s:\n", wallSeconds);
  std::printf("  frames %llu (%.1f fps), dropped %d\n", static_cast<unsigned long long>(frames),
              frames / wallSeconds, statistics.droppedFrames);
  std::printf("  producer thread CPU %.1f ms: %.0f us per frame, %.2f%% of one core\n", cpuMs,
              perFrameUs, cpuMs / 10.0 / wallSeconds);
  const double frameCopyUs = MemcpyMicroseconds(1920 * 1080 * 3, 200);
  const double slotCopyUs = MemcpyMicroseconds(960 * 540 * 4, 400);
  std::printf("  reference memcpy of one 1080p RGB frame (6,220,800 bytes): %.0f us\n",
              frameCopyUs);
  std::printf("  reference memcpy of one 960x540 RGBA slot (2,073,600 bytes): %.0f us\n",
              slotCopyUs);
  std::printf("  library grab alone (its copy of the frame), same rate: %.0f us per frame\n",
              grabUs);
  std::printf(
      "  producer's own work (decimation, quality copy, publication): %.0f us per frame, "
      "%.2f%% of one core\n",
      perFrameUs - grabUs, (perFrameUs - grabUs) * 30 / 1e4);
  std::printf("  producer per frame / frame memcpy: %.2f\n", perFrameUs / frameCopyUs);
  return 0;
}
