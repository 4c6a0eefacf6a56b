#include "mjpeg_decoder.h"

#include <turbojpeg.h>

#include <limits>
#include <new>

namespace cnokhwa {

MjpegDecoder::MjpegDecoder() : handle_(tjInitDecompress()) {}

MjpegDecoder::~MjpegDecoder() {
  if (handle_ != nullptr) {
    tjDestroy(handle_);
  }
}

bool MjpegDecoder::Decode(const uint8_t* jpeg, size_t size, std::vector<uint8_t>& out, int* width,
                          int* height) {
  if (handle_ == nullptr || jpeg == nullptr || size < 4 ||
      size > static_cast<size_t>(std::numeric_limits<unsigned long>::max())) {
    return false;
  }
  int w = 0;
  int h = 0;
  int subsampling = 0;
  int colorspace = 0;
  if (tjDecompressHeader3(handle_, jpeg, static_cast<unsigned long>(size), &w, &h, &subsampling,
                          &colorspace) != 0) {
    return false;
  }
  if (w < 1 || h < 1 || w > kMaxFrameSide || h > kMaxFrameSide) {
    return false;
  }
  const size_t bytes = static_cast<size_t>(w) * 3 * static_cast<size_t>(h);
  try {
    out.resize(bytes);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (tjDecompress2(handle_, jpeg, static_cast<unsigned long>(size), out.data(), w, w * 3, h,
                    TJPF_RGB, 0) != 0 &&
      tjGetErrorCode(handle_) != TJERR_WARNING) {
    return false;
  }
  *width = w;
  *height = h;
  return true;
}

}  // namespace cnokhwa
