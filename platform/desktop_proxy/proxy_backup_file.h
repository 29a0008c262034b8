#ifndef PLATFORM_DESKTOP_PROXY_PROXY_BACKUP_FILE_H_
#define PLATFORM_DESKTOP_PROXY_PROXY_BACKUP_FILE_H_

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/desktop_proxy/proxy_settings.h"

// The process that wrote a record. Its start time tells it from a later process that was
// given the same id.
struct ProxyRecordOwner {
  // 0: unknown (a record of an earlier version), taken as a process that is gone.
  pid_t pid = 0;
  // Clock ticks after boot, field 22 of /proc/<pid>/stat.
  unsigned long long start_time = 0;
};

// What a crash must not lose: the desktop whose settings were backed up and the backup, who
// wrote it and the port the desktop was pointed at.
struct ProxyBackupRecord {
  int desktop = korvane::kDesktopOther;
  ProxySettings settings;
  ProxyRecordOwner owner;
  // Our proxy's port; 0: unknown (any loopback proxy counts as ours).
  int port = 0;
};

// The on-disk copy of the proxy backup in the configuration directory, present from before the
// first change of an enable cycle until a successful disable. Text format: the line
// "korvane-proxy-backup 2", "owner=<pid> <start time>", "port=<port>", "desktop=gnome" or
// "desktop=kde", then one "field=value" line for each field of that desktop, values escaped
// with \\ and \n. Version 1 records (no owner and port lines) are still read. Any thread.
class ProxyBackupFile {
 public:
  static constexpr const char* kFileName = "proxy_settings.backup";

  // This process, read afresh (a forked child is another owner).
  static ProxyRecordOwner CurrentProcess();
  // Whether `owner` is a process that still runs (a zombie does not).
  static bool IsRunning(const ProxyRecordOwner& owner);
  static bool IsCurrentProcess(const ProxyRecordOwner& owner);

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

#endif  // PLATFORM_DESKTOP_PROXY_PROXY_BACKUP_FILE_H_
