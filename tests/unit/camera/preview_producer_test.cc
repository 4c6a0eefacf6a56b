#include "camera/preview_producer.h"

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "recording/video_recorder.h"

namespace zentri_native {
namespace {

using namespace std::chrono_literals;

const std::string kPatternCamera = std::string(ZENTRI_TEST_LIB_DIR) + "/pattern_camera.so";
// Generous: the sanitized builds run on busy machines.
constexpr auto kWaitLimit = 60s;

// The pattern camera, loaded once, with its steering functions.
struct PatternCamera {
  CameraBinding binding;
  void (*configure)(int, int) = nullptr;
  void (*failGrabs)(int, int) = nullptr;
  void (*setFirstFrame)(int) = nullptr;
  unsigned (*grabs)() = nullptr;
  void (*reset)() = nullptr;

  static PatternCamera& Get() {
    static PatternCamera* camera = [] {
      auto* c = new PatternCamera;
      if (!c->binding.Load(kPatternCamera)) {
        return c;
      }
      void* handle = dlopen(kPatternCamera.c_str(), RTLD_NOW | RTLD_NOLOAD);
      c->configure =
          reinterpret_cast<void (*)(int, int)>(dlsym(handle, "pattern_camera_configure"));
      c->failGrabs =
          reinterpret_cast<void (*)(int, int)>(dlsym(handle, "pattern_camera_fail_grabs"));
      c->setFirstFrame =
          reinterpret_cast<void (*)(int)>(dlsym(handle, "pattern_camera_set_first_frame"));
      c->grabs = reinterpret_cast<unsigned (*)()>(dlsym(handle, "pattern_camera_grabs"));
      c->reset = reinterpret_cast<void (*)()>(dlsym(handle, "pattern_camera_reset"));
      return c;
    }();
    return *camera;
  }
};

class PreviewProducerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(camera_.binding.loaded());
    ASSERT_NE(camera_.reset, nullptr);
    camera_.reset();
  }
  PatternCamera& camera_ = PatternCamera::Get();
};

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

// Checks one RGBA preview of the pattern: every pixel must belong to frame n, decimated by step.
// Returns the number of wrong pixels.
int WrongPixels(const uint8_t* rgba, int width, int height, int sourceWidth, int sourceHeight,
                int step, uint64_t n) {
  const int band = std::max(1, sourceHeight / 8);
  int wrong = 0;
  for (int y = 0; y < height; ++y) {
    const int sy = std::min(y * step, sourceHeight - 1);
    for (int x = 0; x < width; ++x) {
      const int sx = std::min(x * step, sourceWidth - 1);
      const uint8_t* p = rgba + (static_cast<size_t>(y) * width + x) * 4;
      uint8_t r, g, b;
      if (sy < band) {
        r = static_cast<uint8_t>(n);
        g = static_cast<uint8_t>(n >> 8);
        b = static_cast<uint8_t>(n >> 16);
      } else {
        r = static_cast<uint8_t>(sx + 4 * n);
        g = static_cast<uint8_t>(sy + 2 * n);
        b = static_cast<uint8_t>(sx + sy + n);
      }
      wrong += p[0] != r || p[1] != g || p[2] != b || p[3] != 255;
    }
  }
  return wrong;
}

// Latest frame into a vector; result code of the call.
int Fetch(CameraPreviewProducer& producer, int device, uint64_t lastSequence,
          std::vector<uint8_t>* pixels, CameraPreviewProducer::Latest* latest) {
  *latest = producer.GetLatest(device, lastSequence, [&](size_t size) {
    pixels->resize(size);
    return pixels->data();
  });
  return latest->result;
}

size_t ThreadCount() {
  size_t count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) {
      count += entry->d_name[0] != '.';
    }
    closedir(dir);
  }
  return count;
}

TEST_F(PreviewProducerTest, FrameIntervalFollowsTheRequestedRate) {
  EXPECT_EQ(CameraPreviewProducer::FrameIntervalForFps(0), 1000000000);
  EXPECT_EQ(CameraPreviewProducer::FrameIntervalForFps(-30), 1000000000);
  EXPECT_EQ(CameraPreviewProducer::FrameIntervalForFps(30), 33333333);
  EXPECT_EQ(CameraPreviewProducer::FrameIntervalForFps(120), 8333333);
  EXPECT_EQ(CameraPreviewProducer::FrameIntervalForFps(121), 8333333);
  EXPECT_EQ(CameraPreviewProducer::FrameIntervalForFps(INT_MAX), 8333333);
}

// A reader hammers GetLatest while the producer publishes as fast as it can: every copied frame
// must be whole (all its pixels from the frame whose number the top band shows) and be the
// frame the sequence names; sequences only grow. Run under ThreadSanitizer too.
TEST_F(PreviewProducerTest, SlotHandshakeNeverHandsOutATornFrame) {
  camera_.configure(192, 64);
  CameraPreviewProducer producer(camera_.binding, nullptr);
  ASSERT_EQ(producer.Start(0, 1000, 1000, 0), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> copies{0};
  int torn = 0;
  int mismatched = 0;
  int backwards = 0;
  int unchangedButCopied = 0;
  std::thread reader([&] {
    std::vector<uint8_t> pixels;
    CameraPreviewProducer::Latest latest;
    uint64_t last = 0;
    while (!stop.load()) {
      if (Fetch(producer, 0, last, &pixels, &latest) != 0) {
        continue;
      }
      ++copies;
      const CameraPreviewProducer::PreviewMeta& meta = latest.meta;
      const uint64_t n = pixels[0] | (pixels[1] << 8) | (pixels[2] << 16);
      mismatched += n != meta.sequence;
      backwards += meta.sequence <= last;
      torn += WrongPixels(pixels.data(), meta.width, meta.height, 192, 64, 1, meta.sequence) != 0;
      last = meta.sequence;
      // Asking again with the sequence just received copies nothing until a newer frame exists.
      bool called = false;
      const auto again = producer.GetLatest(0, last, [&](size_t size) {
        called = true;
        pixels.resize(size);
        return pixels.data();
      });
      unchangedButCopied += again.result == 0 && (!called || again.meta.sequence <= last);
      if (again.result == 0) {
        last = again.meta.sequence;
      }
    }
  });
  // The reader may be starved on a busy machine: run until it has checked enough frames too.
  ASSERT_TRUE(PollUntil([&] {
    return producer.GetStatistics().producedFrames >= 3000 && copies.load() > 50;
  })) << producer.GetStatistics().producedFrames
      << " produced, " << copies.load() << " copied";
  stop = true;
  reader.join();
  producer.Stop();
  EXPECT_GT(copies.load(), 50);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(mismatched, 0);
  EXPECT_EQ(backwards, 0);
  EXPECT_EQ(unchangedButCopied, 0);
}

// A preview started before the library is loaded answers "not loaded", and shows the camera's
// frames once a script thread loads the library under it; ThreadSanitizer checks that the load
// publishes the binding safely to the running producer.
TEST_F(PreviewProducerTest, PreviewStartedBeforeTheLoadShowsFramesAfterIt) {
  camera_.configure(64, 48);
  CameraBinding binding;
  CameraPreviewProducer producer(binding, nullptr);
  ASSERT_EQ(producer.Start(0, 64, 48, 1000000), 0);
  ASSERT_TRUE(PollUntil([&] { return producer.GetStatistics().lastResult == kCameraNotLoaded; }));
  ASSERT_TRUE(binding.Load(kPatternCamera));
  std::vector<uint8_t> pixels;
  CameraPreviewProducer::Latest latest;
  ASSERT_TRUE(PollUntil([&] { return Fetch(producer, 0, 0, &pixels, &latest) == 0; }))
      << "last result " << producer.GetStatistics().lastResult;
  EXPECT_EQ(latest.meta.width, 64);
  EXPECT_EQ(WrongPixels(pixels.data(), 64, 48, 64, 48, 1, latest.meta.sequence), 0);
  EXPECT_EQ(producer.GetStatistics().lastResult, kCameraResultOk);
  producer.Stop();
}

// Test backend: keeps the frame number and layout of every frame the recorder encodes.
struct Encoded {
  uint64_t number;
  VideoRecorder::Frame layout;
  size_t bytes;
};

class RecordingBackend : public VideoRecorder::Backend {
 public:
  RecordingBackend(std::mutex* mutex, std::vector<Encoded>* frames)
      : mutex_(mutex), frames_(frames) {}
  std::string Start(const std::string&, int32_t, int32_t, int32_t, int32_t) override { return ""; }
  std::string EncodeFrame(const VideoRecorder::Frame& frame, int64_t, int64_t) override {
    Encoded encoded;
    encoded.number = frame.data[0] | (frame.data[1] << 8) | (frame.data[2] << 16);
    encoded.layout.width = frame.width;
    encoded.layout.height = frame.height;
    encoded.layout.format = frame.format;
    encoded.layout.planeCount = frame.planeCount;
    encoded.layout.offsets = frame.offsets;
    encoded.layout.strides = frame.strides;
    encoded.layout.timestamp = frame.timestamp;
    encoded.bytes = frame.data.size();
    std::lock_guard<std::mutex> lock(*mutex_);
    frames_->push_back(encoded);
    return "";
  }
  std::string Finalize() override { return ""; }

 private:
  std::mutex* mutex_;
  std::vector<Encoded>* frames_;
};

TEST_F(PreviewProducerTest, EveryPreviewFrameIsOfferedToTheRecorder) {
  camera_.configure(320, 240);
  std::mutex mutex;
  std::vector<Encoded> frames;
  VideoRecorder::Platform platform;
  platform.available = [] { return true; };
  platform.createBackend = [&]() -> std::unique_ptr<VideoRecorder::Backend> {
    return std::make_unique<RecordingBackend>(&mutex, &frames);
  };
  VideoRecorder recorder(platform);
  // 320 x 240 under 160 x 120: step 2, 160 x 120 RGBA frames.
  ASSERT_EQ(recorder.Start("/tmp/unused.mp4", 160, 120, 120, 1000000), 0);
  CameraPreviewProducer producer(camera_.binding, &recorder);
  ASSERT_EQ(producer.Start(0, 160, 120, 2000000), 0);
  ASSERT_TRUE(PollUntil([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return frames.size() >= 60;
  }));
  producer.Stop();
  const unsigned grabs = camera_.grabs();
  ASSERT_EQ(recorder.Stop(), 0);
  const VideoRecorder::Status status = recorder.GetStatus();

  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(frames.size(), status.framesWritten);
  // Frame numbers are the grab count: numbers missing from the recording must have been counted
  // as drops by the recorder (a full queue), never lost on the way.
  EXPECT_EQ(frames.front().number, 1u);
  uint64_t missing = 0;
  for (size_t i = 1; i < frames.size(); ++i) {
    ASSERT_GT(frames[i].number, frames[i - 1].number);
    missing += frames[i].number - frames[i - 1].number - 1;
    EXPECT_GT(frames[i].layout.timestamp, frames[i - 1].layout.timestamp);
  }
  EXPECT_LE(missing, status.framesDropped);
  // At most the grab that the stop cut short was not offered.
  EXPECT_GE(frames.back().number + status.framesDropped + 1, grabs);
  for (const Encoded& frame : frames) {
    EXPECT_EQ(frame.layout.width, 160);
    EXPECT_EQ(frame.layout.height, 120);
    EXPECT_EQ(frame.layout.format, 5);
    EXPECT_EQ(frame.layout.planeCount, 1);
    EXPECT_EQ(frame.layout.strides[0], 640);
    EXPECT_EQ(frame.layout.offsets[0], 0);
    EXPECT_EQ(frame.bytes, 160u * 120 * 4);
  }
}

TEST_F(PreviewProducerTest, GeometryIsProbedAgainAfterGrabFailures) {
  CameraPreviewProducer producer(camera_.binding, nullptr);
  std::vector<uint8_t> pixels;
  CameraPreviewProducer::Latest latest;
  // Before the first frame: only the first-frame query runs, errors are counted.
  camera_.setFirstFrame(-12);
  ASSERT_EQ(producer.Start(0, 1000, 1000, 1000000), 0);
  EXPECT_EQ(Fetch(producer, 0, 0, &pixels, &latest), kCameraResultNo);
  ASSERT_TRUE(PollUntil([&] { return producer.GetStatistics().lastResult == -12; }));
  EXPECT_EQ(camera_.grabs(), 0u);
  camera_.setFirstFrame(0);
  auto waitForWidth = [&](int width) {
    return PollUntil(
        [&] { return Fetch(producer, 0, 0, &pixels, &latest) == 0 && latest.meta.width == width; });
  };
  ASSERT_TRUE(waitForWidth(320));
  EXPECT_EQ(latest.meta.sourceBytesPerRow, 960);
  EXPECT_EQ(WrongPixels(pixels.data(), 320, 240, 320, 240, 1, latest.meta.sequence), 0);

  // A frame of a new size that the library lends before the geometry is probed again is
  // dropped, so from here the camera's frame numbers run ahead of the sequence: the number is
  // read from the frame's band, and every pixel must belong to that frame.
  auto frameNumber = [&] { return uint64_t{pixels[0]} | uint64_t{pixels[1]} << 8; };
  // The frame grows: the grab reports a too-small buffer (-11), or the lent frame is not of the
  // probed size, and the geometry is probed again.
  camera_.configure(640, 480);
  ASSERT_TRUE(waitForWidth(640));
  EXPECT_EQ(WrongPixels(pixels.data(), 640, 480, 640, 480, 1, frameNumber()), 0);
  // It shrinks: -7 (buffer larger than the frame, or a lent frame of another size), probed again.
  camera_.configure(200, 100);
  ASSERT_TRUE(waitForWidth(200));
  EXPECT_EQ(latest.meta.dataSize, 200 * 100 * 4);
  EXPECT_EQ(WrongPixels(pixels.data(), 200, 100, 200, 100, 1, frameNumber()), 0);
  const int droppedBefore = producer.GetStatistics().droppedFrames;
  EXPECT_GE(droppedBefore, 2);

  // No usable geometry: -10 with no frames until it comes back.
  camera_.configure(0, 100);
  ASSERT_TRUE(PollUntil([&] { return producer.GetStatistics().lastResult == -10; }));
  camera_.configure(100, 50);
  ASSERT_TRUE(waitForWidth(100));
  // Other failures are counted and shown, and the producer keeps going.
  const int droppedBeforeFailures = producer.GetStatistics().droppedFrames;
  camera_.failGrabs(3, -12);
  ASSERT_TRUE(PollUntil(
      [&] { return producer.GetStatistics().droppedFrames >= droppedBeforeFailures + 3; }));
  const uint64_t sequence = latest.meta.sequence;
  ASSERT_TRUE(PollUntil([&] {
    return Fetch(producer, 0, sequence, &pixels, &latest) == 0 && latest.statistics.lastResult == 0;
  }));

  // The quality frame is the whole source frame, packed RGB.
  uint64_t qualitySequence = 0;
  int qualityWidth = 0;
  bool qualityMatches = false;
  EXPECT_TRUE(producer.GetQualityFrame(
      0, 0,
      [&](const CameraPreviewProducer::QualityFrameView& frame) {
        qualityWidth = frame.width;
        const uint64_t n = frame.data[0] | (frame.data[1] << 8) | (frame.data[2] << 16);
        // The last row lies below the band: ((x + 4n), (y + 2n), (x + y + n)), here at x = 7.
        const int y = frame.height - 1;
        const uint8_t* p = frame.data + int64_t{y} * frame.bytesPerRow + 7 * 3;
        qualityMatches = frame.bytesPerRow == frame.width * 3 && !frame.fourBytesPerPixel &&
                         frame.dataSize == frame.bytesPerRow * frame.height &&
                         p[0] == static_cast<uint8_t>(7 + 4 * n) &&
                         p[1] == static_cast<uint8_t>(y + 2 * n) &&
                         p[2] == static_cast<uint8_t>(7 + y + n);
      },
      &qualitySequence));
  // Refreshed at most every 500 ms: it may still show an earlier geometry, but always whole.
  EXPECT_TRUE(qualityWidth == 320 || qualityWidth == 640 || qualityWidth == 200 ||
              qualityWidth == 100)
      << qualityWidth;
  EXPECT_TRUE(qualityMatches);
  EXPECT_FALSE(producer.GetQualityFrame(
      0, qualitySequence, [](const CameraPreviewProducer::QualityFrameView&) {}, &qualitySequence));
  EXPECT_FALSE(producer.GetQualityFrame(
      1, 0, [](const CameraPreviewProducer::QualityFrameView&) {}, &qualitySequence));
  producer.Stop();
}

TEST_F(PreviewProducerTest, StopAnswersAndUnallocatableSlots) {
  CameraPreviewProducer producer(camera_.binding, nullptr);
  std::vector<uint8_t> pixels;
  CameraPreviewProducer::Latest latest;
  EXPECT_EQ(Fetch(producer, 0, 0, &pixels, &latest), kPreviewNoPreview);
  EXPECT_EQ(latest.statistics.lastResult, kPreviewStopped);

  ASSERT_EQ(producer.Start(0, 160, 120, 1000000), 0);
  ASSERT_TRUE(PollUntil([&] { return Fetch(producer, 0, 0, &pixels, &latest) == 0; }));
  EXPECT_EQ(Fetch(producer, 1, 0, &pixels, &latest), kPreviewNoPreview);
  // Slots that cannot exist: refused, and the running preview goes on untouched.
  EXPECT_EQ(producer.Start(1, INT_MAX, INT_MAX, 1000000), kCameraSizeInvalid);
  EXPECT_TRUE(producer.IsRunning());
  EXPECT_EQ(producer.DeviceIndex(), 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // 4 TiB per slot: representable, but no allocator hands it out. (The sanitizers' allocators
  // abort on such a request instead of failing it.)
  EXPECT_EQ(producer.Start(1, 1 << 20, 1 << 20, 1000000), kCameraSizeInvalid);
  EXPECT_TRUE(producer.IsRunning());
#endif
  const uint64_t sequence = latest.meta.sequence;
  ASSERT_TRUE(PollUntil([&] { return Fetch(producer, 0, sequence, &pixels, &latest) == 0; }));

  // A destination that throws releases the slot: the producer keeps publishing into all three.
  EXPECT_THROW(producer.GetLatest(0, 0, [](size_t) -> uint8_t* { throw std::runtime_error("x"); }),
               std::runtime_error);
  const uint64_t after = producer.GetStatistics().producedSequence;
  ASSERT_TRUE(PollUntil([&] { return producer.GetStatistics().producedSequence >= after + 5; }));

  camera_.failGrabs(1000000, -12);
  ASSERT_TRUE(PollUntil([&] { return producer.GetStatistics().droppedFrames > 0; }));
  producer.Stop();
  EXPECT_FALSE(producer.IsRunning());
  EXPECT_EQ(Fetch(producer, 0, 0, &pixels, &latest), kPreviewNoPreview);
  EXPECT_EQ(latest.statistics.lastResult, kPreviewStopped);
  EXPECT_GT(latest.statistics.droppedFrames, 0) << "dropped frames keep their value";
  EXPECT_EQ(latest.statistics.producedFrames, 0u);
}

TEST_F(PreviewProducerTest, QuickStartStopAndRestartLeaveNoThreadBehind) {
  const size_t threadsBefore = ThreadCount();
  {
    CameraPreviewProducer producer(camera_.binding, nullptr);
    for (int i = 0; i < 60; ++i) {
      ASSERT_EQ(producer.Start(i % 3, 64 + i, 48, i % 2 == 0 ? 0 : 1000000000), 0);
      if (i % 4 == 0) {
        std::this_thread::sleep_for(1ms);
      }
      if (i % 3 == 0) {
        producer.Stop();
        EXPECT_FALSE(producer.IsRunning());
      }
    }
    // A producer waiting for a one-second tick is woken by the stop, not waited for.
    ASSERT_EQ(producer.Start(0, 64, 48, 1000000000), 0);
    ASSERT_TRUE(PollUntil([&] { return producer.GetStatistics().producedFrames >= 1; }));
    const auto before = std::chrono::steady_clock::now();
    producer.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 900ms);
    // Left running: the destructor stops and joins it.
    ASSERT_EQ(producer.Start(0, 64, 48, 1000000), 0);
  }
  // A joined thread can still be listed for a moment (the kernel wakes the joiner before it
  // removes the task entry), so give the count time to settle.
  EXPECT_TRUE(PollUntil([&] { return ThreadCount() == threadsBefore; })) << ThreadCount();
}

}  // namespace
}  // namespace zentri_native
