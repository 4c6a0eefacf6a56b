#include "formats.h"

#include <linux/videodev2.h>

#include <cctype>
#include <cstdlib>

#include "pixel_layouts.h"

namespace cnokhwa {

bool IsConvertible(uint32_t fourcc) {
  return FindPixelLayout(fourcc) != nullptr;
}

std::string FormatTypeName(uint32_t fourcc) {
  if (const PixelLayout* layout = FindPixelLayout(fourcc)) {
    return layout->scriptName;
  }
  if (fourcc == V4L2_PIX_FMT_H264) {
    return "h264";
  }
  std::string name;
  for (int shift = 0; shift < 32; shift += 8) {
    const unsigned char c = static_cast<unsigned char>((fourcc >> shift) & 0xff);
    if (c == ' ' || c == 0) {
      continue;
    }
    name += std::isprint(c) ? static_cast<char>(std::tolower(c)) : '?';
  }
  return name;
}

int FrameRateOfInterval(uint32_t numerator, uint32_t denominator) {
  if (numerator == 0 || denominator == 0) {
    return 0;
  }
  const uint64_t rate = (static_cast<uint64_t>(denominator) * 2 + numerator) / (2ull * numerator);
  return rate > 1000000 ? 1000000 : static_cast<int>(rate);
}

namespace {

bool IsCompressed(uint32_t fourcc) {
  const PixelLayout* layout = FindPixelLayout(fourcc);
  return layout != nullptr && layout->kind == LayoutKind::kJpeg;
}

}  // namespace

int ChooseFormat(const std::vector<FormatEntry>& formats, int width, int height) {
  const bool largest = width < 1 || height < 1;
  // First pass: the size.
  int bestWidth = 0;
  int bestHeight = 0;
  int64_t bestDistance = -1;
  int64_t bestArea = -1;
  for (const FormatEntry& f : formats) {
    if (!IsConvertible(f.fourcc) || f.width < 1 || f.height < 1) {
      continue;
    }
    const int64_t area = static_cast<int64_t>(f.width) * f.height;
    const int64_t distance = largest ? 0
                                     : std::llabs(static_cast<int64_t>(f.width) - width) +
                                           std::llabs(static_cast<int64_t>(f.height) - height);
    if (bestDistance < 0 || distance < bestDistance ||
        (distance == bestDistance && area > bestArea)) {
      bestDistance = distance;
      bestArea = area;
      bestWidth = f.width;
      bestHeight = f.height;
    }
  }
  if (bestDistance < 0) {
    return -1;
  }
  // Second pass: the format and rate at that size.
  int best = -1;
  for (size_t i = 0; i < formats.size(); ++i) {
    const FormatEntry& f = formats[i];
    if (!IsConvertible(f.fourcc) || f.width != bestWidth || f.height != bestHeight) {
      continue;
    }
    if (best < 0) {
      best = static_cast<int>(i);
      continue;
    }
    const FormatEntry& b = formats[best];
    if (f.frameRate > b.frameRate ||
        (f.frameRate == b.frameRate && IsCompressed(b.fourcc) && !IsCompressed(f.fourcc))) {
      best = static_cast<int>(i);
    }
  }
  return best;
}

int CompressedAlternative(const std::vector<FormatEntry>& formats, int format) {
  if (format < 0 || static_cast<size_t>(format) >= formats.size() ||
      IsCompressed(formats[static_cast<size_t>(format)].fourcc)) {
    return -1;
  }
  const FormatEntry& wanted = formats[static_cast<size_t>(format)];
  int best = -1;
  for (size_t i = 0; i < formats.size(); ++i) {
    const FormatEntry& f = formats[i];
    if (IsCompressed(f.fourcc) && IsConvertible(f.fourcc) && f.width == wanted.width &&
        f.height == wanted.height &&
        (best < 0 || f.frameRate > formats[static_cast<size_t>(best)].frameRate)) {
      best = static_cast<int>(i);
    }
  }
  return best;
}

}  // namespace cnokhwa
