// The wire protocol between the addon and the encworker process: one AF_UNIX stream socket,
// integers in native byte order. The parent sends 64-byte frame headers (plus pixel payload) and
// an end message; the worker answers every message, and its start-up, with a length-prefixed
// text reply (empty means success).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace zentri_native {

constexpr uint32_t kEncoderProtocolMagic = 0x56465231;   // the bytes "1RFV"
constexpr uint32_t kMaxEncoderPayloadBytes = 268435456;  // 256 MiB
constexpr uint32_t kMaxEncoderReplyBytes = 4096;
constexpr size_t kEncoderHeaderBytes = 64;

struct EncoderFrameHeader {
  uint32_t magic = kEncoderProtocolMagic;
  uint32_t payloadSize = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t format = 0;
  int32_t planeCount = 0;
  int32_t offsets[3] = {0, 0, 0};
  int32_t strides[3] = {0, 0, 0};
  int64_t pts = 0;
  int64_t duration = 0;
};

// Byte layout: magic@0, payloadSize@4, width@8, height@12, format@16, planeCount@20,
// offsets@24, strides@36, pts@48, duration@56.
void EncodeFrameHeader(const EncoderFrameHeader& header, uint8_t out[kEncoderHeaderBytes]);
EncoderFrameHeader DecodeFrameHeader(const uint8_t in[kEncoderHeaderBytes]);

// The end message: magic set, every other byte zero.
EncoderFrameHeader EndMessageHeader();

using EncoderDeadline = std::chrono::steady_clock::time_point;

// How long a transfer waits: until the deadline, and no longer than stillWaiting allows when
// it is set. stillWaiting is asked whenever nothing has moved for kEncoderWaitSlice; false
// ends the wait as a time-out.
struct EncoderWait {
  EncoderDeadline deadline;
  std::function<bool()> stillWaiting;
};
constexpr std::chrono::milliseconds kEncoderWaitSlice{250};

// Moves exactly `length` bytes in one direction within the wait. Empty on success, else
// "Software video encoder timed out", "Could not wait for the software video encoder" or
// "Software video encoder disconnected". Never raises SIGPIPE.
std::string Transfer(int fd, void* buffer, size_t length, bool sending, const EncoderWait& wait);
std::string Transfer(int fd, void* buffer, size_t length, bool sending, EncoderDeadline deadline);

// Reads one reply. Returns false with the transport error (or "Invalid software encoder
// response" for a length above 4096) in `error`; true with the reply text in `text`.
bool ReadReply(int fd, const EncoderWait& wait, std::string* text, std::string* error);
bool ReadReply(int fd, EncoderDeadline deadline, std::string* text, std::string* error);

// Sends one reply, cut to its first 4096 bytes. Empty on success, else the transport error.
std::string SendReply(int fd, const std::string& text, EncoderDeadline deadline);

}  // namespace zentri_native
