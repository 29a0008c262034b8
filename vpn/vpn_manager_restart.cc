// The application restart: the new instance is started as a child that waits for this process
// to end ("--wait-for-parent-pid="), checked once, and this process quits from the main loop.

#include <errno.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/logger.h"
#include "platform/granted_copy.h"
#include "platform/platform_service.h"
#include "vpn/vpn_manager.h"

namespace {

constexpr korvane::Logger kLog(korvane::kVPNManagerTag);

using korvane::Outcome;

constexpr char kException[] = "EXCEPTION";
constexpr char kInvalidArgument[] = "INVALID_ARGUMENT";
constexpr char kNoExecutablePath[] = "Failed to get executable path";
constexpr char kForkFailed[] = "Failed to fork for restart";
constexpr char kExecFailed[] = "Restart failed: could not exec new instance";
constexpr char kOutsideRoot[] = "installDir must be inside the managed AppImage runtime root";
constexpr char kMissingFiles[] = "Managed runtime is missing required files";
constexpr char kRuntimeExecFailed[] = "Restart failed: could not exec managed runtime";

constexpr char kExecutableLink[] = "/proc/self/exe";
constexpr char kDeletedSuffix[] = " (deleted)";
constexpr char kLauncherName[] = "korvane-launch.sh";
constexpr char kWaitForParentOption[] = "--wait-for-parent-pid=";
// How long the new instance must live before the restart counts as started.
constexpr gulong kLivenessCheckUs = 100 * 1000;

// What an install directory of the managed runtime must hold, in the order they are tested.
const char* const kRequiredRuntimeEntries[] = {"korvane", "korvane-launch.sh", "lib",
                                               "manifest.json", "data/icudtl.dat"};

enum class StartResult { kStarted, kForkFailed, kEnded };

// The child's side, between fork and exec: only async-signal-safe calls. Reports errno on the
// status pipe when it cannot go on.
[[noreturn]] void ExecNewInstance(const char* directory, char* const argv[], int status_fd) {
  if (directory == nullptr || chdir(directory) == 0) {
    execv(argv[0], argv);
  }
  int error = errno;
  if (status_fd >= 0) {
    ssize_t ignored = write(status_fd, &error, sizeof(error));
    (void)ignored;
  }
  _exit(1);
}

// Starts `program` with the parent-wait argument as a child (in `directory` when given) and
// checks it: a failed exec is always caught through a close-on-exec status pipe, however
// loaded the machine, and a child that ends within the liveness check counts as failed too.
// A started child is never waited for: it outlives this process.
StartResult StartNewInstance(const std::string& program,
                             const std::string& directory,
                             int* exec_error) {
  // Everything the child needs is ready before the fork.
  const std::string wait_argument = kWaitForParentOption + std::to_string(getpid());
  std::vector<char*> argv = {const_cast<char*>(program.c_str()),
                             const_cast<char*>(wait_argument.c_str()), nullptr};
  const char* child_directory = directory.empty() ? nullptr : directory.c_str();

  int status_pipe[2] = {-1, -1};
  if (pipe2(status_pipe, O_CLOEXEC) != 0) {
    // Without the pipe the liveness check alone decides.
    status_pipe[0] = status_pipe[1] = -1;
  }
  pid_t child = fork();
  if (child == -1) {
    int error = errno;
    kLog.Error() << "fork failed: " << korvane::ErrnoText(error);
    if (status_pipe[0] >= 0) {
      close(status_pipe[0]);
      close(status_pipe[1]);
    }
    return StartResult::kForkFailed;
  }
  if (child == 0) {
    ExecNewInstance(child_directory, argv.data(), status_pipe[1]);
  }

  bool exec_failed = false;
  if (status_pipe[0] >= 0) {
    close(status_pipe[1]);
    int error = 0;
    ssize_t got;
    do {
      got = read(status_pipe[0], &error, sizeof(error));
    } while (got == -1 && errno == EINTR);
    close(status_pipe[0]);
    // End of file: the exec closed the pipe.
    if (got == static_cast<ssize_t>(sizeof(error))) {
      exec_failed = true;
      *exec_error = error;
    }
  }
  if (exec_failed) {
    int status = 0;
    while (waitpid(child, &status, 0) == -1 && errno == EINTR) {
    }
    return StartResult::kEnded;
  }
  g_usleep(kLivenessCheckUs);
  int status = 0;
  if (waitpid(child, &status, WNOHANG) == child) {
    return StartResult::kEnded;
  }
  return StartResult::kStarted;
}

// Called once from the main loop after the answer has gone out.
gboolean QuitApplicationCb(gpointer) {
  GApplication* application = g_application_get_default();
  if (application != nullptr) {
    g_application_quit(application);
  }
  return G_SOURCE_REMOVE;
}

// The answer for the start's result; on success the caller quits after answering.
Outcome StartOutcome(StartResult result,
                     int exec_error,
                     const char* ended_line,
                     const char* ended_message) {
  switch (result) {
    case StartResult::kForkFailed:
      return Outcome::Failure(kException, kForkFailed);
    case StartResult::kEnded:
      kLog.Error() << ended_line;
      if (exec_error != 0) {
        kLog.Error() << "exec: " << korvane::ErrnoText(exec_error);
      }
      return Outcome::Failure(kException, ended_message);
    case StartResult::kStarted:
      break;
  }
  return Outcome::Ok(true);
}

// A path fit to be started and logged on one line: absolute (a relative one would mean
// whatever this process's working directory is) and free of control characters.
bool IsPlainAbsolutePath(const std::string& path) {
  if (path.empty() || path[0] != '/') {
    return false;
  }
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f) {
      return false;
    }
  }
  return true;
}

}  // namespace

Outcome VPNManager::RestartApp() {
  std::error_code error;
  std::filesystem::path executable = std::filesystem::read_symlink(kExecutableLink, error);
  if (error) {
    return Outcome::Failure(kException, kNoExecutablePath);
  }
  // The executable was replaced on disk while running: start the file that replaced it.
  std::string text = executable.string();
  const size_t suffix_length = strlen(kDeletedSuffix);
  if (text.size() > suffix_length &&
      text.compare(text.size() - suffix_length, suffix_length, kDeletedSuffix) == 0) {
    executable = text.substr(0, text.size() - suffix_length);
    kLog.Info() << "Stripped '(deleted)' suffix from exe path: " << executable;
  }

  // A granted copy restarts through the launcher of the install it was copied from; an install
  // restarts through its launcher, else through its granted copy when there is one.
  std::filesystem::path install_dir = executable.parent_path();
  const bool running_granted =
      korvane::GrantedCopy::IsBelowRoot(PlatformService::CanonicalizePath(install_dir));
  if (running_granted) {
    install_dir = korvane::GrantedCopy::RecordedSource(install_dir);
  }
  const std::filesystem::path launcher = install_dir / kLauncherName;
  const bool use_launcher =
      !install_dir.empty() && std::filesystem::is_regular_file(launcher, error);
  std::string program = executable.string();
  if (use_launcher) {
    program = launcher.string();
  } else if (!running_granted) {
    const std::filesystem::path granted = korvane::GrantedCopy::FindFor(executable.string());
    if (!granted.empty()) {
      program = korvane::GrantedCopy::Target(granted).string();
    }
  }
  kLog.Info() << "Restarting app via " << (use_launcher ? "launcher: " : "binary: ") << program
              << ". New instance will wait for PID " << getpid();

  int exec_error = 0;
  StartResult result = StartNewInstance(program, "", &exec_error);
  return StartOutcome(result, exec_error, "Restart child exited immediately (exec failed)",
                      kExecFailed);
}

Outcome VPNManager::RestartFromInstallDir(const std::string& install_dir) {
  if (!IsPlainAbsolutePath(install_dir)) {
    g_autofree gchar* escaped = g_strescape(install_dir.c_str(), nullptr);
    kLog.Error() << "Refusing installDir that is not a plain absolute path: " << escaped;
    return Outcome::Failure(kInvalidArgument, kOutsideRoot);
  }
  if (!PlatformService::IsManagedAppImagePath(install_dir)) {
    return Outcome::Failure(kInvalidArgument, kOutsideRoot);
  }
  const std::filesystem::path dir(install_dir);
  for (const char* entry : kRequiredRuntimeEntries) {
    std::error_code error;
    if (!std::filesystem::exists(dir / entry, error)) {
      return Outcome::Failure(kInvalidArgument, kMissingFiles);
    }
  }

  kLog.Info() << "Restarting from managed AppImage runtime: " << install_dir;
  int exec_error = 0;
  StartResult result = StartNewInstance((dir / kLauncherName).string(), install_dir, &exec_error);
  return StartOutcome(result, exec_error,
                      "Restart child exited immediately (managed runtime exec failed)",
                      kRuntimeExecFailed);
}

void VPNManager::QuitAfterAnswer() {
  g_idle_add(QuitApplicationCb, nullptr);
}
