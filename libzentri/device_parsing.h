// Stateless helpers of libzentri: descriptor scanning, sysfs reading, directory listing and
// message pieces. Kept apart from the library's state so that tests can drive them directly.
#ifndef LIBZENTRI_DEVICE_PARSING_H_
#define LIBZENTRI_DEVICE_PARSING_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zentri_native {

// GUID of the microscope's extension unit, in descriptor byte order.
extern const uint8_t kExtensionUnitGuid[16];

// Looks for the extension unit in the class-specific bytes of one alternate setting. The first
// occurrence of the GUID decides: it must sit in an extension unit descriptor (bytes 0x24 0x06
// and the unit id right before it). Returns the unit id, or -1 when the GUID is absent or the
// first occurrence is not inside such a descriptor.
int FindExtensionUnitInExtra(const uint8_t* extra, size_t length);

// Parses the first line of a sysfs number file: optional blanks, then decimal digits. False when
// there is no digit or the value does not fit in 32 bits.
bool ParseSysfsDecimal(const char* text, uint32_t* value);

// Reads the first line of a file (at most maxChars characters). False when the file cannot be
// opened or read.
bool ReadFirstLine(const std::string& path, size_t maxChars, std::string* line);

// Reads a sysfs number file (first line, at most 63 characters) with ParseSysfsDecimal.
bool ReadSysfsNumber(const std::string& path, uint32_t* value);

// Names of the entries of a directory (without "." and "..", nor other names starting with a
// dot), in strcoll order, as glob() would list them. Empty when the directory cannot be read.
std::vector<std::string> ListDirectorySorted(const std::string& directory);

// Short name of a libusb result code ("IO", "PIPE", ...); "UNKNOWN" for any other value.
const char* LibusbResultName(int result);

}  // namespace zentri_native

#endif  // LIBZENTRI_DEVICE_PARSING_H_
