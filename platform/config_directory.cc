#include "platform/config_directory.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <vector>

namespace korvane {

namespace {

constexpr char kAppDirName[] = "korvane";

// The user's home from the password database, for processes started without HOME.
std::string PasswordHome() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
      !found->pw_dir) {
    return std::string();
  }
  return found->pw_dir;
}

}  // namespace

std::string ConfigDirectory() {
  const char* xdg = getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] != '\0') {
    return std::string(xdg) + "/" + kAppDirName;
  }
  const char* home = getenv("HOME");
  if (home != nullptr) {
    return std::string(home) + "/.config/" + kAppDirName;
  }
  std::string pw_home = PasswordHome();
  if (!pw_home.empty()) {
    return pw_home + "/.config/" + kAppDirName;
  }
  return std::string("/tmp/") + kAppDirName;
}

}  // namespace korvane
