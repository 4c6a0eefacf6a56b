// Test frames of every layout capture converts, and the references their RGB is checked against:
// the exact Y'CbCr formulas in double precision, plain byte rules for GREY, Y16, RGB and BGR,
// libv4lconvert's demosaic for Bayer data, and libjpeg-turbo's TurboJPEG decoder for JPEG.
// Shared by the conversion tests and the emulated cameras that stream these layouts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pixel_convert.h"

namespace cnokhwa {
namespace testing {

// A frame of format: SourceFrameBytes(format) bytes whose samples change with frameNumber and
// cover the whole byte range (out-of-range Y'CbCr included, so clamping is exercised). Row
// padding bytes hold 0xA5 so a conversion that reads them shows it. smooth gives a gentle
// gradient instead of noise (what a demosaic or a JPEG encoder sees in real scenes).
std::vector<uint8_t> MakeTestFrame(const SourceFormat& format, uint32_t frameNumber,
                                   bool smooth = false);

// RGB (width x 3 x height) by the reference for the format's layout; empty when src is shorter
// than the frame or the layout is JPEG (see DecodeJpegReference).
std::vector<uint8_t> ReferenceRgb(const SourceFormat& format, const uint8_t* src, size_t size);

// The exact conversion of one Y'CbCr sample triple: the standard's equations in double precision,
// rounded to the nearest level and clamped.
void ReferenceYcbcrPixel(int y, int cb, int cr, const ColorDescription& color, uint8_t* rgb);

// libv4lconvert's conversion of an uncompressed frame to RGB24; empty when it refuses the frame.
std::vector<uint8_t> LibV4lConvertToRgb(const SourceFormat& format, const uint8_t* src,
                                        size_t size);

// A baseline JPEG of a width x height scene that changes with frameNumber, 4:2:2 like UVC
// cameras send, and its decode by TurboJPEG (empty when it does not decode).
std::vector<uint8_t> MakeTestJpeg(int width, int height, uint32_t frameNumber, int quality = 90);
std::vector<uint8_t> DecodeJpegReference(const std::vector<uint8_t>& jpeg, int* width, int* height);

struct RgbDifference {
  double mean = 0;  // mean absolute difference per byte
  int max = 0;
  size_t bytes = 0;  // bytes compared; differing sizes compare nothing and report max 256
};
RgbDifference CompareRgb(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
std::string Describe(const RgbDifference& d);

// The colour descriptions a camera can report, for tests that cover each.
std::vector<ColorDescription> AllColorDescriptions();
std::string Describe(const ColorDescription& color);

}  // namespace testing
}  // namespace cnokhwa
