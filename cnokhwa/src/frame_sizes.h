// The frame sizes that a device's format list shows for a stepwise or continuous size range.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace cnokhwa {

// A range of frame sizes as VIDIOC_ENUM_FRAMESIZES reports it (a continuous range has steps of 1).
struct FrameSizeRange {
  uint32_t minWidth = 0;
  uint32_t maxWidth = 0;
  uint32_t stepWidth = 1;
  uint32_t minHeight = 0;
  uint32_t maxHeight = 0;
  uint32_t stepHeight = 1;
};

// The sizes to list for a range, smallest first: its two ends and every common 4:3, 16:9 (and a
// few other usual) camera size that lies inside the range on its step grid. No side below 1 or
// above maxSide; an inverted range gives nothing.
std::vector<std::pair<int, int>> SizesInRange(const FrameSizeRange& range, int maxSide);

}  // namespace cnokhwa
