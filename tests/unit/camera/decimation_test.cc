#include "camera/decimation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace zentri_native {
namespace {

// Straight from the rule: output pixel (x, y) is source pixel (min(x * step, sw - 1),
// min(y * step, sh - 1)), alpha 255.
std::vector<uint8_t> Reference(const std::vector<uint8_t>& src, int64_t stride, int sw, int sh,
                               const DecimationPlan& plan) {
  std::vector<uint8_t> out(static_cast<size_t>(plan.outWidth) * 4 * plan.outHeight);
  for (int y = 0; y < plan.outHeight; ++y) {
    for (int x = 0; x < plan.outWidth; ++x) {
      const int64_t sx = std::min<int64_t>(x * plan.step, sw - 1);
      const int64_t sy = std::min<int64_t>(y * plan.step, sh - 1);
      const uint8_t* p = &src[sy * stride + sx * 3];
      uint8_t* o = &out[(static_cast<size_t>(y) * plan.outWidth + x) * 4];
      o[0] = p[0];
      o[1] = p[1];
      o[2] = p[2];
      o[3] = 255;
    }
  }
  return out;
}

std::vector<uint8_t> Noise(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  for (auto& b : bytes) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(seed >> 24);
  }
  return bytes;
}

TEST(PlanDecimation, WholeStepsNeverEnlarging) {
  auto plan = [](int sw, int sh, int mw, int mh) {
    const DecimationPlan p = PlanDecimation(sw, sh, mw, mh);
    return std::vector<int64_t>{p.step, p.outWidth, p.outHeight};
  };
  EXPECT_EQ(plan(1920, 1080, 960, 540), (std::vector<int64_t>{2, 960, 540}));
  EXPECT_EQ(plan(1280, 720, 960, 540), (std::vector<int64_t>{2, 640, 360}));
  EXPECT_EQ(plan(640, 480, 960, 540), (std::vector<int64_t>{1, 640, 480}));
  EXPECT_EQ(plan(1001, 1001, 500, 500), (std::vector<int64_t>{3, 333, 333}));
  EXPECT_EQ(plan(960, 540, 960, 540), (std::vector<int64_t>{1, 960, 540})) << "scale exactly 1";
  EXPECT_EQ(plan(1920, 1080, 0, -5), (std::vector<int64_t>{1920, 1, 1})) << "limits count as 1";
  EXPECT_EQ(plan(3, 2, 1, 1), (std::vector<int64_t>{3, 1, 1}));
  EXPECT_EQ(plan(2147483647, 1, 1, 1), (std::vector<int64_t>{2147483647, 1, 1}));
  EXPECT_EQ(plan(100, 1, 1, 1000), (std::vector<int64_t>{100, 1, 1}));
}

TEST(DecimateRgbToRgba, MatchesTheRuleForManyShapes) {
  struct Case {
    int sw, sh, stridePad, mw, mh;
  };
  const Case cases[] = {
      {1920, 1080, 0, 960, 540}, {1280, 720, 0, 960, 540}, {640, 480, 0, 960, 540},
      {1001, 1001, 5, 500, 500}, {7, 5, 1, 2, 2},          {1, 1, 0, 960, 540},
      {3, 2, 0, 1, 1},           {2, 9, 3, 1, 4},          {97, 13, 2, 10, 10},
  };
  for (const Case& c : cases) {
    const int64_t stride = int64_t{c.sw} * 3 + c.stridePad;
    // Exactly stride x height bytes, so reading past the frame is caught by the sanitizers.
    const std::vector<uint8_t> src = Noise(static_cast<size_t>(stride) * c.sh, c.sw * 31 + c.sh);
    const DecimationPlan plan = PlanDecimation(c.sw, c.sh, c.mw, c.mh);
    std::vector<uint8_t> out(static_cast<size_t>(plan.outWidth) * 4 * plan.outHeight);
    DecimateRgbToRgba(src.data(), stride, c.sw, c.sh, plan, out.data());
    const std::vector<uint8_t> expected = Reference(src, stride, c.sw, c.sh, plan);
    EXPECT_EQ(out, expected) << c.sw << "x" << c.sh << " under " << c.mw << "x" << c.mh;
    // The preview's table-driven path gives the same bytes.
    DecimationTables tables;
    BuildDecimationTables(plan, stride, c.sw, c.sh, &tables);
    std::vector<uint8_t> viaTables(out.size(), 0);
    DecimateWithTables(src.data(), tables, viaTables.data());
    EXPECT_EQ(viaTables, expected) << "tables: " << c.sw << "x" << c.sh;
  }
}

TEST(DecimateRgbToRgba, LastColumnOfAnUnpaddedFrameStaysInside) {
  // Step 1 over a frame with no padding: the last pixel of the last row ends the buffer.
  const int sw = 5;
  const int sh = 3;
  std::vector<uint8_t> src = Noise(sw * 3 * sh, 7);
  const DecimationPlan plan = PlanDecimation(sw, sh, 100, 100);
  std::vector<uint8_t> out(sw * 4 * sh);
  DecimateRgbToRgba(src.data(), sw * 3, sw, sh, plan, out.data());
  const size_t last = (sw * sh - 1);
  EXPECT_EQ(out[last * 4], src[last * 3]);
  EXPECT_EQ(out[last * 4 + 2], src[last * 3 + 2]);
  EXPECT_EQ(out[last * 4 + 3], 255);
}

}  // namespace
}  // namespace zentri_native
