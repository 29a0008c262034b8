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
#include <memory>

#include "base/file_util.h"
#include "base/logger.h"

namespace {

constexpr korvane::Logger kPlainLog("");

constexpr char kConfigFileName[] = "/vpn_config.dat";
constexpr char kBackupFileName[] = "/vpn_config.bak";
constexpr unsigned kKeyOffset = 0x6E;
constexpr unsigned char kLegacyKey = 0x91;

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
  return korvane::ConfigDirectory();
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
  return korvane::MakePrivateDirectories(path);
}

bool VPNPreferences::DirectoryExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string VPNPreferences::ReadFile(const std::string& path) {
  try {
    return korvane::ReadWholeFile(path).value_or(std::string());
  } catch (const std::exception& e) {
    kPlainLog.Error() << "Error reading file: " << e.what();
    return std::string();
  }
}

bool VPNPreferences::WriteFile(const std::string& path, const std::string& data) {
  try {
    return korvane::ReplaceFile(path, data).ok();
  } catch (const std::exception& e) {
    kPlainLog.Error() << "Error writing file: " << e.what();
    return false;
  }
}

bool VPNPreferences::DeleteFile(const std::string& path) {
  return unlink(path.c_str()) == 0;
}

bool VPNPreferences::SaveConfig(const std::string& json) {
  try {
    if (!ValidateConfig(json)) {
      kPlainLog.Error() << "Invalid configuration format";
      return false;
    }
    std::string dir = GetConfigDirectory();
    if (!DirectoryExists(dir) && !CreateDirectory(dir)) {
      kPlainLog.Error() << "Failed to create config directory";
      return false;
    }
    RemoveLeftoverTemporaryFiles(dir);
    if (PathExists(GetConfigPath())) {
      BackupConfig();
    }
    if (!WriteFile(GetConfigPath(), ObfuscateString(json))) {
      kPlainLog.Error() << "Failed to write config file";
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    kPlainLog.Error() << "Error saving config: " << e.what();
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
        kPlainLog.Info() << "Migrating config to new obfuscation format";
        WriteFile(path, current);
      }
      return text;
    }
    kPlainLog.Error() << "Loaded configuration is invalid";
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
    kPlainLog.Error() << "Error loading config: " << e.what();
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
    kPlainLog.Error() << "Error backing up config: " << e.what();
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
    kPlainLog.Error() << "Error restoring config: " << e.what();
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
    kPlainLog.Error() << "Error clearing config: " << e.what();
    return false;
  }
}

bool VPNPreferences::HasConfig() {
  return PathExists(GetConfigPath());
}
