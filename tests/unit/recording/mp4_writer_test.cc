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

  EXPECT_NE(access(FinalizingPath(path).c_str(), F_OK), 0)
      << "the regular copy grows beside it without a name";
  ASSERT_EQ(backend->Finalize(), "");
  EXPECT_EQ(TopLevelBoxes(path), kFaststartLayout);
  EXPECT_EQ(PacketCount(path), 100);
  EXPECT_EQ(ProbePacketDurations(path), std::vector<long>(100, 3000));
  EXPECT_EQ(DecodeErrors(path), "");
  EXPECT_NE(access(FinalizingPath(path).c_str(), F_OK), 0);
  unlink(path.c_str());
}

// libx264 opened in this process, for writers driven without a backend.
struct TestEncoder {
  explicit TestEncoder(FfmpegApi& api) : api(api) {
    const AVCodec* codec = api.avcodec_find_encoder_by_name("libx264");
    context = api.avcodec_alloc_context3(codec);
    context->width = 64;
    context->height = 48;
    context->time_base = AVRational{1, 90000};
    context->framerate = AVRational{30, 1};
    context->gop_size = 60;
    context->max_b_frames = 0;
    context->pix_fmt = AV_PIX_FMT_NV12;
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    api.av_opt_set(context->priv_data, "tune", "zerolatency", 0);
    opened = api.avcodec_open2(context, codec, nullptr) >= 0;
    frame = api.av_frame_alloc();
    frame->format = AV_PIX_FMT_NV12;
    frame->width = 64;
    frame->height = 48;
    api.av_frame_get_buffer(frame, 32);
    packet = api.av_packet_alloc();
  }
  ~TestEncoder() {
    api.av_packet_free(&packet);
    api.av_frame_free(&frame);
    api.avcodec_free_context(&context);
  }
  // Encodes one frame at pts (1/90000) and writes its packet with the given duration.
  std::string Write(Mp4Writer& writer, int64_t pts, int64_t duration) {
    api.av_frame_make_writable(frame);
    std::fill(frame->data[0], frame->data[0] + 48 * frame->linesize[0],
              static_cast<uint8_t>(pts / 3000));
    frame->pts = pts;
    if (api.avcodec_send_frame(context, frame) < 0 ||
        api.avcodec_receive_packet(context, packet) < 0) {
      return "encoding failed";
    }
    packet->duration = duration;
    const std::string result = writer.WritePacket(packet, context->time_base);
    api.av_packet_unref(packet);
    return result;
  }

  FfmpegApi& api;
  AVCodecContext* context = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  bool opened = false;
};

// Without its regular copy (it could not be written), Finish makes the regular file from the
// fragmented one, with the index in room kept for it. Every duration differs here, so the index
// holds one time entry per frame: the largest index for its frame count.
TEST(Mp4Writer, WithoutItsRegularCopyTheFragmentedFileIsCopiedAtTheEnd) {
  FfmpegApi& api = FfmpegApi::Instance();
  api.Load();
  ASSERT_TRUE(api.loaded) << api.error;
  TestEncoder encoder(api);
  ASSERT_TRUE(encoder.opened);
  const std::string path = TempPath("copied.mp4");
  Mp4Writer writer(api, false);
  ASSERT_EQ(writer.Create(path), "");
  ASSERT_EQ(writer.Open(*encoder.context), "");
  std::vector<long> expected;
  int64_t pts = 0;
  for (int i = 0; i < 400; ++i) {
    const int64_t duration = 2700 + (i % 50) * 10;
    ASSERT_EQ(encoder.Write(writer, pts, duration), "");
    expected.push_back(static_cast<long>(duration));
    pts += duration;
  }
  ASSERT_EQ(writer.Finish(), "");
  EXPECT_EQ(TopLevelBoxes(path), kReservedLayout);
  EXPECT_EQ(ProbePacketDurations(path), expected);
  EXPECT_EQ(DecodeErrors(path), "");
  unlink(path.c_str());
}

// Rescaled on their own, a frame's time and its duration can disagree by a tick: a duration
// that reaches one tick into the next frame must not move that frame at a fragment boundary.
TEST(Mp4Writer, AFrameReachingIntoTheNextFragmentMovesNothing) {
  FfmpegApi& api = FfmpegApi::Instance();
  api.Load();
  ASSERT_TRUE(api.loaded) << api.error;
  TestEncoder encoder(api);
  ASSERT_TRUE(encoder.opened);
  const std::string path = TempPath("overlap.mp4");
  Mp4Writer writer(api);
  ASSERT_EQ(writer.Create(path), "");
  ASSERT_EQ(writer.Open(*encoder.context), "");
  for (int i = 0; i < 75; ++i) {
    ASSERT_EQ(encoder.Write(writer, i * 3000, 3001), "");
  }
  // Two fragments in the file so far: every frame at the time it was given.
  const std::string times =
      RunCommand("ffprobe -v error -show_entries packet=pts -of csv=p=0 '" + path + "'");
  std::string expected;
  for (int i = 0; i < 60; ++i) {
    expected += std::to_string(i * 3000) + "\n";
  }
  EXPECT_EQ(times, expected);
  ASSERT_EQ(writer.Finish(), "");
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
