// Retries, fallbacks and the last-error texts of both transports; the capture button's
// four-attempt read; focus through the driver's standard control.
#include <chrono>
#include <string>

#include "fixture.h"

namespace zentri_test {
namespace {

class FailureTest : public LibzentriTest, public ::testing::WithParamInterface<Transport> {
 protected:
  // The text each transport gives for a stalled transfer.
  std::string StallText(const char* direction, uint8_t selector) const {
    char text[160];
    if (GetParam() == Transport::kUsb) {
      std::snprintf(text, sizeof(text),
                    "Zentri XU %s selector 0x%02x unit 3 failed: libusb error -9 (PIPE)", direction,
                    selector);
    } else {
      std::snprintf(text, sizeof(text),
                    "Zentri XU %s selector 0x%02x unit 3 failed (errno 32: Broken pipe)", direction,
                    selector);
    }
    return text;
  }
};

TEST_P(FailureTest, EachTransferIsRetriedOnceAfterAPause) {
  MicroscopeModel& model = SelectOne(GetParam());
  model.SetPropertyValue(0x086, 33, 0);
  uint32_t gain = 0;

  model.FailNext(0x11, true, 1);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(GetManualGain(&gain), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
  EXPECT_EQ(gain, 33u);
  EXPECT_EQ(Shape(model.Wire()), "S11:10! S11:10 G11:10");
  EXPECT_STREQ(GetLastErrorString(), "");  // a later success in the sequence clears it

  model.ClearWire();
  model.FailNext(0x11, false, 1);
  ASSERT_EQ(GetManualGain(&gain), 1);
  EXPECT_EQ(Shape(model.Wire()), "S11:10 G11:10! G11:10");

  model.ClearWire();
  model.FailNext(0x11, true, 2);
  gain = 7;
  EXPECT_EQ(GetManualGain(&gain), 0);
  EXPECT_EQ(gain, 7u);                                // outputs untouched on failure
  EXPECT_EQ(Shape(model.Wire()), "S11:10! S11:10!");  // no get after a failed set
  EXPECT_EQ(GetLastErrorString(), StallText("SET", 0x11));

  model.ClearWire();
  model.FailNext(0x11, false, 2);
  EXPECT_EQ(GetManualGain(&gain), 0);
  EXPECT_EQ(Shape(model.Wire()), "S11:10 G11:10! G11:10!");
  EXPECT_EQ(GetLastErrorString(), StallText("GET", 0x11));

  // The text describes the most recent transfer only.
  EXPECT_EQ(GetManualGain(&gain), 1);
  EXPECT_STREQ(GetLastErrorString(), "");

  model.ClearWire();
  model.FailNext(0x0D, true, 2);
  EXPECT_EQ(SendRequest(0x28), 0);
  EXPECT_EQ(Shape(model.Wire()), "S0D:4! S0D:4!");
  EXPECT_EQ(GetLastErrorString(), StallText("SET", 0x0D));

  model.ClearWire();
  model.FailNext(0x08, false, 2);
  uint16_t driver = 0;
  uint8_t group = 0;
  EXPECT_EQ(GetLensGroupInfo(&driver, &group, nullptr), 0);
  EXPECT_EQ(Shape(model.Wire()), "G08:4! G08:4!");
  EXPECT_EQ(GetLastErrorString(), StallText("GET", 0x08));
  EXPECT_EQ(model.OrderViolations(), 0);
}

TEST_P(FailureTest, FocusActionsFallBackToShortRequests) {
  MicroscopeModel& model = SelectOne(GetParam());
  struct Action {
    int (*call)();
    uint16_t property;
    uint8_t code;
  };
  for (const Action& action :
       {Action{TriggerAutoFocus, 0x010, 0x25}, Action{FocusNearStep, 0x012, 0x28},
        Action{FocusFarStep, 0x013, 0x29}}) {
    model.RefuseProperty(action.property);
    model.ClearWire();
    EXPECT_EQ(action.call(), 1) << action.property;
    const auto wire = model.Wire();
    ASSERT_EQ(Shape(wire), "S11:10! S11:10! S0D:4") << action.property;
    EXPECT_EQ(wire[0].payload, Block(1, 0, 0x8000 | action.property));
    EXPECT_EQ(wire[2].payload, (std::vector<uint8_t>{0, 0, 0, action.code}));
    EXPECT_EQ(model.ShortRequestCount(action.code), 1);
    EXPECT_EQ(model.ActionCount(action.property), 0);
  }
  // When the short request fails as well, so does the action.
  model.FailAlways(0x0D, true);
  model.ClearWire();
  EXPECT_EQ(TriggerAutoFocus(), 0);
  EXPECT_EQ(Shape(model.Wire()), "S11:10! S11:10! S0D:4! S0D:4!");
  EXPECT_EQ(GetLastErrorString(), StallText("SET", 0x0D));
}

TEST_P(FailureTest, CaptureButtonNeedsBothBits) {
  MicroscopeModel& model = SelectOne(GetParam());
  for (const auto& [byte, pressed] : std::vector<std::pair<uint8_t, int>>{
           {0x81, 1}, {0xFF, 1}, {0x80, 0}, {0x01, 0}, {0x00, 0}}) {
    model.SetCaptureByte(byte);
    model.ClearWire();
    EXPECT_EQ(IsCapturePressed(), pressed) << static_cast<int>(byte);
    EXPECT_EQ(Shape(model.Wire()), "G0D:4");
  }
}

TEST_P(FailureTest, OneByteCaptureStatusIsReadOnTheThirdAttempt) {
  MicroscopeModel& model = SelectOne(GetParam());
  model.SetOneByteStatus(true);
  model.SetCaptureByte(0x81);
  EXPECT_EQ(IsCapturePressed(), 1);
  const auto wire = model.Wire();
  // Over USB the 4-byte reads come back short (1 byte); uvcvideo refuses the size.
  EXPECT_EQ(Shape(wire),
            GetParam() == Transport::kUsb ? "G0D:4 G0D:4 G0D:1" : "G0D:4! G0D:4! G0D:1");
  EXPECT_STREQ(GetLastErrorString(), "");

  model.ClearWire();
  model.FailNext(0x0D, false, 3);
  EXPECT_EQ(IsCapturePressed(), 1);
  EXPECT_EQ(Shape(model.Wire()), "G0D:4! G0D:4! G0D:1! G0D:1");

  model.ClearWire();
  model.FailAlways(0x0D, false);
  EXPECT_EQ(IsCapturePressed(), 0);
  EXPECT_EQ(Shape(model.Wire()), "G0D:4! G0D:4! G0D:1! G0D:1!");
  EXPECT_EQ(GetLastErrorString(), StallText("GET", 0x0D));
}

INSTANTIATE_TEST_SUITE_P(BothTransports, FailureTest,
                         ::testing::Values(Transport::kUsb, Transport::kV4l2), TransportName);

using UsbFailureTest = LibzentriTest;

TEST_F(UsbFailureTest, ShortTransfersFailWithTheCount) {
  MicroscopeModel& model = SelectOne(Transport::kUsb);
  uint32_t gain = 0;
  model.ShortenNextGets(0x11, 4, 2);
  EXPECT_EQ(GetManualGain(&gain), 0);
  EXPECT_STREQ(GetLastErrorString(),
               "Zentri XU GET selector 0x11 unit 3 failed: libusb error 4 (UNKNOWN)");
  model.ShortenNextGets(0x11, 0, 2);
  EXPECT_EQ(GetManualGain(&gain), 0);
  EXPECT_STREQ(GetLastErrorString(),
               "Zentri XU GET selector 0x11 unit 3 failed: libusb error 0 (SUCCESS)");
  model.ShortenNextSets(0x0D, 2, 2);
  EXPECT_EQ(SendRequest(0x10), 0);
  EXPECT_STREQ(GetLastErrorString(),
               "Zentri XU SET selector 0x0d unit 3 failed: libusb error 2 (UNKNOWN)");
}

TEST_F(UsbFailureTest, UnansweredTransferTimesOut) {
  MicroscopeModel& model = SelectOne(Transport::kUsb);
  model.HangNext(0x11, true, 2);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SetManualGain(5), 0);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_STREQ(GetLastErrorString(),
               "Zentri XU SET selector 0x11 unit 3 failed: libusb error -7 (TIMEOUT)");
  // Two attempts of 1000 ms each; the bound only guards against waiting forever.
  EXPECT_GE(elapsed, std::chrono::milliseconds(2000));
  EXPECT_LT(elapsed, std::chrono::seconds(30));
  // The device answers again afterwards.
  EXPECT_EQ(SetManualGain(6), 1);
  EXPECT_EQ(model.PropertyValue(0x086).first, 6u);
}

using V4l2FocusTest = LibzentriTest;

TEST_F(V4l2FocusTest, ReadsTheStandardControlFirst) {
  MicroscopeModel& model = SelectOne(Transport::kV4l2);
  model.SetPropertyValue(0x011, 77, 0);
  MicroscopeModel::V4l2Focus focus;
  focus.value = 120;
  model.SetFocus(focus);
  uint16_t position = 0;
  ASSERT_EQ(GetFocusPosition(&position), 1);
  EXPECT_EQ(position, 120);
  EXPECT_EQ(Shape(model.Wire()), "");

  // Out of range, negative or failing: the extension unit's value instead.
  for (int32_t value : {256, 1000, -5}) {
    focus.value = value;
    model.SetFocus(focus);
    model.ClearWire();
    ASSERT_EQ(GetFocusPosition(&position), 1) << value;
    EXPECT_EQ(position, 77) << value;
    EXPECT_EQ(Shape(model.Wire()), "S11:10 G11:10") << value;
  }
  focus.value = 10;
  focus.getFails = true;
  model.SetFocus(focus);
  ASSERT_EQ(GetFocusPosition(&position), 1);
  EXPECT_EQ(position, 77);
}

TEST_F(V4l2FocusTest, SetIsCheckedByReadingBack) {
  MicroscopeModel& model = SelectOne(Transport::kV4l2);
  EXPECT_EQ(SetFocusPosition(100), 1);
  EXPECT_EQ(model.Focus().value, 100);
  EXPECT_EQ(Shape(model.Wire()), "");

  // A device that lands elsewhere: 0, and no second try through the extension unit.
  MicroscopeModel::V4l2Focus focus;
  focus.readBackOffset = 1;
  model.SetFocus(focus);
  EXPECT_EQ(SetFocusPosition(100), 0);
  EXPECT_EQ(Shape(model.Wire()), "");

  // A read-back that fails is taken as success.
  focus.readBackOffset = 0;
  focus.getFails = true;
  model.SetFocus(focus);
  EXPECT_EQ(SetFocusPosition(90), 1);
  EXPECT_EQ(Shape(model.Wire()), "");

  // Without the standard control, the extension unit property.
  focus.supported = false;
  model.SetFocus(focus);
  EXPECT_EQ(SetFocusPosition(200), 1);
  const auto wire = model.Wire();
  ASSERT_EQ(Shape(wire), "S11:10");
  EXPECT_EQ(wire[0].payload, Block(200, 0, 0x8011));
}

TEST_F(V4l2FocusTest, LibusbTransportUsesTheExtensionUnitOnly) {
  MicroscopeModel& model = SelectOne(Transport::kUsb);
  model.SetPropertyValue(0x011, 0x10042, 0);
  uint16_t position = 0;
  ASSERT_EQ(GetFocusPosition(&position), 1);
  EXPECT_EQ(position, 0x0042);  // low 16 bits of word 0
  EXPECT_EQ(SetFocusPosition(255), 1);
  EXPECT_EQ(Shape(model.Wire()), "S11:10 G11:10 S11:10");
  EXPECT_EQ(model.Wire()[2].payload, Block(255, 0, 0x8011));
  EXPECT_EQ(model.Focus().gets + model.Focus().sets, 0);
}

}  // namespace
}  // namespace zentri_test
