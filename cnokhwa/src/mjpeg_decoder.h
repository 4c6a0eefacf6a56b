// MJPEG frames to packed RGB through libjpeg-turbo, decoding straight into the caller's frame
// buffer so that a frame costs one decode and no extra copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pixel_layouts.h"

namespace cnokhwa {

struct MjpegDecoderState;

class MjpegDecoder {
 public:
  MjpegDecoder();
  ~MjpegDecoder();
  MjpegDecoder(const MjpegDecoder&) = delete;
  MjpegDecoder& operator=(const MjpegDecoder&) = delete;

  // Decodes one JPEG image into out (resized to width x 3 x height bytes) and reports its size.
  // Returns false, leaving width and height unchanged, for data that is not a decodable JPEG:
  // one whose decoding stopped on an error, also after warnings, before every row was written.
  // Cameras often leave out the Huffman tables (motion JPEG); libjpeg-turbo supplies the
  // standard ones. A frame with damage that the decoder recovers from (a warning: stray bytes
  // between segments, corrupt or cut entropy data) still counts as decoded. The pixels are those
  // of TurboJPEG's tjDecompress2 with default flags: the same library, the same settings.
  bool Decode(const uint8_t* jpeg, size_t size, std::vector<uint8_t>& out, int* width, int* height);

 private:
  std::unique_ptr<MjpegDecoderState> state_;
};

}  // namespace cnokhwa
