#ifndef KORVANE_PLATFORM_FILE_IO_H_
#define KORVANE_PLATFORM_FILE_IO_H_

#include <unistd.h>

#include <string>

// Small helpers for the files the host writes durably. Any thread.
namespace korvane {

// Owns one file descriptor and closes it on every return path.
class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ~ScopedFd() { reset(); }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;

  int get() const { return fd_; }
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

// Writes all of `data`, going on after short writes and EINTR. False on an error (errno set).
bool WriteAll(int fd, const std::string& data);

// Flushes a directory's entries (a rename or a new file in it) to disk; best effort.
void FsyncDirectory(const std::string& dir);

}  // namespace korvane

#endif  // KORVANE_PLATFORM_FILE_IO_H_
