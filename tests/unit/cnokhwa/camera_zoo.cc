#include "camera_zoo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <stdexcept>
#include <tuple>

#include "pixel_convert.h"
#include "pixel_reference.h"

namespace cnokhwa {
namespace zoo {
namespace {

using Clock = std::chrono::steady_clock;

// How long a DQBUF that finds no filled buffer waits for one before it answers EAGAIN. A driver
// would answer at once and let poll wait; the node's poll cannot wait (see the header).
constexpr auto kDequeueWait = std::chrono::milliseconds(20);
constexpr uint32_t kMaxBuffers = 8;
constexpr uint32_t kPage = 4096;

v4l2_fract Fps(uint32_t fps) {
  return {1, fps};
}

SizeModel Discrete(uint32_t width, uint32_t height, std::vector<v4l2_fract> intervals) {
  SizeModel size;
  size.width = width;
  size.height = height;
  size.intervals = std::move(intervals);
  return size;
}

// The rates a UVC camera typically lists below its fastest one.
std::vector<v4l2_fract> RatesFrom(uint32_t fastest) {
  std::vector<v4l2_fract> rates;
  for (const uint32_t fps : {30u, 24u, 20u, 15u, 10u, 5u}) {
    if (fps <= fastest) {
      rates.push_back(Fps(fps));
    }
  }
  return rates;
}

FormatModel Format(uint32_t fourcc, const char* description, std::vector<SizeModel> sizes,
                   uint32_t flags = 0) {
  FormatModel format;
  format.fourcc = fourcc;
  format.description = description;
  format.flags = flags;
  format.sizes = std::move(sizes);
  return format;
}

bool IsJpeg(uint32_t fourcc) {
  return fourcc == V4L2_PIX_FMT_MJPEG || fourcc == V4L2_PIX_FMT_JPEG;
}

// Row bytes and image size of a format, from the V4L2 layout definitions.
void Geometry(v4l2_pix_format* pix) {
  const uint32_t w = pix->width;
  const uint32_t h = pix->height;
  uint32_t bytesPerLine = w;
  uint64_t image = 0;
  switch (pix->pixelformat) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
    case V4L2_PIX_FMT_YVYU:
    case V4L2_PIX_FMT_VYUY:
      bytesPerLine = (w + 1) / 2 * 4;
      break;
    case V4L2_PIX_FMT_Y16:
      bytesPerLine = w * 2;
      break;
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24:
      bytesPerLine = w * 3;
      break;
    case V4L2_PIX_FMT_BGR32:
      bytesPerLine = w * 4;
      break;
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
    case V4L2_PIX_FMT_H264:
      bytesPerLine = 0;
      image = uint64_t{w} * h * 2;  // what uvcvideo reports: the camera's largest frame
      break;
    default:
      break;
  }
  if (image == 0) {
    image = uint64_t{bytesPerLine} * h;
    if (pix->pixelformat == V4L2_PIX_FMT_NV12 || pix->pixelformat == V4L2_PIX_FMT_NV21) {
      image += uint64_t{bytesPerLine} * ((h + 1) / 2);
    } else if (pix->pixelformat == V4L2_PIX_FMT_YUV420 || pix->pixelformat == V4L2_PIX_FMT_YVU420) {
      image += uint64_t{(bytesPerLine + 1) / 2} * ((h + 1) / 2) * 2;
    }
  }
  pix->bytesperline = bytesPerLine;
  pix->sizeimage = static_cast<uint32_t>(image);
}

// The size of one size entry nearest to the request.
void NearestIn(const SizeModel& size, uint32_t w, uint32_t h, uint32_t* outW, uint32_t* outH) {
  if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
    *outW = size.width;
    *outH = size.height;
    return;
  }
  const v4l2_frmsize_stepwise& r = size.range;
  auto fit = [](uint32_t v, uint32_t lo, uint32_t hi, uint32_t step) {
    v = std::clamp(v, lo, hi);
    if (step > 1) {
      v = lo + (v - lo) / step * step;
    }
    return v;
  };
  *outW = fit(w, r.min_width, r.max_width, r.step_width);
  *outH = fit(h, r.min_height, r.max_height, r.step_height);
}

const SizeModel* SizeFor(const FormatModel& format, uint32_t w, uint32_t h) {
  for (const SizeModel& size : format.sizes) {
    uint32_t sw = 0;
    uint32_t sh = 0;
    NearestIn(size, w, h, &sw, &sh);
    if (sw == w && sh == h) {
      return &size;
    }
  }
  return nullptr;
}

double Seconds(const v4l2_fract& f) {
  return f.denominator == 0 ? 0 : static_cast<double>(f.numerator) / f.denominator;
}

// umockdev_testbed_add_devicev with the attributes and properties as name, value lists.
std::string AddDevice(UMockdevTestbed* testbed, const char* subsystem, const std::string& name,
                      const std::string& parent, const std::vector<std::string>& attributes,
                      const std::vector<std::string>& properties) {
  auto strings = [](const std::vector<std::string>& list) {
    std::vector<gchar*> out;
    for (const std::string& s : list) {
      out.push_back(const_cast<gchar*>(s.c_str()));
    }
    out.push_back(nullptr);
    return out;
  };
  std::vector<gchar*> a = strings(attributes);
  std::vector<gchar*> p = strings(properties);
  gchar* path =
      umockdev_testbed_add_devicev(testbed, subsystem, name.c_str(),
                                   parent.empty() ? nullptr : parent.c_str(), a.data(), p.data());
  if (path == nullptr) {
    throw std::runtime_error("umockdev cannot add " + name);
  }
  std::string result = path;
  g_free(path);
  return result;
}

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04x\n", value);
  return text;
}

SourceFormat SourceOf(const v4l2_pix_format& pix) {
  SourceFormat source;
  source.fourcc = pix.pixelformat;
  source.width = static_cast<int>(pix.width);
  source.height = static_cast<int>(pix.height);
  source.stride = pix.bytesperline;
  source.color = DescribeColor(pix);
  return source;
}

}  // namespace

CameraModel Webcam1080p() {
  CameraModel model;
  model.card = "HD Pro Webcam C920";
  model.vendor = 0x046d;
  model.product = 0x082d;
  model.serial = "A1B2C3D4";
  model.metadataNode = true;
  const std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> yuyv = {
      {640, 480, 30}, {160, 90, 30},  {160, 120, 30},  {320, 240, 30},  {640, 360, 30},
      {800, 600, 24}, {960, 720, 15}, {1280, 720, 10}, {1920, 1080, 5}, {2304, 1536, 2}};
  std::vector<SizeModel> yuyvSizes;
  for (const auto& [w, h, fps] : yuyv) {
    yuyvSizes.push_back(
        Discrete(w, h, fps >= 5 ? RatesFrom(fps) : std::vector<v4l2_fract>{Fps(2)}));
  }
  std::vector<SizeModel> compressedSizes;
  for (const auto& [w, h] : std::vector<std::pair<uint32_t, uint32_t>>{
           {640, 480}, {160, 90}, {320, 240}, {640, 360}, {960, 720}, {1280, 720}, {1920, 1080}}) {
    compressedSizes.push_back(Discrete(w, h, RatesFrom(30)));
  }
  model.formats = {
      Format(V4L2_PIX_FMT_YUYV, "YUYV 4:2:2", yuyvSizes),
      Format(V4L2_PIX_FMT_H264, "H.264", compressedSizes, V4L2_FMT_FLAG_COMPRESSED),
      Format(V4L2_PIX_FMT_MJPEG, "Motion-JPEG", compressedSizes, V4L2_FMT_FLAG_COMPRESSED),
  };
  return model;
}

CameraModel UsbMicroscope() {
  CameraModel model;
  model.card = "USB2.0 UVC PC Camera";
  model.vendor = 0x0ac8;
  model.product = 0x3610;
  // Its colour matching descriptor names BT.709 (uvcvideo reports it from bMatrixCoefficients).
  model.colorspace = V4L2_COLORSPACE_REC709;
  model.ycbcrEncoding = V4L2_YCBCR_ENC_709;
  model.formats = {
      Format(V4L2_PIX_FMT_MJPEG, "Motion-JPEG",
             {Discrete(1280, 1024, RatesFrom(30)), Discrete(1280, 720, RatesFrom(30)),
              Discrete(640, 480, RatesFrom(30))},
             V4L2_FMT_FLAG_COMPRESSED),
      Format(V4L2_PIX_FMT_YUYV, "YUYV 4:2:2",
             {Discrete(640, 480, RatesFrom(30)), Discrete(1280, 1024, {{2, 15}, Fps(5)})}),
  };
  return model;
}

CameraModel MonochromeCamera() {
  CameraModel model;
  model.card = "DMK 37BUX287";
  model.vendor = 0x199e;
  model.product = 0x9089;
  model.serial = "41910042";
  // A monochrome sensor has no chroma: the Y'CbCr fields stay at their defaults.
  const std::vector<SizeModel> sizes = {Discrete(720, 540, {Fps(60), Fps(30), Fps(15)}),
                                        Discrete(640, 480, {Fps(60), Fps(30), Fps(15)}),
                                        Discrete(320, 240, {Fps(60), Fps(30)})};
  model.formats = {Format(V4L2_PIX_FMT_GREY, "8-bit Greyscale", sizes),
                   Format(V4L2_PIX_FMT_Y16, "16-bit Greyscale", sizes)};
  return model;
}

CameraModel BayerCamera() {
  CameraModel model;
  model.card = "USB Camera (0c45:6128)";
  model.driver = "sonixj";
  model.vendor = 0x0c45;
  model.product = 0x6128;
  model.formats = {Format(V4L2_PIX_FMT_SGRBG8, "8-bit Bayer GRGR/BGBG",
                          {Discrete(640, 480, {Fps(30), Fps(15)}), Discrete(320, 240, {Fps(30)})})};
  return model;
}

CameraModel StepwiseCamera() {
  CameraModel model;
  model.card = "mmal service 16.1";
  model.driver = "bcm2835 mmal";
  model.platformName = "bcm2835-v4l2-0";
  // The firmware delivers full-range ("JPEG") Y'CbCr.
  model.colorspace = V4L2_COLORSPACE_JPEG;
  SizeModel range;
  range.type = V4L2_FRMSIZE_TYPE_STEPWISE;
  range.range = {32, 2592, 2, 32, 1944, 2};
  range.intervalRange = true;
  range.fastest = {1, 30};
  range.slowest = {1, 1};
  // The firmware's list, in its order: every layout but RGB32 and H.264 can be captured.
  model.formats = {
      Format(V4L2_PIX_FMT_YUV420, "Planar YUV 4:2:0", {range}),
      Format(V4L2_PIX_FMT_YUYV, "YUYV 4:2:2", {range}),
      Format(V4L2_PIX_FMT_RGB24, "24-bit RGB 8-8-8", {range}),
      Format(V4L2_PIX_FMT_JPEG, "JFIF JPEG", {range}, V4L2_FMT_FLAG_COMPRESSED),
      Format(V4L2_PIX_FMT_H264, "H.264", {range}, V4L2_FMT_FLAG_COMPRESSED),
      Format(V4L2_PIX_FMT_MJPEG, "Motion-JPEG", {range}, V4L2_FMT_FLAG_COMPRESSED),
      Format(V4L2_PIX_FMT_YVYU, "YVYU 4:2:2", {range}),
      Format(V4L2_PIX_FMT_VYUY, "VYUY 4:2:2", {range}),
      Format(V4L2_PIX_FMT_UYVY, "UYVY 4:2:2", {range}),
      Format(V4L2_PIX_FMT_NV12, "Y/UV 4:2:0", {range}),
      Format(V4L2_PIX_FMT_BGR24, "24-bit BGR 8-8-8", {range}),
      Format(V4L2_PIX_FMT_YVU420, "Planar YVU 4:2:0", {range}),
      Format(V4L2_PIX_FMT_NV21, "Y/VU 4:2:0", {range}),
      Format(V4L2_PIX_FMT_BGR32, "32-bit BGRA/X 8-8-8-8", {range}),
  };
  return model;
}

std::vector<uint8_t> FramePayload(const v4l2_pix_format& format, uint32_t frame) {
  const uint32_t content = (frame - 1) % kFrameCycle + 1;
  // Frames are made once per content and format: streaming at full rate then costs a copy.
  static std::mutex cacheMutex;
  static std::map<std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t>,
                  std::vector<uint8_t>>
      cache;
  const auto key = std::make_tuple(format.pixelformat, format.width, format.height,
                                   format.bytesperline, format.ycbcr_enc, content);
  {
    std::lock_guard<std::mutex> lock(cacheMutex);
    auto found = cache.find(key);
    if (found != cache.end()) {
      return found->second;
    }
  }
  std::vector<uint8_t> bytes;
  if (IsJpeg(format.pixelformat)) {
    bytes = testing::MakeTestJpeg(static_cast<int>(format.width), static_cast<int>(format.height),
                                  content);
  } else {
    // Noise covers every sample value, so a wrong matrix or range shows. Bayer data gets a smooth
    // scene, like a lens gives: demosaics are only comparable on those.
    const PixelLayout* layout = FindPixelLayout(format.pixelformat);
    const bool bayer = layout != nullptr && layout->kind == LayoutKind::kBayer;
    bytes = testing::MakeTestFrame(SourceOf(format), content, bayer);
  }
  std::lock_guard<std::mutex> lock(cacheMutex);
  if (cache.size() > 256) {
    cache.clear();
  }
  cache[key] = bytes;
  return bytes;
}

// One video4linux node of a camera and what its driver holds.
struct Camera::Node {
  Camera* camera = nullptr;
  std::string name;  // "video3"
  std::string file;  // the node's file in the test bed
  int fd = -1;       // open on it for writing frames, for the zoo's lifetime
  bool capture = true;
  bool gone = false;

  v4l2_pix_format format{};
  v4l2_fract interval{1, 30};

  struct Buffer {
    uint32_t offset = 0;
    uint32_t length = 0;
    bool queued = false;
    bool done = false;
    uint32_t bytesUsed = 0;
    uint32_t flags = 0;
    uint32_t sequence = 0;
    uint32_t frame = 0;
    timeval timestamp{};
  };
  std::vector<Buffer> buffers;
  std::deque<uint32_t> queue;   // queued and empty, oldest first
  std::deque<uint32_t> filled;  // done, in the order they were filled
  bool streaming = false;
  UMockdevIoctlClient* owner = nullptr;  // the descriptor that streams
  uint32_t sequence = 0;
  Clock::time_point nextFrame;
  bool lastDequeueGaveBuffer = false;
  uint32_t readUpTo = 0;

  // A DQBUF waiting for a frame.
  UMockdevIoctlClient* waiting = nullptr;
  UMockdevIoctlData* waitingData = nullptr;
  Clock::time_point waitUntil;
};

// A reply to send once the zoo's lock is released.
struct Reply {
  UMockdevIoctlClient* client = nullptr;
  UMockdevIoctlData* data = nullptr;
  long result = 0;
  int error = 0;
  bool hasBuffer = false;
  v4l2_buffer buffer{};
};

namespace {

void Send(Reply& reply) {
  if (reply.hasBuffer) {
    umockdev_ioctl_data_update(reply.data, 0, reinterpret_cast<guint8*>(&reply.buffer),
                               sizeof(reply.buffer));
  }
  umockdev_ioctl_client_complete(reply.client, reply.result, reply.error);
  umockdev_ioctl_data_unref(reply.data);
  g_object_unref(reply.client);
}

template <typename T>
T ReadArg(UMockdevIoctlData* data) {
  T value{};
  std::memcpy(&value, data->data, std::min<size_t>(sizeof(T), data->data_len));
  return value;
}

template <typename T>
void WriteArg(UMockdevIoctlData* data, T value) {
  umockdev_ioctl_data_update(data, 0, reinterpret_cast<guint8*>(&value), sizeof(T));
}

}  // namespace

// The driver's side of one node; runs on umockdev's thread, under the zoo's lock.
class NodeDriver {
 public:
  using Node = Camera::Node;

  static gboolean Handle(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    Node* node = static_cast<Node*>(user);
    const gulong request = umockdev_ioctl_client_get_request(client);
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                          _IOC_SIZE(request), &error);
    if (data == nullptr) {
      g_clear_error(&error);
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return TRUE;
    }
    Reply reply;
    reply.client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    reply.data = data;
    bool deferred = false;
    {
      std::lock_guard<std::mutex> lock(Zoo::Lock());
      deferred = Answer(node, client, request, data, &reply);
    }
    Zoo::Changed().notify_all();
    if (!deferred) {
      Send(reply);
    }
    return TRUE;
  }

  // Fills reply; true when the reply waits for a frame (the node keeps the client).
  static bool Answer(Node* node, UMockdevIoctlClient* client, gulong request,
                     UMockdevIoctlData* data, Reply* reply) {
    auto fail = [&](int error) {
      reply->result = -1;
      reply->error = error;
      return false;
    };
    if (node->gone) {
      return fail(ENODEV);
    }
    const CameraModel& model = node->camera->model_;
    if (request == VIDIOC_QUERYCAP) {
      v4l2_capability caps{};
      std::strncpy(reinterpret_cast<char*>(caps.driver), model.driver.c_str(),
                   sizeof(caps.driver) - 1);
      std::memcpy(caps.card, model.card.data(), std::min(model.card.size(), sizeof(caps.card)));
      const std::string bus = node->camera->BusInfo();
      std::strncpy(reinterpret_cast<char*>(caps.bus_info), bus.c_str(), sizeof(caps.bus_info) - 1);
      caps.version = 0x060100;
      const uint32_t video = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
      const uint32_t meta = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
      caps.capabilities = video | (model.metadataNode ? meta : 0) | V4L2_CAP_DEVICE_CAPS;
      caps.device_caps = node->capture ? video : meta;
      WriteArg(data, caps);
      return false;
    }
    if (!node->capture) {
      return fail(request == VIDIOC_ENUM_FMT ? EINVAL : ENOTTY);
    }
    switch (request) {
      case VIDIOC_ENUM_FMT: {
        v4l2_fmtdesc desc = ReadArg<v4l2_fmtdesc>(data);
        if (desc.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || desc.index >= model.formats.size()) {
          return fail(EINVAL);
        }
        const FormatModel& f = model.formats[desc.index];
        desc.pixelformat = f.fourcc;
        desc.flags = f.flags;
        std::strncpy(reinterpret_cast<char*>(desc.description), f.description.c_str(),
                     sizeof(desc.description) - 1);
        WriteArg(data, desc);
        return false;
      }
      case VIDIOC_ENUM_FRAMESIZES: {
        v4l2_frmsizeenum size = ReadArg<v4l2_frmsizeenum>(data);
        const FormatModel* f = FindFormat(model, size.pixel_format);
        if (f == nullptr || size.index >= f->sizes.size()) {
          return fail(EINVAL);
        }
        const SizeModel& s = f->sizes[size.index];
        size.type = s.type;
        if (s.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
          size.discrete = {s.width, s.height};
        } else {
          size.stepwise = s.range;
        }
        WriteArg(data, size);
        return false;
      }
      case VIDIOC_ENUM_FRAMEINTERVALS: {
        v4l2_frmivalenum interval = ReadArg<v4l2_frmivalenum>(data);
        const FormatModel* f = FindFormat(model, interval.pixel_format);
        const SizeModel* s = f != nullptr ? SizeFor(*f, interval.width, interval.height) : nullptr;
        if (s == nullptr) {
          return fail(EINVAL);
        }
        if (s->intervalRange) {
          if (interval.index != 0) {
            return fail(EINVAL);
          }
          interval.type = V4L2_FRMIVAL_TYPE_CONTINUOUS;
          interval.stepwise.min = s->fastest;
          interval.stepwise.max = s->slowest;
          interval.stepwise.step = {1, 1};
        } else {
          if (interval.index >= s->intervals.size()) {
            return fail(EINVAL);
          }
          interval.type = V4L2_FRMIVAL_TYPE_DISCRETE;
          interval.discrete = s->intervals[interval.index];
        }
        WriteArg(data, interval);
        return false;
      }
      case VIDIOC_G_FMT: {
        v4l2_format format = ReadArg<v4l2_format>(data);
        format.fmt.pix = node->format;
        WriteArg(data, format);
        return false;
      }
      case VIDIOC_TRY_FMT:
      case VIDIOC_S_FMT: {
        v4l2_format format = ReadArg<v4l2_format>(data);
        if (format.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
          return fail(EINVAL);
        }
        if (request == VIDIOC_S_FMT && node->streaming && node->owner != client) {
          return fail(EBUSY);  // another program streams from the camera
        }
        format.fmt.pix = Negotiate(model, format.fmt.pix);
        if (request == VIDIOC_S_FMT) {
          node->format = format.fmt.pix;
          node->interval = FastestInterval(model, node->format);
        }
        WriteArg(data, format);
        return false;
      }
      case VIDIOC_G_PARM:
      case VIDIOC_S_PARM: {
        v4l2_streamparm parm = ReadArg<v4l2_streamparm>(data);
        if (request == VIDIOC_S_PARM) {
          node->interval = NearestInterval(model, node->format, parm.parm.capture.timeperframe);
        }
        parm.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        parm.parm.capture.timeperframe = node->interval;
        WriteArg(data, parm);
        return false;
      }
      case VIDIOC_REQBUFS:
        return RequestBuffers(node, client, data, reply);
      case VIDIOC_QUERYBUF:
      case VIDIOC_QBUF: {
        v4l2_buffer buffer = ReadArg<v4l2_buffer>(data);
        if (buffer.memory != V4L2_MEMORY_MMAP || buffer.index >= node->buffers.size()) {
          return fail(EINVAL);
        }
        Node::Buffer& b = node->buffers[buffer.index];
        if (request == VIDIOC_QBUF) {
          if (b.queued || b.done) {
            return fail(EINVAL);
          }
          b.queued = true;
          node->queue.push_back(buffer.index);
          node->readUpTo = std::max(node->readUpTo, b.frame);
        }
        Describe(b, buffer.index, &buffer);
        WriteArg(data, buffer);
        return false;
      }
      case VIDIOC_DQBUF: {
        if (!node->streaming) {
          return fail(EINVAL);
        }
        if (!node->filled.empty()) {
          reply->hasBuffer = true;
          TakeFilled(node, &reply->buffer);
          node->lastDequeueGaveBuffer = true;
          return false;
        }
        // A DQBUF right after one that got a buffer is the reader draining the queue: it is
        // answered at once. Any other stands for a poll that waits for the next frame.
        if (node->lastDequeueGaveBuffer || node->waiting != nullptr) {
          node->lastDequeueGaveBuffer = false;
          return fail(EAGAIN);
        }
        node->waiting = reply->client;
        node->waitingData = reply->data;
        node->waitUntil = Clock::now() + kDequeueWait;
        return true;
      }
      case VIDIOC_STREAMON: {
        if (node->buffers.empty()) {
          return fail(EINVAL);
        }
        if (node->camera->streamOnRule_) {
          const int error = node->camera->streamOnRule_(node->format);
          if (error != 0) {
            return fail(error);
          }
        }
        node->streaming = true;
        node->owner = client;
        node->sequence = 0;
        node->nextFrame = Clock::now();
        node->lastDequeueGaveBuffer = false;
        return false;
      }
      case VIDIOC_STREAMOFF:
        StopStreaming(node);
        return false;
      default:
        return fail(ENOTTY);
    }
  }

  static const FormatModel* FindFormat(const CameraModel& model, uint32_t fourcc) {
    for (const FormatModel& f : model.formats) {
      if (f.fourcc == fourcc) {
        return &f;
      }
    }
    return nullptr;
  }

  static v4l2_pix_format Negotiate(const CameraModel& model, v4l2_pix_format asked) {
    const FormatModel* f = FindFormat(model, asked.pixelformat);
    if (f == nullptr) {
      f = &model.formats.front();
    }
    uint32_t bestW = 0;
    uint32_t bestH = 0;
    int64_t bestDistance = -1;
    for (const SizeModel& size : f->sizes) {
      uint32_t w = 0;
      uint32_t h = 0;
      NearestIn(size, asked.width, asked.height, &w, &h);
      const int64_t distance =
          std::llabs(int64_t{w} - asked.width) + std::llabs(int64_t{h} - asked.height);
      if (bestDistance < 0 || distance < bestDistance) {
        bestDistance = distance;
        bestW = w;
        bestH = h;
      }
    }
    v4l2_pix_format pix{};
    pix.width = bestW;
    pix.height = bestH;
    pix.pixelformat = f->fourcc;
    pix.field = V4L2_FIELD_NONE;
    Geometry(&pix);
    pix.priv = V4L2_PIX_FMT_PRIV_MAGIC;
    if (IsJpeg(f->fourcc)) {
      pix.colorspace = V4L2_COLORSPACE_JPEG;
    } else {
      pix.colorspace = model.colorspace;
      pix.ycbcr_enc = model.ycbcrEncoding;
      pix.quantization = model.quantization;
    }
    return pix;
  }

  static v4l2_fract FastestInterval(const CameraModel& model, const v4l2_pix_format& pix) {
    const FormatModel* f = FindFormat(model, pix.pixelformat);
    const SizeModel* s = f != nullptr ? SizeFor(*f, pix.width, pix.height) : nullptr;
    if (s == nullptr) {
      return {1, 30};
    }
    return s->intervalRange || s->intervals.empty() ? s->fastest : s->intervals.front();
  }

  static v4l2_fract NearestInterval(const CameraModel& model, const v4l2_pix_format& pix,
                                    v4l2_fract asked) {
    const FormatModel* f = FindFormat(model, pix.pixelformat);
    const SizeModel* s = f != nullptr ? SizeFor(*f, pix.width, pix.height) : nullptr;
    if (s == nullptr || Seconds(asked) <= 0) {
      return FastestInterval(model, pix);
    }
    if (s->intervalRange) {
      const double t = std::clamp(Seconds(asked), Seconds(s->fastest), Seconds(s->slowest));
      return {1, static_cast<uint32_t>(1.0 / t + 0.5)};
    }
    v4l2_fract best = s->intervals.front();
    for (const v4l2_fract& i : s->intervals) {
      if (std::abs(Seconds(i) - Seconds(asked)) < std::abs(Seconds(best) - Seconds(asked))) {
        best = i;
      }
    }
    return best;
  }

  static bool RequestBuffers(Node* node, UMockdevIoctlClient* client, UMockdevIoctlData* data,
                             Reply* reply) {
    v4l2_requestbuffers request = ReadArg<v4l2_requestbuffers>(data);
    if (request.memory != V4L2_MEMORY_MMAP || request.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
      reply->result = -1;
      reply->error = EINVAL;
      return false;
    }
    if (node->streaming && node->owner != client) {
      reply->result = -1;
      reply->error = EBUSY;
      return false;
    }
    StopStreaming(node);
    node->buffers.clear();
    node->queue.clear();
    node->filled.clear();
    request.count = std::min(request.count, kMaxBuffers);
    const uint32_t length = (node->format.sizeimage + kPage - 1) / kPage * kPage;
    for (uint32_t i = 0; i < request.count; ++i) {
      Node::Buffer b;
      b.offset = i * length;
      b.length = length;
      node->buffers.push_back(b);
    }
    // The mapped regions are the node file's bytes.
    if (ftruncate(node->fd, static_cast<off_t>(length) * request.count) != 0) {
      reply->result = -1;
      reply->error = ENOMEM;
      return false;
    }
    node->owner = request.count > 0 ? client : nullptr;
    request.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
    WriteArg(data, request);
    return false;
  }

  static void StopStreaming(Node* node) {
    node->streaming = false;
    node->queue.clear();
    node->filled.clear();
    for (Node::Buffer& b : node->buffers) {
      b.queued = false;
      b.done = false;
      node->readUpTo = std::max(node->readUpTo, b.frame);
    }
  }

  static void Describe(const Node::Buffer& b, uint32_t index, v4l2_buffer* out) {
    out->index = index;
    out->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    out->memory = V4L2_MEMORY_MMAP;
    out->length = b.length;
    out->m.offset = b.offset;
    out->bytesused = b.done ? b.bytesUsed : 0;
    out->field = V4L2_FIELD_NONE;
    out->flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC |
                 (b.queued ? V4L2_BUF_FLAG_QUEUED : 0) | (b.done ? V4L2_BUF_FLAG_DONE : 0) |
                 (b.done ? b.flags : 0);
    out->sequence = b.sequence;
    out->timestamp = b.timestamp;
  }

  static void TakeFilled(Node* node, v4l2_buffer* out) {
    const uint32_t index = node->filled.front();
    node->filled.pop_front();
    Node::Buffer& b = node->buffers[index];
    Describe(b, index, out);
    out->flags &= ~(V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE);
    b.done = false;
    b.queued = false;
  }
};

std::string Camera::BusInfo() const {
  if (model_.vendor == 0) {
    return "platform:" + model_.platformName;
  }
  // usb-<host controller>-<port path>, as uvcvideo's usb_make_path gives it.
  return "usb-0000:00:14.0-" + port_.substr(port_.find('-') + 1);
}

Camera::Camera(Zoo* zoo, CameraModel model, std::string port)
    : zoo_(zoo), model_(std::move(model)), port_(std::move(port)) {}

std::string Camera::node() const {
  std::lock_guard<std::mutex> lock(Zoo::Lock());
  return capture_ != nullptr ? capture_->name : std::string();
}

void Camera::SetFreeRunning(bool running) {
  {
    std::lock_guard<std::mutex> lock(Zoo::Lock());
    freeRunning_ = running;
    if (capture_ != nullptr) {
      capture_->nextFrame = Clock::now();
    }
  }
  Zoo::Changed().notify_all();
}

int Camera::Deliver(int count) {
  std::vector<Reply> replies;
  int delivered = 0;
  {
    std::unique_lock<std::mutex> lock(Zoo::Lock());
    const bool ready = Zoo::Changed().wait_for(lock, std::chrono::seconds(10), [&] {
      return capture_ != nullptr && capture_->streaming && !capture_->buffers.empty() &&
             capture_->queue.size() == capture_->buffers.size();
    });
    if (!ready) {
      return 0;
    }
    while (delivered < count && zoo_->FillOne(*capture_)) {
      ++delivered;
    }
    zoo_->CompleteWaiting(*capture_, Clock::now(), &replies);
  }
  for (Reply& reply : replies) {
    Send(reply);
  }
  Zoo::Changed().notify_all();
  return delivered;
}

void Camera::SpoilNextFrames(const std::vector<Fault>& faults) {
  std::lock_guard<std::mutex> lock(Zoo::Lock());
  faults_.insert(faults_.end(), faults.begin(), faults.end());
}

void Camera::FailStreamOn(std::function<int(const v4l2_pix_format&)> rule) {
  std::lock_guard<std::mutex> lock(Zoo::Lock());
  streamOnRule_ = std::move(rule);
}

bool Camera::WaitRead(uint32_t frame, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(Zoo::Lock());
  return Zoo::Changed().wait_for(lock, timeout, [&] {
    return capture_ != nullptr && (capture_->readUpTo >= frame || capture_->gone);
  });
}

bool Camera::WaitStreaming(bool streaming, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(Zoo::Lock());
  return Zoo::Changed().wait_for(
      lock, timeout, [&] { return capture_ != nullptr && capture_->streaming == streaming; });
}

v4l2_pix_format Camera::Format() const {
  std::lock_guard<std::mutex> lock(Zoo::Lock());
  return capture_ != nullptr ? capture_->format : v4l2_pix_format{};
}

uint32_t Camera::LastFrame() const {
  std::lock_guard<std::mutex> lock(Zoo::Lock());
  return lastFrame_;
}

std::mutex& Zoo::Lock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

std::condition_variable& Zoo::Changed() {
  static std::condition_variable* changed = new std::condition_variable;
  return *changed;
}

Zoo::Zoo() {
  testbed_ = umockdev_testbed_new();
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  root_ = root;
  g_free(root);
  mkdir((root_ + "/dev").c_str(), 0755);
  driver_ = std::thread([this] { DriverLoop(); });
}

Zoo::~Zoo() {
  std::vector<Reply> replies;
  {
    std::lock_guard<std::mutex> lock(Lock());
    stopping_ = true;
    for (auto& node : nodes_) {
      node->gone = true;
      CompleteWaiting(*node, Clock::now() + std::chrono::hours(1), &replies);
    }
  }
  Changed().notify_all();
  for (Reply& reply : replies) {
    Send(reply);
  }
  driver_.join();
  g_object_unref(testbed_);
  std::lock_guard<std::mutex> lock(Lock());
  for (auto& node : nodes_) {
    close(node->fd);
  }
  nodes_.clear();
}

Camera& Zoo::Plug(const CameraModel& model, const std::string& port) {
  std::unique_ptr<Camera> camera(new Camera(this, model, port));
  Camera& plugged = *camera;
  cameras_.push_back(std::move(camera));
  AddNodes(plugged);
  return plugged;
}

void Zoo::AddNodes(Camera& camera) {
  const CameraModel& model = camera.model_;
  std::vector<std::unique_ptr<Camera::Node>> made;
  const int nodeCount = model.metadataNode ? 2 : 1;
  {
    std::lock_guard<std::mutex> lock(Lock());
    for (int k = 0; k < nodeCount; ++k) {
      auto node = std::make_unique<Camera::Node>();
      node->camera = &camera;
      node->name = "video" + std::to_string(nextNode_++);
      node->file = root_ + "/dev/" + node->name;
      node->capture = k == 0;
      made.push_back(std::move(node));
    }
  }
  // The /dev files and their handlers first, then sysfs: a scan that sees the node can open it.
  for (auto& node : made) {
    node->fd = open(node->file.c_str(), O_CREAT | O_RDWR | O_TRUNC | O_CLOEXEC, 0666);
    if (node->fd < 0) {
      throw std::runtime_error("cannot create " + node->file);
    }
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(NodeDriver::Handle), node.get());
    GError* error = nullptr;
    const std::string devnode = "/dev/" + node->name;
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode.c_str(), handler, &error)) {
      const std::string message = error != nullptr ? error->message : "attach failed";
      g_clear_error(&error);
      g_object_unref(handler);
      throw std::runtime_error(message);
    }
    g_object_unref(handler);
  }
  std::string parent;
  camera.nodePaths_.clear();
  if (model.vendor != 0) {
    camera.devnum_ = nextDevnum_++;
    const std::string bus = camera.port_.substr(0, camera.port_.find('-'));
    const std::string devpath = camera.port_.substr(camera.port_.find('-') + 1);
    const std::string usbDevnode = "/dev/bus/usb/00" + bus + "/" + std::to_string(camera.devnum_);
    std::vector<std::string> attributes = {
        "idVendor", Hex4(model.vendor), "idProduct", Hex4(model.product),
        "busnum",   bus + "\n",         "devnum",    std::to_string(camera.devnum_) + "\n",
        "devpath",  devpath + "\n",     "speed",     "480\n"};
    // A camera without a serial number has no serial attribute at all.
    if (!model.serial.empty()) {
      attributes.insert(attributes.end(), {"serial", model.serial + "\n"});
    }
    camera.usbPath_ = AddDevice(testbed_, "usb", camera.port_, "", attributes,
                                {"DEVTYPE", "usb_device", "DEVNAME", usbDevnode});
    camera.interfacePath_ = AddDevice(testbed_, "usb", camera.port_ + ":1.0", camera.usbPath_,
                                      {"bInterfaceClass", "0e\n", "bInterfaceNumber", "00\n"},
                                      {"DEVTYPE", "usb_interface"});
  } else {
    camera.usbPath_.clear();
    camera.interfacePath_ =
        AddDevice(testbed_, "platform", model.platformName, "", {"driver_override", "\n"}, {});
  }
  parent = camera.interfacePath_;
  for (size_t k = 0; k < made.size(); ++k) {
    Camera::Node& node = *made[k];
    const std::string dev = "81:" + node.name.substr(5);
    const std::string devnode = "/dev/" + node.name;
    const std::string path =
        AddDevice(testbed_, "video4linux", node.name, parent,
                  {"name", model.card + "\n", "dev", dev, "index", k == 0 ? "0\n" : "1\n"},
                  {"DEVNAME", devnode});
    // The class entry's "device" link to the interface, which the kernel has and umockdev does
    // not create (umockdev puts the node directly below its parent).
    if (symlink("..", (root_ + path + "/device").c_str()) != 0) {
      throw std::runtime_error("cannot link the device of " + node.name);
    }
    camera.nodePaths_.push_back(path);
  }
  std::lock_guard<std::mutex> lock(Lock());
  camera.capture_ = made.front().get();
  camera.nodeFiles_.clear();
  for (auto& node : made) {
    camera.nodeFiles_.push_back(node->file);
    nodes_.push_back(std::move(node));
  }
}

void Zoo::Unplug(Camera& camera) {
  std::vector<Reply> replies;
  {
    std::lock_guard<std::mutex> lock(Lock());
    for (auto& node : nodes_) {
      if (node->camera == &camera && !node->gone) {
        node->gone = true;
        node->streaming = false;
        CompleteWaiting(*node, Clock::now() + std::chrono::hours(1), &replies);
      }
    }
  }
  for (Reply& reply : replies) {
    Send(reply);
  }
  Changed().notify_all();
  for (auto it = camera.nodePaths_.rbegin(); it != camera.nodePaths_.rend(); ++it) {
    umockdev_testbed_remove_device(testbed_, it->c_str());
  }
  umockdev_testbed_remove_device(testbed_, camera.interfacePath_.c_str());
  if (!camera.usbPath_.empty()) {
    umockdev_testbed_remove_device(testbed_, camera.usbPath_.c_str());
  }
  for (const std::string& file : camera.nodeFiles_) {
    unlink(file.c_str());
  }
}

void Zoo::Replug(Camera& camera, const std::string& port) {
  if (!port.empty()) {
    camera.port_ = port;
  }
  AddNodes(camera);
  Changed().notify_all();
}

bool Zoo::FillOne(Camera::Node& node) {
  if (!node.streaming || node.gone || node.queue.empty()) {
    return false;
  }
  Camera& camera = *node.camera;
  const uint32_t index = node.queue.front();
  node.queue.pop_front();
  Camera::Node::Buffer& b = node.buffers[index];
  const uint32_t frame = ++camera.lastFrame_;
  std::vector<uint8_t> payload = FramePayload(node.format, frame);
  const Fault fault = camera.faults_.empty() ? Fault::kNone : camera.faults_.front();
  if (!camera.faults_.empty()) {
    camera.faults_.pop_front();
  }
  b.flags = 0;
  switch (fault) {
    case Fault::kEmpty:
      payload.clear();
      break;
    case Fault::kErrorFlag:
      b.flags = V4L2_BUF_FLAG_ERROR;
      break;
    case Fault::kCorrupt:
      for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i * 131 + 7);
      }
      break;
    case Fault::kShort:
      payload.resize(payload.size() / 2);
      break;
    case Fault::kNone:
      break;
  }
  payload.resize(std::min<size_t>(payload.size(), b.length));
  if (!payload.empty()) {
    [[maybe_unused]] const ssize_t written =
        pwrite(node.fd, payload.data(), payload.size(), static_cast<off_t>(b.offset));
  }
  b.bytesUsed = static_cast<uint32_t>(payload.size());
  b.frame = frame;
  b.sequence = node.sequence++;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  b.timestamp.tv_sec = now.tv_sec;
  b.timestamp.tv_usec = now.tv_nsec / 1000;
  b.queued = false;
  b.done = true;
  node.filled.push_back(index);
  return true;
}

void Zoo::CompleteWaiting(Camera::Node& node, Clock::time_point now, std::vector<Reply>* replies) {
  if (node.waiting == nullptr) {
    return;
  }
  Reply reply;
  reply.client = node.waiting;
  reply.data = node.waitingData;
  if (node.gone) {
    reply.result = -1;
    reply.error = ENODEV;
  } else if (!node.filled.empty()) {
    reply.hasBuffer = true;
    NodeDriver::TakeFilled(&node, &reply.buffer);
    node.lastDequeueGaveBuffer = true;
  } else if (now >= node.waitUntil || !node.streaming) {
    reply.result = -1;
    reply.error = EAGAIN;
  } else {
    return;
  }
  node.waiting = nullptr;
  node.waitingData = nullptr;
  replies->push_back(reply);
}

void Zoo::DriverLoop() {
  std::unique_lock<std::mutex> lock(Lock());
  while (!stopping_) {
    const auto now = Clock::now();
    auto wake = now + std::chrono::milliseconds(50);
    std::vector<Reply> replies;
    for (auto& node : nodes_) {
      if (node->streaming && !node->gone && node->camera->freeRunning_) {
        if (now >= node->nextFrame && FillOne(*node)) {
          const auto interval = std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double>(std::max(Seconds(node->interval), 0.001)));
          node->nextFrame = std::max(node->nextFrame + interval, now);
        }
        if (!node->queue.empty()) {
          wake = std::min(wake, node->nextFrame);
        }
      }
      CompleteWaiting(*node, now, &replies);
      if (node->waiting != nullptr) {
        wake = std::min(wake, node->waitUntil);
      }
    }
    if (!replies.empty()) {
      lock.unlock();
      for (Reply& reply : replies) {
        Send(reply);
      }
      Changed().notify_all();
      lock.lock();
      continue;
    }
    Changed().wait_until(lock, wake);
  }
}

}  // namespace zoo
}  // namespace cnokhwa
