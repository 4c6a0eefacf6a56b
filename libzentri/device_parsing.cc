#include "device_parsing.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace zentri_native {

const uint8_t kExtensionUnitGuid[16] = {0x6E, 0x7E, 0xC2, 0x16, 0xD9, 0xB3, 0x4B, 0x3C,
                                        0x80, 0x9D, 0x5C, 0xD0, 0x36, 0xEF, 0x40, 0x5B};

namespace {

constexpr uint8_t kClassSpecificInterface = 0x24;
constexpr uint8_t kExtensionUnitSubtype = 0x06;

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

int FindExtensionUnitInExtra(const uint8_t* extra, size_t length) {
  const size_t guidSize = sizeof(kExtensionUnitGuid);
  if (extra == nullptr || length < guidSize) {
    return -1;
  }
  for (size_t p = 0; p + guidSize <= length; ++p) {
    if (std::memcmp(extra + p, kExtensionUnitGuid, guidSize) != 0) {
      continue;
    }
    // An extension unit descriptor is bLength, 0x24, 0x06, bUnitID, then the GUID; a GUID
    // anywhere else (too close to the start, or after other bytes) is not the unit's.
    if (p < 4) {
      return -1;
    }
    if (extra[p - 3] == kClassSpecificInterface && extra[p - 2] == kExtensionUnitSubtype) {
      return extra[p - 1];
    }
    return -1;
  }
  return -1;
}

bool ParseSysfsDecimal(const char* text, uint32_t* value) {
  if (text == nullptr || value == nullptr) {
    return false;
  }
  const char* cursor = text;
  while (*cursor == ' ' || *cursor == '\t') {
    ++cursor;
  }
  uint64_t parsed = 0;
  size_t digits = 0;
  while (*cursor >= '0' && *cursor <= '9') {
    parsed = parsed * 10 + static_cast<uint64_t>(*cursor - '0');
    // Larger than any bus number or address: reject rather than wrap into a false match.
    if (parsed > UINT32_MAX) {
      return false;
    }
    ++digits;
    ++cursor;
  }
  if (digits == 0) {
    return false;
  }
  *value = static_cast<uint32_t>(parsed);
  return true;
}

bool ReadFirstLine(const std::string& path, size_t maxChars, std::string* line) {
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "re"));
  if (!file) {
    return false;
  }
  std::vector<char> buffer(maxChars + 1, '\0');
  if (std::fgets(buffer.data(), static_cast<int>(buffer.size()), file.get()) == nullptr) {
    return false;
  }
  // fgets keeps the line feed; the callers strip what they do not want.
  line->assign(buffer.data(), std::strlen(buffer.data()));
  return true;
}

bool ReadSysfsNumber(const std::string& path, uint32_t* value) {
  std::string line;
  return ReadFirstLine(path, 63, &line) && ParseSysfsDecimal(line.c_str(), value);
}

std::vector<std::string> ListDirectorySorted(const std::string& directory) {
  // glob() would do this, but it lists directories without the hooks that some environments
  // (device emulators among them) rely on; opendir/readdir go through them.
  std::vector<std::string> names;
  std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
  if (!dir) {
    return names;
  }
  while (const dirent* entry = readdir(dir.get())) {
    if (entry->d_name[0] != '.') {
      names.emplace_back(entry->d_name);
    }
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return std::strcoll(a.c_str(), b.c_str()) < 0;
  });
  return names;
}

const char* LibusbResultName(int result) {
  switch (result) {
    case 0:
      return "SUCCESS";
    case -1:
      return "IO";
    case -2:
      return "INVALID_PARAM";
    case -3:
      return "ACCESS";
    case -4:
      return "NO_DEVICE";
    case -5:
      return "NOT_FOUND";
    case -6:
      return "BUSY";
    case -7:
      return "TIMEOUT";
    case -8:
      return "OVERFLOW";
    case -9:
      return "PIPE";
    case -10:
      return "INTERRUPTED";
    case -11:
      return "NO_MEM";
    case -12:
      return "NOT_SUPPORTED";
    case -99:
      return "OTHER";
    default:
      return "UNKNOWN";
  }
}

}  // namespace zentri_native
