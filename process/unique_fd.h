// The one owner type for file descriptors.
#pragma once

#include <unistd.h>

namespace tessary {

/// Owns one file descriptor (or none: -1) and closes it when it goes away or is replaced.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  /// The descriptor, or -1.
  int get() const { return fd_; }
  /// True when a descriptor is held.
  bool valid() const { return fd_ >= 0; }
  /// Closes the held descriptor (errors ignored) and holds `fd` instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  /// Gives the descriptor up without closing it.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace tessary
