#ifndef VPN_VPN_PREFERENCES_H_
#define VPN_VPN_PREFERENCES_H_

#include <string>

// The engine configuration kept on disk between runs: "vpn_config.dat" (obfuscated) and its
// backup "vpn_config.bak" in the configuration directory. The text is never parsed; a few
// substring tests tell a plausible configuration from garbage.
//
// No state of its own: every call computes its paths from the environment. Main thread only
// (no locks; callers are the method handlers).
class VPNPreferences {
 public:
  // The configuration directory; creates nothing.
  static std::string GetConfigDirectory();
  static std::string GetConfigPath();
  static std::string GetBackupPath();

  // Validates, keeps the old file as the backup and writes the new one. A save interrupted at
  // any moment leaves either the old or the new file, never a mix.
  static bool SaveConfig(const std::string& json);
  // The stored configuration, or empty when none is usable. A file is read in the current
  // format when that gives a valid configuration (whatever its first byte), else as
  // DeobfuscateString reads it. A file in the older format is rewritten in the current one; a
  // corrupt file is replaced by a good backup.
  static std::string LoadConfig();
  static bool BackupConfig();
  static bool RestoreConfig();
  static bool ClearConfig();
  static bool HasConfig();
  static bool ValidateConfig(const std::string& json);

  // Byte i is XORed with the low 8 bits of i + 0x6E.
  static std::string ObfuscateString(const std::string& text);
  // Undoes ObfuscateString; data that does not then start with "{" is taken as the older
  // format (every byte XORed with 0x91).
  static std::string DeobfuscateString(const std::string& data);

  static bool CreateDirectory(const std::string& path);
  static bool DirectoryExists(const std::string& path);
  // The whole file, or empty when it cannot be read.
  static std::string ReadFile(const std::string& path);
  // Replaces the file as a whole (temporary file, fsync, rename): on failure the old file is
  // left as it was. The new file has mode 0600.
  static bool WriteFile(const std::string& path, const std::string& data);
  static bool DeleteFile(const std::string& path);
};

#endif  // VPN_VPN_PREFERENCES_H_
