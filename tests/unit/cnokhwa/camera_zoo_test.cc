// The capture library against the camera zoo: emulated models of real cameras (camera_zoo.h),
// driven through the library's C interface as the addon drives it, each case in a child process
// with a hard time-out (zoo_case.h).
#include <algorithm>
#include <cctype>
#include <string>
#include <tuple>
#include <vector>

#include "zoo_case.h"

namespace cnokhwa {
namespace zoo {
namespace {

TEST(CameraZoo, AWebcamListsTheFormatsCaptureDeliversAndNotItsMetadataNode) {
  InChild([] {
    ZooCase c;
    c.zoo.Plug(Webcam1080p(), "1-1");
    ASSERT_EQ(cnokhwa_devices_count(), 1) << "the metadata node is not a camera";
    EXPECT_EQ(Text(cnokhwa_device_name, 0), "HD Pro Webcam C920");
    EXPECT_EQ(Text(cnokhwa_device_model_id, 0), "046d:082d");
    EXPECT_EQ(Text(cnokhwa_device_unique_id, 0), "usb-0000:00:14.0-1");
    const std::vector<Listed> formats = FormatsOf(0);
    EXPECT_EQ(std::count_if(formats.begin(), formats.end(),
                            [](const Listed& f) { return f.type != "yuy2" && f.type != "mjpeg"; }),
              0)
        << "H.264 cannot be captured, so it is not offered";
    // YUYV: five sizes at six rates from 30 fps, then 5 + 3 + 2 + 1 + 1 for the larger sizes;
    // MJPEG: seven sizes at six rates.
    EXPECT_EQ(formats.size(), (5u * 6 + 5 + 3 + 2 + 1 + 1) + 7u * 6);
    for (const Listed& wanted : {Listed{"yuy2", 2304, 1536, 2}, Listed{"yuy2", 1920, 1080, 5},
                                 Listed{"mjpeg", 1920, 1080, 30}, Listed{"mjpeg", 160, 90, 5}}) {
      EXPECT_NE(std::find(formats.begin(), formats.end(), wanted), formats.end())
          << wanted.type << " " << wanted.width << "x" << wanted.height << "@" << wanted.frameRate;
    }
  });
}

// Every camera model in each of its formats: each frame grabbed equals its reference (the exact
// formulas for the camera's colour encoding, libv4lconvert's demosaic, TurboJPEG's decode) within
// 2 levels on average, and every frame differs from the one before.
struct FormatCase {
  CameraModel (*model)();
  std::vector<std::tuple<std::string, int, int>> formats;
};

class EveryFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(EveryFormat, StreamsFramesThatMatchTheirReference) {
  InChild([] {
    ZooCase c;
    Camera& camera = c.zoo.Plug(GetParam().model(), "1-1");
    camera.SetFreeRunning(false);
    ASSERT_EQ(cnokhwa_devices_count(), 1);
    for (const auto& [type, width, height] : GetParam().formats) {
      SCOPED_TRACE(type + " " + std::to_string(width) + "x" + std::to_string(height));
      const int format = FormatIndex(0, type, width, height);
      ASSERT_GE(format, 0) << "not listed";
      ASSERT_EQ(cnokhwa_start_capture_with_format(0, format), CNOKHWA_OK);
      std::vector<uint8_t> previous;
      for (int k = 0; k < 3; ++k) {
        const uint32_t frame = DeliverOne(camera);
        const testing::RgbDifference d = GrabAgainst(0, camera, frame);
        // Bayer data is compared with libv4lconvert's demosaic, which is an estimate itself.
        EXPECT_LE(d.mean, 2.0) << "frame " << frame << ": " << testing::Describe(d);
        const Grabbed g = Grab(0);
        if (!previous.empty()) {
          EXPECT_GT(testing::CompareRgb(g.rgb, previous).mean, 1.0) << "frame " << frame;
        }
        previous = g.rgb;
      }
      ASSERT_EQ(cnokhwa_stop_capture(0), CNOKHWA_OK);
    }
  });
}

INSTANTIATE_TEST_SUITE_P(
    CameraZoo, EveryFormat,
    ::testing::Values(FormatCase{Webcam1080p,
                                 {{"yuy2", 640, 480}, {"mjpeg", 640, 480}, {"mjpeg", 1920, 1080}}},
                      FormatCase{UsbMicroscope, {{"mjpeg", 1280, 1024}, {"yuy2", 640, 480}}},
                      FormatCase{MonochromeCamera, {{"gray", 720, 540}, {"y16", 640, 480}}},
                      FormatCase{BayerCamera, {{"grbg", 640, 480}}},
                      // Its first "mjpeg" entries are the older JPEG code's.
                      FormatCase{StepwiseCamera,
                                 {{"i420", 640, 480},
                                  {"yuy2", 320, 240},
                                  {"rgb", 1280, 720},
                                  {"mjpeg", 1024, 768},
                                  {"yvyu", 320, 240},
                                  {"vyuy", 320, 240},
                                  {"uyvy", 640, 360},
                                  {"nv12", 800, 600},
                                  {"bgr", 640, 480},
                                  {"yv12", 320, 240},
                                  {"nv21", 640, 480}}}),
    [](const ::testing::TestParamInfo<FormatCase>& info) {
      std::string name = info.param.model().card;
      name.erase(std::remove_if(name.begin(), name.end(),
                                [](unsigned char ch) { return std::isalnum(ch) == 0; }),
                 name.end());
      return name;
    });

// With several filled buffers waiting, the grab shows the newest, and the older ones are not
// converted at all.
TEST(CameraZoo, TheNewestOfSeveralFilledBuffersWins) {
  InChild([] {
    ZooCase c;
    Camera& camera = c.zoo.Plug(Webcam1080p(), "1-1");
    camera.SetFreeRunning(false);
    ASSERT_EQ(cnokhwa_devices_count(), 1);
    for (const char* type : {"yuy2", "mjpeg"}) {
      SCOPED_TRACE(type);
      ASSERT_EQ(cnokhwa_start_capture_with_format(0, FormatIndex(0, type, 640, 480)), CNOKHWA_OK);
      const uint32_t first = DeliverOne(camera);
      EXPECT_LE(GrabAgainst(0, camera, first).mean, 2.0);
      EXPECT_EQ(PublishedFrames(0), 1u);
      ASSERT_EQ(camera.Deliver(3), 3) << "three buffers filled before the library looks";
      const uint32_t newest = camera.LastFrame();
      ASSERT_TRUE(camera.WaitRead(newest, 20s));
      EXPECT_LE(GrabAgainst(0, camera, newest).mean, 2.0) << "the newest frame";
      EXPECT_GT(GrabAgainst(0, camera, newest - 1).mean, 2.0) << "not the one before it";
      EXPECT_EQ(PublishedFrames(0), 2u) << "only the newest of the three is converted";
      ASSERT_EQ(cnokhwa_stop_capture(0), CNOKHWA_OK);
    }
  });
}

// Empty buffers (bytesused 0, which still hold an older frame), buffers the driver flags as
// damaged, JPEG data that does not decode and uncompressed frames cut short never become the
// newest frame; a newer good frame does, and a good frame that came with a damaged newer one
// stands in for it.
TEST(CameraZoo, EmptyAndDamagedBuffersAreNeverPublished) {
  InChild([] {
    ZooCase c;
    Camera& camera = c.zoo.Plug(Webcam1080p(), "1-1");
    camera.SetFreeRunning(false);
    ASSERT_EQ(cnokhwa_devices_count(), 1);
    for (const char* type : {"mjpeg", "yuy2"}) {
      SCOPED_TRACE(type);
      ASSERT_EQ(cnokhwa_start_capture_with_format(0, FormatIndex(0, type, 640, 480)), CNOKHWA_OK);
      // Every buffer holds a frame first, so an empty one still has an old picture in it.
      uint32_t good = 0;
      for (int k = 0; k < 5; ++k) {
        good = DeliverOne(camera);
      }
      ASSERT_LE(GrabAgainst(0, camera, good).mean, 2.0);
      const uint64_t published = PublishedFrames(0);
      // Damage that shows: JPEG data that is no JPEG, an uncompressed frame cut short.
      const Fault damaged = std::string(type) == "mjpeg" ? Fault::kCorrupt : Fault::kShort;
      for (Fault fault : {Fault::kEmpty, Fault::kErrorFlag, damaged}) {
        camera.SpoilNextFrames({fault});
        DeliverOne(camera);
        EXPECT_LE(GrabAgainst(0, camera, good).mean, 2.0)
            << "fault " << static_cast<int>(fault) << ": the last good frame stays";
        EXPECT_EQ(PublishedFrames(0), published);
        EXPECT_EQ(cnokhwa_has_first_frame(0), CNOKHWA_OK);
      }
      good = DeliverOne(camera);
      EXPECT_LE(GrabAgainst(0, camera, good).mean, 2.0) << "a good frame after the damaged ones";
      camera.SpoilNextFrames({Fault::kNone, damaged});
      ASSERT_EQ(camera.Deliver(2), 2);
      ASSERT_TRUE(camera.WaitRead(camera.LastFrame(), 20s));
      EXPECT_LE(GrabAgainst(0, camera, camera.LastFrame() - 1).mean, 2.0)
          << "the good frame of a pair whose newer one is damaged";
      ASSERT_EQ(cnokhwa_stop_capture(0), CNOKHWA_OK);
    }
  });
}

int NoBandwidthForYuyv(const v4l2_pix_format& format) {
  return format.pixelformat == V4L2_PIX_FMT_YUYV ? ENOSPC : 0;
}

// An uncompressed format that finds no room on the USB bus (STREAMON fails with ENOSPC) falls
// back to MJPEG at the same size; without a compressed format the start fails.
TEST(CameraZoo, NoBandwidthForAnUncompressedFormatFallsBackToMjpeg) {
  InChild([] {
    ZooCase c;
    Camera& webcam = c.zoo.Plug(Webcam1080p(), "1-1");
    webcam.FailStreamOn(NoBandwidthForYuyv);
    Camera& mono = c.zoo.Plug(MonochromeCamera(), "1-2");
    mono.FailStreamOn([](const v4l2_pix_format&) { return ENOSPC; });
    ASSERT_EQ(cnokhwa_devices_count(), 2);
    const int w = DeviceNamed("HD Pro Webcam C920");
    // At 640x480 YUYV and MJPEG both reach 30 fps: YUYV is chosen, MJPEG streams.
    ASSERT_EQ(cnokhwa_start_capture(w, 640, 480), CNOKHWA_OK);
    EXPECT_EQ(webcam.Format().pixelformat, static_cast<uint32_t>(V4L2_PIX_FMT_MJPEG));
    ASSERT_TRUE(WaitUntil([&] { return cnokhwa_has_first_frame(w) == CNOKHWA_OK; }));
    EXPECT_EQ(cnokhwa_frame_width(w), 640);
    // A format asked for by index falls back the same way.
    ASSERT_EQ(cnokhwa_start_capture_with_format(w, FormatIndex(w, "yuy2", 1920, 1080)), CNOKHWA_OK);
    EXPECT_EQ(webcam.Format().pixelformat, static_cast<uint32_t>(V4L2_PIX_FMT_MJPEG));
    EXPECT_EQ(webcam.Format().width, 1920u);
    ASSERT_TRUE(WaitUntil([&] { return cnokhwa_frame_width(w) == 1920; }));

    const int m = DeviceNamed("DMK 37BUX287");
    EXPECT_EQ(cnokhwa_start_capture(m, 640, 480), CNOKHWA_ERR_OPEN_FAILED);
    EXPECT_EQ(cnokhwa_has_first_frame(m), CNOKHWA_ERR_NOT_STARTED);
  });
}

// A size change that the driver refuses leaves the capture running as before.
TEST(CameraZoo, ARefusedSizeChangeLeavesTheCaptureRunning) {
  InChild([] {
    ZooCase c;
    Camera& camera = c.zoo.Plug(Webcam1080p(), "1-1");
    camera.FailStreamOn(
        [](const v4l2_pix_format& format) { return format.width == 1280 ? EIO : 0; });
    ASSERT_EQ(cnokhwa_devices_count(), 1);
    ASSERT_EQ(cnokhwa_start_capture(0, 640, 480), CNOKHWA_OK);
    ASSERT_TRUE(WaitUntil([] { return cnokhwa_has_first_frame(0) == CNOKHWA_OK; }));
    EXPECT_EQ(cnokhwa_start_capture(0, 1280, 720), CNOKHWA_ERR_OPEN_FAILED);
    ASSERT_TRUE(WaitUntil([] { return cnokhwa_has_first_frame(0) == CNOKHWA_OK; }))
        << cnokhwa_has_first_frame(0);
    EXPECT_EQ(cnokhwa_frame_width(0), 640);
    const uint32_t before = camera.LastFrame();
    EXPECT_TRUE(WaitUntil([&] { return camera.LastFrame() > before + 3; })) << "still streaming";
    EXPECT_EQ(Grab(0).result, CNOKHWA_OK);
    // Formats the library can tell at once are refused before anything stops.
    EXPECT_EQ(cnokhwa_start_capture_with_format(0, 999), CNOKHWA_ERR_BAD_ARGUMENT);
    EXPECT_EQ(cnokhwa_has_first_frame(0), CNOKHWA_OK);
  });
}

// A stepwise size range lists its ends and the common sizes on its grid, each with the fastest
// and the slowest rate of its continuous rate range; any of them can be captured.
TEST(CameraZoo, StepwiseSizesListTheirEndsAndTheCommonSizes) {
  InChild([] {
    ZooCase c;
    Camera& camera = c.zoo.Plug(StepwiseCamera(), "");
    camera.SetFreeRunning(false);
    ASSERT_EQ(cnokhwa_devices_count(), 1);
    EXPECT_EQ(Text(cnokhwa_device_model_id, 0), "mmal service 16.1") << "not a USB device";
    const std::vector<Listed> formats = FormatsOf(0);
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{32, 32},
                                                               {160, 120},
                                                               {320, 240},
                                                               {640, 480},
                                                               {640, 360},
                                                               {1280, 720},
                                                               {1920, 1080},
                                                               {1600, 1200},
                                                               {2592, 1944}}) {
      for (int fps : {30, 1}) {
        EXPECT_NE(std::find(formats.begin(), formats.end(), Listed{"yuy2", w, h, fps}),
                  formats.end())
            << w << "x" << h << "@" << fps;
      }
    }
    EXPECT_EQ(std::find_if(formats.begin(), formats.end(),
                           [](const Listed& f) { return f.width > 2592 || f.height > 1944; }),
              formats.end());
    EXPECT_EQ(std::find_if(formats.begin(), formats.end(),
                           [](const Listed& f) { return f.type == "h264" || f.type == "bgr4"; }),
              formats.end())
        << "H.264 and RGB32 cannot be captured";
    ASSERT_EQ(cnokhwa_start_capture(0, 1280, 720), CNOKHWA_OK);
    EXPECT_EQ(camera.Format().width, 1280u);
    EXPECT_EQ(camera.Format().height, 720u);
    const uint32_t frame = DeliverOne(camera);
    EXPECT_LE(GrabAgainst(0, camera, frame).mean, 2.0);
  });
}

// Two cameras stream at once, each into its own frames.
TEST(CameraZoo, TwoCamerasCaptureAtOnce) {
  InChild([] {
    ZooCase c;
    Camera& webcam = c.zoo.Plug(Webcam1080p(), "1-1");
    Camera& scope = c.zoo.Plug(UsbMicroscope(), "1-2");
    ASSERT_EQ(cnokhwa_devices_count(), 2);
    const int w = DeviceNamed("HD Pro Webcam C920");
    const int s = DeviceNamed("USB2.0 UVC PC Camera");
    ASSERT_EQ(cnokhwa_start_capture(w, 640, 480), CNOKHWA_OK);
    ASSERT_EQ(cnokhwa_start_capture(s, 1280, 1024), CNOKHWA_OK);
    ASSERT_TRUE(WaitUntil([&] { return PublishedFrames(w) >= 10 && PublishedFrames(s) >= 10; }))
        << PublishedFrames(w) << " and " << PublishedFrames(s) << " frames";
    EXPECT_EQ(webcam.Format().width, 640u);
    EXPECT_EQ(scope.Format().width, 1280u);
    EXPECT_EQ(cnokhwa_frame_width(w), 640);
    EXPECT_EQ(cnokhwa_frame_height(s), 1024);
    EXPECT_EQ(Grab(w).result, CNOKHWA_OK);
    EXPECT_EQ(Grab(s).result, CNOKHWA_OK);
    EXPECT_EQ(cnokhwa_stop_capture(w), CNOKHWA_OK);
    const uint64_t stopped = PublishedFrames(s);
    EXPECT_TRUE(WaitUntil([&] { return PublishedFrames(s) > stopped + 3; }))
        << "the other camera goes on";
  });
}

}  // namespace
}  // namespace zoo
}  // namespace cnokhwa
