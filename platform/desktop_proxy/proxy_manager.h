#ifndef PLATFORM_DESKTOP_PROXY_PROXY_MANAGER_H_
#define PLATFORM_DESKTOP_PROXY_PROXY_MANAGER_H_

#include <string>
#include <vector>

#include "platform/desktop_proxy/proxy_settings.h"

// Points the desktop's proxy settings (GNOME, KDE Plasma or the process environment) at the
// host's local proxy and puts the user's own settings back afterwards. Main thread only: the
// state below is unguarded and the environment changes are process-wide.
class ProxyManager {
 public:
  // Desktop kinds returned by DetectDesktopEnvironment.
  static constexpr int kDesktopOther = korvane::kDesktopOther;
  static constexpr int kDesktopGnome = korvane::kDesktopGnome;
  static constexpr int kDesktopKde = korvane::kDesktopKde;

  // XDG_CURRENT_DESKTOP, then DESKTOP_SESSION, then `pgrep` for gnome-shell and plasmashell.
  static int DetectDesktopEnvironment();

  // Refuses (false) a host that is not a plain IP address or a port outside 1-65535, so no
  // outside text ever reaches a command line. Takes the backup once per enable cycle and records
  // it on disk before the first change.
  static bool EnableSystemProxy(const std::string& host, int port);
  // Switches the proxy off and, when this enable cycle took a backup, writes the user's own
  // settings back; removes the on-disk record after success unless another running instance
  // wrote it.
  static bool DisableSystemProxy();

  // Called at start before the channels answer: when an earlier run died with the desktop
  // pointed at it (the on-disk record is still there and its writer is gone), restores the
  // recorded settings, or switches the proxy off when the record does not parse, then removes
  // the record. A record of an instance that still runs is left alone. True when there was
  // nothing to repair or the repair succeeded; a failed repair keeps the record for the next
  // start.
  static bool RepairAfterCrash();

  static void BackupCurrentSettings();
  static void BackupGnomeSettings();
  static void BackupKDESettings();
  static bool EnableGnomeProxy(const std::string& proxy_url, int port);
  static bool EnableKDEProxy(const std::string& proxy_url, int port);
  static bool SetEnvironmentProxy(const std::string& proxy_url);
  static bool ClearEnvironmentProxy();

  // "kwriteconfig5"/"kreadconfig5", or the Plasma 6 tools when KDE_SESSION_VERSION is 6 or when
  // only the 6 tools are on PATH.
  static std::string KdeWriteTool();
  static std::string KdeReadTool();

#ifdef KORVANE_TESTING
  // Forgets the backup and the enable cycle.
  static void ResetForTesting();
#endif

 private:
  // Runs a command (argument vector, no shell; standard output and error discarded when asked);
  // its exit status, or -1 when it did not start or did not exit normally.
  static int Run(const std::vector<std::string>& args, bool quiet = false);
  // Writes the cycle's backup, taken for `port`, to disk, unless the record on disk is that of
  // another running instance; keeps the record's settings when they are the user's own and the
  // desktop still points at our proxy.
  static void RecordBackup(int port);
  // Sets (or with "--delete" deletes) one key of kioslaverc's "Proxy Settings" group.
  static int WriteKdeSetting(const std::string& key, const std::string& value);
  // Tells running KDE programs to read kioslaverc again.
  static void ReparseKdeSettings();
  // The switch-off command of `desktop` and, with `restore_from`, the writes that put those
  // settings back (or nothing more when they are this host's own loopback proxy on `own_port`,
  // any port when 0). 0 on success.
  static int SwitchOff(int desktop, const ProxySettings* restore_from, int own_port);
  static int RestoreGnome(const ProxySettings& settings, int own_port);
  static int RestoreKde(const ProxySettings& settings, int own_port);
  static bool IsOwnGnomeProxy(const ProxySettings& settings, int own_port);
  static bool IsOwnKdeProxy(const ProxySettings& settings, int own_port);

  // The desktop's settings as read before the first change since the last disable.
  static ProxySettings original_settings_;
  // original_settings_ belongs to the current enable cycle.
  static bool settings_backed_up_;
  // The desktop whose fields the cycle's backup read completely; kDesktopOther when none did,
  // and then disable only switches off.
  static int backup_desktop_;
  // The port the current enable cycle pointed the desktop at; 0 outside a cycle.
  static int enabled_port_;
};

#endif  // PLATFORM_DESKTOP_PROXY_PROXY_MANAGER_H_
