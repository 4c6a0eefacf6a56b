// The queued video recorder: producers on any thread push raw frames with TryEnqueue, which only
// copies them into a bounded queue; one worker thread per recording gives every frame a
// presentation time derived from its capture time and feeds an encoder backend.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/control_gate.h"

namespace zentri_native {

enum class RecorderState : int32_t {
  Idle = 0,
  Starting = 1,
  Recording = 2,
  Stopping = 3,
  Failed = 4,
};

class VideoRecorder {
 public:
  // One frame queued for encoding. Plane p, row r starts at offsets[p] + r * strides[p] of data.
  struct Frame {
    std::vector<uint8_t> data;
    int32_t width = 0;
    int32_t height = 0;
    int32_t format = 0;  // VideoPixelFormat
    int32_t planeCount = 1;
    std::array<int32_t, 3> offsets{};
    std::array<int32_t, 3> strides{};
    // Capture time in 100-ns ticks of a monotonic clock; 0 or negative: no capture time.
    int64_t timestamp = 0;
  };

  struct Status {
    bool available = false;
    bool recording = false;
    std::string outputPath;
    std::string error;
    std::string encoderName;
    std::string encoderAcceleration = "unknown";
    std::string conversionBackend = "cpu";
    std::string accelerationFallbackReason;
    uint64_t framesWritten = 0;
    uint64_t framesDropped = 0;
    uint64_t durationMs = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t frameRate = 0;
    int32_t bitrate = 0;
  };

  // An encoder that writes one file. Used by the worker thread only; every operation returns an
  // empty string on success and the error message otherwise. Times are 100-ns ticks.
  class Backend {
   public:
    virtual ~Backend();
    virtual std::string Start(const std::string& outputPath, int32_t width, int32_t height,
                              int32_t frameRate, int32_t bitrate) = 0;
    virtual std::string EncodeFrame(const Frame& frame, int64_t pts, int64_t duration) = 0;
    virtual std::string Finalize() = 0;
    virtual std::string EncoderName() const;
    virtual std::string EncoderAcceleration() const;
    virtual std::string ConversionBackend() const;
    virtual std::string AccelerationFallbackReason() const;
  };

  // What the recorder needs from the platform: whether it can record at all, and a new encoder
  // backend for each recording (null when the platform has none). The owner of a recorder passes
  // the platform's functions; tests pass their own backends.
  struct Platform {
    std::function<bool()> available;
    std::function<std::unique_ptr<Backend>()> createBackend;
    // How long Start waits for the backend to start before giving up.
    std::chrono::milliseconds startTimeout{10000};
  };

  static constexpr size_t kQueueCapacity = 6;
  static constexpr size_t kBufferPoolCapacity = 8;
  // Smallest step between two presentation times, in 100-ns ticks (11.2 us): keeps consecutive
  // frames apart after rescaling to the encoder's 1/90000 time base.
  static constexpr int64_t kMinimumPtsStep = 112;

  // Every member may be called from any thread. Start and Stop take turns through a control
  // gate, so two script threads (or an exit handler and a script thread) starting and stopping
  // at once end and join each recording exactly once.
  explicit VideoRecorder(Platform platform);
  ~VideoRecorder();
  VideoRecorder(const VideoRecorder&) = delete;
  VideoRecorder& operator=(const VideoRecorder&) = delete;

  bool Available() const;
  std::unique_ptr<Backend> CreateBackend() const;

  // 0 started; -1 invalid configuration; -2 start timed out; -3 the backend failed to start
  // (message in the status error); -13 recording not available.
  int32_t Start(const std::string& outputPath, int32_t width, int32_t height, int32_t frameRate,
                int32_t bitrate);
  // Copies the frame into the queue. False when the frame is refused: nothing to copy, not
  // recording, a size other than the recording's, or the queue is full (counted as dropped).
  // offsets and strides each point to three values or are null (zeros).
  bool TryEnqueue(const uint8_t* pixels, size_t size, int32_t width, int32_t height, int32_t format,
                  int32_t planeCount, const int32_t* offsets, const int32_t* strides,
                  int64_t timestamp);
  // Ends the recording: encodes every queued frame, finalizes the file and joins the worker.
  // 0, or -3 when the last finalize failed.
  int32_t Stop();
  bool IsRecording() const;
  Status GetStatus() const;
  // Worker thread only: records the first error and ends the recording.
  void SetWorkerError(const std::string& message);
  // The frames' source failed (the camera went away): a running recording ends with message as
  // its error, after the frames already queued are encoded and the file is finalized. Stop then
  // joins it as usual. Nothing happens when no recording runs.
  void EndWithError(const std::string& message);

 private:
  int32_t StopUnderGate();
  void Run();
  void RunWithBackend(Backend& backend);
  bool EncodeOne(Backend& backend, const Frame& frame, int64_t pts, int64_t duration);
  void CopyDescriptors(const Backend& backend);
  void RecycleBuffer(std::vector<uint8_t>&& buffer);
  void DiscardQueueAndPoolLocked();

  const Platform platform_;
  ControlGate control_;  // Start and the stop operations take turns through it

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  // Fixed ring of queued frames: steady-state recording moves buffers between the ring, the
  // worker and the pool without allocating.
  std::array<Frame, kQueueCapacity> queue_;
  size_t queueHead_ = 0;
  size_t queueSize_ = 0;
  std::vector<std::vector<uint8_t>> bufferPool_;
  std::thread worker_;

  RecorderState state_ = RecorderState::Idle;
  bool stopRequested_ = false;
  std::string outputPath_;
  std::string error_;
  std::string finalizeError_;
  std::string encoderName_;
  std::string encoderAcceleration_ = "unknown";
  std::string conversionBackend_ = "cpu";
  std::string accelerationFallbackReason_;
  uint64_t framesWritten_ = 0;
  uint64_t framesDropped_ = 0;
  int64_t firstTimestamp_ = 0;
  int64_t lastTimestamp_ = 0;
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t frameRate_ = 0;
  int32_t bitrate_ = 0;
};

}  // namespace zentri_native
