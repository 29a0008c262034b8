#include "core/libbox_log_buffer.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "base/file_util.h"
#include "base/scoped_fd.h"

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
  return korvane::MakePrivateDirectories(path);
}

void LibboxLogBuffer::writeMarkerSync(const std::string& path) {
  korvane::ScopedFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    return;
  }
  fchmod(fd.get(), 0600);
  char text[32];
  time_t now = time(nullptr);
  struct tm utc;
  size_t length = 0;
  if (gmtime_r(&now, &utc)) {
    length = strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
  }
  korvane::WriteAll(fd.get(), std::string(text, length));
  fsync(fd.get());
  fd.reset();
  // A marker means something by existing, so its directory entry must reach the disk too.
  korvane::FsyncDirectory(korvane::DirectoryOf(path));
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
  session_open_ = true;
}

void LibboxLogBuffer::endSessionCleanly() {
  std::lock_guard<std::mutex> lock(mutex_);
  writeMarkerSync(clean_shutdown_marker_path_);
  RemoveIfExists(session_active_marker_path_);
  RemoveIfExists(session_log_path_);
  session_open_ = false;
}

std::optional<CrashLogResult> LibboxLogBuffer::reportMovedAsideCrash() {
  if (StatPath(last_crash_log_path_) != PathState::kPresent) {
    return std::nullopt;
  }
  CrashLogResult report = summarizeLogFile(last_crash_log_path_);
  if (!RemoveIfExists(last_crash_log_path_) || report.logCount == 0) {
    return std::nullopt;
  }
  return report;
}

std::optional<CrashLogResult> LibboxLogBuffer::checkForCrashLogs() {
  LibboxLogBuffer& self = getInstance();
  std::lock_guard<std::mutex> lock(self.mutex_);
  // The open session's marker and log belong to an engine that may be running: it has not
  // crashed, and its log is still being written.
  if (self.session_open_) {
    return self.reportMovedAsideCrash();
  }

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
