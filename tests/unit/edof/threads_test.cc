// ParallelRows and thread budgets; built and run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "edof/fusion.h"
#include "stack_fixture.h"

namespace zentri_native {
namespace {

struct Chunk {
  int32_t begin;
  int32_t end;
  std::thread::id thread;
};

std::vector<Chunk> RunChunks(int32_t rows, unsigned threads) {
  std::mutex mutex;
  std::vector<Chunk> chunks;
  ParallelRows(rows, threads, [&](int32_t begin, int32_t end) {
    std::lock_guard<std::mutex> lock(mutex);
    chunks.push_back({begin, end, std::this_thread::get_id()});
  });
  std::sort(chunks.begin(), chunks.end(),
            [](const Chunk& a, const Chunk& b) { return a.begin < b.begin; });
  return chunks;
}

TEST(EdofParallelRows, SmallPassesStayOnTheCallingThread) {
  for (auto [rows, threads] :
       std::vector<std::pair<int32_t, unsigned>>{{47, 8}, {1, 8}, {1000, 1}, {5000, 0}}) {
    const std::vector<Chunk> chunks = RunChunks(rows, threads);
    ASSERT_EQ(chunks.size(), 1u) << rows << " rows, " << threads << " threads";
    EXPECT_EQ(chunks[0].begin, 0);
    EXPECT_EQ(chunks[0].end, rows);
    EXPECT_EQ(chunks[0].thread, std::this_thread::get_id());
  }
  EXPECT_TRUE(RunChunks(0, 4).empty());
  EXPECT_TRUE(RunChunks(-3, 4).empty());
}

TEST(EdofParallelRows, ChunksCoverEveryRowOnceWithTheLastOnTheCaller) {
  for (auto [rows, threads] : std::vector<std::pair<int32_t, unsigned>>{
           {48, 2}, {49, 3}, {100, 8}, {1080, 3}, {50, 100}}) {
    const std::vector<Chunk> chunks = RunChunks(rows, threads);
    const size_t expected = std::min<size_t>(rows, threads);
    ASSERT_EQ(chunks.size(), expected);
    std::set<std::thread::id> ids;
    for (size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_EQ(chunks[i].begin, static_cast<int32_t>(i * rows / expected));
      EXPECT_EQ(chunks[i].end, static_cast<int32_t>((i + 1) * rows / expected));
      ids.insert(chunks[i].thread);
    }
    EXPECT_EQ(ids.size(), expected) << "one thread per chunk";
    EXPECT_EQ(chunks.back().thread, std::this_thread::get_id());
  }
}

TEST(EdofParallelRows, ExceptionsWaitForEveryThread) {
  // The caller's chunk fails at once; the others are still working and must finish before the
  // exception leaves.
  std::atomic<int> finished{0};
  EXPECT_THROW(ParallelRows(400, 4,
                            [&](int32_t begin, int32_t end) {
                              if (end == 400) {
                                throw std::runtime_error("caller");
                              }
                              std::this_thread::sleep_for(std::chrono::milliseconds(50));
                              ++finished;
                            }),
               std::runtime_error);
  EXPECT_EQ(finished.load(), 3);

  // A failing worker chunk is reported too instead of ending the process; the caller's own
  // exception wins when both fail.
  finished = 0;
  try {
    ParallelRows(400, 4, [&](int32_t begin, int32_t end) {
      if (begin == 100) {
        throw std::length_error("worker");
      }
      ++finished;
    });
    ADD_FAILURE() << "no exception";
  } catch (const std::length_error& error) {
    EXPECT_STREQ(error.what(), "worker");
  }
  EXPECT_EQ(finished.load(), 3);
  try {
    ParallelRows(400, 4, [&](int32_t begin, int32_t end) {
      throw std::runtime_error(end == 400 ? "caller" : "worker");
    });
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "caller");
  }
}

TEST(EdofThreads, EveryBudgetGivesTheSameBytes) {
  std::mt19937 rng(99);
  // 90 rows: the base level is split although level 1 has fewer than 48 rows.
  for (auto [width, height] :
       std::vector<std::pair<int32_t, int32_t>>{{301, 157}, {70, 200}, {140, 90}}) {
    const testing_support::Stack stack = testing_support::RandomStack(rng, width, height, 5);
    const std::vector<uint8_t> one = stack.Fuse(1);
    for (const char* simd : {"sse2", "avx2"}) {
      for (unsigned threads : {2u, 3u, 8u}) {
        EXPECT_EQ(stack.Fuse(threads, simd), one)
            << threads << " threads, " << simd << ", " << width << "x" << height;
      }
    }
  }
}

}  // namespace
}  // namespace zentri_native
