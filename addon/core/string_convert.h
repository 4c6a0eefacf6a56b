// Conversions of strings handed back by outside libraries to UTF-8. They never fail: malformed
// sequences become U+FFFD and input without a terminator is cut at kMaxConvertedUnits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zentri_native {

// Longest input, in code units, that the wide-string conversions read.
constexpr size_t kMaxConvertedUnits = 4096;

// Empty for a null pointer, otherwise a copy up to the first NUL.
std::string SafeCString(const char* text);

// UTF-16 (host byte order) up to the first 0 unit, at most 4096 units.
std::string Utf16PtrToUtf8(const char16_t* text);
std::string Utf16PtrToUtf8(const uint16_t* text);

// 32-bit wchar_t code points up to the first 0, at most 4096 characters.
std::string WCharPtrToUtf8(const wchar_t* text);

}  // namespace zentri_native
