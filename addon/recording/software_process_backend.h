// The libx264 encoder never runs inside the addon: this backend spawns the encworker program
// from the addon's own directory and streams every frame to it over a private socket pair. The
// worker owns the output file; this object owns the socket and the child process, and the child
// never outlives it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "recording/video_recorder.h"

namespace zentri_native {

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
  void StopChild();

  std::string workerPath_;
  int socketFd_ = -1;
  pid_t childPid_ = -1;
};

std::unique_ptr<VideoRecorder::Backend> CreateLinuxSoftwareProcessBackend();

// Where the worker program is expected: the directory of the file that holds this code, with
// its trailing "/", followed by "encworker"; empty when that directory cannot be determined.
std::string DefaultEncoderWorkerPath();

}  // namespace zentri_native
