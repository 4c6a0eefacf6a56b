// Row kernels of the NV12 conversion. The vector kernels live in files built for their
// instruction set; this header declares plain functions and types only, so that no inline code
// compiled for a newer instruction set can end up shared with the rest of the program.
#pragma once

#include <cstdint>

namespace zentri_native {
namespace nv12 {

// One output row pair: luma rows 2j and 2j + 1 and chroma row j. src0 and src1 are rows 2j and
// 2j + 1 of the packed or luma plane; chroma[0] and chroma[1] are the Cb and Cr rows j of a
// three-plane frame.
struct RowPair {
  const uint8_t* src0;
  const uint8_t* src1;
  const uint8_t* chroma[2];
  uint8_t* y0;
  uint8_t* y1;
  uint8_t* uv;
  int32_t width;  // pixels, even
};

// Fixed-point coefficients with 14 fractional bits. The B weight of Cb and the R weight of Cr are
// 7196 in both matrices.
struct RgbMatrix {
  int16_t yr, yg, yb;
  int16_t ur, ug, ub;
  int16_t vr, vg, vb;
};

extern const RgbMatrix kBt601;
extern const RgbMatrix kBt709;

// Scalar kernels for the columns [start, width); start is even. They define the result.
void RgbxColumnsScalar(const RowPair& rows, const RgbMatrix& matrix, bool bgra, int32_t start);
void Packed422ColumnsScalar(const RowPair& rows, bool uyvy, int32_t start);
void I420ChromaColumnsScalar(const RowPair& rows, int32_t start);
void FullRangeColumnsScalar(const RowPair& rows, bool highDefinition, int32_t start);

// Vector kernels: whole row pairs, 16 pixels at a time, the remaining columns by the scalar
// kernels.
void RgbxRowPairSse41(const RowPair& rows, const RgbMatrix& matrix, bool bgra);
void Packed422RowPairSse41(const RowPair& rows, bool uyvy);
void I420ChromaRowSse41(const RowPair& rows);
void FullRangeRowPairSse41(const RowPair& rows, bool highDefinition);
void RgbxRowPairAvx2(const RowPair& rows, const RgbMatrix& matrix, bool bgra);
void Packed422RowPairAvx2(const RowPair& rows, bool uyvy);
void FullRangeRowPairAvx2(const RowPair& rows, bool highDefinition);
// Interleaving two planes of chroma is a single unpack per 16 pixels: the SSE4.1 kernel serves
// the AVX2 path too.

}  // namespace nv12
}  // namespace zentri_native
