#include "emulator/emulated_bus.h"

#include <linux/usbdevice_fs.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <sys/stat.h>
#include <umockdev.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <stdexcept>

namespace zentri_test {
namespace {

const uint8_t kGuid[16] = {0x6E, 0x7E, 0xC2, 0x16, 0xD9, 0xB3, 0x4B, 0x3C,
                           0x80, 0x9D, 0x5C, 0xD0, 0x36, 0xEF, 0x40, 0x5B};

constexpr uint8_t kUvcSetCur = 0x01;
constexpr uint8_t kUvcGetCur = 0x81;

void Check(bool ok, const std::string& what) {
  if (!ok) {
    throw std::runtime_error("emulator: " + what);
  }
}

void MakeParents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
  }
}

void CreateEmptyFile(const std::string& path) {
  MakeParents(path);
  std::ofstream file(path);
  Check(file.good(), "cannot create " + path);
}

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04x", value);
  return text;
}

// Owns a resolved view of client memory.
struct DataRef {
  explicit DataRef(UMockdevIoctlData* data) : data(data) {}
  DataRef(const DataRef&) = delete;
  DataRef& operator=(const DataRef&) = delete;
  ~DataRef() {
    if (data != nullptr) {
      umockdev_ioctl_data_unref(data);
    }
  }
  UMockdevIoctlData* data;
};

UMockdevIoctlData* Resolve(UMockdevIoctlData* parent, size_t offset, size_t length) {
  GError* error = nullptr;
  UMockdevIoctlData* data = umockdev_ioctl_data_resolve(parent, offset, length, &error);
  if (error != nullptr) {
    g_error_free(error);
  }
  return data;
}

std::vector<uint8_t> Configuration(uint8_t value, const std::vector<uint8_t>& extra) {
  const uint8_t interface[] = {9, 0x04, 0, 0, 1, 0x0E, 0x01, 0x00, 0};
  const uint8_t endpoint[] = {7, 0x05, 0x83, 0x03, 16, 0, 6};
  const size_t total = 9 + sizeof(interface) + extra.size() + sizeof(endpoint);
  std::vector<uint8_t> bytes = {
      9,    0x02, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8), 1, value, 0,
      0x80, 0xFA};
  bytes.insert(bytes.end(), interface, interface + sizeof(interface));
  bytes.insert(bytes.end(), extra.begin(), extra.end());
  bytes.insert(bytes.end(), endpoint, endpoint + sizeof(endpoint));
  return bytes;
}

// The sysfs "descriptors" file: the device descriptor followed by every configuration.
std::vector<uint8_t> DeviceDescriptors(const MicroscopeSpec& spec) {
  const size_t present = 1 + spec.moreConfigurations.size();
  const uint8_t declared =
      static_cast<uint8_t>(spec.declaredConfigurations < 0 ? present : spec.declaredConfigurations);
  std::vector<uint8_t> bytes = {18,
                                0x01,
                                0x00,
                                0x02,
                                0xEF,
                                0x02,
                                0x01,
                                64,
                                static_cast<uint8_t>(spec.vendorId),
                                static_cast<uint8_t>(spec.vendorId >> 8),
                                static_cast<uint8_t>(spec.productId),
                                static_cast<uint8_t>(spec.productId >> 8),
                                0x00,
                                0x01,
                                0,
                                0,
                                static_cast<uint8_t>(spec.descriptorSerial.empty() ? 0 : 3),
                                declared};
  const std::vector<uint8_t> first = Configuration(1, spec.extra);
  bytes.insert(bytes.end(), first.begin(), first.end());
  for (size_t i = 0; i < spec.moreConfigurations.size(); ++i) {
    const std::vector<uint8_t> more =
        Configuration(static_cast<uint8_t>(i + 2), spec.moreConfigurations[i]);
    bytes.insert(bytes.end(), more.begin(), more.end());
  }
  return bytes;
}

}  // namespace

std::vector<uint8_t> VideoControlExtra(uint8_t unitId) {
  // VideoControl header, then the extension unit: bLength, CS_INTERFACE, VC_EXTENSION_UNIT,
  // bUnitID, GUID, controls, one input pin from unit 1, 2 bytes of control bitmap.
  std::vector<uint8_t> extra = {13,   0x24, 0x01, 0x00, 0x01, 0x33, 0x00,
                                0x00, 0x6C, 0xDC, 0x02, 0x01, 0x01};
  const uint8_t head[] = {27, 0x24, 0x06, unitId};
  extra.insert(extra.end(), head, head + 4);
  extra.insert(extra.end(), kGuid, kGuid + 16);
  const uint8_t tail[] = {0x18, 0x01, 0x01, 0x02, 0xFF, 0xFF, 0x00};
  extra.insert(extra.end(), tail, tail + sizeof(tail));
  return extra;
}

struct EmulatedBus::Testbed {
  Testbed() : bed(umockdev_testbed_new()) { Check(bed != nullptr, "no test bed"); }
  ~Testbed() { g_object_unref(bed); }
  UMockdevTestbed* bed;
};

// One emulated USB device: the model, its string descriptors and the URBs in flight. URB state
// is touched only from umockdev's handler thread, but under a lock all the same.
struct EmulatedBus::Device {
  struct Flying {
    UMockdevIoctlData* urb;
    int status;
    int actualLength;
    std::vector<uint8_t> in;
  };

  explicit Device(const MicroscopeSpec& spec) : spec(spec), model(spec.unitId) {}
  ~Device() {
    for (auto& flying : ready) {
      umockdev_ioctl_data_unref(flying.urb);
    }
    for (auto& flying : hanging) {
      umockdev_ioctl_data_unref(flying.urb);
    }
    for (auto* urb : discarded) {
      umockdev_ioctl_data_unref(urb);
    }
    if (handler != nullptr) {
      g_object_unref(handler);
    }
  }

  // Answers one control request; returns false to stall.
  bool Control(const uint8_t* setup, uint8_t* data, size_t capacity, Flying* flying, bool* hang) {
    const uint8_t requestType = setup[0];
    const uint8_t request = setup[1];
    const uint16_t value = static_cast<uint16_t>(setup[2] | (setup[3] << 8));
    const uint16_t index = static_cast<uint16_t>(setup[4] | (setup[5] << 8));
    const uint16_t length = static_cast<uint16_t>(setup[6] | (setup[7] << 8));
    if (length > capacity) {
      return false;
    }
    if (requestType == 0x80 && request == 0x06 && (value >> 8) == 0x03) {
      std::vector<uint8_t> descriptor;
      const uint8_t stringIndex = static_cast<uint8_t>(value);
      if (stringIndex == 0) {
        descriptor = {4, 0x03, 0x09, 0x04};
      } else if (stringIndex == 3 && !spec.descriptorSerial.empty()) {
        descriptor = {0, 0x03};
        // A string descriptor holds at most 126 UTF-16 characters (bLength is one byte).
        for (char c : spec.descriptorSerial.substr(0, 126)) {
          descriptor.push_back(static_cast<uint8_t>(c));
          descriptor.push_back(0);
        }
        descriptor[0] = static_cast<uint8_t>(descriptor.size());
      } else {
        return false;
      }
      const size_t moved = std::min<size_t>(length, descriptor.size());
      flying->in.assign(descriptor.begin(), descriptor.begin() + moved);
      flying->actualLength = static_cast<int>(moved);
      return true;
    }
    const bool set = requestType == 0x21 && request == kUvcSetCur;
    const bool get = requestType == 0xA1 && request == kUvcGetCur;
    if ((!set && !get) || (index & 0xFF) != 0) {
      return false;
    }
    std::vector<uint8_t> buffer(data, data + length);
    const DeviceReply reply = model.Handle(Transport::kUsb, set, static_cast<uint8_t>(index >> 8),
                                           static_cast<uint8_t>(value >> 8), buffer.data(), length);
    if (reply.kind == DeviceReply::kHang) {
      *hang = true;
      return true;
    }
    if (reply.kind != DeviceReply::kAccepted) {
      return false;
    }
    flying->actualLength = static_cast<int>(reply.moved);
    if (get) {
      flying->in.assign(buffer.begin(), buffer.begin() + reply.moved);
    }
    return true;
  }

  gboolean Submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* urbData = Resolve(arg, 0, sizeof(usbdevfs_urb));
    if (urbData == nullptr) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return TRUE;
    }
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 8) {
      umockdev_ioctl_data_unref(urbData);
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return TRUE;
    }
    DataRef buffer(
        Resolve(urbData, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(urb->buffer_length)));
    if (buffer.data == nullptr) {
      umockdev_ioctl_data_unref(urbData);
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return TRUE;
    }
    Flying flying{urbData, 0, 0, {}};
    bool hang = false;
    if (!Control(buffer.data->data, buffer.data->data + 8,
                 static_cast<size_t>(urb->buffer_length) - 8, &flying, &hang)) {
      flying.status = -EPIPE;
      flying.actualLength = 0;
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (hang) {
        hanging.push_back(std::move(flying));
      } else {
        ready.push_back(std::move(flying));
      }
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
  }

  gboolean Reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* urbData = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!discarded.empty()) {
        urbData = discarded.front();
        discarded.pop_front();
        auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
        urb->status = -ENOENT;
        urb->actual_length = 0;
      } else if (!ready.empty()) {
        Flying flying = std::move(ready.front());
        ready.pop_front();
        urbData = flying.urb;
        auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
        urb->status = flying.status;
        urb->actual_length = flying.actualLength;
        if (!flying.in.empty()) {
          // The resolved URB's buffer pointer now points at the local copy of the buffer.
          std::memcpy(static_cast<uint8_t*>(urb->buffer) + 8, flying.in.data(), flying.in.size());
        }
      }
    }
    if (urbData == nullptr) {
      umockdev_ioctl_client_complete(client, -1, EAGAIN);
      return TRUE;
    }
    DataRef pointer(Resolve(arg, 0, sizeof(void*)));
    if (pointer.data != nullptr) {
      umockdev_ioctl_data_set_ptr(pointer.data, 0, urbData);
    }
    umockdev_ioctl_data_unref(urbData);
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
  }

  gboolean Discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (static_cast<size_t>(arg->data_len) < sizeof(void*)) {
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return TRUE;
    }
    gulong address = 0;
    std::memcpy(&address, arg->data, sizeof(void*));
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = hanging.begin(); it != hanging.end(); ++it) {
      if (it->urb->client_addr == address) {
        discarded.push_back(it->urb);
        hanging.erase(it);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return TRUE;
  }

  static gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* device = static_cast<Device*>(self);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        DataRef caps(Resolve(arg, 0, sizeof(uint32_t)));
        if (caps.data == nullptr) {
          umockdev_ioctl_client_complete(client, -1, EFAULT);
          return TRUE;
        }
        const uint32_t value = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_ZERO_PACKET |
                               USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        std::memcpy(caps.data->data, &value, sizeof(value));
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      }
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE:
      case USBDEVFS_CLEAR_HALT:
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      case USBDEVFS_SUBMITURB:
        return device->Submit(client, arg);
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY:
        return device->Reap(client, arg);
      case USBDEVFS_DISCARDURB:
        return device->Discard(client, arg);
      default:
        return FALSE;
    }
  }

  MicroscopeSpec spec;
  MicroscopeModel model;
  UMockdevIoctlBase* handler = nullptr;
  std::string sysPath;
  std::string interfacePath;
  uint8_t address = 0;

  std::mutex mutex;
  std::deque<Flying> ready;
  std::vector<Flying> hanging;
  std::deque<UMockdevIoctlData*> discarded;
};

// A uvcvideo node of one microscope.
struct EmulatedBus::VideoNode {
  VideoNode(const VideoNodeSpec& spec, MicroscopeModel* model) : spec(spec), model(model) {}
  ~VideoNode() {
    if (handler != nullptr) {
      g_object_unref(handler);
    }
  }

  void QueryCap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    DataRef data(Resolve(arg, 0, sizeof(v4l2_capability)));
    if (data.data == nullptr || spec.queryCapFails) {
      umockdev_ioctl_client_complete(client, -1, spec.queryCapFails ? EIO : EFAULT);
      return;
    }
    v4l2_capability capability{};
    std::snprintf(reinterpret_cast<char*>(capability.driver), sizeof(capability.driver),
                  "uvcvideo");
    std::snprintf(reinterpret_cast<char*>(capability.card), sizeof(capability.card),
                  "Smart Zentri");
    capability.capabilities = spec.deviceCaps | V4L2_CAP_DEVICE_CAPS;
    capability.device_caps = spec.deviceCaps;
    std::memcpy(data.data->data, &capability, sizeof(capability));
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  void ControlQuery(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    DataRef queryData(Resolve(arg, 0, sizeof(uvc_xu_control_query)));
    if (queryData.data == nullptr) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    uvc_xu_control_query query;
    std::memcpy(&query, queryData.data->data, sizeof(query));
    if ((query.query != kUvcSetCur && query.query != kUvcGetCur) || query.size == 0) {
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return;
    }
    DataRef payload(Resolve(queryData.data, offsetof(uvc_xu_control_query, data), query.size));
    if (payload.data == nullptr) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    std::vector<uint8_t> buffer(payload.data->data, payload.data->data + query.size);
    const bool set = query.query == kUvcSetCur;
    const DeviceReply reply =
        model->Handle(Transport::kV4l2, set, query.unit, query.selector, buffer.data(), query.size);
    if (reply.kind != DeviceReply::kAccepted) {
      umockdev_ioctl_client_complete(client, -1, EPIPE);
      return;
    }
    if (reply.moved != query.size) {
      umockdev_ioctl_client_complete(client, -1, ENOBUFS);
      return;
    }
    if (!set) {
      umockdev_ioctl_data_update(payload.data, 0, buffer.data(), static_cast<int>(buffer.size()));
    }
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  void FocusControl(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool set) {
    DataRef data(Resolve(arg, 0, sizeof(v4l2_control)));
    if (data.data == nullptr) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    v4l2_control control;
    std::memcpy(&control, data.data->data, sizeof(control));
    if (control.id != V4L2_CID_FOCUS_ABSOLUTE) {
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return;
    }
    const bool ok = set ? model->V4l2SetFocus(control.value) : model->V4l2GetFocus(&control.value);
    if (!ok) {
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return;
    }
    if (!set) {
      umockdev_ioctl_data_update(data.data, 0, reinterpret_cast<guint8*>(&control),
                                 sizeof(control));
    }
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  static gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* node = static_cast<VideoNode*>(self);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    switch (request) {
      case VIDIOC_QUERYCAP:
        node->QueryCap(client, arg);
        return TRUE;
      case UVCIOC_CTRL_QUERY:
        node->ControlQuery(client, arg);
        return TRUE;
      case VIDIOC_G_CTRL:
        node->FocusControl(client, arg, false);
        return TRUE;
      case VIDIOC_S_CTRL:
        node->FocusControl(client, arg, true);
        return TRUE;
      default:
        return FALSE;
    }
  }

  VideoNodeSpec spec;
  MicroscopeModel* model;
  UMockdevIoctlBase* handler = nullptr;
};

EmulatedBus::EmulatedBus() : testbed_(std::make_unique<Testbed>()) {
  gchar* root = umockdev_testbed_get_root_dir(testbed_->bed);
  root_ = root;
  g_free(root);
}

EmulatedBus::~EmulatedBus() {
  // The test bed first: it stops the handler thread before the devices it calls go away.
  testbed_.reset();
  videoNodes_.clear();
  devices_.clear();
}

bool EmulatedBus::PreloadActive() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find("libumockdev-preload") != std::string::npos) {
      return true;
    }
  }
  return false;
}

void EmulatedBus::AddSysfsUsbEntry(
    const std::string& name, const std::vector<std::pair<std::string, std::string>>& attributes) {
  std::vector<const gchar*> list;
  for (const auto& attribute : attributes) {
    list.push_back(attribute.first.c_str());
    list.push_back(attribute.second.c_str());
  }
  list.push_back(nullptr);
  const gchar* properties[] = {"DEVTYPE", "usb_other", nullptr};
  gchar* sysPath = umockdev_testbed_add_devicev(testbed_->bed, "usb", name.c_str(), nullptr,
                                                const_cast<gchar**>(list.data()),
                                                const_cast<gchar**>(properties));
  Check(sysPath != nullptr, "add sysfs entry " + name);
  g_free(sysPath);
}

uint8_t EmulatedBus::Address(size_t index) const {
  return devices_.at(index)->address;
}

MicroscopeModel& EmulatedBus::AddMicroscope(const MicroscopeSpec& spec) {
  auto device = std::make_unique<Device>(spec);
  device->address = static_cast<uint8_t>(devices_.size() + 2);
  const std::string name = "1-" + std::to_string(devices_.size() + 1);
  char devName[64];
  std::snprintf(devName, sizeof(devName), "/dev/bus/usb/001/%03u", device->address);

  device->handler = umockdev_ioctl_base_new();
  g_signal_connect(device->handler, "handle-ioctl", G_CALLBACK(&Device::HandleIoctl), device.get());
  GError* error = nullptr;
  Check(umockdev_testbed_attach_ioctl(testbed_->bed, devName, device->handler, &error),
        "attach_ioctl");

  const std::string vendor = Hex4(spec.vendorId) + "\n";
  const std::string product = Hex4(spec.productId) + "\n";
  const std::string devnum = std::to_string(device->address) + "\n";
  const std::string configs = std::to_string(1 + spec.moreConfigurations.size()) + "\n";
  const std::string productProperty = Hex4(spec.vendorId) + "/" + Hex4(spec.productId) + "/100";
  const std::string devnumProperty = devName + 17;
  std::vector<const gchar*> attributes = {"idVendor",
                                          vendor.c_str(),
                                          "idProduct",
                                          product.c_str(),
                                          "busnum",
                                          "1\n",
                                          "devnum",
                                          devnum.c_str(),
                                          "speed",
                                          "480\n",
                                          "bConfigurationValue",
                                          "1\n",
                                          "bNumConfigurations",
                                          configs.c_str()};
  if (spec.sysfsSerial) {
    attributes.push_back("serial");
    attributes.push_back(spec.sysfsSerial->c_str());
  }
  attributes.push_back(nullptr);
  std::vector<const gchar*> properties = {"DEVNAME", devName,
                                          "DEVTYPE", "usb_device",
                                          "BUSNUM",  "001",
                                          "DEVNUM",  devnumProperty.c_str(),
                                          "PRODUCT", productProperty.c_str(),
                                          nullptr};
  gchar* sysPath = umockdev_testbed_add_devicev(testbed_->bed, "usb", name.c_str(), nullptr,
                                                const_cast<gchar**>(attributes.data()),
                                                const_cast<gchar**>(properties.data()));
  Check(sysPath != nullptr, "add usb device");
  device->sysPath = sysPath;
  g_free(sysPath);

  std::vector<uint8_t> descriptors = DeviceDescriptors(spec);
  umockdev_testbed_set_attribute_binary(testbed_->bed, device->sysPath.c_str(), "descriptors",
                                        descriptors.data(), static_cast<int>(descriptors.size()));
  if (spec.openable) {
    CreateEmptyFile(root_ + devName);
  }

  // The VideoControl interface: the parent of the device's video nodes.
  const std::string interfaceName = name + ":1.0";
  const gchar* interfaceAttributes[] = {"bInterfaceClass", "0e\n", "bInterfaceNumber", "00\n",
                                        nullptr};
  const gchar* interfaceProperties[] = {"DEVTYPE", "usb_interface", nullptr};
  gchar* interfacePath = umockdev_testbed_add_devicev(
      testbed_->bed, "usb", interfaceName.c_str(), device->sysPath.c_str(),
      const_cast<gchar**>(interfaceAttributes), const_cast<gchar**>(interfaceProperties));
  Check(interfacePath != nullptr, "add usb interface");
  device->interfacePath = interfacePath;
  g_free(interfacePath);

  devices_.push_back(std::move(device));
  return devices_.back()->model;
}

void EmulatedBus::AddVideoNode(size_t index, const VideoNodeSpec& spec) {
  Device& device = *devices_.at(index);
  auto node = std::make_unique<VideoNode>(spec, &device.model);
  const std::string devName = "/dev/" + spec.name;

  node->handler = umockdev_ioctl_base_new();
  g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(&VideoNode::HandleIoctl), node.get());
  GError* error = nullptr;
  Check(umockdev_testbed_attach_ioctl(testbed_->bed, devName.c_str(), node->handler, &error),
        "attach_ioctl video");

  const std::string dev = "81:" + std::to_string(videoNodes_.size()) + "\n";
  const gchar* attributes[] = {"name", "Smart Zentri\n", "dev", dev.c_str(), nullptr};
  const gchar* properties[] = {"DEVNAME", devName.c_str(), nullptr};
  gchar* sysPath = umockdev_testbed_add_devicev(
      testbed_->bed, "video4linux", spec.name.c_str(), device.interfacePath.c_str(),
      const_cast<gchar**>(attributes), const_cast<gchar**>(properties));
  Check(sysPath != nullptr, "add video node");
  std::string videoPath = sysPath;
  g_free(sysPath);
  CreateEmptyFile(root_ + devName);

  // umockdev does not make the "device" link; uvcvideo's points at the USB interface.
  Check(videoPath.compare(0, device.interfacePath.size() + 1, device.interfacePath + "/") == 0,
        "video node outside its interface: " + videoPath);
  std::string target;
  const std::string below = videoPath.substr(device.interfacePath.size() + 1);
  for (char c : below) {
    if (c == '/') {
      target += "../";
    }
  }
  target += "..";
  umockdev_testbed_set_attribute_link(testbed_->bed, videoPath.c_str(), "device", target.c_str());
  videoNodes_.push_back(std::move(node));
}

}  // namespace zentri_test
