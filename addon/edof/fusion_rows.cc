#include "edof/fusion_rows.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace zentri_native {
namespace edof_rows {

namespace {

using edof_tables::AxisTap;

// Weight sums and accumulated weights at or below this count as empty. For a float operand the
// comparison gives the same answer whether the bound is taken as float or as double.
constexpr double kMinWeight = 1e-8;
// The lowest trusted field confidence: the float 0.02 widened to double.
constexpr double kMinConfidence = static_cast<double>(0.02f);

// Bilinear interpolation of four corner values: c10 is right of c00, c01 below it.
inline double Bilinear(double c00, double c10, double c01, double c11, double fx, double fy) {
  return ((c10 - c00) * fx + c00) * (1 - fy) + ((c11 - c01) * fx + c01) * fy;
}

// Bilinear tap sum of one colour value: a float that starts at 0 and takes the taps in the
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

inline float Upsampled(const float* top, const float* bottom, int32_t i0, int32_t i1, double fx,
                       double fy) {
  return TapSum(fx, fy, top[i0], top[i1], bottom[i0], bottom[i1]);
}

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

// The band of pixels [from, count) of one row.
void BandPixels(const edof_kernels::SourceRows& source, const edof_tables::ResampleTable& table,
                const edof_kernels::BandRow& row, int32_t from) {
  for (int32_t x = from; x < table.Width(); ++x) {
    const size_t i = static_cast<size_t>(x);
    const float weight = row.weight[i];
    for (int c = 0; c < kColourPlanes; ++c) {
      const float up =
          Upsampled(source.top[c], source.bottom[c], table.i0[i], table.i1[i], table.f[i], row.fy);
      row.acc[c][i] += (row.fine[c][i] - up) * weight;
    }
  }
}

void UpsamplePixels(const edof_kernels::SourceRows& source, const edof_tables::ResampleTable& table,
                    double fy, float* const out[kColourPlanes], int32_t from) {
  for (int32_t x = from; x < table.Width(); ++x) {
    const size_t i = static_cast<size_t>(x);
    for (int c = 0; c < kColourPlanes; ++c) {
      out[c][i] =
          Upsampled(source.top[c], source.bottom[c], table.i0[i], table.i1[i], table.f[i], fy);
    }
  }
}

}  // namespace

void AddRow(float* dst, const float* src, size_t count, bool avx2) {
  (avx2 ? AddArrayAvx2 : AddArrayScalar)(dst, src, count);
}

MapRowChecks::MapRowChecks(const FieldView& field, const float* weight)
    : field_(field),
      weight_(weight),
      states_(new std::atomic<uint8_t>[static_cast<size_t>(field.mapHeight)]) {
  for (int32_t row = 0; row < field.mapHeight; ++row) {
    states_[static_cast<size_t>(row)].store(0, std::memory_order_relaxed);
  }
}

uint8_t MapRowChecks::State(int32_t row) const {
  std::atomic<uint8_t>& slot = states_[static_cast<size_t>(row)];
  uint8_t state = slot.load(std::memory_order_relaxed);
  if (state == 0) {
    const int32_t width = field_.mapWidth;
    const size_t start = static_cast<size_t>(row) * static_cast<size_t>(width);
    state = kKnown;
    if (edof_kernels::RowFiniteAvx2(field_.x + start, width) &&
        edof_kernels::RowFiniteAvx2(field_.y + start, width) &&
        edof_kernels::RowFiniteAvx2(field_.confidence + start, width)) {
      state |= kFieldsFinite;
    }
    if (edof_kernels::RowFiniteAvx2(weight_ + start, width)) {
      state |= kWeightsFinite;
    }
    slot.store(state, std::memory_order_relaxed);
  }
  return state;
}

void AddMapSampleRow(const float* row0, const float* row1,
                     const edof_tables::MapColumnTable& columns, double fy, bool finiteRows,
                     float* sum, int32_t width, bool avx2) {
  int32_t x = avx2 ? edof_kernels::AddMapSamplesAvx2(row0, row1, columns.Kernel(), fy, finiteRows,
                                                     sum, width)
                   : 0;
  for (; x < width; ++x) {
    const AxisTap& tx = columns.taps[static_cast<size_t>(x)];
    sum[x] +=
        static_cast<float>(Bilinear(row0[tx.i0], row0[tx.i1], row1[tx.i0], row1[tx.i1], tx.f, fy));
  }
}

WeightSum::WeightSum(int32_t width, int32_t height, const std::vector<FieldView>& fields,
                     const std::vector<const float*>& weights,
                     const std::vector<MapRowChecks>& checks, bool avx2)
    : width_(width), fields_(fields), weights_(weights), checks_(checks), avx2_(avx2) {
  columns_.reserve(fields.size());
  rows_.reserve(fields.size());
  for (const FieldView& field : fields) {
    columns_.emplace_back(width, field.mapWidth);
    rows_.push_back(edof_tables::MapAxisTaps(height, field.mapHeight));
  }
}

void WeightSum::Row(int32_t y, float* out) const {
  std::fill(out, out + width_, 0.0f);
  for (size_t k = 0; k < fields_.size(); ++k) {
    const AxisTap& ty = rows_[k][static_cast<size_t>(y)];
    const size_t mapWidth = static_cast<size_t>(fields_[k].mapWidth);
    const bool finite = avx2_ && checks_[k].WeightsFinite(ty.i0) && checks_[k].WeightsFinite(ty.i1);
    AddMapSampleRow(weights_[k] + static_cast<size_t>(ty.i0) * mapWidth,
                    weights_[k] + static_cast<size_t>(ty.i1) * mapWidth, columns_[k], ty.f, finite,
                    out, width_, avx2_);
  }
}

FrameWarp::FrameWarp(int32_t width, int32_t height, const FrameView& frame, const FieldView& field,
                     const float* weight, const uint8_t* reference, bool isReference, bool avx2,
                     const MapRowChecks& checks)
    : width_(width),
      height_(height),
      frame_(frame),
      field_(field),
      weight_(weight),
      reference_(reference),
      isReference_(isReference),
      avx2_(avx2),
      checks_(checks),
      columns_(width, field.mapWidth),
      rows_(edof_tables::MapAxisTaps(height, field.mapHeight)) {}

void FrameWarp::Row(int32_t y, const float* weightSum, const RowPlanes& out) const {
  const AxisTap& ty = rows_[static_cast<size_t>(y)];
  const size_t mapWidth = static_cast<size_t>(field_.mapWidth);
  const size_t map0 = static_cast<size_t>(ty.i0) * mapWidth;
  const size_t map1 = static_cast<size_t>(ty.i1) * mapWidth;
  const size_t rowStart = static_cast<size_t>(y) * static_cast<size_t>(width_);
  const uint8_t* reference = reference_ + 4 * rowStart;
  const float* sums = weightSum;
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
    args.weightSum = sums;
    args.frame = frame_.rgba;
    args.reference = reference;
    args.scale = frame_.physicalScale;
    args.finiteFields = checks_.FieldsFinite(ty.i0) && checks_.FieldsFinite(ty.i1);
    args.finiteWeights = checks_.WeightsFinite(ty.i0) && checks_.WeightsFinite(ty.i1);
    args.fallbackWeight = isReference_ ? 1.0f : 0.0f;
    for (int p = 0; p < kPlanes; ++p) {
      args.out[p] = out.plane[p];
    }
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
    if (!ok) {
      const uint8_t* pixel = reference + 4 * static_cast<size_t>(x);
      for (int c = 0; c < kColourPlanes; ++c) {
        out.plane[c][x] = pixel[c];
      }
      out.plane[kWeightPlane][x] = 0.0f;
      continue;
    }
    const float sample =
        static_cast<float>(Bilinear(weight_[map0 + tx.i0], weight_[map0 + tx.i1],
                                    weight_[map1 + tx.i0], weight_[map1 + tx.i1], tx.f, ty.f));
    const float sum = sums[x];
    out.plane[kWeightPlane][x] = sum > kMinWeight ? sample / sum : (isReference_ ? 1.0f : 0.0f);
    SampleColour(sourceX, sourceY, out, x);
  }
}

void FrameWarp::SampleColour(double sourceX, double sourceY, const RowPlanes& out,
                             int32_t x) const {
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
  for (int ch = 0; ch < kColourPlanes; ++ch) {
    out.plane[ch][x] = TapSum(fx, fy, a[ch], b[ch], c[ch], d[ch]);
  }
}

void DownsampleRow(const ConstRowPlanes& top, const ConstRowPlanes* bottom, int32_t srcWidth,
                   const RowPlanes& out, int32_t dstWidth, bool avx2) {
  int32_t ox =
      avx2 && bottom != nullptr
          ? edof_kernels::DownsampleRowAvx2(top.plane, bottom->plane, srcWidth, out.plane, dstWidth)
          : 0;
  for (; ox < dstWidth; ++ox) {
    const size_t x0 = 2 * static_cast<size_t>(ox);
    const bool hasX1 = static_cast<int64_t>(x0) + 1 < srcWidth;
    const int count = (hasX1 ? 2 : 1) * (bottom != nullptr ? 2 : 1);
    for (int p = 0; p < kPlanes; ++p) {
      // Sums start at a double zero, as a sum of the taps does (so a lone -0 tap gives +0).
      double sum = 0;
      sum += top.plane[p][x0];
      if (hasX1) {
        sum += top.plane[p][x0 + 1];
      }
      if (bottom != nullptr) {
        sum += bottom->plane[p][x0];
        if (hasX1) {
          sum += bottom->plane[p][x0 + 1];
        }
      }
      out.plane[p][ox] = static_cast<float>(sum / count);
    }
  }
}

void UpsampleRow(const edof_kernels::SourceRows& source, const edof_tables::ResampleTable& table,
                 double fy, float* const out[kColourPlanes], bool avx2) {
  const int32_t done =
      avx2 ? edof_kernels::UpsampleRowAvx2(source, table.Kernel(), fy, out, table.Width()) : 0;
  UpsamplePixels(source, table, fy, out, done);
}

void UpsampleRowPair(const edof_kernels::SourceRows& source,
                     const edof_tables::ResampleTable& table, double fy0, double fy1,
                     float* const out0[kColourPlanes], float* const out1[kColourPlanes],
                     bool avx2) {
  const int32_t done = avx2 ? edof_kernels::UpsampleRowPairAvx2(source, table.Kernel(), fy0, fy1,
                                                                out0, out1, table.Width())
                            : 0;
  UpsamplePixels(source, table, fy0, out0, done);
  UpsamplePixels(source, table, fy1, out1, done);
}

void AccumulateBandRow(const edof_kernels::SourceRows& source,
                       const edof_tables::ResampleTable& table, const edof_kernels::BandRow& row,
                       float* accWeight, bool avx2) {
  const int32_t done =
      avx2 ? edof_kernels::AccumulateBandRowAvx2(source, table.Kernel(), row, table.Width()) : 0;
  BandPixels(source, table, row, done);
  AddRow(accWeight, row.weight, static_cast<size_t>(table.Width()), avx2);
}

void AccumulateBandRowPair(const edof_kernels::SourceRows& source,
                           const edof_tables::ResampleTable& table,
                           const edof_kernels::BandRow& first, float* firstAccWeight,
                           const edof_kernels::BandRow& second, float* secondAccWeight, bool avx2) {
  const int32_t done = avx2 ? edof_kernels::AccumulateBandRowPairAvx2(source, table.Kernel(), first,
                                                                      second, table.Width())
                            : 0;
  BandPixels(source, table, first, done);
  BandPixels(source, table, second, done);
  AddRow(firstAccWeight, first.weight, static_cast<size_t>(table.Width()), avx2);
  AddRow(secondAccWeight, second.weight, static_cast<size_t>(table.Width()), avx2);
}

void AccumulateCoarsestRow(const ConstRowPlanes& level, const RowPlanes& acc, int32_t width) {
  const float* weight = level.plane[kWeightPlane];
  for (int c = 0; c < kColourPlanes; ++c) {
    const float* colour = level.plane[c];
    float* sum = acc.plane[c];
    for (int32_t x = 0; x < width; ++x) {
      sum[x] += colour[x] * weight[x];
    }
  }
  float* weightSum = acc.plane[kWeightPlane];
  for (int32_t x = 0; x < width; ++x) {
    weightSum[x] += weight[x];
  }
}

void NormaliseRow(const RowPlanes& acc, int32_t width, bool avx2) {
  const float* weight = acc.plane[kWeightPlane];
  int32_t x = avx2 ? edof_kernels::NormaliseRowAvx2(acc.plane, weight, width) : 0;
  for (; x < width; ++x) {
    if (weight[x] > kMinWeight) {
      for (int c = 0; c < kColourPlanes; ++c) {
        acc.plane[c][x] /= weight[x];
      }
    }
  }
}

void RoundRow(const float* const rgb[kColourPlanes], int32_t width, bool avx2, uint8_t* out) {
  int32_t x = 0;
  while (x < width) {
    int32_t stop = width;
    if (avx2) {
      // The vector code stops at a group it cannot round; the plain code takes that group.
      const float* const rest[kColourPlanes] = {rgb[0] + x, rgb[1] + x, rgb[2] + x};
      x += edof_kernels::RoundRowAvx2(rest, width - x, out + 4 * static_cast<size_t>(x));
      stop = std::min(width, x + 8);
    }
    for (; x < stop; ++x) {
      uint8_t* pixel = out + 4 * static_cast<size_t>(x);
      for (int c = 0; c < kColourPlanes; ++c) {
        pixel[c] = RoundToByte(rgb[c][x]);
      }
      pixel[3] = 255;
    }
  }
}

}  // namespace edof_rows
}  // namespace zentri_native
