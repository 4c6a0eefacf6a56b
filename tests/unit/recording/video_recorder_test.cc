#include "recording/video_recorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "allocation_counter.h"
#include "recording/video_pixel_format.h"

namespace zentri_native {
namespace {

using namespace std::chrono_literals;

constexpr int32_t kWidth = 64;
constexpr int32_t kHeight = 32;
constexpr size_t kFrameBytes = kWidth * kHeight * 4;
constexpr auto kWaitLimit = 10s;

struct EncodedFrame {
  int64_t pts;
  int64_t duration;
  int64_t timestamp;
  uint8_t firstByte;
  VideoRecorder::Frame layout;  // everything but the pixel bytes (see Script::dataSizes)
};

// What the test backend does and what it saw; shared by the test and the backend, which the
// recorder owns and destroys on its worker thread.
struct Script {
  std::mutex mutex;
  std::condition_variable changed;
  // Behaviour.
  std::string startResult;
  std::chrono::milliseconds startDelay{0};
  int failEncodeAt = -1;  // index of the EncodeFrame call that fails
  std::string encodeError = "encoder broke";
  bool throwOnEncode = false;
  std::string finalizeResult;
  bool holdEncode = false;  // EncodeFrame waits while this is true
  std::string encoderName = "test-encoder";
  std::string acceleration = "software";
  // Observations.
  bool inEncode = false;
  int encodeCalls = 0;
  int finalizeCalls = 0;
  int destroyed = 0;
  std::string startedPath;
  std::vector<EncodedFrame> encoded;
  std::vector<size_t> dataSizes;

  template <typename Predicate>
  bool WaitFor(Predicate predicate) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, kWaitLimit, predicate);
  }
  void Hold(bool hold) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      holdEncode = hold;
    }
    changed.notify_all();
  }
};

// For conditions on the recorder, which has no notification of its own.
template <typename Predicate>
bool PollUntil(Predicate predicate) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class ScriptedBackend : public VideoRecorder::Backend {
 public:
  explicit ScriptedBackend(std::shared_ptr<Script> script) : script_(std::move(script)) {}
  ~ScriptedBackend() override {
    std::lock_guard<std::mutex> lock(script_->mutex);
    ++script_->destroyed;
    script_->changed.notify_all();
  }

  std::string Start(const std::string& outputPath, int32_t width, int32_t height, int32_t frameRate,
                    int32_t bitrate) override {
    std::chrono::milliseconds delay;
    {
      std::lock_guard<std::mutex> lock(script_->mutex);
      script_->startedPath = outputPath;
      delay = script_->startDelay;
    }
    std::this_thread::sleep_for(delay);
    std::lock_guard<std::mutex> lock(script_->mutex);
    return script_->startResult;
  }

  std::string EncodeFrame(const VideoRecorder::Frame& frame, int64_t pts,
                          int64_t duration) override {
    std::unique_lock<std::mutex> lock(script_->mutex);
    const int call = script_->encodeCalls++;
    script_->inEncode = true;
    script_->changed.notify_all();
    script_->changed.wait(lock, [this] { return !script_->holdEncode; });
    script_->inEncode = false;
    if (call == script_->failEncodeAt) {
      if (script_->throwOnEncode) {
        throw std::runtime_error("boom");
      }
      return script_->encodeError;
    }
    VideoRecorder::Frame layout;
    layout.width = frame.width;
    layout.height = frame.height;
    layout.format = frame.format;
    layout.planeCount = frame.planeCount;
    layout.offsets = frame.offsets;
    layout.strides = frame.strides;
    script_->encoded.push_back({pts, duration, frame.timestamp, frame.data[0], layout});
    script_->dataSizes.push_back(frame.data.size());
    script_->changed.notify_all();
    return std::string();
  }

  std::string Finalize() override {
    std::lock_guard<std::mutex> lock(script_->mutex);
    ++script_->finalizeCalls;
    return script_->finalizeResult;
  }

  std::string EncoderName() const override {
    std::lock_guard<std::mutex> lock(script_->mutex);
    return script_->encoderName;
  }
  std::string EncoderAcceleration() const override {
    std::lock_guard<std::mutex> lock(script_->mutex);
    return script_->acceleration;
  }

 private:
  std::shared_ptr<Script> script_;
};

VideoRecorder::Platform TestPlatform(const std::shared_ptr<Script>& script,
                                     std::chrono::milliseconds startTimeout = 10s) {
  VideoRecorder::Platform platform;
  platform.available = [] { return true; };
  platform.createBackend = [script]() -> std::unique_ptr<VideoRecorder::Backend> {
    return std::make_unique<ScriptedBackend>(script);
  };
  platform.startTimeout = startTimeout;
  return platform;
}

// Pushes an RGBA frame whose first byte identifies it.
bool Push(VideoRecorder& recorder, uint8_t id, int64_t timestamp, int32_t width = kWidth,
          int32_t height = kHeight) {
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4, id);
  const int32_t strides[3] = {width * 4, 0, 0};
  return recorder.TryEnqueue(pixels.data(), pixels.size(), width, height,
                             static_cast<int32_t>(VideoPixelFormat::Rgba), 1, nullptr, strides,
                             timestamp);
}

int32_t StartDefault(VideoRecorder& recorder, int32_t frameRate = 30) {
  return recorder.Start("/tmp/out.mp4", kWidth, kHeight, frameRate, 4000000);
}

TEST(VideoRecorder, RefusesInvalidConfigurations) {
  auto script = std::make_shared<Script>();
  VideoRecorder recorder(TestPlatform(script));
  EXPECT_EQ(recorder.Stop(), 0);  // nothing to stop
  struct Case {
    const char* path;
    int32_t width, height, frameRate, bitrate;
  };
  const Case bad[] = {{"", 64, 32, 30, 4000000},
                      {"/tmp/a.mp4", 8193, 32, 30, 4000000},
                      {"/tmp/a.mp4", 8194, 32, 30, 4000000},
                      {"/tmp/a.mp4", 64, 31, 30, 4000000},
                      {"/tmp/a.mp4", 0, 32, 30, 4000000},
                      {"/tmp/a.mp4", 64, -2, 30, 4000000},
                      {"/tmp/a.mp4", 64, 32, 0, 4000000},
                      {"/tmp/a.mp4", 64, 32, 121, 4000000},
                      {"/tmp/a.mp4", 64, 32, 30, 99999},
                      {"/tmp/a.mp4", 64, 32, 30, 240000001}};
  for (const Case& c : bad) {
    EXPECT_EQ(recorder.Start(c.path, c.width, c.height, c.frameRate, c.bitrate), -1)
        << c.width << "x" << c.height << " @" << c.frameRate << " " << c.bitrate;
    const auto status = recorder.GetStatus();
    EXPECT_FALSE(status.recording);
    EXPECT_EQ(status.error, "Invalid video recording configuration");
  }
  EXPECT_EQ(script->destroyed, 0);  // no worker, no backend

  // The limits themselves are accepted.
  EXPECT_EQ(recorder.Start("/tmp/a.mp4", 8192, 2, 120, 100000), 0);
  EXPECT_EQ(recorder.Stop(), 0);
  EXPECT_EQ(recorder.Start("/tmp/b.mp4", 2, 8192, 1, 240000000), 0);
  const auto status = recorder.GetStatus();
  EXPECT_TRUE(status.recording);
  EXPECT_EQ(status.error, "");
  EXPECT_EQ(status.outputPath, "/tmp/b.mp4");
  EXPECT_EQ(status.width, 2);
  EXPECT_EQ(status.height, 8192);
  EXPECT_EQ(status.frameRate, 1);
  EXPECT_EQ(status.bitrate, 240000000);
  EXPECT_EQ(recorder.Stop(), 0);
  EXPECT_EQ(script->finalizeCalls, 2);
  EXPECT_EQ(script->destroyed, 2);
}

TEST(VideoRecorder, ReportsPlatformAndBackendStartFailures) {
  {
    VideoRecorder::Platform platform;  // cannot record at all
    VideoRecorder recorder(platform);
    EXPECT_EQ(StartDefault(recorder), -13);
    const auto status = recorder.GetStatus();
    EXPECT_FALSE(status.available);
    EXPECT_FALSE(status.recording);
    EXPECT_EQ(status.error, "Video recording is not available on this platform");
  }
  {
    VideoRecorder::Platform platform;  // can record, but has no backend
    platform.available = [] { return true; };
    VideoRecorder recorder(platform);
    EXPECT_EQ(StartDefault(recorder), -3);
    EXPECT_EQ(recorder.GetStatus().error, "Video recording is not supported on this platform");
    EXPECT_FALSE(recorder.IsRecording());
  }
  auto script = std::make_shared<Script>();
  script->startResult = "No usable FFmpeg H.264 encoder was found";
  VideoRecorder recorder(TestPlatform(script));
  EXPECT_EQ(StartDefault(recorder), -3);
  auto status = recorder.GetStatus();
  EXPECT_TRUE(status.available);
  EXPECT_FALSE(status.recording);
  EXPECT_EQ(status.error, "No usable FFmpeg H.264 encoder was found");
  EXPECT_EQ(status.encoderName, "");
  EXPECT_EQ(status.encoderAcceleration, "unknown");
  EXPECT_EQ(status.conversionBackend, "cpu");
  EXPECT_FALSE(Push(recorder, 1, 0));
  EXPECT_EQ(recorder.Stop(), 0);  // a start failure is not a finalize failure
  EXPECT_EQ(script->finalizeCalls, 0);
  EXPECT_EQ(script->destroyed, 1);

  // Failed is left by the next Start.
  script->startResult.clear();
  EXPECT_EQ(StartDefault(recorder), 0);
  status = recorder.GetStatus();
  EXPECT_EQ(status.error, "");
  EXPECT_EQ(status.encoderName, "test-encoder");
  EXPECT_EQ(status.encoderAcceleration, "software");
  EXPECT_EQ(status.conversionBackend, "cpu");
  EXPECT_EQ(status.accelerationFallbackReason, "");
  EXPECT_EQ(recorder.Stop(), 0);
}

TEST(VideoRecorder, StartTimesOutAndJoinsTheWorker) {
  auto script = std::make_shared<Script>();
  script->startDelay = 300ms;
  VideoRecorder recorder(TestPlatform(script, 30ms));
  EXPECT_EQ(StartDefault(recorder), -2);
  // The worker has been joined: its backend is gone, and it was finalized because its Start
  // succeeded after all.
  EXPECT_EQ(script->destroyed, 1);
  EXPECT_EQ(script->finalizeCalls, 1);
  const auto status = recorder.GetStatus();
  EXPECT_FALSE(status.recording);
  EXPECT_EQ(status.error, "Timed out while starting the video recorder");
  EXPECT_FALSE(Push(recorder, 1, 0));
  EXPECT_EQ(recorder.Stop(), 0);
}

std::vector<EncodedFrame> RecordAndStop(const std::vector<int64_t>& timestamps, int32_t frameRate,
                                        VideoRecorder::Status* status) {
  auto script = std::make_shared<Script>();
  VideoRecorder recorder(TestPlatform(script));
  EXPECT_EQ(StartDefault(recorder, frameRate), 0);
  uint8_t id = 0;
  for (int64_t timestamp : timestamps) {
    EXPECT_TRUE(Push(recorder, id++, timestamp));
  }
  EXPECT_EQ(recorder.Stop(), 0);
  *status = recorder.GetStatus();
  return script->encoded;
}

TEST(VideoRecorder, FramesWithoutCaptureTimeFollowTheFrameInterval) {
  VideoRecorder::Status status;
  const auto encoded = RecordAndStop({0, 0, -5, 0}, 30, &status);
  ASSERT_EQ(encoded.size(), 4u);
  for (size_t i = 0; i < encoded.size(); ++i) {
    EXPECT_EQ(encoded[i].pts, static_cast<int64_t>(i) * 333333);
    EXPECT_EQ(encoded[i].duration, 333333);
    EXPECT_EQ(encoded[i].firstByte, i);
  }
  EXPECT_EQ(status.framesWritten, 4u);
  EXPECT_EQ(status.durationMs, 0u);  // no capture times
}

TEST(VideoRecorder, CaptureTimesGiveExactDurations) {
  VideoRecorder::Status status;
  // 40 ms apart, a repeated time, then one 5 us later than the previous capture time.
  const int64_t t = 10000000;
  const auto encoded = RecordAndStop({t, t + 400000, t + 400000, t + 800050}, 30, &status);
  ASSERT_EQ(encoded.size(), 4u);
  EXPECT_EQ(encoded[0].pts, 0);
  EXPECT_EQ(encoded[0].duration, 400000);
  EXPECT_EQ(encoded[1].pts, 400000);
  EXPECT_EQ(encoded[1].duration, 400000);
  // The repeat is placed one previous duration later.
  EXPECT_EQ(encoded[2].pts, 800000);
  EXPECT_EQ(encoded[2].duration, 112);
  // 50 ticks after the repeat's capture time is closer than the minimum step.
  EXPECT_EQ(encoded[3].pts, 800112);
  EXPECT_EQ(encoded[3].duration, 112);  // the last frame reuses the previous duration
  EXPECT_EQ(status.durationMs, 80u);

  // Two frames 40 ms apart: the held-back last frame gets the same duration on stop.
  const auto pair = RecordAndStop({t, t + 400000}, 25, &status);
  ASSERT_EQ(pair.size(), 2u);
  EXPECT_EQ(pair[1].pts, 400000);
  EXPECT_EQ(pair[0].duration, 400000);
  EXPECT_EQ(pair[1].duration, 400000);

  const auto seconds = RecordAndStop({10000000, 30000000}, 30, &status);
  EXPECT_EQ(status.durationMs, 2000u);
  EXPECT_EQ(seconds[1].pts, 20000000);
}

TEST(VideoRecorder, MixedAndBackwardTimesStayIncreasing) {
  VideoRecorder::Status status;
  const int64_t t = 50000000;
  // A frame without capture time continues one interval after the previous one; a frame from
  // the past is placed one duration later.
  const auto encoded = RecordAndStop({t, 0, t + 100000, t - 1000000}, 10, &status);
  ASSERT_EQ(encoded.size(), 4u);
  EXPECT_EQ(encoded[0].pts, 0);
  EXPECT_EQ(encoded[1].pts, 1000000);
  EXPECT_EQ(encoded[2].pts, 2000000);  // its target (100000) is behind
  EXPECT_EQ(encoded[3].pts, 3000000);
  EXPECT_EQ(status.durationMs, 10u);  // timestamps t .. t + 100000
}

TEST(VideoRecorder, QueuedFramesCarryTheirLayout) {
  auto script = std::make_shared<Script>();
  VideoRecorder recorder(TestPlatform(script));
  ASSERT_EQ(StartDefault(recorder), 0);
  const std::vector<uint8_t> pixels(kFrameBytes + 100, 3);
  const int32_t offsets[3] = {4, 2000, 3000};
  const int32_t strides[3] = {kWidth * 4, kWidth / 2, kWidth / 2};
  const int32_t nv12 = static_cast<int32_t>(VideoPixelFormat::Nv12);
  // Plane counts are clamped into 1..3; missing offsets or strides are zeros.
  ASSERT_TRUE(recorder.TryEnqueue(pixels.data(), pixels.size(), kWidth, kHeight, nv12, 0, offsets,
                                  nullptr, 11));
  ASSERT_TRUE(recorder.TryEnqueue(pixels.data(), 17, kWidth, kHeight, 6, 9, nullptr, strides, 12));
  ASSERT_TRUE(recorder.TryEnqueue(pixels.data(), pixels.size(), kWidth, kHeight, nv12, 2, offsets,
                                  strides, 13));
  EXPECT_EQ(recorder.Stop(), 0);
  ASSERT_EQ(script->encoded.size(), 3u);
  const VideoRecorder::Frame& first = script->encoded[0].layout;
  EXPECT_EQ(first.format, nv12);
  EXPECT_EQ(first.planeCount, 1);
  EXPECT_EQ(first.offsets, (std::array<int32_t, 3>{4, 2000, 3000}));
  EXPECT_EQ(first.strides, (std::array<int32_t, 3>{0, 0, 0}));
  const VideoRecorder::Frame& second = script->encoded[1].layout;
  EXPECT_EQ(second.format, 6);
  EXPECT_EQ(second.planeCount, 3);
  EXPECT_EQ(second.offsets, (std::array<int32_t, 3>{0, 0, 0}));
  EXPECT_EQ(second.strides, (std::array<int32_t, 3>{kWidth * 4, kWidth / 2, kWidth / 2}));
  EXPECT_EQ(script->encoded[2].layout.planeCount, 2);
  EXPECT_EQ(script->encoded[1].timestamp, 12);
  // Exactly the given bytes, whatever buffer they were copied into.
  EXPECT_EQ(script->dataSizes, (std::vector<size_t>{pixels.size(), 17, pixels.size()}));
}

TEST(VideoRecorder, DropsOnlyWhenTheQueueIsFullAndEncodesTheQueueOnStop) {
  auto script = std::make_shared<Script>();
  VideoRecorder recorder(TestPlatform(script));
  EXPECT_FALSE(Push(recorder, 1, 0));  // not recording
  ASSERT_EQ(StartDefault(recorder), 0);
  EXPECT_TRUE(recorder.IsRecording());
  script->Hold(true);
  ASSERT_TRUE(Push(recorder, 0, 0));
  ASSERT_TRUE(Push(recorder, 1, 0));  // the worker encodes frame 0 once frame 1 arrives
  ASSERT_TRUE(script->WaitFor([&] { return script->inEncode; }));

  for (uint8_t id = 2; id < 8; ++id) {
    EXPECT_TRUE(Push(recorder, id, 0));
  }
  EXPECT_FALSE(Push(recorder, 8, 0));  // the seventh queued frame
  EXPECT_EQ(recorder.GetStatus().framesDropped, 1u);
  // Refusals that are not drops.
  EXPECT_FALSE(Push(recorder, 9, 0, kWidth + 2, kHeight));
  EXPECT_FALSE(
      recorder.TryEnqueue(nullptr, kFrameBytes, kWidth, kHeight, 5, 1, nullptr, nullptr, 0));
  uint8_t byte = 0;
  EXPECT_FALSE(recorder.TryEnqueue(&byte, 0, kWidth, kHeight, 5, 1, nullptr, nullptr, 0));
  EXPECT_EQ(recorder.GetStatus().framesDropped, 1u);

  script->Hold(false);
  EXPECT_EQ(recorder.Stop(), 0);
  ASSERT_EQ(script->encoded.size(), 8u);
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(script->encoded[i].firstByte, i);
  }
  const auto status = recorder.GetStatus();
  EXPECT_EQ(status.framesWritten, 8u);
  EXPECT_EQ(status.framesDropped, 1u);
  EXPECT_FALSE(status.recording);
  EXPECT_FALSE(Push(recorder, 1, 0));  // stopped
}

TEST(VideoRecorder, EncodeFailureEndsTheRecordingButStillFinalizes) {
  for (bool throws : {false, true}) {
    auto script = std::make_shared<Script>();
    script->failEncodeAt = 1;
    script->throwOnEncode = throws;
    VideoRecorder recorder(TestPlatform(script));
    ASSERT_EQ(StartDefault(recorder), 0);
    script->Hold(true);
    for (uint8_t id = 0; id < 5; ++id) {
      ASSERT_TRUE(Push(recorder, id, 0));
    }
    script->Hold(false);
    // The second encode fails: the rest of the queue is not encoded, the file is finalized.
    ASSERT_TRUE(script->WaitFor([&] { return script->finalizeCalls == 1; }));
    EXPECT_TRUE(PollUntil([&] { return !recorder.GetStatus().recording; }));
    EXPECT_FALSE(recorder.IsRecording());
    EXPECT_FALSE(Push(recorder, 9, 0));
    EXPECT_EQ(recorder.Stop(), 0);
    const auto status = recorder.GetStatus();
    EXPECT_EQ(status.error, throws ? "The video encoder failed: boom" : "encoder broke");
    EXPECT_EQ(status.framesWritten, 1u);
    EXPECT_EQ(script->encodeCalls, 2);
    EXPECT_EQ(script->destroyed, 1);
  }
}

TEST(VideoRecorder, FinalizeFailureIsReportedByStopUntilTheNextStart) {
  auto script = std::make_shared<Script>();
  script->finalizeResult = "Finalizing the MP4 file failed: I/O error";
  VideoRecorder recorder(TestPlatform(script));
  ASSERT_EQ(StartDefault(recorder), 0);
  ASSERT_TRUE(Push(recorder, 1, 0));
  EXPECT_EQ(recorder.Stop(), -3);
  EXPECT_EQ(recorder.Stop(), -3);
  auto status = recorder.GetStatus();
  EXPECT_EQ(status.error, "Finalizing the MP4 file failed: I/O error");
  EXPECT_EQ(status.framesWritten, 1u);

  // An earlier error stays the recording's error; Stop still reports the finalize failure.
  script->failEncodeAt = script->encodeCalls;  // the next encode (the worker has been joined)
  ASSERT_EQ(StartDefault(recorder), 0);
  EXPECT_EQ(recorder.GetStatus().error, "");
  ASSERT_TRUE(Push(recorder, 2, 0));
  EXPECT_EQ(recorder.Stop(), -3);
  EXPECT_EQ(recorder.GetStatus().error, "encoder broke");

  script->finalizeResult.clear();
  ASSERT_EQ(StartDefault(recorder), 0);
  EXPECT_EQ(recorder.Stop(), 0);
  EXPECT_EQ(recorder.GetStatus().error, "");
}

TEST(VideoRecorder, StatusFollowsTheBackendsEncoderDuringARecording) {
  auto script = std::make_shared<Script>();
  VideoRecorder recorder(TestPlatform(script));
  auto status = recorder.GetStatus();
  EXPECT_EQ(status.encoderAcceleration, "unknown");
  EXPECT_EQ(status.conversionBackend, "cpu");
  ASSERT_EQ(StartDefault(recorder), 0);
  EXPECT_EQ(recorder.GetStatus().encoderName, "test-encoder");
  {
    std::lock_guard<std::mutex> lock(script->mutex);
    script->encoderName = "libx264";
  }
  ASSERT_TRUE(Push(recorder, 1, 0));
  ASSERT_TRUE(Push(recorder, 2, 0));
  ASSERT_TRUE(script->WaitFor([&] { return !script->encoded.empty(); }));
  EXPECT_TRUE(PollUntil([&] { return recorder.GetStatus().encoderName == "libx264"; }));
  EXPECT_EQ(recorder.Stop(), 0);
  // The last recording's descriptors stay visible after it ends.
  EXPECT_EQ(recorder.GetStatus().encoderName, "libx264");
}

TEST(VideoRecorder, SteadyStateReusesPooledBuffers) {
  if (!testing_support::AllocationCountingAvailable()) {
    GTEST_SKIP() << "the sanitizers replace operator new";
  }
  auto script = std::make_shared<Script>();
  {
    std::lock_guard<std::mutex> lock(script->mutex);
    script->encoded.reserve(1000);
    script->dataSizes.reserve(1000);
  }
  VideoRecorder recorder(TestPlatform(script));
  ASSERT_EQ(StartDefault(recorder), 0);
  std::vector<uint8_t> pixels(kFrameBytes, 7);
  auto enqueue = [&] {
    return recorder.TryEnqueue(pixels.data(), pixels.size(), kWidth, kHeight, 5, 1, nullptr,
                               nullptr, 0);
  };
  // Warm-up: the most buffers a recording ever holds at once, a full queue plus the frame being
  // encoded and the one held back, all go back to the pool afterwards.
  script->Hold(true);
  ASSERT_TRUE(enqueue());
  ASSERT_TRUE(enqueue());
  ASSERT_TRUE(script->WaitFor([&] { return script->inEncode; }));
  for (size_t i = 0; i < VideoRecorder::kQueueCapacity; ++i) {
    ASSERT_TRUE(enqueue());
  }
  script->Hold(false);
  int pushed = 2 + static_cast<int>(VideoRecorder::kQueueCapacity);
  ASSERT_TRUE(script->WaitFor([&] { return script->encodeCalls == pushed - 1; }));

  testing_support::StartCountingAllocations(kFrameBytes);
  for (int i = 0; i < 200; ++i, ++pushed) {
    // Keep at most three frames ahead of the encoder so that nothing is dropped.
    ASSERT_TRUE(script->WaitFor([&] { return script->encodeCalls + 3 >= pushed; }));
    ASSERT_TRUE(enqueue());
  }
  const size_t allocations = testing_support::CountedAllocations();
  testing_support::StartCountingAllocations(0);
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(recorder.Stop(), 0);
  EXPECT_EQ(recorder.GetStatus().framesDropped, 0u);
  EXPECT_EQ(recorder.GetStatus().framesWritten, 208u);
}

// Producers on several threads, a status reader and repeated recordings: the ThreadSanitizer
// run checks the locking; every accepted frame is encoded once, with increasing times.
TEST(VideoRecorder, ConcurrentProducersAndRestarts) {
  auto script = std::make_shared<Script>();
  VideoRecorder recorder(TestPlatform(script));
  std::atomic<bool> done{false};
  std::atomic<uint64_t> accepted{0};
  std::vector<std::thread> threads;
  for (int p = 0; p < 3; ++p) {
    threads.emplace_back([&, p] {
      std::vector<uint8_t> pixels(kFrameBytes, static_cast<uint8_t>(p));
      int64_t timestamp = 1000000 * (p + 1);
      while (!done) {
        timestamp += 997;
        if (recorder.TryEnqueue(pixels.data(), pixels.size(), kWidth, kHeight, 5, 1, nullptr,
                                nullptr, timestamp)) {
          ++accepted;
        }
        std::this_thread::yield();
      }
    });
  }
  threads.emplace_back([&] {
    while (!done) {
      const auto status = recorder.GetStatus();
      if (status.recording) {
        EXPECT_EQ(status.error, "");
      }
      recorder.IsRecording();
      std::this_thread::yield();
    }
  });
  uint64_t written = 0;
  size_t encodedBefore = 0;
  for (int round = 0; round < 4; ++round) {
    ASSERT_EQ(StartDefault(recorder), 0);
    std::this_thread::sleep_for(30ms);
    ASSERT_EQ(recorder.Stop(), 0);
    written += recorder.GetStatus().framesWritten;
    std::lock_guard<std::mutex> lock(script->mutex);
    for (size_t i = encodedBefore + 1; i < script->encoded.size(); ++i) {
      EXPECT_GT(script->encoded[i].pts, script->encoded[i - 1].pts);
    }
    encodedBefore = script->encoded.size();
  }
  done = true;
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(written, accepted.load());
  EXPECT_EQ(written, script->encoded.size());
  EXPECT_GT(written, 0u);
}

// Two controlling threads (two script threads, or an exit handler and a script thread) starting
// and stopping at once: every recording is started, finalized and joined exactly once.
TEST(VideoRecorder, ControllersOnSeveralThreadsTakeTurns) {
  auto script = std::make_shared<Script>();
  script->startDelay = 2ms;
  VideoRecorder recorder(TestPlatform(script));
  std::atomic<int> started{0};
  std::vector<std::thread> controllers;
  for (int c = 0; c < 3; ++c) {
    controllers.emplace_back([&] {
      for (int round = 0; round < 20; ++round) {
        if (StartDefault(recorder) == 0) {
          ++started;
        }
        Push(recorder, 1, 0);
        EXPECT_EQ(recorder.Stop(), 0);
      }
    });
  }
  for (auto& thread : controllers) {
    thread.join();
  }
  EXPECT_EQ(recorder.Stop(), 0);
  EXPECT_EQ(started.load(), 60);
  std::lock_guard<std::mutex> lock(script->mutex);
  EXPECT_EQ(script->finalizeCalls, 60);
  EXPECT_EQ(script->destroyed, 60);
}

// The frames' source fails (a camera unplugged): what was queued is still encoded, the file is
// finalized normally, and the status carries the source's error.
TEST(VideoRecorder, EndWithErrorFinalizesWhatWasRecorded) {
  auto script = std::make_shared<Script>();
  VideoRecorder recorder(TestPlatform(script));
  recorder.EndWithError("ignored while idle");
  EXPECT_EQ(recorder.GetStatus().error, "");
  ASSERT_EQ(StartDefault(recorder), 0);
  script->Hold(true);
  ASSERT_TRUE(Push(recorder, 1, 10000000));
  ASSERT_TRUE(Push(recorder, 2, 10333333));
  // Frame 1 is encoded once frame 2 has arrived; the encoder holds it there.
  ASSERT_TRUE(script->WaitFor([&] { return script->inEncode; }));
  ASSERT_TRUE(Push(recorder, 3, 10666666));
  ASSERT_TRUE(Push(recorder, 4, 10999999));
  recorder.EndWithError("The camera stopped delivering frames (capture result -12)");
  EXPECT_FALSE(recorder.IsRecording());
  EXPECT_FALSE(Push(recorder, 5, 20000000)) << "refused once the source has failed";
  script->Hold(false);
  ASSERT_TRUE(PollUntil([&] { return !recorder.GetStatus().recording; }));
  const auto status = recorder.GetStatus();
  EXPECT_EQ(status.error, "The camera stopped delivering frames (capture result -12)");
  EXPECT_EQ(status.framesWritten, 4u);
  EXPECT_EQ(recorder.Stop(), 0) << "the file itself was finalized";
  std::lock_guard<std::mutex> lock(script->mutex);
  EXPECT_EQ(script->finalizeCalls, 1);
  ASSERT_EQ(script->encoded.size(), 4u);
  EXPECT_EQ(script->encoded[3].firstByte, 4);
}

}  // namespace
}  // namespace zentri_native
