// Enumeration through real libusb against emulated microscopes: which devices are listed, their
// unique ids and names, the extension unit id, and the table's life cycle.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cwchar>
#include <set>
#include <string>

#include "fixture.h"

namespace zentri_test {
namespace {

using EnumerationTest = LibzentriTest;

std::set<std::wstring> ListedIds() {
  std::set<std::wstring> ids;
  for (int i = 0; i < GetDevicesCount(); ++i) {
    ids.insert(GetDeviceUniqueId(i));
  }
  return ids;
}

int IndexOf(const std::wstring& uniqueId) {
  for (int i = 0; i < GetDevicesCount(); ++i) {
    if (uniqueId == GetDeviceUniqueId(i)) {
      return i;
    }
  }
  return -1;
}

// Selects the device and returns the unit id its first transfer went to.
int UnitUsed(MicroscopeModel& model, int index) {
  EXPECT_EQ(SelectDeviceNumber(index), 1);
  model.ClearWire();
  uint32_t value = 0;
  GetManualGain(&value);
  const auto wire = model.Wire();
  return wire.empty() ? -1 : wire.front().unit;
}

TEST_F(EnumerationTest, ListsTheSevenModelsOnly) {
  for (uint16_t pid = 0x9058; pid <= 0x9060; ++pid) {
    MicroscopeSpec spec;
    spec.productId = pid;
    spec.descriptorSerial = "P" + std::to_string(pid);
    bus_->AddMicroscope(spec);
  }
  MicroscopeSpec otherVendor;
  otherVendor.vendorId = 0x046D;
  otherVendor.descriptorSerial = "OTHER";
  bus_->AddMicroscope(otherVendor);

  ASSERT_EQ(Init(), 1);
  ASSERT_EQ(GetDevicesCount(), 7);
  std::set<std::wstring> expected;
  for (unsigned model = 1; model <= 7; ++model) {
    const unsigned pid = 0x9058 + model;
    wchar_t id[64];
    std::swprintf(id, 64, L"usb#vid_636c&pid_%04x#P%u", pid, pid);
    expected.insert(id);
    const int index = IndexOf(id);
    ASSERT_GE(index, 0) << "model " << model;
    EXPECT_EQ(std::wstring(GetDeviceFriendlyName(index)),
              L"Smart Zentri Z" + std::to_wstring(model));
  }
  EXPECT_EQ(ListedIds(), expected);
}

TEST_F(EnumerationTest, UniqueIdSerialComesFromDescriptorThenSysfs) {
  MicroscopeSpec fromDescriptor;
  fromDescriptor.productId = 0x9059;
  fromDescriptor.descriptorSerial = "DESC-1";
  fromDescriptor.sysfsSerial = "SYSFS-IGNORED\n";
  MicroscopeSpec fromSysfs;
  fromSysfs.productId = 0x905B;
  fromSysfs.descriptorSerial = "";
  fromSysfs.sysfsSerial = "ZS-42\r\n";
  MicroscopeSpec none;
  none.productId = 0x905A;
  none.descriptorSerial = "";
  MicroscopeSpec closed;  // cannot be opened: the descriptor serial is out of reach
  closed.productId = 0x905C;
  closed.descriptorSerial = "UNREADABLE";
  closed.sysfsSerial = "CLOSED-7\n";
  closed.openable = false;
  for (const auto& spec : {fromDescriptor, fromSysfs, none, closed}) {
    bus_->AddMicroscope(spec);
  }

  ASSERT_EQ(Init(), 1);
  EXPECT_EQ(ListedIds(),
            (std::set<std::wstring>{L"usb#vid_636c&pid_9059#DESC-1", L"usb#vid_636c&pid_905b#ZS-42",
                                    L"usb#vid_636c&pid_905a", L"usb#vid_636c&pid_905c#CLOSED-7"}));
}

// Entries that sort before the microscope's own directory and whose files are empty, not
// numbers, too long, or values that would alias bus 1 / address 2 if cut to 8 bits.
TEST_F(EnumerationTest, SysfsSerialScanSkipsOddEntries) {
  const std::string huge(100000, '1');
  bus_->AddSysfsUsbEntry("0-1", {{"busnum", ""}, {"devnum", "2\n"}, {"serial", "EMPTY\n"}});
  bus_->AddSysfsUsbEntry("0-2", {{"busnum", "257\n"}, {"devnum", "258\n"}, {"serial", "WRAP\n"}});
  bus_->AddSysfsUsbEntry("0-3", {{"busnum", "x1\n"}, {"devnum", "2\n"}, {"serial", "WORD\n"}});
  bus_->AddSysfsUsbEntry("0-4", {{"busnum", huge}, {"devnum", "2\n"}, {"serial", "HUGE\n"}});
  bus_->AddSysfsUsbEntry("0-5",
                         {{"busnum", "1\n"}, {"devnum", "4294967298\n"}, {"serial", "BIG\n"}});
  bus_->AddSysfsUsbEntry("0-6", {{"busnum", "1\n"}, {"serial", "NODEVNUM\n"}});
  MicroscopeSpec spec;
  spec.descriptorSerial = "";
  spec.sysfsSerial = "REAL\n";
  bus_->AddMicroscope(spec);
  ASSERT_EQ(bus_->Address(0), 2);

  ASSERT_EQ(Init(), 1);
  ASSERT_EQ(GetDevicesCount(), 1);
  EXPECT_STREQ(GetDeviceUniqueId(0), L"usb#vid_636c&pid_9059#REAL");
}

TEST_F(EnumerationTest, LongSerialsAreCut) {
  MicroscopeSpec longDescriptor;
  longDescriptor.descriptorSerial = std::string(125, 'D') + "X";  // the most a descriptor holds
  bus_->AddMicroscope(longDescriptor);
  MicroscopeSpec longSysfs;
  longSysfs.productId = 0x905D;
  longSysfs.descriptorSerial = "";
  longSysfs.sysfsSerial = std::string(200, 'S') + "\r\n";
  bus_->AddMicroscope(longSysfs);

  ASSERT_EQ(Init(), 1);
  EXPECT_EQ(ListedIds(),
            (std::set<std::wstring>{L"usb#vid_636c&pid_9059#" + std::wstring(125, L'D') + L"X",
                                    L"usb#vid_636c&pid_905d#" + std::wstring(127, L'S')}));
}

TEST_F(EnumerationTest, UnitIdComesFromTheGuidOrDefaultsToThree) {
  struct Case {
    std::vector<uint8_t> extra;
    uint8_t expectedUnit;
    int declaredConfigurations;
    std::vector<std::vector<uint8_t>> moreConfigurations;
  };
  const std::vector<uint8_t> proper5 = VideoControlExtra(5);
  const std::vector<uint8_t> guid(proper5.begin() + 17, proper5.begin() + 33);
  // A 110-byte descriptor whose first 16 bytes are the GUID (its bLength is the GUID's first
  // byte), then a proper extension unit: the first occurrence decides, so unit 3.
  std::vector<uint8_t> guidFirst(guid);
  guidFirst.resize(0x6E, 0);
  const std::vector<uint8_t> proper9 = VideoControlExtra(9);
  guidFirst.insert(guidFirst.end(), proper9.begin(), proper9.end());
  std::vector<uint8_t> wrongSubtype = proper9;
  wrongSubtype[13 + 2] = 0x07;
  // The extension unit descriptor cut short inside its GUID.
  const std::vector<uint8_t> truncated(proper9.begin(), proper9.begin() + 13 + 4 + 10);
  const std::vector<Case> cases = {
      {proper5, 5, -1, {}},
      {std::vector<uint8_t>(proper5.begin(), proper5.begin() + 13), 3, -1, {}},
      {{}, 3, -1, {}},
      {guidFirst, 3, -1, {}},
      {wrongSubtype, 3, -1, {}},
      {truncated, 3, -1, {}},
      // The unit is searched configuration by configuration until found.
      {{}, 8, -1, {{}, VideoControlExtra(8), VideoControlExtra(9)}},
      // Declaring no configuration: the first is tried, but libusb refuses index 0 then.
      {VideoControlExtra(6), 3, 0, {}},
  };
  std::vector<MicroscopeModel*> models;
  for (size_t i = 0; i < cases.size(); ++i) {
    MicroscopeSpec spec;
    spec.descriptorSerial = "U" + std::to_string(i);
    spec.extra = cases[i].extra;
    spec.unitId = cases[i].expectedUnit;
    spec.declaredConfigurations = cases[i].declaredConfigurations;
    spec.moreConfigurations = cases[i].moreConfigurations;
    models.push_back(&bus_->AddMicroscope(spec));
  }
  ASSERT_EQ(Init(), 1);
  for (size_t i = 0; i < cases.size(); ++i) {
    const int index = IndexOf(L"usb#vid_636c&pid_9059#U" + std::to_wstring(i));
    if (index < 0) {
      ADD_FAILURE() << "case " << i << " not enumerated";
      continue;
    }
    EXPECT_EQ(UnitUsed(*models[i], index), cases[i].expectedUnit) << "case " << i;
  }
}

// libusb 1.0.26 itself drops a device whose descriptor declares configurations that it does not
// provide, so a huge bNumConfigurations never reaches the unit search; the others still list.
TEST_F(EnumerationTest, DeviceDeclaringMissingConfigurationsIsDroppedByLibusb) {
  MicroscopeSpec liar;
  liar.descriptorSerial = "LIAR";
  liar.declaredConfigurations = 255;
  bus_->AddMicroscope(liar);
  MicroscopeSpec honest;
  honest.descriptorSerial = "HONEST";
  bus_->AddMicroscope(honest);
  ASSERT_EQ(Init(), 1);
  EXPECT_EQ(ListedIds(), (std::set<std::wstring>{L"usb#vid_636c&pid_9059#HONEST"}));
}

TEST_F(EnumerationTest, AccessorsOutsideTheTableAnswerUnknown) {
  EXPECT_EQ(GetDevicesCount(), 0);
  EXPECT_STREQ(GetDeviceUniqueId(0), L"?");
  EXPECT_STREQ(GetDeviceFriendlyName(0), L"?");
  EXPECT_EQ(SelectDeviceNumber(0), 0);

  bus_->AddMicroscope(MicroscopeSpec());
  ASSERT_EQ(Init(), 1);
  ASSERT_EQ(GetDevicesCount(), 1);
  for (int index : {-1, 1, INT32_MIN, INT32_MAX}) {
    EXPECT_STREQ(GetDeviceUniqueId(index), L"?") << index;
    EXPECT_STREQ(GetDeviceFriendlyName(index), L"?") << index;
  }
  Destroy();
  EXPECT_EQ(GetDevicesCount(), 0);
  EXPECT_STREQ(GetDeviceUniqueId(0), L"?");
  EXPECT_EQ(SelectDeviceNumber(0), 0);
  // A new Init after Destroy starts a new libusb context and finds the device again.
  ASSERT_EQ(Init(), 1);
  EXPECT_EQ(GetDevicesCount(), 1);
}

TEST_F(EnumerationTest, ReInitDropsTheSelection) {
  MicroscopeModel& model = bus_->AddMicroscope(MicroscopeSpec());
  ASSERT_EQ(Init(), 1);
  ASSERT_EQ(SelectDeviceNumber(0), 1);
  uint32_t gain = 0;
  ASSERT_EQ(GetManualGain(&gain), 1);

  ASSERT_EQ(Init(), 1);
  ASSERT_EQ(GetDevicesCount(), 1);
  model.ClearWire();
  EXPECT_EQ(GetManualGain(&gain), 0);
  EXPECT_TRUE(model.Wire().empty());
  ASSERT_EQ(SelectDeviceNumber(0), 1);
  EXPECT_EQ(GetManualGain(&gain), 1);
}

}  // namespace
}  // namespace zentri_test
