// The request layer on both transports: the exact bytes of every request, how replies become
// outputs, range checks and null outputs that never reach the device.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "fixture.h"

namespace zentri_test {
namespace {

class RequestTest : public LibzentriTest, public ::testing::WithParamInterface<Transport> {};

struct SetCase {
  const char* name;
  std::function<int()> call;
  uint8_t selector;
  std::vector<uint8_t> sent;
};

// Every function that sends one block: its bytes, one accepted SET_CUR, nothing else.
TEST_P(RequestTest, SettersSendTheirBlock) {
  MicroscopeModel& model = SelectOne(GetParam());
  const std::vector<SetCase> cases = {
      {"SetExtensionProperty masks the id", [] { return SetExtensionProperty(0x1234, 1, 2); }, 0x11,
       Block(1, 2, 0x8234)},
      {"AutoExtensionProperty", [] { return AutoExtensionProperty(0x083, 5, 6); }, 0x11,
       Block(5, 6, 0x4083)},
      {"SaveExtensionProperty", [] { return SaveExtensionProperty(0x0A0, 7, 8); }, 0x11,
       Block(7, 8, 0x20A0)},
      {"SendRequest", [] { return SendRequest(0x10); }, 0x0D, {0, 0, 0, 0x10}},
      {"SetLedState off", [] { return SetLedState(0); }, 0x0D, {0, 0, 0, 0x12}},
      {"SetLedState on", [] { return SetLedState(7); }, 0x0D, {0, 0, 0, 0x10}},
      {"SetMirrorFlipMode", [] { return SetMirrorFlipMode(2); }, 0x11, Block(2, 0, 0x8070)},
      {"SetImageEffect", [] { return SetImageEffect(23); }, 0x11, Block(23, 0, 0x8071)},
      {"SetExposureLimits equal", [] { return SetExposureLimits(10, 10); }, 0x11,
       Block(10, 10, 0x8083)},
      {"SetExposureLimits", [] { return SetExposureLimits(100, 2000); }, 0x11,
       Block(2000, 100, 0x8083)},
      {"ResetExposureLimits", [] { return ResetExposureLimits(); }, 0x11, Block(0, 0, 0x4083)},
      {"SetManualShutter", [] { return SetManualShutter(63); }, 0x11, Block(63, 0, 0x8085)},
      {"ResetManualShutter", [] { return ResetManualShutter(); }, 0x11, Block(0, 0, 0x4085)},
      {"SetManualGain", [] { return SetManualGain(-1); }, 0x11, Block(0xFFFFFFFF, 0, 0x8086)},
      {"ResetManualGain", [] { return ResetManualGain(); }, 0x11, Block(0, 0, 0x4086)},
      {"SetWhiteBalanceRgb limits", [] { return SetWhiteBalanceRgb(4095, 4095, 4095); }, 0x11,
       Block(0x0FFF0FFF, 4095, 0x80A0)},
      {"SetWhiteBalanceRgb", [] { return SetWhiteBalanceRgb(1, 2, 3); }, 0x11,
       Block(0x00020003, 1, 0x80A0)},
      {"ResetWhiteBalanceRgb", [] { return ResetWhiteBalanceRgb(); }, 0x11, Block(0, 0, 0x40A0)},
      {"WriteSensorRegister8", [] { return WriteSensorRegister8(0x3012, 0xAB); }, 0x11,
       Block(0xAB, 0x3012, 0x8200)},
      {"WriteSensorRegister32", [] { return WriteSensorRegister32(0x12345678, 0xDEADBEEF); }, 0x11,
       Block(0xDEADBEEF, 0x12345678, 0x8201)},
      {"TriggerAutoFocus", [] { return TriggerAutoFocus(); }, 0x11, Block(1, 0, 0x8010)},
      {"FocusNearStep", [] { return FocusNearStep(); }, 0x11, Block(1, 0, 0x8012)},
      {"FocusFarStep", [] { return FocusFarStep(); }, 0x11, Block(1, 0, 0x8013)},
  };
  for (const SetCase& c : cases) {
    model.ClearWire();
    EXPECT_EQ(c.call(), 1) << c.name << ": " << GetLastErrorString();
    const auto wire = model.Wire();
    ASSERT_EQ(wire.size(), 1u) << c.name << ": " << Shape(wire);
    EXPECT_TRUE(wire[0].set && wire[0].accepted) << c.name;
    EXPECT_EQ(wire[0].selector, c.selector) << c.name;
    EXPECT_EQ(wire[0].unit, 3) << c.name;
    EXPECT_EQ(wire[0].payload, c.sent) << c.name;
    EXPECT_STREQ(GetLastErrorString(), "") << c.name;
  }
  EXPECT_EQ(model.OrderViolations(), 0);
}

// Each getter: one query of its property, the reply split into the outputs.
TEST_P(RequestTest, GettersQueryAndDecodeTheirProperty) {
  MicroscopeModel& model = SelectOne(GetParam());
  auto expectQuery = [&](const char* name, uint16_t id, uint32_t word1) {
    const auto wire = model.Wire();
    ASSERT_EQ(Shape(wire), "S11:10 G11:10") << name;
    EXPECT_EQ(wire[0].payload, Block(0, word1, id)) << name;
    model.ClearWire();
  };

  model.SetPropertyValue(0x001, 0x00020304, 0x905A0102);
  uint16_t productId = 0, softwareMajor = 0;
  uint8_t hardwareMajor = 0, hardwareMinor = 0, softwareMinor = 0, softwarePatch = 0;
  ASSERT_EQ(GetVersionInfo(&productId, &hardwareMajor, &hardwareMinor, &softwareMajor,
                           &softwareMinor, &softwarePatch),
            1);
  EXPECT_EQ(productId, 0x905A);
  EXPECT_EQ(hardwareMajor, 1);
  EXPECT_EQ(hardwareMinor, 2);
  EXPECT_EQ(softwareMajor, 2);
  EXPECT_EQ(softwareMinor, 3);
  EXPECT_EQ(softwarePatch, 4);
  expectQuery("version", 0x001, 0);

  model.SetPropertyValue(0x002, 0x00070809, 0);
  uint16_t major = 0;
  uint8_t minor = 0, patch = 0;
  ASSERT_EQ(GetProtocolVersionInfo(&major, &minor, &patch), 1);
  EXPECT_EQ(major, 7);
  EXPECT_EQ(minor, 8);
  EXPECT_EQ(patch, 9);
  expectQuery("protocol", 0x002, 0);

  model.SetPropertyValue(0x004, 20240131, 0);
  EXPECT_EQ(GetProductionDate(), 20240131);
  expectQuery("production date", 0x004, 0);

  model.SetPropertyValue(0x030, 0xFF0A1234, 0);  // bits 30-31 are not part of the top field
  EXPECT_EQ(static_cast<uint32_t>(GetScopeStatus()), 0xFF0A1234u);
  expectQuery("status", 0x030, 0);
  uint8_t middle = 0, top = 0;
  uint16_t low = 0;
  ASSERT_EQ(GetScopeStatusInfo(&middle, &top, &low), 1);
  EXPECT_EQ(top, 0x3F);
  EXPECT_EQ(middle, 0x0A);
  EXPECT_EQ(low, 0x1234);
  expectQuery("status info", 0x030, 0);

  model.SetPropertyValue(0x070, 0x0102, 0);
  uint8_t mode = 0;
  ASSERT_EQ(GetMirrorFlipMode(&mode), 1);
  EXPECT_EQ(mode, 2);
  expectQuery("mirror", 0x070, 0);

  model.SetPropertyValue(0x071, 17, 0);
  uint8_t effect = 0;
  ASSERT_EQ(GetImageEffect(&effect), 1);
  EXPECT_EQ(effect, 17);
  expectQuery("effect", 0x071, 0);

  model.SetPropertyValue(0x083, 0x000107D0, 0x00020064);
  uint16_t minimum = 0, maximum = 0;
  ASSERT_EQ(GetExposureLimits(&minimum, &maximum), 1);
  EXPECT_EQ(minimum, 0x0064);
  EXPECT_EQ(maximum, 0x07D0);
  expectQuery("exposure", 0x083, 0);

  model.SetPropertyValue(0x085, 42, 0);
  model.SetPropertyValue(0x086, 0x80000001, 0);
  uint32_t shutter = 0, gain = 0;
  ASSERT_EQ(GetManualShutter(&shutter), 1);
  EXPECT_EQ(shutter, 42u);
  expectQuery("shutter", 0x085, 0);
  ASSERT_EQ(GetManualGain(&gain), 1);
  EXPECT_EQ(gain, 0x80000001u);
  expectQuery("gain", 0x086, 0);

  model.SetPropertyValue(0x0A0, 0x01110222, 0x00010333);
  uint16_t red = 0, green = 0, blue = 0;
  ASSERT_EQ(GetWhiteBalanceRgb(&red, &green, &blue), 1);
  EXPECT_EQ(red, 0x0333);
  EXPECT_EQ(green, 0x0111);
  EXPECT_EQ(blue, 0x0222);
  expectQuery("white balance", 0x0A0, 0);

  ASSERT_EQ(WriteSensorRegister8(0x3012, 0xAB), 1);
  ASSERT_EQ(WriteSensorRegister32(0x00C0FFEE, 0xDEADBEEF), 1);
  model.ClearWire();
  uint8_t register8 = 0;
  uint32_t register32 = 0;
  ASSERT_EQ(ReadSensorRegister8(0x3012, &register8), 1);
  EXPECT_EQ(register8, 0xAB);
  expectQuery("register 8", 0x200, 0x3012);
  ASSERT_EQ(ReadSensorRegister32(0x00C0FFEE, &register32), 1);
  EXPECT_EQ(register32, 0xDEADBEEFu);
  expectQuery("register 32", 0x201, 0x00C0FFEE);

  EXPECT_EQ(model.OrderViolations(), 0);
}

TEST_P(RequestTest, GenericQueriesAndLensGroup) {
  MicroscopeModel& model = SelectOne(GetParam());
  model.SetPropertyValue(0x031, 0x11111111, 0x22222222);
  // Both outputs may be null: the set and the get still happen.
  EXPECT_EQ(QueryExtensionProperty(0x5031, 7, 9, nullptr, nullptr), 1);
  auto wire = model.Wire();
  ASSERT_EQ(Shape(wire), "S11:10 G11:10");
  EXPECT_EQ(wire[0].payload, Block(7, 9, 0x031));
  uint32_t word0 = 0, word1 = 0;
  EXPECT_EQ(QueryExtensionProperty(0x031, 0, 0, &word0, &word1), 1);
  EXPECT_EQ(word0, 0x11111111u);
  EXPECT_EQ(word1, 0x22222222u);
  word0 = 0;
  EXPECT_EQ(GetExtensionProperty(0x031, &word0, nullptr), 1);
  EXPECT_EQ(word0, 0x11111111u);

  model.SetLensGroup(0xBEEF, 0x07);
  model.ClearWire();
  uint16_t driver = 0;
  uint8_t group = 0;
  ASSERT_EQ(GetLensGroupInfo(&driver, &group, nullptr), 1);
  EXPECT_EQ(driver, 0xBEEF);
  EXPECT_EQ(group, 0x07);
  EXPECT_EQ(Shape(model.Wire()), "G08:4");
}

TEST_P(RequestTest, PixelSizeMustBeFiniteAndPositive) {
  MicroscopeModel& model = SelectOne(GetParam());
  auto bits = [](float value) {
    uint32_t word = 0;
    std::memcpy(&word, &value, sizeof(word));
    return word;
  };
  model.SetPropertyValue(0x031, bits(1.25f), (1920u << 16) | 1080u);
  float microns = 0;
  uint16_t width = 0, height = 0;
  ASSERT_EQ(GetPixelSizeInfo(&microns, &width, &height), 1);
  EXPECT_EQ(microns, 1.25f);
  EXPECT_EQ(width, 1920);
  EXPECT_EQ(height, 1080);
  EXPECT_EQ(GetPixelSizeMicrons(), 1.25f);

  for (float bad : {0.0f, -2.5f, std::numeric_limits<float>::infinity(),
                    std::numeric_limits<float>::quiet_NaN()}) {
    model.SetPropertyValue(0x031, bits(bad), (640u << 16) | 480u);
    microns = 99;
    width = height = 0;
    EXPECT_EQ(GetPixelSizeInfo(&microns, &width, &height), 0) << bad;
    // The outputs are written all the same.
    EXPECT_EQ(bits(microns), bits(bad));
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 480);
    EXPECT_EQ(GetPixelSizeMicrons(), -1.0f) << bad;
  }
}

TEST_P(RequestTest, RangeChecksAndNullOutputsNeverReachTheDevice) {
  MicroscopeModel& model = SelectOne(GetParam());
  const std::vector<std::pair<const char*, std::function<int()>>> refused = {
      {"mirror 3", [] { return SetMirrorFlipMode(3); }},
      {"effect 24", [] { return SetImageEffect(24); }},
      {"shutter 64", [] { return SetManualShutter(64); }},
      {"exposure 11 > 10", [] { return SetExposureLimits(11, 10); }},
      {"red 4096", [] { return SetWhiteBalanceRgb(4096, 0, 0); }},
      {"green 4096", [] { return SetWhiteBalanceRgb(0, 4096, 0); }},
      {"blue 4096", [] { return SetWhiteBalanceRgb(0, 0, 4096); }},
      {"focus 256", [] { return SetFocusPosition(256); }},
      {"GetExtensionProperty", [] { return GetExtensionProperty(1, nullptr, nullptr); }},
      {"GetVersionInfo",
       [] {
         uint16_t a;
         uint8_t b, c, e, f;
         return GetVersionInfo(&a, &b, &c, nullptr, &e, &f);
       }},
      {"GetProtocolVersionInfo",
       [] {
         uint16_t a;
         uint8_t b;
         return GetProtocolVersionInfo(&a, &b, nullptr);
       }},
      {"GetScopeStatusInfo",
       [] {
         uint8_t a, b;
         return GetScopeStatusInfo(&a, &b, nullptr);
       }},
      {"GetPixelSizeInfo",
       [] {
         float a;
         uint16_t b;
         return GetPixelSizeInfo(&a, &b, nullptr);
       }},
      {"GetLensGroupInfo",
       [] {
         uint16_t a;
         return GetLensGroupInfo(&a, nullptr, nullptr);
       }},
      {"GetFocusPosition", [] { return GetFocusPosition(nullptr); }},
      {"GetLedState", [] { return GetLedState(nullptr); }},
      {"GetMirrorFlipMode", [] { return GetMirrorFlipMode(nullptr); }},
      {"GetImageEffect", [] { return GetImageEffect(nullptr); }},
      {"GetExposureLimits",
       [] {
         uint16_t a;
         return GetExposureLimits(nullptr, &a);
       }},
      {"GetManualShutter", [] { return GetManualShutter(nullptr); }},
      {"GetManualGain", [] { return GetManualGain(nullptr); }},
      {"GetWhiteBalanceRgb",
       [] {
         uint16_t a, b;
         return GetWhiteBalanceRgb(&a, nullptr, &b);
       }},
      {"ReadSensorRegister8", [] { return ReadSensorRegister8(1, nullptr); }},
      {"ReadSensorRegister32", [] { return ReadSensorRegister32(1, nullptr); }},
  };
  for (const auto& c : refused) {
    EXPECT_EQ(c.second(), 0) << c.first;
  }
  EXPECT_EQ(Shape(model.Wire()), "");
  EXPECT_EQ(model.Focus().sets + model.Focus().gets, 0);
}

TEST_P(RequestTest, LedStateIsRememberedNotAsked) {
  MicroscopeModel& model = SelectOne(GetParam());
  int on = -1;
  ASSERT_EQ(SetLedState(1), 1);
  ASSERT_EQ(GetLedState(&on), 1);
  EXPECT_EQ(on, 1);
  ASSERT_EQ(SetLedState(0), 1);
  EXPECT_FALSE(model.LedOn());
  ASSERT_EQ(GetLedState(&on), 1);
  EXPECT_EQ(on, 0);

  // A failed switch leaves the remembered state alone.
  model.FailAlways(0x0D, true);
  EXPECT_EQ(SetLedState(1), 0);
  ASSERT_EQ(GetLedState(&on), 1);
  EXPECT_EQ(on, 0);
  EXPECT_EQ(Shape(model.Wire()).find("G"), std::string::npos);  // the device is never asked
}

// The state is process-wide, so "on at load" is checked in a freshly started copy of this test.
TEST(LedStateAtLoad, IsOn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        int on = 0;
        std::_Exit(GetLedState(&on) == 1 && on == 1 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(BothTransports, RequestTest,
                         ::testing::Values(Transport::kUsb, Transport::kV4l2), TransportName);

using NoDeviceTest = LibzentriTest;

TEST_F(NoDeviceTest, EveryRequestFailsQuietly) {
  MicroscopeModel& model = bus_->AddMicroscope(MicroscopeSpec());
  ASSERT_EQ(Init(), 1);  // enumerated, not selected
  const std::string before = GetLastErrorString();
  uint32_t word = 0;
  uint16_t half = 0;
  uint8_t byte = 0;
  float microns = 0;
  EXPECT_EQ(QueryExtensionProperty(1, 0, 0, &word, &word), 0);
  EXPECT_EQ(SetExtensionProperty(1, 0, 0), 0);
  EXPECT_EQ(SendRequest(0x10), 0);
  EXPECT_EQ(GetScopeStatus(), -1);
  EXPECT_EQ(GetProductionDate(), 0);
  EXPECT_EQ(GetPixelSizeMicrons(), -1.0f);
  EXPECT_EQ(GetPixelSizeInfo(&microns, &half, &half), 0);
  EXPECT_EQ(GetLensGroupInfo(&half, &byte, nullptr), 0);
  EXPECT_EQ(IsCapturePressed(), 0);
  EXPECT_EQ(TriggerAutoFocus(), 0);
  EXPECT_EQ(GetFocusPosition(&half), 0);
  EXPECT_EQ(SetFocusPosition(5), 0);
  EXPECT_EQ(SetLedState(0), 0);
  EXPECT_EQ(GetApiVersion(), 0x30000);
  int on = 0;
  EXPECT_EQ(GetLedState(&on), 1);
  EXPECT_EQ(GetLastErrorString(), before);
  EXPECT_TRUE(model.Wire().empty());
}

}  // namespace
}  // namespace zentri_test
