#include "platform/file_io.h"

#include <fcntl.h>

#include <cerrno>

namespace korvane {

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t written = write(fd, data.data() + done, data.size() - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      if (written == 0) {
        errno = EIO;  // no progress and no error: do not loop forever
      }
      return false;
    }
    done += static_cast<size_t>(written);
  }
  return true;
}

void FsyncDirectory(const std::string& dir) {
  ScopedFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) {
    fsync(fd.get());
  }
}

}  // namespace korvane
