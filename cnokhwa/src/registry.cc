#include "registry.h"

#include <cstdlib>

#include "synthetic_device.h"
#include "v4l2_device.h"

namespace cnokhwa {

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
    for (auto& device : devices_) {
      bool kept = false;
      for (const auto& now : fresh) {
        kept = kept || now == device;
      }
      if (!kept) {
        gone.push_back(device);
      }
    }
    devices_ = std::move(fresh);
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
