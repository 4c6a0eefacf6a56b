#include "v4l2_io.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace cnokhwa {

int Xioctl(int fd, unsigned long request, void* arg) {
  int result;
  do {
    result = ioctl(fd, request, arg);
  } while (result == -1 && errno == EINTR);
  return result;
}

std::string FixedString(const uint8_t* bytes, size_t capacity) {
  const char* text = reinterpret_cast<const char*>(bytes);
  return std::string(text, strnlen(text, capacity));
}

std::string ReadSmallFile(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return {};
  }
  // Enough for any sysfs attribute we read (a USB serial number has at most 126 characters).
  char buffer[512];
  const ssize_t n = read(fd.get(), buffer, sizeof(buffer));
  if (n <= 0) {
    return {};
  }
  std::string text(buffer, static_cast<size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

}  // namespace cnokhwa
