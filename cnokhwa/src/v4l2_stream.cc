#include "v4l2_stream.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

#include "cnokhwa.h"
#include "frame_converter.h"
#include "pixel_layouts.h"

namespace cnokhwa {
namespace {

constexpr uint32_t kStreamBuffers = 4;
constexpr uint32_t kMaxStreamBuffers = 32;
// The capture thread wakes at least this often to see a stop request, should the wake-up
// descriptor be unavailable.
constexpr int kPollTimeoutMs = 200;

v4l2_buffer EmptyBuffer() {
  v4l2_buffer buffer{};
  buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  buffer.memory = V4L2_MEMORY_MMAP;
  return buffer;
}

}  // namespace

int OpenStream(const std::string& node, const FormatEntry& entry, Stream* stream,
               bool* noBandwidth) {
  *noBandwidth = false;
  if (!IsConvertible(entry.fourcc)) {
    return CNOKHWA_ERR_UNSUPPORTED_FORMAT;
  }
  Stream opened;
  opened.node = node;
  opened.fd.reset(open(("/dev/" + node).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  const int fd = opened.fd.get();
  if (fd < 0) {
    return CNOKHWA_ERR_OPEN_FAILED;
  }
  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  format.fmt.pix.width = static_cast<uint32_t>(entry.width);
  format.fmt.pix.height = static_cast<uint32_t>(entry.height);
  format.fmt.pix.pixelformat = entry.fourcc;
  format.fmt.pix.field = V4L2_FIELD_ANY;
  if (Xioctl(fd, VIDIOC_S_FMT, &format) != 0) {
    return CNOKHWA_ERR_OPEN_FAILED;
  }
  // The driver may adjust what was asked for; what it answers is what it will send, with the
  // colour encoding it reports. A bytesperline of 0 means packed rows.
  if (!IsConvertible(format.fmt.pix.pixelformat)) {
    return CNOKHWA_ERR_UNSUPPORTED_FORMAT;
  }
  if (format.fmt.pix.width < 1 || format.fmt.pix.height < 1 ||
      format.fmt.pix.width > static_cast<uint32_t>(kMaxFrameSide) ||
      format.fmt.pix.height > static_cast<uint32_t>(kMaxFrameSide)) {
    return CNOKHWA_ERR_OPEN_FAILED;
  }
  opened.format.fourcc = format.fmt.pix.pixelformat;
  opened.format.width = static_cast<int>(format.fmt.pix.width);
  opened.format.height = static_cast<int>(format.fmt.pix.height);
  opened.format.stride = static_cast<int64_t>(format.fmt.pix.bytesperline);
  opened.format.color = DescribeColor(format.fmt.pix);
  if (!FrameConverter::Accepts(opened.format)) {
    return CNOKHWA_ERR_OPEN_FAILED;  // a stride too small for the width
  }
  if (entry.frameRate > 0) {
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parm.parm.capture.timeperframe.numerator = 1;
    parm.parm.capture.timeperframe.denominator = static_cast<uint32_t>(entry.frameRate);
    Xioctl(fd, VIDIOC_S_PARM, &parm);  // a camera without rate control keeps its own rate
  }
  v4l2_requestbuffers request{};
  request.count = kStreamBuffers;
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  if (Xioctl(fd, VIDIOC_REQBUFS, &request) != 0 || request.count < 1) {
    return CNOKHWA_ERR_OPEN_FAILED;
  }
  for (uint32_t i = 0; i < request.count && i < kMaxStreamBuffers; ++i) {
    v4l2_buffer buffer = EmptyBuffer();
    buffer.index = i;
    if (Xioctl(fd, VIDIOC_QUERYBUF, &buffer) != 0 || buffer.length == 0) {
      return CNOKHWA_ERR_OPEN_FAILED;
    }
    void* data =
        mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buffer.m.offset);
    if (data == MAP_FAILED) {
      return CNOKHWA_ERR_OPEN_FAILED;
    }
    opened.buffers.push_back(std::make_unique<Mapping>(data, buffer.length));
    if (Xioctl(fd, VIDIOC_QBUF, &buffer) != 0) {
      return CNOKHWA_ERR_OPEN_FAILED;
    }
  }
  v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (Xioctl(fd, VIDIOC_STREAMON, &type) != 0) {
    *noBandwidth = errno == ENOSPC;
    return CNOKHWA_ERR_OPEN_FAILED;
  }
  *stream = std::move(opened);
  return CNOKHWA_OK;
}

int OpenCamera(const NodeLocator& locator, const std::vector<FormatEntry>& formats, int format,
               Stream* stream) {
  if (format < 0 || static_cast<size_t>(format) >= formats.size()) {
    return CNOKHWA_ERR_BAD_ARGUMENT;
  }
  const std::string node = locator.Find();
  if (node.empty()) {
    return CNOKHWA_ERR_DEVICE_LOST;
  }
  bool noBandwidth = false;
  const int result = OpenStream(node, formats[static_cast<size_t>(format)], stream, &noBandwidth);
  if (result == CNOKHWA_OK || !noBandwidth) {
    return result;
  }
  const int compressed = CompressedAlternative(formats, format);
  if (compressed < 0) {
    return result;
  }
  return OpenStream(node, formats[static_cast<size_t>(compressed)], stream, &noBandwidth);
}

V4l2Session::V4l2Session(Stream stream, NodeLocator locator, std::vector<FormatEntry> formats,
                         int format, std::shared_ptr<FrameStore> frames, uint64_t token)
    : stream_(std::move(stream)),
      locator_(std::move(locator)),
      formats_(std::move(formats)),
      format_(format),
      converter_(std::make_unique<FrameConverter>(stream_.format)),
      frames_(std::move(frames)),
      token_(token),
      wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

V4l2Session::~V4l2Session() {
  stop_.store(true);
  if (wake_.get() >= 0) {
    const uint64_t one = 1;
    // A full counter still wakes the poll, so the result does not matter.
    [[maybe_unused]] const ssize_t written = write(wake_.get(), &one, sizeof(one));
  }
  if (thread_.joinable()) {
    thread_.join();
  }
  if (stream_.open()) {
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    Xioctl(stream_.fd.get(), VIDIOC_STREAMOFF, &type);
  }
}

void V4l2Session::Launch() {
  thread_ = std::thread([this] { Run(); });
}

bool V4l2Session::WaitForStop(int ms) {
  pollfd p{wake_.get(), POLLIN, 0};
  if (wake_.get() >= 0) {
    poll(&p, 1, ms);
  } else {
    poll(nullptr, 0, std::min(ms, kPollTimeoutMs));
  }
  return stop_.load();
}

void V4l2Session::Lose() {
  frames_->Fail(token_, CNOKHWA_ERR_DEVICE_LOST);
  v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  Xioctl(stream_.fd.get(), VIDIOC_STREAMOFF, &type);
  // Closing the node at once lets the kernel remove it; a camera plugged in again can then get
  // its old node back. The mappings go first, as at the end of a session.
  stream_.buffers.clear();
  stream_ = Stream();
}

bool V4l2Session::Reconnect() {
  Stream again;
  if (OpenCamera(locator_, formats_, format_, &again) != CNOKHWA_OK) {
    return false;
  }
  std::unique_ptr<FrameConverter> converter;
  try {
    converter = std::make_unique<FrameConverter>(again.format);
  } catch (const std::bad_alloc&) {
    return false;
  }
  stream_ = std::move(again);
  converter_ = std::move(converter);
  frames_->Resume(token_);
  return true;
}

void V4l2Session::Run() {
  while (!stop_.load()) {
    if (!stream_.open()) {
      if (WaitForStop(kReconnectIntervalMs)) {
        return;
      }
      Reconnect();
      continue;
    }
    pollfd p[2] = {{stream_.fd.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    const int ready = poll(p, wake_.get() >= 0 ? 2 : 1, kPollTimeoutMs);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (stop_.load()) {
      return;
    }
    if (ready < 0 || (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      Lose();
      continue;
    }
    if ((p[0].revents & POLLIN) != 0 && !DrainAndPublish()) {
      Lose();
    }
  }
}

bool V4l2Session::DrainAndPublish() {
  // Usable buffers in the order the driver filled them, so the last is the newest. Each is put
  // back once the newest has been converted: a grab must show the camera's latest picture, not
  // the oldest one waiting in the queue, and converting the older ones would only cost time.
  v4l2_buffer held[kMaxStreamBuffers];
  size_t heldCount = 0;
  auto requeue = [&](v4l2_buffer& buffer) {
    return Xioctl(stream_.fd.get(), VIDIOC_QBUF, &buffer) == 0;
  };
  bool failed = false;
  for (size_t i = 0; i < stream_.buffers.size(); ++i) {
    v4l2_buffer buffer = EmptyBuffer();
    if (Xioctl(stream_.fd.get(), VIDIOC_DQBUF, &buffer) != 0) {
      failed = errno != EAGAIN;
      break;
    }
    if (buffer.index >= stream_.buffers.size()) {
      continue;  // not one of ours: nothing to read or put back
    }
    // A buffer with no payload (bytesused 0) holds nothing new, whatever is left in its memory;
    // the driver flags a frame that lost data on the bus.
    if (buffer.bytesused == 0 || (buffer.flags & V4L2_BUF_FLAG_ERROR) != 0) {
      if (!requeue(buffer)) {
        failed = true;
        break;
      }
      continue;
    }
    held[heldCount++] = buffer;
  }
  // Newest first; an older frame stands in only when a newer one does not convert (a JPEG that
  // does not decode, a short frame).
  if (!failed) {
    for (size_t k = heldCount; k-- > 0;) {
      const Mapping& mapping = *stream_.buffers[held[k].index];
      const size_t used = std::min<size_t>(held[k].bytesused, mapping.length());
      int width = 0;
      int height = 0;
      if (converter_->Convert(mapping.data(), used, back_, &width, &height)) {
        frames_->Publish(token_, back_, width, height);
        break;
      }
    }
  }
  for (size_t k = 0; k < heldCount; ++k) {
    failed = !requeue(held[k]) || failed;
  }
  return !failed;
}

}  // namespace cnokhwa
