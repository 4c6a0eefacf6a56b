// The process-wide device list behind the C interface.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "device.h"

namespace cnokhwa {

// The device list after a rescan. listed is the list so far, found what the scan found (V4L2
// devices in node order, then the synthetic cameras; a device still attached is the same object
// in both). Indices stay put: every listed device keeps its place while it is attached, while it
// captures (a capture waits for an unplugged camera to return), or while a device after it
// captures, so no capture's index moves; devices found for the first time follow, in scan order.
// The devices dropped are added to gone.
std::vector<std::shared_ptr<Device>> MergeDeviceLists(
    const std::vector<std::shared_ptr<Device>>& listed,
    const std::vector<std::shared_ptr<Device>>& found, std::vector<std::shared_ptr<Device>>* gone);

class Registry {
 public:
  // Builds the list afresh (see MergeDeviceLists); devices that are dropped are stopped. Returns
  // the number of devices.
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
