#include "recording/linux_backend.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "encoder_test_support.h"

namespace zentri_native {
namespace {

using testing_support::MakeRgbaFrame;
using testing_support::ProbePacketDurations;
using testing_support::ProbeStream;
using testing_support::TempPath;

constexpr int64_t kThirtyFps = 333333;

// Sets ZENTRI_FFMPEG_ENCODER for one test and restores the previous value.
class ScopedEncoder {
 public:
  explicit ScopedEncoder(const char* value) {
    if (const char* old = std::getenv("ZENTRI_FFMPEG_ENCODER")) {
      saved_ = old;
      hadValue_ = true;
    }
    if (value != nullptr) {
      setenv("ZENTRI_FFMPEG_ENCODER", value, 1);
    } else {
      unsetenv("ZENTRI_FFMPEG_ENCODER");
    }
  }
  ~ScopedEncoder() {
    if (hadValue_) {
      setenv("ZENTRI_FFMPEG_ENCODER", saved_.c_str(), 1);
    } else {
      unsetenv("ZENTRI_FFMPEG_ENCODER");
    }
  }

 private:
  std::string saved_;
  bool hadValue_ = false;
};

std::string RecordInProcess(const std::string& name, int width, int height, int frames) {
  const std::string path = TempPath(name);
  auto backend = CreateLinuxBackend(true);
  EXPECT_EQ(backend->Start(path, width, height, 30, 2000000), "");
  EXPECT_EQ(backend->EncoderName(), "libx264");
  EXPECT_EQ(backend->EncoderAcceleration(), "software");
  for (int i = 0; i < frames; ++i) {
    EXPECT_EQ(backend->EncodeFrame(MakeRgbaFrame(width, height, i), i * kThirtyFps, kThirtyFps),
              "");
  }
  EXPECT_EQ(backend->Finalize(), "");
  EXPECT_EQ(backend->Finalize(), "") << "a second finalize has nothing left to do";
  return path;
}

TEST(LinuxBackend, AvailableWithTheSystemFfmpeg) {
  EXPECT_TRUE(LinuxVideoRecordingAvailable());
}

TEST(LinuxBackend, StandardDefinitionIsTaggedBt601WithExactDurations) {
  ScopedEncoder automatic("libx264");
  const std::string path = RecordInProcess("sd.mp4", 640, 480, 10);
  const std::string stream = ProbeStream(path);
  for (const char* expected :
       {"codec_name=h264", "profile=High", "pix_fmt=yuv420p", "color_range=tv",
        "color_space=smpte170m", "color_transfer=smpte170m", "color_primaries=smpte170m",
        "width=640", "height=480", "nb_read_packets=10"}) {
    EXPECT_NE(stream.find(std::string(expected) + "\n"), std::string::npos) << expected << " in\n"
                                                                            << stream;
  }
  const auto durations = ProbePacketDurations(path);
  ASSERT_EQ(durations.size(), 10u);
  for (long duration : durations) {
    EXPECT_EQ(duration, 3000) << "1/30 s at 1/90000";
  }
  unlink(path.c_str());
}

TEST(LinuxBackend, HighDefinitionIsTaggedBt709) {
  ScopedEncoder automatic("libx264");
  const std::string path = RecordInProcess("hd.mp4", 1280, 720, 3);
  const std::string stream = ProbeStream(path);
  for (const char* expected : {"color_space=bt709", "color_transfer=bt709", "color_primaries=bt709",
                               "color_range=tv", "nb_read_packets=3"}) {
    EXPECT_NE(stream.find(std::string(expected) + "\n"), std::string::npos) << expected << " in\n"
                                                                            << stream;
  }
  unlink(path.c_str());
}

TEST(LinuxBackend, TimestampsThatCollapseAreRefused) {
  ScopedEncoder forced("libx264");
  const std::string path = TempPath("collapse.mp4");
  auto backend = CreateLinuxBackend(true);
  ASSERT_EQ(backend->Start(path, 64, 48, 30, 1000000), "");
  EXPECT_EQ(backend->EncodeFrame(MakeRgbaFrame(64, 48, 0), 1000, kThirtyFps), "");
  // 1000 and 1050 ticks both land on tick 9 of 1/90000.
  EXPECT_EQ(backend->EncodeFrame(MakeRgbaFrame(64, 48, 1), 1050, kThirtyFps),
            "Capture timestamps collapsed in the encoder time base");
  VideoRecorder::Frame odd = MakeRgbaFrame(64, 48, 2);
  odd.format = 0;  // packed RGB cannot be recorded
  EXPECT_EQ(backend->EncodeFrame(odd, 2 * kThirtyFps, kThirtyFps),
            "Unsupported or invalid camera frame format");
  EXPECT_EQ(backend->Finalize(), "");
  unlink(path.c_str());
}

TEST(LinuxBackend, ForcedEncoderNamesAreReportedWhenUnusable) {
  {
    ScopedEncoder forced("no_such_encoder");
    auto backend = CreateLinuxBackend(true);
    EXPECT_EQ(backend->Start(TempPath("none.mp4"), 64, 48, 30, 1000000),
              "No usable FFmpeg H.264 encoder was found");
  }
  {
    // Debian's FFmpeg has NVENC built in, but this machine has no NVIDIA GPU.
    ScopedEncoder forced("h264_nvenc");
    auto backend = CreateLinuxBackend(true);
    const std::string message = backend->Start(TempPath("nvenc.mp4"), 64, 48, 30, 1000000);
    const std::string prefix =
        "No usable FFmpeg H.264 encoder was found (h264_nvenc: Opening the H.264 encoder failed: ";
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
    EXPECT_EQ(message.back(), ')') << message;
    EXPECT_EQ(message.find(';'), std::string::npos) << "only the forced encoder is tried";
  }
}

TEST(LinuxBackend, UnwritableOutputFailsAtOpening) {
  ScopedEncoder forced("libx264");
  auto backend = CreateLinuxBackend(true);
  const std::string message = backend->Start("/nonexistent-dir/x.mp4", 64, 48, 30, 1000000);
  EXPECT_EQ(message.rfind("Opening the MP4 output failed: ", 0), 0u) << message;
  EXPECT_EQ(backend->EncodeFrame(MakeRgbaFrame(64, 48, 0), 0, kThirtyFps),
            "The FFmpeg recording session is not running");
}

}  // namespace
}  // namespace zentri_native
