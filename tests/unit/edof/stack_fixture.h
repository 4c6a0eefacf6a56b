// Focus stacks for the fusion tests: owned storage with views over it, a seeded random stack
// that exercises every path of the warp, and a plain implementation of the fusion written
// straight from its rules, with full-size temporaries and no banding, to compare against.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "edof/fusion.h"

namespace zentri_native {
namespace testing_support {

struct Stack {
  int32_t width = 0;
  int32_t height = 0;
  int32_t referenceIndex = 0;
  std::vector<std::vector<uint8_t>> rgba;
  std::vector<double> scale;
  std::vector<int32_t> mapWidth, mapHeight;
  std::vector<std::vector<float>> x, y, confidence, weight;
  std::vector<bool> accepted;

  // n frames of width x height, identity fields at full resolution, confidence 1, scale 1,
  // weight 1, all accepted, every pixel black.
  static Stack Identity(int32_t width, int32_t height, int n);
  // Identity fields on a map of another size.
  void SetMap(int k, int32_t mapWidth, int32_t mapHeight);
  void Fill(int k, uint8_t r, uint8_t g, uint8_t b);

  std::vector<FrameView> Frames() const;
  std::vector<FieldView> Fields() const;
  std::vector<const float*> Weights() const;
  std::vector<uint8_t> Fuse(unsigned threads, const char* simd = "sse2") const;
};

// A stack with textured frames, smooth non-identity fields of various map sizes, scattered
// NaN, infinite and low-confidence cells, scales around 1, random (also zero) weights and one
// frame not accepted.
Stack RandomStack(std::mt19937& rng, int32_t width, int32_t height, int n);

// The fusion computed straight from its rules.
std::vector<uint8_t> ReferenceFuse(const Stack& stack);

}  // namespace testing_support
}  // namespace zentri_native
