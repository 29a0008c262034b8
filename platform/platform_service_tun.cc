#include <ifaddrs.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "base/log.h"
#include "platform/platform_service.h"

void PlatformService::CloseTun(int fd) {
  if (fd >= 0) {
    close(fd);
    if (fd == tun_fd_) {
      tun_fd_ = -1;
    }
  }
  if (tun_interface_name_.empty()) {
    return;
  }
  // Cleared before the command runs, so a second call does nothing more. The recorded name, not
  // `fd`, decides which interface goes.
  std::string name;
  name.swap(tun_interface_name_);
  if (RunCommand("ip", {"ip", "link", "delete", name}) == 0) {
    korvane::LogOut() << "TUN interface " + name + " deleted";
  } else {
    korvane::LogErr() << "Failed to delete TUN interface " + name + " (may already be gone)";
  }
}

std::vector<std::string> PlatformService::ListNetworkInterfaces() {
  std::vector<std::string> names;
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    return names;
  }
  for (struct ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr) {
      continue;
    }
    int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) {
      continue;
    }
    if (std::find(names.begin(), names.end(), entry->ifa_name) == names.end()) {
      names.emplace_back(entry->ifa_name);
    }
  }
  freeifaddrs(list);
  return names;
}

std::string PlatformService::GetInterfaces() {
  std::string joined;
  for (const std::string& name : ListNetworkInterfaces()) {
    if (!joined.empty()) {
      joined += ",";
    }
    joined += name;
  }
  return joined;
}
