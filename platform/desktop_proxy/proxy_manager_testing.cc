// Test-only members; built into korvane_platform_testing, never into the host.
#include "platform/desktop_proxy/proxy_manager.h"

void ProxyManager::ResetForTesting() {
  original_settings_ = ProxySettings();
  settings_backed_up_ = false;
  backup_desktop_ = kDesktopOther;
  enabled_port_ = 0;
}
