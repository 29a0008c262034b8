#ifndef BASE_SCOPED_FD_H_
#define BASE_SCOPED_FD_H_

#include <unistd.h>

namespace korvane {

// Owns one file descriptor and closes it on every return path. Any thread.
class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ~ScopedFd() { reset(); }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes the descriptor held (if any) and takes `fd`.
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = fd;
  }
  // Gives the descriptor up without closing it.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and reports the result of close(), which a durable write must look at.
  int Close() { return close(release()); }

 private:
  int fd_;
};

}  // namespace korvane

#endif  // BASE_SCOPED_FD_H_
