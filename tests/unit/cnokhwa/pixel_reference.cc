#include "pixel_reference.h"

#include <libv4l-plugin.h>
#include <libv4lconvert.h>
#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace cnokhwa {
namespace testing {
namespace {

// Plane geometry worked out here on its own, from the V4L2 layout definitions, so that the tests
// do not inherit a mistake of the library's.
struct Planes {
  const PixelLayout* layout = nullptr;
  size_t stride = 0;
  size_t rowBytes = 0;  // bytes of samples in a row of the first plane
  size_t chromaStride = 0;
  size_t chromaRowBytes = 0;
  size_t chromaRows = 0;
  size_t chroma[2] = {0, 0};  // offsets of the chroma planes (NV12/NV21: one)
  size_t frameBytes = 0;
};

Planes PlanesOf(const SourceFormat& f) {
  Planes p;
  p.layout = FindPixelLayout(f.fourcc);
  if (p.layout == nullptr || f.width < 1 || f.height < 1) {
    return p;
  }
  const size_t w = static_cast<size_t>(f.width);
  const size_t h = static_cast<size_t>(f.height);
  switch (p.layout->kind) {
    case LayoutKind::kPacked422:
      p.rowBytes = (w + 1) / 2 * 4;
      break;
    case LayoutKind::kY16:
      p.rowBytes = w * 2;
      break;
    case LayoutKind::kRgb24:
    case LayoutKind::kBgr24:
      p.rowBytes = w * 3;
      break;
    case LayoutKind::kSemiPlanar420:
      p.rowBytes = w;
      p.chromaRowBytes = (w + 1) / 2 * 2;
      break;
    case LayoutKind::kPlanar420:
      p.rowBytes = w;
      p.chromaRowBytes = (w + 1) / 2;
      break;
    default:
      p.rowBytes = w;
      break;
  }
  p.stride = f.stride > 0 ? static_cast<size_t>(f.stride) : std::max(p.rowBytes, p.chromaRowBytes);
  p.chromaRows = (h + 1) / 2;
  if (p.layout->kind == LayoutKind::kSemiPlanar420) {
    p.chromaStride = p.stride;
    p.chroma[0] = p.stride * h;
    p.frameBytes = p.chroma[0] + p.chromaStride * (p.chromaRows - 1) + p.chromaRowBytes;
  } else if (p.layout->kind == LayoutKind::kPlanar420) {
    p.chromaStride = (p.stride + 1) / 2;
    p.chroma[0] = p.stride * h;
    p.chroma[1] = p.chroma[0] + p.chromaStride * p.chromaRows;
    p.frameBytes = p.chroma[1] + p.chromaStride * (p.chromaRows - 1) + p.chromaRowBytes;
  } else {
    p.frameBytes = p.stride * (h - 1) + p.rowBytes;
  }
  return p;
}

uint8_t Noise(uint32_t x, uint32_t y, uint32_t plane, uint32_t frame) {
  uint32_t v =
      x * 0x9E3779B1u ^ (y + 0x7F4A7C15u) * 0x85EBCA77u ^ plane * 0xC2B2AE3Du ^ frame * 0x27D4EB2Fu;
  v ^= v >> 15;
  v *= 0x2C1B3C6Du;
  v ^= v >> 12;
  return static_cast<uint8_t>(v >> 8);
}

uint8_t Smooth(uint32_t x, uint32_t y, uint32_t plane, uint32_t frame) {
  // Luma-like planes sweep the whole range; chroma-like planes stay near neutral.
  if (plane == 1 || plane == 2) {
    return static_cast<uint8_t>(128 + static_cast<int>((x / 2 + y + frame * 3 + plane * 40) % 64) -
                                32);
  }
  return static_cast<uint8_t>((x + 2 * y + frame * 4 + plane * 16) & 255);
}

struct Weights {
  double red;
  double blue;
};

Weights WeightsOf(YcbcrEncoding e) {
  switch (e) {
    case YcbcrEncoding::kBt709:
      return {0.2126, 0.0722};
    case YcbcrEncoding::kBt2020:
      return {0.2627, 0.0593};
    case YcbcrEncoding::kSmpte240m:
      return {0.212, 0.087};
    case YcbcrEncoding::kBt601:
      break;
  }
  return {0.299, 0.114};
}

uint8_t ToLevel(double value) {
  return static_cast<uint8_t>(std::lround(std::clamp(value * 255.0, 0.0, 255.0)));
}

// libv4lconvert wants a device to ask. This one answers the capability query, and claims the
// controls libv4lconvert would otherwise emulate in software (white balance, gamma, flips), so
// that none of its processing can apply and it keeps no control values in shared memory.
int FakeIoctl(void*, int, unsigned long request, void* arg) {
  if (request == VIDIOC_QUERYCTRL) {
    auto* control = static_cast<v4l2_queryctrl*>(arg);
    const uint32_t id = control->id;
    std::memset(control, 0, sizeof(*control));
    control->id = id;
    control->type = V4L2_CTRL_TYPE_INTEGER;
    control->maximum = 1;
    control->step = 1;
    return 0;
  }
  if (request == VIDIOC_QUERYCAP) {
    auto* caps = static_cast<v4l2_capability*>(arg);
    std::memset(caps, 0, sizeof(*caps));
    std::snprintf(reinterpret_cast<char*>(caps->driver), sizeof(caps->driver), "reference");
    std::snprintf(reinterpret_cast<char*>(caps->card), sizeof(caps->card), "cnokhwa-reference");
    caps->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    caps->capabilities = caps->device_caps | V4L2_CAP_DEVICE_CAPS;
    return 0;
  }
  errno = EINVAL;
  return -1;
}

ssize_t FakeRead(void*, int, void*, size_t) {
  errno = EIO;
  return -1;
}

ssize_t FakeWrite(void*, int, const void*, size_t) {
  errno = EIO;
  return -1;
}

}  // namespace

std::vector<uint8_t> MakeTestFrame(const SourceFormat& format, uint32_t frameNumber, bool smooth) {
  const Planes p = PlanesOf(format);
  if (p.frameBytes == 0) {
    return {};
  }
  std::vector<uint8_t> frame(p.frameBytes, 0xA5);
  auto sample = smooth ? Smooth : Noise;
  const uint32_t h = static_cast<uint32_t>(format.height);
  for (uint32_t y = 0; y < h; ++y) {
    uint8_t* row = frame.data() + p.stride * y;
    for (uint32_t i = 0; i < p.rowBytes; ++i) {
      uint32_t plane = 0;
      uint32_t x = i;
      if (p.layout->kind == LayoutKind::kPacked422) {
        const uint32_t within = i % 4;
        plane = within == p.layout->cbOffset ? 1 : (within == p.layout->crOffset ? 2 : 0);
        x = plane == 0 ? i / 4 * 2 + (within == p.layout->lumaOffset ? 0 : 1) : i / 4 * 2;
      } else if (p.layout->kind == LayoutKind::kRgb24 || p.layout->kind == LayoutKind::kBgr24) {
        plane = 3 + i % 3;
        x = i / 3;
      } else if (p.layout->kind == LayoutKind::kY16) {
        plane = i % 2 == 0 ? 6 : 0;  // the low byte is noise that must not matter
        x = i / 2;
      }
      row[i] = sample(x, y, plane, frameNumber);
    }
  }
  for (uint32_t c = 0; c < (p.layout->kind == LayoutKind::kPlanar420 ? 2u : 1u); ++c) {
    if (p.chromaRowBytes == 0) {
      break;
    }
    for (uint32_t y = 0; y < p.chromaRows; ++y) {
      uint8_t* row = frame.data() + p.chroma[c] + p.chromaStride * y;
      for (uint32_t i = 0; i < p.chromaRowBytes; ++i) {
        const uint32_t plane = p.layout->kind == LayoutKind::kPlanar420 ? 1 + c : 1 + i % 2;
        const uint32_t x = p.layout->kind == LayoutKind::kPlanar420 ? i * 2 : i / 2 * 2;
        row[i] = sample(x, y * 2, plane, frameNumber);
      }
    }
  }
  return frame;
}

void ReferenceYcbcrPixel(int y, int cb, int cr, const ColorDescription& color, uint8_t* rgb) {
  const Weights w = WeightsOf(color.encoding);
  const double luma = color.fullRange ? y / 255.0 : (y - 16) / 219.0;
  const double pb = color.fullRange ? (cb - 128) / 255.0 : (cb - 128) / 224.0;
  const double pr = color.fullRange ? (cr - 128) / 255.0 : (cr - 128) / 224.0;
  const double r = luma + 2.0 * (1.0 - w.red) * pr;
  const double b = luma + 2.0 * (1.0 - w.blue) * pb;
  const double g = (luma - w.red * r - w.blue * b) / (1.0 - w.red - w.blue);
  rgb[0] = ToLevel(r);
  rgb[1] = ToLevel(g);
  rgb[2] = ToLevel(b);
}

std::vector<uint8_t> ReferenceRgb(const SourceFormat& format, const uint8_t* src, size_t size) {
  const Planes p = PlanesOf(format);
  if (p.frameBytes == 0 || size < p.frameBytes || p.layout->kind == LayoutKind::kJpeg) {
    return {};
  }
  if (p.layout->kind == LayoutKind::kBayer) {
    return LibV4lConvertToRgb(format, src, size);
  }
  const size_t w = static_cast<size_t>(format.width);
  const size_t h = static_cast<size_t>(format.height);
  std::vector<uint8_t> rgb(w * 3 * h);
  for (size_t y = 0; y < h; ++y) {
    const uint8_t* row = src + p.stride * y;
    for (size_t x = 0; x < w; ++x) {
      uint8_t* out = &rgb[(y * w + x) * 3];
      switch (p.layout->kind) {
        case LayoutKind::kPacked422: {
          const uint8_t* pair = row + x / 2 * 4;
          ReferenceYcbcrPixel(pair[p.layout->lumaOffset + (x % 2) * 2], pair[p.layout->cbOffset],
                              pair[p.layout->crOffset], format.color, out);
          break;
        }
        case LayoutKind::kSemiPlanar420: {
          const uint8_t* pair = src + p.chroma[0] + p.chromaStride * (y / 2) + x / 2 * 2;
          const int cb = p.layout->cbFirst ? pair[0] : pair[1];
          const int cr = p.layout->cbFirst ? pair[1] : pair[0];
          ReferenceYcbcrPixel(row[x], cb, cr, format.color, out);
          break;
        }
        case LayoutKind::kPlanar420: {
          const size_t at = p.chromaStride * (y / 2) + x / 2;
          const int first = src[p.chroma[0] + at];
          const int second = src[p.chroma[1] + at];
          ReferenceYcbcrPixel(row[x], p.layout->cbFirst ? first : second,
                              p.layout->cbFirst ? second : first, format.color, out);
          break;
        }
        case LayoutKind::kGrey:
          out[0] = out[1] = out[2] = row[x];
          break;
        case LayoutKind::kY16:
          out[0] = out[1] = out[2] = row[x * 2 + 1];  // little-endian: the high byte is second
          break;
        case LayoutKind::kRgb24:
          std::memcpy(out, row + x * 3, 3);
          break;
        case LayoutKind::kBgr24:
          out[0] = row[x * 3 + 2];
          out[1] = row[x * 3 + 1];
          out[2] = row[x * 3];
          break;
        default:
          return {};
      }
    }
  }
  return rgb;
}

std::vector<uint8_t> LibV4lConvertToRgb(const SourceFormat& format, const uint8_t* src,
                                        size_t size) {
  static std::mutex mutex;
  static libv4l_dev_ops ops = [] {
    libv4l_dev_ops o{};
    o.ioctl = FakeIoctl;
    o.read = FakeRead;
    o.write = FakeWrite;
    return o;
  }();
  const Planes p = PlanesOf(format);
  if (p.frameBytes == 0 || size < p.frameBytes || size > 0x7fffffff) {
    return {};
  }
  std::lock_guard<std::mutex> lock(mutex);
  static v4lconvert_data* data = v4lconvert_create_with_dev_ops(-1, nullptr, &ops);
  if (data == nullptr) {
    return {};
  }
  v4l2_format from{};
  from.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  from.fmt.pix.width = static_cast<uint32_t>(format.width);
  from.fmt.pix.height = static_cast<uint32_t>(format.height);
  from.fmt.pix.pixelformat = format.fourcc;
  from.fmt.pix.field = V4L2_FIELD_NONE;
  from.fmt.pix.bytesperline = static_cast<uint32_t>(p.stride);
  from.fmt.pix.sizeimage = static_cast<uint32_t>(size);
  v4l2_format to = from;
  to.fmt.pix.pixelformat = V4L2_PIX_FMT_RGB24;
  to.fmt.pix.bytesperline = static_cast<uint32_t>(format.width) * 3;
  to.fmt.pix.sizeimage = to.fmt.pix.bytesperline * static_cast<uint32_t>(format.height);
  std::vector<uint8_t> input(src, src + size);  // libv4lconvert takes a non-const source
  std::vector<uint8_t> rgb(to.fmt.pix.sizeimage);
  const int written = v4lconvert_convert(data, &from, &to, input.data(), static_cast<int>(size),
                                         rgb.data(), static_cast<int>(rgb.size()));
  if (written != static_cast<int>(rgb.size())) {
    return {};
  }
  return rgb;
}

std::vector<uint8_t> MakeTestJpeg(int width, int height, uint32_t frameNumber, int quality) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * 3 * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      p[0] = static_cast<uint8_t>(x * 255 / std::max(1, width - 1));
      p[1] = static_cast<uint8_t>((y * 255 / std::max(1, height - 1) + frameNumber * 8) & 255);
      p[2] = static_cast<uint8_t>(((x / 8 + y / 8 + frameNumber) % 2) * 160 + 48);
    }
  }
  tjhandle handle = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long jpegSize = 0;
  std::vector<uint8_t> out;
  if (handle != nullptr && tjCompress2(handle, rgb.data(), width, width * 3, height, TJPF_RGB,
                                       &jpeg, &jpegSize, TJSAMP_422, quality, 0) == 0) {
    out.assign(jpeg, jpeg + jpegSize);
  }
  tjFree(jpeg);
  if (handle != nullptr) {
    tjDestroy(handle);
  }
  return out;
}

std::vector<uint8_t> DecodeJpegReference(const std::vector<uint8_t>& jpeg, int* width,
                                         int* height) {
  tjhandle handle = tjInitDecompress();
  std::vector<uint8_t> rgb;
  int w = 0;
  int h = 0;
  int subsampling = 0;
  int colorspace = 0;
  if (handle != nullptr && tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &w, &h,
                                               &subsampling, &colorspace) == 0) {
    rgb.resize(static_cast<size_t>(w) * 3 * h);
    if (tjDecompress2(handle, jpeg.data(), jpeg.size(), rgb.data(), w, w * 3, h, TJPF_RGB, 0) !=
        0) {
      rgb.clear();
    }
  }
  if (handle != nullptr) {
    tjDestroy(handle);
  }
  *width = w;
  *height = h;
  return rgb;
}

RgbDifference CompareRgb(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  RgbDifference d;
  if (a.size() != b.size() || a.empty()) {
    d.max = 256;
    return d;
  }
  uint64_t sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const int diff = std::abs(a[i] - b[i]);
    sum += static_cast<uint64_t>(diff);
    d.max = std::max(d.max, diff);
  }
  d.bytes = a.size();
  d.mean = static_cast<double>(sum) / static_cast<double>(a.size());
  return d;
}

std::string Describe(const RgbDifference& d) {
  char text[96];
  std::snprintf(text, sizeof(text), "mean %.4f, max %d over %zu bytes", d.mean, d.max, d.bytes);
  return text;
}

std::vector<ColorDescription> AllColorDescriptions() {
  std::vector<ColorDescription> all;
  for (YcbcrEncoding e : {YcbcrEncoding::kBt601, YcbcrEncoding::kBt709, YcbcrEncoding::kBt2020,
                          YcbcrEncoding::kSmpte240m}) {
    for (bool full : {false, true}) {
      all.push_back({e, full});
    }
  }
  return all;
}

std::string Describe(const ColorDescription& color) {
  static const char* const kNames[] = {"BT.601", "BT.709", "BT.2020", "SMPTE 240M"};
  return std::string(kNames[static_cast<int>(color.encoding)]) +
         (color.fullRange ? " full range" : " limited range");
}

}  // namespace testing
}  // namespace cnokhwa
