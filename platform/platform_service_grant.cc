// The capability grant for an executable of the managed runtime: the path test, the install
// directory's entries and the manifest digest, checked before anything runs as root.

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "base/log.h"
#include "core/sha256.h"
#include "platform/elevated_helper.h"
#include "platform/install_manifest.h"
#include "platform/platform_service.h"

namespace {

bool IsDirectory(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error) && !error;
}

bool IsRegularFile(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error) && !error;
}

// The entries every install directory has, in the order they are tested.
bool HasInstallDirectoryEntries(const std::filesystem::path& dir) {
  return IsRegularFile(dir / "korvane") && IsDirectory(dir / "lib") && IsDirectory(dir / "data") &&
         IsRegularFile(dir / "data" / "icudtl.dat") && IsRegularFile(dir / "manifest.json");
}

std::filesystem::path RuntimeRootOf(const std::string& home) {
  if (home.empty()) {
    return {};
  }
  return std::filesystem::path(home) / ".local" / "share" / "Korvane" / "appimage-runtime";
}

// Whether the canonical `path` is the canonical `root` or lies below it.
bool IsBelowRoot(const std::string& path, const std::filesystem::path& root) {
  if (root.empty()) {
    return false;
  }
  const std::string canonical_root = PlatformService::CanonicalizePath(root).string();
  const std::string canonical_path = PlatformService::CanonicalizePath(path).string();
  if (canonical_root.empty() || canonical_path.empty()) {
    return false;
  }
  if (canonical_path == canonical_root) {
    return true;
  }
  return canonical_path.size() > canonical_root.size() &&
         canonical_path.compare(0, canonical_root.size(), canonical_root) == 0 &&
         canonical_path[canonical_root.size()] == '/';
}

}  // namespace

std::filesystem::path PlatformService::ManagedRuntimeRoot() {
  const char* home = getenv("HOME");
  return RuntimeRootOf(home != nullptr ? home : "");
}

bool PlatformService::IsManagedAppImagePath(const std::string& path) {
  return IsBelowRoot(path, ManagedRuntimeRoot());
}

bool PlatformService::SetCapabilityOnPath(const std::string& path) {
  return SetCapabilityOnPath(path, korvane::ElevationEnvironment::Capture());
}

bool PlatformService::SetCapabilityOnPath(const std::string& path,
                                          const korvane::ElevationEnvironment& environment) {
  if (path.empty()) {
    korvane::LogErr() << "[PlatformService] Refusing to set capability on empty path";
    return false;
  }
  const std::filesystem::path canonical = CanonicalizePath(path);
  const std::filesystem::path install_dir = canonical.parent_path();
  if (canonical.empty() || canonical.filename() != "korvane" ||
      !IsBelowRoot(canonical.string(), RuntimeRootOf(environment.Get("HOME"))) ||
      !HasInstallDirectoryEntries(install_dir)) {
    korvane::LogErr() << "[PlatformService] Refusing to set capability on unexpected path: " + path;
    return false;
  }
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    korvane::LogErr() << "[PlatformService] Target is not a regular file: " + path;
    return false;
  }

  const std::string expected = korvane::ReadManifestMember(install_dir / korvane::kManifestFileName,
                                                           korvane::kBinaryDigestKey);
  bool verified = false;
  if (expected.empty()) {
    korvane::LogErr() << "[PlatformService] manifest.json missing or has no binarySha256 field";
  } else {
    const std::string actual = Sha256::FileHex(path);
    if (actual.empty()) {
      korvane::LogErr() << "[PlatformService] Failed to compute SHA-256 of " + path;
    } else if (actual != expected) {
      korvane::LogErr() << "[PlatformService] Binary hash mismatch!";
      korvane::LogErr() << "[PlatformService]   expected: " + expected;
      korvane::LogErr() << "[PlatformService]   actual:   " + actual;
    } else {
      verified = true;
    }
  }
  if (!verified) {
    korvane::LogErr() << "[PlatformService] Refusing to grant capability: hash verification failed";
    return false;
  }
  GrantRequest request;
  request.path = path;
  request.binary_sha256 = expected;
  request.wrapper_sha256 = korvane::CoveredWrapperDigest(install_dir);
  return ElevatedHelper::ElevatedPatchelfAndSetcap(request, environment);
}
