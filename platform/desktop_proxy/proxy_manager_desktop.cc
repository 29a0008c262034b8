// The desktop's own commands and settings: which desktop runs, the tools that write its proxy
// settings, and pointing GNOME, KDE Plasma or the environment at a proxy. The enable cycle
// (proxy_manager.cc) and the restore and repair (proxy_manager_restore.cc) build on these; this
// file calls neither.
#include <glib.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/logger.h"
#include "platform/command_runner.h"
#include "platform/desktop_proxy/proxy_manager.h"

namespace {

constexpr korvane::Logger kLog(korvane::kProxyManagerTag);

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

// The host part of "http://HOST:PORT" (HOST bracketed when it is an IPv6 address).
std::string HostFromUrl(const std::string& proxy_url) {
  std::string rest = proxy_url.size() > 7 ? proxy_url.substr(7) : std::string();
  if (!rest.empty() && rest[0] == '[') {
    size_t close = rest.find(']');
    return close == std::string::npos ? rest.substr(1) : rest.substr(1, close - 1);
  }
  return rest.substr(0, rest.find(':'));
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
