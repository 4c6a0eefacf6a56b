#include "pixel_convert.h"

#include <linux/videodev2.h>

#include <cmath>
#include <cstring>

#include "pixel_kernels.h"

namespace cnokhwa {
namespace {

// Bytes per row beyond which a reported stride is not believed (V4L2's bytesperline is 32 bits).
constexpr int64_t kMaxStride = int64_t{1} << 32;

struct LumaWeights {
  double red;
  double blue;
};

LumaWeights WeightsOf(YcbcrEncoding encoding) {
  switch (encoding) {
    case YcbcrEncoding::kBt709:
      return {0.2126, 0.0722};
    case YcbcrEncoding::kBt2020:
      return {0.2627, 0.0593};
    case YcbcrEncoding::kSmpte240m:
      return {0.212, 0.087};
    case YcbcrEncoding::kBt601:
      break;
  }
  return {0.299, 0.114};
}

int16_t Fixed(double value) {
  return static_cast<int16_t>(std::lround(value));
}

kernels::YuvCoefficients CoefficientsOf(const ColorDescription& color) {
  const LumaWeights w = WeightsOf(color.encoding);
  const double green = 1.0 - w.red - w.blue;
  const double lumaGain = color.fullRange ? 1.0 : 255.0 / 219.0;
  const double chromaGain = color.fullRange ? 1.0 : 255.0 / 224.0;
  const double black = color.fullRange ? 0.0 : 16.0;
  // Gains in the fixed-point units of the kernels (see pixel_kernels.h).
  const double chroma = chromaGain * 8192.0;
  kernels::YuvCoefficients k;
  k.yGain = Fixed(lumaGain * 16384.0);
  k.yBias = Fixed(32.0 - 64.0 * lumaGain * black);
  k.crToR = Fixed(2.0 * (1.0 - w.red) * chroma);
  k.cbToG = Fixed(-2.0 * w.blue * (1.0 - w.blue) / green * chroma);
  k.crToG = Fixed(-2.0 * w.red * (1.0 - w.red) / green * chroma);
  k.cbToB = Fixed(2.0 * (1.0 - w.blue) * chroma);
  return k;
}

kernels::BayerRow BayerPhase(BayerOrder order, int y) {
  const bool second = (y & 1) != 0;
  switch (order) {
    case BayerOrder::kBggr:
      return second ? kernels::BayerRow{true, true} : kernels::BayerRow{false, false};
    case BayerOrder::kGbrg:
      return second ? kernels::BayerRow{false, true} : kernels::BayerRow{true, false};
    case BayerOrder::kGrbg:
      return second ? kernels::BayerRow{false, false} : kernels::BayerRow{true, true};
    case BayerOrder::kRggb:
      break;
  }
  return second ? kernels::BayerRow{true, false} : kernels::BayerRow{false, true};
}

// The checked geometry of one frame: strides and plane offsets in bytes.
struct Geometry {
  const PixelLayout* layout = nullptr;
  int width = 0;
  int height = 0;
  uint64_t stride = 0;
  uint64_t chromaStride = 0;
  uint64_t chromaOffset[2] = {0, 0};
  uint64_t frameBytes = 0;  // 0: not valid
};

Geometry Measure(const SourceFormat& format) {
  Geometry g;
  const PixelLayout* layout = FindPixelLayout(format.fourcc);
  if (layout == nullptr || layout->kind == LayoutKind::kJpeg || format.width < 1 ||
      format.height < 1 || format.width > kMaxFrameSide || format.height > kMaxFrameSide ||
      format.stride < 0 || format.stride > kMaxStride) {
    return g;
  }
  if (layout->kind == LayoutKind::kBayer && (format.width < 2 || format.height < 2)) {
    return g;
  }
  const uint64_t width = static_cast<uint64_t>(format.width);
  const uint64_t height = static_cast<uint64_t>(format.height);
  const uint64_t rowBytes = static_cast<uint64_t>(PackedRowBytes(*layout, format.width));
  const uint64_t stride = format.stride > 0 ? static_cast<uint64_t>(format.stride) : rowBytes;
  if (stride < rowBytes) {
    return g;
  }
  g.layout = layout;
  g.width = format.width;
  g.height = format.height;
  g.stride = stride;
  const uint64_t chromaRows = (height + 1) / 2;
  switch (layout->kind) {
    case LayoutKind::kSemiPlanar420:
      g.chromaStride = stride;
      g.chromaOffset[0] = stride * height;
      g.frameBytes = g.chromaOffset[0] + stride * (chromaRows - 1) + rowBytes;
      break;
    case LayoutKind::kPlanar420: {
      const uint64_t chromaWidth = (width + 1) / 2;
      g.chromaStride = (stride + 1) / 2;
      g.chromaOffset[0] = stride * height;
      g.chromaOffset[1] = g.chromaOffset[0] + g.chromaStride * chromaRows;
      g.frameBytes = g.chromaOffset[1] + g.chromaStride * (chromaRows - 1) + chromaWidth;
      break;
    }
    default:
      g.frameBytes = stride * (height - 1) + rowBytes;
      break;
  }
  return g;
}

struct RowKernels {
  void (*packed422)(const uint8_t*, const kernels::PackedOrder&, const kernels::YuvCoefficients&,
                    uint8_t*, int32_t);
  void (*semiPlanar)(const uint8_t*, const uint8_t*, bool, const kernels::YuvCoefficients&,
                     uint8_t*, int32_t);
  void (*planar)(const uint8_t*, const uint8_t*, const uint8_t*, const kernels::YuvCoefficients&,
                 uint8_t*, int32_t);
  void (*grey)(const uint8_t*, uint8_t*, int32_t);
  void (*y16)(const uint8_t*, uint8_t*, int32_t);
  void (*bgr24)(const uint8_t*, uint8_t*, int32_t);
  void (*bayer)(const uint8_t*, const uint8_t*, const uint8_t*, kernels::BayerRow, uint8_t*,
                int32_t);
};

// The scalar path converts Y'CbCr rows through lookup tables (ConvertRows).
const RowKernels kScalarKernels = {
    nullptr,
    nullptr,
    nullptr,
    [](const uint8_t* src, uint8_t* dst, int32_t width) {
      kernels::GreyScalar(src, dst, width, 0);
    },
    [](const uint8_t* src, uint8_t* dst, int32_t width) { kernels::Y16Scalar(src, dst, width, 0); },
    [](const uint8_t* src, uint8_t* dst, int32_t width) {
      kernels::Bgr24Scalar(src, dst, width, 0);
    },
    [](const uint8_t* above, const uint8_t* row, const uint8_t* below, kernels::BayerRow phase,
       uint8_t* dst,
       int32_t width) { kernels::BayerScalar(above, row, below, phase, dst, width, 0, width); },
};

const RowKernels kSse41Kernels = {
    kernels::Packed422Sse41, kernels::SemiPlanarSse41, kernels::PlanarSse41, kernels::GreySse41,
    kernels::Y16Sse41,       kernels::Bgr24Sse41,      kernels::BayerSse41,
};

const RowKernels kAvx2Kernels = {
    kernels::Packed422Avx2, kernels::SemiPlanarAvx2, kernels::PlanarAvx2, kernels::GreySse41,
    kernels::Y16Sse41,      kernels::Bgr24Sse41,     kernels::BayerAvx2,
};

bool CpuHasSse41() {
  static const bool has = __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("ssse3");
  return has;
}

bool CpuHasAvx2() {
  static const bool has = CpuHasSse41() && __builtin_cpu_supports("avx2");
  return has;
}

const RowKernels& KernelsOf(SimdPath path) {
  switch (path) {
    case SimdPath::kAvx2:
      return kAvx2Kernels;
    case SimdPath::kSse41:
      return kSse41Kernels;
    case SimdPath::kScalar:
      break;
  }
  return kScalarKernels;
}

void ConvertRows(const Geometry& g, const ColorDescription& color, SimdPath path,
                 const uint8_t* src, uint8_t* dst) {
  const PixelLayout& layout = *g.layout;
  const RowKernels& kernels = KernelsOf(path);
  const bool tables = path == SimdPath::kScalar;
  const int32_t width = g.width;
  const size_t outRow = static_cast<size_t>(width) * 3;
  const kernels::YuvCoefficients k = CoefficientsOf(color);
  kernels::YuvTables t;
  if (tables) {
    kernels::BuildYuvTables(k, &t);
  }
  const kernels::PackedOrder order{layout.lumaOffset, layout.cbOffset, layout.crOffset};
  for (int y = 0; y < g.height; ++y) {
    const uint8_t* row = src + g.stride * static_cast<uint64_t>(y);
    uint8_t* out = dst + outRow * static_cast<size_t>(y);
    switch (layout.kind) {
      case LayoutKind::kPacked422:
        if (tables) {
          kernels::Packed422Rows(row, order, t, out, width);
        } else {
          kernels.packed422(row, order, k, out, width);
        }
        break;
      case LayoutKind::kSemiPlanar420: {
        const uint8_t* chroma = src + g.chromaOffset[0] + g.chromaStride * (y / 2);
        if (tables) {
          kernels::SemiPlanarRows(row, chroma, layout.cbFirst, t, out, width);
        } else {
          kernels.semiPlanar(row, chroma, layout.cbFirst, k, out, width);
        }
        break;
      }
      case LayoutKind::kPlanar420: {
        const uint64_t offset = g.chromaStride * (y / 2);
        const uint8_t* first = src + g.chromaOffset[0] + offset;
        const uint8_t* second = src + g.chromaOffset[1] + offset;
        const uint8_t* cb = layout.cbFirst ? first : second;
        const uint8_t* cr = layout.cbFirst ? second : first;
        if (tables) {
          kernels::PlanarRows(row, cb, cr, t, out, width);
        } else {
          kernels.planar(row, cb, cr, k, out, width);
        }
        break;
      }
      case LayoutKind::kGrey:
        kernels.grey(row, out, width);
        break;
      case LayoutKind::kY16:
        kernels.y16(row, out, width);
        break;
      case LayoutKind::kRgb24:
        if (g.stride == outRow) {
          std::memcpy(dst, src, outRow * static_cast<size_t>(g.height));
          return;
        }
        std::memcpy(out, row, outRow);
        break;
      case LayoutKind::kBgr24:
        kernels.bgr24(row, out, width);
        break;
      case LayoutKind::kBayer: {
        // Rows -1 and height reflect to 1 and height - 2, like the columns.
        const int above = y == 0 ? 1 : y - 1;
        const int below = y == g.height - 1 ? g.height - 2 : y + 1;
        kernels.bayer(src + g.stride * static_cast<uint64_t>(above), row,
                      src + g.stride * static_cast<uint64_t>(below), BayerPhase(layout.bayer, y),
                      out, width);
        break;
      }
      case LayoutKind::kJpeg:
        return;
    }
  }
}

}  // namespace

ColorDescription DescribeColor(uint32_t colorspace, uint32_t ycbcrEncoding, uint32_t quantization) {
  ColorDescription color;
  if (ycbcrEncoding == V4L2_YCBCR_ENC_DEFAULT) {
    ycbcrEncoding = V4L2_MAP_YCBCR_ENC_DEFAULT(colorspace);
  }
  switch (ycbcrEncoding) {
    case V4L2_YCBCR_ENC_709:
    case V4L2_YCBCR_ENC_XV709:
      color.encoding = YcbcrEncoding::kBt709;
      break;
    case V4L2_YCBCR_ENC_BT2020:
    case V4L2_YCBCR_ENC_BT2020_CONST_LUM:
      color.encoding = YcbcrEncoding::kBt2020;
      break;
    case V4L2_YCBCR_ENC_SMPTE240M:
      color.encoding = YcbcrEncoding::kSmpte240m;
      break;
    default:  // 601, its extended-gamut form, sYCC, and values this header does not know
      color.encoding = YcbcrEncoding::kBt601;
      break;
  }
  if (quantization == V4L2_QUANTIZATION_DEFAULT) {
    quantization = V4L2_MAP_QUANTIZATION_DEFAULT(false, colorspace, ycbcrEncoding);
  }
  color.fullRange = quantization == V4L2_QUANTIZATION_FULL_RANGE;
  return color;
}

ColorDescription DescribeColor(const v4l2_pix_format& format) {
  const bool extended = format.priv == V4L2_PIX_FMT_PRIV_MAGIC;
  return DescribeColor(format.colorspace, extended ? format.ycbcr_enc : 0,
                       extended ? format.quantization : 0);
}

uint64_t SourceFrameBytes(const SourceFormat& format) {
  return Measure(format).frameBytes;
}

bool SimdPathAvailable(SimdPath path) {
  switch (path) {
    case SimdPath::kAvx2:
      return CpuHasAvx2();
    case SimdPath::kSse41:
      return CpuHasSse41();
    case SimdPath::kScalar:
      break;
  }
  return true;
}

SimdPath BestSimdPath() {
  static const SimdPath best = CpuHasAvx2()    ? SimdPath::kAvx2
                               : CpuHasSse41() ? SimdPath::kSse41
                                               : SimdPath::kScalar;
  return best;
}

bool ConvertToRgb(const SourceFormat& format, const uint8_t* src, size_t srcSize, uint8_t* dst,
                  size_t dstSize, SimdPath path) {
  const Geometry g = Measure(format);
  if (g.frameBytes == 0 || src == nullptr || dst == nullptr || srcSize < g.frameBytes ||
      dstSize / 3 / static_cast<size_t>(g.width) < static_cast<size_t>(g.height) ||
      !SimdPathAvailable(path)) {
    return false;
  }
  ConvertRows(g, format.color, path, src, dst);
  return true;
}

bool ConvertToRgb(const SourceFormat& format, const uint8_t* src, size_t srcSize, uint8_t* dst,
                  size_t dstSize) {
  return ConvertToRgb(format, src, srcSize, dst, dstSize, BestSimdPath());
}

}  // namespace cnokhwa
