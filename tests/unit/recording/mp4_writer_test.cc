// The recording file: playable while it grows (whole fragments), still playable after a kill or a
// failed finish, and the regular index-first MP4 after a normal one.
#include "recording/mp4_writer.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "encoder_test_support.h"
#include "recording/encoder_protocol.h"
#include "recording/linux_backend.h"

namespace zentri_native {
namespace {

using testing_support::MakeRgbaFrame;
using testing_support::ProbePacketDurations;
using testing_support::ProbeStream;
using testing_support::RunCommand;
using testing_support::SpawnedWorker;
using testing_support::SpawnWorker;
using testing_support::TempPath;
using testing_support::WaitExitStatus;

constexpr int64_t kThirtyFps = 333333;

// The top-level MP4 boxes of a file, in order.
std::vector<std::string> TopLevelBoxes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
  std::vector<std::string> boxes;
  uint64_t offset = 0;
  while (offset + 8 <= data.size()) {
    uint64_t size = (uint64_t{data[offset]} << 24) | (uint64_t{data[offset + 1]} << 16) |
                    (uint64_t{data[offset + 2]} << 8) | data[offset + 3];
    if (size == 1 && offset + 16 <= data.size()) {
      size = 0;
      for (int i = 0; i < 8; ++i) {
        size = (size << 8) | data[offset + 8 + i];
      }
    } else if (size == 0) {
      size = data.size() - offset;
    }
    if (size < 8) {
      break;
    }
    boxes.emplace_back(reinterpret_cast<const char*>(&data[offset + 4]), 4);
    offset += size;
  }
  return boxes;
}

// ffmpeg's complaints when it decodes the whole file; empty when there are none.
std::string DecodeErrors(const std::string& path) {
  return RunCommand("ffmpeg -v error -i '" + path +
                    "' -fps_mode passthrough -enc_time_base -1 -f null - 2>&1");
}

long PacketCount(const std::string& path) {
  const std::string stream = ProbeStream(path);
  const size_t at = stream.find("nb_read_packets=");
  return at == std::string::npos ? -1 : std::strtol(stream.c_str() + at + 16, nullptr, 10);
}

// The regular file as recordings always were ("+faststart": the index moved in front of the
// media data, behind it the 64-bit size placeholder).
const std::vector<std::string> kFaststartLayout = {"ftyp", "moov", "free", "mdat"};
// The regular file made from the fragmented one: the index, the rest of the room kept for it,
// the placeholder, the media data. No second pass moved anything.
const std::vector<std::string> kReservedLayout = {"ftyp", "moov", "free", "free", "mdat"};

std::unique_ptr<VideoRecorder::Backend> InProcessX264() {
  setenv("ZENTRI_FFMPEG_ENCODER", "libx264", 1);
  auto backend = CreateLinuxBackend(true);
  unsetenv("ZENTRI_FFMPEG_ENCODER");
  return backend;
}

TEST(Mp4Writer, TheFilePlaysWhileItGrowsAndEndsAsARegularMp4) {
  const std::string path = TempPath("growing.mp4");
  auto backend = InProcessX264();
  ASSERT_EQ(backend->Start(path, 64, 48, 30, 1000000), "");
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(backend->EncodeFrame(MakeRgbaFrame(64, 48, i), i * kThirtyFps, kThirtyFps), "");
  }
  // 3.3 s written: the fragments of the first three seconds are in the file and play.
  EXPECT_EQ(PacketCount(path), 90);
  EXPECT_EQ(DecodeErrors(path), "");
  const auto growing = TopLevelBoxes(path);
  ASSERT_GE(growing.size(), 2u);
  EXPECT_EQ(growing[1], "moov");
  EXPECT_EQ(std::count(growing.begin(), growing.end(), "moof"), 3);

  EXPECT_EQ(access(FinalizingPath(path).c_str(), F_OK), 0) << "the regular copy grows beside it";
  EXPECT_EQ(PacketCount(FinalizingPath(path)), -1) << "and has no index yet";
  ASSERT_EQ(backend->Finalize(), "");
  EXPECT_EQ(TopLevelBoxes(path), kFaststartLayout);
  EXPECT_EQ(PacketCount(path), 100);
  EXPECT_EQ(ProbePacketDurations(path), std::vector<long>(100, 3000));
  EXPECT_EQ(DecodeErrors(path), "");
  EXPECT_NE(access(FinalizingPath(path).c_str(), F_OK), 0);
  unlink(path.c_str());
}

// When the regular copy was lost on the way, Finish makes it from the fragmented file, with the
// index in room kept for it. Every duration differs here, so the index holds one time entry per
// frame: the largest index for its frame count.
TEST(Mp4Writer, WithoutItsRegularCopyTheFragmentedFileIsCopiedAtTheEnd) {
  const std::string path = TempPath("irregular.mp4");
  auto backend = InProcessX264();
  ASSERT_EQ(backend->Start(path, 64, 48, 30, 1000000), "");
  std::vector<long> expected;
  int64_t pts = 0;
  for (int i = 0; i < 400; ++i) {
    const int64_t duration = 300000 + (i % 50) * 1111;
    ASSERT_EQ(backend->EncodeFrame(MakeRgbaFrame(64, 48, i), pts, duration), "");
    expected.push_back(static_cast<long>(duration * 9 / 1000));
    pts += duration;
    if (i == 200) {
      ASSERT_EQ(unlink(FinalizingPath(path).c_str()), 0) << "the regular copy is taken away";
    }
  }
  ASSERT_EQ(backend->Finalize(), "");
  EXPECT_EQ(TopLevelBoxes(path), kReservedLayout);
  const auto durations = ProbePacketDurations(path);
  ASSERT_EQ(durations.size(), expected.size());
  for (size_t i = 0; i < durations.size(); ++i) {
    EXPECT_NEAR(durations[i], expected[i], 1) << i;  // 100-ns ticks rounded to 1/90000
  }
  unlink(path.c_str());
}

TEST(Mp4Writer, AKilledWorkerLeavesEveryWholeFragment) {
  const std::string path = TempPath("killed.mp4");
  SpawnedWorker worker = SpawnWorker(std::string(ZENTRI_TEST_BIN_DIR) + "/encworker",
                                     {path, "64", "48", "30", "1000000"});
  ASSERT_GT(worker.pid, 0);
  const auto soon = [] { return std::chrono::steady_clock::now() + std::chrono::seconds(30); };
  std::string reply, error;
  ASSERT_TRUE(ReadReply(worker.fd, soon(), &reply, &error)) << error;
  ASSERT_EQ(reply, "");
  for (int i = 0; i < 100; ++i) {
    VideoRecorder::Frame frame = MakeRgbaFrame(64, 48, i);
    EncoderFrameHeader header;
    header.payloadSize = static_cast<uint32_t>(frame.data.size());
    header.width = 64;
    header.height = 48;
    header.format = 5;
    header.planeCount = 1;
    header.strides[0] = 64 * 4;
    header.pts = i * kThirtyFps;
    header.duration = kThirtyFps;
    uint8_t bytes[kEncoderHeaderBytes];
    EncodeFrameHeader(header, bytes);
    ASSERT_EQ(Transfer(worker.fd, bytes, sizeof(bytes), true, soon()), "");
    ASSERT_EQ(Transfer(worker.fd, frame.data.data(), frame.data.size(), true, soon()), "");
    ASSERT_TRUE(ReadReply(worker.fd, soon(), &reply, &error)) << error;
    ASSERT_EQ(reply, "");
  }
  kill(worker.pid, SIGKILL);
  EXPECT_EQ(WaitExitStatus(worker.pid), -1);
  close(worker.fd);
  EXPECT_EQ(PacketCount(path), 90);
  EXPECT_EQ(DecodeErrors(path), "");
  unlink(path.c_str());
}

TEST(Mp4Writer, AFailedFinishKeepsTheFragmentedFile) {
  const std::string path = TempPath("kept.mp4");
  // The regular copy cannot be written where it belongs.
  ASSERT_EQ(mkdir(FinalizingPath(path).c_str(), 0700), 0);
  auto backend = InProcessX264();
  ASSERT_EQ(backend->Start(path, 64, 48, 30, 1000000), "");
  for (int i = 0; i < 45; ++i) {
    ASSERT_EQ(backend->EncodeFrame(MakeRgbaFrame(64, 48, i), i * kThirtyFps, kThirtyFps), "");
  }
  EXPECT_EQ(backend->Finalize(), "Finalizing the MP4 file failed: Is a directory");
  // Every frame, the last fragment included, is in the fragmented file, which plays.
  EXPECT_EQ(PacketCount(path), 45);
  EXPECT_EQ(DecodeErrors(path), "");
  const auto boxes = TopLevelBoxes(path);
  EXPECT_NE(std::find(boxes.begin(), boxes.end(), "moof"), boxes.end());
  rmdir(FinalizingPath(path).c_str());
  unlink(path.c_str());
}

TEST(Mp4Writer, TheRegularCopyIsWrittenBesideThePath) {
  EXPECT_EQ(FinalizingPath("/videos/clip.mp4"), "/videos/clip.mp4.finalizing");
  EXPECT_EQ(FinalizingPath("clip.mp4"), "clip.mp4.finalizing");
  const std::string longName(NAME_MAX, 'n');
  const std::string beside = FinalizingPath("/videos/" + longName);
  EXPECT_EQ(beside.rfind("/videos/", 0), 0u);
  EXPECT_EQ(beside.size() - 8, static_cast<size_t>(NAME_MAX));
  EXPECT_EQ(beside.substr(beside.size() - 11), ".finalizing");
}

TEST(Mp4Writer, TheIndexBoundGrowsWithThePacketsAndStaysInRange) {
  EXPECT_EQ(RegularIndexBound(0, 0, 40), 4096 + 80);
  EXPECT_EQ(RegularIndexBound(18000, 300, 40), 4096 + 80 + 18000 * 40 + 300 * 4);
  EXPECT_EQ(RegularIndexBound(1ull << 40, 0, 40), 0) << "too large: the second pass is used";
  EXPECT_EQ(RegularIndexBound(10, 11, 40), 0) << "more key frames than packets";
  EXPECT_EQ(RegularIndexBound(10, 1, -1), 0);
}

}  // namespace
}  // namespace zentri_native
