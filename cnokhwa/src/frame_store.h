// The newest frame of one device, shared between its capture thread (the only writer) and any
// number of threads that query and grab.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "cnokhwa.h"

namespace cnokhwa {

class FrameStore {
 public:
  // A new capture session begins: no frame, state "not yet". Returns the session's token; only
  // Publish and Fail calls with the current token have an effect, so a session that outlives its
  // stop cannot overwrite the state of the next one.
  uint64_t Begin();
  // Capture stopped: the frame is dropped and every query answers "not started". With a token
  // other than 0, only when that session is still the current one.
  void End(uint64_t token);
  uint64_t CurrentToken() const;
  // The session lost its device: queries answer code until the next Begin or Resume.
  void Fail(uint64_t token, int code);
  // The session has its device back: no frame, state "not yet", as after Begin but with the same
  // token. Only after a Fail of the current session.
  void Resume(uint64_t token);

  // Makes frame (packed RGB, width x 3 bytes per row) the newest frame by swapping buffers: the
  // caller gets the previous frame's buffer back to fill next, so publishing copies nothing.
  void Publish(uint64_t token, std::vector<uint8_t>& frame, int width, int height);

  int HasFirstFrame() const;
  int Width() const;
  int Height() const;
  int BytesPerRow() const;
  // Copies the newest frame; the codes of cnokhwa_grab_frame.
  int Grab(void* destination, int64_t size) const;
  // Calls reader on the newest frame under the store's lock; the codes of cnokhwa_read_frame.
  int Read(cnokhwa_frame_reader reader, void* context) const;
  // Number of frames published since the last Begin.
  uint64_t FrameCount() const;

 private:
  // A negative code when there is no frame to describe, else 0.
  int StateLocked() const;
  // StateLocked, and the newest frame's size in bytes when there is one.
  int FrameBytesLocked(int64_t* frameBytes) const;

  mutable std::mutex mutex_;
  uint64_t token_ = 0;
  bool started_ = false;
  int failure_ = 0;
  std::vector<uint8_t> frame_;
  int width_ = 0;
  int height_ = 0;
  uint64_t frames_ = 0;
};

}  // namespace cnokhwa
