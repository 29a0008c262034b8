// Test-only hooks of PlatformService, linked into test binaries only.

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

#include "platform/elevated_helper.h"

void ElevatedHelper::SetWaitRoundsForTesting(int wait_rounds,
                                             int term_reap_rounds,
                                             int kill_reap_rounds) {
  wait_rounds_ = wait_rounds;
  term_reap_rounds_ = term_reap_rounds;
  kill_reap_rounds_ = kill_reap_rounds;
}

void ElevatedHelper::ResetForTesting() {
  wait_rounds_ = 1800;
  term_reap_rounds_ = 20;
  kill_reap_rounds_ = 10;
}
