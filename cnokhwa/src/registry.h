// The process-wide device list behind the C interface.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "device.h"

namespace cnokhwa {

class Registry {
 public:
  // Builds the list afresh: V4L2 devices, then the synthetic cameras of the environment. Devices
  // that are still there keep their object (and capture); those that vanished are stopped.
  // Returns the number of devices.
  int Rescan();
  // The device at index, or null. Builds the list on first use.
  std::shared_ptr<Device> Get(int index);
  // Every device, for stopping them all.
  std::vector<std::shared_ptr<Device>> All();

 private:
  std::shared_ptr<Device> Find(const std::string& key);

  // Guards the list only; devices are scanned, started and stopped outside it.
  std::mutex mutex_;
  bool scanned_ = false;
  std::vector<std::shared_ptr<Device>> devices_;
};

// The list that the C interface uses; never destroyed, so capture threads that still run while
// the process exits find it intact.
Registry& GlobalRegistry();

}  // namespace cnokhwa
