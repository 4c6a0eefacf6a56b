// One device as a vendor library enumerates it.
#pragma once

#include <string>

namespace zentri_native {

struct VendorDeviceSnapshot {
  int index = -1;        // the vendor library's device index: what its select call takes
  std::string uniqueId;  // UTF-8
  std::string name;      // UTF-8 display name
};

}  // namespace zentri_native
