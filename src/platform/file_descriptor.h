#pragma once
// An open POSIX file descriptor, closed by its destructor.

#include <unistd.h>

namespace kestran {

class TFd {
 public:
  explicit TFd(int fd = -1) : fd_(fd) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  TFd(TFd&& o) noexcept : fd_(o.Release()) {}
  TFd& operator=(TFd&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
  }
  ~TFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held and holds fd instead.
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

}  // namespace kestran
