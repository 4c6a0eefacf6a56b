#include "frame_sizes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace cnokhwa {
namespace {

using Sizes = std::vector<std::pair<int, int>>;

bool Has(const Sizes& sizes, int w, int h) {
  return std::find(sizes.begin(), sizes.end(), std::make_pair(w, h)) != sizes.end();
}

TEST(SizesInRange, EndsAndTheCommonSizesOnTheGrid) {
  // An H.264-style range: width in steps of 16 from 160, height in steps of 8 from 120.
  const Sizes sizes = SizesInRange({160, 3840, 16, 120, 2160, 8}, 16384);
  EXPECT_EQ(sizes.front(), std::make_pair(160, 120));
  EXPECT_EQ(sizes.back(), std::make_pair(3840, 2160));
  for (const auto& [w, h] : Sizes{{320, 240},
                                  {640, 480},
                                  {1280, 720},
                                  {1920, 1080},
                                  {800, 600},
                                  {1024, 768},
                                  {2560, 1440},
                                  {640, 360}}) {
    EXPECT_TRUE(Has(sizes, w, h)) << w << "x" << h;
  }
  EXPECT_FALSE(Has(sizes, 1400, 1050)) << "1400 is not 160 + 16k";
  EXPECT_FALSE(Has(sizes, 4000, 3000)) << "beyond the range";
  EXPECT_TRUE(std::is_sorted(sizes.begin(), sizes.end(), [](const auto& a, const auto& b) {
    return int64_t{a.first} * a.second < int64_t{b.first} * b.second;
  }));
}

TEST(SizesInRange, ContinuousRangesTakeEverySizeInside) {
  const Sizes sizes = SizesInRange({1, 1280, 1, 1, 720, 1}, 16384);
  EXPECT_EQ(sizes.front(), std::make_pair(1, 1));
  EXPECT_EQ(sizes.back(), std::make_pair(1280, 720));
  EXPECT_TRUE(Has(sizes, 176, 144));
  EXPECT_TRUE(Has(sizes, 960, 540));
  EXPECT_FALSE(Has(sizes, 1280, 960)) << "taller than the range";
  // A step of 0 is read as continuous rather than dividing by it.
  EXPECT_TRUE(Has(SizesInRange({100, 2000, 0, 100, 2000, 0}, 16384), 1280, 720));
}

TEST(SizesInRange, DegenerateRanges) {
  EXPECT_EQ(SizesInRange({640, 640, 16, 480, 480, 8}, 16384), (Sizes{{640, 480}}))
      << "a range of one size lists it once";
  const Sizes fromZero = SizesInRange({0, 640, 1, 0, 480, 1}, 16384);
  EXPECT_FALSE(Has(fromZero, 0, 0)) << "a 0 end is left out, the rest is listed";
  EXPECT_TRUE(Has(fromZero, 640, 480));
  EXPECT_TRUE(Has(fromZero, 320, 240));
  EXPECT_TRUE(SizesInRange({800, 640, 1, 480, 480, 1}, 16384).empty()) << "inverted";
  const Sizes huge = SizesInRange({32, 65535, 1, 32, 65535, 1}, 16384);
  EXPECT_FALSE(Has(huge, 65535, 65535)) << "an end beyond the largest side is left out";
  EXPECT_TRUE(Has(huge, 32, 32));
  EXPECT_TRUE(Has(huge, 3840, 2160));
}

}  // namespace
}  // namespace cnokhwa
