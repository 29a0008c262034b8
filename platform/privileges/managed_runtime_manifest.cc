// Reading and writing manifest.json.
#include "platform/privileges/managed_runtime.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "base/log.h"
#include "base/logger.h"
#include "base/scoped_fd.h"
#include "base/sha256.h"

namespace {
constexpr korvane::Logger kLog(korvane::kPlatformServiceTag);
}  // namespace

namespace korvane {

namespace {

// The manifest is a small JSON document; a larger one (or a line of many megabytes) is read
// only this far, so a hostile file cannot exhaust memory.
constexpr size_t kManifestReadLimit = 1 << 20;

// The value in one manifest line: the quoted key, a colon, then the text between the next two
// double quotes; false when any of them is missing.
bool ValueInLine(const std::string& line, const std::string& quoted_key, std::string* value) {
  const size_t key = line.find(quoted_key);
  if (key == std::string::npos) {
    return false;
  }
  const size_t colon = line.find(':', key + quoted_key.size());
  if (colon == std::string::npos) {
    return false;
  }
  const size_t open = line.find('"', colon + 1);
  if (open == std::string::npos) {
    return false;
  }
  const size_t close = line.find('"', open + 1);
  if (close == std::string::npos) {
    return false;
  }
  *value = line.substr(open + 1, close - open - 1);
  return true;
}

std::string ReadLimited(const std::filesystem::path& path) {
  // Not blocking on open: the file could have been replaced by a FIFO since it was checked.
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
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
  return text;
}

}  // namespace

std::string RenderRuntimeManifest(const std::string& version,
                                  const std::string& binary_sha256,
                                  const std::string& cap_wrapper_sha256) {
  // Readers scan it line by line: each member with its whole value on one line.
  std::string text =
      "{\n"
      "  \"name\": \"Korvane\",\n"
      "  \"version\": \"" +
      version + "\",\n  \"" + kBinaryDigestKey + "\": \"" + binary_sha256 + "\"";
  if (!cap_wrapper_sha256.empty()) {
    text += ",\n  \"" + std::string(kWrapperDigestKey) + "\": \"" + cap_wrapper_sha256 + "\"";
  }
  return text + "\n}\n";
}

std::string ReadManifestMember(const std::filesystem::path& manifest, const std::string& key) {
  const std::string text = ReadLimited(manifest);
  const std::string quoted_key = "\"" + key + "\"";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string value;
    if (ValueInLine(text.substr(start, end - start), quoted_key, &value)) {
      return value;
    }
    start = end + 1;
  }
  return "";
}

std::string CoveredWrapperDigest(const std::filesystem::path& install_dir) {
  const std::filesystem::path wrapper = install_dir / kCapWrapperFileName;
  struct stat info;
  if (lstat(wrapper.c_str(), &info) != 0) {
    return "";
  }
  const std::string expected =
      ReadManifestMember(install_dir / kManifestFileName, kWrapperDigestKey);
  if (expected.empty()) {
    kLog.Error() << "Not granting korvane-cap-wrapper: no manifest.json digest "
                    "covers it";
    return "";
  }
  if (!S_ISREG(info.st_mode) ||
      Sha256::FileHex(wrapper.string(), Sha256Links::kRefuse) != expected) {
    kLog.Error() << "Not granting korvane-cap-wrapper: it does not match the "
                    "digest in manifest.json";
    return "";
  }
  return expected;
}

}  // namespace korvane
