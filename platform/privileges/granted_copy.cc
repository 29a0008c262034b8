#include "platform/privileges/granted_copy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

#include "base/executable_path.h"
#include "base/file_util.h"
#include "base/sha256.h"
#include "platform/privileges/file_capability.h"

namespace korvane {

namespace {

constexpr size_t kKeyLength = 32;
// The records are one short line each; anything longer is not ours.
constexpr size_t kRecordLimit = 4096;

std::string ReadRecord(const std::filesystem::path& file) {
  ReadOptions options;
  options.max_bytes = kRecordLimit;
  options.follow_links = false;
  options.regular_only = true;
  return ReadWholeFile(file.string(), options).value_or("");
}

}  // namespace

std::filesystem::path GrantedCopy::DirectoryFor(const std::filesystem::path& canonical_install_dir,
                                                uid_t uid) {
  const std::string key = Sha256::HexOf(canonical_install_dir.string()).substr(0, kKeyLength);
  return std::filesystem::path(kGrantedRoot) / std::to_string(uid) / key;
}

std::string GrantedCopy::RecordedSha256(const std::filesystem::path& granted_dir) {
  std::string text = ReadRecord(granted_dir / "sha256");
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
}

std::filesystem::path GrantedCopy::RecordedSource(const std::filesystem::path& granted_dir) {
  return ReadRecord(granted_dir / "source");
}

std::filesystem::path GrantedCopy::Target(const std::filesystem::path& granted_dir) {
  const std::filesystem::path wrapper = granted_dir / "korvane-cap-wrapper";
  struct stat info;
  if (lstat(wrapper.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    return wrapper;
  }
  return granted_dir / "korvane";
}

bool GrantedCopy::IsInPlace(const std::filesystem::path& granted_dir, const std::string& sha256) {
  if (sha256.empty() || RecordedSha256(granted_dir) != sha256) {
    return false;
  }
  return FileHasNetAdmin(Target(granted_dir).string());
}

bool GrantedCopy::IsBelowRoot(const std::filesystem::path& canonical_path) {
  const std::string root = std::string(kGrantedRoot) + "/";
  return canonical_path.string().compare(0, root.size(), root) == 0;
}

std::filesystem::path GrantedCopy::FindFor(const std::string& path) {
  const std::filesystem::path canonical = CanonicalPath(path);
  struct stat info;
  if (canonical.empty() || stat(canonical.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return {};
  }
  const std::filesystem::path granted = DirectoryFor(canonical.parent_path(), getuid());
  // Hashing is the dear part: only when there is a grant to compare with.
  if (RecordedSha256(granted).empty() || !IsInPlace(granted, Sha256::FileHex(canonical.string()))) {
    return {};
  }
  return granted;
}

}  // namespace korvane
