#include "engine/logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace box {
namespace {

constexpr const char* kUpperNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL", "PANIC"};

// Writes all of `line` despite short writes and signals.
void WriteAll(int fd, const std::string& line) {
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace

int Logger::ParseLevel(const std::string& name) {
  static const char* kNames[] = {"trace", "debug", "info", "warn", "error", "fatal", "panic"};
  if (name == "warning") {
    return kWarn;
  }
  for (int i = 0; i <= kPanic; ++i) {
    if (name == kNames[i]) {
      return i;
    }
  }
  return -1;
}

int Logger::ParseUpperLevel(const std::string& name) {
  for (int i = 0; i <= kPanic; ++i) {
    if (name == kUpperNames[i]) {
      return i;
    }
  }
  return name == "WARNING" ? kWarn : -1;
}

bool Logger::Open(const LogOptions& options,
                  const std::string& working_directory,
                  std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_ = options;
  file_.Reset();
  fd_ = -1;
  open_ = false;
  if (options.disabled) {
    return true;
  }
  if (options.output.empty() || options.output == "stderr") {
    fd_ = STDERR_FILENO;
  } else if (options.output == "stdout") {
    fd_ = STDOUT_FILENO;
  } else {
    const std::string path =
        options.output.front() == '/' ? options.output : working_directory + "/" + options.output;
    // The log names every connection's destination: nobody else may read it, and a link planted
    // at its name cannot redirect the writes. O_NONBLOCK keeps a FIFO there from hanging the
    // start; it is cleared again below.
    file_.Reset(open(path.c_str(),
                     O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    struct stat info;
    if (!file_.valid() || fstat(file_.get(), &info) != 0 ||
        fcntl(file_.get(), F_SETFL, O_APPEND) != 0 ||
        (S_ISREG(info.st_mode) && (info.st_mode & 07777) != 0600 &&
         fchmod(file_.get(), 0600) != 0)) {
      const int saved = errno;
      file_.Reset();
      *error = "create log factory: open " + path + ": " + ErrnoText(saved);
      return false;
    }
    fd_ = file_.get();
  }
  open_ = true;
  return true;
}

void Logger::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = false;
  fd_ = -1;
  file_.Reset();
}

void Logger::Log(int level, const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_ || level < options_.level || level < kTrace || level > kPanic) {
    return;
  }
  std::string line;
  if (options_.timestamp) {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char stamp[64];
    strftime(stamp, sizeof(stamp), "%z %Y-%m-%d %H:%M:%S ", &local);
    line = stamp;
  }
  line += kUpperNames[level];
  line += ' ';
  line += message;
  line += '\n';
  WriteAll(fd_, line);
}

}  // namespace box
