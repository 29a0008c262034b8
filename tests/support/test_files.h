#ifndef TESTS_SUPPORT_TEST_FILES_H_
#define TESTS_SUPPORT_TEST_FILES_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

// Files, temporary trees and the environment for tests. Test thread only.
namespace korvane_test {

// A private directory (0700) removed with its contents when dropped.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "korvane-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole file as bytes ("" when it cannot be read).
std::string ReadFile(const std::string& path);
// Replaces the file with exactly `content` and gives it `mode`.
void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644);
// The names in a directory (no "." or ".."), sorted.
std::vector<std::string> ListDirectory(const std::string& path);
// Removes a tree; an absent one is fine.
void RemoveTree(const std::string& path);

// Sets (or with nullptr unsets) an environment variable and puts the old value back when
// dropped.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// The current user's home directory from the password database.
std::string PasswordHome();

}  // namespace korvane_test

#endif  // TESTS_SUPPORT_TEST_FILES_H_
