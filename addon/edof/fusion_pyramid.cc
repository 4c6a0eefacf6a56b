#include "edof/fusion_pyramid.h"

#include <sys/mman.h>

#include <algorithm>
#include <memory>
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
// the coarsest, its owned rows are added to their accumulator as they are made. Step(j) makes
// next-level row j for j = Low() to High() in order; cursors of several frames over the same
// rows can be stepped in turn, so that each accumulator row takes every frame's band while it
// is in cache, still in frame order.
template <typename FineRows>
class BandCursor {
 public:
  BandCursor(FineRows& fine, const ResampleTable& table, const PlanarImage& next,
             const PlanarImage& acc, const PlanarImage* coarsestAcc, int32_t begin, int32_t end,
             bool avx2)
      : fine_(fine),
        table_(table),
        next_(next),
        acc_(acc),
        coarsestAcc_(coarsestAcc),
        begin_(begin),
        end_(end),
        avx2_(avx2),
        ownBegin_((begin + 1) / 2),
        ownEnd_((end + 1) / 2),
        low_(std::min(ownBegin_, begin / 2)),
        high_(std::max(ownEnd_ - 1, (end - 1) / 2)),
        pending_(begin) {
    for (int32_t y = begin; y < end; ++y) {
      low_ = std::min(low_, table.rows[static_cast<size_t>(y)].i0);
      high_ = std::max(high_, table.rows[static_cast<size_t>(y)].i1);
    }
    before_ = static_cast<size_t>(std::max(0, ownBegin_ - low_));
    const size_t after = static_cast<size_t>(std::max(0, high_ - ownEnd_ + 1));
    const size_t nextRow = static_cast<size_t>(next.width());
    halo_.resize(kColourPlanes * nextRow * (before_ + after));
    haloWeight_.resize(nextRow);
  }

  int32_t Low() const { return low_; }
  int32_t High() const { return high_; }

  void Step(int32_t j) {
    const int32_t fineHeight = static_cast<int32_t>(table_.rows.size());
    const int32_t top = 2 * j;
    const bool hasBottom = top + 1 < fineHeight;
    fine_.Make(top);
    if (hasBottom) {
      fine_.Make(top + 1);
    }
    const ConstRowPlanes topRow = fine_.Get(top);
    const ConstRowPlanes bottomRow = hasBottom ? fine_.Get(top + 1) : topRow;
    const RowPlanes made = NextLevelRow(j);
    edof_rows::DownsampleRow(topRow, hasBottom ? &bottomRow : nullptr, table_.Width(), made,
                             next_.width(), avx2_);
    if (coarsestAcc_ != nullptr && j >= ownBegin_ && j < ownEnd_) {
      edof_rows::AccumulateCoarsestRow(edof_rows::AsConst(made), coarsestAcc_->Row(j),
                                       next_.width());
    }
    while (pending_ < end_ && table_.rows[static_cast<size_t>(pending_)].i1 <= j) {
      const AxisTap& row = table_.rows[static_cast<size_t>(pending_)];
      const RowPlanes upper = NextLevelRow(row.i0);
      const RowPlanes lower = NextLevelRow(row.i1);
      const edof_kernels::SourceRows source{{upper.plane[0], upper.plane[1], upper.plane[2]},
                                            {lower.plane[0], lower.plane[1], lower.plane[2]}};
      if (pending_ + 1 < end_ && table_.SharesSourceRows(pending_)) {
        // Two fine rows between the same next-level rows share their tap loads.
        edof_rows::AccumulateBandRowPair(source, table_, Band(pending_),
                                         acc_.Row(pending_).plane[kWeightPlane], Band(pending_ + 1),
                                         acc_.Row(pending_ + 1).plane[kWeightPlane], avx2_);
        pending_ += 2;
      } else {
        edof_rows::AccumulateBandRow(source, table_, Band(pending_),
                                     acc_.Row(pending_).plane[kWeightPlane], avx2_);
        ++pending_;
      }
    }
  }

  void Finish() const {
    if (pending_ != end_) {
      throw std::logic_error("Native EDOF band rows left over");
    }
  }

 private:
  RowPlanes NextLevelRow(int32_t j) {
    if (j >= ownBegin_ && j < ownEnd_) {
      return next_.Row(j);
    }
    const size_t nextRow = static_cast<size_t>(next_.width());
    const size_t slot =
        j < ownBegin_ ? static_cast<size_t>(j - low_) : before_ + static_cast<size_t>(j - ownEnd_);
    float* base = halo_.data() + kColourPlanes * nextRow * slot;
    return {{base, base + nextRow, base + 2 * nextRow, haloWeight_.data()}};
  }

  edof_kernels::BandRow Band(int32_t y) const {
    const ConstRowPlanes rows = fine_.Get(y);
    const RowPlanes sums = acc_.Row(y);
    return edof_kernels::BandRow{table_.rows[static_cast<size_t>(y)].f,
                                 {rows.plane[0], rows.plane[1], rows.plane[2]},
                                 rows.plane[kWeightPlane],
                                 {sums.plane[0], sums.plane[1], sums.plane[2]}};
  }

  FineRows& fine_;
  const ResampleTable& table_;
  const PlanarImage& next_;
  const PlanarImage& acc_;
  const PlanarImage* coarsestAcc_;
  const int32_t begin_;
  const int32_t end_;
  const bool avx2_;
  const int32_t ownBegin_;
  const int32_t ownEnd_;
  int32_t low_;
  int32_t high_;
  size_t before_ = 0;
  int32_t pending_;
  std::vector<float> halo_;
  std::vector<float> haloWeight_;
};

template <typename FineRows>
void BandChunk(FineRows& fine, const ResampleTable& table, const PlanarImage& next,
               const PlanarImage& acc, const PlanarImage* coarsestAcc, int32_t begin, int32_t end,
               bool avx2) {
  BandCursor<FineRows> cursor(fine, table, next, acc, coarsestAcc, begin, end, avx2);
  for (int32_t j = cursor.Low(); j <= cursor.High(); ++j) {
    cursor.Step(j);
  }
  cursor.Finish();
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
                 bool avx2, size_t groupBytes)
    : sizes_(sizes), maxThreads_(maxThreads), avx2_(avx2), groupBytes_(groupBytes) {
  for (size_t l = 0; l + 1 < sizes_.size(); ++l) {
    tables_.emplace_back(sizes_[l + 1].first, sizes_[l + 1].second, sizes_[l].first,
                         sizes_[l].second);
  }
  acc_.reserve(sizes_.size());
  levels_.reserve(sizes_.size());
  // Level 1 lives in firstLevels_, one image per frame of a group.
  levels_.emplace_back();
  levels_.emplace_back();
  for (size_t l = 0; l < sizes_.size(); ++l) {
    acc_.emplace_back(sizes_[l].first, sizes_[l].second);
    if (l > 1) {
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

size_t Pyramid::GroupSize(size_t frames) const {
  const size_t levelBytes = Count(sizes_[1].first, sizes_[1].second) * kPlanes * sizeof(float);
  return std::max<size_t>(1, std::min(frames, 1 + groupBytes_ / levelBytes));
}

void Pyramid::AddFrames(const std::vector<const edof_rows::FrameWarp*>& warps,
                        const float* weightSum) {
  const size_t levels = Levels();
  if (levels == 1) {
    for (const edof_rows::FrameWarp* warp : warps) {
      AddSingleLevelFrame(*warp, weightSum);
    }
    return;
  }
  const size_t group = GroupSize(warps.size());
  for (size_t first = 0; first < warps.size(); first += group) {
    const size_t count = std::min(group, warps.size() - first);
    while (firstLevels_.size() < count) {
      firstLevels_.emplace_back(sizes_[1].first, sizes_[1].second);
    }
    AddBaseLevels(warps.data() + first, count, weightSum);
    for (size_t g = 0; g < count; ++g) {
      AddCoarserLevels(firstLevels_[g]);
    }
  }
}

void Pyramid::AddBaseLevels(const edof_rows::FrameWarp* const* warps, size_t count,
                            const float* weightSum) {
  const PlanarImage* coarsest = Levels() == 2 ? &acc_[1] : nullptr;
  // Base rows of every frame of the group: warped into a ring, box-filtered into its level 1,
  // banded into acc(0) frame after frame at each row.
  ParallelRows(sizes_[0].second, maxThreads_, [&](int32_t begin, int32_t end) {
    std::vector<std::unique_ptr<WarpedRows>> rows;
    std::vector<std::unique_ptr<BandCursor<WarpedRows>>> cursors;
    for (size_t g = 0; g < count; ++g) {
      rows.push_back(std::make_unique<WarpedRows>(*warps[g], weightSum, sizes_[0].first));
      cursors.push_back(std::make_unique<BandCursor<WarpedRows>>(
          *rows.back(), tables_[0], firstLevels_[g], acc_[0], coarsest, begin, end, avx2_));
    }
    for (int32_t j = cursors[0]->Low(); j <= cursors[0]->High(); ++j) {
      for (const auto& cursor : cursors) {
        cursor->Step(j);
      }
    }
    for (const auto& cursor : cursors) {
      cursor->Finish();
    }
  });
}

void Pyramid::AddCoarserLevels(const PlanarImage& levelOne) {
  const size_t levels = Levels();
  const PlanarImage* coarsest = &acc_[levels - 1];
  for (size_t l = 1; l + 1 < levels; ++l) {
    const PlanarImage& fine = l == 1 ? levelOne : levels_[l];
    ParallelRows(sizes_[l].second, maxThreads_, [&](int32_t begin, int32_t end) {
      StoredRows rows(fine);
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
  firstLevels_.clear();
  for (size_t l = levels - 1; l-- > 0;) {
    ParallelRows(sizes_[l].second, maxThreads_, [&](int32_t begin, int32_t end) {
      CollapseChunk(acc_[l], acc_[l + 1], tables_[l], l == 0 ? out : nullptr, begin, end, avx2_);
    });
    acc_.pop_back();
  }
}

}  // namespace edof_pyramid
}  // namespace zentri_native
