#include "recording/encoder_protocol.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace zentri_native {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

struct SocketPair {
  int fds[2] = {-1, -1};
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
  ~SocketPair() {
    CloseEnd(0);
    CloseEnd(1);
  }
  void CloseEnd(int i) {
    if (fds[i] >= 0) {
      close(fds[i]);
      fds[i] = -1;
    }
  }
};

EncoderDeadline In(int ms) {
  return steady_clock::now() + milliseconds(ms);
}

TEST(EncoderProtocol, HeaderFieldsSitAtTheirOffsets) {
  EncoderFrameHeader header;
  header.payloadSize = 0x01020304;
  header.width = 1920;
  header.height = -2;
  header.format = 5;
  header.planeCount = 3;
  header.offsets[0] = 7;
  header.offsets[2] = 9;
  header.strides[1] = 7680;
  header.pts = 0x1122334455667788LL;
  header.duration = 333333;
  uint8_t bytes[kEncoderHeaderBytes];
  EncodeFrameHeader(header, bytes);
  // "1RFV" on a little-endian machine.
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 4), "1RFV");
  uint32_t u32;
  int32_t i32;
  int64_t i64;
  std::memcpy(&u32, bytes + 4, 4);
  EXPECT_EQ(u32, 0x01020304u);
  std::memcpy(&i32, bytes + 12, 4);
  EXPECT_EQ(i32, -2);
  std::memcpy(&i32, bytes + 32, 4);
  EXPECT_EQ(i32, 9);
  std::memcpy(&i32, bytes + 40, 4);
  EXPECT_EQ(i32, 7680);
  std::memcpy(&i64, bytes + 48, 8);
  EXPECT_EQ(i64, 0x1122334455667788LL);
  std::memcpy(&i64, bytes + 56, 8);
  EXPECT_EQ(i64, 333333);

  const EncoderFrameHeader back = DecodeFrameHeader(bytes);
  EXPECT_EQ(std::memcmp(&back, &header, sizeof(header)), 0);

  uint8_t end[kEncoderHeaderBytes];
  EncodeFrameHeader(EndMessageHeader(), end);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(end), 4), "1RFV");
  EXPECT_EQ(std::vector<uint8_t>(end + 4, end + 64), std::vector<uint8_t>(60, 0));
}

TEST(EncoderProtocol, TransferMovesLargeBuffersBothWays) {
  SocketPair pair;
  std::vector<uint8_t> sent(3 * 1024 * 1024);
  for (size_t i = 0; i < sent.size(); ++i) {
    sent[i] = static_cast<uint8_t>(i * 31 + 7);
  }
  std::vector<uint8_t> received(sent.size());
  std::string receiveError = "not run";
  std::thread reader([&] {
    receiveError = Transfer(pair.fds[1], received.data(), received.size(), false, In(5000));
  });
  EXPECT_EQ(Transfer(pair.fds[0], sent.data(), sent.size(), true, In(5000)), "");
  reader.join();
  EXPECT_EQ(receiveError, "");
  EXPECT_EQ(received, sent);
  EXPECT_EQ(Transfer(pair.fds[0], nullptr, 0, true, In(0)), "");
}

TEST(EncoderProtocol, TransferReportsTimeOutAndDisconnect) {
  SocketPair pair;
  uint8_t byte = 0;
  const auto start = steady_clock::now();
  EXPECT_EQ(Transfer(pair.fds[0], &byte, 1, false, In(50)), "Software video encoder timed out");
  EXPECT_GE(steady_clock::now() - start, milliseconds(45));
  EXPECT_EQ(Transfer(pair.fds[0], &byte, 1, false, In(-5)), "Software video encoder timed out");

  pair.CloseEnd(1);
  EXPECT_EQ(Transfer(pair.fds[0], &byte, 1, false, In(1000)),
            "Software video encoder disconnected");
  // Sending to a closed peer fails with text, not SIGPIPE.
  std::vector<uint8_t> block(1 << 16);
  EXPECT_EQ(Transfer(pair.fds[0], block.data(), block.size(), true, In(1000)),
            "Software video encoder disconnected");
}

TEST(EncoderProtocol, RepliesAreLengthPrefixedAndBounded) {
  SocketPair pair;
  std::string text, error;
  ASSERT_EQ(SendReply(pair.fds[1], "", In(1000)), "");
  ASSERT_TRUE(ReadReply(pair.fds[0], In(1000), &text, &error)) << error;
  EXPECT_EQ(text, "");

  ASSERT_EQ(SendReply(pair.fds[1], std::string(5000, 'x'), In(1000)), "");
  ASSERT_TRUE(ReadReply(pair.fds[0], In(1000), &text, &error)) << error;
  EXPECT_EQ(text, std::string(4096, 'x'));

  const uint32_t tooLong = 4097;
  ASSERT_EQ(send(pair.fds[1], &tooLong, sizeof(tooLong), 0), 4);
  EXPECT_FALSE(ReadReply(pair.fds[0], In(1000), &text, &error));
  EXPECT_EQ(error, "Invalid software encoder response");

  // A length with its text missing: the peer goes away mid-reply.
  const uint32_t ten = 10;
  ASSERT_EQ(send(pair.fds[1], &ten, sizeof(ten), 0), 4);
  ASSERT_EQ(send(pair.fds[1], "abc", 3, 0), 3);
  pair.CloseEnd(1);
  EXPECT_FALSE(ReadReply(pair.fds[0], In(1000), &text, &error));
  EXPECT_EQ(error, "Software video encoder disconnected");
}

}  // namespace
}  // namespace zentri_native
