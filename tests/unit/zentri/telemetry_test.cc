// Telemetry sampling, the pixel-calibration cache and the sample generations, driven through a
// function table of a scripted device (no library, no executor: the test thread plays the
// executor thread).
#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "core/vendor_executors.h"
#include "zentri/zentri_binding.h"
#include "zentri/zentri_telemetry.h"

namespace zentri_native {
namespace {

// The scripted microscope. Status word: focus in bits 0-15, middle field 16-23, top 24-29.
struct Device {
  int status = (10 << 16) | 120;  // middle 10, top 0, manufacturer focus 120
  int standardFocus = 120;
  bool lensOk = true;
  uint16_t lensDriver = 0x1234;
  uint8_t lensGroup = 2;
  float microns = 1.5f;
  uint16_t pixelWidth = 1920;
  uint16_t pixelHeight = 1080;
  int statusReads = 0;
  int pixelReads = 0;
  int setFocusCalls = 0;
  bool capturePressed = false;
  // Runs inside the pixel-size request, while a sample is between its two locked sections.
  std::function<void()> duringPixelRead;
  // Runs on the second status read of a sample.
  std::function<void()> beforeStatusReread;
};

Device* g_device = nullptr;

int FakeInit() {
  return 1;
}
void FakeDestroy() {}
int FakeCount() {
  return 1;
}
const wchar_t* FakeText(int) {
  return L"x";
}
int FakeSelect(int) {
  return 1;
}
int FakeStatus() {
  if (++g_device->statusReads == 2 && g_device->beforeStatusReread) {
    g_device->beforeStatusReread();
  }
  return g_device->status;
}
float FakeMicrons() {
  ++g_device->pixelReads;
  return g_device->microns;
}
int FakePixelInfo(float* microns, uint16_t* width, uint16_t* height) {
  ++g_device->pixelReads;
  if (g_device->duringPixelRead) {
    g_device->duringPixelRead();
  }
  *microns = g_device->microns;
  *width = g_device->pixelWidth;
  *height = g_device->pixelHeight;
  return g_device->microns > 0 ? 1 : 0;
}
int FakeLens(uint16_t* driver, uint8_t* group, void*) {
  *driver = g_device->lensDriver;
  *group = g_device->lensGroup;
  return g_device->lensOk ? 1 : 0;
}
int FakeCapture() {
  return g_device->capturePressed ? 1 : 0;
}
int FakeGetFocus(uint16_t* position) {
  *position = static_cast<uint16_t>(g_device->standardFocus);
  return 1;
}
int FakeSetFocus(uint16_t position) {
  ++g_device->setFocusCalls;
  g_device->standardFocus = position;
  return position < 256 ? 1 : 0;
}

ZentriFunctionTable FullTable() {
  ZentriFunctionTable table;
  table.init = FakeInit;
  table.destroy = FakeDestroy;
  table.getDevicesCount = FakeCount;
  table.getDeviceUniqueId = FakeText;
  table.getDeviceFriendlyName = FakeText;
  table.selectDeviceNumber = FakeSelect;
  table.getScopeStatus = FakeStatus;
  table.getPixelSizeMicrons = FakeMicrons;
  table.getPixelSizeInfo = FakePixelInfo;
  table.getLensGroupInfo = FakeLens;
  table.isCapturePressed = FakeCapture;
  table.getFocusPosition = FakeGetFocus;
  table.setFocusPosition = FakeSetFocus;
  return table;
}

class TelemetryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_device = &device_;
    g_zentri.Adopt(FullTable(), "scripted");
    ASSERT_TRUE(SelectZentriDeviceOnOwnerThread(0));
    device_.statusReads = 0;
    device_.pixelReads = 0;
  }
  void TearDown() override {
    DisposeZentriOnOwnerThread();
    g_device = nullptr;
  }

  // One sample, then the published snapshot as a script would read it now.
  ZentriTelemetrySnapshot Sample() {
    device_.statusReads = 0;
    PrimeZentriTelemetryOnOwnerThread();
    return FreshZentriTelemetry(ZentriSteadyNowMs());
  }

  Device device_;
};

TEST_F(TelemetryTest, CalibratedFrameSizeIsCachedAndServedWithoutAskingTheDevice) {
  ReportZentriFrameSize(1920, 1080);
  ZentriTelemetrySnapshot first = Sample();
  EXPECT_EQ(first.status, device_.status);
  EXPECT_EQ(first.focusPosition, 120);
  EXPECT_TRUE(first.pixelValid);
  EXPECT_FALSE(first.fromFocusCache);
  EXPECT_FLOAT_EQ(first.micronsPerPixel, 1.5f);
  EXPECT_EQ(device_.pixelReads, 1);
  EXPECT_EQ(device_.statusReads, 2) << "a cacheable reading is checked by a second status read";

  device_.microns = 9.0f;  // the device would now say something else
  ZentriTelemetrySnapshot second = Sample();
  EXPECT_TRUE(second.fromFocusCache);
  EXPECT_TRUE(second.pixelValid);
  EXPECT_FLOAT_EQ(second.micronsPerPixel, 1.5f);
  EXPECT_EQ(second.width, 1920);
  EXPECT_EQ(second.height, 1080);
  EXPECT_EQ(device_.pixelReads, 1);
  EXPECT_EQ(g_zentriFocusCalibrations.size(), 1u);

  // 1280 x 720 is the other calibrated size; it gets an entry of its own.
  device_.pixelWidth = 1280;
  device_.pixelHeight = 720;
  ReportZentriFrameSize(1280, 720);
  EXPECT_FALSE(Sample().fromFocusCache);
  EXPECT_TRUE(Sample().fromFocusCache);
  EXPECT_EQ(g_zentriFocusCalibrations.size(), 2u);
}

TEST_F(TelemetryTest, EveryKeyFieldSeparatesCalibrations) {
  ReportZentriFrameSize(1920, 1080);
  Sample();
  ASSERT_EQ(g_zentriFocusCalibrations.size(), 1u);
  // Changing any one part of the key must make the device be asked again.
  const std::vector<std::function<void()>> changes = {
      [&] { device_.lensDriver = 0x1235; },
      [&] { device_.lensGroup = 3; },
      [&] {
        device_.status = (10 << 16) | 121;
        device_.standardFocus = 121;
      },
  };
  for (size_t i = 0; i < changes.size(); ++i) {
    changes[i]();
    const int readsBefore = device_.pixelReads;
    ZentriTelemetrySnapshot snapshot = Sample();
    EXPECT_FALSE(snapshot.fromFocusCache) << "change " << i;
    EXPECT_EQ(device_.pixelReads, readsBefore + 1) << "change " << i;
    EXPECT_EQ(g_zentriFocusCalibrations.size(), i + 2);
  }

  const ZentriCalibrationKey base{120, 1, 2, 1920, 1080};
  const ZentriCalibrationKey variants[] = {{121, 1, 2, 1920, 1080},
                                           {120, 2, 2, 1920, 1080},
                                           {120, 1, 3, 1920, 1080},
                                           {120, 1, 2, 1280, 1080},
                                           {120, 1, 2, 1920, 720}};
  for (const ZentriCalibrationKey& other : variants) {
    EXPECT_TRUE(base < other || other < base);
  }
  EXPECT_FALSE(base < base);
  // Lexicographic: the focus position decides before the lens.
  EXPECT_TRUE((ZentriCalibrationKey{1, 9, 9, 9, 9} < ZentriCalibrationKey{2, 0, 0, 0, 0}));
}

TEST_F(TelemetryTest, UncalibratedStatesAreNeverCached) {
  // Any frame size but the two calibrated ones.
  ReportZentriFrameSize(640, 480);
  device_.pixelWidth = 640;
  device_.pixelHeight = 480;
  for (int i = 1; i <= 3; ++i) {
    ZentriTelemetrySnapshot snapshot = Sample();
    EXPECT_TRUE(snapshot.pixelValid);
    EXPECT_FALSE(snapshot.fromFocusCache);
    EXPECT_EQ(device_.pixelReads, i);
    EXPECT_EQ(device_.statusReads, 1);
  }
  EXPECT_TRUE(g_zentriFocusCalibrations.empty());

  // A pixel size that refers to another image size is reported but not kept.
  ReportZentriFrameSize(1920, 1080);
  device_.pixelWidth = 1280;
  device_.pixelHeight = 720;
  EXPECT_TRUE(Sample().pixelValid);
  EXPECT_TRUE(g_zentriFocusCalibrations.empty());

  // Middle field other than 10, top field above 1: not a calibrated state.
  device_.pixelWidth = 1920;
  device_.pixelHeight = 1080;
  device_.status = (11 << 16) | 120;
  Sample();
  EXPECT_TRUE(g_zentriFocusCalibrations.empty());
  device_.status = (2 << 24) | (10 << 16) | 120;
  ZentriTelemetrySnapshot high = Sample();
  EXPECT_FALSE(high.pixelValid) << "with the top field above 1 the pixel size is not read";
  EXPECT_TRUE(g_zentriFocusCalibrations.empty());

  // Without lens data nothing is read or cached.
  device_.status = (10 << 16) | 120;
  device_.lensOk = false;
  const int reads = device_.pixelReads;
  ZentriTelemetrySnapshot noLens = Sample();
  EXPECT_FALSE(noLens.lensValid);
  EXPECT_FALSE(noLens.pixelValid);
  EXPECT_EQ(device_.pixelReads, reads);
}

TEST_F(TelemetryTest, LensMovingDuringTheSampleInvalidatesThePixelSize) {
  ReportZentriFrameSize(1920, 1080);
  device_.beforeStatusReread = [&] { device_.status = (10 << 16) | 121; };
  ZentriTelemetrySnapshot moved = Sample();
  EXPECT_FALSE(moved.pixelValid);
  EXPECT_TRUE(g_zentriFocusCalibrations.empty());

  device_.beforeStatusReread = [&] { device_.standardFocus = 119; };
  device_.status = (10 << 16) | 121;
  device_.standardFocus = 121;
  EXPECT_FALSE(Sample().pixelValid);
  EXPECT_TRUE(g_zentriFocusCalibrations.empty());
}

TEST_F(TelemetryTest, SampleTakenAcrossAFrameSizeChangeOrResetIsDropped) {
  ReportZentriFrameSize(1920, 1080);
  device_.duringPixelRead = [] { ReportZentriFrameSize(1280, 720); };
  PrimeZentriTelemetryOnOwnerThread();
  EXPECT_EQ(FreshZentriTelemetry(ZentriSteadyNowMs()).sampledAtMs, 0)
      << "the sample for 1920 x 1080 must not be published for 1280 x 720";
  EXPECT_TRUE(g_zentriFocusCalibrations.empty());

  device_.duringPixelRead = nullptr;
  device_.pixelWidth = 1280;
  device_.pixelHeight = 720;
  EXPECT_TRUE(Sample().pixelValid);
  EXPECT_EQ(g_zentriFocusCalibrations.size(), 1u);

  device_.duringPixelRead = [] { ResetZentriTelemetry(); };
  ReportZentriFrameSize(1920, 1080);
  device_.pixelWidth = 1920;
  device_.pixelHeight = 1080;
  PrimeZentriTelemetryOnOwnerThread();
  EXPECT_EQ(FreshZentriTelemetry(ZentriSteadyNowMs()).sampledAtMs, 0);
  EXPECT_TRUE(g_zentriFocusCalibrations.empty());
  EXPECT_EQ(g_zentriCachedFocusAtMs, 0) << "a dropped sample must not record its focus either";
}

TEST_F(TelemetryTest, SnapshotsAndFocusReadingsExpireAfterTwoSeconds) {
  ReportZentriFrameSize(640, 480);
  ZentriTelemetrySnapshot fresh = Sample();
  ASSERT_GT(fresh.sampledAtMs, 0);
  EXPECT_EQ(FreshZentriTelemetry(fresh.sampledAtMs + 2000).status, device_.status);
  const ZentriTelemetrySnapshot stale = FreshZentriTelemetry(fresh.sampledAtMs + 2001);
  EXPECT_EQ(stale.status, -1);
  EXPECT_EQ(stale.focusPosition, -1);
  EXPECT_FALSE(stale.pixelValid);
  EXPECT_FALSE(stale.lensValid);
  EXPECT_EQ(CachedZentriFocusPosition(fresh.sampledAtMs + 2000), 120);
  EXPECT_EQ(CachedZentriFocusPosition(fresh.sampledAtMs + 2001), -1);
}

TEST_F(TelemetryTest, StandardFocusWinsAfterASetUntilTheStatusFocusChanges) {
  ReportZentriFrameSize(640, 480);
  EXPECT_EQ(Sample().focusPosition, 120);
  // The lens reports 80 through the standard control, the status word still says 120.
  ASSERT_TRUE(SetZentriFocusPositionOnOwnerThread(80));
  EXPECT_EQ(FreshZentriTelemetry(ZentriSteadyNowMs()).focusPosition, 80);
  EXPECT_EQ(Sample().focusPosition, 80);
  // The status word moves: it is believed again.
  device_.status = (10 << 16) | 90;
  EXPECT_EQ(Sample().focusPosition, 90);
  device_.status = (10 << 16) | 90;
  EXPECT_EQ(Sample().focusPosition, 90);
  // Without a manufacturer focus the standard reading is used.
  device_.status = 10 << 16;
  EXPECT_EQ(Sample().focusPosition, 80);
  // The position is masked to 16 bits before the library sees it.
  EXPECT_FALSE(SetZentriFocusPositionOnOwnerThread(-1));
  EXPECT_EQ(device_.standardFocus, 0xFFFF);
}

TEST_F(TelemetryTest, BadPixelValuesAndFailedStatusLeaveFieldsUnknown) {
  ReportZentriFrameSize(1920, 1080);
  for (float bad : {0.0f, -2.0f, std::numeric_limits<float>::infinity(),
                    std::numeric_limits<float>::quiet_NaN()}) {
    device_.microns = bad;
    ZentriTelemetrySnapshot snapshot = Sample();
    EXPECT_FALSE(snapshot.pixelValid) << bad;
    EXPECT_TRUE(g_zentriFocusCalibrations.empty());
  }
  device_.status = -1;
  ZentriTelemetrySnapshot failed = Sample();
  EXPECT_EQ(failed.status, -1);
  EXPECT_EQ(failed.focusPosition, 120) << "the standard focus still answers";
  EXPECT_FALSE(failed.pixelValid);
}

TEST_F(TelemetryTest, WithoutPixelSizeInfoTheMicronsValueIsUsedButNeverCached) {
  ZentriFunctionTable table = FullTable();
  table.getPixelSizeInfo = nullptr;
  g_zentri.Adopt(table, "scripted");
  ASSERT_TRUE(SelectZentriDeviceOnOwnerThread(0));
  ReportZentriFrameSize(1920, 1080);
  ZentriTelemetrySnapshot snapshot = Sample();
  EXPECT_TRUE(snapshot.pixelValid);
  EXPECT_FLOAT_EQ(snapshot.micronsPerPixel, 1.5f);
  EXPECT_EQ(snapshot.width, 0);
  EXPECT_TRUE(g_zentriFocusCalibrations.empty());
}

TEST_F(TelemetryTest, ResetClearsCacheFocusAndCaptureLatch) {
  ReportZentriFrameSize(1920, 1080);
  Sample();
  g_zentriCachedCapturePressed.store(true);
  ASSERT_FALSE(g_zentriFocusCalibrations.empty());
  ResetZentriTelemetry();
  EXPECT_TRUE(g_zentriFocusCalibrations.empty());
  EXPECT_FALSE(TakeZentriCapturePressed());
  EXPECT_EQ(g_zentriFrameWidth, 0u);
  EXPECT_EQ(CachedZentriFocusPosition(ZentriSteadyNowMs()), -1);
  EXPECT_EQ(FreshZentriTelemetry(ZentriSteadyNowMs()).sampledAtMs, 0);
}

// Script-thread readers against background refreshes on the real Zentri executor: frame-size
// changes, reads and latch takes interleave with samples (the ThreadSanitizer run checks the
// locking), and refreshes coalesce so the queue never grows with the reads.
TEST_F(TelemetryTest, ReadersAndBackgroundRefreshesInterleave) {
  device_.capturePressed = true;
  for (int i = 0; i < 2000; ++i) {
    const bool large = i % 2 == 0;
    ReportZentriFrameSize(large ? 1920 : 1280, large ? 1080 : 720);
    ScheduleZentriTelemetry();
    const int64_t now = ZentriSteadyNowMs();
    const ZentriTelemetrySnapshot snapshot = FreshZentriTelemetry(now);
    if (snapshot.pixelValid) {
      EXPECT_EQ(snapshot.width, 1920);
    }
    CachedZentriFocusPosition(now);
    TakeZentriCapturePressed();
  }
  // A request made while a refresh runs is dropped, so let the loop's last refresh finish before
  // asking for the one whose result is checked below.
  ASSERT_TRUE(g_zentriExecutor.InvokeVoid([] {}, std::chrono::seconds(5)));
  ReportZentriFrameSize(1920, 1080);
  ScheduleZentriTelemetry();
  ASSERT_TRUE(g_zentriExecutor.InvokeVoid([] {}, std::chrono::seconds(5)));
  EXPECT_TRUE(TakeZentriCapturePressed());
  // A refresh samples once per run however many reads asked for it.
  EXPECT_LT(device_.pixelReads, 2000);
  const ZentriTelemetrySnapshot last = FreshZentriTelemetry(ZentriSteadyNowMs());
  EXPECT_TRUE(last.pixelValid);
  std::lock_guard<std::mutex> lock(g_zentriTelemetryMutex);
  for (const auto& entry : g_zentriFocusCalibrations) {
    EXPECT_EQ(entry.first.frameWidth, 1920);
    EXPECT_EQ(entry.second.width, 1920);
  }
}

}  // namespace
}  // namespace zentri_native
