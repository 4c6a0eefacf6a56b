#include "edof/fusion.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <utility>

#include "edof/fusion_chunks.h"
#include "edof/fusion_pyramid.h"
#include "edof/fusion_rows.h"
#include "edof/fusion_tables.h"
#include "edof/parallel_rows.h"

namespace zentri_native {

namespace {

constexpr const char* kInvalidDimensions = "Native EDOF dimensions are invalid";

using edof_rows::kColourPlanes;
using edof_rows::kPlanes;
using edof_rows::kWeightPlane;

size_t Count(int64_t pixels, int channels) {
  return static_cast<size_t>(pixels) * static_cast<size_t>(channels);
}

// width x height pixels in four float planes (R, G, B, weight), zero at start: the layout the
// row steps work on.
class PlanarImage {
 public:
  PlanarImage(int32_t width, int32_t height)
      : width_(width),
        height_(height),
        planeSize_(Count(CheckedPixels(width, height), 1)),
        storage_(Count(CheckedPixels(width, height), kPlanes), 0.0f) {}

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  edof_rows::RowPlanes Row(int32_t y) const {
    float* start = const_cast<float*>(storage_.data()) + Count(y, width_);
    return {{start, start + planeSize_, start + 2 * planeSize_, start + 3 * planeSize_}};
  }

 private:
  int32_t width_;
  int32_t height_;
  size_t planeSize_;
  std::vector<float> storage_;
};

int32_t DownsampledSize(int32_t size) {
  return size < 3 ? 1 : (size + 1) / 2;
}

Level MakeLevel(int32_t width, int32_t height) {
  const int64_t pixels = CheckedPixels(width, height);
  Level level;
  level.width = width;
  level.height = height;
  level.rgb.assign(Count(pixels, 3), 0.0f);
  level.weight.assign(Count(pixels, 1), 0.0f);
  return level;
}

// Interleaved RGB (and optionally the weights) into the planes of a planar image.
PlanarImage ToPlanar(const float* rgb, const float* weight, int32_t width, int32_t height) {
  PlanarImage image(width, height);
  for (int32_t y = 0; y < height; ++y) {
    const edof_rows::RowPlanes row = image.Row(y);
    const size_t start = static_cast<size_t>(y) * static_cast<size_t>(width);
    for (int32_t x = 0; x < width; ++x) {
      const size_t i = start + static_cast<size_t>(x);
      for (int c = 0; c < kColourPlanes; ++c) {
        row.plane[c][x] = rgb[3 * i + static_cast<size_t>(c)];
      }
      row.plane[kWeightPlane][x] = weight != nullptr ? weight[i] : 0.0f;
    }
  }
  return image;
}

void FromPlanar(const PlanarImage& image, float* rgb, float* weight) {
  for (int32_t y = 0; y < image.height(); ++y) {
    const edof_rows::RowPlanes row = image.Row(y);
    const size_t start = static_cast<size_t>(y) * static_cast<size_t>(image.width());
    for (int32_t x = 0; x < image.width(); ++x) {
      const size_t i = start + static_cast<size_t>(x);
      for (int c = 0; c < kColourPlanes; ++c) {
        rgb[3 * i + static_cast<size_t>(c)] = row.plane[c][x];
      }
      if (weight != nullptr) {
        weight[i] = row.plane[kWeightPlane][x];
      }
    }
  }
}

void CheckStack(int32_t width, int32_t height, int32_t referenceIndex,
                const std::vector<FrameView>& frames, const std::vector<FieldView>& fields,
                const std::vector<const float*>& weights) {
  CheckedPixels(width, height);
  if (frames.empty() || fields.size() != frames.size() || weights.size() != frames.size()) {
    throw std::runtime_error("Native EDOF stack lengths are invalid");
  }
  if (referenceIndex < 0 || static_cast<size_t>(referenceIndex) >= frames.size()) {
    throw std::runtime_error("Native EDOF reference index is invalid");
  }
  for (size_t k = 0; k < frames.size(); ++k) {
    CheckedPixels(fields[k].mapWidth, fields[k].mapHeight);
    if (frames[k].rgba == nullptr || fields[k].x == nullptr || fields[k].y == nullptr ||
        fields[k].confidence == nullptr || weights[k] == nullptr) {
      throw std::runtime_error("Native EDOF frame or field is invalid");
    }
  }
}

}  // namespace

int64_t CheckedPixels(int32_t width, int32_t height) {
  if (width < 1 || height < 1 || width > kEdofMaxDimension || height > kEdofMaxDimension) {
    throw std::runtime_error(kInvalidDimensions);
  }
  return static_cast<int64_t>(width) * height;
}

float SampleMapClamped(const float* map, int32_t width, int32_t height, double x, double y) {
  const edof_tables::AxisTap tx = edof_tables::ClampedTap(x, width);
  const edof_tables::AxisTap ty = edof_tables::ClampedTap(y, height);
  const float* row0 = map + static_cast<size_t>(ty.i0) * static_cast<size_t>(width);
  const float* row1 = map + static_cast<size_t>(ty.i1) * static_cast<size_t>(width);
  const double top = (static_cast<double>(row0[tx.i1]) - row0[tx.i0]) * tx.f + row0[tx.i0];
  const double bottom = (static_cast<double>(row1[tx.i1]) - row1[tx.i0]) * tx.f + row1[tx.i0];
  return static_cast<float>(top * (1 - ty.f) + bottom * ty.f);
}

std::vector<std::pair<int32_t, int32_t>> PyramidLevelSizes(int32_t width, int32_t height) {
  std::vector<std::pair<int32_t, int32_t>> sizes{{width, height}};
  while (static_cast<int>(sizes.size()) < kEdofMaxLevels && sizes.back().first >= 65 &&
         sizes.back().second >= 37) {
    sizes.emplace_back((sizes.back().first + 1) / 2, (sizes.back().second + 1) / 2);
  }
  for (const auto& size : sizes) {
    CheckedPixels(size.first, size.second);
  }
  return sizes;
}

Level Downsample(const Level& src, unsigned int maxThreads) {
  Level dst = MakeLevel(DownsampledSize(src.width), DownsampledSize(src.height));
  if (src.rgb.size() != Count(CheckedPixels(src.width, src.height), 3) ||
      src.weight.size() != Count(CheckedPixels(src.width, src.height), 1)) {
    throw std::runtime_error(kInvalidDimensions);
  }
  const PlanarImage source = ToPlanar(src.rgb.data(), src.weight.data(), src.width, src.height);
  const PlanarImage out(dst.width, dst.height);
  ParallelRows(dst.height, maxThreads, [&](int32_t begin, int32_t end) {
    for (int32_t oy = begin; oy < end; ++oy) {
      const edof_rows::ConstRowPlanes top = edof_rows::AsConst(source.Row(2 * oy));
      const bool hasBottom = 2 * static_cast<int64_t>(oy) + 1 < src.height;
      const edof_rows::ConstRowPlanes bottom =
          hasBottom ? edof_rows::AsConst(source.Row(2 * oy + 1)) : top;
      edof_rows::DownsampleRow(top, hasBottom ? &bottom : nullptr, src.width, out.Row(oy),
                               dst.width, false);
    }
  });
  FromPlanar(out, dst.rgb.data(), dst.weight.data());
  return dst;
}

std::vector<float> UpsampleRgb(const std::vector<float>& rgb, int32_t srcWidth, int32_t srcHeight,
                               int32_t dstWidth, int32_t dstHeight, unsigned int maxThreads) {
  const int64_t pixels = CheckedPixels(dstWidth, dstHeight);
  if (rgb.size() != Count(CheckedPixels(srcWidth, srcHeight), 3)) {
    throw std::runtime_error(kInvalidDimensions);
  }
  const edof_tables::ResampleTable table(srcWidth, srcHeight, dstWidth, dstHeight);
  const PlanarImage source = ToPlanar(rgb.data(), nullptr, srcWidth, srcHeight);
  const PlanarImage out(dstWidth, dstHeight);
  ParallelRows(dstHeight, maxThreads, [&](int32_t begin, int32_t end) {
    for (int32_t y = begin; y < end; ++y) {
      const edof_tables::AxisTap& taps = table.rows[static_cast<size_t>(y)];
      const edof_rows::RowPlanes top = source.Row(taps.i0);
      const edof_rows::RowPlanes bottom = source.Row(taps.i1);
      const edof_rows::RowPlanes row = out.Row(y);
      edof_rows::UpsampleRow({{top.plane[0], top.plane[1], top.plane[2]},
                              {bottom.plane[0], bottom.plane[1], bottom.plane[2]}},
                             table, taps.f, row.plane, false);
    }
  });
  std::vector<float> result(Count(pixels, 3), 0.0f);
  FromPlanar(out, result.data(), nullptr);
  return result;
}

void AddArrayScalar(float* dst, const float* src, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    dst[i] += src[i];
  }
}

uint8_t RoundToByte(float value) {
  // The common range is rounded here; lroundf decides the rest (out of range, NaN), clamped.
  if (value >= 0.0f && value < 256.0f) {
    int32_t whole = static_cast<int32_t>(value);
    if (value - static_cast<float>(whole) >= 0.5f) {
      ++whole;
    }
    return static_cast<uint8_t>(std::min(whole, 255));
  }
  const long rounded = std::lroundf(value);
  return static_cast<uint8_t>(rounded < 0 ? 0 : (rounded > 255 ? 255 : rounded));
}

void FuseInto(int32_t width, int32_t height, int32_t referenceIndex,
              const std::vector<FrameView>& frames, const std::vector<FieldView>& fields,
              const std::vector<const float*>& weights, unsigned int maxThreads,
              const std::string& simd, uint8_t* out) {
  CheckedPixels(width, height);
  FuseIntoWithChunkRows(width, height, referenceIndex, frames, fields, weights, maxThreads, simd,
                        edof_chunks::DefaultChunkRows(height, std::max(1u, maxThreads)), out);
}

void FuseIntoWithChunkRows(int32_t width, int32_t height, int32_t referenceIndex,
                           const std::vector<FrameView>& frames,
                           const std::vector<FieldView>& fields,
                           const std::vector<const float*>& weights, unsigned int maxThreads,
                           const std::string& simd, int32_t chunkRows, uint8_t* out) {
  CheckStack(width, height, referenceIndex, frames, fields, weights);
  maxThreads = std::max(1u, maxThreads);
  // The AVX2 kernels only where the processor has them, whatever the caller asked.
  const bool avx2 = simd == "avx2" && __builtin_cpu_supports("avx2");
  const edof_chunks::ChunkPlan plan(PyramidLevelSizes(width, height), chunkRows);
  std::vector<edof_rows::MapRowChecks> checks;
  checks.reserve(frames.size());
  for (size_t k = 0; k < frames.size(); ++k) {
    checks.emplace_back(fields[k], weights[k]);
  }
  const edof_rows::WeightSum weightSum(width, height, fields, weights, checks, avx2);
  const uint8_t* reference = frames[static_cast<size_t>(referenceIndex)].rgba;
  std::vector<std::unique_ptr<edof_rows::FrameWarp>> warps;
  std::vector<const edof_rows::FrameWarp*> accepted;
  for (size_t k = 0; k < frames.size(); ++k) {
    if (!fields[k].accepted) {
      continue;
    }
    warps.push_back(std::make_unique<edof_rows::FrameWarp>(
        width, height, frames[k], fields[k], weights[k], reference,
        static_cast<int32_t>(k) == referenceIndex, avx2, checks[k]));
    accepted.push_back(warps.back().get());
  }
  // Each worker takes a run of neighbouring chunks and goes through them in order, so that the
  // rows one chunk shares with the next are made once. Every worker's scratch is allocated
  // before any thread starts.
  const int64_t chunks = plan.Chunks();
  const unsigned int workers = static_cast<unsigned int>(std::min<int64_t>(chunks, maxThreads));
  std::vector<edof_pyramid::ChunkScratch> scratch;
  scratch.reserve(workers);
  for (unsigned int w = 0; w < workers; ++w) {
    scratch.emplace_back(plan, accepted.size());
  }
  ParallelChunks(workers, workers, [&](int64_t run, unsigned int worker) {
    const std::pair<int64_t, int64_t> range = plan.Run(run, workers);
    for (int64_t chunk = range.first; chunk < range.second; ++chunk) {
      edof_pyramid::FuseChunk(plan, chunk, accepted, weightSum, avx2, scratch[worker], out);
    }
  });
}

std::vector<uint8_t> Fuse(int32_t width, int32_t height, int32_t referenceIndex,
                          const std::vector<FrameView>& frames,
                          const std::vector<FieldView>& fields,
                          const std::vector<const float*>& weights, unsigned int maxThreads,
                          const std::string& simd) {
  std::vector<uint8_t> result(Count(CheckedPixels(width, height), 4), 0);
  FuseInto(width, height, referenceIndex, frames, fields, weights, maxThreads, simd, result.data());
  return result;
}

}  // namespace zentri_native
