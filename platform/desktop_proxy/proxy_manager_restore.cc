// Switching the desktop proxy off, writing the user's own settings back, and repairing a
// desktop that a crashed run left pointing at its dead proxy.
#include <optional>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/logger.h"
#include "platform/desktop_proxy/proxy_backup_file.h"
#include "platform/desktop_proxy/proxy_manager.h"

namespace {

constexpr korvane::Logger kLog(korvane::kProxyManagerTag);

// What EnableGnomeProxy and EnableKDEProxy write.
constexpr const char* kLoopbackHost = "127.0.0.1";

// kreadconfig prints the value followed by a newline.
std::string WithoutTrailingNewline(std::string text) {
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
}

// The first field of each desktop is its switch; a restore writes it last.
std::vector<korvane::ProxyField> InRestoreOrder(korvane::ProxyFieldList fields) {
  std::vector<korvane::ProxyField> ordered(fields.begin() + 1, fields.end());
  ordered.push_back(*fields.begin());
  return ordered;
}

}  // namespace

bool ProxyManager::IsOwnGnomeProxy(const ProxySettings& settings, int own_port) {
  return settings.gnome_mode == "'manual'" &&
         settings.gnome_http_host == std::string("'") + kLoopbackHost + "'" &&
         (own_port == 0 || settings.gnome_http_port == std::to_string(own_port));
}

bool ProxyManager::IsOwnKdeProxy(const ProxySettings& settings, int own_port) {
  const std::string prefix = std::string(kLoopbackHost) + " ";
  return WithoutTrailingNewline(settings.kde_proxy_type) == "1" &&
         (own_port == 0 ? settings.kde_http_proxy.rfind(prefix, 0) == 0
                        : WithoutTrailingNewline(settings.kde_http_proxy) ==
                              prefix + std::to_string(own_port));
}

int ProxyManager::RestoreGnome(const ProxySettings& settings, int own_port) {
  if (IsOwnGnomeProxy(settings, own_port)) {
    kLog.Error() << "Saved GNOME proxy settings point at this host, leaving the "
                    "proxy off";
    return 0;
  }
  // The mode goes last, so that a failure half-way leaves the proxy off.
  for (const korvane::ProxyField& field : InRestoreOrder(korvane::ProxyFieldsOf(kDesktopGnome))) {
    const std::string setting = field.setting;
    const size_t space = setting.find(' ');
    int status = Run({"gsettings", "set", setting.substr(0, space), setting.substr(space + 1),
                      settings.*field.member});
    if (status != 0) {
      return status;
    }
  }
  kLog.Error() << "Restored the previous GNOME proxy settings";
  return 0;
}

int ProxyManager::RestoreKde(const ProxySettings& settings, int own_port) {
  if (IsOwnKdeProxy(settings, own_port)) {
    kLog.Error() << "Saved KDE proxy settings point at this host, leaving the proxy "
                    "off";
    return 0;
  }
  // ProxyType goes last, so that a failure half-way leaves the proxy off. A key that read empty
  // was absent (or empty): deleting it leaves kioslaverc reading as before.
  for (const korvane::ProxyField& field : InRestoreOrder(korvane::ProxyFieldsOf(kDesktopKde))) {
    std::string value = WithoutTrailingNewline(settings.*field.member);
    int status = WriteKdeSetting(field.setting, value.empty() ? std::string("--delete") : value);
    if (status != 0) {
      return status;
    }
  }
  kLog.Error() << "Restored the previous KDE proxy settings";
  return 0;
}

int ProxyManager::SwitchOff(int desktop, const ProxySettings* restore_from, int own_port) {
  int status = 0;
  switch (desktop) {
    case kDesktopGnome:
      status = Run({"gsettings", "set", "org.gnome.system.proxy", "mode", "none"});
      if (status == 0 && restore_from != nullptr) {
        status = RestoreGnome(*restore_from, own_port);
      }
      break;
    case kDesktopKde:
      status = WriteKdeSetting("ProxyType", "0");
      if (status == 0 && restore_from != nullptr) {
        status = RestoreKde(*restore_from, own_port);
      }
      ReparseKdeSettings();
      break;
    default:
      ClearEnvironmentProxy();
      break;
  }
  return status;
}

bool ProxyManager::RepairAfterCrash() {
  if (!ProxyBackupFile::Exists()) {
    return true;
  }
  std::optional<ProxyBackupRecord> record = ProxyBackupFile::Read();
  // Every launch is a process of its own: the proxy of an instance that is still connected is
  // not ours to repair.
  if (record && ProxyBackupFile::IsRunning(record->owner)) {
    kLog.Error() << "The system proxy belongs to a running instance (pid " << record->owner.pid
                 << "), leaving it";
    return true;
  }
  kLog.Error() << "An earlier run left the system proxy set, repairing it";
  int status;
  if (record) {
    status = SwitchOff(record->desktop, &record->settings, record->port);
  } else {
    kLog.Error() << "Proxy backup record unreadable, switching the system proxy off";
    int desktop = DetectDesktopEnvironment();
    // The environment proxy died with the earlier process; only a desktop needs switching off.
    status = desktop == kDesktopOther ? 0 : SwitchOff(desktop, nullptr, 0);
  }
  if (status != 0) {
    kLog.Error() << "Failed to repair the system proxy";
    return false;
  }
  if (!ProxyBackupFile::Remove()) {
    return false;
  }
  kLog.Error() << "System proxy repaired";
  return true;
}
