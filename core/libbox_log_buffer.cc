#include "core/libbox_log_buffer.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/config_directory.h"
#include "platform/file_io.h"

std::mutex LibboxLogBuffer::instance_mutex_;
std::unique_ptr<LibboxLogBuffer> LibboxLogBuffer::instance_;

namespace {

constexpr char kSessionLogName[] = "/libbox_session.log";
constexpr char kLastCrashLogName[] = "/libbox_last_crash.log";
constexpr char kCleanShutdownName[] = "/libbox_clean_shutdown";
constexpr char kSessionActiveName[] = "/libbox_session_active";

enum class PathState { kAbsent, kPresent, kError };

PathState StatPath(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    return PathState::kPresent;
  }
  return errno == ENOENT || errno == ENOTDIR ? PathState::kAbsent : PathState::kError;
}

// Removes a file; an absent file is not an error.
bool RemoveIfExists(const std::string& path) {
  return unlink(path.c_str()) == 0 || errno == ENOENT;
}

void FsyncDirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  korvane::FsyncDirectory(slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash));
}

}  // namespace

LibboxLogBuffer::LibboxLogBuffer()
    : base_path_(getBasePath()),
      session_log_path_(base_path_ + kSessionLogName),
      last_crash_log_path_(base_path_ + kLastCrashLogName),
      clean_shutdown_marker_path_(base_path_ + kCleanShutdownName),
      session_active_marker_path_(base_path_ + kSessionActiveName) {
  ensureDirectoryExists(base_path_);
}

LibboxLogBuffer& LibboxLogBuffer::getInstance() {
  std::lock_guard<std::mutex> lock(instance_mutex_);
  if (!instance_) {
    instance_.reset(new LibboxLogBuffer());
  }
  return *instance_;
}

std::string LibboxLogBuffer::getBasePath() {
  return korvane::ConfigDirectory();
}

std::string LibboxLogBuffer::getSessionLogPath() {
  return getBasePath() + kSessionLogName;
}

bool LibboxLogBuffer::ensureDirectoryExists(const std::string& path) {
  if (path.empty()) {
    return false;
  }
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    return true;
  }
  // Every directory made here holds the user's configuration, so none is left open to others.
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    std::string prefix = path.substr(0, pos);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      return false;
    }
  }
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return false;
  }
  return chmod(path.c_str(), 0700) == 0;
}

void LibboxLogBuffer::writeMarkerSync(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    return;
  }
  fchmod(fd, 0600);
  char text[32];
  time_t now = time(nullptr);
  struct tm utc;
  size_t length = 0;
  if (gmtime_r(&now, &utc)) {
    length = strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
  }
  size_t done = 0;
  while (done < length) {
    ssize_t n = write(fd, text + done, length - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    done += static_cast<size_t>(n);
  }
  fsync(fd);
  close(fd);
  // A marker means something by existing, so its directory entry must reach the disk too.
  FsyncDirectoryOf(path);
}

void LibboxLogBuffer::rotateLogFiles() {
  if (StatPath(session_log_path_) != PathState::kPresent) {
    return;
  }
  if (!RemoveIfExists(last_crash_log_path_)) {
    return;
  }
  rename(session_log_path_.c_str(), last_crash_log_path_.c_str());
}

void LibboxLogBuffer::startSession() {
  std::lock_guard<std::mutex> lock(mutex_);
  RemoveIfExists(clean_shutdown_marker_path_);
  rotateLogFiles();
  writeMarkerSync(session_active_marker_path_);
}

void LibboxLogBuffer::endSessionCleanly() {
  std::lock_guard<std::mutex> lock(mutex_);
  writeMarkerSync(clean_shutdown_marker_path_);
  RemoveIfExists(session_active_marker_path_);
  RemoveIfExists(session_log_path_);
}

std::optional<CrashLogResult> LibboxLogBuffer::checkForCrashLogs() {
  LibboxLogBuffer& self = getInstance();

  PathState clean = StatPath(self.clean_shutdown_marker_path_);
  if (clean == PathState::kError) {
    return std::nullopt;
  }
  if (clean == PathState::kPresent) {
    RemoveIfExists(self.clean_shutdown_marker_path_);
    RemoveIfExists(self.last_crash_log_path_);
    RemoveIfExists(self.session_log_path_);
    return std::nullopt;
  }
  if (StatPath(self.session_active_marker_path_) != PathState::kPresent) {
    return std::nullopt;
  }

  // The previous session crashed; a log moved aside by a later start is the crashed one.
  std::string log_path;
  PathState last_crash = StatPath(self.last_crash_log_path_);
  PathState session = StatPath(self.session_log_path_);
  if (last_crash == PathState::kError || session == PathState::kError) {
    return std::nullopt;
  }
  if (last_crash == PathState::kPresent) {
    log_path = self.last_crash_log_path_;
  } else if (session == PathState::kPresent) {
    log_path = self.session_log_path_;
  } else {
    RemoveIfExists(self.session_active_marker_path_);
    return std::nullopt;
  }

  CrashLogResult report = summarizeLogFile(log_path);

  bool removed = RemoveIfExists(self.last_crash_log_path_);
  removed = RemoveIfExists(self.session_log_path_) && removed;
  removed = RemoveIfExists(self.session_active_marker_path_) && removed;
  if (!removed || report.logCount == 0) {
    return std::nullopt;
  }
  return report;
}
