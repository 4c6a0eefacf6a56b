// The passes of the pyramid fusion over planar float images: the weight sum, each frame's
// Gaussian pyramid and Laplacian bands added to the accumulators, and the collapse into RGBA
// bytes. Every pass is split into row chunks by ParallelRows; each pixel is written by exactly
// one chunk, and rows a chunk needs from beyond its own range are computed again from the same
// inputs with the same operations, so the bytes never depend on the split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "edof/fusion.h"
#include "edof/fusion_rows.h"
#include "edof/fusion_tables.h"

namespace zentri_native {
namespace edof_pyramid {

// Floats that start at zero. They come as fresh pages from the kernel (huge pages where the
// system allows), so no serial fill runs: pages are zeroed where the first parallel pass
// touches them. Throws std::bad_alloc when the memory cannot be had.
class ZeroedFloats {
 public:
  ZeroedFloats() = default;
  explicit ZeroedFloats(size_t count);
  ~ZeroedFloats();
  ZeroedFloats(ZeroedFloats&& other) noexcept;
  ZeroedFloats& operator=(ZeroedFloats&& other) noexcept;
  ZeroedFloats(const ZeroedFloats&) = delete;
  ZeroedFloats& operator=(const ZeroedFloats&) = delete;

  float* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  void Release();

  void* mapping_ = nullptr;
  size_t mappingBytes_ = 0;
  float* data_ = nullptr;
  size_t size_ = 0;
};

// width x height pixels in four float planes (R, G, B, weight), zero at start.
class PlanarImage {
 public:
  PlanarImage() = default;
  PlanarImage(int32_t width, int32_t height);

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  edof_rows::RowPlanes Row(int32_t y) const;

 private:
  int32_t width_ = 0;
  int32_t height_ = 0;
  size_t planeSize_ = 0;
  ZeroedFloats storage_;
};

// Everything one call keeps while it adds the frames: the level sizes, the resampling tables
// between neighbouring levels (tables[l]: level l + 1 up to level l), one accumulator per level
// and the Gaussian pyramid of the frames in work from level 1 on (the base level exists only row
// by row).
class Pyramid {
 public:
  // groupBytes bounds the memory of the level-1 images that a group keeps beyond the first.
  Pyramid(const std::vector<std::pair<int32_t, int32_t>>& sizes, unsigned int maxThreads, bool avx2,
          size_t groupBytes);

  // The weight sum over every frame, accepted or not, added in frame order at each pixel.
  void SumWeights(const std::vector<FieldView>& fields, const std::vector<const float*>& weights,
                  const std::vector<edof_rows::MapRowChecks>& checks, float* sum) const;

  // Adds the accepted frames, in order: each one's base level warped row by row, its Gaussian
  // pyramid and its bands. Frames go through the base level in groups, every accumulator row
  // taking the group's bands one after the other while it is in cache; each frame of a group
  // keeps its own level 1 until its coarser levels are done.
  void AddFrames(const std::vector<const edof_rows::FrameWarp*>& warps, const float* weightSum);

  // Normalises and collapses the accumulators into width x height RGBA bytes.
  void CollapseInto(uint8_t* out);

 private:
  size_t Levels() const { return sizes_.size(); }
  size_t GroupSize(size_t frames) const;
  void AddSingleLevelFrame(const edof_rows::FrameWarp& warp, const float* weightSum);
  void AddBaseLevels(const edof_rows::FrameWarp* const* warps, size_t count,
                     const float* weightSum);
  void AddCoarserLevels(const PlanarImage& levelOne);

  std::vector<std::pair<int32_t, int32_t>> sizes_;
  unsigned int maxThreads_;
  bool avx2_;
  size_t groupBytes_;
  std::vector<edof_tables::ResampleTable> tables_;
  std::vector<PlanarImage> acc_;
  std::vector<PlanarImage> levels_;
  std::vector<PlanarImage> firstLevels_;
};

}  // namespace edof_pyramid
}  // namespace zentri_native
