#include "camera/preview_producer.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>
#include <string>
#include <system_error>

#include "camera/decimation.h"
#include "recording/video_recorder.h"

namespace zentri_native {

// The slot handshake between the producer thread and the reader (GetLatest), without a lock.
//
// The producer writes a slot's pixels and PreviewMeta, then stores the slot's index in
// publishedSlot_; for the next frame it picks the lowest slot that is neither published nor
// marked in readingSlot_. The reader loads publishedSlot_, marks that index in readingSlot_,
// loads publishedSlot_ again and copies only when it did not move (else it unmarks and retries).
//
// Each side stores one index and then loads the other (a Dekker pattern), so both stores must be
// ordered before the following loads. On x86-64 an ordinary store may wait in the store buffer
// while a later load of another address is served, which is exactly the reordering that would
// let the reader confirm a slot the producer has already chosen to overwrite. Release/acquire
// does not forbid it; sequentially consistent stores do: GCC and Clang emit them as XCHG, which
// drains the store buffer. The loads stay plain MOVs (x86 loads are already acquire). The
// publishing store also has release semantics, so a reader that sees the index sees the slot's
// bytes and meta; the reader's unmarking store likewise orders its copy before the producer's
// next write to that slot.
//
// There is one reading mark, so readers (script threads) take turns through readerMutex_, which
// the producer never takes: it never waits for a reader.

namespace {

constexpr int64_t kNsPerSecond = 1000000000;
constexpr int kMinimumRefreshIntervalFps = 120;
constexpr int64_t kFastestFrameIntervalNs = 8333333;

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t WallClockMs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
             .count() /
         1000000;
}

// Results of the capture library that mean the camera is gone: lost while capturing (unplugged,
// or its driver failed; -12), no longer listed (-2), or no longer capturing (-4).
bool CameraGone(int result) {
  return result == -12 || result == -2 || result == -4;
}

// A camera recording cannot outlive its camera: it ends with the capture result as its error,
// keeping (and finalizing) everything recorded until then.
void EndRecordingIfCameraGone(VideoRecorder* recorder, int result) {
  if (recorder != nullptr && CameraGone(result) && recorder->IsRecording()) {
    recorder->EndWithError("The camera stopped delivering frames (capture result " +
                           std::to_string(result) + ")");
  }
}

bool IsSlot(int32_t index) {
  return index >= 0 && index <= 2;
}

// Clears the reading mark however GetLatest leaves (the destination callback may throw).
class ReadingMark {
 public:
  explicit ReadingMark(std::atomic<int32_t>& mark) : mark_(mark) {}
  ~ReadingMark() { mark_.store(-1, std::memory_order_seq_cst); }
  ReadingMark(const ReadingMark&) = delete;
  ReadingMark& operator=(const ReadingMark&) = delete;

 private:
  std::atomic<int32_t>& mark_;
};

}  // namespace

CameraPreviewProducer::CameraPreviewProducer(const CameraBinding& binding, VideoRecorder* recorder)
    : binding_(binding), recorder_(recorder) {}

CameraPreviewProducer::~CameraPreviewProducer() {
  Stop();
}

int64_t CameraPreviewProducer::FrameIntervalForFps(int fps) {
  if (fps < 1) {
    return kNsPerSecond;
  }
  if (fps > kMinimumRefreshIntervalFps) {
    return kFastestFrameIntervalNs;
  }
  return kNsPerSecond / fps;
}

int CameraPreviewProducer::Start(int device, int maxWidth, int maxHeight, int64_t frameIntervalNs) {
  ControlGate::Hold hold(control_);
  const int width = std::max(maxWidth, 1);
  const int height = std::max(maxHeight, 1);
  // At most (2^31 - 1)^2 x 4, which still fits in 64 bits.
  const uint64_t slotSize = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4;
  // The new slots are allocated before the running producer is touched, so a size that cannot be
  // allocated leaves the running preview as it was.
  std::array<SlotMemory, 3> slots;
  if (slotSize > static_cast<uint64_t>(std::numeric_limits<ptrdiff_t>::max())) {
    return kCameraSizeInvalid;
  }
  for (SlotMemory& slot : slots) {
    slot.reset(static_cast<uint8_t*>(std::calloc(1, static_cast<size_t>(slotSize))));
    if (!slot) {
      return kCameraSizeInvalid;
    }
  }

  RequestStopUnderGate();
  JoinAndResetUnderGate();

  frameIntervalNs_ = std::max<int64_t>(frameIntervalNs, 0);
  maxWidth_ = width;
  maxHeight_ = height;
  {
    // A reader on another script thread may still be copying from the old slots.
    std::lock_guard<std::mutex> lock(readerMutex_);
    deviceIndex_.store(device, std::memory_order_relaxed);
    slotSize_ = slotSize;
    slots_ = std::move(slots);
    for (PreviewMeta& meta : meta_) {
      meta = PreviewMeta();
    }
  }
  {
    std::lock_guard<std::mutex> lock(qualityMutex_);
    quality_ = QualityFrame();
  }
  {
    std::lock_guard<std::mutex> lock(encodedMutex_);
    encoded_ = EncodedFrameStore();
  }
  publishedSlot_.store(-1, std::memory_order_relaxed);
  readingSlot_.store(-1, std::memory_order_relaxed);
  producedSequence_.store(0, std::memory_order_relaxed);
  droppedFrames_.store(0, std::memory_order_relaxed);
  producedFrames_.store(0, std::memory_order_relaxed);
  producerRate_.store(0, std::memory_order_relaxed);
  lastResult_.store(kCameraResultNo, std::memory_order_relaxed);
  firstFrame_.store(false, std::memory_order_relaxed);

  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    running_.store(true);
    generation = generation_.fetch_add(1) + 1;
  }
  // The thread reads the shared binding, which a script thread may load while the preview runs:
  // the binding publishes its functions before its loaded flag (see camera_binding.h), so the
  // producer either still sees "not loaded" or the whole library, and frames flow from the first
  // call after the load.
  const RunArgs args{generation, device, width, height, frameIntervalNs_, slotSize};
  try {
    thread_ = std::thread(&CameraPreviewProducer::RunLoop, this, args);
  } catch (const std::system_error&) {
    RequestStopUnderGate();
    JoinAndResetUnderGate();
    throw;
  }
  // Named here rather than in the thread, so the name is there once Start returns (tools and
  // tests find the producer by it).
  pthread_setname_np(thread_.native_handle(), "zentri-preview");
  return kCameraResultOk;
}

void CameraPreviewProducer::RequestStop() {
  ControlGate::Hold hold(control_);
  RequestStopUnderGate();
}

void CameraPreviewProducer::JoinAndReset() {
  ControlGate::Hold hold(control_);
  JoinAndResetUnderGate();
}

void CameraPreviewProducer::Stop() {
  ControlGate::Hold hold(control_);
  RequestStopUnderGate();
  JoinAndResetUnderGate();
}

void CameraPreviewProducer::RequestStopUnderGate() {
  {
    // Under the wake mutex, so a producer about to sleep either sees the change or is woken.
    std::lock_guard<std::mutex> lock(wakeMutex_);
    running_.store(false);
    generation_.fetch_add(1);
  }
  wake_.notify_all();
}

void CameraPreviewProducer::JoinAndResetUnderGate() {
  if (running_.load()) {
    return;  // started again by another script thread since the stop request: not ours to end
  }
  if (thread_.joinable()) {
    thread_.join();
  }
  publishedSlot_.store(-1, std::memory_order_relaxed);
  readingSlot_.store(-1, std::memory_order_relaxed);
  producedSequence_.store(0, std::memory_order_relaxed);
  producedFrames_.store(0, std::memory_order_relaxed);
  producerRate_.store(0, std::memory_order_relaxed);
  lastResult_.store(kPreviewStopped, std::memory_order_relaxed);
  firstFrame_.store(false, std::memory_order_relaxed);
  deviceIndex_.store(-1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(qualityMutex_);
  quality_ = QualityFrame();
}

CameraPreviewProducer::Statistics CameraPreviewProducer::GetStatistics() const {
  Statistics statistics;
  statistics.producedSequence = producedSequence_.load(std::memory_order_relaxed);
  statistics.droppedFrames = droppedFrames_.load(std::memory_order_relaxed);
  statistics.lastResult = lastResult_.load(std::memory_order_relaxed);
  statistics.producerRate = producerRate_.load(std::memory_order_relaxed);
  statistics.producedFrames = producedFrames_.load(std::memory_order_relaxed);
  return statistics;
}

bool CameraPreviewProducer::ShouldRun(uint64_t generation) const {
  return running_.load(std::memory_order_relaxed) &&
         generation_.load(std::memory_order_relaxed) == generation;
}

void CameraPreviewProducer::SleepUntil(std::chrono::steady_clock::time_point deadline,
                                       uint64_t generation) {
  std::unique_lock<std::mutex> lock(wakeMutex_);
  wake_.wait_until(lock, deadline, [&] { return !ShouldRun(generation); });
}

int CameraPreviewProducer::ChooseTargetSlot() const {
  // Only this thread stores publishedSlot_; the reading mark needs the ordering explained above.
  const int32_t published = publishedSlot_.load(std::memory_order_relaxed);
  const int32_t reading = readingSlot_.load(std::memory_order_seq_cst);
  for (int32_t slot = 0; slot < 3; ++slot) {
    if (slot != published && slot != reading) {
      return slot;
    }
  }
  return 0;  // unreachable: two indices exclude at most two of three slots
}

const uint8_t* CameraPreviewProducer::KeepQualityFrame(LoopState& state, int64_t grabbedNs) {
  const uint8_t* frame = state.grab.data();
  if (!QualityRefreshDue(state, grabbedNs)) {
    return frame;
  }
  // Read beside the steady time that spaces refreshes, so that the copy below (and a wait for a
  // reader's lock) cannot bring two refreshes' timestamps closer than their spacing.
  const int64_t refreshedMs = WallClockMs();
  const int64_t packedRow = int64_t{state.sourceWidth} * 3;
  const int64_t size = packedRow * state.sourceHeight;
  std::lock_guard<std::mutex> lock(qualityMutex_);
  if (state.stride == packedRow && static_cast<int64_t>(state.grab.size()) == size) {
    // Readers copy the quality frame under this lock and only this thread changes it, so the
    // frame can be decimated from there after the lock is released.
    quality_.bytes.swap(state.grab);
    frame = quality_.bytes.data();
  } else {
    try {
      quality_.bytes.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
      return frame;  // keeps the previous copy; the next refresh tries again
    }
    for (int y = 0; y < state.sourceHeight; ++y) {
      std::memcpy(quality_.bytes.data() + y * packedRow, frame + y * state.stride,
                  static_cast<size_t>(packedRow));
    }
  }
  quality_.sequence += 1;
  quality_.width = state.sourceWidth;
  quality_.height = state.sourceHeight;
  quality_.bytesPerRow = static_cast<int32_t>(packedRow);
  quality_.dataSize = static_cast<int32_t>(size);
  quality_.timestampMs = refreshedMs;
  quality_.fourBytesPerPixel = false;
  state.qualityRefreshed = true;
  state.lastQualityNs = grabbedNs;
  return frame;
}

void CameraPreviewProducer::RunLoop(RunArgs args) {
  LoopState state(args);
  while (ShouldRun(args.generation)) {
    if (!ProduceFrame(state)) {
      break;
    }
    WaitForTick(state);
  }
}

void CameraPreviewProducer::WaitForTick(LoopState& state) {
  const auto deadline = state.tickBase + std::chrono::nanoseconds(state.args.frameIntervalNs);
  const auto now = std::chrono::steady_clock::now();
  if (now < deadline) {
    SleepUntil(deadline, state.args.generation);
    state.tickBase = deadline;
  } else {
    state.tickBase = now;
  }
}

void CameraPreviewProducer::RecordFailure(int result) {
  droppedFrames_.fetch_add(1, std::memory_order_relaxed);
  lastResult_.store(result, std::memory_order_relaxed);
}

bool CameraPreviewProducer::ProduceFrame(LoopState& state) {
  const uint64_t generation = state.args.generation;
  if (!firstFrame_.load(std::memory_order_relaxed)) {
    const int result = AwaitFirstFrame(state);
    if (!ShouldRun(generation)) {
      return false;
    }
    if (result != kCameraResultOk) {
      if (result != kCameraResultNo) {
        RecordFailure(result);
        EndRecordingIfCameraGone(recorder_, result);
      }
      return true;
    }
    firstFrame_.store(true, std::memory_order_relaxed);
  }
  if (!state.probed) {
    const int result = ProbeGeometry(state);
    if (!ShouldRun(generation)) {
      return false;
    }
    if (result != kCameraResultOk) {
      RecordFailure(result);
      return true;
    }
    state.probed = true;
  }

  const int target = ChooseTargetSlot();
  if (!QualityRefreshDue(state, SteadyNs()) && binding_.CanReadFrame()) {
    // Between quality refreshes nothing needs the whole frame: the slot is decimated from the
    // library's own frame, and the one copy of the frame is the library's conversion.
    const int result = DecimateLentFrame(state, target);
    if (!ShouldRun(generation)) {
      return false;
    }
    if (!AcceptGrabResult(state, result)) {
      return true;
    }
    return PublishSlot(state, target);
  }
  const int result = GrabFrame(state);
  if (!ShouldRun(generation)) {
    return false;
  }
  if (!AcceptGrabResult(state, result)) {
    return true;
  }
  const uint8_t* frame = KeepQualityFrame(state, SteadyNs());
  if (!ShouldRun(generation)) {
    return false;
  }
  return PublishFrame(state, frame, target);
}

bool CameraPreviewProducer::AcceptGrabResult(LoopState& state, int result) {
  lastResult_.store(result, std::memory_order_relaxed);
  if (result == kCameraResultOk) {
    return true;
  }
  droppedFrames_.fetch_add(1, std::memory_order_relaxed);
  EndRecordingIfCameraGone(recorder_, result);
  if (result == kCameraSizeInvalid || result == kCameraGeometryInvalid ||
      result == kGeometryChanged) {
    state.probed = false;
  }
  return false;
}

bool CameraPreviewProducer::QualityRefreshDue(const LoopState& state, int64_t nowNs) {
  return !state.qualityRefreshed || nowNs - state.lastQualityNs >= kQualityRefreshNs;
}

namespace {

// What the reader of a lent frame needs, and what it found.
struct LentFrameRead {
  const DecimationTables* tables;
  int sourceWidth;
  int sourceHeight;
  int64_t stride;
  uint8_t* slot;
  bool decimated;
};

void DecimateIfPlanned(void* context, const unsigned char* frame, int width, int height,
                       int bytesPerRow) {
  auto* read = static_cast<LentFrameRead*>(context);
  // The tables hold offsets for the probed geometry; a frame of another one is left alone.
  if (width != read->sourceWidth || height != read->sourceHeight || bytesPerRow != read->stride) {
    return;
  }
  DecimateWithTables(frame, *read->tables, read->slot);
  read->decimated = true;
}

}  // namespace

int CameraPreviewProducer::DecimateLentFrame(LoopState& state, int target) {
  LentFrameRead read{&state.tables,
                     state.sourceWidth,
                     state.sourceHeight,
                     state.stride,
                     slots_[static_cast<size_t>(target)].get(),
                     false};
  const int result = binding_.ReadFrame(state.args.device, DecimateIfPlanned, &read);
  if (result == kCameraResultOk && !read.decimated) {
    return kGeometryChanged;
  }
  return result;
}

int CameraPreviewProducer::AwaitFirstFrame(const LoopState& state) const {
  return binding_.loaded() ? binding_.hasFirstFrame(state.args.device) : kCameraNotLoaded;
}

int CameraPreviewProducer::ProbeGeometry(LoopState& state) const {
  const CameraBinding& binding = binding_;
  const int device = state.args.device;
  const int sourceWidth = binding.FrameWidth(device);
  const int sourceHeight = binding.FrameHeight(device);
  const int64_t stride = binding.loaded() ? binding.frameBytesPerRow(device) : -1;
  const int64_t frameSize = binding.PreviewFrameDataSize(device);
  const int64_t planeStride = binding.PreviewFrameBytesPerRow(device);
  const int64_t pixelBytes = int64_t{sourceWidth} * 3;
  if (sourceWidth < 1 || sourceHeight < 1 || pixelBytes > stride || pixelBytes > planeStride) {
    return kCameraGeometryInvalid;
  }
  // Grabs take an int capacity: a larger frame could never be grabbed, only held in memory.
  if (frameSize < 1 || frameSize > std::numeric_limits<int32_t>::max()) {
    return kCameraSizeInvalid;
  }
  // The answers come from separate calls: a geometry that changed between them could make the
  // row table reach past the grabbed frame.
  if ((sourceHeight - 1) * stride + pixelBytes > frameSize) {
    return kCameraGeometryInvalid;
  }
  const DecimationPlan plan =
      PlanDecimation(sourceWidth, sourceHeight, state.args.maxWidth, state.args.maxHeight);
  const int64_t rowBytes = int64_t{plan.outWidth} * 4;
  const int64_t outBytes = rowBytes * plan.outHeight;
  if (static_cast<uint64_t>(outBytes) > state.args.slotSize ||
      outBytes > std::numeric_limits<int32_t>::max()) {
    return kCameraSizeInvalid;
  }
  try {
    BuildDecimationTables(plan, stride, sourceWidth, sourceHeight, &state.tables);
  } catch (const std::bad_alloc&) {
    return kCameraSizeInvalid;
  }
  state.sourceWidth = sourceWidth;
  state.sourceHeight = sourceHeight;
  state.stride = stride;
  state.frameSize = frameSize;
  state.plan = plan;
  state.bytesPerRow = static_cast<int32_t>(rowBytes);
  state.dataSize = static_cast<int32_t>(outBytes);
  return kCameraResultOk;
}

int CameraPreviewProducer::GrabFrame(LoopState& state) const {
  try {
    state.grab.resize(static_cast<size_t>(state.frameSize));
  } catch (const std::bad_alloc&) {
    return kCameraSizeInvalid;
  }
  return binding_.GrabFrame(state.args.device, state.grab.data(), state.frameSize);
}

void CameraPreviewProducer::CountForRate(LoopState& state, int64_t nowNs) {
  if (!state.rateWindowOpen) {
    // The first frame opens the window; frames after it are counted against its length.
    state.rateWindowOpen = true;
    state.rateWindowStartNs = nowNs;
    state.rateCount = 0;
    return;
  }
  ++state.rateCount;
  const int64_t elapsedNs = nowNs - state.rateWindowStartNs;
  if (elapsedNs >= kNsPerSecond) {
    const int64_t elapsedMs = elapsedNs / 1000000;
    const double rate = std::round(static_cast<double>(state.rateCount) * 10000.0 / elapsedMs);
    producerRate_.store(static_cast<int32_t>(std::max(0.0, std::min(rate, 2147483647.0))),
                        std::memory_order_relaxed);
    state.rateWindowStartNs = nowNs;
    state.rateCount = 0;
  }
}

bool CameraPreviewProducer::PublishFrame(LoopState& state, const uint8_t* frame, int target) {
  DecimateWithTables(frame, state.tables, slots_[static_cast<size_t>(target)].get());
  return PublishSlot(state, target);
}

bool CameraPreviewProducer::PublishSlot(LoopState& state, int target) {
  uint8_t* slot = slots_[static_cast<size_t>(target)].get();
  const uint64_t sequence = producedSequence_.fetch_add(1, std::memory_order_relaxed) + 1;
  producedFrames_.fetch_add(1, std::memory_order_relaxed);
  CountForRate(state, SteadyNs());
  if (!ShouldRun(state.args.generation)) {
    return false;
  }

  PreviewMeta& meta = meta_[static_cast<size_t>(target)];
  meta.sequence = sequence;
  meta.width = state.plan.outWidth;
  meta.height = state.plan.outHeight;
  meta.bytesPerRow = state.bytesPerRow;
  meta.dataSize = state.dataSize;
  meta.sourceWidth = state.sourceWidth;
  meta.sourceHeight = state.sourceHeight;
  meta.sourceBytesPerRow = static_cast<int32_t>(state.stride);
  meta.timestampMs = WallClockMs();
  const int64_t steadyNs = SteadyNs();
  meta.timestamp = steadyNs / 100;
  meta.pixelFormat = 5;
  meta.planeCount = 1;
  meta.planeOffsets = {0, 0, 0};
  meta.planeStrides = {state.bytesPerRow, 0, 0};

  if (recorder_ != nullptr) {
    // A clock that reads (almost) zero gives no usable capture time: the wall clock stands in.
    const int64_t timestamp = steadyNs <= 99 ? meta.timestampMs * 10000 : meta.timestamp;
    recorder_->TryEnqueue(slot, static_cast<size_t>(state.dataSize), meta.width, meta.height,
                          meta.pixelFormat, meta.planeCount, meta.planeOffsets.data(),
                          meta.planeStrides.data(), timestamp);
  }

  publishedSlot_.store(target, std::memory_order_seq_cst);
  lastResult_.store(kCameraResultOk, std::memory_order_relaxed);
  return true;
}

CameraPreviewProducer::Latest CameraPreviewProducer::GetLatest(
    int index, uint64_t lastSequence, const std::function<uint8_t*(size_t)>& destination) {
  // Readers take turns (there is one reading mark); the producer never takes this lock.
  std::lock_guard<std::mutex> lock(readerMutex_);
  Latest latest;
  const int device = deviceIndex_.load(std::memory_order_relaxed);
  if (device < 0 || device != index) {
    latest.result = kPreviewNoPreview;
    latest.statistics = GetStatistics();
    latest.sequence = 0;
    return latest;
  }
  int32_t slot = -1;
  for (int attempt = 0; attempt < kPublishAttempts; ++attempt) {
    const int32_t published = publishedSlot_.load(std::memory_order_seq_cst);
    if (!IsSlot(published)) {
      break;
    }
    readingSlot_.store(published, std::memory_order_seq_cst);
    if (publishedSlot_.load(std::memory_order_seq_cst) == published) {
      slot = published;
      break;
    }
    readingSlot_.store(-1, std::memory_order_seq_cst);
  }
  if (slot < 0) {
    latest.result = kCameraResultNo;
    latest.statistics = GetStatistics();
    latest.sequence = latest.statistics.producedSequence;
    return latest;
  }
  {
    ReadingMark mark(readingSlot_);
    const PreviewMeta meta = meta_[static_cast<size_t>(slot)];
    latest.sequence = meta.sequence;
    if (meta.sequence <= lastSequence || meta.dataSize <= 0) {
      latest.result = kCameraResultNo;
    } else if (static_cast<uint64_t>(meta.dataSize) > slotSize_) {
      latest.result = kCameraSizeInvalid;
    } else {
      uint8_t* out = destination(static_cast<size_t>(meta.dataSize));
      std::memcpy(out, slots_[static_cast<size_t>(slot)].get(), static_cast<size_t>(meta.dataSize));
      latest.result = kCameraResultOk;
      latest.meta = meta;
    }
  }
  latest.statistics = GetStatistics();
  return latest;
}

bool CameraPreviewProducer::GetQualityFrame(
    int index, uint64_t lastSequence, const std::function<void(const QualityFrameView&)>& deliver,
    uint64_t* currentSequence) {
  const int device = deviceIndex_.load(std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(qualityMutex_);
  *currentSequence = quality_.sequence;
  if (device < 0 || device != index || quality_.sequence <= lastSequence ||
      quality_.dataSize <= 0 || quality_.bytes.size() < static_cast<size_t>(quality_.dataSize)) {
    return false;
  }
  QualityFrameView view;
  view.data = quality_.bytes.data();
  view.sequence = quality_.sequence;
  view.width = quality_.width;
  view.height = quality_.height;
  view.bytesPerRow = quality_.bytesPerRow;
  view.dataSize = quality_.dataSize;
  view.timestampMs = quality_.timestampMs;
  view.fourBytesPerPixel = quality_.fourBytesPerPixel;
  deliver(view);
  return true;
}

bool CameraPreviewProducer::GetEncodedFrame(
    int index, const std::function<void(const EncodedFrameView&)>& deliver) {
  const int device = deviceIndex_.load(std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(encodedMutex_);
  if (!directDelivery_ || device < 0 || device != index || encoded_.bytes.empty()) {
    return false;
  }
  EncodedFrameView view;
  view.data = encoded_.bytes.data();
  view.size = encoded_.bytes.size();
  view.sequence = encoded_.sequence;
  view.width = encoded_.width;
  view.height = encoded_.height;
  view.timestampMs = encoded_.timestampMs;
  deliver(view);
  return true;
}

bool CameraPreviewProducer::ThreadCpuTimeNs(int64_t* ns) const {
  if (!thread_.joinable()) {
    return false;
  }
  clockid_t clock;
  // std::thread's native handle is the pthread_t on this platform.
  if (pthread_getcpuclockid(const_cast<std::thread&>(thread_).native_handle(), &clock) != 0) {
    return false;
  }
  timespec time{};
  if (clock_gettime(clock, &time) != 0) {
    return false;
  }
  *ns = int64_t{time.tv_sec} * kNsPerSecond + time.tv_nsec;
  return true;
}

}  // namespace zentri_native
