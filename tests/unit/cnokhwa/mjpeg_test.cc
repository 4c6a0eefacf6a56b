#include "mjpeg_decoder.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <vector>

#include "pixel_reference.h"

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

// Positions of the markers (0xFF followed by a code other than 0, 0xFF or a restart marker).
std::vector<size_t> Markers(const std::vector<uint8_t>& jpeg, uint8_t code) {
  std::vector<size_t> found;
  for (size_t i = 0; i + 1 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xff && jpeg[i + 1] == code) {
      found.push_back(i);
    }
  }
  return found;
}

std::vector<uint8_t> Progressive(const std::vector<uint8_t>& rgb, int width, int height) {
  tjhandle handle = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(handle, rgb.data(), width, width * 3, height, TJPF_RGB, &jpeg, &size,
                        TJSAMP_420, 90, TJFLAG_PROGRESSIVE),
            0);
  std::vector<uint8_t> out(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(handle);
  return out;
}

TEST(MjpegDecoder, DecodesExactlyLikeTurboJpeg) {
  MjpegDecoder decoder;
  for (const auto& size : {std::make_pair(640, 480), std::make_pair(33, 17)}) {
    for (uint32_t frame : {1u, 2u}) {
      const std::vector<uint8_t> jpeg = testing::MakeTestJpeg(size.first, size.second, frame);
      int refWidth = 0;
      int refHeight = 0;
      const std::vector<uint8_t> want = testing::DecodeJpegReference(jpeg, &refWidth, &refHeight);
      std::vector<uint8_t> out;
      int width = 0;
      int height = 0;
      ASSERT_TRUE(decoder.Decode(jpeg.data(), jpeg.size(), out, &width, &height));
      EXPECT_EQ(width, refWidth);
      EXPECT_EQ(height, refHeight);
      EXPECT_TRUE(out == want) << size.first << "x" << size.second << " frame " << frame;
    }
  }
}

// Bytes between two segments draw a warning ("extraneous bytes before marker") but lose no
// image data: the frame decodes as if they were not there.
TEST(MjpegDecoder, AcceptsAFrameWhoseOnlyTroubleIsAWarning) {
  const std::vector<uint8_t> rgb = Gradient(64, 48);
  const std::vector<uint8_t> clean = Progressive(rgb, 64, 48);
  const std::vector<size_t> scans = Markers(clean, 0xda);
  ASSERT_GE(scans.size(), 3u);
  std::vector<uint8_t> warned = clean;
  warned.insert(warned.begin() + static_cast<long>(scans[1]), {0x12, 0x34, 0x56});
  MjpegDecoder decoder;
  std::vector<uint8_t> want;
  std::vector<uint8_t> got;
  int width = 0;
  int height = 0;
  ASSERT_TRUE(decoder.Decode(clean.data(), clean.size(), want, &width, &height));
  ASSERT_TRUE(decoder.Decode(warned.data(), warned.size(), got, &width, &height));
  EXPECT_TRUE(got == want);
}

// A warning, then a fatal error before the image is complete: TurboJPEG's error code says
// "warning" for the whole call, yet no pixel of this frame was written. Such a frame must not
// count as decoded (the capture path would publish the stale bytes of its buffer).
TEST(MjpegDecoder, RefusesAFatalErrorThatFollowsAWarning) {
  const std::vector<uint8_t> rgb = Gradient(64, 48);
  std::vector<uint8_t> jpeg = Progressive(rgb, 64, 48);
  std::vector<size_t> scans = Markers(jpeg, 0xda);
  ASSERT_GE(scans.size(), 3u);
  jpeg.insert(jpeg.begin() + static_cast<long>(scans[1]), {0x12, 0x34, 0x56});
  scans = Markers(jpeg, 0xda);
  jpeg[scans[2] + 1] = 0xc8;  // a start-of-frame type that no decoder supports: fatal

  // The premise: TurboJPEG reports this as a mere warning.
  tjhandle handle = tjInitDecompress();
  std::vector<uint8_t> scratch(64 * 48 * 3);
  EXPECT_NE(
      tjDecompress2(handle, jpeg.data(), jpeg.size(), scratch.data(), 64, 64 * 3, 48, TJPF_RGB, 0),
      0);
  EXPECT_EQ(tjGetErrorCode(handle), TJERR_WARNING);
  tjDestroy(handle);

  MjpegDecoder decoder;
  std::vector<uint8_t> out(64 * 48 * 3, 0x77);
  int width = 5;
  int height = 6;
  EXPECT_FALSE(decoder.Decode(jpeg.data(), jpeg.size(), out, &width, &height));
  EXPECT_EQ(width, 5);
  EXPECT_EQ(height, 6);
  // And the decoder is usable for the next frame.
  const std::vector<uint8_t> good = Encode(rgb, 64, 48);
  EXPECT_TRUE(decoder.Decode(good.data(), good.size(), out, &width, &height));
  EXPECT_EQ(width, 64);
}

// A progressive header that claims 16384 x 16384 pixels (a corrupt or hostile frame): decoding
// it would need about a gigabyte of coefficient buffers before the first row. The decoder's
// memory bound makes libjpeg fail instead of allocating.
TEST(MjpegDecoder, RefusesAFrameThatWouldNeedTooMuchMemory) {
  std::vector<uint8_t> jpeg = Progressive(Gradient(16, 16), 16, 16);
  const std::vector<size_t> frames = Markers(jpeg, 0xc2);
  ASSERT_EQ(frames.size(), 1u);
  const size_t sizes = frames[0] + 5;  // after the marker, the length and the sample precision
  jpeg[sizes] = 0x40;                  // height 16384
  jpeg[sizes + 1] = 0x00;
  jpeg[sizes + 2] = 0x40;  // width 16384
  jpeg[sizes + 3] = 0x00;
  MjpegDecoder decoder;
  std::vector<uint8_t> out;
  int width = 0;
  int height = 0;
  EXPECT_FALSE(decoder.Decode(jpeg.data(), jpeg.size(), out, &width, &height));
  EXPECT_TRUE(out.empty()) << "no frame buffer was allocated for it";
}

TEST(MjpegDecoder, RefusesCutAndEmptyFrames) {
  MjpegDecoder decoder;
  const std::vector<uint8_t> jpeg = testing::MakeTestJpeg(64, 48, 1);
  std::vector<uint8_t> out;
  int width = 0;
  int height = 0;
  EXPECT_FALSE(decoder.Decode(jpeg.data(), 0, out, &width, &height));
  for (size_t cut : {size_t{2}, size_t{100}, jpeg.size() / 8}) {
    const std::vector<uint8_t> head(jpeg.begin(), jpeg.begin() + static_cast<long>(cut));
    EXPECT_FALSE(decoder.Decode(head.data(), head.size(), out, &width, &height)) << cut;
  }
  EXPECT_EQ(width, 0);
}

}  // namespace
}  // namespace cnokhwa
