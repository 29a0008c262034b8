// Switching the desktop proxy off, writing the user's own settings back, and repairing a
// desktop that a crashed run left pointing at its dead proxy.
#include <iostream>
#include <optional>
#include <string>

#include "platform/proxy_backup_file.h"
#include "platform/proxy_manager.h"

namespace {

// What EnableGnomeProxy and EnableKDEProxy write.
constexpr const char* kLoopbackHost = "127.0.0.1";

// kreadconfig prints the value followed by a newline.
std::string WithoutTrailingNewline(std::string text) {
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
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
    std::cerr << "[ProxyManager] Saved GNOME proxy settings point at this host, leaving the "
                 "proxy off"
              << std::endl;
    return 0;
  }
  // The mode goes last, so that a failure half-way leaves the proxy off.
  const std::pair<const char*, const std::string*> writes[] = {
      {"org.gnome.system.proxy.http host", &settings.gnome_http_host},
      {"org.gnome.system.proxy.http port", &settings.gnome_http_port},
      {"org.gnome.system.proxy.https host", &settings.gnome_https_host},
      {"org.gnome.system.proxy.https port", &settings.gnome_https_port},
      {"org.gnome.system.proxy.socks host", &settings.gnome_socks_host},
      {"org.gnome.system.proxy.socks port", &settings.gnome_socks_port},
      {"org.gnome.system.proxy ignore-hosts", &settings.gnome_ignore_hosts},
      {"org.gnome.system.proxy mode", &settings.gnome_mode},
  };
  for (const auto& write : writes) {
    int status = RunShell(std::string("gsettings set ") + write.first + " " +
                          ShellQuoteValue(*write.second));
    if (status != 0) {
      return status;
    }
  }
  std::cerr << "[ProxyManager] Restored the previous GNOME proxy settings" << std::endl;
  return 0;
}

int ProxyManager::RestoreKde(const ProxySettings& settings, int own_port) {
  if (IsOwnKdeProxy(settings, own_port)) {
    std::cerr << "[ProxyManager] Saved KDE proxy settings point at this host, leaving the proxy "
                 "off"
              << std::endl;
    return 0;
  }
  std::string prefix =
      ProxyManager::KdeWriteTool() + " --file kioslaverc --group 'Proxy Settings' --key ";
  // ProxyType goes last, so that a failure half-way leaves the proxy off. A key that read empty
  // was absent (or empty): deleting it leaves kioslaverc reading as before.
  const std::pair<const char*, const std::string*> writes[] = {
      {"httpProxy", &settings.kde_http_proxy},   {"httpsProxy", &settings.kde_https_proxy},
      {"socksProxy", &settings.kde_socks_proxy}, {"NoProxyFor", &settings.kde_no_proxy_for},
      {"ProxyType", &settings.kde_proxy_type},
  };
  for (const auto& write : writes) {
    std::string value = WithoutTrailingNewline(*write.second);
    std::string command = prefix + write.first + " " +
                          (value.empty() ? std::string("--delete") : ShellQuoteValue(value));
    int status = RunShell(command);
    if (status != 0) {
      return status;
    }
  }
  std::cerr << "[ProxyManager] Restored the previous KDE proxy settings" << std::endl;
  return 0;
}

int ProxyManager::SwitchOff(int desktop, const ProxySettings* restore_from, int own_port) {
  int status = 0;
  switch (desktop) {
    case kDesktopGnome:
      status = RunShell("gsettings set org.gnome.system.proxy mode 'none'");
      if (status == 0 && restore_from != nullptr) {
        status = RestoreGnome(*restore_from, own_port);
      }
      break;
    case kDesktopKde:
      status = RunShell(ProxyManager::KdeWriteTool() +
                        " --file kioslaverc --group 'Proxy Settings' --key ProxyType 0");
      if (status == 0 && restore_from != nullptr) {
        status = RestoreKde(*restore_from, own_port);
      }
      RunShell(kKdeReparseCommand);
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
    std::cerr << "[ProxyManager] The system proxy belongs to a running instance (pid "
              << record->owner.pid << "), leaving it" << std::endl;
    return true;
  }
  std::cerr << "[ProxyManager] An earlier run left the system proxy set, repairing it" << std::endl;
  int status;
  if (record) {
    status = SwitchOff(record->desktop, &record->settings, record->port);
  } else {
    std::cerr << "[ProxyManager] Proxy backup record unreadable, switching the system proxy off"
              << std::endl;
    int desktop = DetectDesktopEnvironment();
    // The environment proxy died with the earlier process; only a desktop needs switching off.
    status = desktop == kDesktopOther ? 0 : SwitchOff(desktop, nullptr, 0);
  }
  if (status != 0) {
    std::cerr << "[ProxyManager] Failed to repair the system proxy" << std::endl;
    return false;
  }
  if (!ProxyBackupFile::Remove()) {
    return false;
  }
  std::cerr << "[ProxyManager] System proxy repaired" << std::endl;
  return true;
}
