#ifndef PLATFORM_PROXY_BACKUP_FILE_H_
#define PLATFORM_PROXY_BACKUP_FILE_H_

#include <optional>
#include <string>

#include "platform/proxy_manager.h"

// What a crash must not lose: the desktop whose settings were backed up and the backup.
struct ProxyBackupRecord {
  int desktop = ProxyManager::kDesktopOther;
  ProxySettings settings;
};

// The on-disk copy of the proxy backup in the configuration directory, present from before the
// first change of an enable cycle until a successful disable. Text format: the line
// "korvane-proxy-backup 1", "desktop=gnome" or "desktop=kde", then one "field=value" line for
// each field of that desktop, values escaped with \\ and \n. Any thread.
class ProxyBackupFile {
 public:
  static constexpr const char* kFileName = "proxy_settings.backup";

  // In the configuration directory (korvane::ConfigDirectory).
  static std::string Path();

  static std::string Render(const ProxyBackupRecord& record);
  // Empty for anything that is not exactly a rendered GNOME or KDE record.
  static std::optional<ProxyBackupRecord> Parse(const std::string& text);

  // Writes a temporary file (0600), syncs it and renames it into place; false plus one
  // diagnostic line on failure.
  static bool Write(const ProxyBackupRecord& record);
  static bool Exists();
  // Empty when the file is missing, unreadable or does not parse.
  static std::optional<ProxyBackupRecord> Read();
  // True when the file is gone afterwards.
  static bool Remove();
};

#endif  // PLATFORM_PROXY_BACKUP_FILE_H_
