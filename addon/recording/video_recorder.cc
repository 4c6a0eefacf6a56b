#include "recording/video_recorder.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <system_error>
#include <utility>

namespace zentri_native {

namespace {

constexpr int64_t kTicksPerSecond = 10000000;

const char kNotAvailableMessage[] = "Video recording is not available on this platform";
const char kInvalidConfigurationMessage[] = "Invalid video recording configuration";
const char kNotSupportedMessage[] = "Video recording is not supported on this platform";
const char kStartTimedOutMessage[] = "Timed out while starting the video recorder";
const char kNoThreadMessage[] = "Could not start the video recorder thread";

// step >= 0. Capture times come from outside; the clock must not overflow on absurd values.
int64_t SaturatingAdd(int64_t value, int64_t step) {
  return value > std::numeric_limits<int64_t>::max() - step ? std::numeric_limits<int64_t>::max()
                                                            : value + step;
}

// Presentation times from capture times. The first timestamped frame is time 0 and later ones
// keep their distance to it; frames without a capture time follow one frame interval after the
// previous one. Consecutive times are at least kMinimumPtsStep apart, and a frame that does not
// move forward is placed one previous-frame duration later.
class PtsClock {
 public:
  explicit PtsClock(int32_t frameRate)
      : interval_(kTicksPerSecond / std::max<int32_t>(frameRate, 1)),
        lastDuration_(interval_),
        pts_(-interval_) {}

  int64_t Next(int64_t timestamp) {
    int64_t target;
    if (timestamp > 0) {
      if (origin_ >= 1) {
        target = timestamp - origin_;
      } else {
        origin_ = timestamp;
        target = 0;
      }
    } else {
      target = SaturatingAdd(pts_, interval_);
    }
    constexpr int64_t kStep = VideoRecorder::kMinimumPtsStep;
    if (target <= pts_) {
      pts_ = SaturatingAdd(pts_, std::max(lastDuration_, kStep));
    } else if (target < SaturatingAdd(pts_, kStep)) {
      pts_ = SaturatingAdd(pts_, kStep);
    } else {
      pts_ = target;
    }
    return pts_;
  }

  int64_t LastDuration() const { return lastDuration_; }
  void SetLastDuration(int64_t duration) { lastDuration_ = duration; }

 private:
  int64_t interval_;
  int64_t lastDuration_;
  int64_t pts_;
  int64_t origin_ = 0;
};

// A backend that throws must not take the process down with the worker thread: its exception
// becomes the operation's error message.
template <typename Call>
std::string CallBackend(Call&& call) {
  try {
    return call();
  } catch (const std::exception& error) {
    return std::string("The video encoder failed: ") + error.what();
  } catch (...) {
    return "The video encoder failed with an unknown error";
  }
}

struct Descriptors {
  std::string encoderName;
  std::string encoderAcceleration;
  std::string conversionBackend;
  std::string accelerationFallbackReason;
};

bool ValidConfiguration(const std::string& outputPath, int32_t width, int32_t height,
                        int32_t frameRate, int32_t bitrate) {
  return !outputPath.empty() && width >= 1 && width <= 8192 && height >= 1 && height <= 8192 &&
         width % 2 == 0 && height % 2 == 0 && frameRate >= 1 && frameRate <= 120 &&
         bitrate >= 100000 && bitrate <= 240000000;
}

}  // namespace

VideoRecorder::Backend::~Backend() = default;

std::string VideoRecorder::Backend::EncoderName() const {
  return std::string();
}

std::string VideoRecorder::Backend::EncoderAcceleration() const {
  return "unknown";
}

std::string VideoRecorder::Backend::ConversionBackend() const {
  return "cpu";
}

std::string VideoRecorder::Backend::AccelerationFallbackReason() const {
  return std::string();
}

VideoRecorder::VideoRecorder(Platform platform) : platform_(std::move(platform)) {
  bufferPool_.reserve(kBufferPoolCapacity);
}

VideoRecorder::~VideoRecorder() {
  Stop();
}

bool VideoRecorder::Available() const {
  return platform_.available && platform_.available();
}

std::unique_ptr<VideoRecorder::Backend> VideoRecorder::CreateBackend() const {
  if (!platform_.createBackend) {
    return nullptr;
  }
  return platform_.createBackend();
}

int32_t VideoRecorder::Start(const std::string& outputPath, int32_t width, int32_t height,
                             int32_t frameRate, int32_t bitrate) {
  ControlGate::Hold hold(control_);
  if (!Available()) {
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = kNotAvailableMessage;
    finalizeError_.clear();
    return -13;
  }
  StopUnderGate();
  if (!ValidConfiguration(outputPath, width, height, frameRate, bitrate)) {
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = kInvalidConfigurationMessage;
    finalizeError_.clear();
    state_ = RecorderState::Failed;
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    DiscardQueueAndPoolLocked();
    outputPath_ = outputPath;
    error_.clear();
    finalizeError_.clear();
    encoderName_.clear();
    accelerationFallbackReason_.clear();
    encoderAcceleration_ = "unknown";
    conversionBackend_ = "cpu";
    stopRequested_ = false;
    state_ = RecorderState::Starting;
    framesWritten_ = 0;
    framesDropped_ = 0;
    firstTimestamp_ = 0;
    lastTimestamp_ = 0;
    width_ = width;
    height_ = height;
    frameRate_ = frameRate;
    bitrate_ = bitrate;
  }
  try {
    worker_ = std::thread(&VideoRecorder::Run, this);
  } catch (const std::system_error&) {
    // Without a worker nothing would ever leave Starting.
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = kNoThreadMessage;
    state_ = RecorderState::Failed;
    return -3;
  }

  std::unique_lock<std::mutex> lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + platform_.startTimeout;
  wake_.wait_until(lock, deadline, [this] { return state_ != RecorderState::Starting; });
  if (state_ == RecorderState::Recording) {
    return 0;
  }
  if (state_ != RecorderState::Starting) {
    return -3;
  }
  stopRequested_ = true;
  error_ = kStartTimedOutMessage;
  state_ = RecorderState::Failed;
  lock.unlock();
  wake_.notify_all();
  worker_.join();
  return -2;
}

bool VideoRecorder::TryEnqueue(const uint8_t* pixels, size_t size, int32_t width, int32_t height,
                               int32_t format, int32_t planeCount, const int32_t* offsets,
                               const int32_t* strides, int64_t timestamp) {
  if (pixels == nullptr || size == 0) {
    return false;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (state_ != RecorderState::Recording || stopRequested_ || width != width_ ||
      height != height_) {
    return false;
  }
  if (queueSize_ >= kQueueCapacity) {
    ++framesDropped_;
    return false;
  }
  std::vector<uint8_t> buffer;
  if (!bufferPool_.empty()) {
    buffer = std::move(bufferPool_.back());
    bufferPool_.pop_back();
  }
  try {
    // Reuses the pooled buffer's capacity; a fresh buffer is exactly size bytes.
    buffer.assign(pixels, pixels + size);
  } catch (const std::bad_alloc&) {
    // No memory for the copy: the frame is lost like one that found the queue full.
    ++framesDropped_;
    return false;
  }
  Frame& slot = queue_[(queueHead_ + queueSize_) % kQueueCapacity];
  slot.data = std::move(buffer);
  slot.width = width;
  slot.height = height;
  slot.format = format;
  slot.planeCount = std::clamp<int32_t>(planeCount, 1, 3);
  for (size_t p = 0; p < 3; ++p) {
    slot.offsets[p] = offsets != nullptr ? offsets[p] : 0;
    slot.strides[p] = strides != nullptr ? strides[p] : 0;
  }
  slot.timestamp = timestamp;
  ++queueSize_;
  lock.unlock();
  wake_.notify_one();
  return true;
}

int32_t VideoRecorder::Stop() {
  ControlGate::Hold hold(control_);
  return StopUnderGate();
}

int32_t VideoRecorder::StopUnderGate() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (worker_.joinable()) {
      stopRequested_ = true;
      if (state_ == RecorderState::Starting || state_ == RecorderState::Recording) {
        state_ = RecorderState::Stopping;
      }
    }
  }
  wake_.notify_all();
  if (worker_.joinable()) {
    worker_.join();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  DiscardQueueAndPoolLocked();
  return finalizeError_.empty() ? 0 : -3;
}

bool VideoRecorder::IsRecording() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ == RecorderState::Recording && !stopRequested_;
}

VideoRecorder::Status VideoRecorder::GetStatus() const {
  Status status;
  // Evaluated outside the lock: on the platform this may load and probe the encoder libraries.
  status.available = Available();
  std::lock_guard<std::mutex> lock(mutex_);
  status.recording = state_ == RecorderState::Starting || state_ == RecorderState::Recording ||
                     state_ == RecorderState::Stopping;
  status.outputPath = outputPath_;
  status.error = error_;
  status.encoderName = encoderName_;
  status.encoderAcceleration = encoderAcceleration_;
  status.conversionBackend = conversionBackend_;
  status.accelerationFallbackReason = accelerationFallbackReason_;
  status.framesWritten = framesWritten_;
  status.framesDropped = framesDropped_;
  if (firstTimestamp_ > 0 && firstTimestamp_ <= lastTimestamp_) {
    status.durationMs = static_cast<uint64_t>(lastTimestamp_ - firstTimestamp_) / 10000;
  }
  status.width = width_;
  status.height = height_;
  status.frameRate = frameRate_;
  status.bitrate = bitrate_;
  return status;
}

void VideoRecorder::SetWorkerError(const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (error_.empty()) {
      error_ = message;
    }
    state_ = RecorderState::Failed;
    stopRequested_ = true;
  }
  wake_.notify_all();
}

void VideoRecorder::EndWithError(const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != RecorderState::Starting && state_ != RecorderState::Recording) {
      return;
    }
    if (error_.empty()) {
      error_ = message;
    }
    // Not Failed yet: the worker still encodes what is queued and finalizes; the error then
    // makes it end Failed.
    stopRequested_ = true;
    state_ = RecorderState::Stopping;
  }
  wake_.notify_all();
}

void VideoRecorder::Run() {
  std::unique_ptr<Backend> backend;
  std::string failure = CallBackend([&] {
    backend = CreateBackend();
    return std::string();
  });
  if (failure.empty() && !backend) {
    failure = kNotSupportedMessage;
  }
  if (!failure.empty()) {
    SetWorkerError(failure);
    return;
  }

  std::string outputPath;
  int32_t width, height, frameRate, bitrate;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    outputPath = outputPath_;
    width = width_;
    height = height_;
    frameRate = frameRate_;
    bitrate = bitrate_;
  }
  failure =
      CallBackend([&] { return backend->Start(outputPath, width, height, frameRate, bitrate); });
  if (!failure.empty()) {
    SetWorkerError(failure);
    return;
  }
  CopyDescriptors(*backend);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = stopRequested_ ? RecorderState::Stopping : RecorderState::Recording;
  }
  wake_.notify_all();

  RunWithBackend(*backend);

  const std::string finalizeResult = CallBackend([&] { return backend->Finalize(); });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!finalizeResult.empty()) {
      finalizeError_ = finalizeResult;
      if (error_.empty()) {
        error_ = finalizeResult;
      }
    }
    stopRequested_ = false;
    state_ = error_.empty() ? RecorderState::Idle : RecorderState::Failed;
  }
  wake_.notify_all();
  backend.reset();
}

// The one-frame hold-back: a frame is encoded only once its successor's presentation time is
// known, so every frame gets its exact duration; the last one reuses the previous duration.
void VideoRecorder::RunWithBackend(Backend& backend) {
  int32_t frameRate;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    frameRate = frameRate_;
  }
  PtsClock clock(frameRate);
  Frame pending;
  bool hasPending = false;
  int64_t pendingPts = 0;

  for (;;) {
    Frame current;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return queueSize_ > 0 || stopRequested_; });
      if (queueSize_ == 0) {
        break;  // stop requested and everything queued before it has been taken
      }
      Frame& slot = queue_[queueHead_];
      current = std::move(slot);
      slot = Frame();
      queueHead_ = (queueHead_ + 1) % kQueueCapacity;
      --queueSize_;
    }
    const int64_t pts = clock.Next(current.timestamp);
    if (hasPending) {
      const int64_t duration = std::max(pts - pendingPts, kMinimumPtsStep);
      clock.SetLastDuration(duration);
      if (!EncodeOne(backend, pending, pendingPts, duration)) {
        return;  // the failed frame and the current one are freed; nothing more is encoded
      }
      RecycleBuffer(std::move(pending.data));
    }
    pending = std::move(current);
    pendingPts = pts;
    hasPending = true;
  }
  if (hasPending) {
    EncodeOne(backend, pending, pendingPts, clock.LastDuration());
  }
}

bool VideoRecorder::EncodeOne(Backend& backend, const Frame& frame, int64_t pts, int64_t duration) {
  const std::string result =
      CallBackend([&] { return backend.EncodeFrame(frame, pts, std::max<int64_t>(duration, 1)); });
  if (!result.empty()) {
    SetWorkerError(result);
    return false;
  }
  // A backend can switch encoders during a recording: its descriptors are read after each frame.
  CopyDescriptors(backend);
  std::lock_guard<std::mutex> lock(mutex_);
  ++framesWritten_;
  if (firstTimestamp_ < 1) {
    firstTimestamp_ = frame.timestamp;
  }
  lastTimestamp_ = std::max(lastTimestamp_, frame.timestamp);
  return true;
}

// The backend is called outside the lock; only the copies are stored under it.
void VideoRecorder::CopyDescriptors(const Backend& backend) {
  Descriptors descriptors;
  const std::string failure = CallBackend([&] {
    descriptors.encoderName = backend.EncoderName();
    descriptors.encoderAcceleration = backend.EncoderAcceleration();
    descriptors.conversionBackend = backend.ConversionBackend();
    descriptors.accelerationFallbackReason = backend.AccelerationFallbackReason();
    return std::string();
  });
  if (!failure.empty()) {
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  encoderName_.swap(descriptors.encoderName);
  encoderAcceleration_.swap(descriptors.encoderAcceleration);
  conversionBackend_.swap(descriptors.conversionBackend);
  accelerationFallbackReason_.swap(descriptors.accelerationFallbackReason);
}

void VideoRecorder::RecycleBuffer(std::vector<uint8_t>&& buffer) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (bufferPool_.size() < kBufferPoolCapacity) {
    bufferPool_.push_back(std::move(buffer));
  }
}

void VideoRecorder::DiscardQueueAndPoolLocked() {
  for (Frame& frame : queue_) {
    frame = Frame();
  }
  queueHead_ = 0;
  queueSize_ = 0;
  bufferPool_.clear();  // keeps its capacity: returning a buffer never allocates
}

}  // namespace zentri_native
