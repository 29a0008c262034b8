#include <stdlib.h>

#include "platform/platform_service.h"

std::filesystem::path PlatformService::ManagedRuntimeRoot() {
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    return {};
  }
  return std::filesystem::path(home) / ".local" / "share" / "Korvane" / "appimage-runtime";
}

bool PlatformService::IsManagedAppImagePath(const std::string& path) {
  const std::filesystem::path root = ManagedRuntimeRoot();
  if (root.empty() || path.empty()) {
    return false;
  }
  const std::string canonical_root = CanonicalizePath(root).string();
  const std::string canonical = CanonicalizePath(path).string();
  if (canonical_root.empty() || canonical.empty()) {
    return false;
  }
  if (canonical == canonical_root) {
    return true;
  }
  // A sibling whose name merely begins with the root's last component is outside.
  return canonical.size() > canonical_root.size() &&
         canonical.compare(0, canonical_root.size(), canonical_root) == 0 &&
         canonical[canonical_root.size()] == '/';
}
