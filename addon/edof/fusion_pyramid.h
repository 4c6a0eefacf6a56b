// One chunk of output rows through the whole pyramid. For every accepted frame in order, the
// chunk warps the base-level rows it needs, box-filters them into the Gaussian rows of each
// coarser level, and adds the Laplacian bands (fine - upsampled coarser level, times the fine
// level's weight) of its rows to accumulators of its own, the coarsest level's colours times
// weight; then it normalises and collapses the accumulators into its own output rows. Its
// working memory is a few rows per level: it depends on the width and the chunk size, not on
// the height.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "edof/fusion_chunks.h"
#include "edof/fusion_rows.h"

namespace zentri_native {
namespace edof_pyramid {

// Rows of one level held by a chunk, from row `first` on, each row four planes of `width`
// floats one after the other.
struct LevelRows {
  float* base = nullptr;
  int32_t first = 0;
  size_t width = 0;

  edof_rows::RowPlanes Row(int32_t y) const {
    float* row = base + static_cast<size_t>(y - first) * edof_rows::kPlanes * width;
    return {{row, row + width, row + 2 * width, row + 3 * width}};
  }
};

// The working memory of one worker, sized for the plan's largest chunk: per level the Gaussian
// rows of the frame in work and the chunk's accumulator rows, the weight sum rows of the base
// level and two upsampled rows for the collapse.
class ChunkScratch {
 public:
  // Throws std::length_error when the size does not fit the address space, std::bad_alloc when
  // the memory cannot be had.
  explicit ChunkScratch(const edof_chunks::ChunkPlan& plan);

  // The floats a worker's scratch holds for a plan, counted in 64 bits.
  static uint64_t Floats(const edof_chunks::ChunkPlan& plan);

  float* Gauss(size_t level) { return storage_.data() + gauss_[level]; }
  float* Acc(size_t level) { return storage_.data() + acc_[level]; }
  float* WeightSum() { return storage_.data() + weightSum_; }
  float* Upsampled() { return storage_.data() + upsampled_; }

 private:
  std::vector<float> storage_;
  size_t gauss_[kEdofMaxLevels] = {};
  size_t acc_[kEdofMaxLevels] = {};
  size_t weightSum_ = 0;
  size_t upsampled_ = 0;
};

// Fuses chunk `chunk` of the plan into its rows of out (width x height RGBA bytes): warps are the
// accepted frames in frame order, weightSum the stack's weight sum.
void FuseChunk(const edof_chunks::ChunkPlan& plan, int64_t chunk,
               const std::vector<const edof_rows::FrameWarp*>& warps,
               const edof_rows::WeightSum& weightSum, bool avx2, ChunkScratch& scratch,
               uint8_t* out);

// The bytes of one worker's scratch when a width x height image is fused in chunks of chunkRows
// output rows.
uint64_t ChunkScratchBytes(int32_t width, int32_t height, int32_t chunkRows);

}  // namespace edof_pyramid
}  // namespace zentri_native
