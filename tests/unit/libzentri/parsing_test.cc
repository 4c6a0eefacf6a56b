// The stateless pieces: the extension-unit GUID scan (with a randomized harness), sysfs number
// parsing, directory order and libusb result names.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "device_parsing.h"

namespace zentri_native {
namespace {

std::vector<uint8_t> Guid() {
  return std::vector<uint8_t>(kExtensionUnitGuid, kExtensionUnitGuid + 16);
}

// An exact-size heap copy, so that AddressSanitizer sees any read past the end.
int Scan(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  return FindExtensionUnitInExtra(copy.get(), bytes.size());
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(GuidScan, UnitDescriptorAnywhereGivesItsId) {
  EXPECT_EQ(Scan(Concat({0x1B, 0x24, 0x06, 0x05}, Guid())), 5);
  EXPECT_EQ(Scan(Concat(Concat({1, 2, 3, 4, 5, 0x1B, 0x24, 0x06, 0x0C}, Guid()), {9, 9})), 0x0C);
  // The GUID ending exactly at the last byte is still found.
  std::vector<uint8_t> atEnd(40, 0);
  atEnd[21] = 0x24;
  atEnd[22] = 0x06;
  atEnd[23] = 0x07;
  std::copy(kExtensionUnitGuid, kExtensionUnitGuid + 16, atEnd.end() - 16);
  EXPECT_EQ(Scan(atEnd), 0x07);
}

TEST(GuidScan, MisplacedOrMissingGuidIsIgnored) {
  EXPECT_EQ(Scan({}), -1);
  EXPECT_EQ(FindExtensionUnitInExtra(nullptr, 100), -1);
  const std::vector<uint8_t> guid = Guid();
  EXPECT_EQ(Scan(std::vector<uint8_t>(guid.begin(), guid.end() - 1)), -1);  // 15 bytes
  for (size_t p = 0; p < 4; ++p) {
    std::vector<uint8_t> early(p, 0x24);
    EXPECT_EQ(Scan(Concat(early, Guid())), -1) << "GUID at position " << p;
  }
  EXPECT_EQ(Scan(Concat({0x1B, 0x24, 0x07, 0x05}, Guid())), -1);  // not an extension unit
  EXPECT_EQ(Scan(Concat({0x1B, 0x25, 0x06, 0x05}, Guid())), -1);  // not class-specific
  // Only the first occurrence counts, even when a proper descriptor follows.
  EXPECT_EQ(Scan(Concat(Concat({0, 0, 0, 0, 0}, Guid()), Concat({0x1B, 0x24, 0x06, 5}, Guid()))),
            -1);
  std::vector<uint8_t> almost = Concat({0x1B, 0x24, 0x06, 0x05}, Guid());
  almost.back() ^= 0xFF;
  EXPECT_EQ(Scan(almost), -1);
}

// Randomized buffers of every length up to 96 bytes built from GUID pieces, descriptor bytes
// and noise, with whole GUIDs planted at random places. The result must be the unit byte in
// front of the first GUID when that GUID sits in an extension unit descriptor, else -1; reads
// stay inside the exact-size buffer (checked by AddressSanitizer in the sanitized tree).
TEST(GuidScan, RandomizedBuffersMatchTheFirstOccurrenceRule) {
  std::mt19937 random(20240601);
  const std::vector<uint8_t> guid = Guid();
  const std::vector<uint8_t> alphabet = {0x00, 0x24, 0x06, 0x1B, 0xFF, guid[0], guid[1], guid[15]};
  int found = 0;
  for (int round = 0; round < 20000; ++round) {
    const size_t length = random() % 97;
    std::vector<uint8_t> bytes(length);
    for (auto& byte : bytes) {
      byte = (random() % 4 == 0) ? static_cast<uint8_t>(random())
                                 : alphabet[random() % alphabet.size()];
    }
    const int plants = length >= 16 ? static_cast<int>(random() % 3) : 0;
    for (int i = 0; i < plants; ++i) {
      const size_t at = random() % (length - 15);
      std::copy(guid.begin(), guid.end(), bytes.begin() + at);
      if (at >= 4 && random() % 2 == 0) {
        bytes[at - 3] = 0x24;
        bytes[at - 2] = 0x06;
      }
    }
    const auto first = std::search(bytes.begin(), bytes.end(), guid.begin(), guid.end());
    int expected = -1;
    if (first != bytes.end()) {
      const size_t p = static_cast<size_t>(first - bytes.begin());
      if (p >= 4 && bytes[p - 3] == 0x24 && bytes[p - 2] == 0x06) {
        expected = bytes[p - 1];
      }
    }
    const int result = Scan(bytes);
    ASSERT_EQ(result, expected) << "round " << round << ", length " << length;
    found += result >= 0;
  }
  EXPECT_GT(found, 1000);  // the generator does reach the interesting case
}

TEST(SysfsNumber, ParsesTheLeadingDecimal) {
  uint32_t value = 7;
  EXPECT_TRUE(ParseSysfsDecimal("12\n", &value));
  EXPECT_EQ(value, 12u);
  EXPECT_TRUE(ParseSysfsDecimal("  003 trailing", &value));
  EXPECT_EQ(value, 3u);
  EXPECT_TRUE(ParseSysfsDecimal("4294967295", &value));
  EXPECT_EQ(value, 4294967295u);
}

TEST(SysfsNumber, RejectsEmptyNonNumericAndOversized) {
  uint32_t value = 7;
  for (const char* text : {"", "\n", "abc", "-1", "+1", "4294967296", "99999999999999999999999"}) {
    EXPECT_FALSE(ParseSysfsDecimal(text, &value)) << '"' << text << '"';
  }
  EXPECT_EQ(value, 7u);
  EXPECT_FALSE(ParseSysfsDecimal(nullptr, &value));
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zentri-parsing-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  void Write(const std::string& name, const std::string& content) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << content;
  }
  std::string dir_;
};

TEST_F(TempDir, SysfsFilesReadOnlyTheirFirstLine) {
  Write("busnum", "3\n9\n");
  Write("empty", "");
  Write("words", "bus one\n");
  Write("huge", std::string(100000, '1'));
  Write("long", std::string(70, '0') + "5\n");
  uint32_t value = 0;
  EXPECT_TRUE(ReadSysfsNumber(dir_ + "/busnum", &value));
  EXPECT_EQ(value, 3u);
  EXPECT_FALSE(ReadSysfsNumber(dir_ + "/empty", &value));
  EXPECT_FALSE(ReadSysfsNumber(dir_ + "/words", &value));
  EXPECT_FALSE(ReadSysfsNumber(dir_ + "/huge", &value));
  EXPECT_FALSE(ReadSysfsNumber(dir_ + "/missing", &value));
  // Only the first 63 characters count: the 5 past them is never seen.
  EXPECT_TRUE(ReadSysfsNumber(dir_ + "/long", &value));
  EXPECT_EQ(value, 0u);

  std::string line;
  Write("serial", std::string(300, 'S') + "\n");
  ASSERT_TRUE(ReadFirstLine(dir_ + "/serial", 127, &line));
  EXPECT_EQ(line, std::string(127, 'S'));
}

TEST_F(TempDir, DirectoryListingIsSortedLikeGlob) {
  for (const char* name : {"video10", "video2", "video0", ".hidden", "video1"}) {
    Write(name, "");
  }
  EXPECT_EQ(ListDirectorySorted(dir_),
            (std::vector<std::string>{"video0", "video1", "video10", "video2"}));
  EXPECT_TRUE(ListDirectorySorted(dir_ + "/missing").empty());
}

TEST(LibusbNames, CoverEveryCodeAndUnknownValues) {
  EXPECT_STREQ(LibusbResultName(0), "SUCCESS");
  EXPECT_STREQ(LibusbResultName(-7), "TIMEOUT");
  EXPECT_STREQ(LibusbResultName(-9), "PIPE");
  EXPECT_STREQ(LibusbResultName(-12), "NOT_SUPPORTED");
  EXPECT_STREQ(LibusbResultName(-99), "OTHER");
  for (int value : {4, 1, -13, -98, -100}) {
    EXPECT_STREQ(LibusbResultName(value), "UNKNOWN") << value;
  }
}

}  // namespace
}  // namespace zentri_native
