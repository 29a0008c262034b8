#ifndef TESTS_SUPPORT_KEPT_PATHS_H_
#define TESTS_SUPPORT_KEPT_PATHS_H_

#include <sys/types.h>

#include <string>
#include <vector>

// The checkout and the build may lie anywhere: below /tmp, /run or /var/lib, which tests mount
// over in private namespaces. Test thread (or an isolated child) only.
namespace korvane_test {

// The suppression file named in the sanitizer options of the environment variable `variable`
// (a quoted value included); "" when it names none.
std::string SuppressionFile(const char* variable);
// Those of ASAN_OPTIONS, LSAN_OPTIONS and TSAN_OPTIONS.
std::vector<std::string> SuppressionFiles();

// What a test's processes need from the checkout and the build: the source, build and bundle
// directories, the test executable's own directory and those of the suppression files.
std::vector<std::string> CheckoutDirectories();

// Keeps directories reachable at their own paths across mounts over one of their parents: each
// is held open when this is made, and Restore binds every one that its path no longer reaches
// back from the descriptor held (making the path's missing directories first).
//
//   KeptPaths kept;
//   mount("tmpfs", "/tmp", "tmpfs", 0, nullptr);
//   if (!kept.Restore(&error)) ...
class KeptPaths {
 public:
  explicit KeptPaths(const std::vector<std::string>& paths = CheckoutDirectories());
  ~KeptPaths();
  KeptPaths(const KeptPaths&) = delete;
  KeptPaths& operator=(const KeptPaths&) = delete;

  // False with *error when a directory could not be bound back.
  bool Restore(std::string* error);

 private:
  struct Held {
    std::string path;
    int fd;
    dev_t device;
    ino_t inode;
  };
  std::vector<Held> held_;
};

}  // namespace korvane_test

#endif  // TESTS_SUPPORT_KEPT_PATHS_H_
