#include "core/vendor_sdk_executor.h"

namespace zentri_native {

VendorSdkExecutor::VendorSdkExecutor(std::string name, std::chrono::milliseconds idleInterval)
    : name_(std::move(name)), idleInterval_(idleInterval) {
  // Started last, once every member the loop reads is constructed.
  thread_ = std::thread([this] { Run(); });
}

VendorSdkExecutor::~VendorSdkExecutor() {
  Shutdown();
  // Only left joinable when the executor thread itself began the shutdown; it can no longer be
  // joined from anywhere, so it is let go rather than terminating the process.
  if (thread_.joinable()) {
    thread_.detach();
  }
}

bool VendorSdkExecutor::Enqueue(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      return false;
    }
    queue_.push_back(std::move(task));
  }
  condition_.notify_one();
  return true;
}

void VendorSdkExecutor::PostCoalesced(const std::string& key, std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || pendingKeys_.count(key) != 0) {
      return;
    }
    pendingKeys_.insert(key);
    queue_.push_back([this, key, task = std::move(task)] {
      try {
        task();
      } catch (...) {
        // Background jobs have nobody to report to; the key must be released all the same.
      }
      std::lock_guard<std::mutex> keyLock(mutex_);
      pendingKeys_.erase(key);
    });
  }
  condition_.notify_one();
}

void VendorSdkExecutor::SetIdleTask(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    idleTask_.swap(task);
  }
  condition_.notify_one();
  // The previous idle task is destroyed here, outside the lock.
}

void VendorSdkExecutor::Shutdown() {
  if (shutdownStarted_.exchange(true)) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  condition_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
    thread_.join();
  }
}

void VendorSdkExecutor::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const auto deadline = std::chrono::steady_clock::now() + idleInterval_;
    bool idleDue = false;
    while (queue_.empty()) {
      if (stopping_) {
        return;  // drained: nothing queued and nothing more accepted
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        idleDue = true;
        break;
      }
      condition_.wait_until(lock, deadline);
    }

    std::function<void()> work;
    if (idleDue) {
      work = idleTask_;
    } else {
      work = std::move(queue_.front());
      queue_.pop_front();
    }
    lock.unlock();
    if (work || !idleDue) {
      try {
        work();
      } catch (...) {
        // A failing task must not stop the loop; Invoke reports through its future instead.
      }
    }
    work = nullptr;  // captured state is released outside the lock
    lock.lock();
  }
}

}  // namespace zentri_native
