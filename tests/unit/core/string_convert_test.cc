#include "core/string_convert.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zentri_native {
namespace {

std::string Bytes(std::initializer_list<unsigned char> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::string FromUnits(std::vector<uint16_t> units) {
  units.push_back(0);
  return Utf16PtrToUtf8(units.data());
}

std::string FromWide(std::vector<wchar_t> chars) {
  chars.push_back(0);
  return WCharPtrToUtf8(chars.data());
}

TEST(SafeCString, NullGivesEmptyAndCopyStopsAtNul) {
  EXPECT_EQ(SafeCString(nullptr), "");
  const char text[] = {'a', 'b', '\0', 'c', '\0'};
  EXPECT_EQ(SafeCString(text), "ab");
}

TEST(Utf16PtrToUtf8, EncodesEachLengthClass) {
  EXPECT_EQ(Utf16PtrToUtf8(static_cast<const uint16_t*>(nullptr)), "");
  EXPECT_EQ(FromUnits({}), "");
  EXPECT_EQ(FromUnits({0x41, 0x7F}), "A\x7F");
  EXPECT_EQ(FromUnits({0x80, 0x7FF}), Bytes({0xC2, 0x80, 0xDF, 0xBF}));
  EXPECT_EQ(FromUnits({0x800, 0xFFFF}), Bytes({0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF}));
  EXPECT_EQ(FromUnits({0x00B5, 0x20AC}), "\u00B5\u20AC");
}

TEST(Utf16PtrToUtf8, SurrogatePairsAndLoneSurrogates) {
  EXPECT_EQ(FromUnits({0xD83D, 0xDE00}), Bytes({0xF0, 0x9F, 0x98, 0x80}));
  EXPECT_EQ(FromUnits({0xDBFF, 0xDFFF}), Bytes({0xF4, 0x8F, 0xBF, 0xBF}));
  // A high surrogate followed by a non-surrogate consumes only itself.
  EXPECT_EQ(FromUnits({0xD83D, 0x0041}), Bytes({0xEF, 0xBF, 0xBD, 0x41}));
  // Two high surrogates in a row: the first is replaced, the second pairs with what follows.
  EXPECT_EQ(FromUnits({0xD83D, 0xD83D, 0xDE00}), Bytes({0xEF, 0xBF, 0xBD, 0xF0, 0x9F, 0x98, 0x80}));
  EXPECT_EQ(FromUnits({0x41, 0xD800}), Bytes({0x41, 0xEF, 0xBF, 0xBD}));
  EXPECT_EQ(FromUnits({0xDC00, 0x42}), Bytes({0xEF, 0xBF, 0xBD, 0x42}));
}

TEST(Utf16PtrToUtf8, StopsAt4096UnitsWithoutTerminator) {
  std::vector<uint16_t> units(5000, 0x61);  // no terminator anywhere
  EXPECT_EQ(Utf16PtrToUtf8(units.data()), std::string(4096, 'a'));
  // A pair split by the cap: the high surrogate is the last unit read and is replaced.
  std::vector<uint16_t> split(4095, 0x62);
  split.push_back(0xD83D);
  split.push_back(0xDE00);
  split.push_back(0);
  EXPECT_EQ(Utf16PtrToUtf8(split.data()), std::string(4095, 'b') + Bytes({0xEF, 0xBF, 0xBD}));
}

TEST(WCharPtrToUtf8, EncodesAndReplacesInvalidCodePoints) {
  EXPECT_EQ(WCharPtrToUtf8(nullptr), "");
  EXPECT_EQ(FromWide({L'Z', 0xE9, 0x20AC, 0x1F600}),
            Bytes({0x5A, 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}));
  EXPECT_EQ(FromWide({0x10FFFF}), Bytes({0xF4, 0x8F, 0xBF, 0xBF}));
  EXPECT_EQ(FromWide({0x110000}), Bytes({0xEF, 0xBF, 0xBD}));
  EXPECT_EQ(FromWide({0xD800, 0xDFFF}), Bytes({0xEF, 0xBF, 0xBD, 0xEF, 0xBF, 0xBD}));
  EXPECT_EQ(FromWide({static_cast<wchar_t>(-1)}), Bytes({0xEF, 0xBF, 0xBD}));
}

TEST(WCharPtrToUtf8, StopsAt4096Characters) {
  std::vector<wchar_t> chars(4097, L'x');
  EXPECT_EQ(WCharPtrToUtf8(chars.data()), std::string(4096, 'x'));
}

}  // namespace
}  // namespace zentri_native
