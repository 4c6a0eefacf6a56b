#include "pixel_convert.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pixel_reference.h"

namespace cnokhwa {
namespace {

using testing::AllColorDescriptions;
using testing::CompareRgb;
using testing::Describe;
using testing::MakeTestFrame;
using testing::ReferenceRgb;
using testing::ReferenceYcbcrPixel;

constexpr YcbcrEncoding k601 = YcbcrEncoding::kBt601;
constexpr YcbcrEncoding k709 = YcbcrEncoding::kBt709;

std::vector<uint8_t> Convert(const SourceFormat& format, const std::vector<uint8_t>& src) {
  std::vector<uint8_t> rgb(static_cast<size_t>(format.width) * 3 * format.height, 0x5A);
  if (!ConvertToRgb(format, src.data(), src.size(), rgb.data(), rgb.size())) {
    return {};
  }
  return rgb;
}

std::vector<uint8_t> Pixel(int y, int cb, int cr, ColorDescription color = {}) {
  std::vector<uint8_t> rgb(3);
  ReferenceYcbcrPixel(y, cb, cr, color, rgb.data());
  return rgb;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) {
    all.insert(all.end(), p.begin(), p.end());
  }
  return all;
}

std::vector<const PixelLayout*> LayoutsOf(std::initializer_list<LayoutKind> kinds) {
  std::vector<const PixelLayout*> found;
  for (const PixelLayout* l = PixelLayoutsBegin(); l != PixelLayoutsEnd(); ++l) {
    for (LayoutKind k : kinds) {
      if (l->kind == k) {
        found.push_back(l);
      }
    }
  }
  return found;
}

std::string NameOf(uint32_t fourcc) {
  return std::string(reinterpret_cast<const char*>(&fourcc), 4);
}

TEST(DescribeColor, DefaultsFollowTheKernelsMappingRules) {
  struct Case {
    uint32_t colorspace, encoding, quantization;
    YcbcrEncoding want;
    bool full;
  };
  const Case cases[] = {
      {V4L2_COLORSPACE_DEFAULT, 0, 0, k601, false},  // a driver that says nothing
      {V4L2_COLORSPACE_SRGB, 0, 0, k601, false},     // what uvcvideo reports
      {V4L2_COLORSPACE_SMPTE170M, 0, 0, k601, false},
      {V4L2_COLORSPACE_REC709, 0, 0, k709, false},
      {V4L2_COLORSPACE_DCI_P3, 0, 0, k709, false},
      {V4L2_COLORSPACE_BT2020, 0, 0, YcbcrEncoding::kBt2020, false},
      {V4L2_COLORSPACE_SMPTE240M, 0, 0, YcbcrEncoding::kSmpte240m, false},
      {V4L2_COLORSPACE_JPEG, 0, 0, k601, true},
      {V4L2_COLORSPACE_RAW, 0, 0, k601, false},
      // Explicit fields win over the colorspace's defaults.
      {V4L2_COLORSPACE_SRGB, V4L2_YCBCR_ENC_709, V4L2_QUANTIZATION_FULL_RANGE, k709, true},
      {V4L2_COLORSPACE_REC709, V4L2_YCBCR_ENC_601, V4L2_QUANTIZATION_LIM_RANGE, k601, false},
      {V4L2_COLORSPACE_JPEG, 0, V4L2_QUANTIZATION_LIM_RANGE, k601, false},
      {V4L2_COLORSPACE_SRGB, V4L2_YCBCR_ENC_XV709, 0, k709, false},
      {V4L2_COLORSPACE_SRGB, V4L2_YCBCR_ENC_XV601, 0, k601, false},
      {V4L2_COLORSPACE_SRGB, V4L2_YCBCR_ENC_SYCC, 0, k601, false},
      {V4L2_COLORSPACE_SRGB, V4L2_YCBCR_ENC_BT2020_CONST_LUM, 0, YcbcrEncoding::kBt2020, false},
      {V4L2_COLORSPACE_SRGB, 99, 99, k601, false},  // values newer than this header
  };
  for (const Case& c : cases) {
    const ColorDescription got = DescribeColor(c.colorspace, c.encoding, c.quantization);
    EXPECT_EQ(got.encoding, c.want) << c.colorspace << "/" << c.encoding << "/" << c.quantization;
    EXPECT_EQ(got.fullRange, c.full) << c.colorspace << "/" << c.encoding << "/" << c.quantization;
  }
}

TEST(DescribeColor, ExtendedFieldsCountOnlyWithThePrivMagic) {
  v4l2_pix_format pix{};
  pix.colorspace = V4L2_COLORSPACE_REC709;
  pix.ycbcr_enc = V4L2_YCBCR_ENC_601;
  pix.quantization = V4L2_QUANTIZATION_FULL_RANGE;
  ColorDescription color = DescribeColor(pix);
  EXPECT_EQ(color.encoding, k709) << "colorspace default; the other fields are undefined";
  EXPECT_FALSE(color.fullRange);
  pix.priv = V4L2_PIX_FMT_PRIV_MAGIC;
  color = DescribeColor(pix);
  EXPECT_EQ(color.encoding, k601);
  EXPECT_TRUE(color.fullRange);
}

TEST(YcbcrReference, AnchorColours) {
  // The reference itself, against values worked out by hand.
  EXPECT_EQ(Pixel(16, 128, 128), (std::vector<uint8_t>{0, 0, 0}));
  EXPECT_EQ(Pixel(235, 128, 128), (std::vector<uint8_t>{255, 255, 255}));
  EXPECT_EQ(Pixel(81, 90, 240), (std::vector<uint8_t>{254, 0, 0}));
  EXPECT_EQ(Pixel(41, 240, 110), (std::vector<uint8_t>{0, 0, 255}));
  EXPECT_EQ(Pixel(0, 128, 128, {k601, true}), (std::vector<uint8_t>{0, 0, 0}));
  EXPECT_EQ(Pixel(255, 128, 128, {k601, true}), (std::vector<uint8_t>{255, 255, 255}));
  EXPECT_EQ(Pixel(128, 128, 128, {k601, true}), (std::vector<uint8_t>{128, 128, 128}));
  // BT.709 red is Y 63, Cb 102, Cr 240 in limited range.
  EXPECT_EQ(Pixel(63, 102, 240, {k709, false}), (std::vector<uint8_t>{255, 1, 0}));
  // One sample under each matrix and range.
  EXPECT_EQ(Pixel(100, 150, 100), (std::vector<uint8_t>{53, 112, 142}));
  EXPECT_EQ(Pixel(100, 150, 100, {k709, false}), (std::vector<uint8_t>{48, 108, 144}));
  EXPECT_EQ(Pixel(100, 150, 100, {YcbcrEncoding::kBt2020, false}),
            (std::vector<uint8_t>{51, 112, 145}));
  EXPECT_EQ(Pixel(100, 150, 100, {YcbcrEncoding::kSmpte240m, false}),
            (std::vector<uint8_t>{48, 107, 144}));
  EXPECT_EQ(Pixel(100, 150, 100, {k601, true}), (std::vector<uint8_t>{61, 112, 139}));
}

// Whether each layout reads its samples where V4L2 puts them: a 4 x 2 image whose pixels all
// take different luma, and whose chroma differs per pair (4:2:2) or per 2 x 2 block (4:2:0).
TEST(ConvertToRgb, YcbcrLayoutsReadTheirSamplesWhereV4l2PutsThem) {
  const int luma[2][4] = {{16, 235, 126, 81}, {41, 145, 200, 60}};
  // 4:2:2: chroma per row and pair; 4:2:0 uses row 0's.
  const int cb[2][2] = {{128, 90}, {240, 54}};
  const int cr[2][2] = {{128, 240}, {110, 34}};
  std::vector<uint8_t> want422;
  std::vector<uint8_t> want420;
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 4; ++x) {
      const auto p = Pixel(luma[y][x], cb[y][x / 2], cr[y][x / 2]);
      want422.insert(want422.end(), p.begin(), p.end());
      const auto q = Pixel(luma[y][x], cb[0][x / 2], cr[0][x / 2]);
      want420.insert(want420.end(), q.begin(), q.end());
    }
  }
  struct Case {
    uint32_t fourcc;
    std::vector<uint8_t> bytes;
    bool is422;
  };
  const Case cases[] = {
      {V4L2_PIX_FMT_YUYV,
       {16, 128, 235, 128, 126, 90, 81, 240, 41, 240, 145, 110, 200, 54, 60, 34},
       true},
      {V4L2_PIX_FMT_UYVY,
       {128, 16, 128, 235, 90, 126, 240, 81, 240, 41, 110, 145, 54, 200, 34, 60},
       true},
      {V4L2_PIX_FMT_YVYU,
       {16, 128, 235, 128, 126, 240, 81, 90, 41, 110, 145, 240, 200, 34, 60, 54},
       true},
      {V4L2_PIX_FMT_VYUY,
       {128, 16, 128, 235, 240, 126, 90, 81, 110, 41, 240, 145, 34, 200, 54, 60},
       true},
      {V4L2_PIX_FMT_NV12, {16, 235, 126, 81, 41, 145, 200, 60, 128, 128, 90, 240}, false},
      {V4L2_PIX_FMT_NV21, {16, 235, 126, 81, 41, 145, 200, 60, 128, 128, 240, 90}, false},
      {V4L2_PIX_FMT_YUV420, {16, 235, 126, 81, 41, 145, 200, 60, 128, 90, 128, 240}, false},
      {V4L2_PIX_FMT_YVU420, {16, 235, 126, 81, 41, 145, 200, 60, 128, 240, 128, 90}, false},
  };
  for (const Case& c : cases) {
    SourceFormat format{c.fourcc, 4, 2, 0, {}};
    EXPECT_EQ(SourceFrameBytes(format), c.bytes.size()) << NameOf(c.fourcc);
    EXPECT_EQ(Convert(format, c.bytes), c.is422 ? want422 : want420) << NameOf(c.fourcc);
    EXPECT_EQ(ReferenceRgb(format, c.bytes.data(), c.bytes.size()), c.is422 ? want422 : want420)
        << NameOf(c.fourcc) << " (reference)";
  }
}

TEST(ConvertToRgb, OddSizesShareTheLastChromaSample) {
  // 3 x 3 NV12 at stride 4: the last column and row use the second pair / the second chroma row.
  const std::vector<uint8_t> nv12 = {16,  235, 126, 0,    //
                                     81,  81,  41,  0,    //
                                     16,  16,  16,  0,    //
                                     128, 128, 128, 128,  //
                                     90,  240, 240, 110};
  const SourceFormat format{V4L2_PIX_FMT_NV12, 3, 3, 4, {}};
  EXPECT_EQ(SourceFrameBytes(format), nv12.size());
  EXPECT_EQ(Convert(format, nv12),
            Concat({Pixel(16, 128, 128), Pixel(235, 128, 128), Pixel(126, 128, 128),
                    Pixel(81, 128, 128), Pixel(81, 128, 128), Pixel(41, 128, 128),
                    Pixel(16, 90, 240), Pixel(16, 90, 240), Pixel(16, 240, 110)}));
  // YUYV with an odd width: the last pixel is the first half of the last pair.
  const std::vector<uint8_t> yuyv = {16, 128, 16, 128, 235, 128, 16, 128};
  EXPECT_EQ(Convert({V4L2_PIX_FMT_YUYV, 3, 1, 0, {}}, yuyv),
            (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 255, 255, 255}));
}

// Every Y'CbCr layout in every colour encoding and range, against the exact formulas, on frames
// of noise (every sample value occurs, out-of-range ones included), packed and with padded rows.
TEST(ConvertToRgb, YcbcrLayoutsMatchTheExactFormulasInEveryEncoding) {
  for (const PixelLayout* layout :
       LayoutsOf({LayoutKind::kPacked422, LayoutKind::kSemiPlanar420, LayoutKind::kPlanar420})) {
    for (const ColorDescription& color : AllColorDescriptions()) {
      for (const auto& size : {std::make_pair(64, 48), std::make_pair(37, 21)}) {
        SourceFormat format{layout->fourcc, size.first, size.second, 0, color};
        if (size.first % 2 != 0) {
          format.stride = PackedRowBytes(*layout, size.first) + 6;
        }
        const std::vector<uint8_t> src = MakeTestFrame(format, 7);
        const auto d =
            CompareRgb(Convert(format, src), ReferenceRgb(format, src.data(), src.size()));
        const std::string what = NameOf(layout->fourcc) + " " + Describe(color) + " " +
                                 std::to_string(size.first) + "x" + std::to_string(size.second);
        EXPECT_LE(d.max, 1) << what << ": " << Describe(d);
        EXPECT_LE(d.mean, 0.05) << what << ": " << Describe(d);
      }
    }
  }
}

TEST(ConvertToRgb, MonochromeAndRgbLayoutsAreExact) {
  // GREY: R = G = B = the sample, every value.
  std::vector<uint8_t> grey(256);
  for (int i = 0; i < 256; ++i) {
    grey[i] = static_cast<uint8_t>(i);
  }
  const std::vector<uint8_t> rgb = Convert({V4L2_PIX_FMT_GREY, 16, 16, 0, {}}, grey);
  ASSERT_EQ(rgb.size(), 768u);
  for (int i = 0; i < 256; ++i) {
    EXPECT_TRUE(rgb[i * 3] == i && rgb[i * 3 + 1] == i && rgb[i * 3 + 2] == i) << i;
  }
  // Y16 is little-endian: the high byte is the second.
  EXPECT_EQ(Convert({V4L2_PIX_FMT_Y16, 2, 1, 0, {}}, {0xff, 0x12, 0x00, 0xfe}),
            (std::vector<uint8_t>{0x12, 0x12, 0x12, 0xfe, 0xfe, 0xfe}));
  EXPECT_EQ(Convert({V4L2_PIX_FMT_BGR24, 2, 1, 0, {}}, {1, 2, 3, 4, 5, 6}),
            (std::vector<uint8_t>{3, 2, 1, 6, 5, 4}));
  EXPECT_EQ(
      Convert({V4L2_PIX_FMT_RGB24, 2, 2, 8, {}}, {1, 2, 3, 4, 5, 6, 9, 9, 7, 8, 9, 10, 11, 12}),
      (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  // Whole frames with padded rows; the colour description does not apply to these layouts.
  for (const PixelLayout* layout :
       LayoutsOf({LayoutKind::kGrey, LayoutKind::kY16, LayoutKind::kRgb24, LayoutKind::kBgr24})) {
    for (const auto& size : {std::make_pair(64, 48), std::make_pair(37, 21)}) {
      const SourceFormat format{layout->fourcc,
                                size.first,
                                size.second,
                                PackedRowBytes(*layout, size.first) + 5,
                                {k709, false}};
      const std::vector<uint8_t> src = MakeTestFrame(format, 3);
      EXPECT_EQ(Convert(format, src), ReferenceRgb(format, src.data(), src.size()))
          << NameOf(layout->fourcc);
    }
  }
}

// A Bayer mosaic of a flat scene: every order demosaics back to the scene colour everywhere,
// edges included.
TEST(ConvertToRgb, BayerOrdersRecoverAFlatScene) {
  const uint8_t red = 200;
  const uint8_t green = 100;
  const uint8_t blue = 40;
  struct Order {
    uint32_t fourcc;
    const char* sites;  // the colours of the 2 x 2 cell, row by row
  };
  for (const Order& o : {Order{V4L2_PIX_FMT_SBGGR8, "BGGR"}, Order{V4L2_PIX_FMT_SGBRG8, "GBRG"},
                         Order{V4L2_PIX_FMT_SGRBG8, "GRBG"}, Order{V4L2_PIX_FMT_SRGGB8, "RGGB"}}) {
    for (const auto& size : {std::make_pair(8, 6), std::make_pair(7, 5), std::make_pair(2, 2)}) {
      const int w = size.first;
      const int h = size.second;
      std::vector<uint8_t> mosaic(static_cast<size_t>(w) * h);
      for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
          const char site = o.sites[(y % 2) * 2 + x % 2];
          mosaic[y * w + x] = site == 'R' ? red : (site == 'G' ? green : blue);
        }
      }
      const std::vector<uint8_t> rgb = Convert({o.fourcc, w, h, 0, {}}, mosaic);
      ASSERT_EQ(rgb.size(), mosaic.size() * 3) << o.sites;
      for (size_t i = 0; i < mosaic.size(); ++i) {
        ASSERT_TRUE(rgb[i * 3] == red && rgb[i * 3 + 1] == green && rgb[i * 3 + 2] == blue)
            << o.sites << " " << w << "x" << h << " pixel " << i;
      }
    }
  }
}

// Against libv4lconvert's bilinear demosaic: the same values inside the frame; at the outer
// rows and columns libv4lconvert averages the neighbours that exist where this library reflects
// the frame, so only the whole-frame mean is bounded there.
TEST(ConvertToRgb, BayerMatchesLibv4lconvertInsideTheFrame) {
  for (const PixelLayout* layout : LayoutsOf({LayoutKind::kBayer})) {
    for (const bool smooth : {false, true}) {
      for (const auto& size : {std::make_pair(64, 48), std::make_pair(38, 22)}) {
        const int w = size.first;
        const int h = size.second;
        const SourceFormat format{layout->fourcc, w, h, w + (smooth ? 4 : 0), {}};
        const std::vector<uint8_t> src = MakeTestFrame(format, 5, smooth);
        const std::vector<uint8_t> ours = Convert(format, src);
        const std::vector<uint8_t> theirs =
            testing::LibV4lConvertToRgb(format, src.data(), src.size());
        ASSERT_EQ(ours.size(), theirs.size()) << NameOf(layout->fourcc);
        int inside = 0;
        for (int y = 1; y + 1 < h; ++y) {
          for (int x = 1; x + 1 < w; ++x) {
            for (int c = 0; c < 3; ++c) {
              const size_t i = (static_cast<size_t>(y) * w + x) * 3 + c;
              inside = std::max(inside, std::abs(ours[i] - theirs[i]));
            }
          }
        }
        EXPECT_EQ(inside, 0) << NameOf(layout->fourcc) << " smooth " << smooth;
        const auto d = CompareRgb(ours, theirs);
        EXPECT_LE(d.mean, smooth ? 0.5 : 2.0) << NameOf(layout->fourcc) << ": " << Describe(d);
      }
    }
  }
}

// The vector kernels against the scalar ones, which define the result: every width around the
// step sizes (tails, odd widths, a single step), every layout, padded rows.
TEST(ConvertToRgb, EveryInstructionSetGivesTheScalarBytes) {
  std::vector<SimdPath> paths;
  for (SimdPath path : {SimdPath::kSse41, SimdPath::kAvx2}) {
    if (SimdPathAvailable(path)) {
      paths.push_back(path);
    }
  }
  if (paths.empty()) {
    GTEST_SKIP() << "this processor has neither SSE4.1 nor AVX2";
  }
  for (const PixelLayout* l = PixelLayoutsBegin(); l != PixelLayoutsEnd(); ++l) {
    if (l->kind == LayoutKind::kJpeg) {
      continue;
    }
    for (int width : {2, 3, 15, 16, 17, 31, 32, 33, 34, 35, 47, 63, 64, 65, 66, 67, 97, 130}) {
      for (const ColorDescription& color :
           {ColorDescription{k601, false}, ColorDescription{k709, true}}) {
        const SourceFormat format{l->fourcc, width, 5, PackedRowBytes(*l, width) + 7, color};
        const std::vector<uint8_t> src = MakeTestFrame(format, static_cast<uint32_t>(width));
        std::vector<uint8_t> want(static_cast<size_t>(width) * 3 * 5);
        ASSERT_TRUE(ConvertToRgb(format, src.data(), src.size(), want.data(), want.size(),
                                 SimdPath::kScalar));
        for (SimdPath path : paths) {
          std::vector<uint8_t> got(want.size(), 0x5A);
          ASSERT_TRUE(ConvertToRgb(format, src.data(), src.size(), got.data(), got.size(), path));
          ASSERT_TRUE(got == want) << NameOf(l->fourcc) << " width " << width << " "
                                   << Describe(color) << " path " << static_cast<int>(path);
        }
      }
    }
  }
  EXPECT_TRUE(SimdPathAvailable(BestSimdPath()));
}

// Short, empty and mis-sized buffers of every layout are refused without a read past their end
// (the sanitizer build checks the reads: each source is allocated at its exact size) and without
// writing the output.
TEST(ConvertToRgb, RefusesShortBuffersAndBadGeometryOfEveryLayout) {
  for (const PixelLayout* l = PixelLayoutsBegin(); l != PixelLayoutsEnd(); ++l) {
    if (l->kind == LayoutKind::kJpeg) {
      EXPECT_EQ(SourceFrameBytes({l->fourcc, 64, 48, 0, {}}), 0u);
      continue;
    }
    const std::string name = NameOf(l->fourcc);
    const SourceFormat format{l->fourcc, 33, 17, PackedRowBytes(*l, 33) + 3, {}};
    const uint64_t bytes = SourceFrameBytes(format);
    ASSERT_GT(bytes, 0u) << name;
    std::vector<uint8_t> rgb(33 * 3 * 17, 0x5A);
    const std::vector<uint8_t> untouched = rgb;
    const std::vector<uint8_t> exact = MakeTestFrame(format, 1);
    ASSERT_EQ(exact.size(), bytes) << name;
    EXPECT_TRUE(ConvertToRgb(format, exact.data(), exact.size(), rgb.data(), rgb.size())) << name;
    rgb = untouched;
    const std::vector<uint8_t> shorter(exact.begin(), exact.end() - 1);
    EXPECT_FALSE(ConvertToRgb(format, shorter.data(), shorter.size(), rgb.data(), rgb.size()))
        << name;
    EXPECT_FALSE(ConvertToRgb(format, exact.data(), 0, rgb.data(), rgb.size())) << name;
    EXPECT_FALSE(ConvertToRgb(format, nullptr, exact.size(), rgb.data(), rgb.size())) << name;
    EXPECT_FALSE(ConvertToRgb(format, exact.data(), exact.size(), rgb.data(), rgb.size() - 1))
        << name;
    EXPECT_FALSE(ConvertToRgb(format, exact.data(), exact.size(), nullptr, rgb.size())) << name;
    EXPECT_EQ(rgb, untouched) << name;
    // Geometry a driver could report by mistake.
    SourceFormat bad = format;
    bad.stride = PackedRowBytes(*l, 33) - 1;
    EXPECT_EQ(SourceFrameBytes(bad), 0u) << name << ": stride below a row";
    for (const auto& size : {std::make_pair(0, 17), std::make_pair(33, 0), std::make_pair(-4, 17),
                             std::make_pair(16385, 2), std::make_pair(2, 16385)}) {
      bad = format;
      bad.width = size.first;
      bad.height = size.second;
      bad.stride = 0;
      EXPECT_EQ(SourceFrameBytes(bad), 0u) << name << " " << size.first << "x" << size.second;
    }
    bad = format;
    bad.stride = -1;
    EXPECT_EQ(SourceFrameBytes(bad), 0u) << name;
    bad.stride = (int64_t{1} << 32) + 1;
    EXPECT_EQ(SourceFrameBytes(bad), 0u) << name << ": stride beyond 32 bits";
    // The largest frame: its size is computed without overflow.
    bad = {l->fourcc, 16384, 16384, int64_t{1} << 32, {}};
    EXPECT_GT(SourceFrameBytes(bad), (uint64_t{1} << 32) * 16383) << name;
  }
  // Bayer needs a 2 x 2 cell to demosaic.
  EXPECT_EQ(SourceFrameBytes({V4L2_PIX_FMT_SRGGB8, 1, 8, 0, {}}), 0u);
  EXPECT_EQ(SourceFrameBytes({V4L2_PIX_FMT_SRGGB8, 8, 1, 0, {}}), 0u);
  EXPECT_EQ(SourceFrameBytes({V4L2_PIX_FMT_H264, 64, 48, 0, {}}), 0u);
}

}  // namespace
}  // namespace cnokhwa
