#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "edof/fusion.h"
#include "edof/fusion_chunks.h"
#include "edof/fusion_pyramid.h"
#include "stack_fixture.h"

namespace zentri_native {
namespace {

using testing_support::ReferenceFuse;
using testing_support::Stack;

const uint8_t* Pixel(const std::vector<uint8_t>& image, int32_t width, int32_t x, int32_t y) {
  return &image[(static_cast<size_t>(y) * width + x) * 4];
}

void ExpectPixel(const std::vector<uint8_t>& image, int32_t width, int32_t x, int32_t y, uint8_t r,
                 uint8_t g, uint8_t b) {
  const uint8_t* p = Pixel(image, width, x, y);
  EXPECT_EQ(p[0], r) << "at " << x << "," << y;
  EXPECT_EQ(p[1], g) << "at " << x << "," << y;
  EXPECT_EQ(p[2], b) << "at " << x << "," << y;
  EXPECT_EQ(p[3], 255) << "at " << x << "," << y;
}

TEST(EdofLevels, LevelCountsFollowTheSizeRule) {
  using Sizes = std::vector<std::pair<int32_t, int32_t>>;
  EXPECT_EQ(PyramidLevelSizes(64, 200), (Sizes{{64, 200}}));
  EXPECT_EQ(PyramidLevelSizes(200, 36), (Sizes{{200, 36}}));
  EXPECT_EQ(PyramidLevelSizes(1000, 1000),
            (Sizes{{1000, 1000}, {500, 500}, {250, 250}, {125, 125}}));
  EXPECT_EQ(PyramidLevelSizes(130, 80), (Sizes{{130, 80}, {65, 40}, {33, 20}}));
  EXPECT_EQ(PyramidLevelSizes(65, 37), (Sizes{{65, 37}, {33, 19}}));
}

TEST(EdofLevels, DimensionsOutsideTheLimitsThrow) {
  EXPECT_EQ(CheckedPixels(16384, 16384), int64_t{16384} * 16384);
  for (auto size : std::vector<std::pair<int32_t, int32_t>>{{0, 5}, {5, 0}, {16385, 1}, {-1, 9}}) {
    EXPECT_THROW(CheckedPixels(size.first, size.second), std::runtime_error);
  }
  const std::vector<float> rgb(3 * 4, 1.0f);
  EXPECT_THROW(UpsampleRgb(rgb, 2, 2, 0, 4, 1), std::runtime_error);
  EXPECT_THROW(UpsampleRgb(rgb, 2, 2, 4, 16385, 1), std::runtime_error);
  Stack stack = Stack::Identity(4, 4, 3);
  EXPECT_THROW(Fuse(4, 0, 0, stack.Frames(), stack.Fields(), stack.Weights(), 1, "sse2"),
               std::runtime_error);
}

TEST(EdofSampling, SampleMapClampedInterpolatesAndClamps) {
  // 3 x 2 map: row 0 = 0 10 20, row 1 = 100 110 120.
  const float map[] = {0, 10, 20, 100, 110, 120};
  EXPECT_FLOAT_EQ(SampleMapClamped(map, 3, 2, 0.5, 0.5), 55.0f);
  EXPECT_FLOAT_EQ(SampleMapClamped(map, 3, 2, 1.25, 0.0), 12.5f);
  // Beyond the map the last cell is taken; below zero the first.
  EXPECT_FLOAT_EQ(SampleMapClamped(map, 3, 2, 7.0, 9.0), 120.0f);
  EXPECT_FLOAT_EQ(SampleMapClamped(map, 3, 2, -3.0, -0.5), 0.0f);
  EXPECT_FLOAT_EQ(SampleMapClamped(map, 3, 2, 2.0, 0.75), 95.0f);
  const float single[] = {7};
  EXPECT_FLOAT_EQ(SampleMapClamped(single, 1, 1, 0.3, 0.6), 7.0f);
}

TEST(EdofSampling, DownsampleAveragesTheTapsThatExist) {
  Level src;
  src.width = 3;
  src.height = 3;
  for (int i = 0; i < 9; ++i) {
    src.rgb.insert(src.rgb.end(), {float(i), float(10 * i), 1.0f});
    src.weight.push_back(float(i % 2));
  }
  const Level dst = Downsample(src, 1);
  ASSERT_EQ(dst.width, 2);
  ASSERT_EQ(dst.height, 2);
  // Boxes: {0,1,3,4}, {2,5}, {6,7}, {8}.
  const float red[] = {2.0f, 3.5f, 6.5f, 8.0f};
  const float weight[] = {0.5f, 0.5f, 0.5f, 0.0f};
  for (int i = 0; i < 4; ++i) {
    EXPECT_FLOAT_EQ(dst.rgb[3 * i], red[i]);
    EXPECT_FLOAT_EQ(dst.rgb[3 * i + 1], 10 * red[i]);
    EXPECT_FLOAT_EQ(dst.rgb[3 * i + 2], 1.0f);
    EXPECT_FLOAT_EQ(dst.weight[i], weight[i]);
  }
  src.width = 2;
  src.height = 1;
  src.rgb.resize(6);
  src.weight.resize(2);
  const Level one = Downsample(src, 1);
  EXPECT_EQ(one.width, 1);
  EXPECT_EQ(one.height, 1);
  EXPECT_FLOAT_EQ(one.rgb[0], 0.5f);
}

TEST(EdofSampling, UpsampleClampsAtTheBorders) {
  // 2 x 1 source, red 0 and 100, to 4 x 1: positions -0.25, 0.25, 0.75, 1.25.
  const std::vector<float> rgb = {0, 0, 0, 100, 0, 0};
  const std::vector<float> out = UpsampleRgb(rgb, 2, 1, 4, 1, 1);
  ASSERT_EQ(out.size(), 12u);
  EXPECT_FLOAT_EQ(out[0], 0.0f);
  EXPECT_FLOAT_EQ(out[3], 25.0f);
  EXPECT_FLOAT_EQ(out[6], 75.0f);
  EXPECT_FLOAT_EQ(out[9], 100.0f);
}

TEST(EdofRounding, HalfAwayFromZeroWithinTheByteRange) {
  EXPECT_EQ(RoundToByte(0.49999997f), 0);
  EXPECT_EQ(RoundToByte(0.5f), 1);
  EXPECT_EQ(RoundToByte(254.49998f), 254);
  EXPECT_EQ(RoundToByte(254.5f), 255);
  EXPECT_EQ(RoundToByte(255.49f), 255);
  EXPECT_EQ(RoundToByte(1e6f), 255);
  EXPECT_EQ(RoundToByte(-0.5f), 0);
  EXPECT_EQ(RoundToByte(-1e6f), 0);
  // Whatever lroundf gives beyond the long range, limited to a byte.
  for (float v : {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                  std::numeric_limits<float>::quiet_NaN(), 1e30f, -1e30f}) {
    const long r = std::lroundf(v);
    EXPECT_EQ(RoundToByte(v), r < 0 ? 0 : (r > 255 ? 255 : r)) << v;
  }
}

TEST(EdofFusion, OneLevelStackIsTheWeightedMean) {
  // 64 x 36 has one level: no bands, the normalised weighted average of the frames.
  Stack stack = Stack::Identity(64, 36, 3);
  stack.Fill(0, 10, 200, 0);
  stack.Fill(1, 20, 100, 3);
  stack.Fill(2, 60, 0, 6);
  const std::vector<uint8_t> out = stack.Fuse(2);
  for (int32_t y = 0; y < 36; y += 7) {
    for (int32_t x = 0; x < 64; x += 9) {
      ExpectPixel(out, 64, x, y, 30, 100, 3);
    }
  }
  // The same with a pyramid: the bands of flat frames are empty.
  Stack pyramid = Stack::Identity(130, 80, 3);
  pyramid.Fill(0, 10, 200, 0);
  pyramid.Fill(1, 20, 100, 3);
  pyramid.Fill(2, 60, 0, 6);
  ExpectPixel(pyramid.Fuse(1), 130, 65, 40, 30, 100, 3);
}

TEST(EdofFusion, HandComputedStack) {
  // 2 x 2, one level. Weights 3, 1 and 4; frame 2 counts in the weight sum but is not accepted,
  // so the blend is (3/8 a + 1/8 b) / (1/2).
  Stack stack = Stack::Identity(2, 2, 3);
  const uint8_t red[] = {0, 100, 200, 40};
  for (int p = 0; p < 4; ++p) {
    stack.rgba[0][4 * p] = red[p];
  }
  stack.Fill(1, 50, 0, 0);
  stack.Fill(2, 255, 255, 255);
  stack.weight[0].assign(4, 3.0f);
  stack.weight[1].assign(4, 1.0f);
  stack.weight[2].assign(4, 4.0f);
  stack.accepted[2] = false;
  const std::vector<uint8_t> out = stack.Fuse(1);
  // 12.5, 87.5, 162.5 and 42.5 round away from zero.
  ExpectPixel(out, 2, 0, 0, 13, 0, 0);
  ExpectPixel(out, 2, 1, 0, 88, 0, 0);
  ExpectPixel(out, 2, 0, 1, 163, 0, 0);
  ExpectPixel(out, 2, 1, 1, 43, 0, 0);

  // 3 x 1, frame 0 at half scale: output pixels 0, 1, 2 sample it at 0.5, 1 and 1.5.
  Stack scaled = Stack::Identity(3, 1, 3);
  const uint8_t ramp[] = {0, 100, 200};
  for (int p = 0; p < 3; ++p) {
    scaled.rgba[0][4 * p] = ramp[p];
  }
  scaled.scale[0] = 0.5;
  scaled.Fill(1, 30, 0, 0);
  scaled.Fill(2, 60, 0, 0);
  const std::vector<uint8_t> half = scaled.Fuse(1);
  ExpectPixel(half, 3, 0, 0, 47, 0, 0);  // (50 + 30 + 60) / 3
  ExpectPixel(half, 3, 1, 0, 63, 0, 0);  // (100 + 30 + 60) / 3
  ExpectPixel(half, 3, 2, 0, 80, 0, 0);  // (150 + 30 + 60) / 3
}

TEST(EdofFusion, OutputRoundsAtHalf) {
  Stack stack = Stack::Identity(8, 8, 3);
  stack.Fill(0, 254, 0, 100);
  stack.Fill(1, 255, 1, 101);
  stack.Fill(2, 0, 0, 0);
  stack.weight[2].assign(64, 0.0f);
  ExpectPixel(stack.Fuse(1), 8, 3, 3, 255, 1, 101);  // 254.5, 0.5, 100.5
}

TEST(EdofFusion, ValuesOutsideTheByteRangeAndNaNRoundLikeLroundf) {
  // Weights -1 and 2 extrapolate (2b - a) past 0 and 255; an infinite weight makes the pixel's
  // weights NaN. Both vector and plain rounding must match lroundf limited to a byte.
  std::mt19937 rng(11);
  Stack stack = Stack::Identity(37, 9, 3);
  for (int k = 0; k < 3; ++k) {
    for (auto& byte : stack.rgba[k]) {
      byte = static_cast<uint8_t>(rng());
    }
  }
  stack.weight[0].assign(stack.weight[0].size(), -1.0f);
  stack.weight[1].assign(stack.weight[1].size(), 2.0f);
  stack.weight[2].assign(stack.weight[2].size(), 0.0f);
  for (size_t c = 0; c < stack.weight[0].size(); c += 7) {
    stack.weight[0][c] = std::numeric_limits<float>::infinity();
  }
  const std::vector<uint8_t> expected = ReferenceFuse(stack);
  EXPECT_EQ(stack.Fuse(1, "sse2"), expected);
  if (__builtin_cpu_supports("avx2")) {
    EXPECT_EQ(stack.Fuse(1, "avx2"), expected);
  }
  int clipped = 0;
  for (size_t i = 0; i < expected.size(); i += 4) {
    clipped += expected[i] == 0 || expected[i] == 255;
  }
  EXPECT_GT(clipped, 20);
}

TEST(EdofFusion, ZeroWeightsGiveTheReferenceFrame) {
  std::mt19937 rng(7);
  Stack stack = testing_support::RandomStack(rng, 160, 90, 4);
  for (int k = 0; k < 4; ++k) {
    stack.SetMap(k, 160, 90);
    stack.scale[k] = 1.0;
    stack.weight[k].assign(stack.weight[k].size(), 0.0f);
    stack.accepted[k] = true;
  }
  stack.referenceIndex = 2;
  std::vector<uint8_t> expected = stack.rgba[2];
  for (size_t i = 3; i < expected.size(); i += 4) {
    expected[i] = 255;
  }
  EXPECT_EQ(stack.Fuse(2), expected);
}

TEST(EdofFusion, LowConfidenceEverywhereGivesBlack) {
  Stack stack = Stack::Identity(130, 80, 3);
  stack.Fill(0, 10, 20, 30);
  stack.Fill(1, 40, 50, 60);
  stack.Fill(2, 70, 80, 90);
  for (int k = 0; k < 3; ++k) {
    stack.confidence[k].assign(stack.confidence[k].size(), 0.019f);
  }
  const std::vector<uint8_t> out = stack.Fuse(2);
  for (size_t p = 0; p < out.size(); p += 4) {
    ASSERT_EQ(out[p] | out[p + 1] | out[p + 2], 0) << "pixel " << p / 4;
    ASSERT_EQ(out[p + 3], 255);
  }
  // The threshold is the float 0.02: at it the frame takes part.
  for (int k = 0; k < 3; ++k) {
    stack.confidence[k].assign(stack.confidence[k].size(), 0.02f);
  }
  ExpectPixel(stack.Fuse(1), 130, 60, 40, 40, 50, 60);
}

TEST(EdofFusion, NonFiniteFieldCornersFallBackForThatFrame) {
  // Full-resolution identity maps: pixel (x, y) reads cells x..x+1, y..y+1, so a bad cell at
  // (5, 5) takes frame 1 out of pixels (4..5, 4..5) only.
  for (int map = 0; map < 3; ++map) {
    Stack stack = Stack::Identity(12, 12, 3);
    stack.Fill(0, 30, 0, 0);
    stack.Fill(1, 90, 0, 0);
    stack.Fill(2, 60, 0, 0);
    std::vector<float>& field = map == 0 ? stack.x[1] : map == 1 ? stack.y[1] : stack.confidence[1];
    field[5 * 12 + 5] = map == 1 ? -std::numeric_limits<float>::infinity()
                                 : std::numeric_limits<float>::quiet_NaN();
    const std::vector<uint8_t> out = stack.Fuse(1);
    ExpectPixel(out, 12, 5, 5, 45, 0, 0);
    ExpectPixel(out, 12, 4, 4, 45, 0, 0);
    ExpectPixel(out, 12, 4, 5, 45, 0, 0);
    ExpectPixel(out, 12, 6, 6, 60, 0, 0);
    ExpectPixel(out, 12, 3, 5, 60, 0, 0);
  }
}

TEST(EdofFusion, SmallerMapsFallBackNearTheBorder) {
  // A 4 x 4 map over 16 x 16: the outer 1.5 pixels map outside the cells, where every frame
  // falls back to the reference colour with no weight, and the result there is black.
  Stack stack = Stack::Identity(16, 16, 3);
  stack.Fill(0, 30, 0, 0);
  stack.Fill(1, 90, 0, 0);
  stack.Fill(2, 60, 0, 0);
  for (int k = 0; k < 3; ++k) {
    stack.SetMap(k, 4, 4);
  }
  const std::vector<uint8_t> out = stack.Fuse(1);
  ExpectPixel(out, 16, 0, 8, 0, 0, 0);
  ExpectPixel(out, 16, 1, 1, 0, 0, 0);
  ExpectPixel(out, 16, 2, 8, 60, 0, 0);
  ExpectPixel(out, 16, 8, 13, 60, 0, 0);
}

TEST(EdofFusion, MatchesThePlainImplementationOnRandomStacks) {
  std::mt19937 rng(2024);
  const std::pair<int32_t, int32_t> sizes[] = {{1, 1},   {3, 2},    {64, 36},   {65, 37},
                                               {97, 41}, {130, 80}, {257, 149}, {300, 48}};
  for (const auto& size : sizes) {
    for (int n : {3, 5}) {
      const Stack stack = testing_support::RandomStack(rng, size.first, size.second, n);
      const std::vector<uint8_t> expected = ReferenceFuse(stack);
      EXPECT_EQ(stack.Fuse(1, "sse2"), expected) << size.first << "x" << size.second;
      EXPECT_EQ(stack.Fuse(3, "sse2"), expected) << size.first << "x" << size.second;
      if (__builtin_cpu_supports("avx2")) {
        EXPECT_EQ(stack.Fuse(2, "avx2"), expected) << size.first << "x" << size.second;
      }
    }
  }
}

// A stack with full-resolution maps, as alignment at image resolution gives: frame 0 unmoved,
// frame 1 moved by whole pixels, frame 2 by a fraction, frame 3 scaled; non-finite field values
// and weights confined to a few map rows, so that rows with and without them both occur.
Stack FullResolutionStack(std::mt19937& rng, int32_t width, int32_t height) {
  Stack stack = Stack::Identity(width, height, 4);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int k = 0; k < 4; ++k) {
    for (size_t i = 0; i < stack.rgba[k].size(); ++i) {
      stack.rgba[k][i] = static_cast<uint8_t>(byte(rng));
    }
    for (float& w : stack.weight[k]) {
      w = static_cast<float>(byte(rng)) / 16;
    }
  }
  for (size_t c = 0; c < stack.x[1].size(); ++c) {
    stack.x[1][c] += 2;
    stack.y[1][c] -= 1;
    stack.x[2][c] += 0.37f;
    stack.y[2][c] += 0.61f;
  }
  stack.scale[3] = 1.013;
  const size_t row = static_cast<size_t>(width);
  stack.x[2][5 * row + 7] = std::numeric_limits<float>::quiet_NaN();
  stack.y[0][9 * row + 1] = std::numeric_limits<float>::infinity();
  stack.confidence[3][(height - 2) * row + width / 2] = -std::numeric_limits<float>::infinity();
  stack.confidence[1][20 * row + 3] = 0.01f;
  stack.weight[2][30 * row + 11] = std::numeric_limits<float>::infinity();
  stack.weight[0][2 * row + 5] = std::numeric_limits<float>::quiet_NaN();
  stack.referenceIndex = 1;
  return stack;
}

TEST(EdofFusion, VectorAndPlainPathsMatchThePlainImplementationOnFullResolutionFields) {
  std::mt19937 rng(77);
  // 80 rows: level 1 has fewer than 48, the base level more; 203 x 97: three levels with odd
  // sizes; 96 x 40: a row narrower than two vector groups at the coarsest level.
  const std::pair<int32_t, int32_t> sizes[] = {{120, 80}, {203, 97}, {96, 40}};
  for (const auto& size : sizes) {
    const Stack stack = FullResolutionStack(rng, size.first, size.second);
    const std::vector<uint8_t> expected = ReferenceFuse(stack);
    for (unsigned threads : {1u, 2u, 3u}) {
      EXPECT_EQ(stack.Fuse(threads, "sse2"), expected)
          << size.first << "x" << size.second << ", " << threads << " threads, plain";
      if (__builtin_cpu_supports("avx2")) {
        EXPECT_EQ(stack.Fuse(threads, "avx2"), expected)
            << size.first << "x" << size.second << ", " << threads << " threads, AVX2";
      }
    }
  }
}

TEST(EdofFusion, TheBytesDoNotDependOnHowRowsAreChunked) {
  // Chunks of one row to the whole image, on both paths, with 2 and 3 levels too.
  std::mt19937 rng(31);
  for (auto [width, height] :
       std::vector<std::pair<int32_t, int32_t>>{{301, 157}, {130, 80}, {90, 40}}) {
    Stack stack = testing_support::RandomStack(rng, width, height, 7);
    // Large weights of both signs: the accumulated bands cancel, so adding the frames in another
    // order would change the bytes.
    for (size_t c = 0; c < stack.weight[0].size(); ++c) {
      stack.weight[0][c] = 3000.0f + stack.weight[0][c];
    }
    for (size_t c = 0; c < stack.weight[2].size(); ++c) {
      stack.weight[2][c] = -2995.0f - stack.weight[2][c];
    }
    const std::vector<uint8_t> expected = ReferenceFuse(stack);
    for (const char* simd : {"sse2", "avx2"}) {
      for (int32_t rows : {1, 2, 7, 32, height}) {
        std::vector<uint8_t> out(expected.size());
        FuseIntoWithChunkRows(stack.width, stack.height, stack.referenceIndex, stack.Frames(),
                              stack.Fields(), stack.Weights(), 2, simd, rows, out.data());
        EXPECT_EQ(out, expected) << width << "x" << height << ", " << simd << ", chunks of "
                                 << rows;
      }
    }
  }
}

std::vector<uint8_t> FuseInChunks(const Stack& stack, int32_t chunkRows, const char* simd,
                                  unsigned threads) {
  std::vector<uint8_t> out(static_cast<size_t>(stack.width) * stack.height * 4);
  FuseIntoWithChunkRows(stack.width, stack.height, stack.referenceIndex, stack.Frames(),
                        stack.Fields(), stack.Weights(), threads, simd, chunkRows, out.data());
  return out;
}

TEST(EdofChunks, EverySplitGivesTheSingleChunkBytes) {
  // Heights with 1 (35, 36), 2 (40, 41), 3 (74 to 95) and 4 (150, 151) levels, split into 2, 3
  // and 8 chunks and into chunks of odd heights; the halos of the coarser levels reach over
  // several chunks there.
  std::mt19937 rng(404);
  std::vector<int32_t> heights = {35, 36, 40, 41, 150, 151};
  for (int32_t h = 74; h <= 95; ++h) {
    heights.push_back(h);
  }
  for (int32_t height : heights) {
    const Stack stack = testing_support::RandomStack(rng, 261, height, 4);
    for (const char* simd : {"sse2", "avx2"}) {
      const std::vector<uint8_t> whole = FuseInChunks(stack, height, simd, 1);
      for (int32_t rows : {(height + 1) / 2, (height + 2) / 3, (height + 7) / 8, 5, 13}) {
        EXPECT_EQ(FuseInChunks(stack, rows, simd, 2), whole)
            << "height " << height << ", " << simd << ", chunks of " << rows;
      }
    }
    if (height % 7 == 0) {
      EXPECT_EQ(FuseInChunks(stack, height, "sse2", 1), ReferenceFuse(stack)) << height;
    }
  }
  Stack stack = testing_support::RandomStack(rng, 70, 40, 3);
  std::vector<uint8_t> out(static_cast<size_t>(70) * 40 * 4);
  EXPECT_THROW(FuseIntoWithChunkRows(70, 40, 0, stack.Frames(), stack.Fields(), stack.Weights(), 1,
                                     "sse2", 0, out.data()),
               std::runtime_error);
}

TEST(EdofChunks, EveryThreadOfTheBudgetGetsRowsWhateverTheHeight) {
  // FuseInto gives each of min(height, threads) workers one run of neighbouring chunks; the runs
  // share the rows evenly, to within one chunk.
  for (unsigned threads : {1u, 2u, 3u, 8u}) {
    for (int32_t height = 1; height <= 1200; ++height) {
      const int32_t rows = edof_chunks::DefaultChunkRows(height, threads);
      ASSERT_GE(rows, 1);
      ASSERT_LE(rows, edof_chunks::kEdofChunkRows);
      const edof_chunks::ChunkPlan plan(PyramidLevelSizes(130, height), rows);
      const int64_t runs = std::min<int64_t>(height, threads);
      ASSERT_GE(plan.Chunks(), runs) << height << " rows, " << threads << " threads";
      int32_t fewest = height, most = 0, next = 0;
      for (int64_t run = 0; run < runs; ++run) {
        const std::pair<int64_t, int64_t> chunks = plan.Run(run, runs);
        ASSERT_LT(chunks.first, chunks.second) << "an empty run";
        const int32_t begin = plan.Chunk(chunks.first).band[0].begin;
        const int32_t end = plan.Chunk(chunks.second - 1).band[0].end;
        ASSERT_EQ(begin, next) << "runs in order without gaps";
        next = end;
        fewest = std::min(fewest, end - begin);
        most = std::max(most, end - begin);
      }
      EXPECT_EQ(next, height);
      EXPECT_LE(most - fewest, rows) << height << " rows, " << threads << " threads";
    }
  }
}

TEST(EdofChunks, ScratchDoesNotGrowWithTheHeight) {
  // One worker's rows for chunks of 64 output rows of a 1920-pixel-wide 5-frame stack: a few
  // chunk heights of base rows per frame, whether the image has 1080 rows or 16384.
  const uint64_t baseRow = 1920 * 4 * sizeof(float);
  const uint64_t hd = edof_pyramid::ChunkScratchBytes(1920, 1080, 64, 5);
  for (int32_t height : {1080, 1081, 4001, 9999, 16383, 16384}) {
    const uint64_t bytes = edof_pyramid::ChunkScratchBytes(1920, height, 64, 5);
    EXPECT_LE(bytes, 6 * 3 * 64 * baseRow) << height;
    EXPECT_LE(bytes, hd + hd / 10) << height;
  }
  // Smaller chunks, less scratch.
  EXPECT_LT(edof_pyramid::ChunkScratchBytes(1920, 16384, 16, 5), hd);
}

TEST(EdofFusion, FuseIntoWritesEveryByte) {
  std::mt19937 rng(5);
  const Stack stack = testing_support::RandomStack(rng, 130, 80, 3);
  const std::vector<uint8_t> expected = stack.Fuse(2);
  // Whatever the buffer held before, the result replaces all of it.
  std::vector<uint8_t> out(expected.size(), 0xA5);
  FuseInto(stack.width, stack.height, stack.referenceIndex, stack.Frames(), stack.Fields(),
           stack.Weights(), 2, "avx2", out.data());
  EXPECT_EQ(out, expected);
}

TEST(EdofFusion, AddArrayAvx2MatchesThePlainLoop) {
  if (!__builtin_cpu_supports("avx2")) {
    GTEST_SKIP() << "no AVX2 on this processor";
  }
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> value(-1e3f, 1e3f);
  for (size_t count : {0u, 1u, 7u, 8u, 9u, 31u, 1003u}) {
    std::vector<float> a(count + 1), b(count + 1);
    for (size_t i = 0; i <= count; ++i) {
      a[i] = value(rng);
      b[i] = value(rng) * 1e-5f;
    }
    std::vector<float> plain = a, vector = a;
    AddArrayScalar(plain.data(), b.data(), count);
    AddArrayAvx2(vector.data(), b.data(), count);
    EXPECT_EQ(plain, vector) << count;
    EXPECT_EQ(vector[count], a[count]) << "wrote past the end";
  }
}

}  // namespace
}  // namespace zentri_native
