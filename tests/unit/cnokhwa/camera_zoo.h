// A zoo of emulated UVC cameras for tests that run under umockdev's preload (umockdev-wrapper).
//
// umockdev provides each camera's sysfs tree (USB device, interface, video4linux nodes with the
// attributes the kernel gives them) and its /dev nodes, and passes every ioctl on a node to the
// handler here, which answers like a V4L2 driver: capabilities, the format, size and rate lists of
// the camera's model, format negotiation with the colour fields, the buffer queue and streaming.
//
// What umockdev can and cannot carry:
// - ioctls, also ones that wait: a DQBUF with no filled buffer is answered later, when the next
//   frame is "captured" (or with EAGAIN after a short wait), from the zoo's own driver thread.
// - mmap works on the node's file, not on driver memory: an emulated /dev node is a plain file in
//   the test bed, so a buffer at offset k x length maps that region of the file, and the driver
//   thread writes each frame there with pwrite. The library sees exactly what a driver's buffer
//   would hold.
// - poll cannot be emulated: a plain file is always ready, so the library's poll never waits and
//   never reports POLLERR. The wait moves into DQBUF (above); an unplugged camera answers every
//   ioctl with ENODEV, as the kernel does once it has removed the node.
//
// The camera models follow published `v4l2-ctl --list-formats-ext` listings of real cameras.
#pragma once

#include <linux/videodev2.h>
#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cnokhwa {
namespace zoo {

// One entry of a format's size list, with its frame intervals.
struct SizeModel {
  uint32_t type = V4L2_FRMSIZE_TYPE_DISCRETE;
  uint32_t width = 0;  // discrete sizes
  uint32_t height = 0;
  v4l2_frmsize_stepwise range{};      // stepwise and continuous sizes
  std::vector<v4l2_fract> intervals;  // discrete intervals, fastest first
  // Instead of discrete intervals: a continuous range from the fastest to the slowest.
  bool intervalRange = false;
  v4l2_fract fastest{1, 30};
  v4l2_fract slowest{1, 1};
};

struct FormatModel {
  uint32_t fourcc = 0;
  std::string description;
  uint32_t flags = 0;  // V4L2_FMT_FLAG_COMPRESSED for MJPEG and H.264
  std::vector<SizeModel> sizes;
};

struct CameraModel {
  std::string card;
  std::string driver = "uvcvideo";
  // USB ids; a camera with vendor 0 sits on a platform bus instead (bus_info "platform:...").
  uint16_t vendor = 0;
  uint16_t product = 0;
  std::string serial;  // empty: the camera has no serial number
  std::string platformName;
  bool metadataNode = false;  // UVC cameras on kernels from 5.0 have one
  std::vector<FormatModel> formats;
  // The colour fields S_FMT answers for uncompressed formats (JPEG formats answer the JPEG
  // colorspace, as uvcvideo does).
  uint32_t colorspace = V4L2_COLORSPACE_SRGB;
  uint32_t ycbcrEncoding = V4L2_YCBCR_ENC_DEFAULT;
  uint32_t quantization = V4L2_QUANTIZATION_DEFAULT;
};

// Logitech HD Pro Webcam C920 (046d:082d): YUYV up to 2304x1536 (slowly), MJPEG and H.264 up to
// 1920x1080 at 30 fps, and a metadata node.
CameraModel Webcam1080p();
// A USB microscope of the common 1.3-megapixel kind (an "Infoxelle VT1760" board, 0ac8:3610):
// MJPEG at 1280x1024, 1280x720 and 640x480 at 30 fps, YUYV at 640x480 at 30 fps and 1280x1024
// at 7.5 fps; it reports BT.709 Y'CbCr.
CameraModel UsbMicroscope();
// A monochrome industrial camera (The Imaging Source DMK 37BUX287, 199e:9089): GREY and Y16 at
// 720x540 and below.
CameraModel MonochromeCamera();
// A camera that sends raw sensor data only (8-bit Bayer GRBG, as gspca's sonixb and the OV534
// based sensors deliver it): 640x480 and 320x240.
CameraModel BayerCamera();
// The Raspberry Pi camera through bcm2835-v4l2 (a platform device, not USB): stepwise sizes from
// 32x32 to 2592x1944 in steps of 2 with a continuous rate range, in YU12, YUYV, RGB3, JPEG, H.264,
// MJPEG, YVYU, VYUY, UYVY, NV12, BGR3, YV12, NV21 and BGR4, and full-range ("JPEG" colorspace)
// Y'CbCr.
CameraModel StepwiseCamera();

// How one delivered frame is spoiled.
enum class Fault {
  kNone,
  kEmpty,      // bytesused 0, the buffer memory left as it was
  kErrorFlag,  // V4L2_BUF_FLAG_ERROR, the frame written as usual
  kCorrupt,    // the payload replaced by bytes that are no picture (for JPEG: no JPEG at all)
  kShort,      // only half the frame's bytes
};

// The payload of frame `frame` in format, as the zoo's cameras deliver it (before any fault):
// the test frames of pixel_reference.h, and for MJPEG a JPEG of the test scene. The content
// repeats every kFrameCycle frames, so that streaming at full rate costs little.
constexpr uint32_t kFrameCycle = 16;
std::vector<uint8_t> FramePayload(const v4l2_pix_format& format, uint32_t frame);

class Zoo;
class NodeDriver;
struct Reply;

// A camera of the zoo: plugged in, unplugged, plugged in again. Frames are numbered from 1 in
// the order they are delivered, across streams and re-plugs.
class Camera {
 public:
  const CameraModel& model() const { return model_; }
  // The capture node's name ("video3"); it changes at a re-plug.
  std::string node() const;

  // Free-running (the default): while streaming, a frame goes into a queued buffer at every
  // frame interval of the negotiated rate. Held: frames come only from Deliver.
  void SetFreeRunning(bool running);
  // Delivers up to count frames at once into queued buffers (fewer when fewer are queued) and
  // returns how many. Waits up to 10 s for the stream to run with all its buffers queued first.
  int Deliver(int count);
  // Faults of the frames delivered next, in order.
  void SpoilNextFrames(const std::vector<Fault>& faults);
  // STREAMON fails with the errno this returns for the negotiated format (0: it works).
  void FailStreamOn(std::function<int(const v4l2_pix_format&)> rule);

  // Waits until the library has put the buffer of frame `frame` back into the queue, that is,
  // has finished reading it (or stopped streaming). False after timeout.
  bool WaitRead(uint32_t frame, std::chrono::milliseconds timeout);
  // Waits until the node streams (or stops streaming).
  bool WaitStreaming(bool streaming, std::chrono::milliseconds timeout);
  // The format negotiated last, and the number of the last frame delivered (0 before any).
  v4l2_pix_format Format() const;
  uint32_t LastFrame() const;

 private:
  friend class Zoo;
  friend class NodeDriver;
  struct Node;
  Camera(Zoo* zoo, CameraModel model, std::string port);
  // QUERYCAP's bus_info: uvcvideo's "usb-<host controller>-<port>", or "platform:<name>".
  std::string BusInfo() const;

  Zoo* const zoo_;
  const CameraModel model_;
  // Guarded by the zoo's lock.
  bool freeRunning_ = true;
  std::deque<Fault> faults_;
  std::function<int(const v4l2_pix_format&)> streamOnRule_;
  uint32_t lastFrame_ = 0;
  std::string port_;
  int devnum_ = 0;
  std::string usbPath_;  // sysfs paths inside the test bed, for removal
  std::string interfacePath_;
  std::vector<std::string> nodePaths_;
  std::vector<std::string> nodeFiles_;
  Node* capture_ = nullptr;  // the current capture node; nodes live as long as the zoo
};

class Zoo {
 public:
  Zoo();
  ~Zoo();
  Zoo(const Zoo&) = delete;
  Zoo& operator=(const Zoo&) = delete;

  // Plugs a camera into a USB port ("1-1", "1-2", "2-1.4"; ignored for platform cameras). Its
  // nodes take the next free numbers.
  Camera& Plug(const CameraModel& model, const std::string& port);
  // Pulls the camera: its nodes answer ENODEV from now on (a waiting DQBUF at once), then its
  // sysfs entries and /dev files go.
  void Unplug(Camera& camera);
  // Plugs it in again, into port (its old one when empty), under new node numbers.
  void Replug(Camera& camera, const std::string& port = "");

  const std::string& root() const { return root_; }

 private:
  friend class Camera;
  friend class NodeDriver;
  void AddNodes(Camera& camera);
  void DriverLoop();
  // Fills a queued buffer of node with the next frame; under Lock().
  bool FillOne(Camera::Node& node);
  // Answers a DQBUF that waits, when a frame is there, the node is gone or its wait is over;
  // the reply is sent by the caller once Lock() is released. Under Lock().
  void CompleteWaiting(Camera::Node& node, std::chrono::steady_clock::time_point now,
                       std::vector<Reply>* replies);

  UMockdevTestbed* testbed_ = nullptr;
  std::string root_;
  int nextNode_ = 0;
  int nextDevnum_ = 2;
  std::vector<std::unique_ptr<Camera>> cameras_;
  std::vector<std::unique_ptr<Camera::Node>> nodes_;

  // Guards every node's state; the ioctl handler (umockdev's thread), the driver thread and the
  // test's thread all take it. One lock for the process: the handler reaches a node through
  // umockdev, whose own hand-over ThreadSanitizer cannot see, so it takes this lock before it
  // touches anything of the zoo's.
  static std::mutex& Lock();
  // Signalled under Lock() whenever a node's state changes; process-wide for the same reason.
  static std::condition_variable& Changed();
  bool stopping_ = false;
  std::thread driver_;
};

}  // namespace zoo
}  // namespace cnokhwa
