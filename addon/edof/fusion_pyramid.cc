#include "edof/fusion_pyramid.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace zentri_native {
namespace edof_pyramid {

namespace {

using edof_chunks::ChunkPlan;
using edof_chunks::ChunkRows;
using edof_chunks::RowRange;
using edof_rows::ConstRowPlanes;
using edof_rows::kColourPlanes;
using edof_rows::kPlanes;
using edof_rows::kWeightPlane;
using edof_rows::RowPlanes;
using edof_tables::AxisTap;
using edof_tables::ResampleTable;

edof_kernels::SourceRows Source(const RowPlanes& upper, const RowPlanes& lower) {
  return {{upper.plane[0], upper.plane[1], upper.plane[2]},
          {lower.plane[0], lower.plane[1], lower.plane[2]}};
}

edof_kernels::BandRow Band(const ResampleTable& table, const LevelRows& fine, const LevelRows& acc,
                           int32_t y) {
  const RowPlanes rows = fine.Row(y);
  const RowPlanes sums = acc.Row(y);
  return edof_kernels::BandRow{table.rows[static_cast<size_t>(y)].f,
                               {rows.plane[0], rows.plane[1], rows.plane[2]},
                               rows.plane[kWeightPlane],
                               {sums.plane[0], sums.plane[1], sums.plane[2]}};
}

// The box filter of one frame's Gaussian rows gauss[l - 1] into gauss[l].
void DownsampleRows(const ChunkPlan& plan, size_t level, const RowRange& rows,
                    const LevelRows& fine, const LevelRows& coarse, bool avx2) {
  const int32_t fineHeight = plan.Height(level - 1);
  for (int32_t r = rows.begin; r < rows.end; ++r) {
    const ConstRowPlanes top = edof_rows::AsConst(fine.Row(2 * r));
    const bool hasBottom = 2 * r + 1 < fineHeight;
    const ConstRowPlanes bottom = hasBottom ? edof_rows::AsConst(fine.Row(2 * r + 1)) : top;
    edof_rows::DownsampleRow(top, hasBottom ? &bottom : nullptr, plan.Width(level - 1),
                             coarse.Row(r), plan.Width(level), avx2);
  }
}

// Adds the bands of the rows `rows` of a level to its accumulators; rows between the same two
// coarser rows go in pairs that share their tap loads.
void AccumulateBands(const ResampleTable& table, const RowRange& rows, const LevelRows& fine,
                     const LevelRows& coarser, const LevelRows& acc, bool avx2) {
  for (int32_t y = rows.begin; y < rows.end;) {
    const AxisTap& taps = table.rows[static_cast<size_t>(y)];
    const edof_kernels::SourceRows source = Source(coarser.Row(taps.i0), coarser.Row(taps.i1));
    if (y + 1 < rows.end && table.SharesSourceRows(y)) {
      edof_rows::AccumulateBandRowPair(
          source, table, Band(table, fine, acc, y), acc.Row(y).plane[kWeightPlane],
          Band(table, fine, acc, y + 1), acc.Row(y + 1).plane[kWeightPlane], avx2);
      y += 2;
    } else {
      edof_rows::AccumulateBandRow(source, table, Band(table, fine, acc, y),
                                   acc.Row(y).plane[kWeightPlane], avx2);
      ++y;
    }
  }
}

// R(l) = upsampled R(l + 1) + normalised acc(l) for the rows `rows` of level l. R(l) is stored in
// place of acc(l)'s colours, or, at the base level, rounded straight into the output bytes.
void CollapseRows(const ResampleTable& table, const RowRange& rows, const LevelRows& acc,
                  const LevelRows& coarser, float* upsampled, uint8_t* out, bool avx2) {
  const int32_t width = table.Width();
  const size_t row = static_cast<size_t>(width);
  float* const up[2][kColourPlanes] = {
      {upsampled, upsampled + row, upsampled + 2 * row},
      {upsampled + 3 * row, upsampled + 4 * row, upsampled + 5 * row}};
  for (int32_t y = rows.begin; y < rows.end;) {
    const AxisTap& taps = table.rows[static_cast<size_t>(y)];
    const edof_kernels::SourceRows source = Source(coarser.Row(taps.i0), coarser.Row(taps.i1));
    int32_t made = 1;
    if (y + 1 < rows.end && table.SharesSourceRows(y)) {
      edof_rows::UpsampleRowPair(source, table, taps.f, table.rows[static_cast<size_t>(y) + 1].f,
                                 up[0], up[1], avx2);
      made = 2;
    } else {
      edof_rows::UpsampleRow(source, table, taps.f, up[0], avx2);
    }
    for (int32_t r = 0; r < made; ++r, ++y) {
      const RowPlanes sums = acc.Row(y);
      edof_rows::NormaliseRow(sums, width, avx2);
      for (int c = 0; c < kColourPlanes; ++c) {
        if (out != nullptr) {
          edof_rows::AddRow(up[r][c], sums.plane[c], row, avx2);
        } else {
          // The same sum as upsampled + accumulated: IEEE addition commutes.
          edof_rows::AddRow(sums.plane[c], up[r][c], row, avx2);
        }
      }
      if (out != nullptr) {
        edof_rows::RoundRow(up[r], width, avx2, out + 4 * static_cast<size_t>(y) * row);
      }
    }
  }
}

uint64_t LevelFloats(const ChunkPlan& plan, size_t level, int32_t rows) {
  return static_cast<uint64_t>(rows) * kPlanes * static_cast<uint64_t>(plan.Width(level));
}

// Makes the rows of `needed` that the ring does not hold yet, in increasing order, with
// make(y); rows before needed.begin are given up. A ring whose rows do not join up with
// `needed` starts again empty.
template <typename Make>
void Extend(LevelRows& rows, const RowRange& needed, const Make& make) {
  if (rows.held.Count() <= 0 || rows.held.begin > needed.begin || rows.held.end < needed.begin ||
      rows.held.end > needed.end) {
    rows.held = {needed.begin, needed.begin};
  }
  rows.held.begin = needed.begin;
  for (int32_t y = rows.held.end; y < needed.end; ++y) {
    make(y);
  }
  rows.held.end = needed.end;
}

LevelRows Ring(float* base, int32_t capacity, size_t width) {
  LevelRows rows;
  rows.base = base;
  rows.capacity = std::max(1, capacity);
  rows.width = width;
  return rows;
}

}  // namespace

uint64_t ChunkScratch::Floats(const ChunkPlan& plan, size_t frames) {
  uint64_t floats = 0;
  for (size_t l = 0; l < plan.Levels(); ++l) {
    floats += static_cast<uint64_t>(frames) * LevelFloats(plan, l, plan.MaxGaussRows(l)) +
              LevelFloats(plan, l, plan.MaxBandRows(l));
  }
  const uint64_t width = static_cast<uint64_t>(plan.Width(0));
  return floats + static_cast<uint64_t>(plan.MaxGaussRows(0)) * width + 2 * kColourPlanes * width;
}

ChunkScratch::ChunkScratch(const ChunkPlan& plan, size_t frames) {
  const uint64_t floats = Floats(plan, frames);
  if (frames > SIZE_MAX / kEdofMaxLevels || floats > PTRDIFF_MAX / sizeof(float)) {
    throw std::length_error("Native EDOF chunk scratch is too large");
  }
  storage_.reset(new float[static_cast<size_t>(floats)]);
  gauss_.resize(frames * kEdofMaxLevels);
  float* next = storage_.get();
  for (size_t l = 0; l < plan.Levels(); ++l) {
    const size_t width = static_cast<size_t>(plan.Width(l));
    for (size_t k = 0; k < frames; ++k) {
      Gauss(k, l) = Ring(next, plan.MaxGaussRows(l), width);
      next += static_cast<size_t>(LevelFloats(plan, l, plan.MaxGaussRows(l)));
    }
    acc_[l] = Ring(next, plan.MaxBandRows(l), width);
    next += static_cast<size_t>(LevelFloats(plan, l, plan.MaxBandRows(l)));
  }
  // The weight sum rows have one plane: a ring of rows a quarter as long.
  const size_t baseWidth = static_cast<size_t>(plan.Width(0));
  weightSum_ = Ring(next, plan.MaxGaussRows(0), baseWidth);
  next += static_cast<size_t>(plan.MaxGaussRows(0)) * baseWidth;
  upsampled_ = static_cast<size_t>(next - storage_.get());
}

void FuseChunk(const ChunkPlan& plan, int64_t chunk,
               const std::vector<const edof_rows::FrameWarp*>& warps,
               const edof_rows::WeightSum& weightSum, bool avx2, ChunkScratch& scratch,
               uint8_t* out) {
  const ChunkRows& rows = plan.Chunk(chunk);
  const size_t levels = plan.Levels();
  const size_t coarsest = levels - 1;
  LevelRows acc[kEdofMaxLevels];
  for (size_t l = 0; l < levels; ++l) {
    acc[l] = scratch.Acc(l);
    // The accumulators start at +0, as a sum does.
    for (int32_t y = rows.band[l].begin; y < rows.band[l].end; ++y) {
      const RowPlanes row = acc[l].Row(y);
      std::fill(row.plane[0], row.plane[0] + kPlanes * acc[l].width, 0.0f);
    }
  }
  const size_t baseWidth = static_cast<size_t>(plan.Width(0));
  LevelRows& sums = scratch.WeightSum();
  // A weight sum row is one plane: slot y % capacity of rows baseWidth floats long.
  const auto sumRow = [&sums, baseWidth](int32_t y) {
    return sums.base + static_cast<size_t>(y % sums.capacity) * baseWidth;
  };
  Extend(sums, rows.gauss[0], [&](int32_t y) { weightSum.Row(y, sumRow(y)); });
  for (size_t k = 0; k < warps.size(); ++k) {
    LevelRows* gauss[kEdofMaxLevels] = {};
    for (size_t l = 0; l < levels; ++l) {
      gauss[l] = &scratch.Gauss(k, l);
    }
    Extend(*gauss[0], rows.gauss[0],
           [&](int32_t y) { warps[k]->Row(y, sumRow(y), gauss[0]->Row(y)); });
    for (size_t l = 1; l < levels; ++l) {
      Extend(*gauss[l], rows.gauss[l], [&](int32_t r) {
        DownsampleRows(plan, l, {r, r + 1}, *gauss[l - 1], *gauss[l], avx2);
      });
    }
    for (size_t l = 0; l < coarsest; ++l) {
      AccumulateBands(plan.Table(l), rows.band[l], *gauss[l], *gauss[l + 1], acc[l], avx2);
    }
    for (int32_t y = rows.band[coarsest].begin; y < rows.band[coarsest].end; ++y) {
      edof_rows::AccumulateCoarsestRow(edof_rows::AsConst(gauss[coarsest]->Row(y)),
                                       acc[coarsest].Row(y), plan.Width(coarsest));
    }
  }
  const int32_t coarsestWidth = plan.Width(coarsest);
  for (int32_t y = rows.band[coarsest].begin; y < rows.band[coarsest].end; ++y) {
    const RowPlanes row = acc[coarsest].Row(y);
    edof_rows::NormaliseRow(row, coarsestWidth, avx2);
    if (levels == 1) {
      edof_rows::RoundRow(row.plane, coarsestWidth, avx2,
                          out + 4 * static_cast<size_t>(y) * baseWidth);
    }
  }
  for (size_t l = coarsest; l-- > 0;) {
    CollapseRows(plan.Table(l), rows.band[l], acc[l], acc[l + 1], scratch.Upsampled(),
                 l == 0 ? out : nullptr, avx2);
  }
}

uint64_t ChunkScratchBytes(int32_t width, int32_t height, int32_t chunkRows, size_t frames) {
  const ChunkPlan plan(PyramidLevelSizes(width, height), chunkRows);
  return ChunkScratch::Floats(plan, frames) * sizeof(float);
}

}  // namespace edof_pyramid
}  // namespace zentri_native
