#include "edof/fusion_pyramid.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

namespace zentri_native {
namespace edof_pyramid {

namespace {

using edof_rows::ConstRowPlanes;
using edof_rows::kColourPlanes;
using edof_rows::kPlanes;
using edof_rows::kWeightPlane;
using edof_rows::RowPlanes;
using edof_tables::AxisTap;
using edof_tables::ResampleTable;

constexpr size_t kHugePage = size_t{2} << 20;

size_t Count(int64_t a, int64_t b) {
  return static_cast<size_t>(a) * static_cast<size_t>(b);
}

// Base-level rows made by the warp into a ring of a few rows, in increasing order.
class WarpedRows {
 public:
  WarpedRows(const edof_rows::FrameWarp& warp, const float* weightSum, int32_t width)
      : warp_(warp),
        weightSum_(weightSum),
        width_(static_cast<size_t>(width)),
        storage_(width_ * kPlanes * kRing),
        rowOf_(kRing, -1) {}

  void Make(int32_t y) {
    warp_.Row(y, weightSum_, Slot(y));
    rowOf_[static_cast<size_t>(y % kRing)] = y;
  }

  ConstRowPlanes Get(int32_t y) const {
    if (rowOf_[static_cast<size_t>(y % kRing)] != y) {
      throw std::logic_error("Native EDOF band ring overrun");
    }
    return edof_rows::AsConst(Slot(y));
  }

 private:
  // A base row waits for at most the two level-1 rows below its own, so at most five newer
  // rows are made before its band is added: eight slots leave room.
  static constexpr int32_t kRing = 8;

  RowPlanes Slot(int32_t y) const {
    float* base =
        const_cast<float*>(storage_.data()) + width_ * kPlanes * static_cast<size_t>(y % kRing);
    return {{base, base + width_, base + 2 * width_, base + 3 * width_}};
  }

  const edof_rows::FrameWarp& warp_;
  const float* weightSum_;
  size_t width_;
  std::vector<float> storage_;
  std::vector<int32_t> rowOf_;
};

// Rows of a level that an earlier pass stored whole.
class StoredRows {
 public:
  explicit StoredRows(const PlanarImage& level) : level_(level) {}
  void Make(int32_t) {}
  ConstRowPlanes Get(int32_t y) const { return edof_rows::AsConst(level_.Row(y)); }

 private:
  const PlanarImage& level_;
};

// One chunk of a band pass over the rows [begin, end) of a fine level: box-filters fine row
// pairs into the next level and, as soon as the next-level rows that a fine row's upsampling
// reads exist, adds that row's band to the fine level's accumulators while it is still in cache.
// The chunk owns the next-level rows whose first fine row lies in [begin, end); the few rows just
// outside that its upsampling reads are made again locally into a halo. When the next level is
// the coarsest, its owned rows are added to their accumulator as they are made.
template <typename FineRows>
void BandChunk(FineRows& fine, const ResampleTable& table, const PlanarImage& next,
               const PlanarImage& acc, const PlanarImage* coarsestAcc, int32_t begin, int32_t end,
               bool avx2) {
  const int32_t fineWidth = table.Width();
  const int32_t fineHeight = static_cast<int32_t>(table.rows.size());
  const int32_t nextWidth = next.width();
  const int32_t ownBegin = (begin + 1) / 2;
  const int32_t ownEnd = (end + 1) / 2;
  int32_t low = std::min(ownBegin, begin / 2);
  int32_t high = std::max(ownEnd - 1, (end - 1) / 2);
  for (int32_t y = begin; y < end; ++y) {
    low = std::min(low, table.rows[static_cast<size_t>(y)].i0);
    high = std::max(high, table.rows[static_cast<size_t>(y)].i1);
  }
  const size_t before = static_cast<size_t>(std::max(0, ownBegin - low));
  const size_t after = static_cast<size_t>(std::max(0, high - ownEnd + 1));
  const size_t nextRow = static_cast<size_t>(nextWidth);
  std::vector<float> halo(kColourPlanes * nextRow * (before + after));
  std::vector<float> haloWeight(nextRow);
  const auto nextLevelRow = [&](int32_t j) -> RowPlanes {
    if (j >= ownBegin && j < ownEnd) {
      return next.Row(j);
    }
    const size_t slot =
        j < ownBegin ? static_cast<size_t>(j - low) : before + static_cast<size_t>(j - ownEnd);
    float* base = halo.data() + kColourPlanes * nextRow * slot;
    return {{base, base + nextRow, base + 2 * nextRow, haloWeight.data()}};
  };
  const auto bandRow = [&](int32_t y) {
    const ConstRowPlanes rows = fine.Get(y);
    const RowPlanes sums = acc.Row(y);
    return edof_kernels::BandRow{table.rows[static_cast<size_t>(y)].f,
                                 {rows.plane[0], rows.plane[1], rows.plane[2]},
                                 rows.plane[kWeightPlane],
                                 {sums.plane[0], sums.plane[1], sums.plane[2]}};
  };

  int32_t pending = begin;
  for (int32_t j = low; j <= high; ++j) {
    const int32_t top = 2 * j;
    const bool hasBottom = top + 1 < fineHeight;
    fine.Make(top);
    if (hasBottom) {
      fine.Make(top + 1);
    }
    const ConstRowPlanes topRow = fine.Get(top);
    const ConstRowPlanes bottomRow = hasBottom ? fine.Get(top + 1) : topRow;
    const RowPlanes made = nextLevelRow(j);
    edof_rows::DownsampleRow(topRow, hasBottom ? &bottomRow : nullptr, fineWidth, made, nextWidth,
                             avx2);
    if (coarsestAcc != nullptr && j >= ownBegin && j < ownEnd) {
      edof_rows::AccumulateCoarsestRow(edof_rows::AsConst(made), coarsestAcc->Row(j), nextWidth);
    }
    while (pending < end && table.rows[static_cast<size_t>(pending)].i1 <= j) {
      const AxisTap& row = table.rows[static_cast<size_t>(pending)];
      const RowPlanes upper = nextLevelRow(row.i0);
      const RowPlanes lower = nextLevelRow(row.i1);
      const edof_kernels::SourceRows source{{upper.plane[0], upper.plane[1], upper.plane[2]},
                                            {lower.plane[0], lower.plane[1], lower.plane[2]}};
      if (pending + 1 < end && table.SharesSourceRows(pending)) {
        // Two fine rows between the same next-level rows share their tap loads.
        edof_rows::AccumulateBandRowPair(source, table, bandRow(pending),
                                         acc.Row(pending).plane[kWeightPlane], bandRow(pending + 1),
                                         acc.Row(pending + 1).plane[kWeightPlane], avx2);
        pending += 2;
      } else {
        edof_rows::AccumulateBandRow(source, table, bandRow(pending),
                                     acc.Row(pending).plane[kWeightPlane], avx2);
        ++pending;
      }
    }
  }
  if (pending != end) {
    throw std::logic_error("Native EDOF band rows left over");
  }
}

// One chunk of the collapse of level l: R(l) = upsampled R(l + 1) + normalised acc(l), for rows
// [begin, end). R(l) is stored in place of acc(l)'s colours, or, at the base level, rounded
// straight into the output bytes.
void CollapseChunk(const PlanarImage& acc, const PlanarImage& coarser, const ResampleTable& table,
                   uint8_t* out, int32_t begin, int32_t end, bool avx2) {
  const int32_t width = acc.width();
  const size_t row = static_cast<size_t>(width);
  std::vector<float> scratch(2 * kColourPlanes * row);
  float* const up[2][kColourPlanes] = {
      {scratch.data(), scratch.data() + row, scratch.data() + 2 * row},
      {scratch.data() + 3 * row, scratch.data() + 4 * row, scratch.data() + 5 * row}};
  for (int32_t y = begin; y < end;) {
    const AxisTap& taps = table.rows[static_cast<size_t>(y)];
    const RowPlanes upper = coarser.Row(taps.i0);
    const RowPlanes lower = coarser.Row(taps.i1);
    const edof_kernels::SourceRows source{{upper.plane[0], upper.plane[1], upper.plane[2]},
                                          {lower.plane[0], lower.plane[1], lower.plane[2]}};
    int32_t made = 1;
    if (y + 1 < end && table.SharesSourceRows(y)) {
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
        edof_rows::RoundRow(up[r], width, avx2, out + 4 * Count(y, width));
      }
    }
  }
}

}  // namespace

ZeroedFloats::ZeroedFloats(size_t count) : size_(count) {
  if (count == 0) {
    return;
  }
  if (count > (SIZE_MAX - 2 * kHugePage) / sizeof(float)) {
    throw std::bad_alloc();
  }
  const size_t bytes = count * sizeof(float);
  const bool huge = bytes >= kHugePage;
  mappingBytes_ = huge ? bytes + kHugePage : bytes;
  mapping_ =
      mmap(nullptr, mappingBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping_ == MAP_FAILED) {
    mapping_ = nullptr;
    throw std::bad_alloc();
  }
  uintptr_t start = reinterpret_cast<uintptr_t>(mapping_);
  if (huge) {
    // Huge pages cut the page faults of a large image by 512; where the system refuses them,
    // the memory is the same with small pages.
    start = (start + kHugePage - 1) & ~(kHugePage - 1);
    madvise(reinterpret_cast<void*>(start), (bytes + kHugePage - 1) & ~(kHugePage - 1),
            MADV_HUGEPAGE);
  }
  data_ = reinterpret_cast<float*>(start);
}

ZeroedFloats::~ZeroedFloats() {
  Release();
}

ZeroedFloats::ZeroedFloats(ZeroedFloats&& other) noexcept
    : mapping_(std::exchange(other.mapping_, nullptr)),
      mappingBytes_(std::exchange(other.mappingBytes_, 0)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

ZeroedFloats& ZeroedFloats::operator=(ZeroedFloats&& other) noexcept {
  if (this != &other) {
    Release();
    mapping_ = std::exchange(other.mapping_, nullptr);
    mappingBytes_ = std::exchange(other.mappingBytes_, 0);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void ZeroedFloats::Release() {
  if (mapping_ != nullptr) {
    munmap(mapping_, mappingBytes_);
  }
  mapping_ = nullptr;
  mappingBytes_ = 0;
  data_ = nullptr;
  size_ = 0;
}

PlanarImage::PlanarImage(int32_t width, int32_t height)
    : width_(width),
      height_(height),
      planeSize_(static_cast<size_t>(CheckedPixels(width, height))),
      storage_(planeSize_ * kPlanes) {}

RowPlanes PlanarImage::Row(int32_t y) const {
  float* start = storage_.data() + Count(y, width_);
  return {{start, start + planeSize_, start + 2 * planeSize_, start + 3 * planeSize_}};
}

Pyramid::Pyramid(const std::vector<std::pair<int32_t, int32_t>>& sizes, unsigned int maxThreads,
                 bool avx2)
    : sizes_(sizes), maxThreads_(maxThreads), avx2_(avx2) {
  for (size_t l = 0; l + 1 < sizes_.size(); ++l) {
    tables_.emplace_back(sizes_[l + 1].first, sizes_[l + 1].second, sizes_[l].first,
                         sizes_[l].second);
  }
  acc_.reserve(sizes_.size());
  levels_.reserve(sizes_.size());
  levels_.emplace_back();
  for (size_t l = 0; l < sizes_.size(); ++l) {
    acc_.emplace_back(sizes_[l].first, sizes_[l].second);
    if (l > 0) {
      levels_.emplace_back(sizes_[l].first, sizes_[l].second);
    }
  }
}

void Pyramid::SumWeights(const std::vector<FieldView>& fields,
                         const std::vector<const float*>& weights,
                         const std::vector<edof_rows::MapRowChecks>& checks, float* sum) const {
  const int32_t width = sizes_[0].first;
  const int32_t height = sizes_[0].second;
  std::vector<edof_tables::MapColumnTable> columns;
  std::vector<std::vector<AxisTap>> rows;
  columns.reserve(fields.size());
  rows.reserve(fields.size());
  for (const FieldView& field : fields) {
    columns.emplace_back(width, field.mapWidth);
    rows.push_back(edof_tables::MapAxisTaps(height, field.mapHeight));
  }
  // The sum starts at the zero of fresh memory.
  ParallelRows(height, maxThreads_, [&](int32_t begin, int32_t end) {
    for (int32_t y = begin; y < end; ++y) {
      float* rowSum = sum + Count(y, width);
      for (size_t k = 0; k < fields.size(); ++k) {
        const AxisTap& ty = rows[k][static_cast<size_t>(y)];
        const size_t mapWidth = static_cast<size_t>(fields[k].mapWidth);
        const bool finite =
            avx2_ && checks[k].WeightsFinite(ty.i0) && checks[k].WeightsFinite(ty.i1);
        edof_rows::AddMapSampleRow(weights[k] + static_cast<size_t>(ty.i0) * mapWidth,
                                   weights[k] + static_cast<size_t>(ty.i1) * mapWidth, columns[k],
                                   ty.f, finite, rowSum, width, avx2_);
      }
    }
  });
}

void Pyramid::AddFrame(const edof_rows::FrameWarp& warp, const float* weightSum) {
  const size_t levels = Levels();
  if (levels == 1) {
    AddSingleLevelFrame(warp, weightSum);
    return;
  }
  const PlanarImage* coarsest = &acc_[levels - 1];
  // Base rows: warped into a ring, box-filtered into level 1, banded into acc(0).
  ParallelRows(sizes_[0].second, maxThreads_, [&](int32_t begin, int32_t end) {
    WarpedRows rows(warp, weightSum, sizes_[0].first);
    BandChunk(rows, tables_[0], levels_[1], acc_[0], levels == 2 ? coarsest : nullptr, begin, end,
              avx2_);
  });
  for (size_t l = 1; l + 1 < levels; ++l) {
    ParallelRows(sizes_[l].second, maxThreads_, [&](int32_t begin, int32_t end) {
      StoredRows rows(levels_[l]);
      BandChunk(rows, tables_[l], levels_[l + 1], acc_[l], l + 2 == levels ? coarsest : nullptr,
                begin, end, avx2_);
    });
  }
}

void Pyramid::AddSingleLevelFrame(const edof_rows::FrameWarp& warp, const float* weightSum) {
  // No bands: each base row goes straight into the accumulators.
  const int32_t width = sizes_[0].first;
  ParallelRows(sizes_[0].second, maxThreads_, [&](int32_t begin, int32_t end) {
    const size_t row = static_cast<size_t>(width);
    std::vector<float> storage(kPlanes * row);
    const RowPlanes made{
        {storage.data(), storage.data() + row, storage.data() + 2 * row, storage.data() + 3 * row}};
    for (int32_t y = begin; y < end; ++y) {
      warp.Row(y, weightSum, made);
      edof_rows::AccumulateCoarsestRow(edof_rows::AsConst(made), acc_[0].Row(y), width);
    }
  });
}

void Pyramid::CollapseInto(uint8_t* out) {
  const size_t levels = Levels();
  const PlanarImage& coarsest = acc_[levels - 1];
  if (levels == 1) {
    ParallelRows(coarsest.height(), maxThreads_, [&](int32_t begin, int32_t end) {
      for (int32_t y = begin; y < end; ++y) {
        const RowPlanes row = coarsest.Row(y);
        edof_rows::NormaliseRow(row, coarsest.width(), avx2_);
        edof_rows::RoundRow(row.plane, coarsest.width(), avx2_,
                            out + 4 * Count(y, coarsest.width()));
      }
    });
    return;
  }
  ParallelRows(coarsest.height(), maxThreads_, [&](int32_t begin, int32_t end) {
    for (int32_t y = begin; y < end; ++y) {
      edof_rows::NormaliseRow(coarsest.Row(y), coarsest.width(), avx2_);
    }
  });
  // Only the accumulators are needed from here on.
  levels_.clear();
  for (size_t l = levels - 1; l-- > 0;) {
    ParallelRows(sizes_[l].second, maxThreads_, [&](int32_t begin, int32_t end) {
      CollapseChunk(acc_[l], acc_[l + 1], tables_[l], l == 0 ? out : nullptr, begin, end, avx2_);
    });
    acc_.pop_back();
  }
}

}  // namespace edof_pyramid
}  // namespace zentri_native
