#include "v4l2_device.h"

#include <fcntl.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>

#include "cnokhwa.h"
#include "frame_sizes.h"
#include "pixel_layouts.h"
#include "v4l2_identity.h"
#include "v4l2_io.h"
#include "v4l2_stream.h"

namespace cnokhwa {
namespace {

// Bounds on what a driver may list, so that a misbehaving driver cannot keep enumeration busy.
constexpr uint32_t kMaxEnumIndex = 64;
constexpr size_t kMaxFormats = 1024;

void AddUnique(std::vector<FormatEntry>* formats, const FormatEntry& entry) {
  const bool listed = std::any_of(formats->begin(), formats->end(), [&](const FormatEntry& f) {
    return f.fourcc == entry.fourcc && f.width == entry.width && f.height == entry.height &&
           f.frameRate == entry.frameRate;
  });
  if (!listed && formats->size() < kMaxFormats) {
    formats->push_back(entry);
  }
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
      AddUnique(formats,
                {fourcc, width, height,
                 FrameRateOfInterval(interval.discrete.numerator, interval.discrete.denominator)});
      continue;
    }
    // A range: its fastest and slowest rate.
    AddUnique(formats, {fourcc, width, height,
                        FrameRateOfInterval(interval.stepwise.min.numerator,
                                            interval.stepwise.min.denominator)});
    AddUnique(formats, {fourcc, width, height,
                        FrameRateOfInterval(interval.stepwise.max.numerator,
                                            interval.stepwise.max.denominator)});
    break;
  }
  if (formats->size() == before) {
    AddUnique(formats, {fourcc, width, height, 0});
  }
}

// Every pixel format, size and rate the driver lists, of the pixel formats that capture can
// deliver: a format the library cannot convert (H.264, say) is left out, so that a script never
// picks an entry that can only fail.
std::vector<FormatEntry> ListFormats(int fd) {
  std::vector<FormatEntry> formats;
  for (uint32_t f = 0; f < kMaxEnumIndex && formats.size() < kMaxFormats; ++f) {
    v4l2_fmtdesc desc{};
    desc.index = f;
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Xioctl(fd, VIDIOC_ENUM_FMT, &desc) != 0) {
      break;
    }
    if (!IsConvertible(desc.pixelformat)) {
      continue;
    }
    for (uint32_t s = 0; s < kMaxEnumIndex && formats.size() < kMaxFormats; ++s) {
      v4l2_frmsizeenum size{};
      size.index = s;
      size.pixel_format = desc.pixelformat;
      if (Xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0) {
        break;
      }
      if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        if (size.discrete.width >= 1 && size.discrete.height >= 1 &&
            size.discrete.width <= static_cast<uint32_t>(kMaxFrameSide) &&
            size.discrete.height <= static_cast<uint32_t>(kMaxFrameSide)) {
          ListFrameRates(fd, desc.pixelformat, static_cast<int>(size.discrete.width),
                         static_cast<int>(size.discrete.height), &formats);
        }
        continue;
      }
      // Continuous or stepwise: its ends and the common sizes inside it.
      FrameSizeRange range;
      range.minWidth = size.stepwise.min_width;
      range.maxWidth = size.stepwise.max_width;
      range.minHeight = size.stepwise.min_height;
      range.maxHeight = size.stepwise.max_height;
      const bool continuous = size.type == V4L2_FRMSIZE_TYPE_CONTINUOUS;
      range.stepWidth = continuous ? 1 : size.stepwise.step_width;
      range.stepHeight = continuous ? 1 : size.stepwise.step_height;
      for (const auto& [w, h] : SizesInRange(range, kMaxFrameSide)) {
        ListFrameRates(fd, desc.pixelformat, w, h, &formats);
      }
      break;
    }
  }
  return formats;
}

class V4l2Device : public Device {
 public:
  V4l2Device(DeviceInfo info, NodeLocator locator, std::vector<FormatEntry> formats)
      : Device(std::move(info), std::move(formats)), locator_(std::move(locator)) {}
  // The session's thread reads nothing of this object, but stop it before the members go.
  ~V4l2Device() override { Stop(); }

 protected:
  int CheckRequest(const CaptureRequest& request) const override {
    const int index = ResolveFormat(request);
    if (index < 0 || !IsConvertible(Formats()[static_cast<size_t>(index)].fourcc)) {
      return CNOKHWA_ERR_UNSUPPORTED_FORMAT;
    }
    return CNOKHWA_OK;
  }

  bool Attached() const override { return !locator_.Find().empty(); }

  int CreateSession(const CaptureRequest& request, std::shared_ptr<FrameStore> frames,
                    uint64_t token, std::unique_ptr<Session>* session) override {
    const int index = ResolveFormat(request);
    if (index < 0 || !IsConvertible(Formats()[static_cast<size_t>(index)].fourcc)) {
      return CNOKHWA_ERR_UNSUPPORTED_FORMAT;
    }
    Stream stream;
    const int result = OpenCamera(locator_, Formats(), index, &stream);
    if (result != CNOKHWA_OK) {
      return result;
    }
    // From here the session owns the descriptor and the mappings.
    auto started = std::make_unique<V4l2Session>(std::move(stream), locator_, Formats(), index,
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
  int ResolveFormat(const CaptureRequest& request) const {
    return request.format >= 0 ? request.format
                               : ChooseFormat(Formats(), request.width, request.height);
  }

  const NodeLocator locator_;
};

// One capture node found by a scan.
struct Candidate {
  std::string name;
  v4l2_capability caps;
  NodeLocation location;
  std::string identity;
  UniqueFd fd;
};

}  // namespace

std::vector<std::shared_ptr<Device>> ScanV4l2Devices(
    const std::function<std::shared_ptr<Device>(const std::string& key)>& known) {
  std::vector<Candidate> candidates;
  for (const std::string& name : ListVideoNodes()) {
    Candidate candidate;
    candidate.name = name;
    candidate.fd.reset(open(("/dev/" + name).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (candidate.fd.get() < 0) {
      continue;
    }
    candidate.caps = v4l2_capability{};
    if (Xioctl(candidate.fd.get(), VIDIOC_QUERYCAP, &candidate.caps) != 0) {
      continue;
    }
    const v4l2_capability& caps = candidate.caps;
    const uint32_t nodeCaps =
        (caps.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? caps.device_caps : caps.capabilities;
    if ((nodeCaps & V4L2_CAP_VIDEO_CAPTURE) == 0 || (nodeCaps & V4L2_CAP_STREAMING) == 0) {
      continue;
    }
    candidate.location = LocateNode(name);
    candidate.identity = NodeIdentity(candidate.location, caps);
    candidates.push_back(std::move(candidate));
  }

  std::vector<std::shared_ptr<Device>> devices;
  std::vector<std::string> uniqueIds;
  for (Candidate& candidate : candidates) {
    const std::string path = "/dev/" + candidate.name;
    const std::string card = FixedString(candidate.caps.card, sizeof(candidate.caps.card));
    const std::string busInfo =
        FixedString(candidate.caps.bus_info, sizeof(candidate.caps.bus_info));
    // Nodes that sysfs does not tell apart are found by their node names instead.
    const bool ambiguous =
        std::count_if(candidates.begin(), candidates.end(), [&](const Candidate& other) {
          return other.identity == candidate.identity;
        }) > 1;
    NodeLocator locator;
    locator.identity = ambiguous ? std::string() : candidate.identity;
    locator.node = candidate.name;
    DeviceInfo info;
    info.key = ambiguous ? candidate.identity + "/" + candidate.name : candidate.identity;
    if (std::shared_ptr<Device> existing = known(info.key)) {
      devices.push_back(std::move(existing));
      uniqueIds.push_back(devices.back()->Info().uniqueId);
      continue;
    }
    info.uniqueId = ByIdName(candidate.name);
    if (info.uniqueId.empty()) {
      info.uniqueId = busInfo.empty() ? path : busInfo;
      // Two capture nodes of one device share their bus location.
      if (std::find(uniqueIds.begin(), uniqueIds.end(), info.uniqueId) != uniqueIds.end()) {
        info.uniqueId += "/" + candidate.name;
      }
    }
    info.modelId = candidate.location.usb
                       ? candidate.location.vendorId + ":" + candidate.location.productId
                       : card;
    info.name = card;
    uniqueIds.push_back(info.uniqueId);
    devices.push_back(
        std::make_shared<V4l2Device>(info, std::move(locator), ListFormats(candidate.fd.get())));
  }
  return devices;
}

}  // namespace cnokhwa
