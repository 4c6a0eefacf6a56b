// Cameras unplugged while they capture and plugged in again, against the camera zoo: the loss is
// reported at once, capture resumes at the same index when the camera comes back (also under a
// new /dev/videoN), and a running preview carries on without a restart.
#include <chrono>
#include <iostream>
#include <string>

#include "camera/camera_binding.h"
#include "camera/preview_producer.h"
#include "zoo_case.h"

namespace cnokhwa {
namespace zoo {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Waits for the camera to show the loss; returns the seconds it took, or a negative value.
double WaitForLoss(int index) {
  const auto start = Clock::now();
  if (!WaitUntil([&] { return cnokhwa_has_first_frame(index) == CNOKHWA_ERR_DEVICE_LOST; })) {
    return -1;
  }
  return SecondsSince(start);
}

TEST(CameraReplug, TheLossIsReportedAndCaptureResumesUnderANewNode) {
  InChild([] {
    ZooCase c;
    Camera& camera = c.zoo.Plug(Webcam1080p(), "1-1");
    ASSERT_EQ(cnokhwa_devices_count(), 1);
    ASSERT_EQ(cnokhwa_start_capture(0, 640, 480), CNOKHWA_OK);
    ASSERT_TRUE(WaitUntil([] { return cnokhwa_has_first_frame(0) == CNOKHWA_OK; }));
    const std::string before = camera.node();

    c.zoo.Unplug(camera);
    const double lost = WaitForLoss(0);
    std::cout << "unplugged: loss reported after " << lost << " s\n";
    ASSERT_GE(lost, 0) << "the loss is not reported";
    EXPECT_LT(lost, 2.0);
    EXPECT_EQ(Grab(0).result, CNOKHWA_ERR_DEVICE_LOST);
    EXPECT_EQ(cnokhwa_frame_width(0), CNOKHWA_ERR_DEVICE_LOST);
    // While it is away the camera keeps its place; a start cannot reach it and leaves the waiting
    // capture as it is.
    ASSERT_EQ(cnokhwa_devices_count(), 1);
    EXPECT_EQ(Text(cnokhwa_device_name, 0), "HD Pro Webcam C920");
    EXPECT_EQ(cnokhwa_start_capture(0, 640, 480), CNOKHWA_ERR_DEVICE_LOST);

    c.zoo.Replug(camera);
    EXPECT_NE(camera.node(), before) << "the zoo gives the camera a new node";
    const auto back = Clock::now();
    ASSERT_TRUE(WaitUntil([] { return cnokhwa_has_first_frame(0) == CNOKHWA_OK; }))
        << cnokhwa_has_first_frame(0);
    std::cout << "plugged in again as " << camera.node() << ": frames after " << SecondsSince(back)
              << " s\n";
    EXPECT_EQ(cnokhwa_frame_width(0), 640);
    EXPECT_EQ(camera.Format().pixelformat, static_cast<uint32_t>(V4L2_PIX_FMT_YUYV));
    const uint64_t published = PublishedFrames(0);
    EXPECT_TRUE(WaitUntil([&] { return PublishedFrames(0) > published + 3; }));
    EXPECT_EQ(Grab(0).result, CNOKHWA_OK);
    ASSERT_EQ(cnokhwa_devices_count(), 1) << "the same device, not a second one";
  });
}

// A camera with a serial number is found again in any port; one without is known by its port, so
// in another port it is another camera.
TEST(CameraReplug, ASerialNumberFollowsTheCameraToAnotherPort) {
  InChild([] {
    ZooCase c;
    Camera& webcam = c.zoo.Plug(Webcam1080p(), "1-1");
    Camera& scope = c.zoo.Plug(UsbMicroscope(), "1-2");
    ASSERT_EQ(cnokhwa_devices_count(), 2);
    const int w = DeviceNamed("HD Pro Webcam C920");
    const int s = DeviceNamed("USB2.0 UVC PC Camera");
    ASSERT_EQ(cnokhwa_start_capture(w, 640, 480), CNOKHWA_OK);
    ASSERT_EQ(cnokhwa_start_capture(s, 640, 480), CNOKHWA_OK);
    ASSERT_TRUE(WaitUntil([&] {
      return cnokhwa_has_first_frame(w) == CNOKHWA_OK && cnokhwa_has_first_frame(s) == CNOKHWA_OK;
    }));
    c.zoo.Unplug(webcam);
    c.zoo.Unplug(scope);
    ASSERT_GE(WaitForLoss(w), 0);
    ASSERT_GE(WaitForLoss(s), 0);
    c.zoo.Replug(webcam, "2-3");
    c.zoo.Replug(scope, "2-4");
    ASSERT_TRUE(WaitUntil([&] { return cnokhwa_has_first_frame(w) == CNOKHWA_OK; }));
    // Several searches pass while the webcam resumes; the microscope is not taken for itself.
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(cnokhwa_has_first_frame(s), CNOKHWA_ERR_DEVICE_LOST);
    ASSERT_EQ(cnokhwa_devices_count(), 3) << "the microscope in its new port is listed anew";
    EXPECT_EQ(Text(cnokhwa_device_name, 2), "USB2.0 UVC PC Camera");
    EXPECT_EQ(cnokhwa_start_capture(2, 640, 480), CNOKHWA_OK);
    ASSERT_TRUE(WaitUntil([] { return cnokhwa_has_first_frame(2) == CNOKHWA_OK; }));
  });
}

// Indices do not move under a running capture: a camera unplugged before it stays listed while a
// later one captures, and goes once nothing after it does.
TEST(CameraReplug, IndicesOfRunningCapturesStayPut) {
  InChild([] {
    ZooCase c;
    Camera& webcam = c.zoo.Plug(Webcam1080p(), "1-1");
    c.zoo.Plug(UsbMicroscope(), "1-2");
    ASSERT_EQ(cnokhwa_devices_count(), 2);
    ASSERT_EQ(Text(cnokhwa_device_name, 1), "USB2.0 UVC PC Camera");
    ASSERT_EQ(cnokhwa_start_capture(1, 640, 480), CNOKHWA_OK);
    c.zoo.Unplug(webcam);
    ASSERT_EQ(cnokhwa_devices_count(), 2);
    EXPECT_EQ(Text(cnokhwa_device_name, 1), "USB2.0 UVC PC Camera");
    EXPECT_EQ(cnokhwa_start_capture(0, 640, 480), CNOKHWA_ERR_DEVICE_LOST) << "unplugged";
    ASSERT_TRUE(WaitUntil([] { return cnokhwa_has_first_frame(1) == CNOKHWA_OK; }));
    ASSERT_EQ(cnokhwa_stop_capture(1), CNOKHWA_OK);
    ASSERT_EQ(cnokhwa_devices_count(), 1);
    EXPECT_EQ(Text(cnokhwa_device_name, 0), "USB2.0 UVC PC Camera");
  });
}

// The addon's preview producer on the shipped library: the loss shows in its last result, and
// frames flow again after the re-plug, with the preview left running throughout.
TEST(CameraReplug, APreviewShowsTheLossAndCarriesOnWithoutARestart) {
  InChild([] {
    ZooCase c;
    Camera& camera = c.zoo.Plug(UsbMicroscope(), "1-1");
    zentri_native::CameraBinding binding;
    ASSERT_TRUE(binding.Load(CNOKHWA_LIBRARY_PATH));
    ASSERT_EQ(binding.devicesCount(), 1);
    ASSERT_EQ(binding.startCapture(0, 640, 480), 0);
    zentri_native::CameraPreviewProducer preview(binding, nullptr);
    ASSERT_EQ(preview.Start(0, 320, 240, 20000000), 0);
    std::vector<uint8_t> pixels;
    auto latest = [&](uint64_t after) {
      return preview.GetLatest(0, after, [&](size_t size) {
        pixels.resize(size);
        return pixels.data();
      });
    };
    ASSERT_TRUE(WaitUntil([&] { return latest(0).result == 0; }));

    c.zoo.Unplug(camera);
    const auto unplugged = Clock::now();
    ASSERT_TRUE(WaitUntil([&] {
      return preview.GetStatistics().lastResult == CNOKHWA_ERR_DEVICE_LOST;
    })) << preview.GetStatistics().lastResult;
    const double lost = SecondsSince(unplugged);
    std::cout << "preview: loss in lastResult after " << lost << " s\n";
    EXPECT_LT(lost, 2.0);
    const uint64_t lastSequence = preview.GetStatistics().producedSequence;

    c.zoo.Replug(camera);
    const auto back = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return latest(lastSequence).result == 0; }))
        << preview.GetStatistics().lastResult;
    std::cout << "preview: frames again after " << SecondsSince(back) << " s\n";
    EXPECT_TRUE(preview.IsRunning());
    EXPECT_EQ(preview.GetStatistics().lastResult, 0);
    EXPECT_EQ(latest(0).meta.sourceWidth, 640);
    preview.Stop();
    // This copy of the library captures on its own, apart from the one ZooCase stops.
    EXPECT_EQ(binding.stopCapture(-1), 0);
  });
}

}  // namespace
}  // namespace zoo
}  // namespace cnokhwa
