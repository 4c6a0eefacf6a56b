// Turns the buffers of one capture session into packed RGB frames: JPEG through libjpeg-turbo,
// every other layout through the row converters. One converter per capture thread (it keeps
// decoder state); not for concurrent use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pixel_convert.h"

namespace cnokhwa {

class MjpegDecoder;

class FrameConverter {
 public:
  // format is what the driver answered to VIDIOC_S_FMT (for JPEG only the fourcc counts).
  explicit FrameConverter(const SourceFormat& format);
  ~FrameConverter();
  FrameConverter(const FrameConverter&) = delete;
  FrameConverter& operator=(const FrameConverter&) = delete;

  // Whether a converter for format can turn its frames into RGB: its layout is known and, unless
  // it is JPEG, its geometry valid.
  static bool Accepts(const SourceFormat& format);
  bool Valid() const { return valid_; }

  // Converts one buffer of size bytes (what the driver filled) into out, resized to
  // width x 3 x height, and reports the frame's size: the negotiated one, or for JPEG the size
  // in its header. Returns false, leaving width and height unchanged, for a buffer that does not
  // hold a whole frame (empty, short, or a JPEG that does not decode); out may have been written.
  bool Convert(const uint8_t* data, size_t size, std::vector<uint8_t>& out, int* width,
               int* height);

 private:
  const SourceFormat format_;
  bool valid_ = false;
  std::unique_ptr<MjpegDecoder> decoder_;  // JPEG formats only
};

}  // namespace cnokhwa
