// Test-only members; built into korvane_platform_testing, never into the host.
#include "platform/platform_service.h"

void PlatformService::ResetForTesting() {
  tun_fd_ = -1;
  tun_interface_name_.clear();
  original_dns_servers_.clear();
  dns_modified_ = false;
}

const std::vector<std::string>& PlatformService::OriginalDNSServersForTesting() {
  return original_dns_servers_;
}

bool PlatformService::DNSModifiedForTesting() {
  return dns_modified_;
}

void PlatformService::RecordTunForTesting(int fd, const std::string& interface_name) {
  tun_fd_ = fd;
  tun_interface_name_ = interface_name;
}
