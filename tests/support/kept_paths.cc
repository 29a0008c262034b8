#include "tests/support/kept_paths.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

namespace korvane_test {

namespace {

namespace fs = std::filesystem;

bool IsSeparator(char c) {
  return c == ' ' || c == ',' || c == ':' || c == '\n' || c == '\t' || c == '\r';
}

// The value of `name` in sanitizer options, read as the sanitizers read them: separators between
// name=value pairs, and a value in single or double quotes taken whole.
std::vector<std::string> OptionValues(const std::string& options, const std::string& name) {
  std::vector<std::string> values;
  size_t pos = 0;
  while (pos < options.size()) {
    while (pos < options.size() && IsSeparator(options[pos])) {
      pos++;
    }
    const size_t name_start = pos;
    while (pos < options.size() && options[pos] != '=' && !IsSeparator(options[pos])) {
      pos++;
    }
    if (pos >= options.size() || options[pos] != '=') {
      continue;
    }
    const std::string key = options.substr(name_start, pos - name_start);
    pos++;
    std::string value;
    if (pos < options.size() && (options[pos] == '\'' || options[pos] == '"')) {
      const size_t end = options.find(options[pos], pos + 1);
      if (end == std::string::npos) {
        break;
      }
      value = options.substr(pos + 1, end - pos - 1);
      pos = end + 1;
    } else {
      const size_t start = pos;
      while (pos < options.size() && !IsSeparator(options[pos])) {
        pos++;
      }
      value = options.substr(start, pos - start);
    }
    if (key == name) {
      values.push_back(value);
    }
  }
  return values;
}

}  // namespace

std::string SuppressionFile(const char* variable) {
  const char* options = getenv(variable);
  if (options == nullptr) {
    return "";
  }
  const std::vector<std::string> files = OptionValues(options, "suppressions");
  // The last one counts, as for the sanitizers.
  return files.empty() ? "" : files.back();
}

std::vector<std::string> SuppressionFiles() {
  std::vector<std::string> files;
  for (const char* variable : {"ASAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
    const std::string file = SuppressionFile(variable);
    if (!file.empty()) {
      files.push_back(file);
    }
  }
  return files;
}

std::vector<std::string> CheckoutDirectories() {
  std::vector<std::string> dirs;
  for (const char* variable : {"KORVANE_SOURCE_DIR", "KORVANE_BUILD_DIR", "KORVANE_BUNDLE_DIR"}) {
    const char* dir = getenv(variable);
    if (dir != nullptr && dir[0] == '/') {
      dirs.push_back(dir);
    }
  }
  std::error_code error;
  const fs::path executable = fs::read_symlink("/proc/self/exe", error);
  if (!error) {
    dirs.push_back(executable.parent_path().string());
  }
  for (const std::string& file : SuppressionFiles()) {
    if (file[0] == '/') {
      dirs.push_back(fs::path(file).parent_path().string());
    }
  }
  return dirs;
}

KeptPaths::KeptPaths(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    const int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    if (fd < 0) {
      continue;
    }
    if (fstat(fd, &info) != 0) {
      close(fd);
      continue;
    }
    held_.push_back({path, fd, info.st_dev, info.st_ino});
  }
  // Parents first: binding one back brings what lies below it along.
  std::sort(held_.begin(), held_.end(),
            [](const Held& a, const Held& b) { return a.path.size() < b.path.size(); });
}

KeptPaths::~KeptPaths() {
  for (const Held& held : held_) {
    close(held.fd);
  }
}

bool KeptPaths::Restore(std::string* error) {
  for (const Held& held : held_) {
    struct stat info;
    if (stat(held.path.c_str(), &info) == 0 && info.st_dev == held.device &&
        info.st_ino == held.inode) {
      continue;
    }
    std::error_code made;
    fs::create_directories(held.path, made);
    const std::string source = "/proc/self/fd/" + std::to_string(held.fd);
    if (made || mount(source.c_str(), held.path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      *error = "cannot keep " + held.path +
               " reachable: " + (made ? made.message() : std::string(strerror(errno)));
      return false;
    }
  }
  return true;
}

}  // namespace korvane_test
