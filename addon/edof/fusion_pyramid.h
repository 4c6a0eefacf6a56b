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
#include <memory>
#include <vector>

#include "edof/fusion_chunks.h"
#include "edof/fusion_rows.h"

namespace zentri_native {
namespace edof_pyramid {

// Rows of one level in a ring of `capacity` rows: row y in slot y % capacity, each row four
// planes of `width` floats one after the other. held are the rows the ring holds now.
struct LevelRows {
  float* base = nullptr;
  int32_t capacity = 1;
  size_t width = 0;
  edof_chunks::RowRange held;

  edof_rows::RowPlanes Row(int32_t y) const {
    float* row = base + static_cast<size_t>(y % capacity) * edof_rows::kPlanes * width;
    return {{row, row + width, row + 2 * width, row + 3 * width}};
  }
};

// The working memory of one worker, sized for the plan's largest chunk: per frame and level a
// ring of Gaussian rows, per level the chunk's accumulator rows, a ring of weight sum rows of the
// base level and two upsampled rows for the collapse. A worker takes the chunks of a run in
// order; the rings keep the rows that the previous chunk made and the next one needs again, so
// within a run each Gaussian row is made once.
class ChunkScratch {
 public:
  // Throws std::length_error when the size does not fit the address space, std::bad_alloc when
  // the memory cannot be had.
  ChunkScratch(const edof_chunks::ChunkPlan& plan, size_t frames);

  // The floats a worker's scratch holds for a plan and a number of accepted frames, counted in
  // 64 bits.
  static uint64_t Floats(const edof_chunks::ChunkPlan& plan, size_t frames);

  LevelRows& Gauss(size_t frame, size_t level) { return gauss_[frame * kEdofMaxLevels + level]; }
  LevelRows& Acc(size_t level) { return acc_[level]; }
  LevelRows& WeightSum() { return weightSum_; }
  float* Upsampled() { return storage_.get() + upsampled_; }

 private:
  // Left uninitialised: every row is written before it is read.
  std::unique_ptr<float[]> storage_;
  std::vector<LevelRows> gauss_;
  LevelRows acc_[kEdofMaxLevels];
  LevelRows weightSum_;
  size_t upsampled_ = 0;
};

// Fuses chunk `chunk` of the plan into its rows of out (width x height RGBA bytes): warps are the
// accepted frames in frame order, weightSum the stack's weight sum. Rows the scratch holds from
// the worker's previous chunk are used again where this chunk needs them.
void FuseChunk(const edof_chunks::ChunkPlan& plan, int64_t chunk,
               const std::vector<const edof_rows::FrameWarp*>& warps,
               const edof_rows::WeightSum& weightSum, bool avx2, ChunkScratch& scratch,
               uint8_t* out);

// The bytes of one worker's scratch when a width x height image with the given number of
// accepted frames is fused in chunks of chunkRows output rows.
uint64_t ChunkScratchBytes(int32_t width, int32_t height, int32_t chunkRows, size_t frames);

}  // namespace edof_pyramid
}  // namespace zentri_native
