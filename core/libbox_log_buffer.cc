#include "core/libbox_log_buffer.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <vector>

std::mutex LibboxLogBuffer::instance_mutex_;
std::unique_ptr<LibboxLogBuffer> LibboxLogBuffer::instance_;

namespace {

constexpr char kSessionLogName[] = "/libbox_session.log";
constexpr char kLastCrashLogName[] = "/libbox_last_crash.log";
constexpr char kCleanShutdownName[] = "/libbox_clean_shutdown";
constexpr char kSessionActiveName[] = "/libbox_session_active";
constexpr char kAppDirName[] = "korvane";

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

// The user's home from the password database, for processes started without HOME.
std::string PasswordHome() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      !found->pw_dir) {
    return std::string();
  }
  return found->pw_dir;
}

void FsyncDirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
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
  const char* xdg = getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg) {
    return std::string(xdg) + "/" + kAppDirName;
  }
  const char* home = getenv("HOME");
  if (home) {
    return std::string(home) + "/.config/" + kAppDirName;
  }
  std::string pw_home = PasswordHome();
  if (!pw_home.empty()) {
    return pw_home + "/.config/" + kAppDirName;
  }
  return std::string("/tmp/") + kAppDirName;
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
