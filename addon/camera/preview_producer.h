// CameraPreviewProducer: a thread that polls one camera at a fixed rate, decimates each new frame
// into one of three RGBA slots and publishes it without a lock, keeps a full-resolution quality
// copy every 500 ms, and offers every frame to the camera recorder. Between quality copies the
// slot is decimated from the capture library's own frame while the library lends it (where the
// library can), so the frame is not copied on those ticks. No Node-API here: the script
// functions (preview_functions.cc) and the unit tests drive it directly.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "camera/camera_binding.h"
#include "camera/decimation.h"
#include "core/control_gate.h"

namespace zentri_native {

class VideoRecorder;

// Result codes of the preview functions (the others are in camera_binding.h).
constexpr int kPreviewNoPreview = -1;
constexpr int kPreviewStopped = -5;
// The capture library's answer when the frame's geometry changed since the caller sized for it.
constexpr int kGeometryChanged = -7;

class CameraPreviewProducer {
 public:
  // Layout and statistics of the frame in one slot.
  struct PreviewMeta {
    uint64_t sequence = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t bytesPerRow = 0;
    int32_t dataSize = 0;
    int32_t sourceWidth = 0;
    int32_t sourceHeight = 0;
    int32_t sourceBytesPerRow = 0;
    int64_t timestampMs = 0;  // wall clock at publication
    int64_t timestamp = 0;    // steady clock, 100-ns ticks (the recorder's unit)
    int32_t pixelFormat = 5;  // VideoPixelFormat: always rgba here
    int32_t planeCount = 1;
    std::array<int32_t, 3> planeOffsets{};
    std::array<int32_t, 3> planeStrides{};
  };

  struct Statistics {
    uint64_t producedSequence = 0;
    int32_t droppedFrames = 0;
    int32_t lastResult = kPreviewStopped;
    int32_t producerRate = 0;  // frames per second x 10
    uint64_t producedFrames = 0;
  };

  // What GetLatest found. result 0: meta describes the frame copied to the destination.
  // Otherwise sequence is the one the statistics tail reports.
  struct Latest {
    int result = kPreviewNoPreview;
    uint64_t sequence = 0;
    PreviewMeta meta;
    Statistics statistics;
  };

  // The quality frame as GetQualityFrame hands it out, valid during the callback only.
  struct QualityFrameView {
    const uint8_t* data = nullptr;
    uint64_t sequence = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t bytesPerRow = 0;
    int32_t dataSize = 0;
    int64_t timestampMs = 0;
    bool fourBytesPerPixel = false;
  };

  struct EncodedFrameView {
    const uint8_t* data = nullptr;
    size_t size = 0;
    uint64_t sequence = 0;
    int32_t width = 0;
    int32_t height = 0;
    int64_t timestampMs = 0;
  };

  static constexpr int64_t kQualityRefreshNs = 500000000;
  static constexpr int kPublishAttempts = 4;

  // The producer reads the camera through binding and offers frames to recorder (may be null).
  // Both must outlive the producer. The binding may be loaded while a producer runs: the producer
  // sees the library from its next call on.
  CameraPreviewProducer(const CameraBinding& binding, VideoRecorder* recorder);
  ~CameraPreviewProducer();
  CameraPreviewProducer(const CameraPreviewProducer&) = delete;
  CameraPreviewProducer& operator=(const CameraPreviewProducer&) = delete;

  // Frame interval for a requested rate: 1 s for fps below 1, 1e9 / fps ns up to 120, and
  // 8,333,333 ns above.
  static int64_t FrameIntervalForFps(int fps);

  // Stops any running producer and starts one for device. maxWidth and maxHeight below 1 count
  // as 1. Returns 0, or kCameraSizeInvalid when the three slots of maxWidth x maxHeight x 4
  // bytes cannot be allocated: then nothing has changed, a running preview goes on. Start and the
  // stop operations may be called from several script threads (worker threads load the addon
  // too): they take turns through the control gate.
  int Start(int device, int maxWidth, int maxHeight, int64_t frameIntervalNs);
  // Clears the run flag and moves the generation on; the thread leaves at its next check.
  void RequestStop();
  // Joins a thread that was asked to stop, then resets the slots' indices, the counters and the
  // quality frame. Dropped frames keep their value until the next start. A producer that another
  // script thread started after the stop request is left running.
  void JoinAndReset();
  void Stop();

  bool IsRunning() const { return running_.load(std::memory_order_relaxed); }
  int DeviceIndex() const { return deviceIndex_.load(std::memory_order_relaxed); }
  Statistics GetStatistics() const;

  // The newest published frame for device index when its sequence is above lastSequence: its
  // dataSize bytes are copied to destination(dataSize), which may throw (nothing is then
  // returned, and the slot is released). Any thread may read; readers take turns.
  Latest GetLatest(int index, uint64_t lastSequence,
                   const std::function<uint8_t*(size_t)>& destination);

  // Calls deliver under the quality-frame lock when the producer runs for index and holds a
  // quality frame newer than lastSequence; returns whether it did. *currentSequence receives
  // the quality frame's sequence either way.
  bool GetQualityFrame(int index, uint64_t lastSequence,
                       const std::function<void(const QualityFrameView&)>& deliver,
                       uint64_t* currentSequence);

  // The compressed-frame store. Only a direct-delivery capture stack fills it, and this platform
  // has none, so it stays empty; the reader is kept for the script interface.
  bool GetEncodedFrame(int index, const std::function<void(const EncodedFrameView&)>& deliver);

  // CPU time used so far by the running producer thread, for measurements. False when none runs.
  bool ThreadCpuTimeNs(int64_t* ns) const;

 private:
  struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  using SlotMemory = std::unique_ptr<uint8_t, FreeDeleter>;

  struct QualityFrame {
    std::vector<uint8_t> bytes;
    uint64_t sequence = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t bytesPerRow = 0;
    int32_t dataSize = 0;
    int64_t timestampMs = 0;
    bool fourBytesPerPixel = false;
  };

  struct EncodedFrameStore {
    std::vector<uint8_t> bytes;
    uint64_t sequence = 0;
    int32_t width = 0;
    int32_t height = 0;
    int64_t timestampMs = 0;
  };

  struct RunArgs {
    uint64_t generation;
    int device;
    int maxWidth;
    int maxHeight;
    int64_t frameIntervalNs;
    uint64_t slotSize;
  };

  // What the producer thread keeps from tick to tick.
  struct LoopState {
    explicit LoopState(const RunArgs& runArgs) : args(runArgs) {}
    const RunArgs args;
    std::chrono::steady_clock::time_point tickBase = std::chrono::steady_clock::now();
    // The grabbed frame; between quality refreshes it trades places with the quality frame.
    std::vector<uint8_t> grab;
    // The geometry of the camera frame and the decimation made for it, valid once probed.
    bool probed = false;
    int sourceWidth = 0;
    int sourceHeight = 0;
    int64_t stride = 0;
    int64_t frameSize = 0;
    DecimationPlan plan;
    DecimationTables tables;
    int32_t bytesPerRow = 0;
    int32_t dataSize = 0;
    bool qualityRefreshed = false;
    int64_t lastQualityNs = 0;
    // The producer rate: frames counted since the window opened at the first frame.
    bool rateWindowOpen = false;
    int64_t rateWindowStartNs = 0;
    int64_t rateCount = 0;
  };

  // The producer thread: one frame per tick until a stop request.
  void RunLoop(RunArgs args);
  // One tick's work; false when a stop request came in between (the loop ends at once).
  bool ProduceFrame(LoopState& state);
  // Whether the camera has delivered its first frame; kCameraResultOk once it has.
  int AwaitFirstFrame(const LoopState& state) const;
  // Asks for the frame geometry and plans the decimation: kCameraResultOk, or the failure.
  int ProbeGeometry(LoopState& state) const;
  // Grabs the newest frame into state.grab: the library's result.
  int GrabFrame(LoopState& state) const;
  // Decimates the library's newest frame into the target slot where it lies, without copying
  // the frame: the library's result, or kGeometryChanged when the frame is not of the probed
  // geometry (nothing is written then).
  int DecimateLentFrame(LoopState& state, int target);
  // Counts a failed grab or read as dropped (and probes the geometry again where it changed);
  // true for a frame that can be published.
  bool AcceptGrabResult(LoopState& state, int result);
  static bool QualityRefreshDue(const LoopState& state, int64_t nowNs);
  // Decimates frame into the target slot, counts it and publishes the slot; false on a stop
  // request before publication.
  bool PublishFrame(LoopState& state, const uint8_t* frame, int target);
  // Counts the frame decimated into the target slot and publishes the slot.
  bool PublishSlot(LoopState& state, int target);
  void CountForRate(LoopState& state, int64_t nowNs);
  // A failed tick: counted as dropped, with its result.
  void RecordFailure(int result);
  // Sleeps to the next deadline, or, when it has already passed, starts the next tick from now.
  // Late ticks are not made up with a burst of frames.
  void WaitForTick(LoopState& state);
  bool ShouldRun(uint64_t generation) const;
  // Sleeps until deadline unless a stop request comes first.
  void SleepUntil(std::chrono::steady_clock::time_point deadline, uint64_t generation);
  // Makes the grabbed frame the quality frame when a refresh is due; returns where the frame now
  // is. A packed frame trades buffers with the quality frame instead of being copied.
  const uint8_t* KeepQualityFrame(LoopState& state, int64_t grabbedNs);
  int ChooseTargetSlot() const;

  const CameraBinding& binding_;
  VideoRecorder* const recorder_;

  std::atomic<bool> running_{false};
  void RequestStopUnderGate();
  void JoinAndResetUnderGate();

  ControlGate control_;  // Start and the stop operations take turns through it
  std::thread thread_;
  std::atomic<int32_t> deviceIndex_{-1};
  int32_t maxWidth_ = 960;
  int32_t maxHeight_ = 540;
  int64_t frameIntervalNs_ = 33000000;
  std::atomic<bool> firstFrame_{false};
  uint64_t slotSize_ = 0;
  // Slot memory comes from calloc: the kernel hands out zeroed pages lazily, so large limits
  // cost address space, not memory, until frames of that size actually arrive.
  std::array<SlotMemory, 3> slots_;
  std::array<PreviewMeta, 3> meta_;
  // The lock-free handshake between the producer and the one reader (see GetLatest).
  std::atomic<int32_t> publishedSlot_{-1};
  std::atomic<int32_t> readingSlot_{-1};
  std::atomic<uint64_t> producedSequence_{0};
  std::atomic<int32_t> droppedFrames_{0};
  std::atomic<uint64_t> producedFrames_{0};
  std::atomic<int32_t> producerRate_{0};
  std::atomic<int32_t> lastResult_{kPreviewStopped};
  std::atomic<uint64_t> generation_{0};
  // Serializes readers, and keeps the slot memory alive while one copies.
  std::mutex readerMutex_;

  // Wakes a sleeping producer when a stop is requested.
  std::mutex wakeMutex_;
  std::condition_variable wake_;

  std::mutex qualityMutex_;
  QualityFrame quality_;

  std::mutex encodedMutex_;
  EncodedFrameStore encoded_;
  bool directDelivery_ = false;  // never set on this platform
};

}  // namespace zentri_native
