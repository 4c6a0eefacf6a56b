// The fusion's work on one row at a time: the plain code of every step, finishing what the vector
// kernels of fusion_kernels.h leave (or doing everything when avx2 is false). Rows are planar:
// one pointer per plane (R, G, B, weight).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "edof/fusion.h"
#include "edof/fusion_kernels.h"
#include "edof/fusion_tables.h"

namespace zentri_native {
namespace edof_rows {

using edof_kernels::kColourPlanes;
using edof_kernels::kPlanes;
using edof_kernels::kWeightPlane;

struct RowPlanes {
  float* plane[kPlanes];
};

struct ConstRowPlanes {
  const float* plane[kPlanes];
};

inline ConstRowPlanes AsConst(const RowPlanes& row) {
  return {{row.plane[0], row.plane[1], row.plane[2], row.plane[3]}};
}

// dst[i] += src[i], with AVX2 when asked.
void AddRow(float* dst, const float* src, size_t count, bool avx2);

// Per map row of one frame: whether its x, y and confidence values, and its weights, are all
// finite. The vector kernels skip the per-pixel finiteness tests on such rows. Each row is
// scanned when a thread first asks; threads that ask at once both scan it and store the same
// answer. Only for processors with AVX2.
class MapRowChecks {
 public:
  MapRowChecks(const FieldView& field, const float* weight);
  bool FieldsFinite(int32_t row) const { return (State(row) & kFieldsFinite) != 0; }
  bool WeightsFinite(int32_t row) const { return (State(row) & kWeightsFinite) != 0; }

 private:
  static constexpr uint8_t kKnown = 1;
  static constexpr uint8_t kFieldsFinite = 2;
  static constexpr uint8_t kWeightsFinite = 4;
  uint8_t State(int32_t row) const;

  const FieldView& field_;
  const float* weight_;
  std::unique_ptr<std::atomic<uint8_t>[]> states_;
};

// sum[x] += the bilinear sample of map rows row0/row1 at the column taps, vertical fraction fy.
// finiteRows (used with avx2): every value of both map rows is finite.
void AddMapSampleRow(const float* row0, const float* row1,
                     const edof_tables::MapColumnTable& columns, double fy, bool finiteRows,
                     float* sum, int32_t width, bool avx2);

// The weight sum of the stack one base-level row at a time: every frame's weight sampled at each
// pixel, accepted or not, added in frame order to a sum that starts at 0.
class WeightSum {
 public:  // checks[k]: frame k's map row checks, used with avx2.
  WeightSum(int32_t width, int32_t height, const std::vector<FieldView>& fields,
            const std::vector<const float*>& weights, const std::vector<MapRowChecks>& checks,
            bool avx2);

  // Writes row y of the sum (width floats) to out.
  void Row(int32_t y, float* out) const;

 private:
  int32_t width_;
  const std::vector<FieldView>& fields_;
  const std::vector<const float*>& weights_;
  const std::vector<MapRowChecks>& checks_;
  bool avx2_;
  std::vector<edof_tables::MapColumnTable> columns_;
  std::vector<std::vector<edof_tables::AxisTap>> rows_;
};

// Everything the base-level rows of one frame need.
class FrameWarp {
 public:  // checks: the frame's map row checks, used with avx2.
  FrameWarp(int32_t width, int32_t height, const FrameView& frame, const FieldView& field,
            const float* weight, const uint8_t* reference, bool isReference, bool avx2,
            const MapRowChecks& checks);

  // Base-level row y: the warped colour and normalised weight of every pixel, or the reference
  // colour with weight 0 where the frame cannot supply the pixel. weightSum is row y of the
  // weight sum.
  void Row(int32_t y, const float* weightSum, const RowPlanes& out) const;

 private:
  void SampleColour(double sourceX, double sourceY, const RowPlanes& out, int32_t x) const;

  int32_t width_;
  int32_t height_;
  const FrameView& frame_;
  const FieldView& field_;
  const float* weight_;
  const uint8_t* reference_;
  bool isReference_;
  bool avx2_;
  const MapRowChecks& checks_;
  edof_tables::MapColumnTable columns_;
  std::vector<edof_tables::AxisTap> rows_;
};

// One output row of the 2 x 2 box filter, every plane, from source rows top and bottom (bottom
// is null when the source has no row below).
void DownsampleRow(const ConstRowPlanes& top, const ConstRowPlanes* bottom, int32_t srcWidth,
                   const RowPlanes& out, int32_t dstWidth, bool avx2);

// One output row of a bilinear colour resampling.
void UpsampleRow(const edof_kernels::SourceRows& source, const edof_tables::ResampleTable& table,
                 double fy, float* const out[kColourPlanes], bool avx2);

// Two output rows between the same source rows.
void UpsampleRowPair(const edof_kernels::SourceRows& source,
                     const edof_tables::ResampleTable& table, double fy0, double fy1,
                     float* const out0[kColourPlanes], float* const out1[kColourPlanes], bool avx2);

// Adds one row of a Laplacian band, (fine - upsampled coarser level) x weight, to the colour
// accumulators and the weights to accWeight. The upsampled values are made on the fly.
void AccumulateBandRow(const edof_kernels::SourceRows& source,
                       const edof_tables::ResampleTable& table, const edof_kernels::BandRow& row,
                       float* accWeight, bool avx2);

// Two fine rows between the same source rows, sharing the tap loads.
void AccumulateBandRowPair(const edof_kernels::SourceRows& source,
                           const edof_tables::ResampleTable& table,
                           const edof_kernels::BandRow& first, float* firstAccWeight,
                           const edof_kernels::BandRow& second, float* secondAccWeight, bool avx2);

// The coarsest level: acc += colour x weight, accWeight += weight.
void AccumulateCoarsestRow(const ConstRowPlanes& level, const RowPlanes& acc, int32_t width);

// Colours divided by the accumulated weight where it exceeds 1e-8.
void NormaliseRow(const RowPlanes& acc, int32_t width, bool avx2);

// RGBA bytes of one row: RoundToByte of each colour, alpha 255.
void RoundRow(const float* const rgb[kColourPlanes], int32_t width, bool avx2, uint8_t* out);

}  // namespace edof_rows
}  // namespace zentri_native
