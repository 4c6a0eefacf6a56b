// Selection: which transport opens, how the selection changes, and what a failed selection
// leaves behind.
#include <string>

#include "fixture.h"

namespace zentri_test {
namespace {

using SelectionTest = LibzentriTest;

constexpr uint32_t kCapVideoCapture = 0x00000001;
constexpr uint32_t kCapMetaCapture = 0x00800000;

// The transport the next request travels on, as the device sees it.
Transport TransportOfNextRequest(MicroscopeModel& model) {
  model.ClearWire();
  uint32_t value = 0;
  EXPECT_EQ(GetManualGain(&value), 1) << GetLastErrorString();
  const auto wire = model.Wire();
  EXPECT_FALSE(wire.empty());
  return wire.empty() ? Transport::kUsb : wire.front().transport;
}

TEST_F(SelectionTest, CaptureNodePreferredOverLibusb) {
  MicroscopeModel& model = bus_->AddMicroscope(MicroscopeSpec());
  bus_->AddVideoNode(0, VideoNodeSpec());
  ASSERT_EQ(Init(), 1);
  testing::internal::CaptureStderr();
  ASSERT_EQ(SelectDeviceNumber(0), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Zentri controls using /dev/video0 (V4L2 XU)\n");
  EXPECT_EQ(TransportOfNextRequest(model), Transport::kV4l2);
}

TEST_F(SelectionTest, NodesThatCannotCaptureAreSkipped) {
  MicroscopeModel& model = bus_->AddMicroscope(MicroscopeSpec());
  VideoNodeSpec metadata;
  metadata.name = "video0";
  metadata.deviceCaps = kCapMetaCapture;
  VideoNodeSpec broken;
  broken.name = "video1";
  broken.queryCapFails = true;
  bus_->AddVideoNode(0, metadata);
  bus_->AddVideoNode(0, broken);
  ASSERT_EQ(Init(), 1);
  ASSERT_EQ(SelectDeviceNumber(0), 1);
  EXPECT_EQ(TransportOfNextRequest(model), Transport::kUsb);
  Destroy();

  // A capture node after them (in name order) is found.
  VideoNodeSpec capture;
  capture.name = "video2";
  capture.deviceCaps = kCapVideoCapture | kCapMetaCapture;
  bus_->AddVideoNode(0, capture);
  ASSERT_EQ(Init(), 1);
  testing::internal::CaptureStderr();
  ASSERT_EQ(SelectDeviceNumber(0), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Zentri controls using /dev/video2 (V4L2 XU)\n");
  EXPECT_EQ(TransportOfNextRequest(model), Transport::kV4l2);
}

TEST_F(SelectionTest, NodeOfAnotherDeviceIsNotUsed) {
  MicroscopeSpec first;
  first.descriptorSerial = "FIRST";
  MicroscopeSpec second;
  second.descriptorSerial = "SECOND";
  MicroscopeModel& firstModel = bus_->AddMicroscope(first);
  MicroscopeModel& secondModel = bus_->AddMicroscope(second);
  bus_->AddVideoNode(1, VideoNodeSpec());  // belongs to the second microscope only
  ASSERT_EQ(Init(), 1);
  ASSERT_EQ(GetDevicesCount(), 2);
  const int firstIndex =
      std::wstring(GetDeviceUniqueId(0)) == L"usb#vid_636c&pid_9059#FIRST" ? 0 : 1;

  ASSERT_EQ(SelectDeviceNumber(firstIndex), 1);
  EXPECT_EQ(TransportOfNextRequest(firstModel), Transport::kUsb);
  EXPECT_TRUE(secondModel.Wire().empty());

  // Switching closes the first transport and opens the second device's node.
  ASSERT_EQ(SelectDeviceNumber(1 - firstIndex), 1);
  firstModel.ClearWire();
  EXPECT_EQ(TransportOfNextRequest(secondModel), Transport::kV4l2);
  EXPECT_TRUE(firstModel.Wire().empty());
}

TEST_F(SelectionTest, ReselectingKeepsTheTransportAndBadIndexesKeepTheSelection) {
  MicroscopeModel& model = bus_->AddMicroscope(MicroscopeSpec());
  bus_->AddVideoNode(0, VideoNodeSpec());
  ASSERT_EQ(Init(), 1);
  ASSERT_EQ(SelectDeviceNumber(0), 1);

  testing::internal::CaptureStderr();
  EXPECT_EQ(SelectDeviceNumber(0), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // nothing was reopened
  EXPECT_EQ(SelectDeviceNumber(1), 0);                    // index == count
  EXPECT_EQ(SelectDeviceNumber(-1), 0);
  EXPECT_EQ(TransportOfNextRequest(model), Transport::kV4l2);
}

TEST_F(SelectionTest, DeviceWithoutAnyTransportCannotBeSelected) {
  MicroscopeSpec unopenable;
  unopenable.openable = false;
  MicroscopeModel& model = bus_->AddMicroscope(unopenable);
  ASSERT_EQ(Init(), 1);
  ASSERT_EQ(GetDevicesCount(), 1);

  testing::internal::CaptureStderr();
  EXPECT_EQ(SelectDeviceNumber(0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not open Zentri control transport\n");
  // The node is missing, not forbidden: the reason is libusb's, and standard error keeps the one
  // line.
  EXPECT_EQ(std::string(GetLastErrorString()),
            "Could not open Zentri control transport: libusb error -4 (NO_DEVICE)");

  // Nothing is selected: requests fail without a transfer and leave the last error alone.
  const std::string before = GetLastErrorString();
  uint32_t value = 0;
  EXPECT_EQ(GetManualGain(&value), 0);
  EXPECT_EQ(GetScopeStatus(), -1);
  EXPECT_EQ(GetLastErrorString(), before);
  EXPECT_TRUE(model.Wire().empty());
}

TEST_F(SelectionTest, FailedSelectionDropsThePreviousOne) {
  MicroscopeSpec good;
  good.descriptorSerial = "GOOD";
  MicroscopeSpec unopenable;
  unopenable.descriptorSerial = "GONE";
  unopenable.openable = false;
  MicroscopeModel& goodModel = bus_->AddMicroscope(good);
  bus_->AddMicroscope(unopenable);
  ASSERT_EQ(Init(), 1);
  const int goodIndex = std::wstring(GetDeviceUniqueId(0)) == L"usb#vid_636c&pid_9059#GOOD" ? 0 : 1;
  ASSERT_EQ(SelectDeviceNumber(goodIndex), 1);

  testing::internal::CaptureStderr();
  EXPECT_EQ(SelectDeviceNumber(1 - goodIndex), 0);
  testing::internal::GetCapturedStderr();
  goodModel.ClearWire();
  uint32_t value = 0;
  EXPECT_EQ(GetManualGain(&value), 0);
  EXPECT_TRUE(goodModel.Wire().empty());
  // The good device can be selected again, which retires the failed selection's reason.
  EXPECT_NE(std::string(GetLastErrorString()), "");
  EXPECT_EQ(SelectDeviceNumber(goodIndex), 1);
  EXPECT_EQ(std::string(GetLastErrorString()), "");
  EXPECT_EQ(GetManualGain(&value), 1);
}

TEST_F(SelectionTest, SelectingKeepsTheTextOfAFailedTransfer) {
  MicroscopeModel& first = bus_->AddMicroscope(MicroscopeSpec());
  MicroscopeSpec secondSpec;
  secondSpec.descriptorSerial = "SN-0002";
  MicroscopeModel& second = bus_->AddMicroscope(secondSpec);
  ASSERT_EQ(Init(), 1);
  ASSERT_EQ(SelectDeviceNumber(0), 1);
  // Whichever of the two libusb lists first: both refuse the next two sets.
  first.FailNext(0x11, true, 2);
  second.FailNext(0x11, true, 2);
  uint32_t gain = 0;
  ASSERT_EQ(GetManualGain(&gain), 0);
  const std::string failure = GetLastErrorString();
  ASSERT_NE(failure, "");
  ASSERT_EQ(SelectDeviceNumber(1), 1);
  EXPECT_EQ(GetLastErrorString(), failure);
}

}  // namespace
}  // namespace zentri_test
