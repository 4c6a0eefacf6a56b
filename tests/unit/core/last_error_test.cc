#include "core/last_error.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace zentri_native {
namespace {

TEST(LastError, SetReadAndClear) {
  SetLastError("first");
  EXPECT_EQ(GetLastErrorString(), "first");
  EXPECT_EQ(GetLastErrorString(), "first");  // reading does not clear
  SetLastError("");
  EXPECT_EQ(GetLastErrorString(), "");
}

TEST(LastError, WritersOnManyThreadsLeaveOneWholeMessage) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      const std::string message(64 + t, static_cast<char>('a' + t));
      for (int i = 0; i < 2000; ++i) {
        SetLastError(message);
        const std::string seen = GetLastErrorString();
        ASSERT_FALSE(seen.empty());
        ASSERT_EQ(seen, std::string(seen.size(), seen[0]));
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  const std::string last = GetLastErrorString();
  ASSERT_GE(last.size(), 64u);
  EXPECT_EQ(last.size(), 64u + static_cast<size_t>(last[0] - 'a'));
}

}  // namespace
}  // namespace zentri_native
