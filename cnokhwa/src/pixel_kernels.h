// Row kernels of the conversions to packed RGB. The vector kernels live in files built for their
// instruction set; this header declares plain functions and types only, so that no inline code
// compiled for a newer instruction set can end up shared with the rest of the library.
//
// Y'CbCr arithmetic, identical in every kernel so that all paths give the same bytes, in 16-bit
// lanes with 6 fractional bits in the result:
//   luma   = mulhrs(Y << 7, yGain) + yBias            (Y x gain x 64, minus black, plus 1/2)
//   cb, cr = (Cb - 128) << 8, (Cr - 128) << 8
//   R = sat16(luma + mulhrs(cr, crToR)) >> 6, clamped to 0..255
//   G = sat16(luma + mulhrs(cb, cbToG) + mulhrs(cr, crToG)) >> 6, clamped
//   B = sat16(luma + mulhrs(cb, cbToB)) >> 6, clamped
// where mulhrs(a, b) = (a x b + 2^14) >> 15 and the chroma gains are the matrix coefficients
// times 8192. Each chroma sample serves the two (4:2:2) or four (4:2:0) pixels it covers.
#pragma once

#include <cstdint>

namespace cnokhwa {
namespace kernels {

struct YuvCoefficients {
  int16_t yGain;
  int16_t yBias;
  int16_t crToR;
  int16_t cbToG;
  int16_t crToG;
  int16_t cbToB;
};

// Byte offsets inside a four-byte pixel pair of packed 4:2:2 data.
struct PackedOrder {
  int32_t luma;  // first luma sample; the second is two bytes later
  int32_t cb;
  int32_t cr;
};

// One row of Bayer data: which colour sits at the even columns and which at the odd ones.
struct BayerRow {
  bool greenFirst;  // green at the even columns
  bool redRow;      // the row's other colour is red (else blue)
};

// The same terms looked up by sample value: what the scalar path uses for whole rows, with the
// bytes of the per-pixel arithmetic.
struct YuvTables {
  int16_t luma[256];
  int16_t crToR[256];
  int16_t cbToG[256];
  int16_t crToG[256];
  int16_t cbToB[256];
  // (sum >> 6) + 1024 to the output byte: a clamp without branches. Luma plus chroma terms stay
  // within -18800 to 36700, so the index does too; above 32767 the vector kernels saturate,
  // which gives 255 as well.
  uint8_t clamp[2048];
};
void BuildYuvTables(const YuvCoefficients& k, YuvTables* tables);
void Packed422Rows(const uint8_t* src, const PackedOrder& order, const YuvTables& t, uint8_t* dst,
                   int32_t width);
void SemiPlanarRows(const uint8_t* luma, const uint8_t* chroma, bool cbFirst, const YuvTables& t,
                    uint8_t* dst, int32_t width);
void PlanarRows(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr, const YuvTables& t,
                uint8_t* dst, int32_t width);

// Scalar kernels for the columns [start, width); start is even for the Y'CbCr kernels. They
// define the result.
void Packed422Scalar(const uint8_t* src, const PackedOrder& order, const YuvCoefficients& k,
                     uint8_t* dst, int32_t width, int32_t start);
void SemiPlanarScalar(const uint8_t* luma, const uint8_t* chroma, bool cbFirst,
                      const YuvCoefficients& k, uint8_t* dst, int32_t width, int32_t start);
void PlanarScalar(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr,
                  const YuvCoefficients& k, uint8_t* dst, int32_t width, int32_t start);
void GreyScalar(const uint8_t* src, uint8_t* dst, int32_t width, int32_t start);
void Y16Scalar(const uint8_t* src, uint8_t* dst, int32_t width, int32_t start);
void Bgr24Scalar(const uint8_t* src, uint8_t* dst, int32_t width, int32_t start);
// Bilinear demosaic of the columns [start, end) of one row from the rows above and below (the
// caller passes the reflected row at the top and bottom edge). Columns -1 and width reflect to 1
// and width - 2, which keeps the colour of each site; width is at least 2.
//   at a red or blue site:  own colour as is, green = mean of the 4 direct neighbours,
//                           the other colour = mean of the 4 diagonal neighbours
//   at a green site:        green as is, the row's colour = mean of the left and right
//                           neighbours, the other colour = mean of the upper and lower ones
// Means round half up: (a + b + 1) >> 1 and (a + b + c + d + 2) >> 2.
void BayerScalar(const uint8_t* above, const uint8_t* row, const uint8_t* below, BayerRow phase,
                 uint8_t* dst, int32_t width, int32_t start, int32_t end);

// Vector kernels: whole rows, the remaining columns by the scalar kernels.
void Packed422Sse41(const uint8_t* src, const PackedOrder& order, const YuvCoefficients& k,
                    uint8_t* dst, int32_t width);
void SemiPlanarSse41(const uint8_t* luma, const uint8_t* chroma, bool cbFirst,
                     const YuvCoefficients& k, uint8_t* dst, int32_t width);
void PlanarSse41(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr,
                 const YuvCoefficients& k, uint8_t* dst, int32_t width);
void GreySse41(const uint8_t* src, uint8_t* dst, int32_t width);
void Y16Sse41(const uint8_t* src, uint8_t* dst, int32_t width);
void Bgr24Sse41(const uint8_t* src, uint8_t* dst, int32_t width);
void BayerSse41(const uint8_t* above, const uint8_t* row, const uint8_t* below, BayerRow phase,
                uint8_t* dst, int32_t width);

void Packed422Avx2(const uint8_t* src, const PackedOrder& order, const YuvCoefficients& k,
                   uint8_t* dst, int32_t width);
void SemiPlanarAvx2(const uint8_t* luma, const uint8_t* chroma, bool cbFirst,
                    const YuvCoefficients& k, uint8_t* dst, int32_t width);
void PlanarAvx2(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr, const YuvCoefficients& k,
                uint8_t* dst, int32_t width);
void BayerAvx2(const uint8_t* above, const uint8_t* row, const uint8_t* below, BayerRow phase,
               uint8_t* dst, int32_t width);
// Grey, Y16 and BGR rows move bytes at memory speed already with 16-byte vectors: the SSE4.1
// kernels serve the AVX2 path too.

}  // namespace kernels
}  // namespace cnokhwa
