// The vector row kernels, written once over a small set of operations. Included only by
// pixel_kernels_sse41.cc and pixel_kernels_avx2.cc, each of which first defines, in an unnamed
// namespace, `Ops` (16- or 32-byte vectors of its instruction set). Everything here has internal
// linkage, so each file gets its own copy built for its instruction set.
//
// The 32-byte operations work within 16-byte lanes (unpack, pack, shuffle). The loads arrange
// their data so that lane 0 holds pixels 0-15 and lane 1 pixels 16-31; unpacking bytes to 16 bits
// and packing them back then keeps that order, and only the packed 4:2:2 load and the RGB store
// move data across lanes.
//
// The arithmetic is the one pixel_kernels.h describes, operation for operation, so every path
// gives the scalar kernels' bytes.

namespace {

using V = Ops::V;
constexpr int32_t kStep = Ops::kBytes;  // pixels per step

struct YuvConstants {
  V yGain, yBias;
  V blueRed;      // (cbToB, crToR) per (Cb, Cr) pair: the blue and red terms side by side
  V greenParts;   // (cbToG, crToG) per pair: the two parts of the green term
  V centre;       // 128 in 16-bit lanes
  V firstOfPair;  // spreads the first 16-bit value of each pair over both pixels of the pair
  V secondOfPair;
  V swapInPair;
  V zero;
};

inline YuvConstants MakeConstants(const YuvCoefficients& k) {
  static const uint8_t kFirst[16] = {0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13};
  static const uint8_t kSecond[16] = {2, 3, 2, 3, 6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15};
  static const uint8_t kSwap[16] = {2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13};
  YuvConstants c;
  c.yGain = Ops::Set16(k.yGain);
  c.yBias = Ops::Set16(k.yBias);
  c.blueRed = Ops::Set16Pair(k.cbToB, k.crToR);
  c.greenParts = Ops::Set16Pair(k.cbToG, k.crToG);
  c.centre = Ops::Set16(128);
  c.firstOfPair = Ops::LaneMask(kFirst);
  c.secondOfPair = Ops::LaneMask(kSecond);
  c.swapInPair = Ops::LaneMask(kSwap);
  c.zero = Ops::Zero();
  return c;
}

// Shuffle masks that interleave three vectors of channel bytes into packed RGB, 16 output bytes
// per block: byte j of block b is channel (16b + j) % 3 of pixel (16b + j) / 3. 0x80 writes 0,
// so the three channels' shuffles combine by OR. The grey masks take all three from one vector.
struct RgbMaskBytes {
  uint8_t channel[3][3][16];  // [block][channel][byte]
  uint8_t grey[3][16];
};

constexpr RgbMaskBytes MakeRgbMaskBytes() {
  RgbMaskBytes m{};
  for (int block = 0; block < 3; ++block) {
    for (int j = 0; j < 16; ++j) {
      const int at = block * 16 + j;
      for (int c = 0; c < 3; ++c) {
        m.channel[block][c][j] = at % 3 == c ? static_cast<uint8_t>(at / 3) : 0x80;
      }
      m.grey[block][j] = static_cast<uint8_t>(at / 3);
    }
  }
  return m;
}

constexpr RgbMaskBytes kRgbMaskBytes = MakeRgbMaskBytes();

struct RgbMasks {
  V channel[3][3];
  V grey[3];
};

inline RgbMasks MakeRgbMasks() {
  RgbMasks m;
  for (int block = 0; block < 3; ++block) {
    for (int c = 0; c < 3; ++c) {
      m.channel[block][c] = Ops::LaneMask(kRgbMaskBytes.channel[block][c]);
    }
    m.grey[block] = Ops::LaneMask(kRgbMaskBytes.grey[block]);
  }
  return m;
}

inline void StoreRgb(uint8_t* dst, V r, V g, V b, const RgbMasks& m) {
  V out[3];
  for (int block = 0; block < 3; ++block) {
    out[block] =
        Ops::Or(Ops::Or(Ops::Shuffle(r, m.channel[block][0]), Ops::Shuffle(g, m.channel[block][1])),
                Ops::Shuffle(b, m.channel[block][2]));
  }
  Ops::StoreBlocks(dst, out);
}

// kStep pixels: luma bytes y, and (Cb, Cr) byte pairs uv, pair i serving pixels 2i and 2i + 1.
inline void YuvStep(V y, V uv, const YuvConstants& c, const RgbMasks& m, uint8_t* dst) {
  V r[2];
  V g[2];
  V b[2];
  for (int half = 0; half < 2; ++half) {
    const V luma16 = half == 0 ? Ops::UnpackLo8(y, c.zero) : Ops::UnpackHi8(y, c.zero);
    const V pairs16 = half == 0 ? Ops::UnpackLo8(uv, c.zero) : Ops::UnpackHi8(uv, c.zero);
    const V luma = Ops::Add16(Ops::MulHrs16(Ops::ShiftLeft16<7>(luma16), c.yGain), c.yBias);
    // The chroma terms once per pair, then spread over the pair's two pixels.
    const V chroma = Ops::ShiftLeft16<8>(Ops::Sub16(pairs16, c.centre));
    const V blueRed = Ops::MulHrs16(chroma, c.blueRed);
    const V parts = Ops::MulHrs16(chroma, c.greenParts);
    const V green = Ops::Add16(parts, Ops::Shuffle(parts, c.swapInPair));
    r[half] = Ops::ShiftRightArith16<6>(Ops::AddSat16(luma, Ops::Shuffle(blueRed, c.secondOfPair)));
    g[half] = Ops::ShiftRightArith16<6>(Ops::AddSat16(luma, green));
    b[half] = Ops::ShiftRightArith16<6>(Ops::AddSat16(luma, Ops::Shuffle(blueRed, c.firstOfPair)));
  }
  StoreRgb(dst, Ops::PackUs16(r[0], r[1]), Ops::PackUs16(g[0], g[1]), Ops::PackUs16(b[0], b[1]), m);
}

inline void Packed422Row(const uint8_t* src, const PackedOrder& order, const YuvCoefficients& k,
                         uint8_t* dst, int32_t width) {
  const YuvConstants c = MakeConstants(k);
  const RgbMasks m = MakeRgbMasks();
  // Per four-byte pair: the two luma bytes first, then Cb and Cr.
  uint8_t split[16];
  for (int pair = 0; pair < 4; ++pair) {
    split[pair * 2] = static_cast<uint8_t>(pair * 4 + order.luma);
    split[pair * 2 + 1] = static_cast<uint8_t>(pair * 4 + order.luma + 2);
    split[8 + pair * 2] = static_cast<uint8_t>(pair * 4 + order.cb);
    split[8 + pair * 2 + 1] = static_cast<uint8_t>(pair * 4 + order.cr);
  }
  const V mask = Ops::LaneMask(split);
  int32_t x = 0;
  for (; x + kStep <= width; x += kStep) {
    V y;
    V uv;
    Ops::LoadPacked422(src + static_cast<int64_t>(x) * 2, mask, &y, &uv);
    YuvStep(y, uv, c, m, dst + static_cast<int64_t>(x) * 3);
  }
  Packed422Scalar(src, order, k, dst, width, x);
}

inline void SemiPlanarRow(const uint8_t* luma, const uint8_t* chroma, bool cbFirst,
                          const YuvCoefficients& k, uint8_t* dst, int32_t width) {
  static const uint8_t kSwap[16] = {1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14};
  const YuvConstants c = MakeConstants(k);
  const RgbMasks m = MakeRgbMasks();
  const V swap = Ops::LaneMask(kSwap);
  int32_t x = 0;
  for (; x + kStep <= width; x += kStep) {
    V uv = Ops::Load(chroma + x);
    if (!cbFirst) {
      uv = Ops::Shuffle(uv, swap);
    }
    YuvStep(Ops::Load(luma + x), uv, c, m, dst + static_cast<int64_t>(x) * 3);
  }
  SemiPlanarScalar(luma, chroma, cbFirst, k, dst, width, x);
}

inline void PlanarRow(const uint8_t* luma, const uint8_t* cb, const uint8_t* cr,
                      const YuvCoefficients& k, uint8_t* dst, int32_t width) {
  const YuvConstants c = MakeConstants(k);
  const RgbMasks m = MakeRgbMasks();
  int32_t x = 0;
  for (; x + kStep <= width; x += kStep) {
    const V uv = Ops::UnpackLo8(Ops::LoadHalf(cb + x / 2), Ops::LoadHalf(cr + x / 2));
    YuvStep(Ops::Load(luma + x), uv, c, m, dst + static_cast<int64_t>(x) * 3);
  }
  PlanarScalar(luma, cb, cr, k, dst, width, x);
}

// Exactly (a + b + c + d + 2) >> 2 from byte averages: avg(avg(a, b), avg(c, d)) rounds up
// twice, one too many when the two inner averages differ in their last bit and at least one of
// the inner sums was odd.
inline V Mean4(V a, V b, V c, V d, V one) {
  const V ab = Ops::Avg8(a, b);
  const V cd = Ops::Avg8(c, d);
  const V odd = Ops::Or(Ops::Xor(a, b), Ops::Xor(c, d));
  const V excess = Ops::And(Ops::And(Ops::Xor(ab, cd), odd), one);
  return Ops::Sub8(Ops::Avg8(ab, cd), excess);
}

inline void BayerRowKernel(const uint8_t* above, const uint8_t* row, const uint8_t* below,
                           BayerRow phase, uint8_t* dst, int32_t width) {
  const RgbMasks m = MakeRgbMasks();
  uint8_t sites[16];
  for (int j = 0; j < 16; ++j) {
    sites[j] = ((j % 2 == 0) != phase.greenFirst) ? 0xff : 0x00;  // red or blue site
  }
  const V site = Ops::LaneMask(sites);
  const V one = Ops::Set8(1);
  // Columns 0 and 1 and the end need reflected neighbours or fall short of a whole step; the
  // vector steps start at an even column, so byte j of a step is a column of j's parity.
  BayerScalar(above, row, below, phase, dst, width, 0, width < 2 ? width : 2);
  int32_t x = 2;
  for (; x + kStep < width; x += kStep) {
    const V left = Ops::Load(row + x - 1);
    const V centre = Ops::Load(row + x);
    const V right = Ops::Load(row + x + 1);
    const V up = Ops::Load(above + x);
    const V down = Ops::Load(below + x);
    const V horizontal = Ops::Avg8(left, right);
    const V vertical = Ops::Avg8(up, down);
    const V cross = Mean4(left, right, up, down, one);
    const V diagonal = Mean4(Ops::Load(above + x - 1), Ops::Load(above + x + 1),
                             Ops::Load(below + x - 1), Ops::Load(below + x + 1), one);
    const V own = Ops::Blend8(horizontal, centre, site);
    const V green = Ops::Blend8(centre, cross, site);
    const V other = Ops::Blend8(vertical, diagonal, site);
    StoreRgb(dst + static_cast<int64_t>(x) * 3, phase.redRow ? own : other, green,
             phase.redRow ? other : own, m);
  }
  if (x < width) {
    BayerScalar(above, row, below, phase, dst, width, x, width);
  }
}

}  // namespace
