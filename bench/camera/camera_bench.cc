// Usage: bench_camera [rounds] [layout]
//
// 1. Every pixel layout that capture converts, at 1920x1080 into packed RGB: the library's
//    conversion on each instruction-set path beside libv4lconvert's v4lconvert_convert (where it
//    has the layout) and libyuv (where it has one; "4-byte" marks functions that can only write
//    ARGB, 33% more output). Speed-ups are the reference's time over the library's best path.
//    "vs reference" is the mean and largest difference per byte from the exact formulas of the
//    frame's encoding (Y'CbCr layouts, BT.601 limited range), the byte rules (GREY, Y16, RGB,
//    BGR), or libv4lconvert's demosaic (Bayer).
// 2. A 1920x1080 MJPEG frame (quality 85, 4:2:2 like UVC cameras send) through the capture
//    library's per-frame path (decode into the capture buffer, publish by buffer swap) beside a
//    bare tjDecompress2 of the same JPEG into a preallocated buffer and libv4lconvert's decode.
// 3. Decimation of a 1920x1080 packed-RGB frame to 960x540 RGBA beside a memcpy of the same
//    number of output bytes, with the frame in cache.
// The sides take turns round by round so that load on the machine hits them alike; the time per
// iteration of each side's fastest round is printed (the machine is shared: slow rounds measure
// the other processes). A layout name (e.g. "nv12") limits the run to that layout.
#include <libv4l-plugin.h>
#include <libv4lconvert.h>
#include <libyuv.h>
#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "camera/decimation.h"
#include "frame_converter.h"
#include "frame_store.h"
#include "mjpeg_decoder.h"
#include "pixel_convert.h"
#include "pixel_reference.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// Runs each side `iterations` times per round, sides in turn, and returns the milliseconds per
// iteration of each side's fastest round.
std::vector<double> SideBySide(int rounds, int iterations,
                               const std::vector<std::function<void()>>& sides) {
  std::vector<std::vector<double>> times(sides.size());
  for (const auto& side : sides) {
    side();  // warm up: caches, page faults, decoder tables
  }
  for (int r = 0; r < rounds; ++r) {
    // Each round starts with another side, so that none always runs right after the same one.
    for (size_t turn = 0; turn < sides.size(); ++turn) {
      const size_t s = (turn + static_cast<size_t>(r)) % sides.size();
      const auto start = Clock::now();
      for (int i = 0; i < iterations; ++i) {
        sides[s]();
      }
      times[s].push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count() /
                         iterations);
    }
  }
  std::vector<double> fastest;
  for (auto& t : times) {
    fastest.push_back(*std::min_element(t.begin(), t.end()));
  }
  return fastest;
}

// libv4lconvert asks its device for capabilities when it is created. This stand-in answers that,
// and claims the controls libv4lconvert would otherwise emulate in software (white balance,
// gamma, flips), so that none of its processing applies and it keeps no shared-memory values.
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
    std::snprintf(reinterpret_cast<char*>(caps->card), sizeof(caps->card), "cnokhwa-bench");
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

class LibV4l {
 public:
  LibV4l() {
    ops_.ioctl = FakeIoctl;
    ops_.read = FakeRead;
    ops_.write = FakeWrite;
    data_ = v4lconvert_create_with_dev_ops(-1, nullptr, &ops_);
  }
  ~LibV4l() {
    if (data_ != nullptr) {
      v4lconvert_destroy(data_);
    }
  }
  // Converts src (size bytes, rows of stride bytes) to RGB24; the bytes written, or -1.
  int Convert(uint32_t fourcc, int width, int height, int64_t stride, uint8_t* src, size_t size,
              uint8_t* dst, size_t dstSize) {
    if (data_ == nullptr) {
      return -1;
    }
    v4l2_format from{};
    from.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    from.fmt.pix.width = static_cast<uint32_t>(width);
    from.fmt.pix.height = static_cast<uint32_t>(height);
    from.fmt.pix.pixelformat = fourcc;
    from.fmt.pix.field = V4L2_FIELD_NONE;
    from.fmt.pix.bytesperline = static_cast<uint32_t>(stride);
    from.fmt.pix.sizeimage = static_cast<uint32_t>(size);
    v4l2_format to = from;
    to.fmt.pix.pixelformat = V4L2_PIX_FMT_RGB24;
    to.fmt.pix.bytesperline = static_cast<uint32_t>(width) * 3;
    to.fmt.pix.sizeimage = static_cast<uint32_t>(dstSize);
    return v4lconvert_convert(data_, &from, &to, src, static_cast<int>(size), dst,
                              static_cast<int>(dstSize));
  }

 private:
  libv4l_dev_ops ops_{};
  v4lconvert_data* data_ = nullptr;
};

struct Reference {
  std::string name;
  std::function<void()> run;
};

// libyuv's function for a layout, if it has one. Its "RAW" is R, G, B in memory: our RGB.
Reference LibyuvFor(const cnokhwa::PixelLayout& layout, const std::vector<uint8_t>& src,
                    std::vector<uint8_t>& rgb, std::vector<uint8_t>& argb) {
  const uint8_t* s = src.data();
  const int w = kWidth;
  const int h = kHeight;
  const uint8_t* chroma = s + static_cast<size_t>(w) * h;
  const uint8_t* second = chroma + static_cast<size_t>(w / 2) * (h / 2);
  switch (layout.fourcc) {
    case V4L2_PIX_FMT_YUYV:
      return {"YUY2ToARGB, 4-byte",
              [=, &argb] { libyuv::YUY2ToARGB(s, w * 2, argb.data(), w * 4, w, h); }};
    case V4L2_PIX_FMT_UYVY:
      return {"UYVYToARGB, 4-byte",
              [=, &argb] { libyuv::UYVYToARGB(s, w * 2, argb.data(), w * 4, w, h); }};
    case V4L2_PIX_FMT_NV12:
      return {"NV12ToRAW",
              [=, &rgb] { libyuv::NV12ToRAW(s, w, chroma, w, rgb.data(), w * 3, w, h); }};
    case V4L2_PIX_FMT_NV21:
      return {"NV21ToRAW",
              [=, &rgb] { libyuv::NV21ToRAW(s, w, chroma, w, rgb.data(), w * 3, w, h); }};
    case V4L2_PIX_FMT_YUV420:
      return {"I420ToRAW", [=, &rgb] {
                libyuv::I420ToRAW(s, w, chroma, w / 2, second, w / 2, rgb.data(), w * 3, w, h);
              }};
    case V4L2_PIX_FMT_YVU420:
      return {"I420ToRAW", [=, &rgb] {
                libyuv::I420ToRAW(s, w, second, w / 2, chroma, w / 2, rgb.data(), w * 3, w, h);
              }};
    case V4L2_PIX_FMT_GREY:
      return {"J400ToARGB, 4-byte",
              [=, &argb] { libyuv::J400ToARGB(s, w, argb.data(), w * 4, w, h); }};
    case V4L2_PIX_FMT_RGB24:
      return {"CopyPlane", [=, &rgb] { libyuv::CopyPlane(s, w * 3, rgb.data(), w * 3, w * 3, h); }};
    case V4L2_PIX_FMT_BGR24:
      return {"RAWToRGB24", [=, &rgb] { libyuv::RAWToRGB24(s, w * 3, rgb.data(), w * 3, w, h); }};
    default:
      return {};
  }
}

const char* PathName(cnokhwa::SimdPath path) {
  switch (path) {
    case cnokhwa::SimdPath::kAvx2:
      return "avx2";
    case cnokhwa::SimdPath::kSse41:
      return "sse4.1";
    case cnokhwa::SimdPath::kScalar:
      break;
  }
  return "scalar";
}

std::string FourccText(uint32_t fourcc) {
  std::string text(reinterpret_cast<const char*>(&fourcc), 4);
  while (!text.empty() && text.back() == ' ') {
    text.pop_back();
  }
  return text;
}

bool BenchLayouts(int rounds, const std::string& only) {
  using cnokhwa::SimdPath;
  LibV4l libv4l;
  std::vector<SimdPath> paths;
  for (SimdPath path : {cnokhwa::BestSimdPath(), SimdPath::kSse41, SimdPath::kScalar}) {
    if (cnokhwa::SimdPathAvailable(path) &&
        std::find(paths.begin(), paths.end(), path) == paths.end()) {
      paths.push_back(path);
    }
  }
  std::printf("Pixel layouts %dx%d to packed RGB, ms per frame (fastest of %d rounds)\n", kWidth,
              kHeight, rounds);
  bool ok = true;
  for (const cnokhwa::PixelLayout* l = cnokhwa::PixelLayoutsBegin();
       l != cnokhwa::PixelLayoutsEnd(); ++l) {
    if (l->kind == cnokhwa::LayoutKind::kJpeg || (!only.empty() && only != l->scriptName)) {
      continue;
    }
    const cnokhwa::SourceFormat format{l->fourcc, kWidth, kHeight, 0, {}};
    std::vector<uint8_t> src = cnokhwa::testing::MakeTestFrame(format, 1, true);
    const size_t rgbBytes = static_cast<size_t>(kWidth) * 3 * kHeight;
    std::vector<std::vector<uint8_t>> outs(paths.size(), std::vector<uint8_t>(rgbBytes));
    std::vector<uint8_t> theirs(rgbBytes);
    std::vector<uint8_t> yuvOut(rgbBytes);
    std::vector<uint8_t> argb(static_cast<size_t>(kWidth) * 4 * kHeight);
    std::vector<std::function<void()>> sides;
    for (size_t p = 0; p < paths.size(); ++p) {
      sides.push_back([&, p] {
        ok = cnokhwa::ConvertToRgb(format, src.data(), src.size(), outs[p].data(), outs[p].size(),
                                   paths[p]) &&
             ok;
      });
    }
    const int64_t stride = cnokhwa::PackedRowBytes(*l, kWidth);
    const bool hasLibv4l = libv4l.Convert(l->fourcc, kWidth, kHeight, stride, src.data(),
                                          src.size(), theirs.data(), theirs.size()) > 0;
    if (hasLibv4l) {
      sides.push_back([&] {
        libv4l.Convert(l->fourcc, kWidth, kHeight, stride, src.data(), src.size(), theirs.data(),
                       theirs.size());
      });
    }
    const Reference libyuv = LibyuvFor(*l, src, yuvOut, argb);
    if (libyuv.run) {
      sides.push_back(libyuv.run);
    }
    const std::vector<double> ms = SideBySide(rounds, 4, sides);
    for (size_t p = 1; p < paths.size(); ++p) {
      ok = outs[p] == outs[0] && ok;  // every path gives the same bytes
    }
    const auto accuracy = cnokhwa::testing::CompareRgb(
        outs[0], cnokhwa::testing::ReferenceRgb(format, src.data(), src.size()));
    std::printf("  %-5s %-4s", l->scriptName, FourccText(l->fourcc).c_str());
    for (size_t p = 0; p < paths.size(); ++p) {
      std::printf("  %s %6.2f", PathName(paths[p]), ms[p]);
    }
    size_t next = paths.size();
    if (hasLibv4l) {
      std::printf("  | libv4lconvert %6.2f (%.2fx)", ms[next], ms[next] / ms[0]);
      ++next;
    } else {
      std::printf("  | libv4lconvert    n/a         ");
    }
    if (libyuv.run) {
      std::printf("  | libyuv %s %.2f (%.2fx)", libyuv.name.c_str(), ms[next], ms[next] / ms[0]);
    }
    std::printf("  | vs reference: mean %.4f max %d\n", accuracy.mean, accuracy.max);
  }
  return ok;
}

bool BenchMjpeg(int rounds) {
  const std::vector<uint8_t> jpeg = cnokhwa::testing::MakeTestJpeg(kWidth, kHeight, 1, 85);
  // Library path: what the capture thread does per MJPEG frame.
  cnokhwa::FrameConverter converter({V4L2_PIX_FMT_MJPEG, 0, 0, 0, {}});
  cnokhwa::FrameStore store;
  const uint64_t token = store.Begin();
  std::vector<uint8_t> back;
  bool libraryOk = true;
  auto libraryPath = [&] {
    int w = 0;
    int h = 0;
    libraryOk = converter.Convert(jpeg.data(), jpeg.size(), back, &w, &h) && libraryOk;
    store.Publish(token, back, w, h);
  };
  // References: a bare decode into a buffer that already exists, and libv4lconvert's.
  tjhandle bare = tjInitDecompress();
  std::vector<uint8_t> bareOut(static_cast<size_t>(kWidth) * 3 * kHeight);
  auto bareDecode = [&] {
    tjDecompress2(bare, jpeg.data(), jpeg.size(), bareOut.data(), kWidth, kWidth * 3, kHeight,
                  TJPF_RGB, 0);
  };
  LibV4l libv4l;
  std::vector<uint8_t> jpegCopy = jpeg;
  std::vector<uint8_t> theirs(bareOut.size());
  auto libv4lDecode = [&] {
    libv4l.Convert(V4L2_PIX_FMT_MJPEG, kWidth, kHeight, 0, jpegCopy.data(), jpegCopy.size(),
                   theirs.data(), theirs.size());
  };
  const std::vector<double> ms = SideBySide(rounds, 8, {libraryPath, bareDecode, libv4lDecode});
  tjDestroy(bare);
  if (!libraryOk) {
    std::fprintf(stderr, "the library path failed to decode\n");
    return false;
  }
  std::printf("MJPEG %dx%d q85 (%zu bytes) to packed RGB\n", kWidth, kHeight, jpeg.size());
  std::printf("  libcnokhwa decode path   %8.3f ms\n", ms[0]);
  std::printf("  bare tjDecompress2       %8.3f ms  (ratio %.3f, target <= 1.15)\n", ms[1],
              ms[0] / ms[1]);
  std::printf("  libv4lconvert            %8.3f ms  (%.2fx)\n", ms[2], ms[2] / ms[0]);
  std::printf("  same pixels as tjDecompress2: %s\n", back == bareOut ? "yes" : "NO");
  return back == bareOut;
}

void BenchDecimation(int rounds) {
  const cnokhwa::SourceFormat format{V4L2_PIX_FMT_RGB24, kWidth, kHeight, 0, {}};
  const std::vector<uint8_t> image = cnokhwa::testing::MakeTestFrame(format, 1, true);
  const zentri_native::DecimationPlan plan =
      zentri_native::PlanDecimation(kWidth, kHeight, 960, 540);
  const size_t outBytes = static_cast<size_t>(plan.outWidth) * 4 * plan.outHeight;
  std::vector<uint8_t> rgba(outBytes);
  std::vector<uint8_t> copySource(outBytes, 7);
  std::vector<uint8_t> copyTarget(outBytes);
  auto decimate = [&] {
    zentri_native::DecimateRgbToRgba(image.data(), kWidth * 3, kWidth, kHeight, plan, rgba.data());
  };
  auto copy = [&] { std::memcpy(copyTarget.data(), copySource.data(), outBytes); };
  const std::vector<double> ms = SideBySide(rounds, 50, {decimate, copy});
  std::printf("Decimation %dx%d RGB to %dx%d RGBA (%zu bytes out)\n", kWidth, kHeight,
              plan.outWidth, plan.outHeight, outBytes);
  std::printf("  decimation               %8.3f ms  (target <= 0.3 ms)\n", ms[0]);
  std::printf("  memcpy of the same bytes %8.3f ms\n", ms[1]);
  std::printf("  ratio                    %8.3f\n", ms[0] / ms[1]);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 9;
  const std::string only = argc > 2 ? argv[2] : "";
  bool ok = BenchLayouts(rounds, only);
  if (only.empty() || only == "mjpeg") {
    ok = BenchMjpeg(rounds) && ok;
  }
  if (only.empty()) {
    BenchDecimation(rounds);
  }
  if (!ok) {
    std::fprintf(stderr, "a conversion failed or the paths disagreed\n");
    return 1;
  }
  return 0;
}
