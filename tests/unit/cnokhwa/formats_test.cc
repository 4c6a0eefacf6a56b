#include "formats.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <string>
#include <utility>
#include <vector>

namespace cnokhwa {
namespace {

constexpr uint32_t kMjpeg = V4L2_PIX_FMT_MJPEG;
constexpr uint32_t kYuyv = V4L2_PIX_FMT_YUYV;
constexpr uint32_t kNv12 = V4L2_PIX_FMT_NV12;
constexpr uint32_t kH264 = V4L2_PIX_FMT_H264;

// A typical UVC microscope: YUYV is slow at the large sizes, MJPEG keeps the full rate.
const std::vector<FormatEntry> kMicroscope = {
    {kYuyv, 640, 480, 30},    {kYuyv, 1280, 720, 10},  {kYuyv, 1920, 1080, 5},
    {kMjpeg, 640, 480, 30},   {kMjpeg, 1280, 720, 30}, {kMjpeg, 1920, 1080, 30},
    {kMjpeg, 1920, 1080, 15}, {kH264, 3840, 2160, 30},
};

TEST(ChooseFormat, NearestSizeThenFastestFormat) {
  EXPECT_EQ(ChooseFormat(kMicroscope, 1920, 1080), 5) << "MJPEG for the rate";
  EXPECT_EQ(ChooseFormat(kMicroscope, 1280, 720), 4);
  EXPECT_EQ(ChooseFormat(kMicroscope, 640, 480), 0) << "uncompressed wins an equal rate";
  EXPECT_EQ(ChooseFormat(kMicroscope, 700, 500), 0) << "nearest size";
  EXPECT_EQ(ChooseFormat(kMicroscope, 1800, 1000), 5);
  EXPECT_EQ(ChooseFormat(kMicroscope, 100000, 100000), 5) << "H.264 cannot be converted";
}

TEST(ChooseFormat, MissingSizeAsksForTheLargest) {
  EXPECT_EQ(ChooseFormat(kMicroscope, 0, 0), 5);
  EXPECT_EQ(ChooseFormat(kMicroscope, -1, 480), 5);
}

TEST(ChooseFormat, EqualDistanceGoesToTheLargerSize) {
  const std::vector<FormatEntry> formats = {{kNv12, 600, 400, 30}, {kNv12, 800, 600, 30}};
  EXPECT_EQ(ChooseFormat(formats, 700, 500), 1);
}

TEST(ChooseFormat, NothingConvertibleGivesMinusOne) {
  EXPECT_EQ(ChooseFormat({}, 640, 480), -1);
  EXPECT_EQ(ChooseFormat({{kH264, 640, 480, 30}}, 640, 480), -1);
  EXPECT_EQ(ChooseFormat({{kYuyv, 0, 480, 30}}, 640, 480), -1);
}

TEST(FormatTypeName, EveryConvertedLayoutHasItsScriptName) {
  const std::vector<std::pair<uint32_t, std::string>> names = {
      {kMjpeg, "mjpeg"},
      {V4L2_PIX_FMT_JPEG, "mjpeg"},
      {kYuyv, "yuy2"},
      {V4L2_PIX_FMT_UYVY, "uyvy"},
      {V4L2_PIX_FMT_YVYU, "yvyu"},
      {V4L2_PIX_FMT_VYUY, "vyuy"},
      {kNv12, "nv12"},
      {V4L2_PIX_FMT_NV21, "nv21"},
      {V4L2_PIX_FMT_YUV420, "i420"},
      {V4L2_PIX_FMT_YVU420, "yv12"},
      {V4L2_PIX_FMT_GREY, "gray"},
      {V4L2_PIX_FMT_Y16, "y16"},
      {V4L2_PIX_FMT_RGB24, "rgb"},
      {V4L2_PIX_FMT_BGR24, "bgr"},
      {V4L2_PIX_FMT_SBGGR8, "bggr"},
      {V4L2_PIX_FMT_SGBRG8, "gbrg"},
      {V4L2_PIX_FMT_SGRBG8, "grbg"},
      {V4L2_PIX_FMT_SRGGB8, "rggb"},
  };
  for (const auto& [fourcc, name] : names) {
    EXPECT_TRUE(IsConvertible(fourcc)) << name;
    EXPECT_EQ(FormatTypeName(fourcc), name);
  }
}

TEST(FormatTypeName, FormatsCaptureCannotConvertKeepTheirCode) {
  EXPECT_FALSE(IsConvertible(kH264));
  EXPECT_EQ(FormatTypeName(kH264), "h264");
  EXPECT_FALSE(IsConvertible(V4L2_PIX_FMT_Y10));
  EXPECT_EQ(FormatTypeName(V4L2_PIX_FMT_Y10), "y10");
  EXPECT_EQ(FormatTypeName(v4l2_fourcc('A', 0x01, 'b', ' ')), "a?b");
}

TEST(CompressedAlternative, MjpegAtTheSameSizeAndItsFastestRate) {
  EXPECT_EQ(CompressedAlternative(kMicroscope, 2), 5) << "YUYV 1920x1080: MJPEG at 30, not 15";
  EXPECT_EQ(CompressedAlternative(kMicroscope, 0), 3);
  EXPECT_EQ(CompressedAlternative(kMicroscope, 5), -1) << "already compressed";
  EXPECT_EQ(CompressedAlternative({{kYuyv, 640, 480, 30}, {kMjpeg, 320, 240, 30}}, 0), -1)
      << "no MJPEG at that size";
  EXPECT_EQ(CompressedAlternative({{kYuyv, 640, 480, 30}, {kH264, 640, 480, 30}}, 0), -1)
      << "H.264 cannot be delivered";
  EXPECT_EQ(CompressedAlternative(kMicroscope, -1), -1);
  EXPECT_EQ(CompressedAlternative(kMicroscope, 99), -1);
}

TEST(FrameRateOfInterval, RoundsToWholeFrames) {
  EXPECT_EQ(FrameRateOfInterval(1, 30), 30);
  EXPECT_EQ(FrameRateOfInterval(1001, 30000), 30);
  EXPECT_EQ(FrameRateOfInterval(2, 15), 8);
  EXPECT_EQ(FrameRateOfInterval(1, 5), 5);
  EXPECT_EQ(FrameRateOfInterval(0, 30), 0);
  EXPECT_EQ(FrameRateOfInterval(30, 0), 0);
  EXPECT_EQ(FrameRateOfInterval(1, 0xffffffffu), 1000000);
}

}  // namespace
}  // namespace cnokhwa
