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
#include "edof/parallel_rows.h"
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

TEST(EdofParallelChunks, EveryChunkRunsOnceAndEveryWorkerTakesPart) {
  for (auto [chunks, workers] : std::vector<std::pair<int64_t, unsigned>>{
           {1, 4}, {2, 2}, {3, 8}, {17, 2}, {40, 3}, {64, 8}}) {
    const unsigned expected = static_cast<unsigned>(std::min<int64_t>(chunks, workers));
    std::vector<std::atomic<int>> runs(static_cast<size_t>(chunks));
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::set<unsigned> seen;
    std::atomic<unsigned> arrived{0};
    ParallelChunks(chunks, workers, [&](int64_t chunk, unsigned worker) {
      ++runs[static_cast<size_t>(chunk)];
      {
        std::lock_guard<std::mutex> lock(mutex);
        threads.insert(std::this_thread::get_id());
        if (seen.insert(worker).second) {
          ++arrived;
        }
      }
      // Each worker's first chunk waits until every worker has one: the workers run at once.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (arrived.load() < expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
    });
    for (int64_t c = 0; c < chunks; ++c) {
      EXPECT_EQ(runs[static_cast<size_t>(c)].load(), 1) << "chunk " << c;
    }
    EXPECT_EQ(arrived.load(), expected) << chunks << " chunks, " << workers << " workers";
    EXPECT_EQ(threads.size(), expected);
    EXPECT_TRUE(threads.count(std::this_thread::get_id()) == 1) << "worker 0 is the caller";
    EXPECT_LT(*seen.rbegin(), expected);
  }
  ParallelChunks(0, 4, [](int64_t, unsigned) { ADD_FAILURE() << "no chunks to run"; });
}

TEST(EdofParallelChunks, AFailureStopsTheChunksAndWaitsForEveryWorker) {
  // Worker 1 fails on its first chunk while the caller is busy; no chunk starts after the
  // failure is seen, and the exception leaves only when the caller's chunk is done.
  std::atomic<int> started{0};
  std::atomic<bool> callerDone{false};
  try {
    ParallelChunks(1000, 2, [&](int64_t, unsigned worker) {
      ++started;
      if (worker == 1) {
        throw std::length_error("worker");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      callerDone = true;
    });
    ADD_FAILURE() << "no exception";
  } catch (const std::length_error& error) {
    EXPECT_STREQ(error.what(), "worker");
    EXPECT_TRUE(callerDone.load());
  }
  EXPECT_LT(started.load(), 10);
  // The caller's exception wins when several fail.
  try {
    ParallelChunks(8, 4, [](int64_t, unsigned worker) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      throw std::runtime_error(worker == 0 ? "caller" : "worker");
    });
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "caller");
  }
}

TEST(EdofThreads, SmallChunksOnEveryBudgetGiveTheSameBytes) {
  // Many chunks of a few rows, so that neighbouring chunks, whose halos overlap, run at once on
  // different threads; heights with 3 and 4 levels.
  std::mt19937 rng(1234);
  for (auto [width, height] :
       std::vector<std::pair<int32_t, int32_t>>{{261, 77}, {270, 150}, {140, 95}}) {
    const testing_support::Stack stack = testing_support::RandomStack(rng, width, height, 4);
    for (const char* simd : {"sse2", "avx2"}) {
      std::vector<uint8_t> one(static_cast<size_t>(width) * height * 4);
      FuseIntoWithChunkRows(width, height, stack.referenceIndex, stack.Frames(), stack.Fields(),
                            stack.Weights(), 1, simd, height, one.data());
      for (unsigned threads : {1u, 2u, 3u, 8u}) {
        for (int32_t rows : {3, 10}) {
          std::vector<uint8_t> out(one.size());
          FuseIntoWithChunkRows(width, height, stack.referenceIndex, stack.Frames(), stack.Fields(),
                                stack.Weights(), threads, simd, rows, out.data());
          EXPECT_EQ(out, one) << threads << " threads, chunks of " << rows << ", " << simd << ", "
                              << width << "x" << height;
        }
      }
    }
  }
}

}  // namespace
}  // namespace zentri_native
