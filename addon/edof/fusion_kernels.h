// Row kernels of the fusion with 256-bit vectors. They live in a file built for AVX2 and are
// called only when the processor has it; this header declares plain types and functions only, so
// that no inline code compiled for AVX2 can be shared with the rest of the program.
//
// Each vector lane is one pixel (or one colour element) and goes through the same IEEE
// operations, in the same order, as the plain code: the results are identical. A kernel handles
// whole groups of four and returns how far it got; the caller finishes the row with the plain
// code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zentri_native {

// dst[i] += src[i] for i below count, with 256-bit adds. Only for processors with AVX2.
void AddArrayAvx2(float* dst, const float* src, size_t count);

// dst[i] += src[i] for i below count, plain loop. The same sums as AddArrayAvx2.
void AddArrayScalar(float* dst, const float* src, size_t count);

namespace edof_kernels {

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

// sum[x] += bilinear sample of the map rows row0/row1 at column x, for x from 0; returns the
// columns done.
int32_t AddMapSamplesAvx2(const float* row0, const float* row1, const MapColumns& columns,
                          double fy, float* sum, int32_t count);

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
  float fallbackWeight;  // 1 for the reference frame, else 0
  float* rgb;            // this row of the base level
  float* weightOut;
};
int32_t WarpRowAvx2(const WarpRowArgs& args);

// Per element (3 per pixel) of an upsampled row: the element indices of the two source taps, the
// fraction and the pixel the element belongs to.
// Per group of four elements from element 0, the start of an 8-float window of the source row
// that holds all four i0 (window0) or i1 (window1) taps, or -1; per element, the tap's place in
// that window (lane0, lane1). The same for the pixels within the weight row.
struct UpsampleElements {
  const int32_t* i0;
  const int32_t* i1;
  const double* f;
  const int32_t* pixel;
  const int32_t* window0;
  const int32_t* window1;
  const int32_t* pixelWindow;
  const int32_t* lane0;
  const int32_t* lane1;
  const int32_t* pixelLane;
};

// out[e] = bilinear sample of the source rows top/bottom for element e; returns elements done.
size_t UpsampleRowAvx2(const float* top, const float* bottom, const UpsampleElements& elements,
                       double fy, float* out, size_t count);

// UpsampleRowAvx2 for two output rows that read the same two source rows (fractions fy0, fy1).
size_t UpsampleRowPairAvx2(const float* top, const float* bottom, const UpsampleElements& elements,
                           double fy0, double fy1, float* out0, float* out1, size_t count);

// acc[e] += (fine[e] - upsampled[e]) * weight[pixel of e], the upsampled value made on the fly;
// returns elements done.
size_t AccumulateBandRowAvx2(const float* top, const float* bottom,
                             const UpsampleElements& elements, double fy, const float* fine,
                             const float* weight, float* acc, size_t count);

// One fine row of a band: its vertical fraction between the source rows, its colours, weights
// and accumulator row.
struct BandRow {
  double fy;
  const float* fine;
  const float* weight;
  float* acc;
};

// AccumulateBandRowAvx2 for two fine rows that read the same two source rows: the taps are
// loaded once for both. Returns elements done (the same for both rows).
size_t AccumulateBandRowPairAvx2(const float* top, const float* bottom,
                                 const UpsampleElements& elements, const BandRow& first,
                                 const BandRow& second, size_t count);

// Output pixels of one row of the 2 x 2 box filter where all four taps exist: R, G, B and the
// weight of each pixel summed in double in tap order and divided by 4. Writes one float past an
// output pixel's colour (the next pixel's red, written again later), so it stops before the last
// output pixel; returns the pixels done.
int32_t DownsampleRowAvx2(const float* topRgb, const float* topWeight, const float* bottomRgb,
                          const float* bottomWeight, int32_t dstWidth, float* dstRgb,
                          float* dstWeight);

// Output bytes of groups of four pixels: R, G, B rounded half away from zero and limited to 0 to
// 255 (RoundToByte's rule), alpha 255. Stops before the first group with a value outside
// [0, 256) or NaN, which the plain code rounds; returns the pixels done.
int32_t RoundRowAvx2(const float* rgb, int32_t width, uint8_t* out);

}  // namespace edof_kernels
}  // namespace zentri_native
