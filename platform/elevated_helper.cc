#include "platform/elevated_helper.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <system_error>
#include <vector>

#include "platform/elevation_script.h"
#include "platform/file_io.h"
#include "platform/launcher_script.h"
#include "platform/platform_service.h"
#include "platform/platform_service_internal.h"

using platform_service_internal::ErrorText;
using platform_service_internal::PrintErr;
using platform_service_internal::PrintOut;

int ElevatedHelper::wait_rounds_ = 1800;
int ElevatedHelper::term_reap_rounds_ = 20;
int ElevatedHelper::kill_reap_rounds_ = 10;

namespace {

constexpr char kSudoPath[] = "/usr/bin/sudo";
constexpr char kPkexecFallbackPath[] = "/usr/bin/pkexec";
constexpr char kSudoLabel[] = "sudo -A elevation";
constexpr char kPkexecLabel[] = "pkexec elevation";

const char* const kPatchelfCandidates[] = {"/usr/bin/patchelf", "/usr/local/bin/patchelf",
                                           "/bin/patchelf"};
const char* const kSetcapCandidates[] = {"/usr/sbin/setcap", "/sbin/setcap", "/usr/bin/setcap",
                                         "/bin/setcap"};
const char* const kAskpassCandidates[] = {
    "/usr/bin/zenity",
    "/usr/local/bin/zenity",
    "/usr/bin/kdialog",
    "/usr/local/bin/kdialog",
    "/usr/bin/yad",
    "/usr/local/bin/yad",
    "/usr/bin/Xdialog",
    "/usr/local/bin/Xdialog",
    "/usr/bin/ssh-askpass",
    "/usr/lib/ssh/x11-ssh-askpass",
    "/usr/lib/openssh/gnome-ssh-askpass",
};

// A path as the host prints path values: in double quotes.
std::string Quoted(const std::filesystem::path& path) {
  std::ostringstream out;
  out << path;
  return out.str();
}

template <size_t N>
std::string FirstExecutable(const char* const (&candidates)[N]) {
  for (const char* candidate : candidates) {
    if (access(candidate, X_OK) == 0) {
      return candidate;
    }
  }
  return "";
}

void SleepRound() {
  struct timespec round = {0, 100 * 1000 * 1000};
  while (nanosleep(&round, &round) == -1 && errno == EINTR) {
  }
}

// The login name of the real user; USER when the password database has none.
std::string CurrentUserName() {
  struct passwd entry;
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_name != nullptr && found->pw_name[0] != '\0') {
    return found->pw_name;
  }
  const char* user = getenv("USER");
  return user != nullptr ? user : "";
}

// True when no other user can rename or replace entries on the way to `dir`: every directory
// passed through (as written and as resolved) belongs to root or the real user and is writable
// by nobody else unless it has the sticky bit. Root runs the script by its path, so a directory
// another user could swap between the checks and the run would hand them root.
bool AncestorsAreSafe(const std::filesystem::path& dir) {
  const uid_t uid = getuid();
  auto safe_directory = [uid](const struct stat& info) {
    return S_ISDIR(info.st_mode) && (info.st_uid == 0 || info.st_uid == uid) &&
           ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (info.st_mode & S_ISVTX) != 0);
  };
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(dir, error);
  if (error) {
    return false;
  }
  const std::filesystem::path resolved = std::filesystem::canonical(dir, error);
  if (error) {
    return false;
  }
  const std::filesystem::path paths[] = {absolute, resolved};
  for (const std::filesystem::path& path : paths) {
    std::filesystem::path prefix;
    for (auto part = path.begin(); part != path.end(); ++part) {
      prefix /= *part;
      if (prefix == path) {
        break;
      }
      // The entries below `prefix` are looked up in the directory it leads to.
      struct stat info;
      if (stat(prefix.c_str(), &info) != 0 || !safe_directory(info)) {
        return false;
      }
    }
  }
  return true;
}

// Checks one candidate directory; true when scripts may be written into it.
bool AcceptHelperDirectory(const std::filesystem::path& dir) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) {
    PrintErr("[PlatformService] Failed to create helper directory " + Quoted(dir) + ": " +
             error.message());
    return false;
  }
  struct stat info;
  // A symbolic link is refused below; its target's mode is not touched.
  const bool is_link = lstat(dir.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
  if (!is_link && chmod(dir.c_str(), 0700) != 0) {
    const int chmod_error = errno;
    PrintErr("[PlatformService] Failed to chmod helper directory " + Quoted(dir) + ": " +
             ErrorText(chmod_error));
    return false;
  }
  if (lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid() ||
      (info.st_mode & 077) != 0 || !AncestorsAreSafe(dir)) {
    PrintErr("[PlatformService] Refusing unsafe helper directory: " + Quoted(dir));
    return false;
  }
  return true;
}

std::vector<std::filesystem::path> HelperDirectoryCandidates() {
  std::vector<std::filesystem::path> candidates;
  const char* runtime_dir = getenv("XDG_RUNTIME_DIR");
  if (runtime_dir != nullptr && runtime_dir[0] != '\0') {
    candidates.push_back(std::filesystem::path(runtime_dir) / "korvane-helper-scripts");
  }
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    candidates.push_back(std::filesystem::path(home) / ".cache" / "korvane" / "helper-scripts");
  }
  std::error_code error;
  std::filesystem::path temp = std::filesystem::temp_directory_path(error);
  if (!error) {
    candidates.push_back(temp / ("korvane-" + std::to_string(getuid()) + "-helper-scripts"));
  }
  return candidates;
}

// Removes the scripts written for one run.
void RemoveScripts(std::vector<std::string>* scripts) {
  for (const std::string& script : *scripts) {
    unlink(script.c_str());
  }
  scripts->clear();
}

// The environment of the sudo child: this process's, with SUDO_ASKPASS set to `askpass`.
// Built before fork so the child only calls exec.
std::vector<std::string> SudoEnvironment(const std::string& askpass) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (strncmp(*entry, "SUDO_ASKPASS=", 13) != 0) {
      env.push_back(*entry);
    }
  }
  env.push_back("SUDO_ASKPASS=" + askpass);
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) {
    pointers.push_back(s.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

// The sudo attempt; true when the target has the capability afterwards.
bool TrySudo(const std::string& askpass_found,
             const std::string& script,
             const std::string& target,
             std::vector<std::string>* scripts) {
  PrintOut("[PlatformService] Trying sudo -A fallback (askpass: " + askpass_found + ")");
  std::string askpass = askpass_found;
  const std::string wrapper = korvane::RenderAskpassWrapper(askpass_found);
  if (!wrapper.empty()) {
    askpass = ElevatedHelper::WritePrivateHelperScript("askpass", wrapper);
    if (askpass.empty()) {
      return PlatformService::FileHasNetAdminCapability(target);
    }
    scripts->push_back(askpass);
  }
  std::vector<std::string> env = SudoEnvironment(askpass);
  std::vector<char*> envp = Pointers(env);
  std::vector<std::string> args = {"sudo", "-A", script};
  std::vector<char*> argv = Pointers(args);
  const pid_t pid = fork();
  if (pid == 0) {
    execve(kSudoPath, argv.data(), envp.data());
    _exit(127);
  }
  if (pid > 0 && ElevatedHelper::WaitForSetcapOrCapability(pid, target, kSudoLabel)) {
    return true;
  }
  return PlatformService::FileHasNetAdminCapability(target);
}

}  // namespace

std::string ElevatedHelper::FindAskpass() {
  return FirstExecutable(kAskpassCandidates);
}

std::string ElevatedHelper::WritePrivateHelperScript(const std::string& name,
                                                     const std::string& content) {
  std::filesystem::path accepted;
  for (const std::filesystem::path& candidate : HelperDirectoryCandidates()) {
    if (AcceptHelperDirectory(candidate)) {
      accepted = candidate;
      break;
    }
  }
  if (accepted.empty()) {
    return "";
  }
  std::string path = (accepted / (name + ".XXXXXX")).string();
  // Close-on-exec: a helper forked meanwhile by another request must not keep the script open
  // for writing, or running it would fail as busy.
  korvane::ScopedFd fd(mkostemp(path.data(), O_CLOEXEC));
  if (fd.get() < 0) {
    const int error = errno;
    PrintErr("[PlatformService] mkstemp failed for helper script: " + ErrorText(error));
    return "";
  }
  struct stat info;
  if (fchmod(fd.get(), 0700) != 0 || !korvane::WriteAll(fd.get(), content) ||
      fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != getuid() ||
      (info.st_mode & 07777) != 0700) {
    PrintErr("[PlatformService] Helper script ownership/mode verification failed");
    fd.reset();
    unlink(path.c_str());
    return "";
  }
  return path;
}

bool ElevatedHelper::WaitForSetcapOrCapability(pid_t pid,
                                               const std::string& target,
                                               const std::string& label) {
  for (int round = 0; round < wait_rounds_; ++round) {
    if (PlatformService::FileHasNetAdminCapability(target)) {
      PrintOut("[PlatformService] " + label + " observed CAP_NET_ADMIN on disk before helper exit");
      TerminateHelperProcess(pid);
      return true;
    }
    int status = 0;
    const pid_t waited = waitpid(pid, &status, WNOHANG);
    if (waited == -1) {
      const int error = errno;
      PrintErr("[PlatformService] waitpid failed for " + label + ": " + ErrorText(error));
      return false;
    }
    if (waited == pid) {
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        if (PlatformService::FileHasNetAdminCapability(target)) {
          return true;
        }
        PrintErr("[PlatformService] " + label +
                 " helper exited successfully but capability verification failed for " + target);
        return false;
      }
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      PrintErr("[PlatformService] " + label + " helper failed with exit code " +
               std::to_string(code));
      return false;
    }
    SleepRound();
  }
  PrintErr("[PlatformService] " + label + " timed out waiting for helper completion or capability");
  TerminateHelperProcess(pid);
  return PlatformService::FileHasNetAdminCapability(target);
}

void ElevatedHelper::TerminateHelperProcess(pid_t pid) {
  // True once the child is reaped (or is no child of ours any more).
  auto reap = [pid](int rounds) {
    for (int round = 0; round < rounds; ++round) {
      const pid_t waited = waitpid(pid, nullptr, WNOHANG);
      if (waited == pid || (waited == -1 && errno == ECHILD)) {
        return true;
      }
      SleepRound();
    }
    return false;
  };
  if (kill(pid, SIGTERM) != 0 && errno != ESRCH) {
    const int error = errno;
    PrintErr("[PlatformService] Failed to SIGTERM helper pid " + std::to_string(pid) + ": " +
             ErrorText(error));
  }
  if (reap(term_reap_rounds_)) {
    return;
  }
  if (kill(pid, SIGKILL) != 0 && errno != ESRCH) {
    const int error = errno;
    PrintErr("[PlatformService] Failed to SIGKILL helper pid " + std::to_string(pid) + ": " +
             ErrorText(error));
  }
  if (reap(kill_reap_rounds_)) {
    return;
  }
  PrintErr("[PlatformService] Abandoning unreapable helper pid " + std::to_string(pid) +
           " (likely root-owned)");
}

bool ElevatedHelper::ElevatedPatchelfAndSetcap(const std::string& path) {
  const std::filesystem::path binary = PlatformService::CanonicalizePath(path);
  if (binary.empty()) {
    PrintErr("[PlatformService] Cannot resolve binary for elevated ops: " + path);
    return false;
  }
  const std::filesystem::path dir = binary.parent_path();
  const std::filesystem::path lib = dir / "lib";
  std::error_code error;
  if (!std::filesystem::is_directory(lib, error) || error) {
    PrintErr("[PlatformService] lib directory missing: " + Quoted(lib));
    return false;
  }
  korvane::ElevationScriptValues values;
  values.binary = binary.string();
  values.lib = lib.string();
  values.patchelf = FirstExecutable(kPatchelfCandidates);
  values.setcap = FirstExecutable(kSetcapCandidates);
  if (values.setcap.empty()) {
    PrintErr("[PlatformService] setcap not found");
    return false;
  }
  values.user = CurrentUserName();
  if (!values.user.empty() && !korvane::IsPolkitSafeUserName(values.user)) {
    PrintErr(
        "[PlatformService] Leaving out the polkit rule: the user name is not a plain login name");
    values.user.clear();
  }
  const std::filesystem::path wrapper = dir / korvane::kCapWrapperFileName;
  values.wrapper = wrapper.string();

  std::vector<std::string> scripts;
  const std::string script =
      WritePrivateHelperScript("elevate", korvane::RenderElevationScript(values));
  if (script.empty()) {
    PrintErr("[PlatformService] Failed to write elevation script");
    return false;
  }
  scripts.push_back(script);

  const bool use_wrapper = std::filesystem::is_regular_file(wrapper, error) && !error;
  const std::string target = use_wrapper ? wrapper.string() : binary.string();
  PrintOut("[PlatformService] Running elevated patchelf+setcap");
  PrintOut("[PlatformService]   binary:  " + Quoted(binary));
  PrintOut("[PlatformService]   wrapper: " + (use_wrapper ? Quoted(wrapper) : "(not found)"));
  PrintOut("[PlatformService]   rpath:   " + Quoted(lib));

  const std::string askpass = FindAskpass();
  if (!askpass.empty()) {
    if (TrySudo(askpass, script, target, &scripts)) {
      RemoveScripts(&scripts);
      return true;
    }
    PrintErr("[PlatformService] sudo -A failed; trying pkexec fallback");
  }

  PrintOut("[PlatformService] Trying pkexec...");
  std::vector<std::string> args = {"pkexec", script};
  std::vector<char*> argv = Pointers(args);
  const pid_t pid = fork();
  if (pid == 0) {
    for (int fd = 3; fd < 1024; ++fd) {
      close(fd);
    }
    execvp("pkexec", argv.data());
    execv(kPkexecFallbackPath, argv.data());
    _exit(127);
  }
  if (pid < 0) {
    const int fork_error = errno;
    PrintErr("[PlatformService] fork() failed: " + ErrorText(fork_error));
    RemoveScripts(&scripts);
    return false;
  }
  const bool granted = WaitForSetcapOrCapability(pid, target, kPkexecLabel) ||
                       PlatformService::FileHasNetAdminCapability(target);
  RemoveScripts(&scripts);
  return granted;
}
