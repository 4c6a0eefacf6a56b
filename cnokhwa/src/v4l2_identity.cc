#include "v4l2_identity.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "v4l2_io.h"

namespace cnokhwa {
namespace {

constexpr const char* kSysClassDir = "/sys/class/video4linux";
constexpr const char* kByIdDir = "/dev/v4l/by-id";
constexpr const char* kUsbPrefix = "usb:";
constexpr const char* kBusPrefix = "v4l2:";

bool IsHexId(const std::string& text) {
  return text.size() == 4 && std::all_of(text.begin(), text.end(),
                                         [](unsigned char c) { return std::isxdigit(c) != 0; });
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

std::vector<std::string> ListVideoNodes() {
  std::vector<std::pair<long, std::string>> nodes;
  DIR* dir = opendir(kSysClassDir);
  if (dir == nullptr) {
    return {};
  }
  while (dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strncmp(name, "video", 5) != 0 || name[5] == '\0') {
      continue;
    }
    char* end = nullptr;
    const long number = std::strtol(name + 5, &end, 10);
    if (*end != '\0' || number < 0) {
      continue;
    }
    nodes.emplace_back(number, name);
  }
  closedir(dir);
  std::sort(nodes.begin(), nodes.end());
  std::vector<std::string> names;
  for (auto& node : nodes) {
    names.push_back(std::move(node.second));
  }
  return names;
}

NodeLocation LocateNode(const std::string& name) {
  NodeLocation location;
  location.name = name;
  // The class entry's "device" link points at the USB interface; its parent is the USB device.
  const std::string node = std::string(kSysClassDir) + "/" + name + "/";
  const std::string interface = node + "device/";
  const std::string usb = interface + "../";
  const std::string vendor = ReadSmallFile(usb + "idVendor");
  const std::string product = ReadSmallFile(usb + "idProduct");
  if (!IsHexId(vendor) || !IsHexId(product)) {
    return location;
  }
  location.usb = true;
  location.vendorId = Lower(vendor);
  location.productId = Lower(product);
  const std::string serial = ReadSmallFile(usb + "serial");
  std::string where;
  if (!serial.empty()) {
    where = "serial=" + serial;
  } else {
    // Without a serial number only the port tells two cameras of one model apart.
    where = "port=" + ReadSmallFile(usb + "busnum") + "-" + ReadSmallFile(usb + "devpath");
  }
  location.identity = std::string(kUsbPrefix) + location.vendorId + ":" + location.productId + ":" +
                      where + ":if=" + ReadSmallFile(interface + "bInterfaceNumber") +
                      ":index=" + ReadSmallFile(node + "index");
  return location;
}

std::string NodeIdentity(const NodeLocation& location, const v4l2_capability& caps) {
  if (location.usb) {
    return location.identity;
  }
  return std::string(kBusPrefix) + FixedString(caps.bus_info, sizeof(caps.bus_info)) + ":" +
         FixedString(caps.card, sizeof(caps.card)) +
         ":index=" + ReadSmallFile(std::string(kSysClassDir) + "/" + location.name + "/index");
}

std::string FindNodeByIdentity(const std::string& identity) {
  const bool usb = StartsWith(identity, kUsbPrefix);
  for (const std::string& name : ListVideoNodes()) {
    const NodeLocation location = LocateNode(name);
    if (location.usb) {
      if (usb && location.identity == identity) {
        return name;
      }
      continue;
    }
    if (usb) {
      continue;
    }
    UniqueFd fd(open(("/dev/" + name).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    v4l2_capability caps{};
    if (fd.get() >= 0 && Xioctl(fd.get(), VIDIOC_QUERYCAP, &caps) == 0 &&
        NodeIdentity(location, caps) == identity) {
      return name;
    }
  }
  return {};
}

std::string NodeLocator::Find() const {
  if (!identity.empty()) {
    return FindNodeByIdentity(identity);
  }
  const std::vector<std::string> nodes = ListVideoNodes();
  return std::find(nodes.begin(), nodes.end(), node) != nodes.end() ? node : std::string();
}

std::string ByIdName(const std::string& nodeName) {
  std::string found;
  DIR* dir = opendir(kByIdDir);
  if (dir == nullptr) {
    return found;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    char target[512];
    const ssize_t n =
        readlink((std::string(kByIdDir) + "/" + name).c_str(), target, sizeof(target) - 1);
    if (n <= 0) {
      continue;
    }
    target[n] = '\0';
    const char* slash = std::strrchr(target, '/');
    if (nodeName == (slash != nullptr ? slash + 1 : target)) {
      found = name;
      break;
    }
  }
  return found;
}

}  // namespace cnokhwa
