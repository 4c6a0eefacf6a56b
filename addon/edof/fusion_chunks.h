// Which rows of every pyramid level one chunk of output rows works on. A chunk collapses only its
// own output rows, but the upsampling of each coarser level reads a row or two beyond the rows
// below it, and each Gaussian row is the box filter of two finer rows: so the rows a chunk needs
// widen level by level into a halo. The rows of a halo are computed again by each chunk that
// needs them, from the same inputs with the same operations, so the bytes never depend on the
// split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "edof/fusion.h"
#include "edof/fusion_tables.h"

namespace zentri_native {
namespace edof_chunks {

// Rows [begin, end) of one level.
struct RowRange {
  int32_t begin = 0;
  int32_t end = 0;
  int32_t Count() const { return end - begin; }
};

// The rows of one chunk at each level l: band[l] are the rows whose bands are accumulated and
// collapsed (band[0] is the chunk's own output rows), gauss[l] the rows of the Gaussian level
// that the bands and the next coarser level read.
struct ChunkRows {
  RowRange band[kEdofMaxLevels];
  RowRange gauss[kEdofMaxLevels];
};

// The split of the output rows into chunks of chunkRows rows (the last may be shorter), with the
// rows of every level each chunk needs, and the resampling tables between neighbouring levels
// (tables[l]: level l + 1 up to level l).
class ChunkPlan {
 public:
  // chunkRows >= 1, else std::runtime_error.
  ChunkPlan(const std::vector<std::pair<int32_t, int32_t>>& sizes, int32_t chunkRows);

  size_t Levels() const { return sizes_.size(); }
  int32_t Width(size_t level) const { return sizes_[level].first; }
  int32_t Height(size_t level) const { return sizes_[level].second; }
  int64_t Chunks() const { return static_cast<int64_t>(chunks_.size()); }
  const ChunkRows& Chunk(int64_t index) const { return chunks_[static_cast<size_t>(index)]; }
  const edof_tables::ResampleTable& Table(size_t level) const { return tables_[level]; }

  // Run `run` of `runs` runs of neighbouring chunks that share the chunks evenly: the chunk
  // indices [first, second).
  std::pair<int64_t, int64_t> Run(int64_t run, int64_t runs) const {
    return {run * Chunks() / runs, (run + 1) * Chunks() / runs};
  }

  // The most rows any chunk has in band[l] and in gauss[l].
  int32_t MaxBandRows(size_t level) const { return maxBand_[level]; }
  int32_t MaxGaussRows(size_t level) const { return maxGauss_[level]; }

 private:
  std::vector<std::pair<int32_t, int32_t>> sizes_;
  std::vector<edof_tables::ResampleTable> tables_;
  std::vector<ChunkRows> chunks_;
  int32_t maxBand_[kEdofMaxLevels] = {};
  int32_t maxGauss_[kEdofMaxLevels] = {};
};

// The rows per chunk that FuseInto uses for an image of the given height: at most kEdofChunkRows
// (a chunk's rows of every level then stay in the cache), and at most height / maxThreads, so
// that every thread of the budget has a run of chunks whatever the height.
constexpr int32_t kEdofChunkRows = 16;
int32_t DefaultChunkRows(int32_t height, unsigned int maxThreads);

}  // namespace edof_chunks
}  // namespace zentri_native
