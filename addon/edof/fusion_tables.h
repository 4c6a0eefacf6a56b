// Sampling tables of the fusion: for every output column (or row) of a pass, which source cells
// or pixels it reads and with what fraction. They are built once per call from the sizes alone,
// so every row of a pass and every thread reads the same taps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "edof/fusion_kernels.h"

namespace zentri_native {
namespace edof_tables {

// One axis of a sample: the two taps and the fraction towards the second.
struct AxisTap {
  int32_t i0 = 0;
  int32_t i1 = 0;
  double f = 0;
  // The coordinate lies within the map (warp test); the taps are then the unclamped ones.
  bool inside = false;
};

// SampleMapClamped's rule for one axis.
AxisTap ClampedTap(double c, int32_t size);

// The map taps of every output column (or row): output pixel centres mapped onto the map grid.
// Inside the map the clamped taps equal the plain floor taps, so one table serves both the
// weight sample and the warp.
std::vector<AxisTap> MapAxisTaps(int32_t outputSize, int32_t mapSize);

// The column taps of a map once more, one array per member, for the vector kernels.
struct MapColumnTable {
  std::vector<AxisTap> taps;
  std::vector<int32_t> i0, i1, inside, consecutive, wholeCells;
  std::vector<double> f;

  MapColumnTable(int32_t outputSize, int32_t mapSize);
  edof_kernels::MapColumns Kernel() const;
};

// UpsampleRgb's rule for one axis: dstSize output positions over srcSize source pixels.
std::vector<AxisTap> ResampleAxisTaps(int32_t srcSize, int32_t dstSize);

// The taps of a bilinear resampling from srcWidth x srcHeight to dstWidth x dstHeight: rows,
// and columns with their 8-float windows for the vector kernels.
struct ResampleTable {
  std::vector<AxisTap> rows;
  std::vector<int32_t> i0, i1;
  std::vector<double> f;
  std::vector<int32_t> window, lane0, lane1;

  ResampleTable(int32_t srcWidth, int32_t srcHeight, int32_t dstWidth, int32_t dstHeight);
  edof_kernels::ResampleColumns Kernel() const;
  int32_t Width() const { return static_cast<int32_t>(i0.size()); }
  // Output rows y and y + 1 read the same two source rows.
  bool SharesSourceRows(int32_t y) const;
};

}  // namespace edof_tables
}  // namespace zentri_native
