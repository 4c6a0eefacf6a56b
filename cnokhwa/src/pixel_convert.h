// Conversion of uncompressed camera frames into packed 8-bit RGB (R, G, B per pixel, rows of
// 3 x width bytes, top to bottom). Every conversion checks the source size against the geometry
// first, computing sizes in 64 bits, and reads nothing out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pixel_layouts.h"

struct v4l2_pix_format;

namespace cnokhwa {

// The Y'CbCr matrix of a frame, named by the standard that defines its luma weights.
enum class YcbcrEncoding : uint8_t { kBt601, kBt709, kBt2020, kSmpte240m };

// How a camera's Y'CbCr values map to R'G'B'. Limited range puts black at luma 16 and white at
// 235 (chroma 16 to 240); full range uses 0 to 255.
struct ColorDescription {
  YcbcrEncoding encoding = YcbcrEncoding::kBt601;
  bool fullRange = false;
};

// The colour description of V4L2's colorspace, ycbcr_enc and quantization fields, with the
// defaults the kernel gives to fields that say "default" (V4L2_MAP_YCBCR_ENC_DEFAULT and
// V4L2_MAP_QUANTIZATION_DEFAULT): BT.709 for the Rec. 709 and DCI-P3 colorspaces, BT.2020 and
// SMPTE 240M for theirs, BT.601 otherwise; limited range except for the JPEG colorspace. A driver
// that reports nothing therefore gets BT.601 limited range, what UVC cameras send.
ColorDescription DescribeColor(uint32_t colorspace, uint32_t ycbcrEncoding, uint32_t quantization);
// The same from a format the driver answered; the ycbcr_enc and quantization fields count only
// when priv carries V4L2_PIX_FMT_PRIV_MAGIC (the kernel sets it for every driver).
ColorDescription DescribeColor(const v4l2_pix_format& format);

// One uncompressed source frame as the driver describes it.
struct SourceFormat {
  uint32_t fourcc = 0;
  int width = 0;
  int height = 0;
  // Bytes from one row of the first plane to the next (bytesperline); 0 takes the packed row size
  // of the layout. Planar chroma rows have half of it, rounded up; NV12/NV21 chroma rows the same.
  int64_t stride = 0;
  ColorDescription color;
};

// Bytes that one frame needs (the last row without its padding); 0 when the format is not
// convertible here (unknown, or JPEG) or the geometry is not valid: width or height below 1 or
// above 16384, a stride too small for a row, or Bayer data smaller than 2 x 2.
uint64_t SourceFrameBytes(const SourceFormat& format);

// Converts one frame into dst (width x 3 x height bytes, dstSize at least that). Returns false,
// with nothing written, when the format is not convertible, the geometry is not valid, src is
// shorter than SourceFrameBytes, or dst is too small.
bool ConvertToRgb(const SourceFormat& format, const uint8_t* src, size_t srcSize, uint8_t* dst,
                  size_t dstSize);

// Instruction sets of the row kernels. The best one the processor has is chosen once at start;
// tests and benchmarks may ask for a given one. Every path gives the same bytes as the scalar one.
enum class SimdPath { kScalar, kSse41, kAvx2 };
bool SimdPathAvailable(SimdPath path);
SimdPath BestSimdPath();
bool ConvertToRgb(const SourceFormat& format, const uint8_t* src, size_t srcSize, uint8_t* dst,
                  size_t dstSize, SimdPath path);

}  // namespace cnokhwa
