// One dedicated thread per vendor library. Vendor SDKs are not thread-safe, block for seconds and
// some must be called from the thread that initialised them, so every call into one goes through
// its executor, in submission order. Callers wait with a time-out: a hung device costs them a
// bounded wait and a message in the last-error slot, never a frozen script thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_set>
#include <utility>

#include "core/last_error.h"

namespace zentri_native {

class VendorSdkExecutor {
 public:
  // Starts the thread at once. `name` prefixes every error text ("Dino-Lite", "Zentri").
  VendorSdkExecutor(std::string name, std::chrono::milliseconds idleInterval);
  // Shuts down: drains the queue, then joins the thread.
  ~VendorSdkExecutor();

  VendorSdkExecutor(const VendorSdkExecutor&) = delete;
  VendorSdkExecutor& operator=(const VendorSdkExecutor&) = delete;
  VendorSdkExecutor(VendorSdkExecutor&&) = delete;
  VendorSdkExecutor& operator=(VendorSdkExecutor&&) = delete;

  // Appends a task; false (the task is dropped) once shutdown has begun. Exceptions that the task
  // throws are dropped.
  bool Enqueue(std::function<void()> task);

  // Fire-and-forget with de-duplication: dropped while a job with the same key is queued or
  // running. The key is released when the job has finished, so a later post is accepted again.
  void PostCoalesced(const std::string& key, std::function<void()> task);

  // Runs `task` on the executor thread whenever no work has arrived for one idle interval. Replaces
  // the earlier idle task; an empty function removes it.
  void SetIdleTask(std::function<void()> task);

  // Stops accepting work, lets the thread drain the queue, and joins it. Runs once; later calls
  // return at once. Must not be called from the executor thread itself.
  void Shutdown();

  const std::string& name() const { return name_; }

  // Runs fn on the executor thread and waits at most `timeout` for its result. Empty on failure,
  // with "<name> SDK call timed out", "<name> SDK worker is shutting down" or "<name> SDK call
  // failed..." in the last-error slot. A timed-out call is not cancelled: it still runs, and its
  // result is discarded. Never call from the executor thread (it would wait on itself).
  template <typename F>
  std::optional<std::invoke_result_t<F&>> Invoke(F fn, std::chrono::milliseconds timeout) {
    using Result = std::invoke_result_t<F&>;
    static_assert(!std::is_void_v<Result>, "use InvokeVoid for functions without a result");
    static_assert(!std::is_reference_v<Result>, "Invoke returns results by value");
    return Call<Result>(std::move(fn), timeout);
  }

  // The same for a function without a result: true when it ran to completion within the time-out.
  template <typename F>
  bool InvokeVoid(F fn, std::chrono::milliseconds timeout) {
    return Call<bool>(
               [fn = std::move(fn)]() mutable {
                 fn();
                 return true;
               },
               timeout)
        .has_value();
  }

 private:
  template <typename Value>
  struct Outcome {
    std::optional<Value> value;
    std::string failure;  // the last-error text when value is empty
  };

  // The queued function and the caller share the promise, so a caller that gave up leaves
  // everything the late call needs alive; its outcome is then dropped with the promise.
  // Exceptions are turned into text on the executor thread: only plain values cross threads.
  template <typename Value, typename F>
  std::optional<Value> Call(F fn, std::chrono::milliseconds timeout) {
    auto promise = std::make_shared<std::promise<Outcome<Value>>>();
    std::future<Outcome<Value>> future = promise->get_future();
    // std::function needs a copyable target; fn itself may be move-only.
    auto shared = std::make_shared<F>(std::move(fn));
    const bool queued = Enqueue([this, promise, shared] {
      Outcome<Value> outcome;
      try {
        outcome.value.emplace((*shared)());
      } catch (const std::exception& error) {
        outcome.failure = name_ + " SDK call failed: " + error.what();
      } catch (...) {
        outcome.failure = name_ + " SDK call failed with an unknown error";
      }
      promise->set_value(std::move(outcome));
    });
    if (!queued) {
      SetLastError(name_ + " SDK worker is shutting down");
      return std::nullopt;
    }
    if (future.wait_for(timeout) != std::future_status::ready) {
      SetLastError(name_ + " SDK call timed out");
      return std::nullopt;
    }
    Outcome<Value> outcome = future.get();
    if (!outcome.value.has_value()) {
      SetLastError(outcome.failure);
    }
    return std::move(outcome.value);
  }

  void Run();

  std::string name_;
  std::chrono::milliseconds idleInterval_;
  std::mutex mutex_;
  std::condition_variable condition_;
  std::deque<std::function<void()>> queue_;
  std::unordered_set<std::string> pendingKeys_;
  std::function<void()> idleTask_;
  bool stopping_ = false;
  std::atomic<bool> shutdownStarted_{false};
  std::thread thread_;
};

}  // namespace zentri_native
