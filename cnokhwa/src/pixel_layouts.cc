#include "pixel_layouts.h"

#include <linux/videodev2.h>

namespace cnokhwa {
namespace {

constexpr PixelLayout Layout(uint32_t fourcc, const char* name, LayoutKind kind) {
  return {fourcc, name, kind, 0, 0, 0, true, BayerOrder::kBggr};
}
constexpr PixelLayout Packed(uint32_t fourcc, const char* name, uint8_t luma, uint8_t cb,
                             uint8_t cr) {
  return {fourcc, name, LayoutKind::kPacked422, luma, cb, cr, true, BayerOrder::kBggr};
}
constexpr PixelLayout Chroma(uint32_t fourcc, const char* name, LayoutKind kind, bool cbFirst) {
  return {fourcc, name, kind, 0, 0, 0, cbFirst, BayerOrder::kBggr};
}
constexpr PixelLayout Bayer(uint32_t fourcc, const char* name, BayerOrder order) {
  return {fourcc, name, LayoutKind::kBayer, 0, 0, 0, true, order};
}

// Script names: the pixel format names shared with the recorder where a layout has one ("rgb",
// "yuy2", "nv12", "i420", "uyvy", "mjpeg" also for the older JPEG code), "gray" for 8-bit
// monochrome, the colour filter order for Bayer data, and the four-character code in lower case
// for the rest.
constexpr PixelLayout kLayouts[] = {
    Layout(V4L2_PIX_FMT_MJPEG, "mjpeg", LayoutKind::kJpeg),
    Layout(V4L2_PIX_FMT_JPEG, "mjpeg", LayoutKind::kJpeg),
    Packed(V4L2_PIX_FMT_YUYV, "yuy2", 0, 1, 3),
    Packed(V4L2_PIX_FMT_UYVY, "uyvy", 1, 0, 2),
    Packed(V4L2_PIX_FMT_YVYU, "yvyu", 0, 3, 1),
    Packed(V4L2_PIX_FMT_VYUY, "vyuy", 1, 2, 0),
    Chroma(V4L2_PIX_FMT_NV12, "nv12", LayoutKind::kSemiPlanar420, true),
    Chroma(V4L2_PIX_FMT_NV21, "nv21", LayoutKind::kSemiPlanar420, false),
    Chroma(V4L2_PIX_FMT_YUV420, "i420", LayoutKind::kPlanar420, true),
    Chroma(V4L2_PIX_FMT_YVU420, "yv12", LayoutKind::kPlanar420, false),
    Layout(V4L2_PIX_FMT_GREY, "gray", LayoutKind::kGrey),
    Layout(V4L2_PIX_FMT_Y16, "y16", LayoutKind::kY16),
    Layout(V4L2_PIX_FMT_RGB24, "rgb", LayoutKind::kRgb24),
    Layout(V4L2_PIX_FMT_BGR24, "bgr", LayoutKind::kBgr24),
    Bayer(V4L2_PIX_FMT_SBGGR8, "bggr", BayerOrder::kBggr),
    Bayer(V4L2_PIX_FMT_SGBRG8, "gbrg", BayerOrder::kGbrg),
    Bayer(V4L2_PIX_FMT_SGRBG8, "grbg", BayerOrder::kGrbg),
    Bayer(V4L2_PIX_FMT_SRGGB8, "rggb", BayerOrder::kRggb),
};

}  // namespace

const PixelLayout* FindPixelLayout(uint32_t fourcc) {
  for (const PixelLayout& layout : kLayouts) {
    if (layout.fourcc == fourcc) {
      return &layout;
    }
  }
  return nullptr;
}

const PixelLayout* PixelLayoutsBegin() {
  return kLayouts;
}

const PixelLayout* PixelLayoutsEnd() {
  return kLayouts + sizeof(kLayouts) / sizeof(kLayouts[0]);
}

int64_t PackedRowBytes(const PixelLayout& layout, int width) {
  const int64_t w = width;
  switch (layout.kind) {
    case LayoutKind::kJpeg:
      return 0;
    case LayoutKind::kPacked422:
      return (w + 1) / 2 * 4;
    case LayoutKind::kY16:
      return w * 2;
    case LayoutKind::kRgb24:
    case LayoutKind::kBgr24:
      return w * 3;
    case LayoutKind::kSemiPlanar420:
      return (w + 1) / 2 * 2;  // the chroma rows share the stride and hold whole pairs
    case LayoutKind::kPlanar420:
    case LayoutKind::kGrey:
    case LayoutKind::kBayer:
      return w;
  }
  return 0;
}

}  // namespace cnokhwa
