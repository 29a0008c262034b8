#include "platform/desktop_proxy/desktop_proxy_change.h"

#include "platform/desktop_proxy/proxy_manager.h"

std::unique_ptr<DesktopProxyChange> DesktopProxyChange::Apply(const std::string& host,
                                                              int port,
                                                              bool* enabled) {
  *enabled = ProxyManager::EnableSystemProxy(host, port);
  return std::unique_ptr<DesktopProxyChange>(new DesktopProxyChange());
}

DesktopProxyChange::~DesktopProxyChange() {
  if (!restored_) {
    ProxyManager::DisableSystemProxy();
  }
}

bool DesktopProxyChange::Restore() {
  restored_ = true;
  return ProxyManager::DisableSystemProxy();
}
