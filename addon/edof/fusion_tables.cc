#include "edof/fusion_tables.h"

#include <algorithm>
#include <cmath>

namespace zentri_native {
namespace edof_tables {

AxisTap ClampedTap(double c, int32_t size) {
  AxisTap tap;
  c = std::min(c, static_cast<double>(size - 1));
  if (c > 0) {
    const double low = std::floor(c);
    tap.i0 = static_cast<int32_t>(low);
    tap.f = c - low;
  }
  tap.i1 = std::min(tap.i0 + 1, size - 1);
  return tap;
}

std::vector<AxisTap> MapAxisTaps(int32_t outputSize, int32_t mapSize) {
  std::vector<AxisTap> taps(static_cast<size_t>(outputSize));
  for (int32_t d = 0; d < outputSize; ++d) {
    const double s = (d + 0.5) * mapSize / outputSize - 0.5;
    AxisTap tap = ClampedTap(s, mapSize);
    tap.inside = s >= 0 && s <= mapSize - 1;
    taps[static_cast<size_t>(d)] = tap;
  }
  return taps;
}

MapColumnTable::MapColumnTable(int32_t outputSize, int32_t mapSize)
    : taps(MapAxisTaps(outputSize, mapSize)) {
  const size_t count = taps.size();
  i0.reserve(count);
  i1.reserve(count);
  inside.reserve(count);
  f.reserve(count);
  for (const AxisTap& tap : taps) {
    i0.push_back(tap.i0);
    i1.push_back(tap.i1);
    inside.push_back(tap.inside ? -1 : 0);
    f.push_back(tap.f);
  }
  for (size_t x = 0; x + 4 <= count; x += 4) {
    bool run = true;
    for (size_t lane = 0; lane < 4; ++lane) {
      run = run && i0[x + lane] == i0[x] + static_cast<int32_t>(lane) &&
            i1[x + lane] == i0[x + lane] + 1;
    }
    consecutive.push_back(run ? i0[x] : -1);
    wholeCells.push_back(f[x] == 0 && f[x + 1] == 0 && f[x + 2] == 0 && f[x + 3] == 0);
  }
}

edof_kernels::MapColumns MapColumnTable::Kernel() const {
  return {i0.data(), i1.data(), f.data(), inside.data(), consecutive.data(), wholeCells.data()};
}

std::vector<AxisTap> ResampleAxisTaps(int32_t srcSize, int32_t dstSize) {
  std::vector<AxisTap> taps(static_cast<size_t>(dstSize));
  for (int32_t d = 0; d < dstSize; ++d) {
    const double s = (d + 0.5) * srcSize / dstSize - 0.5;
    int32_t i0 = std::min(srcSize - 1, static_cast<int32_t>(std::floor(s)));
    int32_t i1;
    double f;
    if (i0 < 1) {
      i0 = 0;
      i1 = 1;
      f = s;
    } else {
      f = s - i0;
      i1 = i0 + 1;
    }
    AxisTap& tap = taps[static_cast<size_t>(d)];
    tap.i0 = i0;
    tap.i1 = std::min(i1, srcSize - 1);
    tap.f = std::min(std::max(f, 0.0), 1.0);
  }
  return taps;
}

ResampleTable::ResampleTable(int32_t srcWidth, int32_t srcHeight, int32_t dstWidth,
                             int32_t dstHeight)
    : rows(ResampleAxisTaps(srcHeight, dstHeight)) {
  const std::vector<AxisTap> columns = ResampleAxisTaps(srcWidth, dstWidth);
  const size_t count = columns.size();
  i0.reserve(count);
  i1.reserve(count);
  f.reserve(count);
  for (const AxisTap& column : columns) {
    i0.push_back(column.i0);
    i1.push_back(column.i1);
    f.push_back(column.f);
  }
  lane0.assign(count, 0);
  lane1.assign(count, 0);
  for (size_t x = 0; x + 8 <= count; x += 8) {
    // One 8-float load inside the source row must hold every tap of the group.
    int32_t low = i0[x];
    int32_t high = i1[x];
    for (size_t lane = x; lane < x + 8; ++lane) {
      low = std::min({low, i0[lane], i1[lane]});
      high = std::max({high, i0[lane], i1[lane]});
    }
    const int32_t start = std::min(low, srcWidth - 8);
    if (start < 0 || high - start >= 8) {
      window.push_back(-1);
      continue;
    }
    window.push_back(start);
    for (size_t lane = x; lane < x + 8; ++lane) {
      lane0[lane] = i0[lane] - start;
      lane1[lane] = i1[lane] - start;
    }
  }
}

edof_kernels::ResampleColumns ResampleTable::Kernel() const {
  return {i0.data(), i1.data(), f.data(), window.data(), lane0.data(), lane1.data()};
}

bool ResampleTable::SharesSourceRows(int32_t y) const {
  const size_t row = static_cast<size_t>(y);
  return row + 1 < rows.size() && rows[row].i0 == rows[row + 1].i0 &&
         rows[row].i1 == rows[row + 1].i1;
}

}  // namespace edof_tables
}  // namespace zentri_native
