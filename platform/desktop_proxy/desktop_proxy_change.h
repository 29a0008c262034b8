#ifndef PLATFORM_DESKTOP_PROXY_DESKTOP_PROXY_CHANGE_H_
#define PLATFORM_DESKTOP_PROXY_DESKTOP_PROXY_CHANGE_H_

#include <memory>
#include <string>

// The desktop pointed at this host's local proxy for one connection. Restore, or the destructor
// when Restore was not called, switches the proxy off and writes the user's own settings back
// (ProxyManager::DisableSystemProxy). Main thread only, as ProxyManager.
class DesktopProxyChange {
 public:
  // Points the desktop at `host`:`port` (ProxyManager::EnableSystemProxy); `*enabled` says
  // whether that succeeded. The holder comes back either way: a failed enable may have changed
  // part of the desktop, and its backup is taken.
  static std::unique_ptr<DesktopProxyChange> Apply(const std::string& host,
                                                   int port,
                                                   bool* enabled);

  ~DesktopProxyChange();
  DesktopProxyChange(const DesktopProxyChange&) = delete;
  DesktopProxyChange& operator=(const DesktopProxyChange&) = delete;

  // Undoes the change now; true when the proxy is off and the user's settings are back. The
  // destructor then does nothing more.
  bool Restore();

 private:
  DesktopProxyChange() = default;

  bool restored_ = false;
};

#endif  // PLATFORM_DESKTOP_PROXY_DESKTOP_PROXY_CHANGE_H_
