#include "edof/fusion.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <utility>

#include "edof/fusion_kernels.h"

namespace zentri_native {

namespace {

constexpr const char* kInvalidDimensions = "Native EDOF dimensions are invalid";
// Weight sums and accumulated weights at or below this count as empty. For a float operand the
// comparison gives the same answer whether the bound is taken as float or as double.
constexpr double kMinWeight = 1e-8;
// The lowest trusted field confidence: the float 0.02 widened to double.
constexpr double kMinConfidence = static_cast<double>(0.02f);

size_t Count(int64_t pixels, int channels) {
  return static_cast<size_t>(pixels) * static_cast<size_t>(channels);
}

// Bilinear interpolation of four corner values: c10 is right of c00, c01 below it.
inline double Bilinear(double c00, double c10, double c01, double c11, double fx, double fy) {
  return ((c10 - c00) * fx + c00) * (1 - fy) + ((c11 - c01) * fx + c01) * fy;
}

// One axis of a sample: the two taps and the fraction towards the second.
struct AxisTap {
  int32_t i0 = 0;
  int32_t i1 = 0;
  double f = 0;
  // The coordinate lies within the map (warp test); the taps are then the unclamped ones.
  bool inside = false;
};

// SampleMapClamped's rule for one axis.
AxisTap ClampedTap(double c, int32_t size) {
  AxisTap tap;
  c = std::min(c, static_cast<double>(size - 1));
  if (c > 0) {
    const double low = std::floor(c);
    tap.i0 = static_cast<int32_t>(low);
    tap.f = c - low;
  }
  tap.i1 = std::min(tap.i0 + 1, size - 1);
  return tap;
}

// The map taps of every output column (or row): output pixel centres mapped onto the map grid.
// Inside the map the clamped taps equal the plain floor taps, so one table serves both the
// weight sample and the warp.
std::vector<AxisTap> MapAxisTaps(int32_t outputSize, int32_t mapSize) {
  std::vector<AxisTap> taps(static_cast<size_t>(outputSize));
  for (int32_t d = 0; d < outputSize; ++d) {
    const double s = (d + 0.5) * mapSize / outputSize - 0.5;
    AxisTap tap = ClampedTap(s, mapSize);
    tap.inside = s >= 0 && s <= mapSize - 1;
    taps[static_cast<size_t>(d)] = tap;
  }
  return taps;
}

// The column taps of a map once more, one array per member, for the vector kernels.
struct ColumnTable {
  std::vector<AxisTap> taps;
  std::vector<int32_t> i0, i1, inside, consecutive, wholeCells;
  std::vector<double> f;

  ColumnTable(int32_t outputSize, int32_t mapSize) : taps(MapAxisTaps(outputSize, mapSize)) {
    for (const AxisTap& tap : taps) {
      i0.push_back(tap.i0);
      i1.push_back(tap.i1);
      inside.push_back(tap.inside ? -1 : 0);
      f.push_back(tap.f);
    }
    for (size_t x = 0; x + 4 <= taps.size(); x += 4) {
      bool run = true;
      for (size_t lane = 0; lane < 4; ++lane) {
        run = run && i0[x + lane] == i0[x] + static_cast<int32_t>(lane) &&
              i1[x + lane] == i0[x + lane] + 1;
      }
      consecutive.push_back(run ? i0[x] : -1);
      wholeCells.push_back(f[x] == 0 && f[x + 1] == 0 && f[x + 2] == 0 && f[x + 3] == 0);
    }
  }
  edof_kernels::MapColumns Kernel() const {
    return {i0.data(), i1.data(), f.data(), inside.data(), consecutive.data(), wholeCells.data()};
  }
};

// UpsampleRgb's rule for one axis.
std::vector<AxisTap> UpsampleAxisTaps(int32_t srcSize, int32_t dstSize) {
  std::vector<AxisTap> taps(static_cast<size_t>(dstSize));
  for (int32_t d = 0; d < dstSize; ++d) {
    const double s = (d + 0.5) * srcSize / dstSize - 0.5;
    int32_t i0 = std::min(srcSize - 1, static_cast<int32_t>(std::floor(s)));
    int32_t i1;
    double f;
    if (i0 < 1) {
      i0 = 0;
      i1 = 1;
      f = s;
    } else {
      f = s - i0;
      i1 = i0 + 1;
    }
    AxisTap& tap = taps[static_cast<size_t>(d)];
    tap.i0 = i0;
    tap.i1 = std::min(i1, srcSize - 1);
    tap.f = std::min(std::max(f, 0.0), 1.0);
  }
  return taps;
}

// The columns of an RGB resampling, per colour element (3 per pixel): the element indices of
// both source taps, the fraction and the pixel.
struct UpsampleTable {
  std::vector<AxisTap> rows;
  std::vector<int32_t> i0, i1, pixel;
  std::vector<double> f;
  // Windows for the vector kernels (see edof_kernels::UpsampleElements).
  std::vector<int32_t> window0, window1, pixelWindow, lane0, lane1, pixelLane;

  UpsampleTable(int32_t srcWidth, int32_t srcHeight, int32_t dstWidth, int32_t dstHeight)
      : rows(UpsampleAxisTaps(srcHeight, dstHeight)) {
    const std::vector<AxisTap> columns = UpsampleAxisTaps(srcWidth, dstWidth);
    const size_t elements = Count(dstWidth, 3);
    i0.reserve(elements);
    i1.reserve(elements);
    pixel.reserve(elements);
    f.reserve(elements);
    for (int32_t x = 0; x < dstWidth; ++x) {
      const AxisTap& column = columns[static_cast<size_t>(x)];
      for (int32_t ch = 0; ch < 3; ++ch) {
        i0.push_back(3 * column.i0 + ch);
        i1.push_back(3 * column.i1 + ch);
        pixel.push_back(x);
        f.push_back(column.f);
      }
    }
    lane0.resize(elements);
    lane1.resize(elements);
    pixelLane.resize(elements);
    for (size_t e = 0; e + 4 <= elements; e += 4) {
      window0.push_back(Window(i0, e, 3 * srcWidth, lane0));
      window1.push_back(Window(i1, e, 3 * srcWidth, lane1));
      pixelWindow.push_back(Window(pixel, e, dstWidth, pixelLane));
    }
  }
  edof_kernels::UpsampleElements Kernel() const {
    return {i0.data(),      i1.data(),          f.data(),     pixel.data(), window0.data(),
            window1.data(), pixelWindow.data(), lane0.data(), lane1.data(), pixelLane.data()};
  }
  size_t Elements() const { return i0.size(); }

 private:
  // The start of an 8-value window within [0, limit) holding index[e .. e + 3], or -1; fills
  // the lanes relative to it.
  static int32_t Window(const std::vector<int32_t>& index, size_t e, int32_t limit,
                        std::vector<int32_t>& lanes) {
    const auto [low, high] = std::minmax_element(index.begin() + e, index.begin() + e + 4);
    if (*high - *low >= 8 || *low + 8 > limit) {
      return -1;
    }
    for (size_t lane = e; lane < e + 4; ++lane) {
      lanes[lane] = index[lane] - *low;
    }
    return *low;
  }
};

// Bilinear tap sum of one colour element: a float that starts at 0 and takes the taps in the
// order (x0, y0), (x1, y0), (x0, y1), (x1, y1), each product formed in double.
inline float TapSum(double fx, double fy, double a, double b, double c, double d) {
  const double w00 = (1 - fx) * (1 - fy);
  const double w10 = fx * (1 - fy);
  const double w01 = (1 - fx) * fy;
  const double w11 = fx * fy;
  float sum = 0.0f;
  sum = static_cast<float>(sum + w00 * a);
  sum = static_cast<float>(sum + w10 * b);
  sum = static_cast<float>(sum + w01 * c);
  sum = static_cast<float>(sum + w11 * d);
  return sum;
}

// Source rows of output row y of a resampling.
struct SourceRows {
  const float* top;
  const float* bottom;
  double fy;
};

SourceRows RowsOf(const float* src, int32_t srcWidth, const AxisTap& row) {
  return {src + Count(row.i0, 3) * static_cast<size_t>(srcWidth),
          src + Count(row.i1, 3) * static_cast<size_t>(srcWidth), row.f};
}

// One output row of a bilinear RGB resampling.
void UpsampleRow(const SourceRows& rows, const UpsampleTable& table, bool avx2, float* out) {
  const size_t count = table.Elements();
  size_t e = avx2 ? edof_kernels::UpsampleRowAvx2(rows.top, rows.bottom, table.Kernel(), rows.fy,
                                                  out, count)
                  : 0;
  for (; e < count; ++e) {
    out[e] = TapSum(table.f[e], rows.fy, rows.top[table.i0[e]], rows.top[table.i1[e]],
                    rows.bottom[table.i0[e]], rows.bottom[table.i1[e]]);
  }
}

// One output row of the 2 x 2 box filter from the source rows top and bottom (bottom is null
// when the source has no row below). Taps are summed in double in the order (x0, y0),
// (x1, y0), (x0, y1), (x1, y1) and divided by their count.
void DownsampleRow(const float* topRgb, const float* topWeight, const float* bottomRgb,
                   const float* bottomWeight, int32_t srcWidth, int32_t dstWidth, bool avx2,
                   float* dstRgb, float* dstWeight) {
  int32_t ox = avx2 && bottomRgb != nullptr
                   ? edof_kernels::DownsampleRowAvx2(topRgb, topWeight, bottomRgb, bottomWeight,
                                                     dstWidth, dstRgb, dstWeight)
                   : 0;
  for (; ox < dstWidth; ++ox) {
    const size_t x0 = 2 * static_cast<size_t>(ox);
    const bool hasX1 = static_cast<int64_t>(x0) + 1 < srcWidth;
    // Sums start at a double zero, as a sum of the taps does (so a lone -0 tap gives +0).
    double r = 0, g = 0, b = 0, w = 0;
    r += topRgb[3 * x0];
    g += topRgb[3 * x0 + 1];
    b += topRgb[3 * x0 + 2];
    w += topWeight[x0];
    int count = 1;
    if (hasX1) {
      r += topRgb[3 * x0 + 3];
      g += topRgb[3 * x0 + 4];
      b += topRgb[3 * x0 + 5];
      w += topWeight[x0 + 1];
      ++count;
    }
    if (bottomRgb != nullptr) {
      r += bottomRgb[3 * x0];
      g += bottomRgb[3 * x0 + 1];
      b += bottomRgb[3 * x0 + 2];
      w += bottomWeight[x0];
      ++count;
      if (hasX1) {
        r += bottomRgb[3 * x0 + 3];
        g += bottomRgb[3 * x0 + 4];
        b += bottomRgb[3 * x0 + 5];
        w += bottomWeight[x0 + 1];
        ++count;
      }
    }
    float* out = dstRgb + 3 * static_cast<size_t>(ox);
    out[0] = static_cast<float>(r / count);
    out[1] = static_cast<float>(g / count);
    out[2] = static_cast<float>(b / count);
    dstWeight[ox] = static_cast<float>(w / count);
  }
}

int32_t DownsampledSize(int32_t size) {
  return size < 3 ? 1 : (size + 1) / 2;
}

Level MakeLevel(int32_t width, int32_t height) {
  const int64_t pixels = CheckedPixels(width, height);
  Level level;
  level.width = width;
  level.height = height;
  level.rgb.assign(Count(pixels, 3), 0.0f);
  level.weight.assign(Count(pixels, 1), 0.0f);
  return level;
}

void DownsampleInto(const Level& src, Level& dst, unsigned int maxThreads, bool avx2) {
  ParallelRows(dst.height, maxThreads, [&](int32_t begin, int32_t end) {
    const size_t srcWidth = static_cast<size_t>(src.width);
    for (int32_t oy = begin; oy < end; ++oy) {
      const size_t offset = static_cast<size_t>(oy) * static_cast<size_t>(dst.width);
      const size_t top = 2 * static_cast<size_t>(oy) * srcWidth;
      const bool hasBottom = 2 * static_cast<int64_t>(oy) + 1 < src.height;
      DownsampleRow(src.rgb.data() + 3 * top, src.weight.data() + top,
                    hasBottom ? src.rgb.data() + 3 * (top + srcWidth) : nullptr,
                    hasBottom ? src.weight.data() + top + srcWidth : nullptr, src.width, dst.width,
                    avx2, dst.rgb.data() + 3 * offset, dst.weight.data() + offset);
    }
  });
}

// A float array whose elements start uninitialised: the pass that owns a row writes or zeroes it,
// so zeroing and the first touch of fresh pages are spread over the threads.
class Floats {
 public:
  Floats() = default;
  explicit Floats(size_t size) : data_(new float[size]), size_(size) {}
  float* data() { return data_.get(); }
  const float* data() const { return data_.get(); }
  size_t size() const { return size_; }
  float& operator[](size_t i) { return data_[i]; }
  const float& operator[](size_t i) const { return data_[i]; }
  void Release() {
    data_.reset();
    size_ = 0;
  }

 private:
  std::unique_ptr<float[]> data_;
  size_t size_ = 0;
};

// Accumulated bands of one level over all frames, zero at start.
struct Accumulator {
  int32_t width = 0;
  int32_t height = 0;
  Floats rgb;
  Floats weight;

  Accumulator(int32_t w, int32_t h, unsigned int maxThreads)
      : width(w),
        height(h),
        rgb(Count(CheckedPixels(w, h), 3)),
        weight(Count(CheckedPixels(w, h), 1)) {
    ParallelRows(height, maxThreads, [this](int32_t begin, int32_t end) {
      const size_t first = static_cast<size_t>(begin) * static_cast<size_t>(width);
      const size_t last = static_cast<size_t>(end) * static_cast<size_t>(width);
      std::fill(rgb.data() + 3 * first, rgb.data() + 3 * last, 0.0f);
      std::fill(weight.data() + first, weight.data() + last, 0.0f);
    });
  }
};

bool Finite(float value) {
  return std::fabs(value) <= FLT_MAX;
}

// Interpolates one field map at a pixel: false when a corner or the result is not finite.
inline bool FiniteInterpolation(const float* row0, const float* row1, const AxisTap& column,
                                const AxisTap& row, double* value) {
  const float c00 = row0[column.i0];
  const float c10 = row0[column.i1];
  const float c01 = row1[column.i0];
  const float c11 = row1[column.i1];
  if (!Finite(c00) || !Finite(c10) || !Finite(c01) || !Finite(c11)) {
    return false;
  }
  *value = Bilinear(c00, c10, c01, c11, column.f, row.f);
  return std::isfinite(*value);
}

// Everything the base-level pass of one frame needs.
class FrameWarp {
 public:
  FrameWarp(int32_t width, int32_t height, const FrameView& frame, const FieldView& field,
            const float* weight, const uint8_t* reference, bool isReference, bool avx2)
      : width_(width),
        height_(height),
        frame_(frame),
        field_(field),
        weight_(weight),
        reference_(reference),
        isReference_(isReference),
        avx2_(avx2),
        columns_(width, field.mapWidth),
        rows_(MapAxisTaps(height, field.mapHeight)) {}

  // Base-level row y: the warped colour and normalised weight of every pixel, or the reference
  // colour with weight 0 where the frame cannot supply the pixel.
  void Row(int32_t y, const float* weightSum, float* rgb, float* weight) const {
    const AxisTap& ty = rows_[static_cast<size_t>(y)];
    const size_t mapWidth = static_cast<size_t>(field_.mapWidth);
    const size_t map0 = static_cast<size_t>(ty.i0) * mapWidth;
    const size_t map1 = static_cast<size_t>(ty.i1) * mapWidth;
    const size_t rowStart = static_cast<size_t>(y) * static_cast<size_t>(width_);
    const uint8_t* reference = reference_ + 4 * rowStart;
    int32_t x = 0;
    if (avx2_ && ty.inside) {
      edof_kernels::WarpRowArgs args;
      args.width = width_;
      args.height = height_;
      args.mapWidth = field_.mapWidth;
      args.mapHeight = field_.mapHeight;
      args.weight[0] = weight_ + map0;
      args.weight[1] = weight_ + map1;
      args.x[0] = field_.x + map0;
      args.x[1] = field_.x + map1;
      args.y[0] = field_.y + map0;
      args.y[1] = field_.y + map1;
      args.confidence[0] = field_.confidence + map0;
      args.confidence[1] = field_.confidence + map1;
      args.columns = columns_.Kernel();
      args.fy = ty.f;
      args.weightSum = weightSum + rowStart;
      args.frame = frame_.rgba;
      args.reference = reference;
      args.scale = frame_.physicalScale;
      args.fallbackWeight = isReference_ ? 1.0f : 0.0f;
      args.rgb = rgb;
      args.weightOut = weight;
      x = edof_kernels::WarpRowAvx2(args);
    }
    const double cx = (width_ - 1) * 0.5;
    const double cy = (height_ - 1) * 0.5;
    const double scale = frame_.physicalScale;
    for (; x < width_; ++x) {
      const AxisTap& tx = columns_.taps[static_cast<size_t>(x)];
      double mx = 0, my = 0, confidence = 0;
      bool ok = tx.inside && ty.inside &&
                FiniteInterpolation(field_.x + map0, field_.x + map1, tx, ty, &mx) &&
                FiniteInterpolation(field_.y + map0, field_.y + map1, tx, ty, &my) &&
                FiniteInterpolation(field_.confidence + map0, field_.confidence + map1, tx, ty,
                                    &confidence) &&
                confidence >= kMinConfidence;
      double sourceX = 0, sourceY = 0;
      if (ok) {
        sourceX = ((mx + 0.5) * width_ / field_.mapWidth - 0.5 - cx) * scale + cx;
        sourceY = ((my + 0.5) * height_ / field_.mapHeight - 0.5 - cy) * scale + cy;
        ok = sourceX >= 0 && sourceX <= width_ - 1 && sourceY >= 0 && sourceY <= height_ - 1;
      }
      float* out = rgb + 3 * static_cast<size_t>(x);
      if (!ok) {
        const uint8_t* pixel = reference + 4 * static_cast<size_t>(x);
        out[0] = pixel[0];
        out[1] = pixel[1];
        out[2] = pixel[2];
        weight[x] = 0.0f;
        continue;
      }
      const float sample =
          static_cast<float>(Bilinear(weight_[map0 + tx.i0], weight_[map0 + tx.i1],
                                      weight_[map1 + tx.i0], weight_[map1 + tx.i1], tx.f, ty.f));
      const float sum = weightSum[rowStart + static_cast<size_t>(x)];
      weight[x] = sum > kMinWeight ? sample / sum : (isReference_ ? 1.0f : 0.0f);
      SampleColour(sourceX, sourceY, out);
    }
  }

 private:
  void SampleColour(double sourceX, double sourceY, float* out) const {
    const double floorX = std::floor(sourceX);
    const double floorY = std::floor(sourceY);
    const int32_t x0 = static_cast<int32_t>(floorX);
    const int32_t y0 = static_cast<int32_t>(floorY);
    const int32_t x1 = std::min(x0 + 1, width_ - 1);
    const int32_t y1 = std::min(y0 + 1, height_ - 1);
    const double fx = sourceX - floorX;
    const double fy = sourceY - floorY;
    const size_t stride = static_cast<size_t>(width_);
    const uint8_t* a = frame_.rgba + 4 * (static_cast<size_t>(y0) * stride + x0);
    const uint8_t* b = frame_.rgba + 4 * (static_cast<size_t>(y0) * stride + x1);
    const uint8_t* c = frame_.rgba + 4 * (static_cast<size_t>(y1) * stride + x0);
    const uint8_t* d = frame_.rgba + 4 * (static_cast<size_t>(y1) * stride + x1);
    for (int ch = 0; ch < 3; ++ch) {
      out[ch] = TapSum(fx, fy, a[ch], b[ch], c[ch], d[ch]);
    }
  }

  int32_t width_;
  int32_t height_;
  const FrameView& frame_;
  const FieldView& field_;
  const float* weight_;
  const uint8_t* reference_;
  bool isReference_;
  bool avx2_;
  ColumnTable columns_;
  std::vector<AxisTap> rows_;
};

// Adds one row of a Laplacian band, (G - upsampled coarser level) x weight, and the weights to
// the accumulators. The upsampled values are made on the fly and never stored.
void AccumulateBandRow(const SourceRows& coarse, const UpsampleTable& table, const float* g,
                       const float* w, float* accRgb, float* accWeight, int32_t width, bool avx2) {
  const size_t count = table.Elements();
  size_t e = avx2 ? edof_kernels::AccumulateBandRowAvx2(coarse.top, coarse.bottom, table.Kernel(),
                                                        coarse.fy, g, w, accRgb, count)
                  : 0;
  for (; e < count; ++e) {
    const float upsampled =
        TapSum(table.f[e], coarse.fy, coarse.top[table.i0[e]], coarse.top[table.i1[e]],
               coarse.bottom[table.i0[e]], coarse.bottom[table.i1[e]]);
    accRgb[e] += (g[e] - upsampled) * w[table.pixel[e]];
  }
  for (int32_t x = 0; x < width; ++x) {
    accWeight[x] += w[x];
  }
}

// AccumulateBandRow for two fine rows that read the same source rows, sharing the tap loads.
void AccumulateBandRowPair(const float* top, const float* bottom, const UpsampleTable& table,
                           const edof_kernels::BandRow& first, const edof_kernels::BandRow& second,
                           float* firstWeightAcc, float* secondWeightAcc, int32_t width) {
  const size_t done = edof_kernels::AccumulateBandRowPairAvx2(top, bottom, table.Kernel(), first,
                                                              second, table.Elements());
  for (const auto& [row, weightAcc] :
       {std::make_pair(&first, firstWeightAcc), std::make_pair(&second, secondWeightAcc)}) {
    for (size_t e = done; e < table.Elements(); ++e) {
      const float upsampled = TapSum(table.f[e], row->fy, top[table.i0[e]], top[table.i1[e]],
                                     bottom[table.i0[e]], bottom[table.i1[e]]);
      row->acc[e] += (row->fine[e] - upsampled) * row->weight[table.pixel[e]];
    }
    for (int32_t x = 0; x < width; ++x) {
      weightAcc[x] += row->weight[x];
    }
  }
}

void AccumulateBand(const Level& fine, const Level& coarse, Accumulator& acc,
                    unsigned int maxThreads, bool avx2) {
  const UpsampleTable table(coarse.width, coarse.height, fine.width, fine.height);
  const size_t width = static_cast<size_t>(fine.width);
  const auto band = [&](int32_t y) {
    const size_t start = static_cast<size_t>(y) * width;
    return edof_kernels::BandRow{table.rows[static_cast<size_t>(y)].f, fine.rgb.data() + 3 * start,
                                 fine.weight.data() + start, acc.rgb.data() + 3 * start};
  };
  ParallelRows(fine.height, maxThreads, [&](int32_t begin, int32_t end) {
    for (int32_t y = begin; y < end; ++y) {
      const size_t start = static_cast<size_t>(y) * width;
      const AxisTap& row = table.rows[static_cast<size_t>(y)];
      const SourceRows source = RowsOf(coarse.rgb.data(), coarse.width, row);
      // Two fine rows between the same coarse rows share their tap loads.
      if (avx2 && y + 1 < end && table.rows[static_cast<size_t>(y) + 1].i0 == row.i0 &&
          table.rows[static_cast<size_t>(y) + 1].i1 == row.i1) {
        AccumulateBandRowPair(source.top, source.bottom, table, band(y), band(y + 1),
                              acc.weight.data() + start, acc.weight.data() + start + width,
                              fine.width);
        ++y;
        continue;
      }
      const edof_kernels::BandRow single = band(y);
      AccumulateBandRow(source, table, single.fine, single.weight, single.acc,
                        acc.weight.data() + start, fine.width, avx2);
    }
  });
}

void AccumulateCoarsestRow(const float* rgb, const float* weight, float* accRgb, float* accWeight,
                           int32_t width) {
  for (size_t i = 0; i < static_cast<size_t>(width); ++i) {
    const float w = weight[i];
    accRgb[3 * i] += rgb[3 * i] * w;
    accRgb[3 * i + 1] += rgb[3 * i + 1] * w;
    accRgb[3 * i + 2] += rgb[3 * i + 2] * w;
    accWeight[i] += w;
  }
}

void AccumulateCoarsest(const Level& level, Accumulator& acc, unsigned int maxThreads) {
  ParallelRows(level.height, maxThreads, [&](int32_t begin, int32_t end) {
    for (int32_t y = begin; y < end; ++y) {
      const size_t start = static_cast<size_t>(y) * static_cast<size_t>(level.width);
      AccumulateCoarsestRow(level.rgb.data() + 3 * start, level.weight.data() + start,
                            acc.rgb.data() + 3 * start, acc.weight.data() + start, level.width);
    }
  });
}

// The base level of one frame is never stored whole. A pass over the rows of level 1 warps base
// rows into a small ring, box-filters each pair into level 1 and, as soon as the level-1 rows
// that a base row's upsampling reads exist, adds that row's band to the level-0 accumulators
// while it is still in cache. A chunk owns level-1 rows [begin, end) and base rows
// [2 begin, 2 end); the one or two level-1 rows just outside it that its upsampling reads are
// computed again locally, from the same inputs with the same operations, so they are identical
// to the neighbour's.
class BaseBandPass {
 public:
  BaseBandPass(const FrameWarp& warp, const float* weightSum, const UpsampleTable& table,
               Level& next, Accumulator& acc, int32_t width, int32_t height, bool avx2)
      : warp_(warp),
        weightSum_(weightSum),
        table_(table),
        next_(next),
        acc_(acc),
        width_(width),
        height_(height),
        avx2_(avx2) {}

  void Run(int32_t begin, int32_t end) const {
    const int32_t firstRow = 2 * begin;
    const int32_t endRow = std::min(2 * end, height_);
    int32_t low = begin;
    int32_t high = end - 1;
    for (int32_t y = firstRow; y < endRow; ++y) {
      low = std::min(low, table_.rows[static_cast<size_t>(y)].i0);
      high = std::max(high, table_.rows[static_cast<size_t>(y)].i1);
    }
    const size_t baseRow = static_cast<size_t>(width_);
    const size_t nextRow = static_cast<size_t>(next_.width);
    // Base rows y live in slot y % kRing until their band is added.
    std::vector<float> ringRgb(3 * baseRow * kRing);
    std::vector<float> ringWeight(baseRow * kRing);
    std::vector<int32_t> ringRow(kRing, -1);
    // Level-1 rows outside the chunk: low .. begin - 1 and end .. high.
    const int32_t haloRows = (begin - low) + (high - end + 1);
    std::vector<float> haloRgb(3 * nextRow * static_cast<size_t>(std::max(haloRows, 0)));
    std::vector<float> haloWeight(nextRow);
    const auto levelOneRgb = [&](int32_t j) -> float* {
      if (j >= begin && j < end) {
        return next_.rgb.data() + 3 * nextRow * static_cast<size_t>(j);
      }
      const int32_t slot = j < begin ? j - low : (begin - low) + (j - end);
      return haloRgb.data() + 3 * nextRow * static_cast<size_t>(slot);
    };
    int32_t pending = firstRow;
    for (int32_t j = low; j <= high; ++j) {
      const int32_t top = 2 * j;
      const bool hasBottom = top + 1 < height_;
      for (int32_t y = top; y < top + (hasBottom ? 2 : 1); ++y) {
        const size_t slot = static_cast<size_t>(y % kRing);
        warp_.Row(y, weightSum_, ringRgb.data() + 3 * baseRow * slot,
                  ringWeight.data() + baseRow * slot);
        ringRow[slot] = y;
      }
      const size_t topSlot = static_cast<size_t>(top % kRing);
      const size_t bottomSlot = static_cast<size_t>((top + 1) % kRing);
      const bool owned = j >= begin && j < end;
      DownsampleRow(
          ringRgb.data() + 3 * baseRow * topSlot, ringWeight.data() + baseRow * topSlot,
          hasBottom ? ringRgb.data() + 3 * baseRow * bottomSlot : nullptr,
          hasBottom ? ringWeight.data() + baseRow * bottomSlot : nullptr, width_, next_.width,
          avx2_, levelOneRgb(j),
          owned ? next_.weight.data() + nextRow * static_cast<size_t>(j) : haloWeight.data());
      while (pending < endRow && table_.rows[static_cast<size_t>(pending)].i1 <= j) {
        const AxisTap& row = table_.rows[static_cast<size_t>(pending)];
        const edof_kernels::BandRow band = Band(pending, ringRgb, ringWeight, ringRow);
        const size_t start = static_cast<size_t>(pending) * baseRow;
        // Two base rows between the same level-1 rows share their tap loads.
        const int32_t next = pending + 1;
        if (avx2_ && next < endRow && table_.rows[static_cast<size_t>(next)].i0 == row.i0 &&
            table_.rows[static_cast<size_t>(next)].i1 == row.i1) {
          const edof_kernels::BandRow second = Band(next, ringRgb, ringWeight, ringRow);
          AccumulateBandRowPair(levelOneRgb(row.i0), levelOneRgb(row.i1), table_, band, second,
                                acc_.weight.data() + start, acc_.weight.data() + start + baseRow,
                                width_);
          pending += 2;
          continue;
        }
        AccumulateBandRow(SourceRows{levelOneRgb(row.i0), levelOneRgb(row.i1), row.f}, table_,
                          band.fine, band.weight, band.acc, acc_.weight.data() + start, width_,
                          avx2_);
        ++pending;
      }
    }
    if (pending != endRow) {
      throw std::logic_error("Native EDOF band rows left over");
    }
  }

 private:
  // Base row y of the ring with its accumulator row.
  edof_kernels::BandRow Band(int32_t y, const std::vector<float>& ringRgb,
                             const std::vector<float>& ringWeight,
                             const std::vector<int32_t>& ringRow) const {
    const size_t slot = static_cast<size_t>(y % kRing);
    if (ringRow[slot] != y) {
      throw std::logic_error("Native EDOF band ring overrun");
    }
    const size_t baseRow = static_cast<size_t>(width_);
    return {table_.rows[static_cast<size_t>(y)].f, ringRgb.data() + 3 * baseRow * slot,
            ringWeight.data() + baseRow * slot,
            acc_.rgb.data() + 3 * baseRow * static_cast<size_t>(y)};
  }

  // Upsampling reads level-1 rows at most two past half the base row, so a base row waits for
  // at most five newer rows: eight slots leave room.
  static constexpr int32_t kRing = 8;

  const FrameWarp& warp_;
  const float* weightSum_;
  const UpsampleTable& table_;
  Level& next_;
  Accumulator& acc_;
  int32_t width_;
  int32_t height_;
  bool avx2_;
};

// Divides the pixels of rows [begin, end) that carry weight by their accumulated weight.
void NormaliseRows(Accumulator& acc, int32_t begin, int32_t end) {
  const size_t first = static_cast<size_t>(begin) * static_cast<size_t>(acc.width);
  const size_t last = static_cast<size_t>(end) * static_cast<size_t>(acc.width);
  for (size_t i = first; i < last; ++i) {
    const float weight = acc.weight[i];
    if (weight > kMinWeight) {
      acc.rgb[3 * i] /= weight;
      acc.rgb[3 * i + 1] /= weight;
      acc.rgb[3 * i + 2] /= weight;
    }
  }
}

void RoundRow(const float* rgb, int32_t width, bool avx2, uint8_t* out) {
  int32_t x = 0;
  while (x < width) {
    int32_t stop = width;
    if (avx2) {
      // The vector code stops at a group it cannot round; the plain code takes that group.
      x += edof_kernels::RoundRowAvx2(rgb + 3 * static_cast<size_t>(x), width - x,
                                      out + 4 * static_cast<size_t>(x));
      stop = std::min(width, x + 4);
    }
    for (; x < stop; ++x) {
      out[4 * x] = RoundToByte(rgb[3 * x]);
      out[4 * x + 1] = RoundToByte(rgb[3 * x + 1]);
      out[4 * x + 2] = RoundToByte(rgb[3 * x + 2]);
      out[4 * x + 3] = 255;
    }
  }
}

// Bilinear resampling of sw x sh RGB data to dw x dh into out (3 x dw x dh floats).
void UpsampleInto(const float* rgb, int32_t srcWidth, int32_t srcHeight, int32_t dstWidth,
                  int32_t dstHeight, unsigned int maxThreads, bool avx2, float* out) {
  const UpsampleTable table(srcWidth, srcHeight, dstWidth, dstHeight);
  ParallelRows(dstHeight, maxThreads, [&](int32_t begin, int32_t end) {
    for (int32_t y = begin; y < end; ++y) {
      UpsampleRow(RowsOf(rgb, srcWidth, table.rows[static_cast<size_t>(y)]), table, avx2,
                  out + Count(y, 3) * static_cast<size_t>(dstWidth));
    }
  });
}

void CheckStack(int32_t width, int32_t height, int32_t referenceIndex,
                const std::vector<FrameView>& frames, const std::vector<FieldView>& fields,
                const std::vector<const float*>& weights) {
  CheckedPixels(width, height);
  if (frames.empty() || fields.size() != frames.size() || weights.size() != frames.size()) {
    throw std::runtime_error("Native EDOF stack lengths are invalid");
  }
  if (referenceIndex < 0 || static_cast<size_t>(referenceIndex) >= frames.size()) {
    throw std::runtime_error("Native EDOF reference index is invalid");
  }
  for (size_t k = 0; k < frames.size(); ++k) {
    CheckedPixels(fields[k].mapWidth, fields[k].mapHeight);
    if (frames[k].rgba == nullptr || fields[k].x == nullptr || fields[k].y == nullptr ||
        fields[k].confidence == nullptr || weights[k] == nullptr) {
      throw std::runtime_error("Native EDOF frame or field is invalid");
    }
  }
}

}  // namespace

int64_t CheckedPixels(int32_t width, int32_t height) {
  if (width < 1 || height < 1 || width > kEdofMaxDimension || height > kEdofMaxDimension) {
    throw std::runtime_error(kInvalidDimensions);
  }
  return static_cast<int64_t>(width) * height;
}

float SampleMapClamped(const float* map, int32_t width, int32_t height, double x, double y) {
  const AxisTap tx = ClampedTap(x, width);
  const AxisTap ty = ClampedTap(y, height);
  const float* row0 = map + static_cast<size_t>(ty.i0) * static_cast<size_t>(width);
  const float* row1 = map + static_cast<size_t>(ty.i1) * static_cast<size_t>(width);
  return static_cast<float>(
      Bilinear(row0[tx.i0], row0[tx.i1], row1[tx.i0], row1[tx.i1], tx.f, ty.f));
}

std::vector<std::pair<int32_t, int32_t>> PyramidLevelSizes(int32_t width, int32_t height) {
  std::vector<std::pair<int32_t, int32_t>> sizes{{width, height}};
  while (static_cast<int>(sizes.size()) < kEdofMaxLevels && sizes.back().first >= 65 &&
         sizes.back().second >= 37) {
    sizes.emplace_back((sizes.back().first + 1) / 2, (sizes.back().second + 1) / 2);
  }
  for (const auto& size : sizes) {
    CheckedPixels(size.first, size.second);
  }
  return sizes;
}

Level Downsample(const Level& src, unsigned int maxThreads) {
  Level dst = MakeLevel(DownsampledSize(src.width), DownsampledSize(src.height));
  DownsampleInto(src, dst, maxThreads, false);
  return dst;
}

std::vector<float> UpsampleRgb(const std::vector<float>& rgb, int32_t srcWidth, int32_t srcHeight,
                               int32_t dstWidth, int32_t dstHeight, unsigned int maxThreads) {
  const int64_t pixels = CheckedPixels(dstWidth, dstHeight);
  if (rgb.size() != Count(CheckedPixels(srcWidth, srcHeight), 3)) {
    throw std::runtime_error(kInvalidDimensions);
  }
  std::vector<float> out(Count(pixels, 3), 0.0f);
  UpsampleInto(rgb.data(), srcWidth, srcHeight, dstWidth, dstHeight, maxThreads, false, out.data());
  return out;
}

void AddArrayScalar(float* dst, const float* src, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    dst[i] += src[i];
  }
}

uint8_t RoundToByte(float value) {
  // The common range is rounded here; lroundf decides the rest (out of range, NaN), clamped.
  if (value >= 0.0f && value < 256.0f) {
    int32_t whole = static_cast<int32_t>(value);
    if (value - static_cast<float>(whole) >= 0.5f) {
      ++whole;
    }
    return static_cast<uint8_t>(std::min(whole, 255));
  }
  const long rounded = std::lroundf(value);
  return static_cast<uint8_t>(rounded < 0 ? 0 : (rounded > 255 ? 255 : rounded));
}

std::vector<uint8_t> Fuse(int32_t width, int32_t height, int32_t referenceIndex,
                          const std::vector<FrameView>& frames,
                          const std::vector<FieldView>& fields,
                          const std::vector<const float*>& weights, unsigned int maxThreads,
                          const std::string& simd) {
  CheckStack(width, height, referenceIndex, frames, fields, weights);
  maxThreads = std::max(1u, maxThreads);
  const auto sizes = PyramidLevelSizes(width, height);
  const size_t levels = sizes.size();
  const size_t stack = frames.size();
  const int64_t pixels = CheckedPixels(width, height);

  std::vector<Accumulator> acc;
  acc.reserve(levels);
  for (size_t l = 0; l < levels; ++l) {
    acc.emplace_back(sizes[l].first, sizes[l].second, maxThreads);
  }

  // Weight sum over every frame, accepted or not, added in frame order at each pixel.
  const bool avx2 = simd == "avx2";
  Floats weightSum(Count(pixels, 1));
  {
    std::vector<ColumnTable> columns;
    std::vector<std::vector<AxisTap>> rows(stack);
    columns.reserve(stack);
    for (size_t k = 0; k < stack; ++k) {
      columns.emplace_back(width, fields[k].mapWidth);
      rows[k] = MapAxisTaps(height, fields[k].mapHeight);
    }
    ParallelRows(height, maxThreads, [&](int32_t begin, int32_t end) {
      for (int32_t y = begin; y < end; ++y) {
        float* sum = weightSum.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
        std::fill(sum, sum + width, 0.0f);
        for (size_t k = 0; k < stack; ++k) {
          const AxisTap& ty = rows[k][static_cast<size_t>(y)];
          const size_t mapWidth = static_cast<size_t>(fields[k].mapWidth);
          const float* row0 = weights[k] + static_cast<size_t>(ty.i0) * mapWidth;
          const float* row1 = weights[k] + static_cast<size_t>(ty.i1) * mapWidth;
          int32_t x = avx2 ? edof_kernels::AddMapSamplesAvx2(row0, row1, columns[k].Kernel(), ty.f,
                                                             sum, width)
                           : 0;
          for (; x < width; ++x) {
            const AxisTap& tx = columns[k].taps[static_cast<size_t>(x)];
            sum[x] += static_cast<float>(
                Bilinear(row0[tx.i0], row0[tx.i1], row1[tx.i0], row1[tx.i1], tx.f, ty.f));
          }
        }
      }
    });
  }

  // The Gaussian pyramid of the frame in work from level 1 on (the base level exists only row by
  // row); its buffers are reused from frame to frame.
  std::vector<Level> pyramid(1);
  for (size_t l = 1; l < levels; ++l) {
    pyramid.push_back(MakeLevel(sizes[l].first, sizes[l].second));
  }
  std::unique_ptr<UpsampleTable> baseTable;
  if (levels > 1) {
    baseTable = std::make_unique<UpsampleTable>(sizes[1].first, sizes[1].second, width, height);
  }
  const uint8_t* reference = frames[static_cast<size_t>(referenceIndex)].rgba;
  for (size_t k = 0; k < stack; ++k) {
    if (!fields[k].accepted) {
      continue;
    }
    const FrameWarp warp(width, height, frames[k], fields[k], weights[k], reference,
                         static_cast<int32_t>(k) == referenceIndex, avx2);
    if (levels == 1) {
      // No bands: each base row goes straight into the accumulators.
      Accumulator& only = acc[0];
      ParallelRows(height, maxThreads, [&](int32_t begin, int32_t end) {
        std::vector<float> rgb(Count(width, 3));
        std::vector<float> weight(Count(width, 1));
        for (int32_t y = begin; y < end; ++y) {
          const size_t start = static_cast<size_t>(y) * static_cast<size_t>(width);
          warp.Row(y, weightSum.data(), rgb.data(), weight.data());
          AccumulateCoarsestRow(rgb.data(), weight.data(), only.rgb.data() + 3 * start,
                                only.weight.data() + start, width);
        }
      });
      continue;
    }
    const BaseBandPass base(warp, weightSum.data(), *baseTable, pyramid[1], acc[0], width, height,
                            avx2);
    ParallelRows(pyramid[1].height, maxThreads,
                 [&base](int32_t begin, int32_t end) { base.Run(begin, end); });
    for (size_t l = 2; l < levels; ++l) {
      DownsampleInto(pyramid[l - 1], pyramid[l], maxThreads, avx2);
    }
    for (size_t l = 1; l + 1 < levels; ++l) {
      AccumulateBand(pyramid[l], pyramid[l + 1], acc[l], maxThreads, avx2);
    }
    AccumulateCoarsest(pyramid[levels - 1], acc[levels - 1], maxThreads);
  }
  // Only the accumulators are needed from here on.
  std::vector<Level>().swap(pyramid);
  weightSum.Release();

  const auto add = avx2 ? AddArrayAvx2 : AddArrayScalar;
  for (size_t l = 1; l < levels; ++l) {
    ParallelRows(acc[l].height, maxThreads,
                 [&](int32_t begin, int32_t end) { NormaliseRows(acc[l], begin, end); });
  }
  // Collapse from the coarsest level up to level 1; level 0 is collapsed row by row into the
  // output below.
  Floats collapsed;
  if (levels > 1) {
    collapsed = std::move(acc[levels - 1].rgb);
  }
  for (size_t l = levels - 1; l >= 2; --l) {
    Floats upsampled(Count(CheckedPixels(sizes[l - 1].first, sizes[l - 1].second), 3));
    UpsampleInto(collapsed.data(), sizes[l].first, sizes[l].second, sizes[l - 1].first,
                 sizes[l - 1].second, maxThreads, avx2, upsampled.data());
    add(upsampled.data(), acc[l - 1].rgb.data(), upsampled.size());
    collapsed = std::move(upsampled);
    acc[l - 1].rgb.Release();
  }

  std::vector<uint8_t> result(Count(pixels, 4), 0);
  Accumulator& finest = acc[0];
  if (levels == 1) {
    ParallelRows(height, maxThreads, [&](int32_t begin, int32_t end) {
      NormaliseRows(finest, begin, end);
      for (int32_t y = begin; y < end; ++y) {
        const size_t start = static_cast<size_t>(y) * static_cast<size_t>(width);
        RoundRow(finest.rgb.data() + 3 * start, width, avx2, result.data() + 4 * start);
      }
    });
    return result;
  }
  const UpsampleTable& table = *baseTable;
  ParallelRows(height, maxThreads, [&](int32_t begin, int32_t end) {
    NormaliseRows(finest, begin, end);
    std::vector<float> upsampled(Count(width, 3) * 2);
    float* const rows[2] = {upsampled.data(), upsampled.data() + Count(width, 3)};
    const size_t count = table.Elements();
    for (int32_t y = begin; y < end;) {
      const AxisTap& row = table.rows[static_cast<size_t>(y)];
      const SourceRows source = RowsOf(collapsed.data(), sizes[1].first, row);
      int32_t made = 1;
      if (avx2 && y + 1 < end && table.rows[static_cast<size_t>(y) + 1].i0 == row.i0 &&
          table.rows[static_cast<size_t>(y) + 1].i1 == row.i1) {
        // Two output rows between the same level-1 rows share their tap loads.
        const double fy1 = table.rows[static_cast<size_t>(y) + 1].f;
        const size_t done = edof_kernels::UpsampleRowPairAvx2(
            source.top, source.bottom, table.Kernel(), row.f, fy1, rows[0], rows[1], count);
        for (size_t e = done; e < count; ++e) {
          rows[0][e] = TapSum(table.f[e], row.f, source.top[table.i0[e]], source.top[table.i1[e]],
                              source.bottom[table.i0[e]], source.bottom[table.i1[e]]);
          rows[1][e] = TapSum(table.f[e], fy1, source.top[table.i0[e]], source.top[table.i1[e]],
                              source.bottom[table.i0[e]], source.bottom[table.i1[e]]);
        }
        made = 2;
      } else {
        UpsampleRow(source, table, avx2, rows[0]);
      }
      for (int32_t r = 0; r < made; ++r, ++y) {
        const size_t start = static_cast<size_t>(y) * static_cast<size_t>(width);
        add(rows[r], finest.rgb.data() + 3 * start, count);
        RoundRow(rows[r], width, avx2, result.data() + 4 * start);
      }
    }
  });
  return result;
}

}  // namespace zentri_native
