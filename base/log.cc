#include "base/log.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "base/file_util.h"

namespace korvane {

LogLine::~LogLine() {
  // errno belongs to the caller, which may log before it looks at it.
  const int saved_errno = errno;
  text_ << '\n';
  const std::string line = text_.str();
  WriteAll(fd_, line);  // nowhere left to report a failure
  errno = saved_errno;
}

std::string ErrnoText(int error) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not be in `buffer`.
  return strerror_r(error, buffer, sizeof(buffer));
}

}  // namespace korvane
