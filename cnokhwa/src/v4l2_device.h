// V4L2 capture devices: enumeration of the capture nodes and memory-mapped streaming.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device.h"

namespace cnokhwa {

// The capture devices of the system in /dev/videoN order. Nodes that cannot capture video
// (metadata nodes of UVC cameras, output or codec nodes) are skipped; V4L2 reports what a node
// does in device_caps, while capabilities describes the whole physical device. When known(key)
// returns a device, it is reused as it is (its formats are not listed again), so a running capture
// survives a rebuild of the list.
std::vector<std::shared_ptr<Device>> ScanV4l2Devices(
    const std::function<std::shared_ptr<Device>(const std::string& key)>& known);

}  // namespace cnokhwa
