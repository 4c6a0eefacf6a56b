#include "core/string_convert.h"

namespace zentri_native {

namespace {

constexpr uint32_t kReplacementChar = 0xFFFD;

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsHighSurrogate(uint32_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(uint32_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

template <typename Unit>
size_t BoundedLength(const Unit* text) {
  size_t length = 0;
  while (length < kMaxConvertedUnits && text[length] != 0) {
    ++length;
  }
  return length;
}

}  // namespace

std::string SafeCString(const char* text) {
  return text == nullptr ? std::string() : text;
}

std::string Utf16PtrToUtf8(const uint16_t* text) {
  if (text == nullptr) {
    return {};
  }
  const size_t length = BoundedLength(text);
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    const uint32_t unit = text[i];
    if (IsHighSurrogate(unit)) {
      if (i + 1 < length && IsLowSurrogate(text[i + 1])) {
        const uint32_t low = text[i + 1];
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
      } else {
        AppendUtf8(out, kReplacementChar);
      }
    } else if (IsLowSurrogate(unit)) {
      AppendUtf8(out, kReplacementChar);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

std::string Utf16PtrToUtf8(const char16_t* text) {
  static_assert(sizeof(char16_t) == sizeof(uint16_t), "UTF-16 units are 16 bits");
  return Utf16PtrToUtf8(reinterpret_cast<const uint16_t*>(text));
}

std::string WCharPtrToUtf8(const wchar_t* text) {
  static_assert(sizeof(wchar_t) == 4, "wchar_t holds 32-bit code points on this platform");
  if (text == nullptr) {
    return {};
  }
  const size_t length = BoundedLength(text);
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    const uint32_t cp = static_cast<uint32_t>(text[i]);
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      AppendUtf8(out, kReplacementChar);
    } else {
      AppendUtf8(out, cp);
    }
  }
  return out;
}

}  // namespace zentri_native
