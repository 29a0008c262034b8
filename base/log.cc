#include "base/log.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

namespace korvane {

LogLine::~LogLine() {
  // errno belongs to the caller, which may log before it looks at it.
  const int saved_errno = errno;
  text_ << '\n';
  const std::string line = text_.str();
  size_t done = 0;
  while (done < line.size()) {
    ssize_t written = write(fd_, line.data() + done, line.size() - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      break;  // nowhere left to report it
    }
    done += static_cast<size_t>(written);
  }
  errno = saved_errno;
}

std::string ErrnoText(int error) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not be in `buffer`.
  return strerror_r(error, buffer, sizeof(buffer));
}

}  // namespace korvane
