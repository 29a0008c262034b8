#include "app/secure_start.h"

#include <glib.h>
#include <limits.h>
#include <sys/auxv.h>
#include <sys/capability.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "base/executable_path.h"
#include "base/log.h"
#include "base/logger.h"

namespace korvane {

namespace {

constexpr korvane::Logger kLog(korvane::kSecurityWarnTag);
constexpr char kGtkModuleOption[] = "--gtk-module";
// Without secure-execution mode the dynamic loader honoured these before main ran: preloaded
// code, and a search path every later dlopen by name still uses. Nothing here can undo that.
constexpr const char* kLoaderVariables[] = {"LD_PRELOAD", "LD_AUDIT", "LD_LIBRARY_PATH"};

std::optional<std::string> Variable(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

void RestoreVariable(const char* name, const std::optional<std::string>& value) {
  if (value.has_value()) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
}

bool AllUidsAreRoot() {
  uid_t real = 0;
  uid_t effective = 0;
  uid_t saved = 0;
  return getresuid(&real, &effective, &saved) == 0 && real == 0 && effective == 0 && saved == 0;
}

// The target of /proc/self/exe without the suffix of a replaced file, or empty (*error set).
std::string ReadExecutable(std::string* error) {
  char buffer[PATH_MAX];
  const ssize_t length = readlink(korvane::kSelfExecutableLink, buffer, sizeof(buffer));
  if (length <= 0 || static_cast<size_t>(length) >= sizeof(buffer)) {
    *error = length < 0 ? ErrnoText(errno) : "path too long";
    return "";
  }
  return korvane::WithoutDeletedSuffix(std::string(buffer, static_cast<size_t>(length)));
}

// Drops every capability and says why in one line. A process that cannot let go of a capability
// it must not keep does not run on.
void DropCapabilitiesBecause(const std::string& reason) {
  if (!SecureStart::DropAllCapabilities()) {
    const int error = errno;
    kLog.Error() << reason << ": cannot drop capabilities (" << ErrnoText(error) << "), exiting";
    exit(EXIT_FAILURE);
  }
  kLog.Error() << reason << ": dropped all capabilities";
}

std::string Join(const std::vector<std::string>& items) {
  std::string joined;
  for (const std::string& item : items) {
    joined += (joined.empty() ? "" : ", ") + item;
  }
  return joined;
}

}  // namespace

bool SecureStart::active_ = false;

void SecureStart::Apply(int* argc, char** argv) {
  const bool secure_execution = getauxval(AT_SECURE) != 0;
  const bool privileged = secure_execution || (HoldsCapabilities() && !AllUidsAreRoot());

  std::string error;
  const std::string executable = ReadExecutable(&error);
  if (executable.empty()) {
    if (privileged) {
      DropCapabilitiesBecause("cannot read /proc/self/exe (" + error + ")");
    }
  } else if (IsOtherUsersGrantedCopy(executable, getuid())) {
    DropCapabilitiesBecause(executable + " is granted to another user than uid " +
                            std::to_string(getuid()));
  }
  if (!privileged) {
    return;
  }
  active_ = true;

  if (!secure_execution) {
    for (const char* name : kLoaderVariables) {
      const char* value = getenv(name);
      if (value != nullptr && value[0] != '\0') {
        DropCapabilitiesBecause(std::string("capabilities without secure-execution mode and ") +
                                name + " set");
        break;
      }
    }
  }

  bool cleared = false;
  if (!ClearInheritableCapabilities(&cleared)) {
    DropCapabilitiesBecause("cannot clear the inheritable and ambient capabilities");
  } else if (cleared) {
    kLog.Error()
        << "Privileged start: cleared the inheritable and ambient capabilities; programs it "
           "starts do not get them";
  }

  std::vector<std::string> dropped = DropCodeLoadingVariables();
  for (std::string& argument : RemoveGtkModuleArguments(argc, argv)) {
    dropped.push_back(std::move(argument));
  }
  if (!dropped.empty()) {
    kLog.Error() << "Privileged start: ignoring " << Join(dropped);
  }
  if (!PinConfigDirectories()) {
    DropCapabilitiesBecause("GLib read its configuration directories before start");
  }
}

bool SecureStart::Active() {
  return active_;
}

bool SecureStart::HoldsCapabilities() {
  cap_t caps = cap_get_proc();
  if (caps == nullptr) {
    // Cannot tell: count as privileged, the safe side.
    return true;
  }
  bool holds = false;
  const cap_value_t count = static_cast<cap_value_t>(cap_max_bits());
  for (cap_value_t cap = 0; cap < count && !holds; ++cap) {
    cap_flag_value_t effective = CAP_CLEAR;
    cap_flag_value_t permitted = CAP_CLEAR;
    cap_get_flag(caps, cap, CAP_EFFECTIVE, &effective);
    cap_get_flag(caps, cap, CAP_PERMITTED, &permitted);
    holds = effective == CAP_SET || permitted == CAP_SET || cap_get_ambient(cap) == 1;
  }
  cap_free(caps);
  return holds;
}

bool SecureStart::DropAllCapabilities() {
  // Kernels without ambient capabilities have none to clear.
  cap_reset_ambient();
  cap_t none = cap_init();
  if (none == nullptr) {
    return false;
  }
  const bool cleared = cap_set_proc(none) == 0;
  const int error = errno;
  cap_free(none);
  errno = error;
  return cleared && !HoldsCapabilities();
}

bool SecureStart::ClearInheritableCapabilities(bool* cleared) {
  *cleared = false;
  cap_t caps = cap_get_proc();
  if (caps == nullptr) {
    return false;
  }
  const cap_value_t count = static_cast<cap_value_t>(cap_max_bits());
  for (cap_value_t cap = 0; cap < count; ++cap) {
    cap_flag_value_t inheritable = CAP_CLEAR;
    cap_get_flag(caps, cap, CAP_INHERITABLE, &inheritable);
    *cleared = *cleared || inheritable == CAP_SET || cap_get_ambient(cap) == 1;
  }
  // The kernel clears every ambient capability that is no longer inheritable.
  const bool done =
      !*cleared || (cap_clear_flag(caps, CAP_INHERITABLE) == 0 && cap_set_proc(caps) == 0);
  const int error = errno;
  cap_free(caps);
  errno = error;
  return done;
}

bool SecureStart::IsOtherUsersGrantedCopy(const std::string& executable, uid_t uid) {
  const std::string root = std::string(kGrantedRoot) + "/";
  if (executable.compare(0, root.size(), root) != 0) {
    return false;
  }
  const size_t end = executable.find('/', root.size());
  const std::string owner = executable.substr(
      root.size(), end == std::string::npos ? std::string::npos : end - root.size());
  return owner != std::to_string(uid);
}

std::vector<std::string> SecureStart::DropCodeLoadingVariables() {
  std::vector<std::string> dropped;
  for (const char* name : kCodeLoadingVariables) {
    if (getenv(name) != nullptr) {
      unsetenv(name);
      dropped.emplace_back(name);
    }
  }
  return dropped;
}

std::vector<std::string> SecureStart::RemoveGtkModuleArguments(int* argc, char** argv) {
  std::vector<std::string> removed;
  if (*argc < 1) {
    return removed;
  }
  const size_t option_length = strlen(kGtkModuleOption);
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    if (strcmp(argv[i], kGtkModuleOption) == 0) {
      removed.emplace_back(kGtkModuleOption);
      ++i;  // its value, when there is one
      continue;
    }
    if (strncmp(argv[i], kGtkModuleOption, option_length) == 0 && argv[i][option_length] == '=') {
      removed.emplace_back(kGtkModuleOption);
      continue;
    }
    argv[kept++] = argv[i];
  }
  argv[kept] = nullptr;
  *argc = kept;
  return removed;
}

bool SecureStart::PinConfigDirectories() {
  const std::optional<std::string> user = Variable("XDG_CONFIG_HOME");
  const std::optional<std::string> system = Variable("XDG_CONFIG_DIRS");
  setenv("XDG_CONFIG_HOME", kPrivilegedUserConfigDir, 1);
  setenv("XDG_CONFIG_DIRS", kPrivilegedSystemConfigDirs, 1);
  const gchar* user_dir = g_get_user_config_dir();
  const gchar* const* system_dirs = g_get_system_config_dirs();
  RestoreVariable("XDG_CONFIG_HOME", user);
  RestoreVariable("XDG_CONFIG_DIRS", system);
  return g_strcmp0(user_dir, kPrivilegedUserConfigDir) == 0 && system_dirs[0] != nullptr &&
         g_strcmp0(system_dirs[0], kPrivilegedSystemConfigDirs) == 0 && system_dirs[1] == nullptr;
}

}  // namespace korvane
