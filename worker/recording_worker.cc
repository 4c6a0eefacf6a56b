#include "worker/recording_worker.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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

// A request to end early (the session ending, a terminal hang-up): reading from the addon stops
// as if its socket had closed, so the loop below finalizes what it has. shutdown() is safe in
// a signal handler.
void StopReading(int) {
  shutdown(kSocketFd, SHUT_RD);
}

void EndEarlyOnTerminationSignals() {
  struct sigaction action {};
  action.sa_handler = StopReading;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    sigaction(signal, &action, nullptr);
  }
}

// Every end other than the end message (the addon gone, a broken or refused message, a frame
// that failed) still finalizes the file with what was encoded, so that no recording is left
// without its index. Returns the exit status of such an end.
int EndAbnormally(VideoRecorder::Backend& backend) {
  backend.Finalize();
  return 1;
}

}  // namespace

// A parent may close its standard descriptors for its children (Node does): the first files
// this program opens would then become descriptors 0 to 2, and diagnostics that FFmpeg or x264
// write to descriptor 2 would land in the recording. They are taken by /dev/null first.
void OccupyStandardDescriptors() {
  for (;;) {
    const int fd = open("/dev/null", O_RDWR);
    if (fd < 0) {
      return;
    }
    if (fd > 2) {
      close(fd);
      return;
    }
  }
}

int RunRecordingWorker(int argc, char** argv) {
  OccupyStandardDescriptors();
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
  if (!started.empty()) {
    Reply(started);
    return 1;
  }
  EndEarlyOnTerminationSignals();
  if (!Reply(started)) {
    return EndAbnormally(*backend);
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
      return EndAbnormally(*backend);
    }
    const EncoderFrameHeader header = DecodeFrameHeader(headerBytes);
    if (header.magic != kEncoderProtocolMagic || header.payloadSize > kMaxEncoderPayloadBytes) {
      Reply("Invalid video encoder protocol");
      return EndAbnormally(*backend);
    }
    if (header.payloadSize == 0) {
      const std::string finalized = backend->Finalize();
      const bool replied = Reply(finalized);
      return finalized.empty() && replied ? 0 : 1;
    }
    if (header.width != width || header.height != height || header.pts <= lastPts ||
        header.duration < 1) {
      Reply("Invalid software encoder frame timing or dimensions");
      return EndAbnormally(*backend);
    }
    frame.data.resize(header.payloadSize);
    if (!Transfer(kSocketFd, frame.data.data(), frame.data.size(), false, After(kPayloadTimeout))
             .empty()) {
      return EndAbnormally(*backend);
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
      return EndAbnormally(*backend);
    }
    lastPts = header.pts;
  }
}

}  // namespace zentri_native
