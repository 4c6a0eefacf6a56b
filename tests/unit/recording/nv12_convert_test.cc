#include "recording/nv12_convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "recording/video_pixel_format.h"

namespace zentri_native {
namespace {

using Frame = VideoRecorder::Frame;

constexpr uint8_t kUntouched = 0xEE;

std::vector<Nv12Path> SupportedPaths() {
  std::vector<Nv12Path> paths;
  for (Nv12Path path : {Nv12Path::Scalar, Nv12Path::Sse41, Nv12Path::Avx2}) {
    if (Nv12PathSupported(path)) {
      paths.push_back(path);
    }
  }
  return paths;
}

int32_t Format(VideoPixelFormat format) {
  return static_cast<int32_t>(format);
}

// Output planes sized exactly to their last byte, so that a write past them is caught by the
// AddressSanitizer run.
struct Nv12Image {
  Nv12Image(int32_t width, int32_t height, int32_t yPad = 0, int32_t uvPad = 0)
      : width(width),
        height(height),
        yStride(width + yPad),
        uvStride(width + uvPad),
        y(static_cast<size_t>(yStride) * (height - 1) + width, kUntouched),
        uv(static_cast<size_t>(uvStride) * (height / 2 - 1) + width, kUntouched) {}

  bool ConvertFrom(const Frame& frame, Nv12Path path) {
    return ConvertFrameToNv12PlanarWithPath(path, frame, y.data(), yStride, uv.data(), uvStride);
  }
  uint8_t Y(int x, int row) const { return y[static_cast<size_t>(row) * yStride + x]; }
  uint8_t Cb(int block, int row) const {
    return uv[static_cast<size_t>(row) * uvStride + 2 * block];
  }
  uint8_t Cr(int block, int row) const {
    return uv[static_cast<size_t>(row) * uvStride + 2 * block + 1];
  }

  int32_t width, height, yStride, uvStride;
  std::vector<uint8_t> y, uv;
};

Frame UniformRgbx(int32_t width, int32_t height, bool bgra, uint8_t r, uint8_t g, uint8_t b) {
  Frame frame;
  frame.width = width;
  frame.height = height;
  frame.format = Format(bgra ? VideoPixelFormat::Bgra : VideoPixelFormat::Rgba);
  frame.strides[0] = width * 4;
  frame.data.resize(static_cast<size_t>(width) * height * 4);
  for (size_t i = 0; i < frame.data.size(); i += 4) {
    frame.data[i] = bgra ? b : r;
    frame.data[i + 1] = g;
    frame.data[i + 2] = bgra ? r : b;
    frame.data[i + 3] = static_cast<uint8_t>(i);  // alpha is ignored
  }
  return frame;
}

// Every luma byte equals y and every chroma pair (cb, cr).
::testing::AssertionResult Uniform(const Nv12Image& image, int y, int cb, int cr) {
  for (int row = 0; row < image.height; ++row) {
    for (int x = 0; x < image.width; ++x) {
      if (image.Y(x, row) != y) {
        return ::testing::AssertionFailure()
               << "Y(" << x << "," << row << ") = " << int(image.Y(x, row)) << ", want " << y;
      }
    }
  }
  for (int row = 0; row < image.height / 2; ++row) {
    for (int block = 0; block < image.width / 2; ++block) {
      if (image.Cb(block, row) != cb || image.Cr(block, row) != cr) {
        return ::testing::AssertionFailure()
               << "CbCr(" << block << "," << row << ") = " << int(image.Cb(block, row)) << ","
               << int(image.Cr(block, row)) << ", want " << cb << "," << cr;
      }
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(Nv12Convert, ReferenceColoursInBothMatricesOnEveryPath) {
  struct Case {
    const char* name;
    int32_t width, height;
    uint8_t r, g, b;
    int y, cb, cr;
  };
  // Width 1280 makes a frame high definition (BT.709) whatever its height.
  const Case cases[] = {
      {"white SD", 2, 2, 255, 255, 255, 235, 128, 128},
      {"black SD", 2, 2, 0, 0, 0, 16, 128, 128},
      {"white SD vector", 36, 4, 255, 255, 255, 235, 128, 128},
      {"white HD", 1280, 2, 255, 255, 255, 235, 128, 128},
      {"black HD", 1280, 2, 0, 0, 0, 16, 128, 128},
      {"red SD", 640, 480, 255, 0, 0, 81, 90, 240},
      {"green SD", 640, 4, 0, 255, 0, 145, 54, 34},
      {"blue SD", 640, 4, 0, 0, 255, 41, 240, 110},
      {"red HD", 1280, 4, 255, 0, 0, 63, 102, 240},
      {"green HD", 1280, 4, 0, 255, 0, 173, 42, 26},
      {"blue HD", 1280, 4, 0, 0, 255, 32, 240, 118},
  };
  for (Nv12Path path : SupportedPaths()) {
    for (const Case& c : cases) {
      for (bool bgra : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + (bgra ? " bgra " : " rgba ") + Nv12PathName(path));
        const Frame frame = UniformRgbx(c.width, c.height, bgra, c.r, c.g, c.b);
        Nv12Image image(c.width, c.height);
        ASSERT_TRUE(image.ConvertFrom(frame, path));
        EXPECT_TRUE(Uniform(image, c.y, c.cb, c.cr));
      }
    }
  }
}

TEST(Nv12Convert, MatrixFollowsTheFrameSize) {
  // Standard definition is width < 1280 and height < 577; everything else is BT.709.
  struct Case {
    int32_t width, height;
    int redLuma;
  };
  const Case cases[] = {{1280, 720, 63}, {720, 576, 81},  {1024, 768, 63},
                        {1278, 576, 81}, {1280, 576, 63}, {1278, 578, 63}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const Frame frame = UniformRgbx(c.width, c.height, false, 255, 0, 0);
    Nv12Image image(c.width, c.height);
    ASSERT_TRUE(ConvertFrameToNv12Planar(frame, image.y.data(), image.yStride, image.uv.data(),
                                         image.uvStride));
    EXPECT_TRUE(Uniform(image, c.redLuma, c.redLuma == 81 ? 90 : 102, 240));
  }
}

// A three-plane frame: luma rows, then Cb and Cr planes, with the given pitches.
Frame PlanarFrame(VideoPixelFormat format, int32_t width, int32_t height, uint8_t luma, uint8_t cb,
                  uint8_t cr) {
  Frame frame;
  frame.width = width;
  frame.height = height;
  frame.format = Format(format);
  frame.planeCount = 3;
  const int32_t chromaWidth = width / 2;
  frame.strides = {width + 3, chromaWidth + 1, chromaWidth + 5};
  frame.offsets[0] = 7;
  frame.offsets[1] = frame.offsets[0] + frame.strides[0] * height;
  frame.offsets[2] = frame.offsets[1] + frame.strides[1] * (height / 2);
  frame.data.assign(
      static_cast<size_t>(frame.offsets[2] + frame.strides[2] * (height / 2 - 1) + chromaWidth), 0);
  for (int row = 0; row < height; ++row) {
    std::fill_n(frame.data.begin() + frame.offsets[0] + row * frame.strides[0], width, luma);
  }
  for (int row = 0; row < height / 2; ++row) {
    std::fill_n(frame.data.begin() + frame.offsets[1] + row * frame.strides[1], chromaWidth, cb);
    std::fill_n(frame.data.begin() + frame.offsets[2] + row * frame.strides[2], chromaWidth, cr);
  }
  return frame;
}

TEST(Nv12Convert, YuvLayoutsOnEveryPath) {
  for (Nv12Path path : SupportedPaths()) {
    SCOPED_TRACE(Nv12PathName(path));
    // NV12 with one plane: the chroma rows follow the luma rows at the luma pitch.
    {
      const int32_t width = 20, height = 4, stride = 22;
      Frame frame;
      frame.width = width;
      frame.height = height;
      frame.format = Format(VideoPixelFormat::Nv12);
      frame.planeCount = 1;
      frame.offsets[0] = 2;
      frame.strides[0] = stride;
      frame.data.assign(2 + stride * (height + height / 2 - 1) + width, 0);
      for (int row = 0; row < height + height / 2; ++row) {
        for (int x = 0; x < width; ++x) {
          frame.data[2 + row * stride + x] = static_cast<uint8_t>(row * 40 + x);
        }
      }
      Nv12Image image(width, height, 3, 1);
      ASSERT_TRUE(image.ConvertFrom(frame, path));
      for (int row = 0; row < height; ++row) {
        EXPECT_EQ(image.Y(5, row), row * 40 + 5);
      }
      EXPECT_EQ(image.Cb(3, 0), 4 * 40 + 6);
      EXPECT_EQ(image.Cr(3, 1), 5 * 40 + 7);
      // The same bytes as a two-plane frame.
      frame.planeCount = 2;
      frame.offsets[1] = 2 + stride * height;
      frame.strides[1] = stride;
      Nv12Image twoPlanes(width, height, 3, 1);
      ASSERT_TRUE(twoPlanes.ConvertFrom(frame, path));
      EXPECT_EQ(twoPlanes.y, image.y);
      EXPECT_EQ(twoPlanes.uv, image.uv);
    }
    // I420 limited range: copied and interleaved unchanged.
    {
      Nv12Image image(36, 4);
      ASSERT_TRUE(image.ConvertFrom(PlanarFrame(VideoPixelFormat::I420, 36, 4, 77, 3, 250), path));
      EXPECT_TRUE(Uniform(image, 77, 3, 250));
    }
    // I420 full range: levels compressed; in high definition also BT.601 to BT.709.
    struct FullRange {
      int32_t width;
      uint8_t y, cb, cr;
      int wantY, wantCb, wantCr;
    };
    const FullRange fullRange[] = {{36, 0, 0, 255, 16, 16, 240},
                                   {36, 255, 255, 0, 235, 240, 16},
                                   {36, 128, 128, 128, 126, 128, 128},
                                   {1280, 0, 128, 128, 16, 128, 128},
                                   {1280, 255, 128, 128, 235, 128, 128}};
    for (const FullRange& c : fullRange) {
      SCOPED_TRACE("full range " + std::to_string(c.width) + " " + std::to_string(c.y));
      Nv12Image image(c.width, 2);
      ASSERT_TRUE(image.ConvertFrom(
          PlanarFrame(VideoPixelFormat::I420FullRange, c.width, 2, c.y, c.cb, c.cr), path));
      EXPECT_TRUE(Uniform(image, c.wantY, c.wantCb, c.wantCr));
    }
    // Full-range BT.601 red (76, 85, 255 after rounding) lands on BT.709 limited-range red
    // (63, 102, 240), give or take the input's rounding.
    {
      Nv12Image image(1280, 2);
      ASSERT_TRUE(image.ConvertFrom(
          PlanarFrame(VideoPixelFormat::I420FullRange, 1280, 2, 76, 85, 255), path));
      EXPECT_NEAR(image.Y(640, 1), 63, 1);
      EXPECT_NEAR(image.Cb(320, 0), 102, 1);
      EXPECT_NEAR(image.Cr(320, 0), 240, 1);
    }
    // YUY2 and UYVY: luma in order, chroma averaged over the two rows, rounding up.
    for (bool uyvy : {false, true}) {
      const int32_t width = 18, height = 2;
      Frame frame;
      frame.width = width;
      frame.height = height;
      frame.format = Format(uyvy ? VideoPixelFormat::Uyvy : VideoPixelFormat::Yuy2);
      frame.strides[0] = width * 2;
      frame.data.resize(static_cast<size_t>(width) * 2 * height);
      for (int row = 0; row < height; ++row) {
        for (int pair = 0; pair < width / 2; ++pair) {
          uint8_t* group = &frame.data[row * width * 2 + pair * 4];
          const uint8_t y0 = static_cast<uint8_t>(row * 100 + 2 * pair);
          const uint8_t y1 = static_cast<uint8_t>(y0 + 1);
          const uint8_t cb = row == 0 ? 10 : 21;
          const uint8_t cr = row == 0 ? 200 : 201;
          const uint8_t bytes[4] = {y0, cb, y1, cr};
          const uint8_t swapped[4] = {cb, y0, cr, y1};
          std::copy_n(uyvy ? swapped : bytes, 4, group);
        }
      }
      Nv12Image image(width, height);
      ASSERT_TRUE(image.ConvertFrom(frame, path));
      for (int x = 0; x < width; ++x) {
        EXPECT_EQ(image.Y(x, 0), x);
        EXPECT_EQ(image.Y(x, 1), 100 + x);
      }
      for (int block = 0; block < width / 2; ++block) {
        EXPECT_EQ(image.Cb(block, 0), 16);   // (10 + 21 + 1) >> 1
        EXPECT_EQ(image.Cr(block, 0), 201);  // (200 + 201 + 1) >> 1
      }
    }
  }
}

TEST(Nv12Convert, ValidationRefusesWhatDoesNotFit) {
  const Frame rgba = UniformRgbx(8, 4, false, 1, 2, 3);
  ASSERT_TRUE(ValidateVideoFrame(rgba));
  auto expectInvalid = [](Frame frame, const char* why) {
    EXPECT_FALSE(ValidateVideoFrame(frame)) << why;
    Nv12Image image(8, 4);
    EXPECT_FALSE(ConvertFrameToNv12Planar(frame, image.y.data(), image.yStride, image.uv.data(),
                                          image.uvStride))
        << why;
    EXPECT_TRUE(Uniform(image, kUntouched, kUntouched, kUntouched)) << why;
  };
  Frame f = rgba;
  f.data.pop_back();
  expectInvalid(f, "last row one byte past the data");
  f = rgba;
  f.width = 7;
  expectInvalid(f, "odd width");
  f = rgba;
  f.height = 3;
  expectInvalid(f, "odd height");
  f = rgba;
  f.width = 0;
  expectInvalid(f, "zero width");
  f = rgba;
  f.height = 8194;
  expectInvalid(f, "height above 8192");
  f = rgba;
  f.strides[0] = 31;
  expectInvalid(f, "stride shorter than a row");
  f = rgba;
  f.strides[0] = -32;
  expectInvalid(f, "negative stride");
  f = rgba;
  f.offsets[0] = -1;
  expectInvalid(f, "negative offset");
  for (int32_t format : {0, 4, 9, -1, std::numeric_limits<int32_t>::min()}) {
    f = rgba;
    f.format = format;
    expectInvalid(f, "not a recordable format");
  }
  // Offsets and pitches that only overflow 32-bit arithmetic.
  f = rgba;
  f.offsets[0] = std::numeric_limits<int32_t>::max() - 8;
  expectInvalid(f, "row start beyond 2^31 - 1");
  f = rgba;
  f.strides[0] = std::numeric_limits<int32_t>::max();
  expectInvalid(f, "pitch overflowing 32 bits");

  // Exactly at the edge passes, one byte short fails, for each plane of each layout.
  Frame nv12;
  nv12.width = 8;
  nv12.height = 4;
  nv12.format = Format(VideoPixelFormat::Nv12);
  nv12.planeCount = 1;
  nv12.strides[0] = 10;
  nv12.data.resize(10 * 5 + 8);  // 4 luma rows, then 2 chroma rows at pitch 10
  EXPECT_TRUE(ValidateVideoFrame(nv12));
  f = nv12;
  f.data.pop_back();
  expectInvalid(f, "one-plane NV12 chroma one byte short");
  nv12.planeCount = 2;
  nv12.offsets[1] = 40;
  nv12.strides[1] = 9;
  nv12.data.resize(40 + 9 + 8);
  EXPECT_TRUE(ValidateVideoFrame(nv12));
  f = nv12;
  f.data.pop_back();
  expectInvalid(f, "NV12 chroma plane one byte short");
  f = nv12;
  f.strides[1] = 7;
  expectInvalid(f, "NV12 chroma pitch narrower than the width");
  f = nv12;
  f.offsets[1] = -2;
  expectInvalid(f, "negative NV12 chroma offset");

  const Frame i420 = PlanarFrame(VideoPixelFormat::I420, 8, 4, 1, 2, 3);
  EXPECT_TRUE(ValidateVideoFrame(i420));
  f = i420;
  f.data.pop_back();
  expectInvalid(f, "Cr plane one byte short");
  f = i420;
  f.offsets[1] = static_cast<int32_t>(i420.data.size()) - 4;
  expectInvalid(f, "Cb plane past the data");
  f = i420;
  f.strides[2] = 3;
  expectInvalid(f, "Cr pitch narrower than half the width");

  Frame yuy2;
  yuy2.width = 8;
  yuy2.height = 2;
  yuy2.format = Format(VideoPixelFormat::Yuy2);
  yuy2.strides[0] = 16;
  yuy2.offsets[0] = 3;
  yuy2.data.resize(3 + 16 + 16);
  EXPECT_TRUE(ValidateVideoFrame(yuy2));
  f = yuy2;
  f.data.pop_back();
  expectInvalid(f, "YUY2 one byte short");
}

TEST(Nv12Convert, RefusesMissingOrNarrowOutputPlanes) {
  const Frame frame = UniformRgbx(8, 2, false, 9, 9, 9);
  Nv12Image image(8, 2, 4, 4);
  EXPECT_FALSE(ConvertFrameToNv12Planar(frame, nullptr, 8, image.uv.data(), 8));
  EXPECT_FALSE(ConvertFrameToNv12Planar(frame, image.y.data(), 8, nullptr, 8));
  EXPECT_FALSE(ConvertFrameToNv12Planar(frame, image.y.data(), 7, image.uv.data(), 8));
  EXPECT_FALSE(ConvertFrameToNv12Planar(frame, image.y.data(), 8, image.uv.data(), 6));
  EXPECT_FALSE(ConvertFrameToNv12Planar(frame, image.y.data(), -8, image.uv.data(), 8));
  EXPECT_TRUE(Uniform(image, kUntouched, kUntouched, kUntouched));
}

// A frame of the given layout with random content, random padding between rows and planes, and
// data that ends exactly with the last row read.
Frame RandomFrame(std::mt19937& random, VideoPixelFormat format, int32_t width, int32_t height) {
  auto pad = [&random]() { return static_cast<int32_t>(random() % 3 == 0 ? 0 : random() % 40); };
  Frame frame;
  frame.width = width;
  frame.height = height;
  frame.format = Format(format);
  int64_t end = 0;
  auto place = [&](int plane, int32_t rowLength, int32_t rows) {
    frame.offsets[plane] = static_cast<int32_t>(end + pad());
    frame.strides[plane] = rowLength + pad();
    end = int64_t{frame.offsets[plane]} + int64_t{frame.strides[plane]} * (rows - 1) + rowLength;
  };
  switch (format) {
    case VideoPixelFormat::Rgba:
    case VideoPixelFormat::Bgra:
      frame.planeCount = 1;
      place(0, width * 4, height);
      break;
    case VideoPixelFormat::Yuy2:
    case VideoPixelFormat::Uyvy:
      frame.planeCount = 1;
      place(0, width * 2, height);
      break;
    case VideoPixelFormat::Nv12:
      place(0, width, height);
      if (random() % 2 == 0) {
        frame.planeCount = 1;
        end = int64_t{frame.offsets[0]} + int64_t{frame.strides[0]} * (height + height / 2 - 1) +
              width;
      } else {
        frame.planeCount = 2;
        place(1, width, height / 2);
      }
      break;
    default:
      frame.planeCount = 3;
      place(0, width, height);
      place(1, width / 2, height / 2);
      place(2, width / 2, height / 2);
      break;
  }
  frame.data.resize(static_cast<size_t>(end));
  for (uint8_t& byte : frame.data) {
    byte = static_cast<uint8_t>(random());
  }
  return frame;
}

const VideoPixelFormat kRecordable[] = {VideoPixelFormat::Rgba,         VideoPixelFormat::Bgra,
                                        VideoPixelFormat::Nv12,         VideoPixelFormat::Yuy2,
                                        VideoPixelFormat::Uyvy,         VideoPixelFormat::I420,
                                        VideoPixelFormat::I420FullRange};

// The vector paths give the scalar path's bytes for any size, pitch and offset, in both
// matrices, and write nothing outside the rows (frames and planes are sized to the byte).
TEST(Nv12Convert, VectorPathsMatchScalarOnRandomFrames) {
  const std::vector<Nv12Path> paths = SupportedPaths();
  std::mt19937 random(20240601);
  int compared = 0;
  for (int iteration = 0; iteration < 300; ++iteration) {
    const VideoPixelFormat format = kRecordable[iteration % 7];
    int32_t width = 2 + 2 * static_cast<int32_t>(random() % 60);
    int32_t height = 2 + 2 * static_cast<int32_t>(random() % 5);
    if (iteration % 10 == 9) {
      width = 1280 + 2 * static_cast<int32_t>(random() % 24);  // high definition
    } else if (iteration % 10 == 8) {
      height = 578;  // high definition by height
    }
    const Frame frame = RandomFrame(random, format, width, height);
    ASSERT_TRUE(ValidateVideoFrame(frame));
    const int32_t yPad = static_cast<int32_t>(random() % 20);
    const int32_t uvPad = static_cast<int32_t>(random() % 20);
    Nv12Image reference(width, height, yPad, uvPad);
    ASSERT_TRUE(reference.ConvertFrom(frame, Nv12Path::Scalar));
    for (Nv12Path path : paths) {
      Nv12Image image(width, height, yPad, uvPad);
      ASSERT_TRUE(image.ConvertFrom(frame, path));
      ASSERT_EQ(image.y, reference.y)
          << Nv12PathName(path) << " format " << frame.format << " " << width << "x" << height;
      ASSERT_EQ(image.uv, reference.uv)
          << Nv12PathName(path) << " format " << frame.format << " " << width << "x" << height;
      ++compared;
    }
  }
  EXPECT_GE(compared, 300);
}

// Output rows that overlap the frame's own bytes: the vector paths must not change the result.
TEST(Nv12Convert, OverlappingOutputGivesTheScalarResult) {
  std::mt19937 random(7);
  for (VideoPixelFormat format : kRecordable) {
    const int32_t width = 48, height = 6;
    const Frame source = RandomFrame(random, format, width, height);
    std::vector<std::vector<uint8_t>> results;
    for (Nv12Path path : SupportedPaths()) {
      Frame frame = source;
      frame.data.resize(frame.data.size() + 4096, 0);  // room for the output planes
      // Luma output starts 8 bytes into the frame's first row; chroma output right after it.
      uint8_t* y = frame.data.data() + frame.offsets[0] + 8;
      uint8_t* uv = y + width * height;
      ASSERT_TRUE(ConvertFrameToNv12PlanarWithPath(path, frame, y, width, uv, width));
      results.push_back(frame.data);
    }
    for (size_t i = 1; i < results.size(); ++i) {
      EXPECT_EQ(results[i], results[0]) << "format " << static_cast<int>(format);
    }
  }
}

}  // namespace
}  // namespace zentri_native
