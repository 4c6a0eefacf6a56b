// Row kernels of the fusion with 256-bit vectors. They live in a file built for AVX2 and are
// called only when the processor has it; this header declares plain types and functions only, so
// that no inline code compiled for AVX2 can be shared with the rest of the program.
//
// Images inside the fusion are planar: one float plane each for R, G, B and the weight. Each
// vector lane is one pixel of one plane and goes through the same IEEE operations, in the same
// order, as the plain code in fusion_rows.cc: the results are identical. A kernel handles whole
// groups of pixels from pixel 0 and returns how far it got; the caller finishes the row with the
// plain code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zentri_native {

// dst[i] += src[i] for i below count, with 256-bit adds. Only for processors with AVX2.
void AddArrayAvx2(float* dst, const float* src, size_t count);

// dst[i] += src[i] for i below count, plain loop. The same sums as AddArrayAvx2.
void AddArrayScalar(float* dst, const float* src, size_t count);

namespace edof_kernels {

// Planes of a pyramid level or accumulator: R, G, B, then the weight.
constexpr int kColourPlanes = 3;
constexpr int kWeightPlane = 3;
constexpr int kPlanes = 4;

// Per output column: the two map taps, the fraction, and whether the column lies inside the map
// (0 or -1). Per group of four columns from column 0: the first left tap when the group reads
// four consecutive cell pairs (i0 = first + lane, i1 = i0 + 1), else -1; and whether all four
// fractions are 0 (1 or 0).
struct MapColumns {
  const int32_t* i0;
  const int32_t* i1;
  const double* f;
  const int32_t* inside;
  const int32_t* consecutive;
  const int32_t* wholeCells;
};

// Whether every value of a row is finite.
bool RowFiniteAvx2(const float* row, int32_t count);

// sum[x] += bilinear sample of the map rows row0/row1 at column x, for x from 0; returns the
// columns done. finiteRows: every value of both rows is finite.
int32_t AddMapSamplesAvx2(const float* row0, const float* row1, const MapColumns& columns,
                          double fy, bool finiteRows, float* sum, int32_t count);

// One base-level row of one frame, for a row that lies inside the map.
struct WarpRowArgs {
  int32_t width;
  int32_t height;
  int32_t mapWidth;
  int32_t mapHeight;
  // Rows i0 and i1 of the weight, x, y and confidence maps.
  const float* weight[2];
  const float* x[2];
  const float* y[2];
  const float* confidence[2];
  MapColumns columns;
  double fy;
  const float* weightSum;    // this row of the weight sum
  const uint8_t* frame;      // the whole frame
  const uint8_t* reference;  // this row of the reference frame
  double scale;
  // Every x, y and confidence value, and every weight, of the two map rows is finite.
  bool finiteFields;
  bool finiteWeights;
  float fallbackWeight;  // 1 for the reference frame, else 0
  float* out[kPlanes];   // this row of the base level, planar
};
int32_t WarpRowAvx2(const WarpRowArgs& args);

// The columns of a bilinear resampling from a source row of srcWidth pixels, per output pixel:
// the two source taps and the fraction. Per group of eight output pixels from pixel 0: the start
// of an 8-float window of the source row that holds every tap of the group, or -1; per output
// pixel, the places of its taps in that window (lane0, lane1).
struct ResampleColumns {
  const int32_t* i0;
  const int32_t* i1;
  const double* f;
  const int32_t* window;
  const int32_t* lane0;
  const int32_t* lane1;
};

// The two source rows of an output row, one per colour plane.
struct SourceRows {
  const float* top[kColourPlanes];
  const float* bottom[kColourPlanes];
};

// out[c][x] = bilinear sample of the source rows at column x, vertical fraction fy; returns the
// pixels done.
int32_t UpsampleRowAvx2(const SourceRows& source, const ResampleColumns& columns, double fy,
                        float* const out[kColourPlanes], int32_t count);

// UpsampleRowAvx2 for two output rows that read the same two source rows (fractions fy0, fy1):
// the taps are loaded once for both.
int32_t UpsampleRowPairAvx2(const SourceRows& source, const ResampleColumns& columns, double fy0,
                            double fy1, float* const out0[kColourPlanes],
                            float* const out1[kColourPlanes], int32_t count);

// One fine row of a band: its vertical fraction between the source rows, its colours and weight,
// and its accumulator row.
struct BandRow {
  double fy;
  const float* fine[kColourPlanes];
  const float* weight;
  float* acc[kColourPlanes];
};

// acc[c][x] += (fine[c][x] - upsampled[c][x]) * weight[x], the upsampled value made on the fly;
// returns the pixels done. The weights are not accumulated here.
int32_t AccumulateBandRowAvx2(const SourceRows& source, const ResampleColumns& columns,
                              const BandRow& row, int32_t count);

// AccumulateBandRowAvx2 for two fine rows that read the same two source rows: the taps are
// loaded once for both. Returns the pixels done (the same for both rows).
int32_t AccumulateBandRowPairAvx2(const SourceRows& source, const ResampleColumns& columns,
                                  const BandRow& first, const BandRow& second, int32_t count);

// Output pixels of one row of the 2 x 2 box filter where all four taps exist, for every plane:
// the taps summed in double in the order (x0, y0), (x1, y0), (x0, y1), (x1, y1) and divided by 4.
// Returns the pixels done.
int32_t DownsampleRowAvx2(const float* const top[kPlanes], const float* const bottom[kPlanes],
                          int32_t srcWidth, float* const out[kPlanes], int32_t dstWidth);

// rgb[c][x] /= weight[x] where weight[x] > 1e-8; returns the pixels done.
int32_t NormaliseRowAvx2(float* const rgb[kColourPlanes], const float* weight, int32_t count);

// Output bytes of groups of eight pixels: R, G, B rounded half away from zero and limited to 0 to
// 255 (RoundToByte's rule), alpha 255, interleaved RGBA. Stops before the first group with NaN
// or a value of magnitude 2^62 or more, which the plain code rounds; returns the pixels done.
int32_t RoundRowAvx2(const float* const rgb[kColourPlanes], int32_t count, uint8_t* out);

}  // namespace edof_kernels
}  // namespace zentri_native
