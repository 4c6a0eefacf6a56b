#include "recording/nv12_convert.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "recording/nv12_kernels.h"
#include "recording/video_pixel_format.h"

namespace zentri_native {

namespace nv12 {

const RgbMatrix kBt601 = {4207, 8260, 1604, -2428, -4768, 7196, 7196, -6026, -1170};
const RgbMatrix kBt709 = {2991, 10064, 1016, -1649, -5547, 7196, 7196, -6536, -660};

namespace {

// Right shifts of negative sums round towards minus infinity (arithmetic shift), as the vector
// code's psrad does.
inline int32_t Shift14(int32_t value) {
  return value >> 14;
}

inline uint8_t Luma(const RgbMatrix& m, int32_t r, int32_t g, int32_t b) {
  const int32_t y = Shift14(m.yr * r + m.yg * g + m.yb * b + 8192) + 16;
  return static_cast<uint8_t>(std::min(y, 255));
}

}  // namespace

// Every source byte of a 2x2 block is read before any output byte of it is written.
void RgbxColumnsScalar(const RowPair& rows, const RgbMatrix& m, bool bgra, int32_t start) {
  const int r = bgra ? 2 : 0;
  const int b = bgra ? 0 : 2;
  for (int32_t x = start; x < rows.width; x += 2) {
    uint8_t top[8];
    uint8_t bottom[8];
    std::memcpy(top, rows.src0 + 4 * static_cast<int64_t>(x), 8);
    std::memcpy(bottom, rows.src1 + 4 * static_cast<int64_t>(x), 8);
    rows.y0[x] = Luma(m, top[r], top[1], top[b]);
    rows.y0[x + 1] = Luma(m, top[4 + r], top[5], top[4 + b]);
    rows.y1[x] = Luma(m, bottom[r], bottom[1], bottom[b]);
    rows.y1[x + 1] = Luma(m, bottom[4 + r], bottom[5], bottom[4 + b]);
    const int32_t red = (top[r] + top[4 + r] + bottom[r] + bottom[4 + r] + 2) >> 2;
    const int32_t green = (top[1] + top[5] + bottom[1] + bottom[5] + 2) >> 2;
    const int32_t blue = (top[b] + top[4 + b] + bottom[b] + bottom[4 + b] + 2) >> 2;
    // Both matrices keep Cb and Cr within 16..240 for any averaged colour.
    rows.uv[x] =
        static_cast<uint8_t>(Shift14(m.ur * red + m.ug * green + m.ub * blue + 8192) + 128);
    rows.uv[x + 1] =
        static_cast<uint8_t>(Shift14(m.vr * red + m.vg * green + m.vb * blue + 8192) + 128);
  }
}

void Packed422ColumnsScalar(const RowPair& rows, bool uyvy, int32_t start) {
  const int yAt = uyvy ? 1 : 0;
  const int cAt = uyvy ? 0 : 1;
  for (int32_t x = start; x < rows.width; x += 2) {
    uint8_t top[4];
    uint8_t bottom[4];
    std::memcpy(top, rows.src0 + 2 * static_cast<int64_t>(x), 4);
    std::memcpy(bottom, rows.src1 + 2 * static_cast<int64_t>(x), 4);
    rows.y0[x] = top[yAt];
    rows.y0[x + 1] = top[yAt + 2];
    rows.y1[x] = bottom[yAt];
    rows.y1[x + 1] = bottom[yAt + 2];
    rows.uv[x] = static_cast<uint8_t>((top[cAt] + bottom[cAt] + 1) >> 1);
    rows.uv[x + 1] = static_cast<uint8_t>((top[cAt + 2] + bottom[cAt + 2] + 1) >> 1);
  }
}

void I420ChromaColumnsScalar(const RowPair& rows, int32_t start) {
  for (int32_t x = start; x < rows.width; x += 2) {
    const uint8_t cb = rows.chroma[0][x / 2];
    const uint8_t cr = rows.chroma[1][x / 2];
    rows.uv[x] = cb;
    rows.uv[x + 1] = cr;
  }
}

// Full-range JPEG levels to limited range. Standard definition keeps the BT.601 matrix; high
// definition also converts the BT.601 colours to BT.709, which moves luma by the chroma terms.
void FullRangeColumnsScalar(const RowPair& rows, bool highDefinition, int32_t start) {
  for (int32_t x = start; x < rows.width; x += 2) {
    uint8_t top[2];
    uint8_t bottom[2];
    std::memcpy(top, rows.src0 + x, 2);
    std::memcpy(bottom, rows.src1 + x, 2);
    const int32_t cb = rows.chroma[0][x / 2] - 128;
    const int32_t cr = rows.chroma[1][x / 2] - 128;
    if (!highDefinition) {
      auto luma = [](int32_t y) { return static_cast<uint8_t>(Shift14(y * 14071 + 8192) + 16); };
      rows.y0[x] = luma(top[0]);
      rows.y0[x + 1] = luma(top[1]);
      rows.y1[x] = luma(bottom[0]);
      rows.y1[x + 1] = luma(bottom[1]);
      rows.uv[x] = static_cast<uint8_t>(Shift14(cb * 14392 + 8192) + 128);
      rows.uv[x + 1] = static_cast<uint8_t>(Shift14(cr * 14392 + 8192) + 128);
    } else {
      const int32_t chromaTerm = -cb * 1663 - cr * 2993 + 8192;
      auto luma = [chromaTerm](int32_t y) {
        return static_cast<uint8_t>(std::clamp(Shift14(y * 14071 + chromaTerm) + 16, 0, 255));
      };
      rows.y0[x] = luma(top[0]);
      rows.y0[x + 1] = luma(top[1]);
      rows.y1[x] = luma(bottom[0]);
      rows.y1[x + 1] = luma(bottom[1]);
      rows.uv[x] = static_cast<uint8_t>(Shift14(cb * 14660 + cr * 1650 + 8192) + 128);
      rows.uv[x + 1] = static_cast<uint8_t>(Shift14(cr * 14757 + cb * 1080 + 8192) + 128);
    }
  }
}

}  // namespace nv12

namespace {

constexpr int64_t kMaxOffset = std::numeric_limits<int32_t>::max();

// A row fits when it starts at most at 2^31 - 1, ends there at the latest, and ends inside data.
bool RowFits(int64_t start, int64_t length, size_t dataSize) {
  return start >= 0 && start <= kMaxOffset && start + length <= kMaxOffset &&
         static_cast<uint64_t>(start + length) <= dataSize;
}

bool PlaneFits(int64_t offset, int64_t stride, int64_t rows, int64_t rowLength, size_t dataSize) {
  return stride >= rowLength && offset >= 0 &&
         RowFits(offset + (rows - 1) * stride, rowLength, dataSize);
}

// Where the chroma plane of an NV12 frame lies: its own plane, or straight after the luma rows
// when the frame has a single plane.
void Nv12ChromaPlane(const VideoRecorder::Frame& frame, int64_t* offset, int64_t* stride) {
  if (frame.planeCount >= 2) {
    *offset = frame.offsets[1];
    *stride = frame.strides[1];
  } else {
    *offset = static_cast<int64_t>(frame.offsets[0]) +
              static_cast<int64_t>(frame.height) * frame.strides[0];
    *stride = frame.strides[0];
  }
}

bool HighDefinition(const VideoRecorder::Frame& frame) {
  return !(frame.width < 1280 && frame.height < 577);
}

struct Range {
  uintptr_t begin;
  uintptr_t end;
};

Range MakeRange(const void* pointer, int64_t length) {
  const uintptr_t begin = reinterpret_cast<uintptr_t>(pointer);
  return {begin, begin + static_cast<uintptr_t>(length)};
}

bool Intersects(const Range& a, const Range& b) {
  return a.begin < b.end && b.begin < a.end;
}

// True when an output row of the pair overlaps a source row or another output row: then the
// order of reads and writes matters, and only the scalar kernels define it.
bool RowPairOverlaps(const nv12::RowPair& rows, const Range* sources, int sourceCount) {
  const Range outputs[3] = {MakeRange(rows.y0, rows.width), MakeRange(rows.y1, rows.width),
                            MakeRange(rows.uv, rows.width)};
  for (int o = 0; o < 3; ++o) {
    for (int s = 0; s < sourceCount; ++s) {
      if (Intersects(outputs[o], sources[s])) {
        return true;
      }
    }
    for (int other = o + 1; other < 3; ++other) {
      if (Intersects(outputs[o], outputs[other])) {
        return true;
      }
    }
  }
  return false;
}

bool CpuHasSse41() {
  static const bool has = __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("ssse3");
  return has;
}

bool CpuHasAvx2() {
  static const bool has = CpuHasSse41() && __builtin_cpu_supports("avx2");
  return has;
}

void ConvertRowPair(Nv12Path path, VideoPixelFormat format, const nv12::RowPair& rows,
                    const nv12::RgbMatrix& matrix, bool highDefinition) {
  switch (format) {
    case VideoPixelFormat::Bgra:
    case VideoPixelFormat::Rgba: {
      const bool bgra = format == VideoPixelFormat::Bgra;
      if (path == Nv12Path::Avx2) {
        nv12::RgbxRowPairAvx2(rows, matrix, bgra);
      } else if (path == Nv12Path::Sse41) {
        nv12::RgbxRowPairSse41(rows, matrix, bgra);
      } else {
        nv12::RgbxColumnsScalar(rows, matrix, bgra, 0);
      }
      break;
    }
    case VideoPixelFormat::Yuy2:
    case VideoPixelFormat::Uyvy: {
      const bool uyvy = format == VideoPixelFormat::Uyvy;
      if (path == Nv12Path::Avx2) {
        nv12::Packed422RowPairAvx2(rows, uyvy);
      } else if (path == Nv12Path::Sse41) {
        nv12::Packed422RowPairSse41(rows, uyvy);
      } else {
        nv12::Packed422ColumnsScalar(rows, uyvy, 0);
      }
      break;
    }
    case VideoPixelFormat::I420:
      std::memmove(rows.y0, rows.src0, static_cast<size_t>(rows.width));
      std::memmove(rows.y1, rows.src1, static_cast<size_t>(rows.width));
      if (path != Nv12Path::Scalar) {
        nv12::I420ChromaRowSse41(rows);
      } else {
        nv12::I420ChromaColumnsScalar(rows, 0);
      }
      break;
    case VideoPixelFormat::I420FullRange:
      if (path == Nv12Path::Avx2) {
        nv12::FullRangeRowPairAvx2(rows, highDefinition);
      } else if (path == Nv12Path::Sse41) {
        nv12::FullRangeRowPairSse41(rows, highDefinition);
      } else {
        nv12::FullRangeColumnsScalar(rows, highDefinition, 0);
      }
      break;
    default:
      break;
  }
}

}  // namespace

bool ValidateVideoFrame(const VideoRecorder::Frame& frame) {
  const int64_t width = frame.width;
  const int64_t height = frame.height;
  if (width < 1 || width > 8192 || height < 1 || height > 8192 || width % 2 != 0 ||
      height % 2 != 0 || frame.format < 0 || frame.format > 8) {
    return false;
  }
  const size_t size = frame.data.size();
  switch (static_cast<VideoPixelFormat>(frame.format)) {
    case VideoPixelFormat::Bgra:
    case VideoPixelFormat::Rgba:
      return PlaneFits(frame.offsets[0], frame.strides[0], height, 4 * width, size);
    case VideoPixelFormat::Yuy2:
    case VideoPixelFormat::Uyvy:
      return PlaneFits(frame.offsets[0], frame.strides[0], height, 2 * width, size);
    case VideoPixelFormat::Nv12: {
      if (!PlaneFits(frame.offsets[0], frame.strides[0], height, width, size)) {
        return false;
      }
      int64_t offset = 0;
      int64_t stride = 0;
      Nv12ChromaPlane(frame, &offset, &stride);
      return offset >= 0 && offset <= kMaxOffset &&
             PlaneFits(offset, stride, height / 2, width, size);
    }
    case VideoPixelFormat::I420:
    case VideoPixelFormat::I420FullRange:
      return PlaneFits(frame.offsets[0], frame.strides[0], height, width, size) &&
             PlaneFits(frame.offsets[1], frame.strides[1], height / 2, width / 2, size) &&
             PlaneFits(frame.offsets[2], frame.strides[2], height / 2, width / 2, size);
    default:  // Rgb and Mjpeg are not recordable
      return false;
  }
}

bool Nv12PathSupported(Nv12Path path) {
  switch (path) {
    case Nv12Path::Scalar:
      return true;
    case Nv12Path::Sse41:
      return CpuHasSse41();
    case Nv12Path::Avx2:
      return CpuHasAvx2();
  }
  return false;
}

Nv12Path BestNv12Path() {
  static const Nv12Path best = CpuHasAvx2()    ? Nv12Path::Avx2
                               : CpuHasSse41() ? Nv12Path::Sse41
                                               : Nv12Path::Scalar;
  return best;
}

const char* Nv12PathName(Nv12Path path) {
  switch (path) {
    case Nv12Path::Scalar:
      return "scalar";
    case Nv12Path::Sse41:
      return "sse4.1";
    case Nv12Path::Avx2:
      return "avx2";
  }
  return "unknown";
}

bool ConvertFrameToNv12Planar(const VideoRecorder::Frame& frame, uint8_t* yPlane, int32_t yStride,
                              uint8_t* uvPlane, int32_t uvStride) {
  return ConvertFrameToNv12PlanarWithPath(BestNv12Path(), frame, yPlane, yStride, uvPlane,
                                          uvStride);
}

bool ConvertFrameToNv12PlanarWithPath(Nv12Path path, const VideoRecorder::Frame& frame,
                                      uint8_t* yPlane, int32_t yStride, uint8_t* uvPlane,
                                      int32_t uvStride) {
  if (!Nv12PathSupported(path) || !ValidateVideoFrame(frame) || yPlane == nullptr ||
      uvPlane == nullptr || frame.width > std::min(yStride, uvStride)) {
    return false;
  }
  const auto format = static_cast<VideoPixelFormat>(frame.format);
  const int64_t width = frame.width;
  const int64_t height = frame.height;
  const uint8_t* data = frame.data.data();
  const bool highDefinition = HighDefinition(frame);
  const nv12::RgbMatrix& matrix = highDefinition ? nv12::kBt709 : nv12::kBt601;

  int64_t nv12ChromaOffset = 0;
  int64_t nv12ChromaStride = 0;
  if (format == VideoPixelFormat::Nv12) {
    Nv12ChromaPlane(frame, &nv12ChromaOffset, &nv12ChromaStride);
  }
  const int64_t sourceRowLength =
      format == VideoPixelFormat::Bgra || format == VideoPixelFormat::Rgba   ? 4 * width
      : format == VideoPixelFormat::Yuy2 || format == VideoPixelFormat::Uyvy ? 2 * width
                                                                             : width;

  for (int64_t j = 0; j < height / 2; ++j) {
    nv12::RowPair rows{};
    rows.width = frame.width;
    rows.src0 = data + frame.offsets[0] + 2 * j * frame.strides[0];
    rows.src1 = rows.src0 + frame.strides[0];
    rows.y0 = yPlane + 2 * j * yStride;
    rows.y1 = rows.y0 + yStride;
    rows.uv = uvPlane + j * uvStride;

    if (format == VideoPixelFormat::Nv12) {
      std::memmove(rows.y0, rows.src0, static_cast<size_t>(width));
      std::memmove(rows.y1, rows.src1, static_cast<size_t>(width));
      std::memmove(rows.uv, data + nv12ChromaOffset + j * nv12ChromaStride,
                   static_cast<size_t>(width));
      continue;
    }

    Range sources[4] = {MakeRange(rows.src0, sourceRowLength),
                        MakeRange(rows.src1, sourceRowLength)};
    int sourceCount = 2;
    if (format == VideoPixelFormat::I420 || format == VideoPixelFormat::I420FullRange) {
      for (int p = 0; p < 2; ++p) {
        rows.chroma[p] = data + frame.offsets[p + 1] + j * frame.strides[p + 1];
        sources[sourceCount++] = MakeRange(rows.chroma[p], width / 2);
      }
    }
    const Nv12Path rowPath = RowPairOverlaps(rows, sources, sourceCount) ? Nv12Path::Scalar : path;
    ConvertRowPair(rowPath, format, rows, matrix, highDefinition);
  }
  return true;
}

}  // namespace zentri_native
