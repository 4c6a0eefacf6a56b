#include "v4l2_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "cnokhwa.h"
#include "frame_converter.h"
#include "pixel_layouts.h"

namespace cnokhwa {
namespace {

constexpr const char* kSysClassDir = "/sys/class/video4linux";
constexpr const char* kByIdDir = "/dev/v4l/by-id";
// Bounds on what a driver may list, so that a misbehaving driver cannot keep enumeration busy.
constexpr uint32_t kMaxEnumIndex = 64;
constexpr size_t kMaxFormats = 1024;
constexpr uint32_t kStreamBuffers = 4;
// The capture thread wakes at least this often to see a stop request, should the wake-up
// descriptor be unavailable.
constexpr int kPollTimeoutMs = 200;

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

class Mapping {
 public:
  Mapping(void* data, size_t length) : data_(data), length_(length) {}
  ~Mapping() {
    if (data_ != MAP_FAILED && data_ != nullptr) {
      munmap(data_, length_);
    }
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  const uint8_t* data() const { return static_cast<const uint8_t*>(data_); }
  size_t length() const { return length_; }

 private:
  void* data_;
  size_t length_;
};

int Xioctl(int fd, unsigned long request, void* arg) {
  int result;
  do {
    result = ioctl(fd, request, arg);
  } while (result == -1 && errno == EINTR);
  return result;
}

std::string FixedString(const uint8_t* bytes, size_t capacity) {
  const char* text = reinterpret_cast<const char*>(bytes);
  return std::string(text, strnlen(text, capacity));
}

std::string ReadSmallFile(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return {};
  }
  char buffer[64];
  const ssize_t n = read(fd.get(), buffer, sizeof(buffer));
  if (n <= 0) {
    return {};
  }
  std::string text(buffer, static_cast<size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

bool IsHexId(const std::string& text) {
  return text.size() == 4 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

// "videoN" names of the class directory, in numeric order.
std::vector<std::string> ListVideoNodes() {
  std::vector<std::pair<long, std::string>> nodes;
  DIR* dir = opendir(kSysClassDir);
  if (dir == nullptr) {
    return {};
  }
  while (dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strncmp(name, "video", 5) != 0 || name[5] == '\0') {
      continue;
    }
    char* end = nullptr;
    const long number = std::strtol(name + 5, &end, 10);
    if (*end != '\0' || number < 0) {
      continue;
    }
    nodes.emplace_back(number, name);
  }
  closedir(dir);
  std::sort(nodes.begin(), nodes.end());
  std::vector<std::string> names;
  for (auto& node : nodes) {
    names.push_back(std::move(node.second));
  }
  return names;
}

// The /dev/v4l/by-id link that points at the node, which udev names from the USB maker, product
// and serial number, so it survives replugging into another port.
std::string ByIdName(const std::string& nodeName) {
  std::string found;
  DIR* dir = opendir(kByIdDir);
  if (dir == nullptr) {
    return found;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    char target[512];
    const ssize_t n =
        readlink((std::string(kByIdDir) + "/" + name).c_str(), target, sizeof(target) - 1);
    if (n <= 0) {
      continue;
    }
    target[n] = '\0';
    const char* slash = std::strrchr(target, '/');
    if (nodeName == (slash != nullptr ? slash + 1 : target)) {
      found = name;
      break;
    }
  }
  return found;
}

void ListFrameRates(int fd, uint32_t fourcc, int width, int height,
                    std::vector<FormatEntry>* formats) {
  const size_t before = formats->size();
  for (uint32_t i = 0; i < kMaxEnumIndex && formats->size() < kMaxFormats; ++i) {
    v4l2_frmivalenum interval{};
    interval.index = i;
    interval.pixel_format = fourcc;
    interval.width = static_cast<uint32_t>(width);
    interval.height = static_cast<uint32_t>(height);
    if (Xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) != 0) {
      break;
    }
    if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
      formats->push_back(
          {fourcc, width, height,
           FrameRateOfInterval(interval.discrete.numerator, interval.discrete.denominator)});
      continue;
    }
    // A range: its fastest and slowest rate.
    const int fastest =
        FrameRateOfInterval(interval.stepwise.min.numerator, interval.stepwise.min.denominator);
    const int slowest =
        FrameRateOfInterval(interval.stepwise.max.numerator, interval.stepwise.max.denominator);
    formats->push_back({fourcc, width, height, fastest});
    if (slowest != fastest) {
      formats->push_back({fourcc, width, height, slowest});
    }
    break;
  }
  if (formats->size() == before && formats->size() < kMaxFormats) {
    formats->push_back({fourcc, width, height, 0});
  }
}

std::vector<FormatEntry> ListFormats(int fd) {
  std::vector<FormatEntry> formats;
  for (uint32_t f = 0; f < kMaxEnumIndex && formats.size() < kMaxFormats; ++f) {
    v4l2_fmtdesc desc{};
    desc.index = f;
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Xioctl(fd, VIDIOC_ENUM_FMT, &desc) != 0) {
      break;
    }
    for (uint32_t s = 0; s < kMaxEnumIndex && formats.size() < kMaxFormats; ++s) {
      v4l2_frmsizeenum size{};
      size.index = s;
      size.pixel_format = desc.pixelformat;
      if (Xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0) {
        break;
      }
      auto add = [&](uint32_t w, uint32_t h) {
        if (w >= 1 && h >= 1 && w <= static_cast<uint32_t>(kMaxFrameSide) &&
            h <= static_cast<uint32_t>(kMaxFrameSide)) {
          ListFrameRates(fd, desc.pixelformat, static_cast<int>(w), static_cast<int>(h), &formats);
        }
      };
      if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        add(size.discrete.width, size.discrete.height);
        continue;
      }
      // Continuous or stepwise: the smallest and the largest size.
      add(size.stepwise.min_width, size.stepwise.min_height);
      if (size.stepwise.max_width != size.stepwise.min_width ||
          size.stepwise.max_height != size.stepwise.min_height) {
        add(size.stepwise.max_width, size.stepwise.max_height);
      }
      break;
    }
  }
  return formats;
}

// Streams one opened node into a frame store.
class V4l2Session : public Session {
 public:
  V4l2Session(int fd, std::vector<std::unique_ptr<Mapping>> buffers, const SourceFormat& format,
              std::shared_ptr<FrameStore> frames, uint64_t token)
      : fd_(fd),
        buffers_(std::move(buffers)),
        converter_(format),
        frames_(std::move(frames)),
        token_(token) {}

  ~V4l2Session() override {
    stop_.store(true);
    if (wake_.get() >= 0) {
      const uint64_t one = 1;
      // A full counter still wakes the poll, so the result does not matter.
      [[maybe_unused]] const ssize_t written = write(wake_.get(), &one, sizeof(one));
    }
    if (thread_.joinable()) {
      thread_.join();
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    Xioctl(fd_.get(), VIDIOC_STREAMOFF, &type);
    buffers_.clear();  // unmapped before the descriptor closes
  }

  void Launch() {
    thread_ = std::thread([this] { Run(); });
  }

 private:
  void Run() {
    while (!stop_.load()) {
      pollfd p[2] = {{fd_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      const int ready = poll(p, wake_.get() >= 0 ? 2 : 1, kPollTimeoutMs);
      if (ready < 0 && errno == EINTR) {
        continue;
      }
      if (stop_.load()) {
        return;
      }
      if (ready < 0 || (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        frames_->Fail(token_, CNOKHWA_ERR_DEVICE_LOST);
        return;
      }
      if ((p[0].revents & POLLIN) == 0) {
        continue;
      }
      v4l2_buffer buffer{};
      buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buffer.memory = V4L2_MEMORY_MMAP;
      if (Xioctl(fd_.get(), VIDIOC_DQBUF, &buffer) != 0) {
        if (errno == EAGAIN) {
          continue;
        }
        frames_->Fail(token_, CNOKHWA_ERR_DEVICE_LOST);
        return;
      }
      if (buffer.index < buffers_.size() && (buffer.flags & V4L2_BUF_FLAG_ERROR) == 0) {
        const Mapping& mapping = *buffers_[buffer.index];
        const size_t used = std::min<size_t>(
            buffer.bytesused != 0 ? buffer.bytesused : mapping.length(), mapping.length());
        Convert(mapping.data(), used);
      }
      if (Xioctl(fd_.get(), VIDIOC_QBUF, &buffer) != 0) {
        frames_->Fail(token_, CNOKHWA_ERR_DEVICE_LOST);
        return;
      }
    }
  }

  // Damaged frames are skipped: the previous frame stays the newest. A camera may send JPEG
  // frames of another size than it negotiated; the frame geometry follows what it sends.
  void Convert(const uint8_t* data, size_t size) {
    int width = 0;
    int height = 0;
    if (converter_.Convert(data, size, back_, &width, &height)) {
      frames_->Publish(token_, back_, width, height);
    }
  }

  UniqueFd fd_;
  // Written by the destructor so that a stop does not wait for the poll time-out.
  UniqueFd wake_{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  std::vector<std::unique_ptr<Mapping>> buffers_;
  FrameConverter converter_;
  const std::shared_ptr<FrameStore> frames_;
  const uint64_t token_;
  std::vector<uint8_t> back_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class V4l2Device : public Device {
 public:
  V4l2Device(std::string path, DeviceInfo info, std::vector<FormatEntry> formats)
      : Device(std::move(info), std::move(formats)), path_(std::move(path)) {}

 protected:
  int CreateSession(const CaptureRequest& request, std::shared_ptr<FrameStore> frames,
                    uint64_t token, std::unique_ptr<Session>* session) override {
    const int index = request.format >= 0 ? request.format
                                          : ChooseFormat(Formats(), request.width, request.height);
    if (index < 0) {
      return CNOKHWA_ERR_UNSUPPORTED_FORMAT;
    }
    const FormatEntry& entry = Formats()[static_cast<size_t>(index)];
    if (!IsConvertible(entry.fourcc)) {
      return CNOKHWA_ERR_UNSUPPORTED_FORMAT;
    }
    UniqueFd fd(open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    const int raw = fd.get();
    if (raw < 0) {
      return CNOKHWA_ERR_OPEN_FAILED;
    }
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = static_cast<uint32_t>(entry.width);
    format.fmt.pix.height = static_cast<uint32_t>(entry.height);
    format.fmt.pix.pixelformat = entry.fourcc;
    format.fmt.pix.field = V4L2_FIELD_ANY;
    if (Xioctl(raw, VIDIOC_S_FMT, &format) != 0) {
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
    SourceFormat source;
    source.fourcc = format.fmt.pix.pixelformat;
    source.width = static_cast<int>(format.fmt.pix.width);
    source.height = static_cast<int>(format.fmt.pix.height);
    source.stride = static_cast<int64_t>(format.fmt.pix.bytesperline);
    source.color = DescribeColor(format.fmt.pix);
    if (!FrameConverter::Accepts(source)) {
      return CNOKHWA_ERR_OPEN_FAILED;  // a stride too small for the width
    }
    if (entry.frameRate > 0) {
      v4l2_streamparm parm{};
      parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      parm.parm.capture.timeperframe.numerator = 1;
      parm.parm.capture.timeperframe.denominator = static_cast<uint32_t>(entry.frameRate);
      Xioctl(raw, VIDIOC_S_PARM, &parm);  // a camera without rate control keeps its own rate
    }
    v4l2_requestbuffers request_buffers{};
    request_buffers.count = kStreamBuffers;
    request_buffers.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request_buffers.memory = V4L2_MEMORY_MMAP;
    if (Xioctl(raw, VIDIOC_REQBUFS, &request_buffers) != 0 || request_buffers.count < 1) {
      return CNOKHWA_ERR_OPEN_FAILED;
    }
    std::vector<std::unique_ptr<Mapping>> buffers;
    for (uint32_t i = 0; i < request_buffers.count && i < 32; ++i) {
      v4l2_buffer buffer{};
      buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buffer.memory = V4L2_MEMORY_MMAP;
      buffer.index = i;
      if (Xioctl(raw, VIDIOC_QUERYBUF, &buffer) != 0 || buffer.length == 0) {
        return CNOKHWA_ERR_OPEN_FAILED;
      }
      void* data =
          mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, raw, buffer.m.offset);
      if (data == MAP_FAILED) {
        return CNOKHWA_ERR_OPEN_FAILED;
      }
      buffers.push_back(std::make_unique<Mapping>(data, buffer.length));
      if (Xioctl(raw, VIDIOC_QBUF, &buffer) != 0) {
        return CNOKHWA_ERR_OPEN_FAILED;
      }
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Xioctl(raw, VIDIOC_STREAMON, &type) != 0) {
      return CNOKHWA_ERR_OPEN_FAILED;
    }
    // From here the session owns the descriptor and the mappings.
    auto started = std::make_unique<V4l2Session>(fd.release(), std::move(buffers), source,
                                                 std::move(frames), token);
    try {
      started->Launch();
    } catch (const std::system_error&) {
      return CNOKHWA_ERR_NO_MEMORY;
    }
    *session = std::move(started);
    return CNOKHWA_OK;
  }

 private:
  const std::string path_;
};

}  // namespace

std::vector<std::shared_ptr<Device>> ScanV4l2Devices(
    const std::function<std::shared_ptr<Device>(const std::string& key)>& known) {
  std::vector<std::shared_ptr<Device>> devices;
  std::vector<std::string> uniqueIds;
  for (const std::string& name : ListVideoNodes()) {
    const std::string path = "/dev/" + name;
    UniqueFd fd(open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
      continue;
    }
    v4l2_capability caps{};
    if (Xioctl(fd.get(), VIDIOC_QUERYCAP, &caps) != 0) {
      continue;
    }
    const uint32_t nodeCaps =
        (caps.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? caps.device_caps : caps.capabilities;
    if ((nodeCaps & V4L2_CAP_VIDEO_CAPTURE) == 0 || (nodeCaps & V4L2_CAP_STREAMING) == 0) {
      continue;
    }
    const std::string card = FixedString(caps.card, sizeof(caps.card));
    const std::string busInfo = FixedString(caps.bus_info, sizeof(caps.bus_info));
    DeviceInfo info;
    info.key = path + "|" + busInfo + "|" + card;
    if (std::shared_ptr<Device> existing = known(info.key)) {
      devices.push_back(std::move(existing));
      uniqueIds.push_back(devices.back()->Info().uniqueId);
      continue;
    }
    info.uniqueId = ByIdName(name);
    if (info.uniqueId.empty()) {
      info.uniqueId = busInfo.empty() ? path : busInfo;
      // Two capture nodes of one device share their bus location.
      if (std::find(uniqueIds.begin(), uniqueIds.end(), info.uniqueId) != uniqueIds.end()) {
        info.uniqueId += "/" + name;
      }
    }
    // The class entry's "device" link points at the USB interface; its parent is the device.
    const std::string usbDir = std::string(kSysClassDir) + "/" + name + "/device/../";
    const std::string vendor = ReadSmallFile(usbDir + "idVendor");
    const std::string product = ReadSmallFile(usbDir + "idProduct");
    if (IsHexId(vendor) && IsHexId(product)) {
      info.modelId = vendor + ":" + product;
      std::transform(info.modelId.begin(), info.modelId.end(), info.modelId.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    } else {
      info.modelId = card;
    }
    info.name = card;
    uniqueIds.push_back(info.uniqueId);
    devices.push_back(std::make_shared<V4l2Device>(path, info, ListFormats(fd.get())));
  }
  return devices;
}

}  // namespace cnokhwa
