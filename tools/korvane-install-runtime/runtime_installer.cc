#include "tools/korvane-install-runtime/runtime_installer.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <glib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "base/executable_path.h"
#include "base/file_util.h"
#include "base/log.h"
#include "base/scoped_fd.h"
#include "base/sha256.h"
#include "platform/privileges/granted_copy.h"

namespace korvane {

namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxVersionLength = 64;
constexpr size_t kCopyBufferSize = 65536;

// One line of failure: what was being done and the system's text for `error`.
std::string Failure(const std::string& what, int error) {
  return what + ": " + ErrnoText(error);
}

// The mode an installed copy gets: no write bit for group or others and no setuid, setgid or
// sticky bit, since a capability may be granted to what the install holds.
mode_t InstalledFileMode(mode_t source) {
  return (source & 0111) != 0 ? (source & 0755) : (source & 0644);
}

// Copies one regular file's content with its mode made safe and syncs it. `from` is opened
// without following a link and without waiting, and is refused unless the opened file is a
// regular one (whatever was seen at that path before).
bool CopyRegularFile(const fs::path& from, const fs::path& to, std::string* error) {
  ScopedFd in(open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (in.get() < 0) {
    *error = Failure("cannot read " + from.string(), errno);
    return false;
  }
  struct stat info;
  if (fstat(in.get(), &info) != 0) {
    *error = Failure("cannot inspect " + from.string(), errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = "not a regular file: " + from.string();
    return false;
  }
  const int flags = fcntl(in.get(), F_GETFL);
  if (flags < 0 || fcntl(in.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    *error = Failure("cannot read " + from.string(), errno);
    return false;
  }
  ScopedFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (out.get() < 0) {
    *error = Failure("cannot create " + to.string(), errno);
    return false;
  }
  std::vector<char> buffer(kCopyBufferSize);
  for (;;) {
    ssize_t got = read(in.get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      *error = Failure("cannot read " + from.string(), errno);
      return false;
    }
    if (got == 0) {
      break;
    }
    if (!WriteAll(out.get(), std::string(buffer.data(), static_cast<size_t>(got)))) {
      *error = Failure("cannot write " + to.string(), errno);
      return false;
    }
  }
  if (fchmod(out.get(), InstalledFileMode(info.st_mode)) != 0 || fsync(out.get()) != 0) {
    *error = Failure("cannot finish " + to.string(), errno);
    return false;
  }
  if (out.Close() != 0) {
    *error = Failure("cannot close " + to.string(), errno);
    return false;
  }
  return true;
}

// Where the link `link` leads when that is a regular file inside `bundle` (canonical); else
// false with the reason. A link leading out could make the install depend on files that others
// may change.
bool LinkTargetInBundle(const fs::path& link,
                        const fs::path& bundle,
                        fs::path* target,
                        std::string* error) {
  char* resolved = realpath(link.c_str(), nullptr);
  if (resolved == nullptr) {
    *error = Failure("refusing the link " + link.string() + ": cannot follow it", errno);
    return false;
  }
  const std::string path = resolved;
  free(resolved);
  const std::string& root = bundle.string();
  if (path.size() <= root.size() || path.compare(0, root.size(), root) != 0 ||
      path[root.size()] != '/') {
    *error = "refusing the link " + link.string() + ": it leads out of the bundle to " + path;
    return false;
  }
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = "refusing the link " + link.string() + ": it leads to no regular file (" + path + ")";
    return false;
  }
  *target = path;
  return true;
}

// Copies the tree below `from` into the existing directory `to`: directories (0755) and regular
// files, and in place of a symbolic link the content of the regular file it leads to inside
// `bundle` (canonical). Anything else is refused. Every directory is synced.
bool CopyTree(const fs::path& from,
              const fs::path& to,
              const fs::path& bundle,
              std::string* error) {
  std::error_code ec;
  std::vector<fs::path> names;
  for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename());
  }
  if (ec) {
    *error = "cannot list " + from.string() + ": " + ec.message();
    return false;
  }
  for (const fs::path& name : names) {
    const fs::path source = from / name;
    const fs::path target = to / name;
    struct stat info;
    if (lstat(source.c_str(), &info) != 0) {
      *error = Failure("cannot inspect " + source.string(), errno);
      return false;
    }
    if (S_ISDIR(info.st_mode)) {
      if (mkdir(target.c_str(), 0700) != 0) {
        *error = Failure("cannot create " + target.string(), errno);
        return false;
      }
      if (!CopyTree(source, target, bundle, error)) {
        return false;
      }
      if (chmod(target.c_str(), 0755) != 0) {
        *error = Failure("cannot set the mode of " + target.string(), errno);
        return false;
      }
    } else if (S_ISREG(info.st_mode)) {
      if (!CopyRegularFile(source, target, error)) {
        return false;
      }
    } else if (S_ISLNK(info.st_mode)) {
      fs::path linked;
      if (!LinkTargetInBundle(source, bundle, &linked, error) ||
          !CopyRegularFile(linked, target, error)) {
        return false;
      }
    } else {
      *error = "not a file, directory or link: " + source.string();
      return false;
    }
  }
  FsyncDirectory(to.string());
  return true;
}

// Puts `text` at `path` durably with exactly `mode`.
bool WriteNewFile(const fs::path& path, const std::string& text, mode_t mode, std::string* error) {
  ReplaceOptions options;
  options.mode = mode;
  const ReplaceResult written = ReplaceFile(path.string(), text, options);
  if (!written.ok()) {
    *error = Failure("cannot write " + path.string(), written.error);
    return false;
  }
  return true;
}

// The pid of a process whose executable is `executable` (also after it was replaced on disk),
// or 0.
pid_t FindRunningExecutable(const fs::path& executable) {
  std::error_code ec;
  const fs::path canonical = fs::weakly_canonical(executable, ec);
  if (ec) {
    return 0;
  }
  const std::string wanted = canonical.string();
  const std::string wanted_deleted = wanted + kDeletedSuffix;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) {
    return 0;
  }
  pid_t found = 0;
  while (struct dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') {
      continue;
    }
    fs::path exe = fs::read_symlink(fs::path("/proc") / entry->d_name / "exe", ec);
    if (!ec && (exe == wanted || exe == wanted_deleted)) {
      found = static_cast<pid_t>(pid);
      break;
    }
  }
  closedir(proc);
  return found;
}

void RemoveTree(const fs::path& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

// A directory tree removed with its holder unless released.
class TreeRemover {
 public:
  explicit TreeRemover(fs::path path) : path_(std::move(path)) {}
  ~TreeRemover() {
    if (!path_.empty()) {
      RemoveTree(path_);
    }
  }
  TreeRemover(const TreeRemover&) = delete;
  TreeRemover& operator=(const TreeRemover&) = delete;

  void Release() { path_.clear(); }

 private:
  fs::path path_;
};

std::string CheckBundle(const fs::path& bundle) {
  // The executable and the two directories themselves, never links: a link would carry on into
  // the install, where it may lead to files that others can change. Links below them are copied
  // as the files they lead to (CopyTree decides whether they may be).
  for (const InstallEntry& entry : kInstallLayout) {
    if (!entry.from_bundle) {
      continue;
    }
    const fs::path path = bundle / entry.name;
    struct stat info;
    if (!entry.bundle_may_link && lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
      return "not a built bundle: " + path.string() + " is a symbolic link";
    }
    const bool ok = stat(path.c_str(), &info) == 0 &&
                    (entry.directory ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode));
    if (!ok) {
      return "not a built bundle: " + path.string() +
             (entry.directory ? " is no directory" : " is no regular file");
    }
  }
  // The other file that may be granted the capability is held to the executable's rule.
  const fs::path wrapper = bundle / kCapWrapperFileName;
  struct stat info;
  if (lstat(wrapper.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    return "not a built bundle: " + wrapper.string() +
           (S_ISLNK(info.st_mode) ? " is a symbolic link" : " is no regular file");
  }
  return "";
}

}  // namespace

bool IsValidRuntimeVersion(const std::string& version) {
  if (version.empty() || version.size() > kMaxVersionLength || version == "." || version == "..") {
    return false;
  }
  for (char c : version) {
    if (!g_ascii_isalnum(c) && c != '.' && c != '_' && c != '+' && c != '-') {
      return false;
    }
  }
  return true;
}

RuntimeInstallResult InstallRuntime(const RuntimeInstallRequest& request) {
  RuntimeInstallResult result;
  if (!IsValidRuntimeVersion(request.version)) {
    result.error = "invalid version name (letters, digits, '.', '_', '+', '-'; not . or ..)";
    return result;
  }
  if (request.root.empty() || !request.root.is_absolute()) {
    result.error = "no managed runtime root (HOME unset or not absolute)";
    return result;
  }
  result.error = CheckBundle(request.bundle_dir);
  if (!result.error.empty()) {
    return result;
  }
  std::error_code ec;
  fs::create_directories(request.root, ec);
  if (ec) {
    result.error = "cannot create " + request.root.string() + ": " + ec.message();
    return result;
  }
  const fs::path final_dir = request.root / request.version;
  if (pid_t pid = FindRunningExecutable(final_dir / kExecutableFileName)) {
    result.error = "refusing to overwrite a running installation: " + final_dir.string() +
                   " (pid " + std::to_string(pid) + ")";
    return result;
  }

  // Built under a temporary name beside the final one: never visible half-copied.
  std::string pattern = (request.root / ("." + request.version + ".tmp-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) {
    result.error = Failure("cannot create a directory in " + request.root.string(), errno);
    return result;
  }
  const fs::path staging = pattern;
  // Whatever is left under the temporary name goes when this returns: a failed install leaves
  // nothing, and a replaced earlier install is removed.
  TreeRemover remove_staging(staging);
  auto fail = [&](const std::string& error) {
    result.error = error;
    return result;
  };

  std::string error;
  const fs::path bundle = fs::canonical(request.bundle_dir, ec);
  if (ec) {
    return fail("cannot resolve " + request.bundle_dir.string() + ": " + ec.message());
  }
  if (!CopyTree(request.bundle_dir, staging, bundle, &error)) {
    return fail(error);
  }
  // The digests of what landed in the install, read back from the copy.
  const std::string sha256 =
      Sha256::FileHex((staging / kExecutableFileName).string(), Sha256Links::kRefuse);
  if (sha256.empty()) {
    return fail(Failure("cannot read back the copied korvane", errno));
  }
  std::string wrapper_sha256;
  if (fs::is_regular_file(fs::symlink_status(staging / kCapWrapperFileName, ec))) {
    wrapper_sha256 =
        Sha256::FileHex((staging / kCapWrapperFileName).string(), Sha256Links::kRefuse);
    if (wrapper_sha256.empty()) {
      return fail(
          Failure("cannot read back the copied " + std::string(kCapWrapperFileName), errno));
    }
  }
  if (!WriteNewFile(staging / kManifestFileName,
                    RenderRuntimeManifest(request.version, sha256, wrapper_sha256), 0644, &error) ||
      !WriteNewFile(staging / kLauncherFileName,
                    RenderLauncherScript(
                        request.launcher_values,
                        GrantedCopy::DirectoryFor(CanonicalPath(final_dir), getuid()).string()),
                    0755, &error)) {
    return fail(error);
  }
  if (chmod(staging.c_str(), 0755) != 0) {
    return fail(Failure("cannot set the mode of " + staging.string(), errno));
  }
  FsyncDirectory(staging.string());

  // An install started meanwhile is not replaced either.
  if (pid_t pid = FindRunningExecutable(final_dir / kExecutableFileName)) {
    return fail("refusing to overwrite a running installation: " + final_dir.string() + " (pid " +
                std::to_string(pid) + ")");
  }
  if (renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, final_dir.c_str(), RENAME_NOREPLACE) == 0) {
    remove_staging.Release();
  } else {
    if (errno != EEXIST) {
      return fail(Failure("cannot rename into " + final_dir.string(), errno));
    }
    // An earlier install of this version: swapped in one step, then removed (with the holder).
    if (renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, final_dir.c_str(), RENAME_EXCHANGE) != 0) {
      return fail(Failure("cannot replace " + final_dir.string(), errno));
    }
  }
  FsyncDirectory(request.root.string());
  result.ok = true;
  result.error.clear();
  result.install_dir = final_dir;
  return result;
}

}  // namespace korvane
