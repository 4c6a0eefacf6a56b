#include "edof/fusion_chunks.h"

#include <algorithm>
#include <stdexcept>

namespace zentri_native {
namespace edof_chunks {

namespace {

// The coarser-level rows that the upsampling of the rows [begin, end) reads.
RowRange SourceRows(const edof_tables::ResampleTable& table, const RowRange& rows) {
  RowRange source{table.rows[static_cast<size_t>(rows.begin)].i0,
                  table.rows[static_cast<size_t>(rows.begin)].i1 + 1};
  for (int32_t y = rows.begin; y < rows.end; ++y) {
    const edof_tables::AxisTap& taps = table.rows[static_cast<size_t>(y)];
    source.begin = std::min(source.begin, std::min(taps.i0, taps.i1));
    source.end = std::max(source.end, std::max(taps.i0, taps.i1) + 1);
  }
  return source;
}

}  // namespace

ChunkPlan::ChunkPlan(const std::vector<std::pair<int32_t, int32_t>>& sizes, int32_t chunkRows)
    : sizes_(sizes) {
  if (chunkRows < 1 || sizes_.empty() || sizes_.size() > static_cast<size_t>(kEdofMaxLevels)) {
    throw std::runtime_error("Native EDOF chunk rows are invalid");
  }
  for (size_t l = 0; l + 1 < sizes_.size(); ++l) {
    tables_.emplace_back(sizes_[l + 1].first, sizes_[l + 1].second, sizes_[l].first,
                         sizes_[l].second);
  }
  const int32_t height = sizes_[0].second;
  const size_t levels = sizes_.size();
  chunks_.reserve(static_cast<size_t>((static_cast<int64_t>(height) + chunkRows - 1) / chunkRows));
  for (int64_t begin = 0; begin < height; begin += chunkRows) {
    ChunkRows chunk;
    chunk.band[0] = {static_cast<int32_t>(begin),
                     static_cast<int32_t>(std::min<int64_t>(height, begin + chunkRows))};
    for (size_t l = 0; l + 1 < levels; ++l) {
      chunk.band[l + 1] = SourceRows(tables_[l], chunk.band[l]);
    }
    // Coarsest first: each Gaussian row r is made from the finer rows 2r and 2r + 1 (where the
    // finer level has it), and every level's own bands read its rows band[l].
    chunk.gauss[levels - 1] = chunk.band[levels - 1];
    for (size_t l = levels - 1; l-- > 0;) {
      const RowRange& coarser = chunk.gauss[l + 1];
      chunk.gauss[l] = {std::min(chunk.band[l].begin, 2 * coarser.begin),
                        std::max(chunk.band[l].end, std::min(2 * coarser.end, sizes_[l].second))};
    }
    for (size_t l = 0; l < levels; ++l) {
      maxBand_[l] = std::max(maxBand_[l], chunk.band[l].Count());
      maxGauss_[l] = std::max(maxGauss_[l], chunk.gauss[l].Count());
    }
    chunks_.push_back(chunk);
  }
}

int32_t DefaultChunkRows(int32_t height, unsigned int maxThreads) {
  const int64_t threads = std::max(1u, maxThreads);
  const int64_t rows =
      std::min<int64_t>(kEdofChunkRows, height / std::min<int64_t>(height, threads));
  return static_cast<int32_t>(std::max<int64_t>(1, rows));
}

}  // namespace edof_chunks
}  // namespace zentri_native
