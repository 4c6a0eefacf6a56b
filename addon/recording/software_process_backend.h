// The libx264 encoder never runs inside the addon: this backend spawns the encworker program
// from the addon's own directory and streams every frame to it over a private socket pair. The
// worker owns the output file; this object owns the socket and the child process, and the child
// never outlives it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>

#include "recording/encoder_protocol.h"
#include "recording/video_recorder.h"

namespace zentri_native {

// Whether a worker process is getting anywhere: it used processor time since the last look, is
// runnable, or waits for the disk. A stopped worker, or one asleep on anything else (a lock, a
// socket), is not. Read from /proc; without it nothing counts as progress.
class WorkerProgress {
 public:
  explicit WorkerProgress(pid_t pid);
  bool Advanced();

 private:
  bool Sample(uint64_t* cpuTicks, char* state = nullptr) const;

  pid_t pid_;
  uint64_t cpuTicks_ = 0;
};

struct WorkerWaitLimits {
  std::chrono::milliseconds stall;  // longest time without progress
  std::chrono::milliseconds total;  // longest time in all
};

// A wait for the worker pid within the limits.
EncoderWait WorkerWait(pid_t pid, WorkerWaitLimits limits);

class SoftwareProcessBackend : public VideoRecorder::Backend {
 public:
  // workerPath empty: "encworker" beside the file that holds this code.
  explicit SoftwareProcessBackend(std::string workerPath = {});
  ~SoftwareProcessBackend() override;
  SoftwareProcessBackend(const SoftwareProcessBackend&) = delete;
  SoftwareProcessBackend& operator=(const SoftwareProcessBackend&) = delete;

  std::string Start(const std::string& outputPath, int32_t width, int32_t height, int32_t frameRate,
                    int32_t bitrate) override;
  std::string EncodeFrame(const VideoRecorder::Frame& frame, int64_t pts,
                          int64_t duration) override;
  std::string Finalize() override;
  std::string EncoderName() const override { return "libx264"; }
  std::string EncoderAcceleration() const override { return "software"; }

  // The worker's process id while one runs, else -1 (for tests).
  pid_t ChildPid() const { return childPid_; }

 private:
  void CloseSocket();
  // Kills the worker if it still runs and collects it.
  void StopChild();
  // Closes the connection and lets the worker finish its file before it is collected (or
  // stopped, when it makes no progress).
  void LetChildFinish();
  void Collected(int status);

  std::string workerPath_;
  std::string outputPath_;
  int socketFd_ = -1;
  pid_t childPid_ = -1;
};

std::unique_ptr<VideoRecorder::Backend> CreateLinuxSoftwareProcessBackend();

// Where the worker program is expected: the directory of the file that holds this code, with
// its trailing "/", followed by "encworker"; empty when that directory cannot be determined.
std::string DefaultEncoderWorkerPath();

}  // namespace zentri_native
