#ifndef PLATFORM_PLATFORM_SERVICE_INTERNAL_H_
#define PLATFORM_PLATFORM_SERVICE_INTERNAL_H_

// Helpers shared by the source files of PlatformService; not for other units.

#include <stdio.h>
#include <string.h>

#include <string>

namespace platform_service_internal {

// Any thread. Writes `line` and a newline in one call and flushes, so lines written by several
// threads do not interleave.
inline void PrintLine(FILE* stream, const std::string& line) {
  std::string text = line + "\n";
  fwrite(text.data(), 1, text.size(), stream);
  fflush(stream);
}

inline void PrintOut(const std::string& line) {
  PrintLine(stdout, line);
}

inline void PrintErr(const std::string& line) {
  PrintLine(stderr, line);
}

// Any thread (strerror itself may share a buffer between threads).
inline std::string ErrorText(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof(buffer));
}

}  // namespace platform_service_internal

#endif  // PLATFORM_PLATFORM_SERVICE_INTERNAL_H_
