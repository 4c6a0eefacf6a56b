#include "registry.h"

#include <algorithm>
#include <cstdlib>

#include "synthetic_device.h"
#include "v4l2_device.h"

namespace cnokhwa {

std::vector<std::shared_ptr<Device>> MergeDeviceLists(
    const std::vector<std::shared_ptr<Device>>& listed,
    const std::vector<std::shared_ptr<Device>>& found, std::vector<std::shared_ptr<Device>>* gone) {
  auto contains = [](const std::vector<std::shared_ptr<Device>>& list, const Device* device) {
    return std::any_of(list.begin(), list.end(), [&](const auto& d) { return d.get() == device; });
  };
  // The last listed device that captures: every device before it stays, so that its index does
  // not move under a running capture or preview.
  size_t keepThrough = 0;
  for (size_t i = 0; i < listed.size(); ++i) {
    if (listed[i]->Capturing()) {
      keepThrough = i + 1;
    }
  }
  std::vector<std::shared_ptr<Device>> merged;
  for (size_t i = 0; i < listed.size(); ++i) {
    const bool present = contains(found, listed[i].get());
    // A vanished device stays while it captures (it resumes when the camera returns) or while a
    // device after it captures; otherwise it is dropped.
    if (present || i < keepThrough) {
      merged.push_back(listed[i]);
    } else {
      gone->push_back(listed[i]);
    }
  }
  for (const auto& device : found) {
    if (!contains(merged, device.get())) {
      merged.push_back(device);
    }
  }
  return merged;
}

std::shared_ptr<Device> Registry::Find(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& device : devices_) {
    if (device->Info().key == key) {
      return device;
    }
  }
  return nullptr;
}

int Registry::Rescan() {
  auto known = [this](const std::string& key) { return Find(key); };
  std::vector<std::shared_ptr<Device>> fresh = ScanV4l2Devices(known);
  const std::vector<SyntheticConfig> synthetic =
      ParseSyntheticCameras(std::getenv("CNOKHWA_SYNTHETIC_CAMERAS"));
  for (size_t k = 0; k < synthetic.size(); ++k) {
    std::shared_ptr<Device> device = MakeSyntheticDevice(static_cast<int>(k), synthetic[k]);
    if (std::shared_ptr<Device> existing = Find(device->Info().key)) {
      device = std::move(existing);
    }
    fresh.push_back(std::move(device));
  }
  std::vector<std::shared_ptr<Device>> gone;
  int count;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_ = MergeDeviceLists(devices_, fresh, &gone);
    scanned_ = true;
    count = static_cast<int>(devices_.size());
  }
  for (const auto& device : gone) {
    device->Stop();
  }
  return count;
}

std::shared_ptr<Device> Registry::Get(int index) {
  bool scanned;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    scanned = scanned_;
  }
  if (!scanned) {
    Rescan();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < 0 || static_cast<size_t>(index) >= devices_.size()) {
    return nullptr;
  }
  return devices_[static_cast<size_t>(index)];
}

std::vector<std::shared_ptr<Device>> Registry::All() {
  std::lock_guard<std::mutex> lock(mutex_);
  return devices_;
}

Registry& GlobalRegistry() {
  static Registry* registry = new Registry();
  return *registry;
}

}  // namespace cnokhwa
