#include "base/file_util.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "base/scoped_fd.h"

namespace korvane {

namespace {

constexpr char kAppDirName[] = "korvane";

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

std::string BaseNameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name for a temporary file beside the target; hidden, so nobody takes it for the real one.
std::string TemporaryName(const std::string& dir, const std::string& base) {
  static std::atomic<unsigned> counter{0};
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  char suffix[64];
  snprintf(suffix, sizeof(suffix), ".%d.%u.%lx", static_cast<int>(getpid()), ++counter,
           static_cast<unsigned long>(now.tv_nsec));
  return dir + "/." + base + suffix;
}

// Writes, fixes the mode of and syncs an open temporary file; closes it.
bool FillAndClose(ScopedFd* fd, const std::string& data, mode_t mode) {
  bool ok = fchmod(fd->get(), mode) == 0 && WriteAll(fd->get(), data) && fsync(fd->get()) == 0;
  int error = errno;
  ok = fd->Close() == 0 && ok;
  if (!ok && error != 0) {
    errno = error;
  }
  return ok;
}

enum class TempResult { kWritten, kUnsupported, kFailed };

// Writes `data` into a new file in `dir` and names it in `name`. With `unnamed` the file has no
// name until it is complete, so a process killed while writing leaves nothing behind; file
// systems without O_TMPFILE answer kUnsupported.
TempResult WriteTemporaryFile(const std::string& dir,
                              const std::string& base,
                              const std::string& data,
                              mode_t mode,
                              bool unnamed,
                              std::string* name) {
  ScopedFd fd;
  if (unnamed) {
    fd.reset(open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (!fd.valid()) {
      return TempResult::kUnsupported;
    }
    if (fchmod(fd.get(), mode) != 0 || !WriteAll(fd.get(), data) || fsync(fd.get()) != 0) {
      return TempResult::kFailed;
    }
    char proc_path[64];
    snprintf(proc_path, sizeof(proc_path), "/proc/self/fd/%d", fd.get());
    for (int attempt = 0; attempt < 16; ++attempt) {
      *name = TemporaryName(dir, base);
      if (linkat(AT_FDCWD, proc_path, AT_FDCWD, name->c_str(), AT_SYMLINK_FOLLOW) == 0) {
        if (fd.Close() != 0) {
          int error = errno;
          unlink(name->c_str());
          errno = error;
          return TempResult::kFailed;
        }
        return TempResult::kWritten;
      }
      if (errno != EEXIST) {
        break;
      }
    }
    name->clear();
    return TempResult::kUnsupported;
  }
  // The writer's id in the name lets a later run tell a leftover from a write in progress.
  *name = dir + "/." + base + "." + std::to_string(getpid()) + ".XXXXXX";
  fd.reset(mkostemp(&(*name)[0], O_CLOEXEC));
  if (!fd.valid()) {
    name->clear();
    return TempResult::kFailed;
  }
  if (!FillAndClose(&fd, data, mode)) {
    int error = errno;
    unlink(name->c_str());
    errno = error;
    return TempResult::kFailed;
  }
  return TempResult::kWritten;
}

}  // namespace

std::string ConfigDirectory() {
  const char* xdg = getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] != '\0') {
    return std::string(xdg) + "/" + kAppDirName;
  }
  const char* home = getenv("HOME");
  if (home != nullptr) {
    return std::string(home) + "/.config/" + kAppDirName;
  }
  std::string pw_home = PasswordHome();
  if (!pw_home.empty()) {
    return pw_home + "/.config/" + kAppDirName;
  }
  return std::string("/tmp/") + kAppDirName;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool MakePrivateDirectories(const std::string& path) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') {
      continue;
    }
    if (path[pos - 1] == '/') {
      continue;  // "a//b" or a trailing slash
    }
    const std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0700) == 0) {
      // mkdir applies the umask; what the host creates holds the user's files.
      if (chmod(part.c_str(), 0700) != 0) {
        return false;
      }
    } else if (errno != EEXIST) {
      return false;
    }
  }
  // Whatever existed before must be ours alone: a directory someone else made (or a link to
  // one) would let them read or swap what we keep in it. lstat must not follow a trailing
  // slash into a link.
  std::string final_path = path;
  while (final_path.size() > 1 && final_path.back() == '/') {
    final_path.pop_back();
  }
  struct stat st;
  if (lstat(final_path.c_str(), &st) != 0) {
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    errno = EPERM;
    return false;
  }
  return true;
}

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
  const int saved_errno = errno;
  ScopedFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) {
    fsync(fd.get());
  }
  errno = saved_errno;
}

ReplaceResult ReplaceFile(const std::string& path,
                          const std::string& data,
                          const ReplaceOptions& options) {
  const std::string dir = DirectoryOf(path);
  std::string temp = options.temp_path;
  if (!temp.empty()) {
    // A stale file of a writer that died would otherwise keep its owner and mode.
    unlink(temp.c_str());
    ScopedFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                     options.mode));
    if (!fd.valid()) {
      return {ReplaceStep::kOpen, errno};
    }
    if (!FillAndClose(&fd, data, options.mode)) {
      int error = errno;
      unlink(temp.c_str());
      return {ReplaceStep::kWrite, error};
    }
  } else {
    const std::string base = BaseNameOf(path);
    TempResult result = WriteTemporaryFile(dir, base, data, options.mode, true, &temp);
    if (result == TempResult::kUnsupported) {
      result = WriteTemporaryFile(dir, base, data, options.mode, false, &temp);
    }
    if (result != TempResult::kWritten) {
      return {temp.empty() ? ReplaceStep::kOpen : ReplaceStep::kWrite, errno};
    }
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    int error = errno;
    unlink(temp.c_str());
    return {ReplaceStep::kRename, error};
  }
  // The rename itself must survive a power loss too.
  FsyncDirectory(dir);
  return {};
}

std::optional<std::string> ReadWholeFile(const std::string& path,
                                         const ReadOptions& options,
                                         int* read_error) {
  if (read_error != nullptr) {
    *read_error = 0;
  }
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | (options.follow_links ? 0 : O_NOFOLLOW)));
  if (!fd.valid()) {
    return std::nullopt;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    return std::nullopt;
  }
  if (options.regular_only && !S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return std::nullopt;
  }
  if (st.st_size > 0 && static_cast<size_t>(st.st_size) > options.max_bytes) {
    errno = EFBIG;
    return std::nullopt;
  }
  std::string data;
  if (S_ISREG(st.st_mode) && st.st_size > 0) {
    data.reserve(static_cast<size_t>(st.st_size));
  }
  char chunk[65536];
  for (;;) {
    ssize_t n = read(fd.get(), chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      if (read_error != nullptr) {
        *read_error = errno;
      }
      return std::nullopt;
    }
    if (n == 0) {
      return data;
    }
    data.append(chunk, static_cast<size_t>(n));
    if (data.size() > options.max_bytes) {
      errno = EFBIG;
      return std::nullopt;
    }
  }
}

}  // namespace korvane
