// Requests from several threads at once: each query must get its own answer, and the device
// must never see another request between the set and get halves of a query. Part of the
// ThreadSanitizer run.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"

namespace zentri_test {
namespace {

class ConcurrencyTest : public LibzentriTest, public ::testing::WithParamInterface<Transport> {};

TEST_P(ConcurrencyTest, QueriesFromSeveralThreadsDoNotInterleave) {
  MicroscopeModel& model = SelectOne(GetParam());
  constexpr int kQueryThreads = 4;
  constexpr int kRounds = 60;
  for (int t = 0; t < kQueryThreads; ++t) {
    model.SetPropertyValue(static_cast<uint16_t>(0x300 + t), 0x1000u * (t + 1), 0xA000u + t);
  }
  model.SetCaptureByte(0x81);
  // The text is process-wide: start from a success so that an earlier test's text is gone.
  ASSERT_EQ(SetManualGain(1), 1);
  ASSERT_STREQ(GetLastErrorString(), "");

  std::atomic<int> wrongAnswers{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kQueryThreads; ++t) {
    threads.emplace_back([t, &wrongAnswers, &failures] {
      for (int round = 0; round < kRounds; ++round) {
        uint32_t word0 = 0;
        uint32_t word1 = 0;
        if (QueryExtensionProperty(0x300 + t, 0, 0, &word0, &word1) != 1) {
          ++failures;
        } else if (word0 != 0x1000u * (t + 1) || word1 != 0xA000u + t) {
          ++wrongAnswers;
        }
      }
    });
  }
  // Other request kinds in between: sets, short requests, the capture button, focus.
  threads.emplace_back([&failures] {
    for (int round = 0; round < kRounds; ++round) {
      if (SetLedState(round % 2) != 1 || IsCapturePressed() != 1 ||
          WriteSensorRegister8(static_cast<uint16_t>(round), static_cast<uint8_t>(round)) != 1) {
        ++failures;
      }
      uint16_t position = 0;
      if (GetFocusPosition(&position) != 1) {
        ++failures;
      }
    }
  });
  // Failing transfers rewrite the last-error text while another thread reads it: every read
  // must be one whole text, never a mix of two.
  model.FailAlways(0x08, false);
  const std::string lensFailure =
      GetParam() == Transport::kUsb
          ? "Zentri XU GET selector 0x08 unit 3 failed: libusb error -9 (PIPE)"
          : "Zentri XU GET selector 0x08 unit 3 failed (errno 32: Broken pipe)";
  std::atomic<bool> done{false};
  std::atomic<int> tornTexts{0};
  std::string sample;
  threads.emplace_back([&done] {
    for (int round = 0; round < 20; ++round) {
      uint16_t driver = 0;
      uint8_t group = 0;
      GetLensGroupInfo(&driver, &group, nullptr);
    }
    done = true;
  });
  threads.emplace_back([&done, &tornTexts, &lensFailure, &sample] {
    while (!done) {
      const std::string text = GetLastErrorString();
      if (!text.empty() && text != lensFailure) {
        if (tornTexts++ == 0) {
          sample = text;
        }
      }
    }
  });
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(tornTexts.load(), 0) << sample;

  EXPECT_EQ(failures.load(), 0) << GetLastErrorString();
  EXPECT_EQ(wrongAnswers.load(), 0);
  EXPECT_EQ(model.OrderViolations(), 0);
  EXPECT_EQ(model.SensorRegister8(kRounds - 1), kRounds - 1);
  // Every query reached the device as a set and its get.
  int querySets = 0;
  for (const WireRecord& record : model.Wire()) {
    querySets += record.set && record.selector == 0x11 && record.payload[9] == 0x03;
  }
  EXPECT_EQ(querySets, kQueryThreads * kRounds);
}

INSTANTIATE_TEST_SUITE_P(BothTransports, ConcurrencyTest,
                         ::testing::Values(Transport::kUsb, Transport::kV4l2), TransportName);

}  // namespace
}  // namespace zentri_test
