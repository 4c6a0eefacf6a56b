#include "edof/parallel_rows.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

#include "edof/fusion.h"

namespace zentri_native {

namespace {

// Joins every started thread when it goes out of scope, also while an exception unwinds.
class ThreadJoiner {
 public:
  explicit ThreadJoiner(std::vector<std::thread>& threads) : threads_(threads) {}
  ThreadJoiner(const ThreadJoiner&) = delete;
  ThreadJoiner& operator=(const ThreadJoiner&) = delete;
  ~ThreadJoiner() { JoinAll(); }
  void JoinAll() {
    for (std::thread& thread : threads_) {
      if (thread.joinable()) {
        thread.join();
      }
    }
  }

 private:
  std::vector<std::thread>& threads_;
};

}  // namespace

void ParallelRows(int32_t rows, unsigned int maxThreads, const RowBody& body) {
  if (rows < 1) {
    return;
  }
  const int64_t chunks = std::min<int64_t>(rows, maxThreads);
  if (chunks < 2 || rows < 48) {
    body(0, rows);
    return;
  }
  const auto chunkBegin = [rows, chunks](int64_t index) {
    return static_cast<int32_t>(index * rows / chunks);
  };
  // Everything the threads share is allocated before the first one starts.
  std::vector<std::exception_ptr> failures(static_cast<size_t>(chunks));
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(chunks - 1));
  ThreadJoiner joiner(threads);
  for (int64_t index = 0; index + 1 < chunks; ++index) {
    // A thread that cannot start throws here; the joiner waits for the started ones and the
    // chunks not yet handed out never run.
    threads.emplace_back([&body, &failures, &chunkBegin, index] {
      try {
        body(chunkBegin(index), chunkBegin(index + 1));
      } catch (...) {
        failures[static_cast<size_t>(index)] = std::current_exception();
      }
    });
  }
  try {
    body(chunkBegin(chunks - 1), rows);
  } catch (...) {
    failures.back() = std::current_exception();
  }
  joiner.JoinAll();
  if (failures.back()) {
    std::rethrow_exception(failures.back());
  }
  for (const std::exception_ptr& failure : failures) {
    if (failure) {
      std::rethrow_exception(failure);
    }
  }
}

void ParallelChunks(int64_t chunks, unsigned int workers, const ChunkBody& body) {
  if (chunks < 1) {
    return;
  }
  const unsigned int count =
      static_cast<unsigned int>(std::max<int64_t>(1, std::min<int64_t>(chunks, workers)));
  // Everything the threads share is allocated before the first one starts.
  std::atomic<int64_t> next{0};
  std::atomic<bool> stop{false};
  std::vector<std::exception_ptr> failures(count);
  const auto work = [&body, &next, &stop, &failures, chunks](unsigned int worker) {
    try {
      while (!stop.load(std::memory_order_relaxed)) {
        const int64_t chunk = next.fetch_add(1, std::memory_order_relaxed);
        if (chunk >= chunks) {
          break;
        }
        body(chunk, worker);
      }
    } catch (...) {
      failures[worker] = std::current_exception();
      stop.store(true, std::memory_order_relaxed);
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(count - 1);
  ThreadJoiner joiner(threads);
  for (unsigned int worker = 1; worker < count; ++worker) {
    try {
      threads.emplace_back(work, worker);
    } catch (...) {
      // The started workers stop after their current chunk; the joiner waits for them.
      stop.store(true, std::memory_order_relaxed);
      throw;
    }
  }
  work(0);
  joiner.JoinAll();
  for (const std::exception_ptr& failure : failures) {
    if (failure) {
      std::rethrow_exception(failure);
    }
  }
}

}  // namespace zentri_native
