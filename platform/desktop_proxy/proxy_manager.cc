// The enable cycle: the backup of the user's settings, its on-disk record, pointing the desktop at
// the local proxy and switching it off again (the writes back are in proxy_manager_restore.cc).
#include "platform/desktop_proxy/proxy_manager.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "base/log.h"
#include "base/logger.h"
#include "platform/command_runner.h"
#include "platform/desktop_proxy/proxy_backup_file.h"

namespace {
constexpr korvane::Logger kLog(korvane::kProxyManagerTag);
}  // namespace

ProxySettings ProxyManager::original_settings_;
bool ProxyManager::settings_backed_up_ = false;
int ProxyManager::backup_desktop_ = ProxyManager::kDesktopOther;
int ProxyManager::enabled_port_ = 0;

namespace {

std::string StripNewlines(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
  return text;
}

bool IsPlainIpAddress(const std::string& host) {
  unsigned char buffer[sizeof(struct in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

bool ProxyManager::EnableSystemProxy(const std::string& host, int port) {
  if (!IsPlainIpAddress(host) || port < 1 || port > 65535) {
    kLog.Error() << "Refusing to enable system proxy: host must be an IP address "
                    "and port 1-65535";
    return false;
  }
  kLog.Error() << "Enabling system proxy: " << host << ":" << port;
  if (!settings_backed_up_) {
    BackupCurrentSettings();
    enabled_port_ = port;
    // The record must be on disk before the desktop changes, so that a crash from here on can
    // be repaired at the next start.
    if (backup_desktop_ != kDesktopOther) {
      RecordBackup(port);
    }
  }
  std::string url_host = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  std::string proxy_url = "http://" + url_host + ":" + std::to_string(port);

  bool ok;
  switch (DetectDesktopEnvironment()) {
    case kDesktopGnome:
      ok = EnableGnomeProxy(proxy_url, port);
      break;
    case kDesktopKde:
      ok = EnableKDEProxy(proxy_url, port);
      break;
    default:
      kLog.Error() << "Unknown desktop environment, proxy configuration not supported";
      ok = SetEnvironmentProxy(proxy_url);
      break;
  }
  if (!ok) {
    kLog.Error() << "Failed to enable system proxy";
    return false;
  }
  kLog.Error() << "System proxy enabled successfully";
  return true;
}

void ProxyManager::RecordBackup(int port) {
  std::optional<ProxyBackupRecord> earlier = ProxyBackupFile::Read();
  if (earlier && ProxyBackupFile::IsRunning(earlier->owner) &&
      !ProxyBackupFile::IsCurrentProcess(earlier->owner)) {
    // Another instance is connected and its record holds the user's own settings: those
    // must come back when that instance stops or dies, so the record stays its own.
    kLog.Error() << "Proxy backup record belongs to a running instance (pid " << earlier->owner.pid
                 << "), keeping it";
  } else {
    bool own =
        earlier && earlier->desktop == backup_desktop_ &&
        (backup_desktop_ == kDesktopGnome ? IsOwnGnomeProxy(original_settings_, earlier->port)
                                          : IsOwnKdeProxy(original_settings_, earlier->port));
    if (own) {
      // A disable that failed left our proxy in place; the record still holds the user's
      // own settings, so keep those rather than back up our own values.
      original_settings_ = earlier->settings;
    }
    ProxyBackupFile::Write(
        {backup_desktop_, original_settings_, ProxyBackupFile::CurrentProcess(), port});
  }
}

void ProxyManager::BackupCurrentSettings() {
  backup_desktop_ = kDesktopOther;
  switch (DetectDesktopEnvironment()) {
    case kDesktopKde:
      BackupKDESettings();
      break;
    case kDesktopGnome:
      BackupGnomeSettings();
      break;
    default:
      break;
  }
  settings_backed_up_ = true;
}

void ProxyManager::BackupGnomeSettings() {
  bool complete = true;
  for (const korvane::ProxyField& field : korvane::kGnomeProxyFields) {
    const std::string setting = field.setting;
    const size_t space = setting.find(' ');
    std::optional<std::string> text = korvane::CommandRunner::Capture(
        {"gsettings", "get", setting.substr(0, space), setting.substr(space + 1)});
    if (!text) {
      kLog.Error() << "Failed to backup GNOME settings";
      return;
    }
    original_settings_.*field.member = StripNewlines(*text);
    // An empty reading (gsettings missing or failing) cannot be written back.
    complete = complete && !(original_settings_.*field.member).empty();
  }
  if (complete) {
    backup_desktop_ = kDesktopGnome;
  }
}

void ProxyManager::BackupKDESettings() {
  const std::string tool = KdeReadTool();
  for (const korvane::ProxyField& field : korvane::kKdeProxyFields) {
    std::optional<std::string> text = korvane::CommandRunner::Capture(
        {tool, "--file", "kioslaverc", "--group", "Proxy Settings", "--key", field.setting});
    if (!text) {
      kLog.Error() << "Failed to backup KDE settings";
      return;
    }
    original_settings_.*field.member = *text;
  }
  backup_desktop_ = kDesktopKde;
}

bool ProxyManager::DisableSystemProxy() {
  kLog.Error() << "Disabling system proxy";
  int desktop = DetectDesktopEnvironment();
  // Only a backup of this cycle, of this desktop, is written back; anything else just switches
  // off.
  bool restore = settings_backed_up_ && backup_desktop_ == desktop && desktop != kDesktopOther;
  const ProxySettings* restore_from = restore ? &original_settings_ : nullptr;
  int own_port = enabled_port_;
  bool remove_record = restore;
  std::optional<ProxyBackupRecord> record;
  if (restore) {
    record = ProxyBackupFile::Read();
  }
  if (record && !ProxyBackupFile::IsCurrentProcess(record->owner)) {
    if (ProxyBackupFile::IsRunning(record->owner)) {
      // Our backup is that instance's proxy, which it still serves; its record stays.
      remove_record = false;
    } else if (record->desktop == desktop) {
      // The instance whose proxy we backed up has died: its record holds the user's own
      // settings.
      restore_from = &record->settings;
      own_port = record->port;
    }
  }
  int status = SwitchOff(desktop, restore_from, own_port);
  settings_backed_up_ = false;
  backup_desktop_ = kDesktopOther;
  enabled_port_ = 0;
  if (status != 0) {
    kLog.Error() << "Failed to disable system proxy";
    return false;
  }
  if (remove_record) {
    ProxyBackupFile::Remove();
  }
  kLog.Error() << "System proxy disabled successfully";
  return true;
}
