#include "camera/decimation.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zentri_native {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the 4-byte pixel moves assume a little-endian processor");

DecimationPlan PlanDecimation(int sourceWidth, int sourceHeight, int maxWidth, int maxHeight) {
  const int mw = std::max(maxWidth, 1);
  const int mh = std::max(maxHeight, 1);
  const double scale =
      std::max(static_cast<double>(sourceWidth) / mw, static_cast<double>(sourceHeight) / mh);
  DecimationPlan plan;
  if (scale < 1.0) {
    plan.step = 1;
    plan.outWidth = sourceWidth;
    plan.outHeight = sourceHeight;
  } else {
    plan.step = std::max<int64_t>(static_cast<int64_t>(std::ceil(scale)), 1);
    plan.outWidth = static_cast<int>(sourceWidth / plan.step);
    plan.outHeight = static_cast<int>(sourceHeight / plan.step);
  }
  plan.outWidth = std::max(plan.outWidth, 1);
  plan.outHeight = std::max(plan.outHeight, 1);
  return plan;
}

void DecimateRgbToRgba(const uint8_t* source, int64_t stride, int sourceWidth, int sourceHeight,
                       const DecimationPlan& plan, uint8_t* destination) {
  const int64_t step = plan.step;
  const int outWidth = plan.outWidth;
  // Columns whose source pixel is not the last of its row can be moved as one 4-byte load (R, G,
  // B and the next pixel's R) with the alpha byte forced: those four bytes lie inside the row.
  const int64_t lastColumn = sourceWidth - 1;
  const int fastColumns =
      static_cast<int>(std::min<int64_t>(outWidth, (lastColumn + step - 1) / step));
  const int64_t columnStep = step * 3;
  for (int y = 0; y < plan.outHeight; ++y) {
    const int64_t row = std::min<int64_t>(y * step, sourceHeight - 1);
    const uint8_t* in = source + row * stride;
    uint8_t* out = destination + static_cast<int64_t>(y) * outWidth * 4;
    const uint8_t* pixel = in;
    for (int x = 0; x < fastColumns; ++x, pixel += columnStep, out += 4) {
      uint32_t value;
      std::memcpy(&value, pixel, 4);
      // Little-endian: the fourth byte in memory is the top byte.
      value |= 0xff000000u;
      std::memcpy(out, &value, 4);
    }
    for (int x = fastColumns; x < outWidth; ++x, out += 4) {
      const uint8_t* p = in + std::min<int64_t>(x * step, lastColumn) * 3;
      out[0] = p[0];
      out[1] = p[1];
      out[2] = p[2];
      out[3] = 255;
    }
  }
}

}  // namespace zentri_native
