#ifndef BASE_LOG_H_
#define BASE_LOG_H_

#include <sstream>
#include <string>

// The host's diagnostics: single lines on standard output (progress) or standard error
// (failures). Any thread: each line is built apart and written with one write(2), so lines of
// several threads never interleave and nothing is buffered across a crash.
//
//   korvane::LogErr() << "[VPN] Configuration loaded, size: " << size << " bytes";
namespace korvane {

class LogLine {
 public:
  explicit LogLine(int fd) : fd_(fd) {}
  // A line that begins with `tag` and a space (nothing for an empty tag).
  LogLine(int fd, const char* tag) : fd_(fd) {
    if (tag != nullptr && tag[0] != '\0') {
      text_ << tag << ' ';
    }
  }
  // Writes the line and its newline.
  ~LogLine();
  LogLine(const LogLine&) = delete;
  LogLine& operator=(const LogLine&) = delete;

  template <typename T>
  LogLine& operator<<(const T& value) {
    text_ << value;
    return *this;
  }
  // Stream manipulators (std::hex, std::dec).
  LogLine& operator<<(std::ios_base& (*manipulator)(std::ios_base&)) {
    text_ << manipulator;
    return *this;
  }

 private:
  int fd_;
  std::ostringstream text_;
};

// A progress line on standard output.
inline LogLine LogOut() {
  return LogLine(1);
}
// A failure line on standard error.
inline LogLine LogErr() {
  return LogLine(2);
}

// The system's text for an errno value ("No such file or directory"). Any thread.
std::string ErrnoText(int error);

}  // namespace korvane

#endif  // BASE_LOG_H_
