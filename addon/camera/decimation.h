// Whole-number decimation of a packed RGB frame into a size-limited RGBA image, used by the
// one-shot grab and by the live preview alike.
#pragma once

#include <cstdint>
#include <vector>

namespace zentri_native {

struct DecimationPlan {
  int64_t step = 1;  // every step-th source column and row is kept
  int outWidth = 1;
  int outHeight = 1;
};

// The plan for a source of sourceWidth x sourceHeight (both >= 1) under the limits (values below
// 1 count as 1): scale = max(sw / mw, sh / mh); frames are never enlarged (step 1 below scale 1),
// otherwise step = ceil(scale) and the output is sw / step x sh / step, at least 1 x 1.
DecimationPlan PlanDecimation(int sourceWidth, int sourceHeight, int maxWidth, int maxHeight);

// Writes plan.outWidth x plan.outHeight RGBA pixels (packed rows, A = 255) to destination.
// Output pixel (x, y) is source pixel (min(x * step, sw - 1), min(y * step, sh - 1)). The caller
// guarantees stride >= 3 * sourceWidth and a source of at least stride x sourceHeight bytes.
void DecimateRgbToRgba(const uint8_t* source, int64_t stride, int sourceWidth, int sourceHeight,
                       const DecimationPlan& plan, uint8_t* destination);

// Precomputed source offsets of one plan, for a producer that decimates every frame of one
// geometry: columns[x] = min(x * step, sw - 1) * 3 and rows[y] = min(y * step, sh - 1) * stride.
struct DecimationTables {
  int64_t step = 1;
  int64_t rowBytes = 0;  // 3 * sourceWidth: the pixel bytes of a source row
  int fastColumns = 0;   // leading columns whose 4-byte read stays inside the row
  std::vector<int64_t> columns;
  std::vector<int64_t> rows;
};

// Fills tables for plan (may throw std::bad_alloc). Same preconditions as DecimateRgbToRgba.
void BuildDecimationTables(const DecimationPlan& plan, int64_t stride, int sourceWidth,
                           int sourceHeight, DecimationTables* tables);

// DecimateRgbToRgba through the tables: the same output, without per-pixel index arithmetic.
void DecimateWithTables(const uint8_t* source, const DecimationTables& tables,
                        uint8_t* destination);

}  // namespace zentri_native
