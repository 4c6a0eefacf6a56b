// A device's format list and the choice of a capture format from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cnokhwa {

// One entry of a device's format list: pixel format, frame size and frame rate.
struct FormatEntry {
  uint32_t fourcc = 0;
  int width = 0;
  int height = 0;
  int frameRate = 0;  // frames per second, rounded; 0 when the driver lists none
};

// The pixel format codes that the library converts to RGB (the layouts of pixel_layouts.h).
bool IsConvertible(uint32_t fourcc);

// The name that scripts see: "mjpeg", "yuy2", "nv12", "gray", ... (pixel_layouts.cc), "h264",
// or for other codes the code's characters in lower case.
std::string FormatTypeName(uint32_t fourcc);

// Frame rate of a frame interval (seconds = numerator / denominator), rounded; 0 when unknown.
int FrameRateOfInterval(uint32_t numerator, uint32_t denominator);

// Index of the format to capture width x height with, or -1 when no convertible format exists.
// The size is the nearest of the listed sizes (sum of the width and height differences; the
// larger area wins a tie); a width or height below 1 asks for the largest size. At that size the
// format with the highest frame rate wins, an uncompressed one before MJPEG at equal rates, and
// the earlier entry after that.
int ChooseFormat(const std::vector<FormatEntry>& formats, int width, int height);

// The compressed (MJPEG or JPEG) entry at the size of entry `format`, at the highest rate listed,
// to stream in when the uncompressed one finds no room on the USB bus; -1 when `format` is
// compressed itself or the device lists no compressed format at its size.
int CompressedAlternative(const std::vector<FormatEntry>& formats, int format);

}  // namespace cnokhwa
