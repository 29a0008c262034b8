// The capability grant for an executable of the managed runtime: the path test, the install
// directory's entries and the manifest digest, checked before anything runs as root.

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "base/log.h"
#include "base/logger.h"
#include "base/sha256.h"
#include "platform/platform_service.h"
#include "platform/privileges/elevated_helper.h"
#include "platform/privileges/elevation_environment.h"
#include "platform/privileges/managed_runtime.h"

namespace {
constexpr korvane::Logger kLog(korvane::kPlatformServiceTag);
}  // namespace

using korvane::ManagedRuntime;

std::filesystem::path PlatformService::ManagedRuntimeRoot() {
  return ManagedRuntime::Root();
}

bool PlatformService::IsManagedAppImagePath(const std::string& path) {
  return ManagedRuntime::ResolveInstall(path, ManagedRuntime::Root()).in_root;
}

bool PlatformService::SetCapabilityOnPath(const std::string& path) {
  return SetCapabilityOnPath(path, korvane::ElevationEnvironment::Capture());
}

bool PlatformService::SetCapabilityOnPath(const std::string& path,
                                          const korvane::ElevationEnvironment& environment) {
  if (path.empty()) {
    kLog.Error() << "Refusing to set capability on empty path";
    return false;
  }
  const ManagedRuntime::Install install =
      ManagedRuntime::ResolveInstall(path, ManagedRuntime::RootFor(environment.Get("HOME")));
  const std::filesystem::path install_dir = install.canonical.parent_path();
  if (install.canonical.empty() || install.canonical.filename() != korvane::kExecutableFileName ||
      !install.in_root || !ManagedRuntime::HasGrantEntries(install_dir)) {
    kLog.Error() << "Refusing to set capability on unexpected path: " + path;
    return false;
  }
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    kLog.Error() << "Target is not a regular file: " + path;
    return false;
  }

  const std::string expected = korvane::ReadManifestMember(install_dir / korvane::kManifestFileName,
                                                           korvane::kBinaryDigestKey);
  bool verified = false;
  if (expected.empty()) {
    kLog.Error() << "manifest.json missing or has no binarySha256 field";
  } else {
    const std::string actual = Sha256::FileHex(path);
    if (actual.empty()) {
      kLog.Error() << "Failed to compute SHA-256 of " + path;
    } else if (actual != expected) {
      kLog.Error() << "Binary hash mismatch!";
      kLog.Error() << "  expected: " + expected;
      kLog.Error() << "  actual:   " + actual;
    } else {
      verified = true;
    }
  }
  if (!verified) {
    kLog.Error() << "Refusing to grant capability: hash verification failed";
    return false;
  }
  GrantRequest request;
  request.path = path;
  request.binary = install.canonical;
  request.binary_sha256 = expected;
  request.wrapper_sha256 = korvane::CoveredWrapperDigest(install_dir);
  return ElevatedHelper::ElevatedPatchelfAndSetcap(request, environment);
}
