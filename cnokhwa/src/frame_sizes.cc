#include "frame_sizes.h"

#include <algorithm>

namespace cnokhwa {
namespace {

// Sizes that cameras and applications commonly use, by aspect ratio.
constexpr std::pair<int, int> kCommonSizes[] = {
    // 4:3
    {160, 120},
    {320, 240},
    {640, 480},
    {800, 600},
    {1024, 768},
    {1280, 960},
    {1400, 1050},
    {1600, 1200},
    {2048, 1536},
    {2592, 1944},
    {3264, 2448},
    {4000, 3000},
    // 16:9
    {640, 360},
    {848, 480},
    {960, 540},
    {1024, 576},
    {1280, 720},
    {1600, 900},
    {1920, 1080},
    {2560, 1440},
    {3840, 2160},
    // 5:4 and the video sizes CIF and QCIF
    {1280, 1024},
    {176, 144},
    {352, 288},
};

bool OnGrid(uint32_t value, uint32_t minimum, uint32_t maximum, uint32_t step) {
  if (value < minimum || value > maximum) {
    return false;
  }
  // A step of 0 is a driver fault; read it as a continuous range.
  return step <= 1 || (value - minimum) % step == 0;
}

}  // namespace

std::vector<std::pair<int, int>> SizesInRange(const FrameSizeRange& range, int maxSide) {
  std::vector<std::pair<int, int>> sizes;
  if (range.maxWidth < range.minWidth || range.maxHeight < range.minHeight || maxSide < 1) {
    return sizes;
  }
  const auto fits = [&](uint32_t w, uint32_t h) {
    return w >= 1 && h >= 1 && w <= static_cast<uint32_t>(maxSide) &&
           h <= static_cast<uint32_t>(maxSide);
  };
  if (fits(range.minWidth, range.minHeight)) {
    sizes.emplace_back(static_cast<int>(range.minWidth), static_cast<int>(range.minHeight));
  }
  for (const auto& [w, h] : kCommonSizes) {
    if (OnGrid(w, range.minWidth, range.maxWidth, range.stepWidth) &&
        OnGrid(h, range.minHeight, range.maxHeight, range.stepHeight) && fits(w, h)) {
      sizes.emplace_back(w, h);
    }
  }
  if (fits(range.maxWidth, range.maxHeight)) {
    sizes.emplace_back(static_cast<int>(range.maxWidth), static_cast<int>(range.maxHeight));
  }
  std::sort(sizes.begin(), sizes.end(), [](const auto& a, const auto& b) {
    const int64_t areaA = int64_t{a.first} * a.second;
    const int64_t areaB = int64_t{b.first} * b.second;
    return areaA != areaB ? areaA < areaB : a.first < b.first;
  });
  sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
  return sizes;
}

}  // namespace cnokhwa
