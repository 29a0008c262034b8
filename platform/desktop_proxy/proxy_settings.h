#ifndef PLATFORM_DESKTOP_PROXY_PROXY_SETTINGS_H_
#define PLATFORM_DESKTOP_PROXY_PROXY_SETTINGS_H_

#include <cstddef>
#include <iterator>
#include <string>

// What the desktop proxy work and its on-disk backup share: the desktop kinds, the settings as
// read, and the one list of the settings' fields. Any thread.

// The desktop's proxy settings as the read commands printed them. GNOME fields hold
// `gsettings get` output without newlines (GVariant text such as 'manual', 8080 or a list);
// KDE fields hold `kreadconfig5` output unchanged, trailing newline included.
struct ProxySettings {
  std::string gnome_mode;
  std::string gnome_http_host;
  std::string gnome_http_port;
  std::string gnome_https_host;
  std::string gnome_https_port;
  std::string gnome_socks_host;
  std::string gnome_socks_port;
  std::string gnome_ignore_hosts;
  std::string kde_proxy_type;
  std::string kde_http_proxy;
  std::string kde_https_proxy;
  std::string kde_socks_proxy;
  std::string kde_no_proxy_for;
};

namespace korvane {

// Desktop kinds (ProxyManager::DetectDesktopEnvironment).
inline constexpr int kDesktopOther = 0;
inline constexpr int kDesktopGnome = 1;
inline constexpr int kDesktopKde = 2;

// One field of ProxySettings: its name in the backup record, where the desktop keeps it (GNOME:
// "schema key" for gsettings; KDE: the key of kioslaverc's "Proxy Settings" group) and its member.
struct ProxyField {
  const char* record_name;
  const char* setting;
  std::string ProxySettings::*member;
};

// In the order they are read and recorded. The first field of each desktop is its switch (the
// mode, the proxy type): a restore writes it last, so that a failure half-way leaves the proxy
// off.
inline constexpr ProxyField kGnomeProxyFields[] = {
    {"gnome_mode", "org.gnome.system.proxy mode", &ProxySettings::gnome_mode},
    {"gnome_http_host", "org.gnome.system.proxy.http host", &ProxySettings::gnome_http_host},
    {"gnome_http_port", "org.gnome.system.proxy.http port", &ProxySettings::gnome_http_port},
    {"gnome_https_host", "org.gnome.system.proxy.https host", &ProxySettings::gnome_https_host},
    {"gnome_https_port", "org.gnome.system.proxy.https port", &ProxySettings::gnome_https_port},
    {"gnome_socks_host", "org.gnome.system.proxy.socks host", &ProxySettings::gnome_socks_host},
    {"gnome_socks_port", "org.gnome.system.proxy.socks port", &ProxySettings::gnome_socks_port},
    {"gnome_ignore_hosts", "org.gnome.system.proxy ignore-hosts",
     &ProxySettings::gnome_ignore_hosts},
};
inline constexpr ProxyField kKdeProxyFields[] = {
    {"kde_proxy_type", "ProxyType", &ProxySettings::kde_proxy_type},
    {"kde_http_proxy", "httpProxy", &ProxySettings::kde_http_proxy},
    {"kde_https_proxy", "httpsProxy", &ProxySettings::kde_https_proxy},
    {"kde_socks_proxy", "socksProxy", &ProxySettings::kde_socks_proxy},
    {"kde_no_proxy_for", "NoProxyFor", &ProxySettings::kde_no_proxy_for},
};

// The fields of `desktop` (kDesktopKde, else GNOME's), for range-for.
struct ProxyFieldList {
  const ProxyField* first;
  const ProxyField* last;
  const ProxyField* begin() const { return first; }
  const ProxyField* end() const { return last; }
  size_t size() const { return static_cast<size_t>(last - first); }
};
inline ProxyFieldList ProxyFieldsOf(int desktop) {
  if (desktop == kDesktopKde) {
    return {std::begin(kKdeProxyFields), std::end(kKdeProxyFields)};
  }
  return {std::begin(kGnomeProxyFields), std::end(kGnomeProxyFields)};
}

}  // namespace korvane

#endif  // PLATFORM_DESKTOP_PROXY_PROXY_SETTINGS_H_
