// Streaming from one V4L2 capture node: format negotiation, memory-mapped buffers, and the capture
// session that keeps the newest frame in the device's frame store, reports an unplugged camera
// and takes up streaming again when the camera comes back.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "formats.h"
#include "pixel_convert.h"
#include "v4l2_identity.h"
#include "v4l2_io.h"

namespace cnokhwa {

class FrameConverter;

// A node that streams: its descriptor, its mapped buffers (all queued at the start) and the
// format that the driver answered.
struct Stream {
  UniqueFd fd;  // declared first: destroyed last, after the mappings
  std::vector<std::unique_ptr<Mapping>> buffers;
  SourceFormat format;
  std::string node;  // "video3"
  bool open() const { return fd.get() >= 0; }
};

// Opens /dev/<node>, sets the entry's pixel format, size and rate, maps and queues the buffers
// and turns streaming on. Returns CNOKHWA_OK, CNOKHWA_ERR_OPEN_FAILED,
// CNOKHWA_ERR_UNSUPPORTED_FORMAT (the driver answered with a format we cannot convert) or
// CNOKHWA_ERR_NO_MEMORY. *noBandwidth tells that STREAMON failed with ENOSPC: the USB bus has no
// room left for this format's isochronous transfers.
int OpenStream(const std::string& node, const FormatEntry& entry, Stream* stream,
               bool* noBandwidth);

// Opens the camera that locator finds for entry `format` of formats. When an
// uncompressed format cannot stream for bandwidth, the compressed format at the same size is
// tried (MJPEG needs a fraction of the bus). CNOKHWA_ERR_DEVICE_LOST when the camera is not
// attached.
int OpenCamera(const NodeLocator& locator, const std::vector<FormatEntry>& formats, int format,
               Stream* stream);

// Streams into a frame store on its own thread. When the camera goes away (an error from poll or
// the buffer queue) the frame store reports CNOKHWA_ERR_DEVICE_LOST at once, the node is closed
// (so the kernel can free it), and the thread looks for the camera by its identity every
// kReconnectIntervalMs; once it is back, also under another node, streaming resumes in the same
// format and the store reports "not yet" until its first frame.
class V4l2Session : public Session {
 public:
  static constexpr int kReconnectIntervalMs = 250;

  V4l2Session(Stream stream, NodeLocator locator, std::vector<FormatEntry> formats, int format,
              std::shared_ptr<FrameStore> frames, uint64_t token);
  ~V4l2Session() override;

  // Starts the capture thread. Throws std::system_error when no thread can be created.
  void Launch();

 private:
  void Run();
  // Takes every filled buffer the driver holds and publishes the newest one that converts;
  // empty buffers and buffers the driver flagged as damaged are put back unread. False when the
  // device failed.
  bool DrainAndPublish();
  void Lose();
  bool Reconnect();
  // Waits up to ms for a stop request; true when one came.
  bool WaitForStop(int ms);

  Stream stream_;
  const NodeLocator locator_;
  const std::vector<FormatEntry> formats_;
  const int format_;
  std::unique_ptr<FrameConverter> converter_;
  const std::shared_ptr<FrameStore> frames_;
  const uint64_t token_;
  std::vector<uint8_t> back_;
  // Written by the destructor so that a stop does not wait for the poll time-out.
  UniqueFd wake_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace cnokhwa
