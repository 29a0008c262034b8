#ifndef BASE_FILE_UTIL_H_
#define BASE_FILE_UTIL_H_

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

// The file work every host unit does the same way. Any thread; failures leave errno set.
namespace korvane {

// The per-user directory of the host's own files: XDG_CONFIG_HOME (set and non-empty) +
// "/korvane", else HOME (set) + "/.config/korvane", else the password entry's home +
// "/.config/korvane", else "/tmp/korvane". Computed afresh on each call; creates nothing.
std::string ConfigDirectory();

// The directory part of `path` ("." without a slash, "/" for a top-level name).
std::string DirectoryOf(const std::string& path);

// mkdir -p: creates every missing directory of `path` with exactly mode 0700, whatever the
// umask; existing ones are left as they are. True when `path` is afterwards a directory (not a
// symbolic link) owned by the effective uid and writable by nobody else; otherwise false with
// errno ENOTDIR (not a directory, or a link) or EPERM (another owner, or group or other write).
bool MakePrivateDirectories(const std::string& path);

// Writes all of `data`, going on after short writes and EINTR. False on an error.
bool WriteAll(int fd, const std::string& data);

// Flushes a directory's entries (a rename or a new file in it) to disk; best effort.
void FsyncDirectory(const std::string& dir);

// Which step of ReplaceFile failed.
enum class ReplaceStep { kDone, kOpen, kWrite, kRename };

struct ReplaceResult {
  ReplaceStep failed_step = ReplaceStep::kDone;
  int error = 0;  // errno taken right after the failing call
  bool ok() const { return failed_step == ReplaceStep::kDone; }
};

struct ReplaceOptions {
  mode_t mode = 0600;  // the new file's mode, not subject to the umask
  // The temporary file's fixed name (a stale one is removed first), for files whose crash
  // recovery looks for it. Empty: a fresh unnamed file beside `path` that a crash cannot leave
  // behind, or a fresh hidden name where the file system has no unnamed files.
  std::string temp_path;
};

// Puts exactly `data` at `path` durably: a temporary file is written, synced and renamed over
// `path`, then the directory is synced. A reader (or the next start after a crash) sees the old
// file or the new one, never a part; on failure the temporary file is removed again.
ReplaceResult ReplaceFile(const std::string& path,
                          const std::string& data,
                          const ReplaceOptions& options = ReplaceOptions());

struct ReadOptions {
  size_t max_bytes = static_cast<size_t>(-1);  // a larger file is refused (errno EFBIG)
  bool follow_links = true;                    // false: a link at `path` is refused
  bool regular_only = false;                   // true: anything but a regular file is refused
};

// The whole file, or empty when it cannot be opened or read. `read_error` (when given) gets the
// errno of a file that opened but could not be read, else 0.
std::optional<std::string> ReadWholeFile(const std::string& path,
                                         const ReadOptions& options = ReadOptions(),
                                         int* read_error = nullptr);

}  // namespace korvane

#endif  // BASE_FILE_UTIL_H_
