#pragma once

#include <condition_variable>
#include <mutex>

namespace zentri_native {

// Lets the start and stop operations of an object that owns a thread take turns, when script
// threads (the main thread and worker threads) call them at once. It is not a mutex held across
// the join: its own mutex is held only to mark the gate taken or free, so the owned thread (which
// never uses the gate), producers and status readers are never blocked by it.
class ControlGate {
 public:
  class Hold {
   public:
    explicit Hold(ControlGate& gate) : gate_(gate) {
      std::unique_lock<std::mutex> lock(gate_.mutex_);
      gate_.free_.wait(lock, [this] { return !gate_.taken_; });
      gate_.taken_ = true;
    }
    ~Hold() {
      {
        std::lock_guard<std::mutex> lock(gate_.mutex_);
        gate_.taken_ = false;
      }
      gate_.free_.notify_one();
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    ControlGate& gate_;
  };

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  bool taken_ = false;
};

}  // namespace zentri_native
