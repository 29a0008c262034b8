#include "base/executable_path.h"

#include <cstring>
#include <system_error>

namespace korvane {

std::string WithoutDeletedSuffix(const std::string& link_target, bool* stripped) {
  const size_t suffix = strlen(kDeletedSuffix);
  const bool has_suffix =
      link_target.size() > suffix &&
      link_target.compare(link_target.size() - suffix, suffix, kDeletedSuffix) == 0;
  if (stripped != nullptr) {
    *stripped = has_suffix;
  }
  return has_suffix ? link_target.substr(0, link_target.size() - suffix) : link_target;
}

std::filesystem::path CanonicalPath(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) {
    return {};
  }
  std::filesystem::path canonical = std::filesystem::weakly_canonical(absolute, error);
  if (error) {
    return {};
  }
  return canonical;
}

}  // namespace korvane
