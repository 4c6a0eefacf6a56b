#include "core/vendor_sdk_executor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/last_error.h"

namespace zentri_native {
namespace {

using namespace std::chrono_literals;

// Long enough that a loaded machine (or a sanitizer build) never turns a pass into a failure.
constexpr auto kGenerous = 10s;

// Holds the executor thread inside a task until the test opens it.
class Gate {
 public:
  Gate() : opened_(open_.get_future().share()) {}
  std::function<void()> Task() {
    return [this, opened = opened_] {
      entered_.set_value();
      opened.wait();
    };
  }
  void WaitEntered() {
    ASSERT_EQ(entered_.get_future().wait_for(kGenerous), std::future_status::ready);
  }
  void Open() { open_.set_value(); }

 private:
  std::promise<void> entered_;
  std::promise<void> open_;
  std::shared_future<void> opened_;
};

// Waits until everything submitted before it has run.
void Drain(VendorSdkExecutor& executor) {
  ASSERT_TRUE(executor.InvokeVoid([] {}, kGenerous)) << GetLastErrorString();
}

TEST(VendorSdkExecutor, RunsTasksInOrderOnItsOwnThread) {
  VendorSdkExecutor executor("Test", 10ms);
  std::mutex mutex;
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(executor.Enqueue([&, i] {
      std::lock_guard<std::mutex> lock(mutex);
      order.push_back(i);
      threads.push_back(std::this_thread::get_id());
    }));
  }
  Drain(executor);
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(order.size(), 20u);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(order[i], i);
    EXPECT_EQ(threads[i], threads[0]);
  }
  EXPECT_NE(threads[0], std::this_thread::get_id());
}

TEST(VendorSdkExecutor, CoalescesPostsQueuedBeforeTheyRun) {
  VendorSdkExecutor executor("Test", 10ms);
  Gate gate;
  ASSERT_TRUE(executor.Enqueue(gate.Task()));
  gate.WaitEntered();

  std::atomic<int> amr{0};
  std::atomic<int> fov{0};
  executor.PostCoalesced("amr", [&] { ++amr; });
  executor.PostCoalesced("amr", [&] { amr += 100; });  // same key still queued: dropped
  executor.PostCoalesced("fov", [&] { ++fov; });       // other key: kept
  gate.Open();
  Drain(executor);
  EXPECT_EQ(amr.load(), 1);
  EXPECT_EQ(fov.load(), 1);

  // Once the job has finished the key is free again.
  executor.PostCoalesced("amr", [&] { ++amr; });
  Drain(executor);
  EXPECT_EQ(amr.load(), 2);
}

TEST(VendorSdkExecutor, RunningJobSuppressesItsKeyUntilItFinishes) {
  VendorSdkExecutor executor("Test", 10ms);
  Gate gate;
  std::atomic<int> runs{0};
  executor.PostCoalesced("microtouch", [&, task = gate.Task()] {
    task();
    ++runs;
  });
  gate.WaitEntered();
  executor.PostCoalesced("microtouch", [&] { runs += 100; });
  gate.Open();
  Drain(executor);
  EXPECT_EQ(runs.load(), 1);

  executor.PostCoalesced("microtouch", [&] { ++runs; });
  Drain(executor);
  EXPECT_EQ(runs.load(), 2);
}

TEST(VendorSdkExecutor, FailingTasksNeitherStopTheLoopNorHoldTheirKey) {
  VendorSdkExecutor executor("Test", 10ms);
  ASSERT_TRUE(executor.Enqueue([] { throw std::runtime_error("enqueued"); }));
  ASSERT_TRUE(executor.Enqueue([] { throw 42; }));
  ASSERT_TRUE(executor.Enqueue(std::function<void()>()));  // calling it throws bad_function_call
  executor.PostCoalesced("key", [] { throw std::runtime_error("coalesced"); });
  executor.PostCoalesced("empty", std::function<void()>());
  Drain(executor);

  std::atomic<int> runs{0};
  executor.PostCoalesced("key", [&] { ++runs; });
  executor.PostCoalesced("empty", [&] { ++runs; });
  Drain(executor);
  EXPECT_EQ(runs.load(), 2);
}

TEST(VendorSdkExecutor, InvokeReturnsResultsAndReportsExceptions) {
  VendorSdkExecutor executor("Dino-Lite", 10ms);
  SetLastError("untouched");
  std::optional<int> value = executor.Invoke([] { return 41 + 1; }, kGenerous);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value, 42);
  EXPECT_EQ(GetLastErrorString(), "untouched");  // success records nothing

  // Move-only results and captures work.
  auto owned = std::make_unique<std::string>("moved");
  auto text = executor.Invoke([owned = std::move(owned)] { return *owned; }, kGenerous);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, "moved");

  EXPECT_FALSE(executor.Invoke([]() -> int { throw std::runtime_error("boom"); }, kGenerous));
  EXPECT_EQ(GetLastErrorString(), "Dino-Lite SDK call failed: boom");
  EXPECT_FALSE(executor.Invoke([]() -> bool { throw 7; }, kGenerous));
  EXPECT_EQ(GetLastErrorString(), "Dino-Lite SDK call failed with an unknown error");

  EXPECT_TRUE(executor.InvokeVoid([] {}, kGenerous));
  EXPECT_FALSE(executor.InvokeVoid([] { throw std::logic_error("void boom"); }, kGenerous));
  EXPECT_EQ(GetLastErrorString(), "Dino-Lite SDK call failed: void boom");
  EXPECT_FALSE(executor.InvokeVoid([] { throw "text"; }, kGenerous));
  EXPECT_EQ(GetLastErrorString(), "Dino-Lite SDK call failed with an unknown error");
}

TEST(VendorSdkExecutor, TimedOutCallKeepsRunningAndLaterCallsRecover) {
  VendorSdkExecutor executor("Zentri", 10ms);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto finished = std::make_shared<std::atomic<bool>>(false);

  const auto start = std::chrono::steady_clock::now();
  std::optional<int> hung = executor.Invoke(
      [released, finished] {
        released.wait();
        finished->store(true);
        return 1;
      },
      100ms);
  EXPECT_FALSE(hung.has_value());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_EQ(GetLastErrorString(), "Zentri SDK call timed out");

  // A call queued behind the hung one times out in turn.
  EXPECT_FALSE(executor.InvokeVoid([] {}, 50ms));
  EXPECT_EQ(GetLastErrorString(), "Zentri SDK call timed out");
  EXPECT_FALSE(finished->load());

  // Once the hung call returns, the executor carries on; the late result is discarded.
  release.set_value();
  std::optional<int> next = executor.Invoke([] { return 7; }, kGenerous);
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(*next, 7);
  EXPECT_TRUE(finished->load());
}

TEST(VendorSdkExecutor, IdleTaskRunsOnlyAfterAQuietInterval) {
  // Quiet executor: the idle task runs, on the executor thread.
  {
    VendorSdkExecutor executor("Test", 10ms);
    std::promise<std::thread::id> ran;
    std::atomic<bool> first{true};
    executor.SetIdleTask([&] {
      if (first.exchange(false)) {
        ran.set_value(std::this_thread::get_id());
      }
    });
    auto idleThread = ran.get_future();
    ASSERT_EQ(idleThread.wait_for(kGenerous), std::future_status::ready);
    std::thread::id taskThread;
    executor.InvokeVoid([&] { taskThread = std::this_thread::get_id(); }, kGenerous);
    EXPECT_EQ(idleThread.get(), taskThread);

    // An empty function removes the idle task.
    std::atomic<int> idleRuns{0};
    executor.SetIdleTask([&] { ++idleRuns; });
    const auto deadline = std::chrono::steady_clock::now() + kGenerous;
    while (idleRuns.load() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    ASSERT_GT(idleRuns.load(), 0);
    executor.SetIdleTask(nullptr);
    Drain(executor);  // an idle run that had already started has finished
    const int seen = idleRuns.load();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(idleRuns.load(), seen);
  }

  // Busy executor: work arriving well inside the interval keeps the idle task from running, and
  // it never overlaps a task. The interval is long so a slow machine cannot fake a quiet spell.
  {
    VendorSdkExecutor executor("Test", 500ms);
    std::atomic<int> idleRuns{0};
    std::atomic<bool> inTask{false};
    std::atomic<bool> overlapped{false};
    executor.SetIdleTask([&] {
      ++idleRuns;
      if (inTask.load()) {
        overlapped = true;
      }
    });
    const auto end = std::chrono::steady_clock::now() + 1s;
    while (std::chrono::steady_clock::now() < end) {
      executor.Enqueue([&] {
        inTask = true;
        std::this_thread::sleep_for(1ms);
        inTask = false;
      });
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(idleRuns.load(), 0);
    EXPECT_FALSE(overlapped.load());
  }
}

TEST(VendorSdkExecutor, IdleTaskExceptionsAreDropped) {
  VendorSdkExecutor executor("Test", 5ms);
  std::atomic<int> runs{0};
  executor.SetIdleTask([&] {
    ++runs;
    throw std::runtime_error("idle");
  });
  const auto deadline = std::chrono::steady_clock::now() + kGenerous;
  while (runs.load() < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_GE(runs.load(), 3);
  Drain(executor);
}

TEST(VendorSdkExecutor, ShutdownDrainsQueuedWorkAndRefusesNewWork) {
  std::vector<int> ran;  // written by the executor thread only, read after the join
  {
    VendorSdkExecutor executor("Dino-Lite", 10ms);
    ASSERT_TRUE(executor.Enqueue([] { std::this_thread::sleep_for(50ms); }));
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(executor.Enqueue([&ran, i] { ran.push_back(i); }));
    }
    executor.PostCoalesced("last", [&ran] { ran.push_back(3); });
  }  // destructor: drain, then join
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3}));

  VendorSdkExecutor executor("Dino-Lite", 10ms);
  std::atomic<int> runs{0};
  executor.Shutdown();
  executor.Shutdown();  // idempotent
  EXPECT_FALSE(executor.Enqueue([&] { ++runs; }));
  executor.PostCoalesced("key", [&] { ++runs; });
  SetLastError("");
  EXPECT_FALSE(executor.Invoke([] { return 1; }, kGenerous).has_value());
  EXPECT_EQ(GetLastErrorString(), "Dino-Lite SDK worker is shutting down");
  EXPECT_FALSE(executor.InvokeVoid([] {}, kGenerous));
  EXPECT_EQ(runs.load(), 0);
}

TEST(VendorSdkExecutor, ShutdownWaitsForARunningCallAbandonedByItsCaller) {
  auto finished = std::make_shared<std::atomic<bool>>(false);
  {
    VendorSdkExecutor executor("Test", 10ms);
    EXPECT_FALSE(executor.InvokeVoid(
        [finished] {
          std::this_thread::sleep_for(200ms);
          finished->store(true);
        },
        10ms));
  }
  EXPECT_TRUE(finished->load());
}

TEST(VendorSdkExecutor, ManyThreadsSubmitConcurrently) {
  VendorSdkExecutor executor("Test", 1ms);
  std::atomic<int> idleRuns{0};
  executor.SetIdleTask([&] { ++idleRuns; });
  std::atomic<int> sum{0};
  std::atomic<int> coalesced{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        auto value = executor.Invoke([i] { return i; }, kGenerous);
        ASSERT_TRUE(value.has_value());
        sum += *value;
        executor.PostCoalesced(std::to_string(t % 2), [&] { ++coalesced; });
        executor.Enqueue([] {});
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  Drain(executor);
  EXPECT_EQ(sum.load(), 4 * (199 * 200 / 2));
  EXPECT_GE(coalesced.load(), 1);
  EXPECT_LE(coalesced.load(), 4 * 200);
}

}  // namespace
}  // namespace zentri_native
