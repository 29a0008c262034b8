// The state of the network work (the resolver and the TUN device): its start, its clean-up and
// the callback table handed to an engine binding that takes platform callbacks.
#include <stdlib.h>
#include <string.h>

#include "base/log.h"
#include "base/logger.h"
#include "platform/platform_service.h"

namespace {
constexpr korvane::Logger kLog(korvane::kLibboxCallbackTag);
}  // namespace

PlatformInterface PlatformService::platform_interface_ = {
    &PlatformService::PlatformOpenTun,       &PlatformService::PlatformCloseTun,
    &PlatformService::PlatformProtectSocket, &PlatformService::PlatformGetInterfaces,
    &PlatformService::PlatformClearDNSCache, &PlatformService::PlatformLogMessage,
};
int PlatformService::tun_fd_ = -1;
std::string PlatformService::tun_interface_name_;
std::vector<std::string> PlatformService::original_dns_servers_;
bool PlatformService::dns_modified_ = false;

void PlatformService::Initialize() {
  // Recovery first, so the servers noted are the restored ones, not those of the crashed run.
  RecoverDNSIfNeeded();
  original_dns_servers_ = GetCurrentDNSServers();
  dns_modified_ = false;
  tun_fd_ = -1;
  tun_interface_name_.clear();
}

void PlatformService::Cleanup() {
  if (dns_modified_) {
    RestoreSystemDNS();
  }
  if (tun_fd_ >= 0) {
    CloseTun(tun_fd_);
  }
}

PlatformInterface* PlatformService::GetPlatformInterface() {
  return &platform_interface_;
}

int PlatformService::PlatformOpenTun(const char* name, int mtu) {
  kLog.Info() << std::string("PlatformOpenTun called with name='") + (name ? name : "null") +
                     "', mtu=" + std::to_string(mtu);
  int result = OpenTun(name, mtu);
  kLog.Info() << "PlatformOpenTun returning " + std::to_string(result);
  return result;
}

void PlatformService::PlatformCloseTun(int fd) {
  CloseTun(fd);
}

int PlatformService::PlatformProtectSocket(int fd) {
  kLog.Info() << "PlatformProtectSocket called with fd=" + std::to_string(fd);
  int result = ProtectSocket(fd);
  kLog.Info() << "PlatformProtectSocket returning " + std::to_string(result);
  return result;
}

char* PlatformService::PlatformGetInterfaces() {
  std::string names = GetInterfaces();
  char* copy = static_cast<char*>(malloc(names.size() + 1));
  if (copy != nullptr) {
    memcpy(copy, names.c_str(), names.size() + 1);
  }
  return copy;
}

void PlatformService::PlatformClearDNSCache() {
  ClearDNSCache();
}

void PlatformService::PlatformLogMessage(const char* tag, const char* message) {
  LogMessage(tag, message);
}
