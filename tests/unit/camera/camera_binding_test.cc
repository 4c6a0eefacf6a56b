#include "camera/camera_binding.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "core/last_error.h"

namespace zentri_native {
namespace {

const std::string kLibDir = ZENTRI_TEST_LIB_DIR;
const char kSummary[] =
    "Could not load Linux camera backend library (libcnokhwa). Set ZENTRI_NATIVE_DIR or pass "
    "explicit path.";

bool IsOpen(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) {
    dlclose(handle);
  }
  return handle != nullptr;
}

TEST(CameraBinding, UnloadedGeometryAnswersMinusOne) {
  CameraBinding binding;
  EXPECT_FALSE(binding.loaded());
  EXPECT_EQ(binding.kind(), CameraBackendKind::kNone);
  EXPECT_EQ(binding.FrameWidth(0), -1);
  EXPECT_EQ(binding.FrameHeight(0), -1);
  EXPECT_EQ(binding.PreviewFrameBytesPerRow(0), -1);
  EXPECT_EQ(binding.PreviewFrameDataSize(0), -1);
  char buffer[4];
  EXPECT_EQ(binding.GrabFrame(0, buffer, 4), kCameraNotLoaded);
}

TEST(CameraBinding, LibraryWithoutGrabIsRefusedAndClosed) {
  const std::string path = kLibDir + "/fake_camera_no_grab.so";
  CameraBinding binding;
  EXPECT_FALSE(binding.Load(path));
  EXPECT_EQ(GetLastErrorString(), kSummary);
  EXPECT_FALSE(binding.loaded());
  EXPECT_EQ(binding.grabFrame, nullptr);
  EXPECT_EQ(binding.initialize, nullptr) << "nothing of the refused library stays bound";
  EXPECT_FALSE(IsOpen(path));
  EXPECT_EQ(binding.loadPath(), "");
}

TEST(CameraBinding, OptionalFormatStartMayBeMissing) {
  CameraBinding binding;
  SetLastError("earlier failure");
  const std::string path = kLibDir + "/fake_camera_no_format.so";
  ASSERT_TRUE(binding.Load(path));
  EXPECT_EQ(GetLastErrorString(), "");
  EXPECT_EQ(binding.kind(), CameraBackendKind::kLinuxV4l2);
  EXPECT_EQ(binding.loadPath(), path);
  EXPECT_EQ(binding.startCaptureWithFormat, nullptr);
  EXPECT_EQ(binding.initialize(), 7);
  // Loaded for good: another path is ignored.
  EXPECT_TRUE(binding.Load(kLibDir + "/fake_camera.so"));
  EXPECT_EQ(binding.loadPath(), path);
}

TEST(CameraBinding, GeometryIsPassedThroughAndSizesUse64Bits) {
  CameraBinding binding;
  ASSERT_TRUE(binding.Load(kLibDir + "/fake_camera.so"));
  ASSERT_NE(binding.startCaptureWithFormat, nullptr);
  setenv("FAKE_CAMERA_WIDTH", "2000000000", 1);
  setenv("FAKE_CAMERA_HEIGHT", "3", 1);
  setenv("FAKE_CAMERA_STRIDE", "2000000000", 1);
  EXPECT_EQ(binding.FrameWidth(0), 2000000000);
  EXPECT_EQ(binding.PreviewFrameDataSize(0), int64_t{6000000000});
  setenv("FAKE_CAMERA_HEIGHT", "0", 1);
  EXPECT_EQ(binding.PreviewFrameDataSize(0), -1);
  setenv("FAKE_CAMERA_HEIGHT", "2", 1);
  setenv("FAKE_CAMERA_STRIDE", "-12", 1);
  EXPECT_EQ(binding.PreviewFrameBytesPerRow(0), -12);
  EXPECT_EQ(binding.PreviewFrameDataSize(0), -1);

  setenv("FAKE_CAMERA_WIDTH", "2", 1);
  setenv("FAKE_CAMERA_STRIDE", "6", 1);
  std::vector<uint8_t> frame(12, 0);
  EXPECT_EQ(binding.GrabFrame(0, frame.data(), 12), 0);
  EXPECT_EQ(frame, (std::vector<uint8_t>{0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0}));
  EXPECT_EQ(binding.GrabFrame(0, frame.data(), 0), kCameraSizeInvalid);
  EXPECT_EQ(binding.GrabFrame(0, frame.data(), int64_t{1} << 31), kCameraSizeInvalid);
  unsetenv("FAKE_CAMERA_WIDTH");
  unsetenv("FAKE_CAMERA_HEIGHT");
  unsetenv("FAKE_CAMERA_STRIDE");
}

}  // namespace
}  // namespace zentri_native
