#include "frame_converter.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <vector>

#include "pixel_reference.h"

namespace cnokhwa {
namespace {

// What a capture session does with each dequeued buffer, for both kinds of source.
TEST(FrameConverter, DecodesBothJpegCodesAtTheSizeInTheirHeader) {
  const std::vector<uint8_t> jpeg = testing::MakeTestJpeg(96, 64, 3);
  int refWidth = 0;
  int refHeight = 0;
  const std::vector<uint8_t> want = testing::DecodeJpegReference(jpeg, &refWidth, &refHeight);
  for (uint32_t fourcc : {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_JPEG}) {
    // The negotiated size does not matter: a camera may send another one.
    FrameConverter converter({fourcc, 640, 480, 0, {}});
    ASSERT_TRUE(converter.Valid());
    std::vector<uint8_t> out;
    int width = 0;
    int height = 0;
    ASSERT_TRUE(converter.Convert(jpeg.data(), jpeg.size(), out, &width, &height));
    EXPECT_EQ(width, 96);
    EXPECT_EQ(height, 64);
    EXPECT_TRUE(out == want);
  }
}

TEST(FrameConverter, UncompressedFramesKeepTheNegotiatedGeometry) {
  const SourceFormat format{V4L2_PIX_FMT_NV12, 34, 20, 40, {YcbcrEncoding::kBt709, true}};
  const std::vector<uint8_t> frame = testing::MakeTestFrame(format, 2);
  FrameConverter converter(format);
  ASSERT_TRUE(converter.Valid());
  std::vector<uint8_t> out(7);  // resized by the converter
  int width = 0;
  int height = 0;
  // A driver's bytesused may exceed the frame (sizeimage padding): the rest is ignored.
  std::vector<uint8_t> padded = frame;
  padded.resize(frame.size() + 100, 0xEE);
  ASSERT_TRUE(converter.Convert(padded.data(), padded.size(), out, &width, &height));
  EXPECT_EQ(width, 34);
  EXPECT_EQ(height, 20);
  const auto d =
      testing::CompareRgb(out, testing::ReferenceRgb(format, frame.data(), frame.size()));
  EXPECT_LE(d.max, 1) << testing::Describe(d);
}

// An empty buffer (bytesused 0), a cut one and a corrupt JPEG are not frames: nothing is
// reported, so the previous frame stays the newest.
TEST(FrameConverter, EmptyCutAndCorruptBuffersAreNotFrames) {
  const SourceFormat yuyv{V4L2_PIX_FMT_YUYV, 32, 8, 0, {}};
  const std::vector<uint8_t> frame = testing::MakeTestFrame(yuyv, 1);
  const std::vector<uint8_t> jpeg = testing::MakeTestJpeg(32, 8, 1);
  FrameConverter raw(yuyv);
  FrameConverter compressed({V4L2_PIX_FMT_MJPEG, 32, 8, 0, {}});
  std::vector<uint8_t> out;
  int width = -7;
  int height = -7;
  EXPECT_FALSE(raw.Convert(frame.data(), 0, out, &width, &height));
  EXPECT_FALSE(raw.Convert(frame.data(), frame.size() - 1, out, &width, &height));
  EXPECT_FALSE(raw.Convert(nullptr, frame.size(), out, &width, &height));
  EXPECT_FALSE(compressed.Convert(jpeg.data(), 0, out, &width, &height));
  const std::vector<uint8_t> garbage(jpeg.size(), 0x00);
  EXPECT_FALSE(compressed.Convert(garbage.data(), garbage.size(), out, &width, &height));
  EXPECT_EQ(width, -7);
  EXPECT_EQ(height, -7);
}

TEST(FrameConverter, RefusesFormatsItCannotConvert) {
  EXPECT_FALSE(FrameConverter::Accepts({V4L2_PIX_FMT_H264, 640, 480, 0, {}}));
  EXPECT_FALSE(FrameConverter::Accepts({V4L2_PIX_FMT_YUYV, 640, 480, 1000, {}}))
      << "bytesperline below a row";
  EXPECT_FALSE(FrameConverter::Accepts({V4L2_PIX_FMT_GREY, 0, 480, 0, {}}));
  EXPECT_TRUE(FrameConverter::Accepts({V4L2_PIX_FMT_MJPEG, 0, 0, 0, {}}));
  FrameConverter converter({V4L2_PIX_FMT_H264, 640, 480, 0, {}});
  EXPECT_FALSE(converter.Valid());
  std::vector<uint8_t> data(1000, 1);
  std::vector<uint8_t> out;
  int width = 0;
  int height = 0;
  EXPECT_FALSE(converter.Convert(data.data(), data.size(), out, &width, &height));
}

}  // namespace
}  // namespace cnokhwa
