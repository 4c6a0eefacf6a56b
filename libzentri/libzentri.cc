// libzentri: finds Zentri microscopes on USB and carries their vendor requests to the UVC
// extension unit, through the uvcvideo driver's UVCIOC_CTRL_QUERY or as USB class control
// transfers. All state is process-wide and lives in this file.
#include "zentri.h"

#include <fcntl.h>
#include <libusb.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device_parsing.h"

namespace zentri_native {
namespace {

constexpr uint16_t kVendorId = 0x636C;
constexpr uint16_t kFirstProductId = 0x9059;
constexpr uint16_t kLastProductId = 0x905F;
constexpr uint16_t kModelBase = 0x9058;
constexpr uint8_t kDefaultUnitId = 3;
constexpr int kApiVersion = 0x30000;

constexpr uint8_t kPropertySelector = 0x11;
constexpr uint8_t kShortRequestSelector = 0x0D;
constexpr uint8_t kLensGroupSelector = 0x08;
constexpr uint16_t kPropertyBlockSize = 10;
constexpr uint16_t kShortBlockSize = 4;
constexpr uint16_t kIdMask = 0x0FFF;
constexpr uint16_t kFlagQuery = 0x0000;
constexpr uint16_t kFlagSet = 0x8000;
constexpr uint16_t kFlagAuto = 0x4000;
constexpr uint16_t kFlagSave = 0x2000;

constexpr uint16_t kPropVersion = 0x001;
constexpr uint16_t kPropProtocol = 0x002;
constexpr uint16_t kPropProductionDate = 0x004;
constexpr uint16_t kPropAutoFocus = 0x010;
constexpr uint16_t kPropFocusPosition = 0x011;
constexpr uint16_t kPropFocusNear = 0x012;
constexpr uint16_t kPropFocusFar = 0x013;
constexpr uint16_t kPropScopeStatus = 0x030;
constexpr uint16_t kPropPixelSize = 0x031;
constexpr uint16_t kPropMirrorFlip = 0x070;
constexpr uint16_t kPropImageEffect = 0x071;
constexpr uint16_t kPropExposureLimits = 0x083;
constexpr uint16_t kPropManualShutter = 0x085;
constexpr uint16_t kPropManualGain = 0x086;
constexpr uint16_t kPropWhiteBalance = 0x0A0;
constexpr uint16_t kPropSensorRegister8 = 0x200;
constexpr uint16_t kPropSensorRegister32 = 0x201;

constexpr uint8_t kRequestLedOn = 0x10;
constexpr uint8_t kRequestLedOff = 0x12;
constexpr uint8_t kRequestAutoFocus = 0x25;
constexpr uint8_t kRequestFocusNear = 0x28;
constexpr uint8_t kRequestFocusFar = 0x29;

constexpr unsigned kUsbTimeoutMs = 1000;
constexpr long kRetryPauseNs = 25000000;

struct ContextDeleter {
  void operator()(libusb_context* context) const { libusb_exit(context); }
};
struct DeviceListDeleter {
  void operator()(libusb_device** list) const { libusb_free_device_list(list, 1); }
};
struct HandleDeleter {
  void operator()(libusb_device_handle* handle) const { libusb_close(handle); }
};
struct ConfigDeleter {
  void operator()(libusb_config_descriptor* config) const { libusb_free_config_descriptor(config); }
};
using UsbContext = std::unique_ptr<libusb_context, ContextDeleter>;
using UsbDeviceList = std::unique_ptr<libusb_device*, DeviceListDeleter>;
using UsbHandle = std::unique_ptr<libusb_device_handle, HandleDeleter>;
using UsbConfig = std::unique_ptr<libusb_config_descriptor, ConfigDeleter>;

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Objects with destructors are created once and never destroyed: another thread may still be
// inside the library when the process exits, and an exit-time destructor would free state under
// it. Closing the transport and the libusb context is Destroy's job.
template <typename T>
T& Persistent() {
  return *new T();
}

UsbContext& g_usbContext = Persistent<UsbContext>();
UsbDeviceList& g_deviceList = Persistent<UsbDeviceList>();
std::atomic<bool> g_initialized{false};
std::vector<libusb_device*>& g_devices = Persistent<std::vector<libusb_device*>>();
std::vector<uint8_t>& g_unitIds = Persistent<std::vector<uint8_t>>();
std::vector<uint8_t>& g_busNumbers = Persistent<std::vector<uint8_t>>();
std::vector<uint8_t>& g_deviceAddresses = Persistent<std::vector<uint8_t>>();
std::vector<std::wstring>& g_uniqueIds = Persistent<std::vector<std::wstring>>();
std::vector<std::wstring>& g_friendlyNames = Persistent<std::vector<std::wstring>>();
int g_selectedIndex = -1;
uint8_t g_selectedUnitId = kDefaultUnitId;
UsbHandle& g_selectedUsbDevice = Persistent<UsbHandle>();
UniqueFd& g_selectedVideoFd = Persistent<UniqueFd>();
std::string& g_selectedVideoPath = Persistent<std::string>();
std::atomic<uint8_t> g_ledState{1};
char g_lastErrorBuffer[256] = "";
// The buffer holds why the last selection failed (not a transfer's outcome); guarded by
// g_lastErrorMutex like the buffer.
bool g_lastErrorIsSelection = false;
std::mutex g_controlMutex;
std::mutex g_lastErrorMutex;

const wchar_t kUnknownText[] = L"?";

// Nothing may unwind through the C interface: an exception (a failing lock, an allocation)
// becomes the function's failure value.
template <typename Result, typename Body>
Result NoThrow(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

void PutU32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

uint32_t GetU32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// ---- Enumeration ----

void ClearEnumeration() {
  g_selectedUsbDevice.reset();
  g_selectedVideoFd.reset();
  g_selectedUnitId = kDefaultUnitId;
  g_selectedVideoPath.clear();
  g_selectedIndex = -1;
  g_devices.clear();
  g_unitIds.clear();
  g_busNumbers.clear();
  g_deviceAddresses.clear();
  g_uniqueIds.clear();
  g_friendlyNames.clear();
  g_deviceList.reset();
}

uint8_t FindExtensionUnitId(libusb_device* device, const libusb_device_descriptor& descriptor) {
  const unsigned configCount =
      descriptor.bNumConfigurations == 0 ? 1u : descriptor.bNumConfigurations;
  for (unsigned index = 0; index < configCount; ++index) {
    libusb_config_descriptor* raw = nullptr;
    if (libusb_get_config_descriptor(device, static_cast<uint8_t>(index), &raw) != 0 ||
        raw == nullptr) {
      continue;
    }
    UsbConfig config(raw);
    for (unsigned i = 0; i < config->bNumInterfaces && config->interface != nullptr; ++i) {
      const libusb_interface& interface = config->interface[i];
      for (int a = 0; a < interface.num_altsetting && interface.altsetting != nullptr; ++a) {
        const libusb_interface_descriptor& alt = interface.altsetting[a];
        if (alt.extra == nullptr || alt.extra_length < 16) {
          continue;
        }
        const int unit = FindExtensionUnitInExtra(alt.extra, static_cast<size_t>(alt.extra_length));
        if (unit >= 0) {
          return static_cast<uint8_t>(unit);
        }
      }
    }
  }
  return kDefaultUnitId;
}

// The serial of the device from sysfs: the USB device directory whose busnum and devnum match.
std::string ReadSysfsSerial(uint8_t bus, uint8_t address) {
  const std::string root = "/sys/bus/usb/devices/";
  for (const std::string& name : ListDirectorySorted(root)) {
    const std::string directory = root + name + "/";
    uint32_t busNumber = 0;
    uint32_t deviceNumber = 0;
    if (!ReadSysfsNumber(directory + "busnum", &busNumber) || busNumber != bus) {
      continue;
    }
    if (!ReadSysfsNumber(directory + "devnum", &deviceNumber) || deviceNumber != address) {
      continue;
    }
    std::string serial;
    if (!ReadFirstLine(directory + "serial", 127, &serial)) {
      return std::string();
    }
    while (!serial.empty() && (serial.back() == '\n' || serial.back() == '\r')) {
      serial.pop_back();
    }
    return serial;
  }
  return std::string();
}

// Converts from the current multibyte encoding; a byte that does not convert becomes '?', so a
// serial in another encoding still gives a stable id instead of none.
std::wstring WidenSerial(const std::string& serial) {
  std::wstring wide;
  std::mbstate_t state{};
  size_t offset = 0;
  while (offset < serial.size() && wide.size() < 127) {
    wchar_t character = 0;
    size_t used = std::mbrtowc(&character, serial.data() + offset, serial.size() - offset, &state);
    if (used == 0) {
      break;
    }
    if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2)) {
      character = L'?';
      used = 1;
      state = std::mbstate_t{};
    }
    wide.push_back(character);
    offset += used;
  }
  return wide;
}

std::wstring BuildUniqueId(libusb_device_handle* handle, const libusb_device_descriptor& descriptor,
                           uint8_t bus, uint8_t address) {
  wchar_t prefix[192];
  std::swprintf(prefix, 192, L"usb#vid_%04x&pid_%04x", static_cast<unsigned>(descriptor.idVendor),
                static_cast<unsigned>(descriptor.idProduct));

  std::string serial;
  if (handle != nullptr && descriptor.iSerialNumber != 0) {
    unsigned char text[128] = {};
    const int length =
        libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof(text));
    if (length > 0) {
      const size_t bounded = std::min(static_cast<size_t>(length), sizeof(text) - 1);
      serial.assign(reinterpret_cast<const char*>(text),
                    strnlen(reinterpret_cast<const char*>(text), bounded));
    }
  }
  if (serial.empty()) {
    serial = ReadSysfsSerial(bus, address);
  }
  if (serial.empty()) {
    return prefix;
  }
  wchar_t id[192];
  std::swprintf(id, 192, L"%ls#%ls", prefix, WidenSerial(serial).c_str());
  return id;
}

std::wstring BuildFriendlyName(uint16_t productId) {
  wchar_t name[64];
  std::swprintf(name, 64, L"Smart Zentri Z%u", static_cast<unsigned>(productId - kModelBase));
  return name;
}

int InitLocked() {
  if (!g_usbContext) {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0 || context == nullptr) {
      std::fputs("Failed to initialize libusb\n", stderr);
      return 0;
    }
    g_usbContext.reset(context);
  }
  g_initialized = false;
  ClearEnumeration();

  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(g_usbContext.get(), &list);
  if (count < 0) {
    return 0;
  }
  g_deviceList.reset(list);

  // Built aside and moved in at the end, so that the six tables stay parallel even if an
  // allocation fails half-way.
  std::vector<libusb_device*> devices;
  std::vector<uint8_t> unitIds;
  std::vector<uint8_t> busNumbers;
  std::vector<uint8_t> deviceAddresses;
  std::vector<std::wstring> uniqueIds;
  std::vector<std::wstring> friendlyNames;
  for (ssize_t i = 0; i < count && list[i] != nullptr; ++i) {
    libusb_device* device = list[i];
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0) {
      continue;
    }
    if (descriptor.idVendor != kVendorId || descriptor.idProduct < kFirstProductId ||
        descriptor.idProduct > kLastProductId) {
      continue;
    }
    // Opened only to read the serial string; a device that does not open is still listed.
    libusb_device_handle* rawHandle = nullptr;
    UsbHandle handle;
    if (libusb_open(device, &rawHandle) == 0) {
      handle.reset(rawHandle);
    }
    const uint8_t bus = libusb_get_bus_number(device);
    const uint8_t address = libusb_get_device_address(device);
    devices.push_back(device);
    unitIds.push_back(FindExtensionUnitId(device, descriptor));
    busNumbers.push_back(bus);
    deviceAddresses.push_back(address);
    uniqueIds.push_back(BuildUniqueId(handle.get(), descriptor, bus, address));
    friendlyNames.push_back(BuildFriendlyName(descriptor.idProduct));
  }
  g_devices = std::move(devices);
  g_unitIds = std::move(unitIds);
  g_busNumbers = std::move(busNumbers);
  g_deviceAddresses = std::move(deviceAddresses);
  g_uniqueIds = std::move(uniqueIds);
  g_friendlyNames = std::move(friendlyNames);
  g_initialized = true;
  std::printf("%zu Zentri devices found\n", g_devices.size());
  std::fflush(stdout);
  return 1;
}

// ---- Selection ----

void StoreSelectionFailure(const std::string& message) {
  std::lock_guard<std::mutex> lock(g_lastErrorMutex);
  std::snprintf(g_lastErrorBuffer, sizeof(g_lastErrorBuffer), "%s", message.c_str());
  g_lastErrorIsSelection = true;
}

// A selection that opened a transport retires the reason an earlier one failed; the outcome of
// the last transfer stays.
void ClearSelectionFailure() {
  std::lock_guard<std::mutex> lock(g_lastErrorMutex);
  if (g_lastErrorIsSelection) {
    g_lastErrorBuffer[0] = '\0';
    g_lastErrorIsSelection = false;
  }
}

// Opens the V4L2 capture node that belongs to the USB device at bus/address, or returns -1.
// Nodes of that device that this user may not open are appended to `denied`.
int OpenMatchingVideoDevice(uint8_t bus, uint8_t address, std::vector<std::string>* denied) {
  for (const std::string& name : ListDirectorySorted("/dev")) {
    if (name.compare(0, 5, "video") != 0) {
      continue;
    }
    const std::string path = "/dev/" + name;
    // The node's "device" link names the USB interface; its parent is the USB device.
    const std::string directory = "/sys/class/video4linux/" + name + "/device/../";
    uint32_t busNumber = 0;
    uint32_t deviceNumber = 0;
    if (!ReadSysfsNumber(directory + "busnum", &busNumber) ||
        !ReadSysfsNumber(directory + "devnum", &deviceNumber) || busNumber != bus ||
        deviceNumber != address) {
      continue;
    }
    UniqueFd fd(open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
      if (errno == EACCES || errno == EPERM) {
        denied->push_back(path);
      }
      continue;
    }
    v4l2_capability capability{};
    if (ioctl(fd.get(), VIDIOC_QUERYCAP, &capability) != 0) {
      continue;
    }
    // uvcvideo gives each camera a capture node and a metadata node with the same
    // "capabilities"; only device_caps tells them apart.
    const uint32_t caps =
        capability.device_caps != 0 ? capability.device_caps : capability.capabilities;
    if ((caps & V4L2_CAP_VIDEO_CAPTURE) != 0) {
      g_selectedVideoPath = path;
      return fd.release();
    }
  }
  return -1;
}

int SelectLocked(int index) {
  if (!g_initialized || static_cast<unsigned>(index) >= g_devices.size()) {
    return 0;
  }
  if (index == g_selectedIndex) {
    return 1;
  }
  g_selectedUsbDevice.reset();
  g_selectedVideoFd.reset();
  g_selectedVideoPath.clear();
  g_selectedIndex = -1;
  g_selectedUnitId = g_unitIds[index];

  std::vector<std::string> denied;
  const int fd = OpenMatchingVideoDevice(g_busNumbers[index], g_deviceAddresses[index], &denied);
  if (fd >= 0) {
    g_selectedVideoFd.reset(fd);
    g_selectedIndex = index;
    ClearSelectionFailure();
    std::fprintf(stderr, "Zentri controls using %s (V4L2 XU)\n", g_selectedVideoPath.c_str());
    return 1;
  }
  libusb_device_handle* handle = nullptr;
  const int opened = libusb_open(g_devices[index], &handle);
  if (opened == 0 && handle != nullptr) {
    g_selectedUsbDevice.reset(handle);
    g_selectedIndex = index;
    ClearSelectionFailure();
    return 1;
  }
  if (opened == LIBUSB_ERROR_ACCESS) {
    char usbNode[32];
    std::snprintf(usbNode, sizeof(usbNode), "/dev/bus/usb/%03u/%03u", g_busNumbers[index],
                  g_deviceAddresses[index]);
    denied.push_back(usbNode);
  }
  std::fputs("Could not open Zentri control transport\n", stderr);
  // The caller sees only a failed selection; the reason goes to the last-error text and, since
  // a missing permission is the usual one and the user can fix it, to standard error as well.
  std::string cause;
  if (!denied.empty()) {
    cause = "permission denied on ";
    for (size_t i = 0; i < denied.size(); ++i) {
      cause += (i == 0 ? "" : i + 1 == denied.size() ? " and " : ", ") + denied[i];
    }
    cause += " (install the Zentri udev rules, then re-plug the microscope)";
    std::fprintf(stderr, "Zentri: %s\n", cause.c_str());
  } else {
    char text[64];
    std::snprintf(text, sizeof(text), "libusb error %d (%s)", opened, LibusbResultName(opened));
    cause = text;
  }
  StoreSelectionFailure("Could not open Zentri control transport: " + cause);
  return 0;
}

// ---- Transfers ----

bool HasTransport() {
  return g_selectedVideoFd.get() >= 0 || g_selectedUsbDevice != nullptr;
}

void StoreTransferOutcome(const char* message) {
  std::lock_guard<std::mutex> lock(g_lastErrorMutex);
  std::snprintf(g_lastErrorBuffer, sizeof(g_lastErrorBuffer), "%s", message);
  g_lastErrorIsSelection = false;
}

// One extension-unit transfer on the open transport. The caller holds g_controlMutex.
bool TransferControlOnce(bool set, uint8_t selector, uint8_t* data, uint16_t length) {
  char message[256] = "";
  bool ok = false;
  const char* direction = set ? "SET" : "GET";
  const unsigned unit = g_selectedUnitId;
  if (g_selectedVideoFd.get() >= 0) {
    uvc_xu_control_query query{};
    query.unit = g_selectedUnitId;
    query.selector = selector;
    query.query = set ? UVC_SET_CUR : UVC_GET_CUR;
    query.size = length;
    query.data = data;
    if (ioctl(g_selectedVideoFd.get(), UVCIOC_CTRL_QUERY, &query) == 0) {
      ok = true;
    } else {
      const int error = errno;
      char reason[128];
      const char* text = strerror_r(error, reason, sizeof(reason));
      std::snprintf(message, sizeof(message),
                    "Zentri XU %s selector 0x%02x unit %u failed (errno %d: %s)", direction,
                    selector, unit, error, text);
    }
  } else if (g_selectedUsbDevice) {
    const uint8_t requestType = set ? 0x21 : 0xA1;
    const uint8_t request = set ? UVC_SET_CUR : UVC_GET_CUR;
    // wIndex: the unit id in the high byte, the VideoControl interface (0) in the low byte.
    const int result = libusb_control_transfer(
        g_selectedUsbDevice.get(), requestType, request, static_cast<uint16_t>(selector << 8),
        static_cast<uint16_t>(g_selectedUnitId << 8), data, length, kUsbTimeoutMs);
    if (result == static_cast<int>(length)) {
      ok = true;
    } else {
      std::snprintf(message, sizeof(message),
                    "Zentri XU %s selector 0x%02x unit %u failed: libusb error %d (%s)", direction,
                    selector, unit, result, LibusbResultName(result));
    }
  } else {
    std::snprintf(message, sizeof(message), "No Zentri control transport is selected");
  }
  StoreTransferOutcome(ok ? "" : message);
  return ok;
}

// The pause before a second attempt: 25 ms, resumed after signals.
void RetryPause() {
  timespec request{0, kRetryPauseNs};
  timespec remaining{};
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR) {
    request = remaining;
  }
}

bool TransferWithRetry(bool set, uint8_t selector, uint8_t* data, uint16_t length) {
  if (TransferControlOnce(set, selector, data, length)) {
    return true;
  }
  RetryPause();
  return TransferControlOnce(set, selector, data, length);
}

void FillPropertyBlock(uint8_t* block, uint16_t id, uint16_t flag, uint32_t word0, uint32_t word1) {
  PutU32(block, word0);
  PutU32(block + 4, word1);
  const uint16_t command = static_cast<uint16_t>((id & kIdMask) | flag);
  block[8] = static_cast<uint8_t>(command & 0xFF);
  block[9] = static_cast<uint8_t>(command >> 8);
}

// Set then get of one property block, both halves under one hold of the lock so that no other
// request can slip between them.
bool PropertyQuery(int id, uint32_t word0, uint32_t word1, uint32_t* result0, uint32_t* result1) {
  std::lock_guard<std::mutex> lock(g_controlMutex);
  if (!HasTransport()) {
    return false;
  }
  uint8_t block[kPropertyBlockSize];
  FillPropertyBlock(block, static_cast<uint16_t>(id), kFlagQuery, word0, word1);
  if (!TransferWithRetry(true, kPropertySelector, block, kPropertyBlockSize)) {
    return false;
  }
  if (!TransferWithRetry(false, kPropertySelector, block, kPropertyBlockSize)) {
    return false;
  }
  if (result0 != nullptr) {
    *result0 = GetU32(block);
  }
  if (result1 != nullptr) {
    *result1 = GetU32(block + 4);
  }
  return true;
}

bool PropertyCommand(int id, uint16_t flag, uint32_t word0, uint32_t word1) {
  std::lock_guard<std::mutex> lock(g_controlMutex);
  if (!HasTransport()) {
    return false;
  }
  uint8_t block[kPropertyBlockSize];
  FillPropertyBlock(block, static_cast<uint16_t>(id), flag, word0, word1);
  return TransferWithRetry(true, kPropertySelector, block, kPropertyBlockSize);
}

bool ShortRequest(uint8_t code) {
  std::lock_guard<std::mutex> lock(g_controlMutex);
  if (!HasTransport()) {
    return false;
  }
  uint8_t block[kShortBlockSize] = {0, 0, 0, code};
  return TransferWithRetry(true, kShortRequestSelector, block, kShortBlockSize);
}

bool GetProperty(uint16_t id, uint32_t* word0, uint32_t* word1) {
  return PropertyQuery(id, 0, 0, word0, word1);
}

// An action offered both as a property set and, by older firmware, as a short request.
bool PropertyActionWithFallback(uint16_t id, uint8_t code) {
  return PropertyCommand(id, kFlagSet, 1, 0) || ShortRequest(code);
}

bool PixelSizeInfo(float* micronsPerPixel, uint16_t* width, uint16_t* height) {
  uint32_t word0 = 0;
  uint32_t word1 = 0;
  if (!GetProperty(kPropPixelSize, &word0, &word1)) {
    return false;
  }
  float value = 0.0f;
  static_assert(sizeof(value) == sizeof(word0), "pixel size travels as an IEEE-754 single");
  std::memcpy(&value, &word0, sizeof(value));
  *micronsPerPixel = value;
  *width = static_cast<uint16_t>(word1 >> 16);
  *height = static_cast<uint16_t>(word1 & 0xFFFF);
  return std::isfinite(value) && value > 0.0f;
}

int ScopeStatus() {
  uint32_t word0 = 0;
  return GetProperty(kPropScopeStatus, &word0, nullptr) ? static_cast<int>(word0) : -1;
}

}  // namespace
}  // namespace zentri_native

using namespace zentri_native;  // NOLINT: the exported functions below live at global scope.

extern "C" {

int Init(void) {
  return NoThrow(0, [] {
    std::lock_guard<std::mutex> lock(g_controlMutex);
    return InitLocked();
  });
}

void Destroy(void) {
  NoThrow(0, [] {
    std::lock_guard<std::mutex> lock(g_controlMutex);
    ClearEnumeration();
    g_usbContext.reset();
    g_initialized = false;
    return 0;
  });
}

int GetDevicesCount(void) {
  return g_initialized ? static_cast<int>(g_devices.size()) : 0;
}

const wchar_t* GetDeviceUniqueId(int index) {
  if (!g_initialized || static_cast<unsigned>(index) >= g_uniqueIds.size()) {
    return kUnknownText;
  }
  return g_uniqueIds[index].c_str();
}

const wchar_t* GetDeviceFriendlyName(int index) {
  if (!g_initialized || static_cast<unsigned>(index) >= g_friendlyNames.size()) {
    return kUnknownText;
  }
  return g_friendlyNames[index].c_str();
}

int SelectDeviceNumber(int index) {
  return NoThrow(0, [index] {
    std::lock_guard<std::mutex> lock(g_controlMutex);
    return SelectLocked(index);
  });
}

const char* GetLastErrorString(void) {
  // A copy per calling thread, taken under the lock: a transfer on another thread may rewrite
  // the shared buffer at any moment, and reading it in place would race with that write.
  thread_local char snapshot[sizeof(g_lastErrorBuffer)] = "";
  NoThrow(0, [] {
    std::lock_guard<std::mutex> lock(g_lastErrorMutex);
    std::memcpy(snapshot, g_lastErrorBuffer, sizeof(snapshot));
    return 0;
  });
  return snapshot;
}

int QueryExtensionProperty(int id, uint32_t word0, uint32_t word1, uint32_t* result0,
                           uint32_t* result1) {
  return NoThrow(0, [&] { return PropertyQuery(id, word0, word1, result0, result1) ? 1 : 0; });
}

int GetExtensionProperty(uint16_t id, uint32_t* result0, uint32_t* result1) {
  if (result0 == nullptr) {
    return 0;
  }
  return NoThrow(0, [&] { return GetProperty(id, result0, result1) ? 1 : 0; });
}

int SetExtensionProperty(int id, uint32_t word0, uint32_t word1) {
  return NoThrow(0, [&] { return PropertyCommand(id, kFlagSet, word0, word1) ? 1 : 0; });
}

int AutoExtensionProperty(int id, uint32_t word0, uint32_t word1) {
  return NoThrow(0, [&] { return PropertyCommand(id, kFlagAuto, word0, word1) ? 1 : 0; });
}

int SaveExtensionProperty(int id, uint32_t word0, uint32_t word1) {
  return NoThrow(0, [&] { return PropertyCommand(id, kFlagSave, word0, word1) ? 1 : 0; });
}

int GetApiVersion(void) {
  return kApiVersion;
}

int GetVersionInfo(uint16_t* productId, uint8_t* hardwareMajor, uint8_t* hardwareMinor,
                   uint16_t* softwareMajor, uint8_t* softwareMinor, uint8_t* softwarePatch) {
  if (productId == nullptr || hardwareMajor == nullptr || hardwareMinor == nullptr ||
      softwareMajor == nullptr || softwareMinor == nullptr || softwarePatch == nullptr) {
    return 0;
  }
  return NoThrow(0, [&] {
    uint32_t word0 = 0;
    uint32_t word1 = 0;
    if (!GetProperty(kPropVersion, &word0, &word1)) {
      return 0;
    }
    *productId = static_cast<uint16_t>(word1 >> 16);
    *hardwareMajor = static_cast<uint8_t>(word1 >> 8);
    *hardwareMinor = static_cast<uint8_t>(word1);
    *softwareMajor = static_cast<uint16_t>(word0 >> 16);
    *softwareMinor = static_cast<uint8_t>(word0 >> 8);
    *softwarePatch = static_cast<uint8_t>(word0);
    return 1;
  });
}

int GetProtocolVersionInfo(uint16_t* major, uint8_t* minor, uint8_t* patch) {
  if (major == nullptr || minor == nullptr || patch == nullptr) {
    return 0;
  }
  return NoThrow(0, [&] {
    uint32_t word0 = 0;
    if (!GetProperty(kPropProtocol, &word0, nullptr)) {
      return 0;
    }
    *major = static_cast<uint16_t>(word0 >> 16);
    *minor = static_cast<uint8_t>(word0 >> 8);
    *patch = static_cast<uint8_t>(word0);
    return 1;
  });
}

int GetProductionDate(void) {
  return NoThrow(0, [] {
    uint32_t word0 = 0;
    return GetProperty(kPropProductionDate, &word0, nullptr) ? static_cast<int>(word0) : 0;
  });
}

int GetScopeStatus(void) {
  return NoThrow(-1, [] { return ScopeStatus(); });
}

int GetScopeStatusInfo(uint8_t* middleField, uint8_t* topField, uint16_t* lowField) {
  if (middleField == nullptr || topField == nullptr || lowField == nullptr) {
    return 0;
  }
  return NoThrow(0, [&] {
    const int status = ScopeStatus();
    if (status == -1) {
      return 0;
    }
    const uint32_t word = static_cast<uint32_t>(status);
    *topField = static_cast<uint8_t>((word >> 24) & 0x3F);
    *middleField = static_cast<uint8_t>(word >> 16);
    *lowField = static_cast<uint16_t>(word);
    return 1;
  });
}

int GetPixelSizeInfo(float* micronsPerPixel, uint16_t* width, uint16_t* height) {
  if (micronsPerPixel == nullptr || width == nullptr || height == nullptr) {
    return 0;
  }
  return NoThrow(0, [&] { return PixelSizeInfo(micronsPerPixel, width, height) ? 1 : 0; });
}

float GetPixelSizeMicrons(void) {
  return NoThrow(-1.0f, [] {
    float value = 0.0f;
    uint16_t width = 0;
    uint16_t height = 0;
    return PixelSizeInfo(&value, &width, &height) ? value : -1.0f;
  });
}

int GetLensGroupInfo(uint16_t* lensDriver, uint8_t* lensGroup, void* /*reserved*/) {
  if (lensDriver == nullptr || lensGroup == nullptr) {
    return 0;
  }
  return NoThrow(0, [&] {
    std::lock_guard<std::mutex> lock(g_controlMutex);
    if (!HasTransport()) {
      return 0;
    }
    uint8_t reply[4] = {};
    if (!TransferWithRetry(false, kLensGroupSelector, reply, sizeof(reply))) {
      return 0;
    }
    const uint32_t word = GetU32(reply);
    *lensDriver = static_cast<uint16_t>(word >> 16);
    *lensGroup = static_cast<uint8_t>(word);
    return 1;
  });
}

int IsCapturePressed(void) {
  return NoThrow(0, [] {
    std::lock_guard<std::mutex> lock(g_controlMutex);
    if (!HasTransport()) {
      return 0;
    }
    // Some firmware answers the status selector with one byte only: after two 4-byte attempts,
    // ask for one byte, twice.
    uint8_t reply[4] = {};
    bool ok = TransferControlOnce(false, kShortRequestSelector, reply, 4);
    if (!ok) {
      RetryPause();
      ok = TransferControlOnce(false, kShortRequestSelector, reply, 4);
    }
    if (!ok) {
      ok = TransferControlOnce(false, kShortRequestSelector, reply, 1);
    }
    if (!ok) {
      RetryPause();
      ok = TransferControlOnce(false, kShortRequestSelector, reply, 1);
    }
    return ok && (reply[0] & 0x81) == 0x81 ? 1 : 0;
  });
}

int TriggerAutoFocus(void) {
  return NoThrow(0, [] { return PropertyActionWithFallback(kPropAutoFocus, kRequestAutoFocus); });
}

int GetFocusPosition(uint16_t* position) {
  if (position == nullptr) {
    return 0;
  }
  return NoThrow(0, [&] {
    {
      // The driver's standard focus control first; the lock is released before the fallback,
      // which takes it again.
      std::lock_guard<std::mutex> lock(g_controlMutex);
      if (!HasTransport()) {
        return 0;
      }
      if (g_selectedVideoFd.get() >= 0) {
        v4l2_control control{};
        control.id = V4L2_CID_FOCUS_ABSOLUTE;
        if (ioctl(g_selectedVideoFd.get(), VIDIOC_G_CTRL, &control) == 0 && control.value >= 0 &&
            control.value < 256) {
          *position = static_cast<uint16_t>(control.value);
          return 1;
        }
      }
    }
    uint32_t word0 = 0;
    if (!GetProperty(kPropFocusPosition, &word0, nullptr)) {
      return 0;
    }
    *position = static_cast<uint16_t>(word0);
    return 1;
  });
}

int SetFocusPosition(uint16_t position) {
  if (position >= 256) {
    return 0;
  }
  return NoThrow(0, [position] {
    {
      std::lock_guard<std::mutex> lock(g_controlMutex);
      if (!HasTransport()) {
        return 0;
      }
      if (g_selectedVideoFd.get() >= 0) {
        v4l2_control control{};
        control.id = V4L2_CID_FOCUS_ABSOLUTE;
        control.value = position;
        if (ioctl(g_selectedVideoFd.get(), VIDIOC_S_CTRL, &control) == 0) {
          v4l2_control readBack{};
          readBack.id = V4L2_CID_FOCUS_ABSOLUTE;
          if (ioctl(g_selectedVideoFd.get(), VIDIOC_G_CTRL, &readBack) != 0) {
            return 1;
          }
          return readBack.value == position ? 1 : 0;
        }
      }
    }
    return PropertyCommand(kPropFocusPosition, kFlagSet, position, 0) ? 1 : 0;
  });
}

int FocusNearStep(void) {
  return NoThrow(0, [] { return PropertyActionWithFallback(kPropFocusNear, kRequestFocusNear); });
}

int FocusFarStep(void) {
  return NoThrow(0, [] { return PropertyActionWithFallback(kPropFocusFar, kRequestFocusFar); });
}

int GetLedState(int* on) {
  if (on == nullptr) {
    return 0;
  }
  *on = g_ledState.load() != 0 ? 1 : 0;
  return 1;
}

int SetLedState(int on) {
  return NoThrow(0, [on] {
    if (!ShortRequest(on != 0 ? kRequestLedOn : kRequestLedOff)) {
      return 0;
    }
    g_ledState.exchange(on != 0 ? 1 : 0);
    return 1;
  });
}

int GetMirrorFlipMode(uint8_t* mode) {
  if (mode == nullptr) {
    return 0;
  }
  return NoThrow(0, [&] {
    uint32_t word0 = 0;
    if (!GetProperty(kPropMirrorFlip, &word0, nullptr)) {
      return 0;
    }
    *mode = static_cast<uint8_t>(word0);
    return 1;
  });
}

int SetMirrorFlipMode(uint8_t mode) {
  if (mode > 2) {
    return 0;
  }
  return NoThrow(0, [mode] { return PropertyCommand(kPropMirrorFlip, kFlagSet, mode, 0) ? 1 : 0; });
}

int GetImageEffect(uint8_t* effect) {
  if (effect == nullptr) {
    return 0;
  }
  return NoThrow(0, [&] {
    uint32_t word0 = 0;
    if (!GetProperty(kPropImageEffect, &word0, nullptr)) {
      return 0;
    }
    *effect = static_cast<uint8_t>(word0);
    return 1;
  });
}

int SetImageEffect(uint8_t effect) {
  if (effect > 23) {
    return 0;
  }
  return NoThrow(
      0, [effect] { return PropertyCommand(kPropImageEffect, kFlagSet, effect, 0) ? 1 : 0; });
}

int GetExposureLimits(uint16_t* minimum, uint16_t* maximum) {
  if (minimum == nullptr || maximum == nullptr) {
    return 0;
  }
  return NoThrow(0, [&] {
    uint32_t word0 = 0;
    uint32_t word1 = 0;
    if (!GetProperty(kPropExposureLimits, &word0, &word1)) {
      return 0;
    }
    *minimum = static_cast<uint16_t>(word1);
    *maximum = static_cast<uint16_t>(word0);
    return 1;
  });
}

int SetExposureLimits(uint16_t minimum, uint16_t maximum) {
  if (minimum > maximum) {
    return 0;
  }
  return NoThrow(
      0, [&] { return PropertyCommand(kPropExposureLimits, kFlagSet, maximum, minimum) ? 1 : 0; });
}

int ResetExposureLimits(void) {
  return NoThrow(0, [] { return PropertyCommand(kPropExposureLimits, kFlagAuto, 0, 0) ? 1 : 0; });
}

int GetManualShutter(uint32_t* value) {
  if (value == nullptr) {
    return 0;
  }
  return NoThrow(0, [&] { return GetProperty(kPropManualShutter, value, nullptr) ? 1 : 0; });
}

int SetManualShutter(uint32_t value) {
  if (value > 63) {
    return 0;
  }
  return NoThrow(
      0, [value] { return PropertyCommand(kPropManualShutter, kFlagSet, value, 0) ? 1 : 0; });
}

int ResetManualShutter(void) {
  return NoThrow(0, [] { return PropertyCommand(kPropManualShutter, kFlagAuto, 0, 0) ? 1 : 0; });
}

int GetManualGain(uint32_t* value) {
  if (value == nullptr) {
    return 0;
  }
  return NoThrow(0, [&] { return GetProperty(kPropManualGain, value, nullptr) ? 1 : 0; });
}

int SetManualGain(int value) {
  return NoThrow(0, [value] {
    return PropertyCommand(kPropManualGain, kFlagSet, static_cast<uint32_t>(value), 0) ? 1 : 0;
  });
}

int ResetManualGain(void) {
  return NoThrow(0, [] { return PropertyCommand(kPropManualGain, kFlagAuto, 0, 0) ? 1 : 0; });
}

int GetWhiteBalanceRgb(uint16_t* red, uint16_t* green, uint16_t* blue) {
  if (red == nullptr || green == nullptr || blue == nullptr) {
    return 0;
  }
  return NoThrow(0, [&] {
    uint32_t word0 = 0;
    uint32_t word1 = 0;
    if (!GetProperty(kPropWhiteBalance, &word0, &word1)) {
      return 0;
    }
    *red = static_cast<uint16_t>(word1);
    *green = static_cast<uint16_t>(word0 >> 16);
    *blue = static_cast<uint16_t>(word0);
    return 1;
  });
}

int SetWhiteBalanceRgb(uint16_t red, uint16_t green, uint16_t blue) {
  if (red > 0x0FFF || green > 0x0FFF || blue > 0x0FFF) {
    return 0;
  }
  return NoThrow(0, [&] {
    const uint32_t word0 = (static_cast<uint32_t>(green) << 16) | blue;
    return PropertyCommand(kPropWhiteBalance, kFlagSet, word0, red) ? 1 : 0;
  });
}

int ResetWhiteBalanceRgb(void) {
  return NoThrow(0, [] { return PropertyCommand(kPropWhiteBalance, kFlagAuto, 0, 0) ? 1 : 0; });
}

int ReadSensorRegister8(uint16_t address, uint8_t* value) {
  if (value == nullptr) {
    return 0;
  }
  return NoThrow(0, [&] {
    uint32_t word0 = 0;
    if (!PropertyQuery(kPropSensorRegister8, 0, address, &word0, nullptr)) {
      return 0;
    }
    *value = static_cast<uint8_t>(word0);
    return 1;
  });
}

int WriteSensorRegister8(uint16_t address, uint8_t value) {
  return NoThrow(
      0, [&] { return PropertyCommand(kPropSensorRegister8, kFlagSet, value, address) ? 1 : 0; });
}

int ReadSensorRegister32(uint32_t address, uint32_t* value) {
  if (value == nullptr) {
    return 0;
  }
  return NoThrow(
      0, [&] { return PropertyQuery(kPropSensorRegister32, 0, address, value, nullptr) ? 1 : 0; });
}

int WriteSensorRegister32(uint32_t address, uint32_t value) {
  return NoThrow(
      0, [&] { return PropertyCommand(kPropSensorRegister32, kFlagSet, value, address) ? 1 : 0; });
}

}  // extern "C"

int SendRequest(uint8_t code) {
  return NoThrow(0, [code] { return ShortRequest(code) ? 1 : 0; });
}
