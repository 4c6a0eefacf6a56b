#include <gtest/gtest.h>

#include "emulator/emulated_bus.h"
#include "zentri.h"

namespace zentri_test {
namespace {

TEST(Smoke, UsbAndV4l2) {
  ASSERT_TRUE(EmulatedBus::PreloadActive());
  EmulatedBus bus;
  MicroscopeSpec spec;
  MicroscopeModel& model = bus.AddMicroscope(spec);
  model.SetPropertyValue(0x030, 0x0A00007B, 0);
  ASSERT_EQ(Init(), 1);
  ASSERT_EQ(GetDevicesCount(), 1);
  EXPECT_STREQ(GetDeviceUniqueId(0), L"usb#vid_636c&pid_9059#SN-0001");
  EXPECT_STREQ(GetDeviceFriendlyName(0), L"Smart Zentri Z1");
  ASSERT_EQ(SelectDeviceNumber(0), 1);
  EXPECT_EQ(GetScopeStatus(), 0x0A00007B) << GetLastErrorString();
  Destroy();

  bus.AddVideoNode(0, VideoNodeSpec{});
  ASSERT_EQ(Init(), 1);
  ASSERT_EQ(SelectDeviceNumber(0), 1);
  EXPECT_EQ(GetScopeStatus(), 0x0A00007B) << GetLastErrorString();
  for (const auto& r : model.Wire()) {
    printf("%d %d unit %u sel %02x len %u ok %d\n", (int)r.transport, r.set, r.unit, r.selector,
           r.length, r.accepted);
  }
  Destroy();
}

}  // namespace
}  // namespace zentri_test
