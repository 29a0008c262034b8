// Whether the process may configure the network now, and whether a file carries the network
// capability. Nothing is cached: every call asks the kernel again. Any thread.

#include <sys/capability.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/log.h"
#include "base/logger.h"
#include "platform/platform_service.h"
#include "platform/privileges/file_capability.h"

namespace {
constexpr korvane::Logger kLog(korvane::kPlatformServiceTag);
}  // namespace

bool PlatformService::HasNetworkCapabilities() {
  const uid_t uid = geteuid();
  const bool root = uid == 0;
  kLog.Info() << "Checking network capabilities...";
  kLog.Info() << "Running as UID: " << uid << (root ? " (root)" : " (non-root)");

  cap_t caps = cap_get_proc();
  if (caps == nullptr) {
    const int error = errno;
    kLog.Error() << "Failed to get process capabilities: " << korvane::ErrnoText(error);
    kLog.Info() << "Capability check: "
                << (root ? "allowed (root user)" : "denied (non-root, no caps)");
    return root;
  }

  bool result = root;
  cap_flag_value_t effective = CAP_CLEAR;
  if (cap_get_flag(caps, CAP_NET_ADMIN, CAP_EFFECTIVE, &effective) != 0) {
    const int error = errno;
    kLog.Error() << "Failed to query CAP_NET_ADMIN: " << korvane::ErrnoText(error);
  } else {
    kLog.Info() << "CAP_NET_ADMIN effective: " << (effective == CAP_SET ? "YES" : "NO");
    result = root || effective == CAP_SET;
  }
  cap_free(caps);
  kLog.Info() << "Final capability check result: " << (result ? "ALLOWED" : "DENIED");
  return result;
}

bool PlatformService::FileHasNetAdminCapability(const std::string& path) {
  return korvane::FileHasNetAdmin(path);
}

bool PlatformService::CheckCapability(const std::string& name) {
  if (name != "CAP_NET_ADMIN") {
    return false;
  }
  return HasNetworkCapabilities();
}
