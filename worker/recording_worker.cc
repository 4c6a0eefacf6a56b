#include "worker/recording_worker.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "recording/encoder_protocol.h"
#include "recording/linux_backend.h"

namespace zentri_native {

namespace {

constexpr int kSocketFd = 3;
constexpr auto kReplyTimeout = std::chrono::seconds(5);
constexpr auto kPayloadTimeout = std::chrono::seconds(5);
// The addon may keep a recording open without frames for a long time (a paused camera).
constexpr auto kIdleTimeout = std::chrono::hours(12);

EncoderDeadline After(std::chrono::steady_clock::duration span) {
  return std::chrono::steady_clock::now() + span;
}

bool Reply(const std::string& text) {
  return SendReply(kSocketFd, text, After(kReplyTimeout)).empty();
}

// Base-10 integer in [low, high], even when asked; anything else (including trailing text)
// is refused.
bool ParseInRange(const char* text, long low, long high, bool even, int32_t* out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high || (even && value % 2 != 0)) {
    return false;
  }
  *out = static_cast<int32_t>(value);
  return true;
}

}  // namespace

int RunRecordingWorker(int argc, char** argv) {
  if (argc != 6) {
    Reply("Invalid software encoder arguments");
    return 1;
  }
  // Only libx264 may run here: the worker exists to keep it out of the addon.
  setenv("ZENTRI_FFMPEG_ENCODER", "libx264", 1);
  std::unique_ptr<VideoRecorder::Backend> backend = CreateLinuxBackend(true);

  int32_t width = 0, height = 0, frameRate = 0, bitrate = 0;
  if (!ParseInRange(argv[2], 2, 8192, true, &width) ||
      !ParseInRange(argv[3], 2, 8192, true, &height) ||
      !ParseInRange(argv[4], 1, 120, false, &frameRate) ||
      !ParseInRange(argv[5], 100000, 240000000, false, &bitrate)) {
    Reply("Invalid software encoder configuration");
    return 1;
  }
  const std::string started = backend->Start(argv[1], width, height, frameRate, bitrate);
  if (!Reply(started) || !started.empty()) {
    return 1;
  }

  // One frame object for the whole recording: its pixel buffer keeps its capacity, so frames
  // of a steady size cost no allocation.
  VideoRecorder::Frame frame;
  frame.width = width;
  frame.height = height;
  int64_t lastPts = -1;
  for (;;) {
    uint8_t headerBytes[kEncoderHeaderBytes];
    if (!Transfer(kSocketFd, headerBytes, sizeof(headerBytes), false, After(kIdleTimeout))
             .empty()) {
      return 1;
    }
    const EncoderFrameHeader header = DecodeFrameHeader(headerBytes);
    if (header.magic != kEncoderProtocolMagic || header.payloadSize > kMaxEncoderPayloadBytes) {
      Reply("Invalid video encoder protocol");
      return 1;
    }
    if (header.payloadSize == 0) {
      const std::string finalized = backend->Finalize();
      const bool replied = Reply(finalized);
      return finalized.empty() && replied ? 0 : 1;
    }
    if (header.width != width || header.height != height || header.pts <= lastPts ||
        header.duration < 1) {
      Reply("Invalid software encoder frame timing or dimensions");
      return 1;
    }
    frame.data.resize(header.payloadSize);
    if (!Transfer(kSocketFd, frame.data.data(), frame.data.size(), false, After(kPayloadTimeout))
             .empty()) {
      return 1;
    }
    frame.format = header.format;
    frame.planeCount = header.planeCount;
    for (int i = 0; i < 3; ++i) {
      frame.offsets[i] = header.offsets[i];
      frame.strides[i] = header.strides[i];
    }
    frame.timestamp = header.pts;
    const std::string encoded = backend->EncodeFrame(frame, header.pts, header.duration);
    if (!Reply(encoded) || !encoded.empty()) {
      return 1;
    }
    lastPts = header.pts;
  }
}

}  // namespace zentri_native
