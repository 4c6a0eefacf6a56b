// Small owners and helpers for V4L2 device nodes and sysfs files.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace cnokhwa {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_;
};

// One memory-mapped driver buffer.
class Mapping {
 public:
  Mapping(void* data, size_t length) : data_(data), length_(length) {}
  ~Mapping() {
    if (data_ != MAP_FAILED && data_ != nullptr) {
      munmap(data_, length_);
    }
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  const uint8_t* data() const { return static_cast<const uint8_t*>(data_); }
  size_t length() const { return length_; }

 private:
  void* data_;
  size_t length_;
};

// ioctl, repeated when a signal interrupts it.
int Xioctl(int fd, unsigned long request, void* arg);

// A fixed-size text field of a V4L2 structure, which need not end in a NUL.
std::string FixedString(const uint8_t* bytes, size_t capacity);

// The first bytes of a small (sysfs) file with trailing white space removed; "" when it cannot be
// read.
std::string ReadSmallFile(const std::string& path);

}  // namespace cnokhwa
