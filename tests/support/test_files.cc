#include "tests/support/test_files.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace korvane_test {

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  RemoveTree(path_);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& content, mode_t mode) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
  }
  chmod(path.c_str(), mode);
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  // Trees made by tests of private modes may hold directories the owner cannot enter yet.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(
           path, std::filesystem::directory_options::skip_permission_denied, ignored)) {
    if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
      chmod(entry.path().c_str(), 0700);
    }
  }
  std::filesystem::remove_all(path, ignored);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = getenv(name)) {
    old_ = old;
  }
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

std::string PasswordHome() {
  struct passwd* entry = getpwuid(getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

}  // namespace korvane_test
