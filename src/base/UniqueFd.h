// Move-only owner of a POSIX file descriptor: closes it when destroyed or reset.
#pragma once

#include <unistd.h>

#include <utility>

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }

  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without closing; the caller owns the descriptor.
  int release() { return std::exchange(fd_, -1); }

  // Closes the descriptor held (if any) and takes fd. The result of close() is
  // not reported: callers that must know whether written data reached the
  // disk call Close() instead.
  void reset(int fd = -1) {
    const int old = std::exchange(fd_, fd);
    if (old >= 0) ::close(old);
  }

  // Closes now and reports close()'s result (0 or -1 with errno set).
  int Close() {
    const int old = std::exchange(fd_, -1);
    return old >= 0 ? ::close(old) : 0;
  }

 private:
  int fd_ = -1;
};
