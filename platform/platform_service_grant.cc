// The capability grant for an executable of the managed runtime: the path test, the install
// directory's entries and the manifest digest, checked before anything runs as root.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include "core/sha256.h"
#include "platform/elevated_helper.h"
#include "platform/file_io.h"
#include "platform/platform_service.h"
#include "platform/platform_service_internal.h"

using platform_service_internal::PrintErr;

namespace {

constexpr char kManifestKey[] = "\"binarySha256\"";
// The manifest is a small JSON document; a larger one (or a line of many megabytes) is read
// only this far, so a hostile file cannot exhaust memory.
constexpr size_t kManifestReadLimit = 1 << 20;

std::filesystem::path ManagedRuntimeRoot() {
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    return {};
  }
  return std::filesystem::path(home) / ".local" / "share" / "Korvane" / "appimage-runtime";
}

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

// The digest in one manifest line: the key with its quotes, a colon, then the text between the
// next two double quotes; empty when any of them is missing.
std::string DigestInLine(const std::string& line) {
  const size_t key = line.find(kManifestKey);
  if (key == std::string::npos) {
    return "";
  }
  const size_t colon = line.find(':', key + sizeof(kManifestKey) - 1);
  if (colon == std::string::npos) {
    return "";
  }
  const size_t open = line.find('"', colon + 1);
  if (open == std::string::npos) {
    return "";
  }
  const size_t close = line.find('"', open + 1);
  if (close == std::string::npos) {
    return "";
  }
  return line.substr(open + 1, close - open - 1);
}

// The first "binarySha256" value of the manifest, scanned line by line; empty when the file
// cannot be read, is not a regular file, or has no such line within the read limit.
std::string ReadManifestDigest(const std::filesystem::path& manifest) {
  // Not blocking on open: the file could have been replaced by a FIFO since it was checked.
  korvane::ScopedFd fd(open(manifest.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat info;
  if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return "";
  }
  std::string text;
  char buffer[8192];
  while (text.size() < kManifestReadLimit) {
    const size_t want = std::min(sizeof(buffer), kManifestReadLimit - text.size());
    const ssize_t got = read(fd.get(), buffer, want);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    text.append(buffer, static_cast<size_t>(got));
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string digest = DigestInLine(text.substr(start, end - start));
    if (!digest.empty()) {
      return digest;
    }
    start = end + 1;
  }
  return "";
}

}  // namespace

bool PlatformService::IsManagedAppImagePath(const std::string& path) {
  const std::filesystem::path root = ManagedRuntimeRoot();
  if (root.empty()) {
    return false;
  }
  const std::string canonical_root = CanonicalizePath(root).string();
  const std::string canonical_path = CanonicalizePath(path).string();
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

bool PlatformService::SetCapabilityOnPath(const std::string& path) {
  if (path.empty()) {
    PrintErr("[PlatformService] Refusing to set capability on empty path");
    return false;
  }
  const std::filesystem::path canonical = CanonicalizePath(path);
  const std::filesystem::path install_dir = canonical.parent_path();
  if (canonical.empty() || canonical.filename() != "korvane" ||
      !IsManagedAppImagePath(canonical.string()) || !HasInstallDirectoryEntries(install_dir)) {
    PrintErr("[PlatformService] Refusing to set capability on unexpected path: " + path);
    return false;
  }
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    PrintErr("[PlatformService] Target is not a regular file: " + path);
    return false;
  }

  const std::string expected = ReadManifestDigest(install_dir / "manifest.json");
  bool verified = false;
  if (expected.empty()) {
    PrintErr("[PlatformService] manifest.json missing or has no binarySha256 field");
  } else {
    const std::string actual = Sha256::FileHex(path);
    if (actual.empty()) {
      PrintErr("[PlatformService] Failed to compute SHA-256 of " + path);
    } else if (actual != expected) {
      PrintErr("[PlatformService] Binary hash mismatch!");
      PrintErr("[PlatformService]   expected: " + expected);
      PrintErr("[PlatformService]   actual:   " + actual);
    } else {
      verified = true;
    }
  }
  if (!verified) {
    PrintErr("[PlatformService] Refusing to grant capability: hash verification failed");
    return false;
  }
  return ElevatedHelper::ElevatedPatchelfAndSetcap(path);
}
