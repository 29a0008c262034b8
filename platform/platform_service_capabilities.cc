// Whether the process may configure the network now, and whether a file carries the network
// capability. Nothing is cached: every call asks the kernel again. Any thread.

#include <sys/capability.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/log.h"
#include "platform/platform_service.h"

bool PlatformService::HasNetworkCapabilities() {
  const uid_t uid = geteuid();
  const bool root = uid == 0;
  korvane::LogOut() << "[PlatformService] Checking network capabilities...";
  korvane::LogOut() << "[PlatformService] Running as UID: " << uid
                    << (root ? " (root)" : " (non-root)");

  cap_t caps = cap_get_proc();
  if (caps == nullptr) {
    const int error = errno;
    korvane::LogErr() << "[PlatformService] Failed to get process capabilities: "
                      << korvane::ErrnoText(error);
    korvane::LogOut() << "[PlatformService] Capability check: "
                      << (root ? "allowed (root user)" : "denied (non-root, no caps)");
    return root;
  }

  bool result = root;
  cap_flag_value_t effective = CAP_CLEAR;
  if (cap_get_flag(caps, CAP_NET_ADMIN, CAP_EFFECTIVE, &effective) != 0) {
    const int error = errno;
    korvane::LogErr() << "[PlatformService] Failed to query CAP_NET_ADMIN: "
                      << korvane::ErrnoText(error);
  } else {
    korvane::LogOut() << "[PlatformService] CAP_NET_ADMIN effective: "
                      << (effective == CAP_SET ? "YES" : "NO");
    result = root || effective == CAP_SET;
  }
  cap_free(caps);
  korvane::LogOut() << "[PlatformService] Final capability check result: "
                    << (result ? "ALLOWED" : "DENIED");
  return result;
}

bool PlatformService::FileHasNetAdminCapability(const std::string& path) {
  cap_t caps = cap_get_file(path.c_str());
  if (caps == nullptr) {
    return false;
  }
  cap_flag_value_t permitted = CAP_CLEAR;
  cap_flag_value_t effective = CAP_CLEAR;
  const int permitted_status = cap_get_flag(caps, CAP_NET_ADMIN, CAP_PERMITTED, &permitted);
  const int effective_status = cap_get_flag(caps, CAP_NET_ADMIN, CAP_EFFECTIVE, &effective);
  cap_free(caps);
  if (permitted_status != 0) {
    return false;
  }
  return effective_status == 0 && permitted == CAP_SET && effective == CAP_SET;
}

bool PlatformService::CheckCapability(const std::string& name) {
  if (name != "CAP_NET_ADMIN") {
    return false;
  }
  return HasNetworkCapabilities();
}
