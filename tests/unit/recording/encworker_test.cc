// The worker program's side of the protocol, driven byte by byte over its socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "encoder_test_support.h"
#include "recording/encoder_protocol.h"

namespace zentri_native {
namespace {

using testing_support::MakeRgbaFrame;
using testing_support::SpawnedWorker;
using testing_support::SpawnWorker;
using testing_support::TempPath;
using testing_support::WaitExitStatus;

const std::string kWorker = std::string(ZENTRI_TEST_BIN_DIR) + "/encworker";

EncoderDeadline Soon() {
  return std::chrono::steady_clock::now() + std::chrono::seconds(10);
}

std::string Reply(int fd) {
  std::string text, error;
  if (!ReadReply(fd, Soon(), &text, &error)) {
    return "<transport: " + error + ">";
  }
  return text;
}

void SendHeader(int fd, const EncoderFrameHeader& header) {
  uint8_t bytes[kEncoderHeaderBytes];
  EncodeFrameHeader(header, bytes);
  ASSERT_EQ(Transfer(fd, bytes, sizeof(bytes), true, Soon()), "");
}

EncoderFrameHeader FrameHeader(int width, int height, int64_t pts) {
  EncoderFrameHeader header;
  header.payloadSize = static_cast<uint32_t>(width * height * 4);
  header.width = width;
  header.height = height;
  header.format = 5;
  header.planeCount = 1;
  header.strides[0] = width * 4;
  header.pts = pts;
  header.duration = 333333;
  return header;
}

// A worker that has answered its start-up: ready for messages.
SpawnedWorker StartedWorker(const std::string& output) {
  SpawnedWorker worker = SpawnWorker(kWorker, {output, "64", "48", "30", "1000000"});
  EXPECT_GT(worker.pid, 0);
  EXPECT_EQ(Reply(worker.fd), "");
  return worker;
}

int Finish(SpawnedWorker& worker) {
  close(worker.fd);
  return WaitExitStatus(worker.pid);
}

TEST(EncWorker, RefusesBadCommandLines) {
  struct Case {
    std::vector<std::string> args;
    const char* reply;
  } cases[] = {
      {{"x.mp4", "64", "48", "30"}, "Invalid software encoder arguments"},
      {{"x.mp4", "8194", "48", "30", "1000000"}, "Invalid software encoder configuration"},
      {{"x.mp4", "7", "48", "30", "1000000"}, "Invalid software encoder configuration"},
      {{"x.mp4", "64", "48", "121", "1000000"}, "Invalid software encoder configuration"},
      {{"x.mp4", "64", "48", "30", "99999"}, "Invalid software encoder configuration"},
      {{"x.mp4", "64", "48", "30", "lots"}, "Invalid software encoder configuration"},
  };
  for (const Case& c : cases) {
    SpawnedWorker worker = SpawnWorker(kWorker, c.args);
    ASSERT_GT(worker.pid, 0);
    EXPECT_EQ(Reply(worker.fd), c.reply);
    EXPECT_EQ(Finish(worker), 1);
  }
}

TEST(EncWorker, EncodesFramesAndExitsZeroAfterFinalizing) {
  const std::string output = TempPath("worker-ok.mp4");
  SpawnedWorker worker = StartedWorker(output);
  for (int i = 0; i < 3; ++i) {
    // The first frame may have pts 0: the worker starts from -1.
    SendHeader(worker.fd, FrameHeader(64, 48, i * 333333));
    VideoRecorder::Frame frame = MakeRgbaFrame(64, 48, i);
    ASSERT_EQ(Transfer(worker.fd, frame.data.data(), frame.data.size(), true, Soon()), "");
    EXPECT_EQ(Reply(worker.fd), "");
  }
  SendHeader(worker.fd, EndMessageHeader());
  EXPECT_EQ(Reply(worker.fd), "");
  EXPECT_EQ(Finish(worker), 0);
  EXPECT_GT(access(output.c_str(), R_OK), -1);
  unlink(output.c_str());
}

TEST(EncWorker, RefusesProtocolAndTimingViolations) {
  const std::string output = TempPath("worker-bad.mp4");
  struct Case {
    EncoderFrameHeader header;
    const char* reply;
  };
  EncoderFrameHeader badMagic = FrameHeader(64, 48, 0);
  badMagic.magic = 0x12345678;
  EncoderFrameHeader oversized = FrameHeader(64, 48, 0);
  oversized.payloadSize = kMaxEncoderPayloadBytes + 1;
  EncoderFrameHeader wrongSize = FrameHeader(66, 48, 0);
  EncoderFrameHeader noDuration = FrameHeader(64, 48, 0);
  noDuration.duration = 0;
  const Case cases[] = {
      {badMagic, "Invalid video encoder protocol"},
      {oversized, "Invalid video encoder protocol"},
      {wrongSize, "Invalid software encoder frame timing or dimensions"},
      {noDuration, "Invalid software encoder frame timing or dimensions"},
  };
  for (const Case& c : cases) {
    SpawnedWorker worker = StartedWorker(output);
    SendHeader(worker.fd, c.header);
    EXPECT_EQ(Reply(worker.fd), c.reply);
    EXPECT_EQ(Finish(worker), 1);
  }

  // The same pts twice: the second frame is refused.
  SpawnedWorker worker = StartedWorker(output);
  VideoRecorder::Frame frame = MakeRgbaFrame(64, 48, 0);
  SendHeader(worker.fd, FrameHeader(64, 48, 1000));
  ASSERT_EQ(Transfer(worker.fd, frame.data.data(), frame.data.size(), true, Soon()), "");
  EXPECT_EQ(Reply(worker.fd), "");
  SendHeader(worker.fd, FrameHeader(64, 48, 1000));
  EXPECT_EQ(Reply(worker.fd), "Invalid software encoder frame timing or dimensions");
  EXPECT_EQ(Finish(worker), 1);
  unlink(output.c_str());
}

TEST(EncWorker, ExitsOneWhenTheConnectionBreaks) {
  const std::string output = TempPath("worker-cut.mp4");
  {
    SpawnedWorker worker = StartedWorker(output);
    EXPECT_EQ(Finish(worker), 1) << "closed before any message";
  }
  {
    SpawnedWorker worker = StartedWorker(output);
    SendHeader(worker.fd, FrameHeader(64, 48, 0));
    const std::vector<uint8_t> half(64 * 48 * 2, 7);
    ASSERT_EQ(Transfer(worker.fd, const_cast<uint8_t*>(half.data()), half.size(), true, Soon()),
              "");
    EXPECT_EQ(Finish(worker), 1) << "payload cut short";
  }
  {
    SpawnedWorker worker = StartedWorker(output);
    const uint8_t partial[10] = {0x31, 0x52, 0x46, 0x56};
    ASSERT_EQ(Transfer(worker.fd, const_cast<uint8_t*>(partial), sizeof(partial), true, Soon()),
              "");
    EXPECT_EQ(Finish(worker), 1) << "header cut short";
  }
  unlink(output.c_str());
}

// The addon gone (its socket closed) or the session ending (SIGTERM): the worker finalizes what
// it received into the regular file, and reports the early end with exit status 1.
TEST(EncWorker, FinalizesWhatItHasWhenItEndsEarly) {
  for (const bool terminate : {false, true}) {
    const std::string output = TempPath(terminate ? "worker-term.mp4" : "worker-orphan.mp4");
    SpawnedWorker worker = StartedWorker(output);
    for (int i = 0; i < 40; ++i) {
      SendHeader(worker.fd, FrameHeader(64, 48, i * 333333));
      VideoRecorder::Frame frame = MakeRgbaFrame(64, 48, i);
      ASSERT_EQ(Transfer(worker.fd, frame.data.data(), frame.data.size(), true, Soon()), "");
      ASSERT_EQ(Reply(worker.fd), "");
    }
    if (terminate) {
      kill(worker.pid, SIGTERM);
      EXPECT_EQ(WaitExitStatus(worker.pid), 1);
      close(worker.fd);
    } else {
      EXPECT_EQ(Finish(worker), 1);
    }
    const std::string stream = testing_support::ProbeStream(output);
    EXPECT_NE(stream.find("nb_read_packets=40\n"), std::string::npos) << stream;
    const std::string moovFirst =
        testing_support::RunCommand("head -c 64 '" + output + "' | grep -c moov");
    EXPECT_EQ(moovFirst, "1\n") << "the regular layout, index first";
    EXPECT_NE(access((output + ".finalizing").c_str(), F_OK), 0);
    unlink(output.c_str());
  }
}

// Started with its standard descriptors closed (Node closes them for its children), the worker
// puts /dev/null there before it opens a file: what FFmpeg might print to descriptor 2 must not
// land in the recording.
TEST(EncWorker, KeepsDiagnosticsOutOfTheRecording) {
  const std::string output = TempPath("worker-stdio.mp4");
  SpawnedWorker worker = SpawnWorker(kWorker, {output, "64", "48", "30", "1000000"}, true);
  ASSERT_GT(worker.pid, 0);
  ASSERT_EQ(Reply(worker.fd), "");
  for (int fd = 0; fd <= 2; ++fd) {
    char target[256] = {};
    const std::string link = "/proc/" + std::to_string(worker.pid) + "/fd/" + std::to_string(fd);
    ASSERT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0) << fd;
    EXPECT_STREQ(target, "/dev/null") << fd;
  }
  SendHeader(worker.fd, EndMessageHeader());
  EXPECT_EQ(Reply(worker.fd), "");
  EXPECT_EQ(Finish(worker), 0);
  unlink(output.c_str());
}

// Random headers must always end in a reply and an exit status, never a crash or a hang.
TEST(EncWorker, SurvivesRandomHeaders) {
  const std::string output = TempPath("worker-fuzz.mp4");
  std::mt19937 random(20261208);
  for (int round = 0; round < 16; ++round) {
    SpawnedWorker worker = StartedWorker(output);
    uint8_t bytes[kEncoderHeaderBytes];
    for (uint8_t& byte : bytes) {
      byte = static_cast<uint8_t>(random());
    }
    if (round % 2 == 0) {
      // Keep the magic half the time so the checks behind it are reached.
      const uint32_t magic = kEncoderProtocolMagic;
      std::memcpy(bytes, &magic, sizeof(magic));
    }
    ASSERT_EQ(Transfer(worker.fd, bytes, sizeof(bytes), true, Soon()), "");
    const std::string reply = Reply(worker.fd);
    EXPECT_TRUE(reply == "Invalid video encoder protocol" ||
                reply == "Invalid software encoder frame timing or dimensions" ||
                reply.rfind("<transport", 0) == 0)
        << reply;
    EXPECT_EQ(Finish(worker), 1);
  }
  unlink(output.c_str());
}

}  // namespace
}  // namespace zentri_native
