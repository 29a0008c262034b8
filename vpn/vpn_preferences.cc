#include "vpn/vpn_preferences.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <exception>
#include <iostream>
#include <memory>

#include "core/libbox_log_buffer.h"
#include "platform/file_io.h"

using korvane::FsyncDirectory;
using korvane::ScopedFd;
using korvane::WriteAll;

namespace {

constexpr char kConfigFileName[] = "/vpn_config.dat";
constexpr char kBackupFileName[] = "/vpn_config.bak";
constexpr unsigned kKeyOffset = 0x6E;
constexpr unsigned char kLegacyKey = 0x91;

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name for a temporary file beside the target; hidden, so nobody takes it for the real one.
std::string TemporaryName(const std::string& dir, const std::string& base) {
  static unsigned counter = 0;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  char suffix[64];
  snprintf(suffix, sizeof(suffix), ".%d.%u.%lx", static_cast<int>(getpid()), ++counter,
           static_cast<unsigned long>(now.tv_nsec));
  return dir + "/." + base + suffix;
}

enum class TempResult { kWritten, kUnsupported, kFailed };

// Writes `data` into a new file in `dir`, on disk before this returns, and names it in `name`.
// With `unnamed` the file has no name until it is complete, so a process killed while writing
// leaves nothing behind; file systems without O_TMPFILE answer kUnsupported.
TempResult WriteTemporaryFile(const std::string& dir,
                              const std::string& base,
                              const std::string& data,
                              bool unnamed,
                              std::string* name) {
  ScopedFd fd;
  if (unnamed) {
    fd.reset(open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
      return TempResult::kUnsupported;
    }
  } else {
    // The writer's id in the name lets a later run tell a leftover from a save in progress.
    *name = dir + "/." + base + "." + std::to_string(getpid()) + ".XXXXXX";
    fd.reset(mkostemp(&(*name)[0], O_CLOEXEC));
    if (fd.get() < 0) {
      name->clear();
      return TempResult::kFailed;
    }
  }
  bool ok = fchmod(fd.get(), 0600) == 0 && WriteAll(fd.get(), data) && fsync(fd.get()) == 0;
  if (ok && unnamed) {
    char proc_path[64];
    snprintf(proc_path, sizeof(proc_path), "/proc/self/fd/%d", fd.get());
    bool linked = false;
    for (int attempt = 0; attempt < 16 && !linked; ++attempt) {
      *name = TemporaryName(dir, base);
      linked = linkat(AT_FDCWD, proc_path, AT_FDCWD, name->c_str(), AT_SYMLINK_FOLLOW) == 0;
      if (!linked && errno != EEXIST) {
        break;
      }
    }
    if (!linked) {
      name->clear();
      return TempResult::kUnsupported;
    }
  }
  ok = close(fd.release()) == 0 && ok;
  if (!ok) {
    if (!name->empty()) {
      unlink(name->c_str());
    }
    name->clear();
    return TempResult::kFailed;
  }
  return TempResult::kWritten;
}

// Puts `data` at `path` in one step: the old file stays as it was until the new one is
// complete on disk, whatever happens in between (a crash, a full disk).
bool ReplaceFile(const std::string& path, const std::string& data) {
  std::string dir = DirectoryOf(path);
  std::string base = BaseNameOf(path);
  std::string temp;
  TempResult result = WriteTemporaryFile(dir, base, data, true, &temp);
  if (result == TempResult::kUnsupported) {
    result = WriteTemporaryFile(dir, base, data, false, &temp);
  }
  if (result != TempResult::kWritten) {
    return false;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  FsyncDirectory(dir);
  return true;
}

// Removes the temporary files that saves killed before their rename left beside the store's
// files in `dir` (".<file>.<pid>.<...>", or ".<file>.XXXXXX" from the named fallback of earlier
// runs). A file whose writer still runs may belong to a save in progress and stays.
void RemoveLeftoverTemporaryFiles(const std::string& dir) {
  std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(dir.c_str()), &closedir);
  if (!listing) {
    return;
  }
  const std::string prefixes[] = {std::string(".") + (kConfigFileName + 1) + ".",
                                  std::string(".") + (kBackupFileName + 1) + "."};
  while (struct dirent* entry = readdir(listing.get())) {
    const std::string name = entry->d_name;
    bool ours = false;
    for (const std::string& prefix : prefixes) {
      if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0) {
        ours = true;
        std::string rest = name.substr(prefix.size());
        size_t digits = rest.find_first_not_of("0123456789");
        if (digits != 0 && digits != std::string::npos && rest[digits] == '.' && digits < 11) {
          long pid = std::stol(rest.substr(0, digits));
          if (pid != getpid() && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) {
            ours = false;
          }
        }
      }
    }
    if (ours) {
      unlinkat(dirfd(listing.get()), name.c_str(), 0);
    }
  }
}

std::string ApplyPositionalKey(const std::string& text) {
  std::string out(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    out[i] = static_cast<char>(static_cast<unsigned char>(text[i]) ^ ((i + kKeyOffset) & 0xFF));
  }
  return out;
}

// The text of a stored file: the current format when that reads as a configuration, else what
// DeobfuscateString makes of it. Its first-byte rule alone would take a saved configuration
// that starts with white space or a byte-order mark for the older format, and the next load
// would replace it with the backup.
std::string DecodeStored(const std::string& data) {
  std::string text = ApplyPositionalKey(data);
  if (VPNPreferences::ValidateConfig(text)) {
    return text;
  }
  return VPNPreferences::DeobfuscateString(data);
}

bool PathExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

std::string VPNPreferences::GetConfigDirectory() {
  // One rule for every file the host keeps, shared with the engine's session files.
  return LibboxLogBuffer::getBasePath();
}

std::string VPNPreferences::GetConfigPath() {
  return GetConfigDirectory() + kConfigFileName;
}

std::string VPNPreferences::GetBackupPath() {
  return GetConfigDirectory() + kBackupFileName;
}

bool VPNPreferences::ValidateConfig(const std::string& json) {
  return !json.empty() && json.find('{') != std::string::npos &&
         json.find('}') != std::string::npos && json.find("\"log\"") != std::string::npos &&
         json.find("\"inbounds\"") != std::string::npos &&
         json.find("\"outbounds\"") != std::string::npos;
}

std::string VPNPreferences::ObfuscateString(const std::string& text) {
  return ApplyPositionalKey(text);
}

std::string VPNPreferences::DeobfuscateString(const std::string& data) {
  std::string text = ApplyPositionalKey(data);
  if (!text.empty() && text[0] == '{') {
    return text;
  }
  for (size_t i = 0; i < data.size(); ++i) {
    text[i] = static_cast<char>(static_cast<unsigned char>(data[i]) ^ kLegacyKey);
  }
  return text;
}

bool VPNPreferences::CreateDirectory(const std::string& path) {
  // Created directories get exactly 0700, whatever the umask.
  auto make = [](const std::string& dir) {
    if (mkdir(dir.c_str(), 0700) == 0) {
      chmod(dir.c_str(), 0700);
      return true;
    }
    return errno == EEXIST;
  };
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    if (!make(path.substr(0, pos))) {
      return false;
    }
  }
  return make(path);
}

bool VPNPreferences::DirectoryExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string VPNPreferences::ReadFile(const std::string& path) {
  try {
    ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
      return std::string();
    }
    std::string data;
    struct stat st;
    if (fstat(fd.get(), &st) == 0 && st.st_size > 0) {
      data.reserve(static_cast<size_t>(st.st_size));
    }
    char chunk[65536];
    for (;;) {
      ssize_t n = read(fd.get(), chunk, sizeof(chunk));
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0) {
        return std::string();
      }
      if (n == 0) {
        return data;
      }
      data.append(chunk, static_cast<size_t>(n));
    }
  } catch (const std::exception& e) {
    std::cerr << "Error reading file: " << e.what() << std::endl;
    return std::string();
  }
}

bool VPNPreferences::WriteFile(const std::string& path, const std::string& data) {
  try {
    return ReplaceFile(path, data);
  } catch (const std::exception& e) {
    std::cerr << "Error writing file: " << e.what() << std::endl;
    return false;
  }
}

bool VPNPreferences::DeleteFile(const std::string& path) {
  return unlink(path.c_str()) == 0;
}

bool VPNPreferences::SaveConfig(const std::string& json) {
  try {
    if (!ValidateConfig(json)) {
      std::cerr << "Invalid configuration format" << std::endl;
      return false;
    }
    std::string dir = GetConfigDirectory();
    if (!DirectoryExists(dir) && !CreateDirectory(dir)) {
      std::cerr << "Failed to create config directory" << std::endl;
      return false;
    }
    RemoveLeftoverTemporaryFiles(dir);
    if (PathExists(GetConfigPath())) {
      BackupConfig();
    }
    if (!WriteFile(GetConfigPath(), ObfuscateString(json))) {
      std::cerr << "Failed to write config file" << std::endl;
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    std::cerr << "Error saving config: " << e.what() << std::endl;
    return false;
  }
}

std::string VPNPreferences::LoadConfig() {
  try {
    RemoveLeftoverTemporaryFiles(GetConfigDirectory());
    std::string path = GetConfigPath();
    std::string data = ReadFile(path);
    if (data.empty()) {
      return std::string();
    }
    std::string text = DecodeStored(data);
    if (ValidateConfig(text)) {
      std::string current = ObfuscateString(text);
      if (current != data) {
        std::cout << "Migrating config to new obfuscation format" << std::endl;
        WriteFile(path, current);
      }
      return text;
    }
    std::cerr << "Loaded configuration is invalid" << std::endl;
    if (!RestoreConfig()) {
      return std::string();
    }
    std::string restored = ReadFile(path);
    if (restored.empty()) {
      return std::string();
    }
    std::string restored_text = DecodeStored(restored);
    return ValidateConfig(restored_text) ? restored_text : std::string();
  } catch (const std::exception& e) {
    std::cerr << "Error loading config: " << e.what() << std::endl;
    return std::string();
  }
}

bool VPNPreferences::BackupConfig() {
  try {
    std::string data = ReadFile(GetConfigPath());
    if (data.empty()) {
      return false;
    }
    return WriteFile(GetBackupPath(), data);
  } catch (const std::exception& e) {
    std::cerr << "Error backing up config: " << e.what() << std::endl;
    return false;
  }
}

bool VPNPreferences::RestoreConfig() {
  try {
    std::string data = ReadFile(GetBackupPath());
    if (data.empty()) {
      return false;
    }
    return WriteFile(GetConfigPath(), data);
  } catch (const std::exception& e) {
    std::cerr << "Error restoring config: " << e.what() << std::endl;
    return false;
  }
}

bool VPNPreferences::ClearConfig() {
  try {
    bool ok = true;
    for (const std::string& path : {GetConfigPath(), GetBackupPath()}) {
      if (PathExists(path) && !DeleteFile(path)) {
        ok = false;
      }
    }
    return ok;
  } catch (const std::exception& e) {
    std::cerr << "Error clearing config: " << e.what() << std::endl;
    return false;
  }
}

bool VPNPreferences::HasConfig() {
  return PathExists(GetConfigPath());
}
