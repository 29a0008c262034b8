#include "platform/privileges/managed_runtime.h"

#include <stdlib.h>

#include <system_error>

#include "base/executable_path.h"

namespace korvane {

namespace {

bool HasType(const std::filesystem::path& path, bool directory) {
  std::error_code error;
  const bool found = directory ? std::filesystem::is_directory(path, error)
                               : std::filesystem::is_regular_file(path, error);
  return found && !error;
}

}  // namespace

std::filesystem::path ManagedRuntime::RootFor(const std::string& home) {
  if (home.empty()) {
    return {};
  }
  return std::filesystem::path(home) / ".local" / "share" / "Korvane" / "appimage-runtime";
}

std::filesystem::path ManagedRuntime::Root() {
  const char* home = getenv("HOME");
  return RootFor(home != nullptr ? home : "");
}

ManagedRuntime::Install ManagedRuntime::ResolveInstall(const std::filesystem::path& path,
                                                       const std::filesystem::path& root) {
  Install install;
  install.canonical = CanonicalPath(path);
  if (root.empty() || install.canonical.empty()) {
    return install;
  }
  const std::string canonical_root = CanonicalPath(root).string();
  const std::string& canonical = install.canonical.string();
  if (canonical_root.empty()) {
    return install;
  }
  // A sibling whose name merely begins with the root's last component is outside.
  install.in_root = canonical == canonical_root ||
                    (canonical.size() > canonical_root.size() &&
                     canonical.compare(0, canonical_root.size(), canonical_root) == 0 &&
                     canonical[canonical_root.size()] == '/');
  return install;
}

bool ManagedRuntime::HasGrantEntries(const std::filesystem::path& install_dir) {
  for (const InstallEntry& entry : kInstallLayout) {
    if (entry.grant_requires && !HasType(install_dir / entry.name, entry.directory)) {
      return false;
    }
  }
  return true;
}

bool ManagedRuntime::HasAllEntries(const std::filesystem::path& install_dir) {
  for (const InstallEntry& entry : kInstallLayout) {
    std::error_code error;
    if (!std::filesystem::exists(install_dir / entry.name, error)) {
      return false;
    }
  }
  return true;
}

}  // namespace korvane
