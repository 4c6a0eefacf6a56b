#include "recording/encoder_protocol.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace zentri_native {

namespace {

template <typename T>
void Put(uint8_t* out, size_t offset, T value) {
  std::memcpy(out + offset, &value, sizeof(T));
}

template <typename T>
T Get(const uint8_t* in, size_t offset) {
  T value;
  std::memcpy(&value, in + offset, sizeof(T));
  return value;
}

}  // namespace

void EncodeFrameHeader(const EncoderFrameHeader& header, uint8_t out[kEncoderHeaderBytes]) {
  Put(out, 0, header.magic);
  Put(out, 4, header.payloadSize);
  Put(out, 8, header.width);
  Put(out, 12, header.height);
  Put(out, 16, header.format);
  Put(out, 20, header.planeCount);
  for (int i = 0; i < 3; ++i) {
    Put(out, 24 + 4 * i, header.offsets[i]);
    Put(out, 36 + 4 * i, header.strides[i]);
  }
  Put(out, 48, header.pts);
  Put(out, 56, header.duration);
}

EncoderFrameHeader DecodeFrameHeader(const uint8_t in[kEncoderHeaderBytes]) {
  EncoderFrameHeader header;
  header.magic = Get<uint32_t>(in, 0);
  header.payloadSize = Get<uint32_t>(in, 4);
  header.width = Get<int32_t>(in, 8);
  header.height = Get<int32_t>(in, 12);
  header.format = Get<int32_t>(in, 16);
  header.planeCount = Get<int32_t>(in, 20);
  for (int i = 0; i < 3; ++i) {
    header.offsets[i] = Get<int32_t>(in, 24 + 4 * i);
    header.strides[i] = Get<int32_t>(in, 36 + 4 * i);
  }
  header.pts = Get<int64_t>(in, 48);
  header.duration = Get<int64_t>(in, 56);
  return header;
}

EncoderFrameHeader EndMessageHeader() {
  EncoderFrameHeader header;
  header.magic = kEncoderProtocolMagic;
  return header;
}

std::string Transfer(int fd, void* buffer, size_t length, bool sending, const EncoderWait& wait) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  size_t moved = 0;
  while (moved < length) {
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
        wait.deadline - std::chrono::steady_clock::now());
    if (remaining.count() < 1) {
      return "Software video encoder timed out";
    }
    pollfd pfd{fd, static_cast<short>(sending ? POLLOUT : POLLIN), 0};
    const int waitMs =
        static_cast<int>(std::min<int64_t>(kEncoderWaitSlice.count(), remaining.count()));
    const int ready = poll(&pfd, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      return "Could not wait for the software video encoder";
    }
    if (ready == 0) {
      if (wait.stillWaiting && !wait.stillWaiting()) {
        return "Software video encoder timed out";
      }
      continue;
    }
    const ssize_t n = sending ? send(fd, bytes + moved, length - moved, MSG_DONTWAIT | MSG_NOSIGNAL)
                              : recv(fd, bytes + moved, length - moved, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        continue;
      }
      return "Software video encoder disconnected";
    }
    if (n == 0) {
      return "Software video encoder disconnected";
    }
    moved += static_cast<size_t>(n);
  }
  return {};
}

std::string Transfer(int fd, void* buffer, size_t length, bool sending, EncoderDeadline deadline) {
  return Transfer(fd, buffer, length, sending, EncoderWait{deadline, nullptr});
}

bool ReadReply(int fd, const EncoderWait& wait, std::string* text, std::string* error) {
  uint32_t length = 0;
  std::string failure = Transfer(fd, &length, sizeof(length), false, wait);
  if (failure.empty() && length > kMaxEncoderReplyBytes) {
    failure = "Invalid software encoder response";
  }
  std::string received(length <= kMaxEncoderReplyBytes ? length : 0, '\0');
  if (failure.empty()) {
    failure = Transfer(fd, received.data(), received.size(), false, wait);
  }
  if (!failure.empty()) {
    *error = failure;
    return false;
  }
  *text = std::move(received);
  return true;
}

bool ReadReply(int fd, EncoderDeadline deadline, std::string* text, std::string* error) {
  return ReadReply(fd, EncoderWait{deadline, nullptr}, text, error);
}

std::string SendReply(int fd, const std::string& text, EncoderDeadline deadline) {
  const uint32_t length =
      static_cast<uint32_t>(std::min<size_t>(text.size(), kMaxEncoderReplyBytes));
  // Length and text in one buffer, so the peer never sees a length without its text.
  std::vector<uint8_t> message(sizeof(length) + length);
  std::memcpy(message.data(), &length, sizeof(length));
  std::memcpy(message.data() + sizeof(length), text.data(), length);
  return Transfer(fd, message.data(), message.size(), true, deadline);
}

}  // namespace zentri_native
