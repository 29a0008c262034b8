#include "platform/desktop_proxy/proxy_manager.h"

#include <arpa/inet.h>
#include <glib.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
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

constexpr const char* kNoProxyList = "localhost,127.0.0.1";
constexpr const char* kProxyVariables[] = {"http_proxy", "HTTP_PROXY", "https_proxy",
                                           "HTTPS_PROXY"};
constexpr const char* kNoProxyVariables[] = {"no_proxy", "NO_PROXY"};

// 0 = neither, else the desktop kind named by a desktop variable's value.
int DesktopFromVariable(const char* name) {
  const char* raw = getenv(name);
  if (raw == nullptr) {
    return ProxyManager::kDesktopOther;
  }
  std::string value(raw);
  std::transform(value.begin(), value.end(), value.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (value.find("gnome") != std::string::npos) {
    return ProxyManager::kDesktopGnome;
  }
  if (value.find("kde") != std::string::npos || value.find("plasma") != std::string::npos) {
    return ProxyManager::kDesktopKde;
  }
  return ProxyManager::kDesktopOther;
}

bool OnPath(const char* program) {
  g_autofree char* found = g_find_program_in_path(program);
  return found != nullptr;
}

// Plasma 6 ships only the 6 tools; their command lines are the same.
bool UsePlasma6Tools() {
  const char* version = getenv("KDE_SESSION_VERSION");
  if (version != nullptr && strcmp(version, "6") == 0) {
    return true;
  }
  return !OnPath("kwriteconfig5") && !OnPath("kreadconfig5") && OnPath("kwriteconfig6");
}

std::string StripNewlines(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
  return text;
}

// The host part of "http://HOST:PORT" (HOST bracketed when it is an IPv6 address).
std::string HostFromUrl(const std::string& proxy_url) {
  std::string rest = proxy_url.size() > 7 ? proxy_url.substr(7) : std::string();
  if (!rest.empty() && rest[0] == '[') {
    size_t close = rest.find(']');
    return close == std::string::npos ? rest.substr(1) : rest.substr(1, close - 1);
  }
  return rest.substr(0, rest.find(':'));
}

bool IsPlainIpAddress(const std::string& host) {
  unsigned char buffer[sizeof(struct in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

int ProxyManager::Run(const std::vector<std::string>& args, bool quiet) {
  korvane::CommandOptions options;
  options.discard_output = quiet;
  options.discard_errors = quiet;
  return korvane::CommandRunner::Run(args[0], args, options).status;
}

int ProxyManager::WriteKdeSetting(const std::string& key, const std::string& value) {
  return Run(
      {KdeWriteTool(), "--file", "kioslaverc", "--group", "Proxy Settings", "--key", key, value});
}

void ProxyManager::ReparseKdeSettings() {
  Run({"dbus-send", "--type=signal", "/KIO/Scheduler",
       "org.kde.KIO.Scheduler.reparseSlaveConfiguration", "string:"});
}

std::string ProxyManager::KdeWriteTool() {
  return UsePlasma6Tools() ? "kwriteconfig6" : "kwriteconfig5";
}

std::string ProxyManager::KdeReadTool() {
  return UsePlasma6Tools() ? "kreadconfig6" : "kreadconfig5";
}

int ProxyManager::DetectDesktopEnvironment() {
  for (const char* variable : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION"}) {
    int desktop = DesktopFromVariable(variable);
    if (desktop != kDesktopOther) {
      return desktop;
    }
  }
  if (Run({"pgrep", "gnome-shell"}, true) == 0) {
    return kDesktopGnome;
  }
  if (Run({"pgrep", "plasmashell"}, true) == 0) {
    return kDesktopKde;
  }
  return kDesktopOther;
}

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

bool ProxyManager::EnableGnomeProxy(const std::string& proxy_url, int port) {
  std::string host = HostFromUrl(proxy_url);
  std::string port_text = std::to_string(port);
  struct Step {
    const char* note;  // printed before the command when set
    std::vector<std::string> args;
  };
  const Step steps[] = {
      {nullptr, {"gsettings", "set", "org.gnome.system.proxy", "mode", "manual"}},
      {"Setting GNOME HTTP proxy host: ",
       {"gsettings", "set", "org.gnome.system.proxy.http", "host", host}},
      {"Setting GNOME HTTP proxy port: ",
       {"gsettings", "set", "org.gnome.system.proxy.http", "port", port_text}},
      {nullptr, {"gsettings", "set", "org.gnome.system.proxy.https", "host", host}},
      {nullptr, {"gsettings", "set", "org.gnome.system.proxy.https", "port", port_text}},
      {nullptr, {"gsettings", "set", "org.gnome.system.proxy.socks", "host", host}},
      {nullptr, {"gsettings", "set", "org.gnome.system.proxy.socks", "port", port_text}},
  };
  for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i) {
    if (steps[i].note != nullptr) {
      kLog.Error() << steps[i].note << (i == 1 ? host : port_text);
    }
    if (Run(steps[i].args) != 0) {
      return false;
    }
  }
  Run({"gsettings", "set", "org.gnome.system.proxy", "ignore-hosts",
       "['localhost', '127.0.0.0/8', '::1']"});
  return true;
}

bool ProxyManager::EnableKDEProxy(const std::string& proxy_url, int port) {
  std::string host = HostFromUrl(proxy_url);
  std::string value = host + " " + std::to_string(port);
  if (WriteKdeSetting("ProxyType", "1") != 0) {
    return false;
  }
  kLog.Error() << "Setting KDE proxy: " << value;
  for (const char* key : {"httpProxy", "httpsProxy", "socksProxy"}) {
    if (WriteKdeSetting(key, value) != 0) {
      return false;
    }
  }
  WriteKdeSetting("NoProxyFor", kNoProxyList);
  ReparseKdeSettings();
  return true;
}

bool ProxyManager::SetEnvironmentProxy(const std::string& proxy_url) {
  for (const char* name : kProxyVariables) {
    setenv(name, proxy_url.c_str(), 1);
  }
  for (const char* name : kNoProxyVariables) {
    setenv(name, kNoProxyList, 1);
  }
  return true;
}

bool ProxyManager::ClearEnvironmentProxy() {
  for (const char* name : kProxyVariables) {
    unsetenv(name);
  }
  for (const char* name : kNoProxyVariables) {
    unsetenv(name);
  }
  return true;
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
