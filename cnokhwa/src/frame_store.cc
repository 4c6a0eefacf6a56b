#include "frame_store.h"

#include <cstring>

#include "cnokhwa.h"

namespace cnokhwa {

uint64_t FrameStore::Begin() {
  std::lock_guard<std::mutex> lock(mutex_);
  started_ = true;
  failure_ = 0;
  width_ = 0;
  height_ = 0;
  frames_ = 0;
  return ++token_;
}

void FrameStore::End(uint64_t token) {
  std::vector<uint8_t> released;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (token != 0 && token != token_) {
      return;
    }
    ++token_;
    started_ = false;
    failure_ = 0;
    width_ = 0;
    height_ = 0;
    frames_ = 0;
    released.swap(frame_);
  }
}

uint64_t FrameStore::CurrentToken() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return token_;
}

void FrameStore::Fail(uint64_t token, int code) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (token == token_ && started_) {
    failure_ = code;
  }
}

void FrameStore::Resume(uint64_t token) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (token == token_ && started_ && failure_ != 0) {
    failure_ = 0;
    width_ = 0;
    height_ = 0;
    frames_ = 0;
  }
}

void FrameStore::Publish(uint64_t token, std::vector<uint8_t>& frame, int width, int height) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (token != token_ || !started_ || failure_ != 0) {
    return;
  }
  frame_.swap(frame);
  width_ = width;
  height_ = height;
  ++frames_;
}

int FrameStore::StateLocked() const {
  if (!started_) {
    return CNOKHWA_ERR_NOT_STARTED;
  }
  if (failure_ != 0) {
    return failure_;
  }
  return frames_ == 0 ? CNOKHWA_NOT_YET : CNOKHWA_OK;
}

int FrameStore::FrameBytesLocked(int64_t* frameBytes) const {
  const int state = StateLocked();
  if (state != 0) {
    return state;
  }
  *frameBytes = static_cast<int64_t>(width_) * 3 * height_;
  // Never published so (a frame and its size go together), but a short buffer is never handed out.
  return static_cast<int64_t>(frame_.size()) < *frameBytes ? CNOKHWA_ERR_GEOMETRY_CHANGED : 0;
}

int FrameStore::HasFirstFrame() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return StateLocked();
}

int FrameStore::Width() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const int state = StateLocked();
  return state == CNOKHWA_NOT_YET ? 0 : (state != 0 ? state : width_);
}

int FrameStore::Height() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const int state = StateLocked();
  return state == CNOKHWA_NOT_YET ? 0 : (state != 0 ? state : height_);
}

int FrameStore::BytesPerRow() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const int state = StateLocked();
  return state == CNOKHWA_NOT_YET ? 0 : (state != 0 ? state : width_ * 3);
}

int FrameStore::Grab(void* destination, int64_t size) const {
  if (destination == nullptr || size < 1) {
    return CNOKHWA_ERR_BAD_ARGUMENT;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  int64_t frameBytes = 0;
  const int state = FrameBytesLocked(&frameBytes);
  if (state != 0) {
    return state;
  }
  if (size < frameBytes) {
    return CNOKHWA_ERR_BUFFER_TOO_SMALL;
  }
  if (size > frameBytes) {
    return CNOKHWA_ERR_GEOMETRY_CHANGED;
  }
  std::memcpy(destination, frame_.data(), static_cast<size_t>(frameBytes));
  return CNOKHWA_OK;
}

int FrameStore::Read(cnokhwa_frame_reader reader, void* context) const {
  if (reader == nullptr) {
    return CNOKHWA_ERR_BAD_ARGUMENT;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  int64_t frameBytes = 0;
  const int state = FrameBytesLocked(&frameBytes);
  if (state != 0) {
    return state;
  }
  reader(context, frame_.data(), width_, height_, width_ * 3);
  return CNOKHWA_OK;
}

uint64_t FrameStore::FrameCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

}  // namespace cnokhwa
