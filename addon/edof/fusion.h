// Multiband (Laplacian pyramid) fusion of a focus stack, without Node-API. The script entry
// "edofMultibandFuse" checks a request, builds these views over the script's typed arrays and
// calls Fuse; the unit tests and the benchmark call the same functions directly.
//
// The arithmetic is fixed to the bit: coordinates and tap weights in double, colour taps summed in
// a float in tap order, every per-frame accumulation in frame order. The files of this module are
// built with -ffp-contract=off so that no fused multiply-add changes a rounding. The result does
// not depend on the thread budget: every pixel value comes from the same sequence of operations
// whichever thread computes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "edof/fusion_kernels.h"

namespace zentri_native {

// Largest width or height of an image, a pyramid level or a field map.
constexpr int32_t kEdofMaxDimension = 16384;
constexpr int kEdofMaxLevels = 4;

// One frame of the stack: width x height RGBA pixels of the output size, rows packed. A is never
// read. physicalScale > 0 scales the frame about its centre (source pixels per output pixel).
struct FrameView {
  const uint8_t* rgba = nullptr;
  double physicalScale = 1.0;
};

// A displacement field: at map cell (i, j) x and y give the position in the frame, in map cells,
// of what the output shows there; confidence says how far to trust it. Frames whose field is not
// accepted take no part in the blend.
struct FieldView {
  int32_t mapWidth = 0;
  int32_t mapHeight = 0;
  const float* x = nullptr;
  const float* y = nullptr;
  const float* confidence = nullptr;
  bool accepted = false;
};

// One pyramid level: R, G, B interleaved and one weight per pixel, row-major.
struct Level {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<float> rgb;
  std::vector<float> weight;
};

// The fused RGBA image (alpha 255). weights[k] holds fields[k].mapWidth x mapHeight sharpness
// values. maxThreads bounds the threads of every pass; simd is "avx2" to use the AVX2 kernels of
// fusion_kernels.h (where the processor has AVX2), anything else for the plain code, which gives
// the same bytes. Throws std::runtime_error for
// invalid dimensions or a malformed stack; allocation and thread-start failures propagate. Every
// thread started is joined before anything propagates.
std::vector<uint8_t> Fuse(int32_t width, int32_t height, int32_t referenceIndex,
                          const std::vector<FrameView>& frames,
                          const std::vector<FieldView>& fields,
                          const std::vector<const float*>& weights, unsigned int maxThreads,
                          const std::string& simd);

// Fuse, writing the width x height x 4 result bytes to out (every byte is written) instead of
// returning them: the script entry fuses straight into the buffer it hands to the script.
void FuseInto(int32_t width, int32_t height, int32_t referenceIndex,
              const std::vector<FrameView>& frames, const std::vector<FieldView>& fields,
              const std::vector<const float*>& weights, unsigned int maxThreads,
              const std::string& simd, uint8_t* out);

// FuseInto with the output rows split into chunks of chunkRows rows (the last may be shorter)
// instead of FuseInto's choice; the bytes are the same for any split. chunkRows below 1 throws
// std::runtime_error. For tests of the split.
void FuseIntoWithChunkRows(int32_t width, int32_t height, int32_t referenceIndex,
                           const std::vector<FrameView>& frames,
                           const std::vector<FieldView>& fields,
                           const std::vector<const float*>& weights, unsigned int maxThreads,
                           const std::string& simd, int32_t chunkRows, uint8_t* out);

// width x height when both are 1 to 16384, else std::runtime_error
// "Native EDOF dimensions are invalid".
int64_t CheckedPixels(int32_t width, int32_t height);

// Bilinear sample of a width x height float map at (x, y), with the coordinates clamped to the
// map; computed in double, returned as float.
float SampleMapClamped(const float* map, int32_t width, int32_t height, double x, double y);

// The sizes of the pyramid levels of a width x height image: 1 to 4 entries, halved (rounded up)
// while the last is at least 65 x 37. Each is checked with CheckedPixels.
std::vector<std::pair<int32_t, int32_t>> PyramidLevelSizes(int32_t width, int32_t height);

// The next coarser level: a 2 x 2 box filter whose border boxes average the pixels that exist.
Level Downsample(const Level& src, unsigned int maxThreads);

// Bilinear resampling of sw x sh RGB data to dw x dh.
std::vector<float> UpsampleRgb(const std::vector<float>& rgb, int32_t srcWidth, int32_t srcHeight,
                               int32_t dstWidth, int32_t dstHeight, unsigned int maxThreads);

// Runs body(beginRow, endRow) over rows 0 to rows, split into min(rows, maxThreads) chunks: one
// thread per chunk but the last, which runs on the calling thread. Fewer than 2 chunks or fewer
// than 48 rows run on the calling thread alone. Every started thread is joined before an
// exception leaves; an exception of the calling thread's chunk is preferred, then those of the
// other chunks in order. A failure to start a thread joins the started ones and propagates at
// once.
using RowBody = std::function<void(int32_t beginRow, int32_t endRow)>;
void ParallelRows(int32_t rows, unsigned int maxThreads, const RowBody& body);

// The byte that the output stores for a collapsed value: lroundf (half away from zero), limited
// to 0 to 255.
uint8_t RoundToByte(float value);

}  // namespace zentri_native
