#include "mjpeg_decoder.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <vector>

namespace cnokhwa {
namespace {

std::vector<uint8_t> Gradient(int width, int height) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * 3 * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &rgb[(y * width + x) * 3];
      p[0] = static_cast<uint8_t>(x * 255 / width);
      p[1] = static_cast<uint8_t>(y * 255 / height);
      p[2] = 128;
    }
  }
  return rgb;
}

std::vector<uint8_t> Encode(const std::vector<uint8_t>& rgb, int width, int height) {
  tjhandle handle = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(handle, rgb.data(), width, width * 3, height, TJPF_RGB, &jpeg, &size,
                        TJSAMP_422, 95, 0),
            0);
  std::vector<uint8_t> out(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(handle);
  return out;
}

// Cameras send motion JPEG without Huffman tables (DHT segments): remove them.
std::vector<uint8_t> WithoutHuffmanTables(const std::vector<uint8_t>& jpeg) {
  std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
  size_t i = 2;
  while (i + 4 <= jpeg.size() && jpeg[i] == 0xff) {
    const uint8_t marker = jpeg[i + 1];
    const size_t length = (jpeg[i + 2] << 8) | jpeg[i + 3];
    if (marker == 0xda) {  // start of scan: the rest is entropy-coded data
      break;
    }
    if (marker != 0xc4) {
      out.insert(out.end(), jpeg.begin() + i, jpeg.begin() + i + 2 + length);
    }
    i += 2 + length;
  }
  out.insert(out.end(), jpeg.begin() + i, jpeg.end());
  return out;
}

int MaxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  int worst = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    worst = std::max(worst, std::abs(a[i] - b[i]));
  }
  return worst;
}

TEST(MjpegDecoder, DecodesToPackedRgbAtTheHeaderSize) {
  MjpegDecoder decoder;
  for (const auto& size : {std::make_pair(64, 48), std::make_pair(33, 17)}) {
    const std::vector<uint8_t> rgb = Gradient(size.first, size.second);
    const std::vector<uint8_t> jpeg = Encode(rgb, size.first, size.second);
    std::vector<uint8_t> out;
    int width = 0;
    int height = 0;
    ASSERT_TRUE(decoder.Decode(jpeg.data(), jpeg.size(), out, &width, &height));
    EXPECT_EQ(width, size.first);
    EXPECT_EQ(height, size.second);
    ASSERT_EQ(out.size(), rgb.size());
    EXPECT_LE(MaxDifference(out, rgb), 12);
  }
}

TEST(MjpegDecoder, AcceptsFramesWithoutHuffmanTables) {
  const std::vector<uint8_t> rgb = Gradient(64, 32);
  const std::vector<uint8_t> jpeg = Encode(rgb, 64, 32);
  const std::vector<uint8_t> stripped = WithoutHuffmanTables(jpeg);
  ASSERT_LT(stripped.size(), jpeg.size());
  MjpegDecoder decoder;
  std::vector<uint8_t> out;
  int width = 0;
  int height = 0;
  ASSERT_TRUE(decoder.Decode(stripped.data(), stripped.size(), out, &width, &height));
  EXPECT_LE(MaxDifference(out, rgb), 12);
}

TEST(MjpegDecoder, RefusesDataThatIsNotAJpegAndKeepsTheSize) {
  MjpegDecoder decoder;
  std::vector<uint8_t> out;
  int width = 7;
  int height = 9;
  const std::vector<uint8_t> garbage(1000, 0x5a);
  EXPECT_FALSE(decoder.Decode(garbage.data(), garbage.size(), out, &width, &height));
  EXPECT_FALSE(decoder.Decode(nullptr, 100, out, &width, &height));
  const std::vector<uint8_t> jpeg = Encode(Gradient(16, 16), 16, 16);
  EXPECT_FALSE(decoder.Decode(jpeg.data(), 20, out, &width, &height)) << "header cut short";
  EXPECT_EQ(width, 7);
  EXPECT_EQ(height, 9);
}

}  // namespace
}  // namespace cnokhwa
