#include "frame_converter.h"

#include <new>

#include "mjpeg_decoder.h"

namespace cnokhwa {

bool FrameConverter::Accepts(const SourceFormat& format) {
  const PixelLayout* layout = FindPixelLayout(format.fourcc);
  return layout != nullptr && (layout->kind == LayoutKind::kJpeg || SourceFrameBytes(format) != 0);
}

FrameConverter::FrameConverter(const SourceFormat& format)
    : format_(format), valid_(Accepts(format)) {
  const PixelLayout* layout = FindPixelLayout(format.fourcc);
  if (valid_ && layout->kind == LayoutKind::kJpeg) {
    decoder_ = std::make_unique<MjpegDecoder>();
  }
}

FrameConverter::~FrameConverter() = default;

bool FrameConverter::Convert(const uint8_t* data, size_t size, std::vector<uint8_t>& out,
                             int* width, int* height) {
  if (!valid_ || data == nullptr || size == 0) {
    return false;
  }
  if (decoder_ != nullptr) {
    return decoder_->Decode(data, size, out, width, height);
  }
  const size_t bytes = static_cast<size_t>(format_.width) * 3 * static_cast<size_t>(format_.height);
  try {
    out.resize(bytes);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!ConvertToRgb(format_, data, size, out.data(), out.size())) {
    return false;
  }
  *width = format_.width;
  *height = format_.height;
  return true;
}

}  // namespace cnokhwa
