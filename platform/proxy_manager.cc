#include "platform/proxy_manager.h"

#include <arpa/inet.h>
#include <glib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>

#include "platform/proxy_backup_file.h"

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

std::string KdeSetPrefix() {
  return ProxyManager::KdeWriteTool() + " --file kioslaverc --group 'Proxy Settings' --key ";
}

}  // namespace

std::string exec(const char* command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command, "r"), pclose);
  if (!pipe) {
    throw std::runtime_error("popen() failed!");
  }
  std::string result;
  char buffer[128];
  while (fgets(buffer, sizeof(buffer), pipe.get()) != nullptr) {
    result += buffer;
  }
  return result;
}

int ProxyManager::RunShell(const std::string& command) {
  int status = system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

std::string ProxyManager::ShellQuoteValue(const std::string& value) {
  std::string out = "'";
  for (char c : value) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
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
  if (RunShell("pgrep gnome-shell > /dev/null 2>&1") == 0) {
    return kDesktopGnome;
  }
  if (RunShell("pgrep plasmashell > /dev/null 2>&1") == 0) {
    return kDesktopKde;
  }
  return kDesktopOther;
}

bool ProxyManager::EnableSystemProxy(const std::string& host, int port) {
  if (!IsPlainIpAddress(host) || port < 1 || port > 65535) {
    std::cerr << "[ProxyManager] Refusing to enable system proxy: host must be an IP address "
                 "and port 1-65535"
              << std::endl;
    return false;
  }
  std::cerr << "[ProxyManager] Enabling system proxy: " << host << ":" << port << std::endl;
  if (!settings_backed_up_) {
    BackupCurrentSettings();
    enabled_port_ = port;
    // The record must be on disk before the desktop changes, so that a crash from here on can
    // be repaired at the next start.
    if (backup_desktop_ != kDesktopOther) {
      std::optional<ProxyBackupRecord> earlier = ProxyBackupFile::Read();
      if (earlier && ProxyBackupFile::IsRunning(earlier->owner) &&
          !ProxyBackupFile::IsCurrentProcess(earlier->owner)) {
        // Another instance is connected and its record holds the user's own settings: those
        // must come back when that instance stops or dies, so the record stays its own.
        std::cerr << "[ProxyManager] Proxy backup record belongs to a running instance (pid "
                  << earlier->owner.pid << "), keeping it" << std::endl;
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
      std::cerr << "[ProxyManager] Unknown desktop environment, proxy configuration not supported"
                << std::endl;
      ok = SetEnvironmentProxy(proxy_url);
      break;
  }
  if (!ok) {
    std::cerr << "[ProxyManager] Failed to enable system proxy" << std::endl;
    return false;
  }
  std::cerr << "[ProxyManager] System proxy enabled successfully" << std::endl;
  return true;
}

bool ProxyManager::EnableGnomeProxy(const std::string& proxy_url, int port) {
  std::string host = HostFromUrl(proxy_url);
  std::string port_text = std::to_string(port);
  struct Step {
    const char* note;  // printed before the command when set
    std::string command;
  };
  const Step steps[] = {
      {nullptr, "gsettings set org.gnome.system.proxy mode 'manual'"},
      {"[ProxyManager] Setting GNOME HTTP proxy host: ",
       "gsettings set org.gnome.system.proxy.http host '" + host + "'"},
      {"[ProxyManager] Setting GNOME HTTP proxy port: ",
       "gsettings set org.gnome.system.proxy.http port " + port_text},
      {nullptr, "gsettings set org.gnome.system.proxy.https host '" + host + "'"},
      {nullptr, "gsettings set org.gnome.system.proxy.https port " + port_text},
      {nullptr, "gsettings set org.gnome.system.proxy.socks host '" + host + "'"},
      {nullptr, "gsettings set org.gnome.system.proxy.socks port " + port_text},
  };
  for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i) {
    if (steps[i].note != nullptr) {
      std::cerr << steps[i].note << (i == 1 ? host : port_text) << std::endl;
    }
    if (RunShell(steps[i].command) != 0) {
      return false;
    }
  }
  RunShell(
      "gsettings set org.gnome.system.proxy ignore-hosts \"['localhost', '127.0.0.0/8', "
      "'::1']\"");
  return true;
}

bool ProxyManager::EnableKDEProxy(const std::string& proxy_url, int port) {
  std::string host = HostFromUrl(proxy_url);
  std::string value = host + " " + std::to_string(port);
  std::string prefix = KdeSetPrefix();
  if (RunShell(prefix + "ProxyType 1") != 0) {
    return false;
  }
  std::cerr << "[ProxyManager] Setting KDE proxy: " << value << std::endl;
  for (const char* key : {"httpProxy", "httpsProxy", "socksProxy"}) {
    if (RunShell(prefix + key + " '" + value + "'") != 0) {
      return false;
    }
  }
  RunShell(prefix + "NoProxyFor '" + kNoProxyList + "'");
  RunShell(kKdeReparseCommand);
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
  struct Read {
    const char* command;
    std::string ProxySettings::*field;
  };
  static const Read reads[] = {
      {"gsettings get org.gnome.system.proxy mode", &ProxySettings::gnome_mode},
      {"gsettings get org.gnome.system.proxy.http host", &ProxySettings::gnome_http_host},
      {"gsettings get org.gnome.system.proxy.http port", &ProxySettings::gnome_http_port},
      {"gsettings get org.gnome.system.proxy.https host", &ProxySettings::gnome_https_host},
      {"gsettings get org.gnome.system.proxy.https port", &ProxySettings::gnome_https_port},
      {"gsettings get org.gnome.system.proxy.socks host", &ProxySettings::gnome_socks_host},
      {"gsettings get org.gnome.system.proxy.socks port", &ProxySettings::gnome_socks_port},
      {"gsettings get org.gnome.system.proxy ignore-hosts", &ProxySettings::gnome_ignore_hosts},
  };
  bool complete = true;
  try {
    for (const Read& read : reads) {
      original_settings_.*read.field = StripNewlines(exec(read.command));
      // An empty reading (gsettings missing or failing) cannot be written back.
      complete = complete && !(original_settings_.*read.field).empty();
    }
  } catch (const std::runtime_error&) {
    std::cerr << "[ProxyManager] Failed to backup GNOME settings" << std::endl;
    return;
  }
  if (complete) {
    backup_desktop_ = kDesktopGnome;
  }
}

void ProxyManager::BackupKDESettings() {
  std::string prefix = KdeReadTool() + " --file kioslaverc --group 'Proxy Settings' --key ";
  struct Read {
    const char* key;
    std::string ProxySettings::*field;
  };
  static const Read reads[] = {
      {"ProxyType", &ProxySettings::kde_proxy_type},
      {"httpProxy", &ProxySettings::kde_http_proxy},
      {"httpsProxy", &ProxySettings::kde_https_proxy},
      {"socksProxy", &ProxySettings::kde_socks_proxy},
      {"NoProxyFor", &ProxySettings::kde_no_proxy_for},
  };
  try {
    for (const Read& read : reads) {
      original_settings_.*read.field = exec((prefix + read.key).c_str());
    }
  } catch (const std::runtime_error&) {
    std::cerr << "[ProxyManager] Failed to backup KDE settings" << std::endl;
    return;
  }
  backup_desktop_ = kDesktopKde;
}

bool ProxyManager::DisableSystemProxy() {
  std::cerr << "[ProxyManager] Disabling system proxy" << std::endl;
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
    std::cerr << "[ProxyManager] Failed to disable system proxy" << std::endl;
    return false;
  }
  if (remove_record) {
    ProxyBackupFile::Remove();
  }
  std::cerr << "[ProxyManager] System proxy disabled successfully" << std::endl;
  return true;
}
