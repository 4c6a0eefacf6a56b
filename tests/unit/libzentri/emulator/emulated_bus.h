// Emulated USB microscopes and V4L2 nodes for tests, built on umockdev: a test bed with the
// sysfs entries, device descriptors and /dev nodes, and ioctl handlers that route usbfs control
// URBs and uvcvideo ioctls to a MicroscopeModel. The test process must run under the umockdev
// preload (umockdev-wrapper).
#ifndef TESTS_UNIT_LIBZENTRI_EMULATOR_EMULATED_BUS_H_
#define TESTS_UNIT_LIBZENTRI_EMULATOR_EMULATED_BUS_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "emulator/microscope_model.h"

namespace zentri_test {

// The class-specific bytes of a VideoControl interface whose extension unit has this id.
std::vector<uint8_t> VideoControlExtra(uint8_t unitId);

struct MicroscopeSpec {
  uint16_t vendorId = 0x636C;
  uint16_t productId = 0x9059;
  // Serial string descriptor; empty gives iSerialNumber 0.
  std::string descriptorSerial = "SN-0001";
  // Raw content of the sysfs "serial" attribute; none when absent.
  std::optional<std::string> sysfsSerial;
  // Class-specific bytes of the VideoControl interface (where the extension unit lives).
  std::vector<uint8_t> extra = VideoControlExtra(3);
  // Unit id that the model answers on.
  uint8_t unitId = 3;
  // Class-specific VideoControl bytes of further configurations (values 2, 3, ...).
  std::vector<std::vector<uint8_t>> moreConfigurations;
  // bNumConfigurations as the device descriptor states it; -1 for the number present.
  int declaredConfigurations = -1;
  // Without a /dev node libusb cannot open the device.
  bool openable = true;
};

struct VideoNodeSpec {
  std::string name = "video0";
  // device_caps of VIDIOC_QUERYCAP; V4L2_CAP_VIDEO_CAPTURE by default.
  uint32_t deviceCaps = 0x00000001;
  bool queryCapFails = false;
};

class EmulatedBus {
 public:
  EmulatedBus();
  ~EmulatedBus();
  EmulatedBus(const EmulatedBus&) = delete;
  EmulatedBus& operator=(const EmulatedBus&) = delete;

  // True when the process runs under the umockdev preload.
  static bool PreloadActive();

  // Adds a USB device on bus 1 with the next free address (2, 3, ...) and returns its model.
  MicroscopeModel& AddMicroscope(const MicroscopeSpec& spec);
  // Adds a V4L2 node under the interface of microscope `index` (in AddMicroscope order).
  void AddVideoNode(size_t index, const VideoNodeSpec& spec);

  // A bare sysfs USB entry (no device node, not a usb_device for libusb) with the given
  // attribute name/value pairs, for testing what the sysfs scans make of odd files.
  void AddSysfsUsbEntry(const std::string& name,
                        const std::vector<std::pair<std::string, std::string>>& attributes);

  uint8_t Address(size_t index) const;
  const std::string& RootDir() const { return root_; }

  struct Device;
  struct VideoNode;

 private:
  struct Testbed;
  std::unique_ptr<Testbed> testbed_;
  std::string root_;
  std::vector<std::unique_ptr<Device>> devices_;
  std::vector<std::unique_ptr<VideoNode>> videoNodes_;
};

}  // namespace zentri_test

#endif  // TESTS_UNIT_LIBZENTRI_EMULATOR_EMULATED_BUS_H_
