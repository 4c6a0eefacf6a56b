// A capture device of either kind (V4L2 or synthetic): its fixed description, its format list,
// its frame store, and at most one running capture session.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "formats.h"
#include "frame_store.h"

namespace cnokhwa {

// A running capture: a thread that writes frames into the device's frame store. Destroying the
// session stops its thread, waits for it and releases the device.
class Session {
 public:
  virtual ~Session() = default;
};

struct DeviceInfo {
  std::string key;  // identifies the device across rebuilds of the list
  std::string uniqueId;
  std::string modelId;
  std::string name;
};

// What a start asks for: a format of the list, or a frame size.
struct CaptureRequest {
  int format = -1;  // index into Formats(), or -1 to choose by size
  int width = 0;
  int height = 0;
};

class Device {
 public:
  Device(DeviceInfo info, std::vector<FormatEntry> formats);
  virtual ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Description and formats never change after construction, so they are read without a lock.
  const DeviceInfo& Info() const { return info_; }
  const std::vector<FormatEntry>& Formats() const { return formats_; }
  const FrameStore& Frames() const { return *frames_; }

  // Starts capture for request, in place of any running capture. Result codes of
  // cnokhwa_start_capture. A request that cannot be met leaves a running capture as it was: one
  // the device can tell at once (a bad format index, no convertible format, the camera is
  // unplugged) is refused before anything stops; one the driver refuses while it is set up is
  // followed by a restart of the previous capture. Either way the refusal is returned.
  int Start(const CaptureRequest& request);
  // Stops capture and waits for the capture thread. Safe to call at any time.
  void Stop();
  // Whether a capture session exists (it may be waiting for an unplugged camera to return).
  bool Capturing() const;
  // Whether the device is there to capture from. A V4L2 camera that was unplugged is not; its
  // capture session, if any, waits for it.
  virtual bool Attached() const { return true; }

 protected:
  // Checks a request before the running capture is touched: CNOKHWA_OK, or the code that Start
  // returns.
  virtual int CheckRequest(const CaptureRequest&) const { return 0; }
  // Opens the device for the request and starts a session that publishes into frames with
  // token. Returns 0 and the session, or a result code.
  virtual int CreateSession(const CaptureRequest& request, std::shared_ptr<FrameStore> frames,
                            uint64_t token, std::unique_ptr<Session>* session) = 0;

 private:
  const DeviceInfo info_;
  const std::vector<FormatEntry> formats_;
  const std::shared_ptr<FrameStore> frames_;
  // Guards session_ and running_ only: a session is never created, stopped or joined under it.
  mutable std::mutex sessionMutex_;
  std::unique_ptr<Session> session_;
  CaptureRequest running_;  // what session_ was started with
};

// Writes text into a caller's buffer as the text queries of the C interface do.
int WriteText(const std::string& text, void* buffer, int size);

}  // namespace cnokhwa
