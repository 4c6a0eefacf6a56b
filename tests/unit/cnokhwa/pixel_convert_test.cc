#include "pixel_convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace cnokhwa {
namespace {

// BT.601 limited range in double precision: the reference the integer conversion must meet.
std::vector<int> Reference(int y, int u, int v) {
  const double c = 1.164383 * (y - 16);
  auto clamp = [](double value) {
    return static_cast<int>(std::lround(std::fmin(255.0, std::fmax(0.0, value))));
  };
  return {clamp(c + 1.596027 * (v - 128)), clamp(c - 0.391762 * (u - 128) - 0.812968 * (v - 128)),
          clamp(c + 2.017232 * (u - 128))};
}

std::vector<int> Convert(int y, int u, int v) {
  uint8_t rgb[3];
  YuvToRgb(y, u, v, rgb);
  return {rgb[0], rgb[1], rgb[2]};
}

TEST(YuvToRgb, AnchorColoursOfLimitedRange) {
  EXPECT_EQ(Convert(16, 128, 128), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(Convert(235, 128, 128), (std::vector<int>{255, 255, 255}));
  EXPECT_EQ(Convert(126, 128, 128), (std::vector<int>{128, 128, 128}));
  EXPECT_EQ(Convert(81, 90, 240), (std::vector<int>{255, 0, 0}));
  // (145, 54, 34) is pure green rounded to 8 bits; its blue lands at 0.9.
  EXPECT_EQ(Convert(145, 54, 34), (std::vector<int>{0, 255, 1}));
  EXPECT_EQ(Convert(41, 240, 110), (std::vector<int>{0, 0, 255}));
  // Out-of-range inputs clamp instead of wrapping.
  EXPECT_EQ(Convert(0, 0, 0), (std::vector<int>{0, 135, 0}));
  EXPECT_EQ(Convert(255, 255, 255), (std::vector<int>{255, 125, 255}));
}

TEST(YuvToRgb, WithinOneOfTheReferenceEverywhere) {
  int worst = 0;
  for (int y = 0; y < 256; y += 3) {
    for (int u = 0; u < 256; u += 5) {
      for (int v = 0; v < 256; v += 5) {
        const std::vector<int> got = Convert(y, u, v);
        const std::vector<int> want = Reference(y, u, v);
        for (int c = 0; c < 3; ++c) {
          worst = std::max(worst, std::abs(got[c] - want[c]));
        }
      }
    }
  }
  EXPECT_LE(worst, 1);
}

TEST(YuyvToRgb, PairsShareChromaAndPaddingIsSkipped) {
  // Two rows of 4 pixels at a stride of 10 bytes (2 bytes of padding, filled with junk).
  const std::vector<uint8_t> src = {16,  128, 235, 128, 81, 90,  81,  240, 0xAA, 0xAA,
                                    126, 128, 126, 128, 41, 240, 145, 110, 0xAA, 0xAA};
  std::vector<uint8_t> dst(4 * 3 * 2, 0x55);
  ASSERT_TRUE(YuyvToRgb(src.data(), src.size(), 4, 2, 10, dst.data()));
  std::vector<uint8_t> want;
  for (const auto& p : {Convert(16, 128, 128), Convert(235, 128, 128), Convert(81, 90, 240),
                        Convert(81, 90, 240), Convert(126, 128, 128), Convert(126, 128, 128),
                        Convert(41, 240, 110), Convert(145, 240, 110)}) {
    want.insert(want.end(), p.begin(), p.end());
  }
  EXPECT_EQ(dst, want);
}

TEST(YuyvToRgb, OddWidthUsesTheFirstHalfOfTheLastPair) {
  const std::vector<uint8_t> src = {16, 128, 16, 128, 235, 128, 16, 128};
  std::vector<uint8_t> dst(9);
  ASSERT_TRUE(YuyvToRgb(src.data(), src.size(), 3, 1, 8, dst.data()));
  EXPECT_EQ(dst, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 255, 255, 255}));
}

TEST(YuyvToRgb, RefusesShortSourcesAndBadGeometry) {
  std::vector<uint8_t> src(64, 128);
  std::vector<uint8_t> dst(64 * 3);
  // 4 x 2 at stride 8 needs 16 bytes; the last row needs no padding after it.
  EXPECT_EQ(YuyvFrameBytes(4, 2, 10), 18u);
  EXPECT_TRUE(YuyvToRgb(src.data(), 18, 4, 2, 10, dst.data()));
  EXPECT_FALSE(YuyvToRgb(src.data(), 17, 4, 2, 10, dst.data()));
  EXPECT_FALSE(YuyvToRgb(src.data(), src.size(), 4, 2, 7, dst.data())) << "stride below a row";
  EXPECT_FALSE(YuyvToRgb(src.data(), src.size(), 0, 2, 8, dst.data()));
  EXPECT_FALSE(YuyvToRgb(src.data(), src.size(), 4, -1, 8, dst.data()));
  EXPECT_EQ(YuyvFrameBytes(1 << 30, 1 << 30, int64_t{1} << 32),
            (uint64_t{1} << 32) * ((1u << 30) - 1) + (uint64_t{1} << 31));
}

TEST(Nv12ToRgb, ChromaRowsServeTwoImageRowsAndOddSizesWork) {
  // 3 x 3 at stride 4: three luma rows, then two chroma rows of two U/V pairs.
  const std::vector<uint8_t> src = {
      16,  235, 126, 0,    //
      81,  81,  41,  0,    //
      16,  16,  16,  0,    //
      128, 128, 128, 128,  // rows 0-1: neutral, neutral
      90,  240, 240, 110,  // row 2: red chroma, blue chroma
  };
  std::vector<uint8_t> dst(27);
  EXPECT_EQ(Nv12FrameBytes(3, 3, 4), 4u * 4 + 4);
  ASSERT_TRUE(Nv12ToRgb(src.data(), src.size(), 3, 3, 4, dst.data()));
  std::vector<uint8_t> want;
  for (const auto& p : {Convert(16, 128, 128), Convert(235, 128, 128), Convert(126, 128, 128),
                        Convert(81, 128, 128), Convert(81, 128, 128), Convert(41, 128, 128),
                        Convert(16, 90, 240), Convert(16, 90, 240), Convert(16, 240, 110)}) {
    want.insert(want.end(), p.begin(), p.end());
  }
  EXPECT_EQ(dst, want);
  EXPECT_FALSE(Nv12ToRgb(src.data(), src.size() - 1, 3, 3, 4, dst.data()));
  EXPECT_FALSE(Nv12ToRgb(src.data(), src.size(), 3, 3, 2, dst.data()));
}

TEST(Rgb24ToRgb, DropsRowPadding) {
  const std::vector<uint8_t> src = {1, 2, 3, 4, 5, 6, 9, 9, 7, 8, 9, 10, 11, 12};
  std::vector<uint8_t> dst(12);
  ASSERT_TRUE(Rgb24ToRgb(src.data(), src.size(), 2, 2, 8, dst.data()));
  EXPECT_EQ(dst, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_FALSE(Rgb24ToRgb(src.data(), 13, 2, 2, 8, dst.data()));
  EXPECT_FALSE(Rgb24ToRgb(src.data(), src.size(), 2, 2, 5, dst.data()));
}

}  // namespace
}  // namespace cnokhwa
