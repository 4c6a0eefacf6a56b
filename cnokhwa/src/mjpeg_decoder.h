// MJPEG frames to packed RGB through libjpeg-turbo, decoding straight into the caller's frame
// buffer so that a frame costs one decode and no extra copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pixel_layouts.h"

namespace cnokhwa {

class MjpegDecoder {
 public:
  MjpegDecoder();
  ~MjpegDecoder();
  MjpegDecoder(const MjpegDecoder&) = delete;
  MjpegDecoder& operator=(const MjpegDecoder&) = delete;

  // Decodes one JPEG image into out (resized to width x 3 x height bytes) and reports its size.
  // Returns false, leaving width and height unchanged, for data that is not a decodable JPEG.
  // Cameras often leave out the Huffman tables (motion JPEG); libjpeg-turbo supplies the
  // standard ones, and a frame with recoverable damage (a warning) still counts as decoded.
  bool Decode(const uint8_t* jpeg, size_t size, std::vector<uint8_t>& out, int* width, int* height);

 private:
  void* handle_;
};

}  // namespace cnokhwa
