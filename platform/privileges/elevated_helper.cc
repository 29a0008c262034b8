#include "platform/privileges/elevated_helper.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/logger.h"
#include "base/scoped_fd.h"
#include "platform/privileges/elevation_script.h"
#include "platform/privileges/granted_copy.h"
#include "platform/privileges/sealed_askpass.h"

namespace {
constexpr korvane::Logger kLog(korvane::kPlatformServiceTag);
}  // namespace

using korvane::ElevationEnvironment;
using korvane::ErrnoText;
using korvane::GrantedCopy;
using korvane::ScopedFd;

int ElevatedHelper::wait_rounds_ = 1800;
int ElevatedHelper::term_reap_rounds_ = 20;
int ElevatedHelper::kill_reap_rounds_ = 10;

namespace {

constexpr char kSudoPath[] = "/usr/bin/sudo";
constexpr char kPkexecFallbackPath[] = "/usr/bin/pkexec";
constexpr char kSudoLabel[] = "sudo -A elevation";
constexpr char kPkexecLabel[] = "pkexec elevation";
constexpr char kCapWrapperName[] = "korvane-cap-wrapper";
// Rounds of 100 ms the helper may take to end once the command has printed its last line.
constexpr int kDoneGraceRounds = 20;
constexpr int kRoundMs = 100;

const char* const kPatchelfCandidates[] = {"/usr/bin/patchelf", "/usr/local/bin/patchelf",
                                           "/bin/patchelf"};
const char* const kSetcapCandidates[] = {"/usr/sbin/setcap", "/sbin/setcap", "/usr/bin/setcap",
                                         "/bin/setcap"};
// Root's command finds these on its fixed PATH; looked for here only to fail early and clearly.
const char* const kSetprivCandidates[] = {"/usr/bin/setpriv", "/bin/setpriv"};
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
  struct timespec round = {0, kRoundMs * 1000 * 1000};
  while (nanosleep(&round, &round) == -1 && errno == EINTR) {
  }
}

// The login name of the real user; USER when the password database has none.
std::string CurrentUserName(const ElevationEnvironment& environment) {
  struct passwd entry;
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_name != nullptr && found->pw_name[0] != '\0') {
    return found->pw_name;
  }
  return environment.Get("USER");
}

// `program` looked up on the PATH of the copied environment, the way execvp would.
std::string SearchPath(const std::string& program, const ElevationEnvironment& environment) {
  std::string path = environment.Get("PATH");
  if (path.empty()) {
    path = "/usr/local/bin:/usr/bin:/bin";
  }
  std::istringstream dirs(path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return "";
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) {
    pointers.push_back(s.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

// A started helper: its pid and the read end of its standard output.
struct Helper {
  pid_t pid = -1;
  ScopedFd output;
  int error = 0;  // errno of a failed start
};

// Starts `program` with `args` and `env` (all prepared before the fork: the child only calls
// async-signal-safe functions), standard input from /dev/null, standard output into a pipe,
// standard error ours, no other descriptor of the host.
void Spawn(const std::string& program,
           std::vector<std::string> args,
           std::vector<std::string> env,
           Helper* started) {
  Helper& helper = *started;
  std::vector<char*> argv = Pointers(args);
  std::vector<char*> envp = Pointers(env);
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    helper.error = errno;
    return;
  }
  ScopedFd read_end(pipe_fds[0]);
  ScopedFd write_end(pipe_fds[1]);
  ScopedFd null_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!null_fd.valid()) {
    helper.error = errno;
    return;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    if (dup2(null_fd.get(), 0) != 0 || dup2(write_end.get(), 1) != 1) {
      _exit(127);
    }
    if (syscall(SYS_close_range, 3, ~0U, 0) != 0) {
      for (int fd = 3; fd < 1024; ++fd) {
        close(fd);
      }
    }
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  if (pid < 0) {
    helper.error = errno;
    return;
  }
  helper.pid = pid;
  helper.output.reset(read_end.release());
}

// Relays the helper's output line by line; remembers whether the command's last line came.
class OutputRelay {
 public:
  // Reads `fd` without blocking from here on: a round must never wait longer than its poll.
  explicit OutputRelay(int fd) : fd_(fd) {
    if (fd_ >= 0) {
      fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
  }

  // Waits up to one round for output and relays what came.
  void Round() {
    if (fd_ < 0 || eof_) {
      SleepRound();
      return;
    }
    struct pollfd entry = {fd_, POLLIN, 0};
    if (poll(&entry, 1, kRoundMs) > 0) {
      Drain();
    }
  }

  // Relays everything that is there now, and a last unterminated line at end of file.
  void Drain() {
    if (fd_ < 0 || eof_) {
      return;
    }
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(fd_, buffer, sizeof(buffer));
      if (got > 0) {
        pending_.append(buffer, static_cast<size_t>(got));
        EmitLines();
        continue;
      }
      if (got == -1 && errno == EINTR) {
        continue;
      }
      if (got == 0) {
        // Nothing more will come; polling a closed pipe would return at once, every round.
        eof_ = true;
        if (!pending_.empty()) {
          Emit(pending_);
          pending_.clear();
        }
      }
      return;
    }
  }

  bool done() const { return done_; }

 private:
  void EmitLines() {
    size_t end;
    while ((end = pending_.find('\n')) != std::string::npos) {
      Emit(pending_.substr(0, end));
      pending_.erase(0, end + 1);
    }
  }

  void Emit(std::string line) {
    // A terminal between root's command and us would add carriage returns.
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line == korvane::kGrantDoneLine) {
      done_ = true;
      return;
    }
    korvane::LogOut() << line;
  }

  int fd_;
  std::string pending_;
  bool eof_ = false;
  bool done_ = false;
};

// Reaps a helper we could not end, whenever it ends by itself, so that no zombie is left.
void ReapInBackground(pid_t pid) {
  try {
    std::thread([pid] {
      while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error& error) {
    kLog.Error() << "Cannot wait for helper pid " << pid << ": " << error.what();
  }
}

// One attempt through `program`: true when the grant is in place afterwards.
bool RunAttempt(const std::string& program,
                std::vector<std::string> args,
                std::vector<std::string> env,
                const std::filesystem::path& granted_dir,
                const std::string& sha256,
                const char* label) {
  Helper helper;
  Spawn(program, std::move(args), std::move(env), &helper);
  if (helper.pid < 0) {
    kLog.Error() << "fork() failed: " + ErrnoText(helper.error);
    return GrantedCopy::IsInPlace(granted_dir, sha256);
  }
  return ElevatedHelper::WaitForSetcapOrCapability(helper.pid, helper.output.get(), granted_dir,
                                                   sha256, label) ||
         GrantedCopy::IsInPlace(granted_dir, sha256);
}

// The programs root's command runs: setcap and patchelf into `values`, setpriv only looked for.
// False, with one line naming the missing one, when one is not installed.
bool FindGrantTools(korvane::GrantScriptValues* values) {
  values->setcap = FirstExecutable(kSetcapCandidates);
  if (values->setcap.empty()) {
    kLog.Error() << "setcap not found";
    return false;
  }
  // The copy runs with the capability, where the loader ignores $ORIGIN: without its own
  // absolute run path it could not start at all.
  values->patchelf = FirstExecutable(kPatchelfCandidates);
  if (values->patchelf.empty()) {
    kLog.Error() << "patchelf not found";
    return false;
  }
  if (FirstExecutable(kSetprivCandidates).empty()) {
    kLog.Error() << "setpriv not found";
    return false;
  }
  return true;
}

// The sudo attempt; true when the grant is in place afterwards.
bool TrySudo(const std::string& askpass_found,
             const std::vector<std::string>& command,
             const ElevationEnvironment& environment,
             const std::filesystem::path& granted_dir,
             const std::string& sha256) {
  kLog.Info() << "Trying sudo -A fallback (askpass: " + askpass_found + ")";
  korvane::SealedAskpass sealed;
  std::string askpass = askpass_found;
  const std::string wrapper = korvane::RenderAskpassWrapper(askpass_found);
  if (!wrapper.empty()) {
    if (!sealed.Start(wrapper)) {
      return GrantedCopy::IsInPlace(granted_dir, sha256);
    }
    askpass = sealed.path();
  }
  std::vector<std::string> args = {"sudo", "-A", "--"};
  args.insert(args.end(), command.begin(), command.end());
  return RunAttempt(kSudoPath, std::move(args), environment.With("SUDO_ASKPASS", askpass),
                    granted_dir, sha256, kSudoLabel);
}

}  // namespace

std::string ElevatedHelper::FindAskpass() {
  return FirstExecutable(kAskpassCandidates);
}

bool ElevatedHelper::WaitForSetcapOrCapability(pid_t pid,
                                               int output_fd,
                                               const std::filesystem::path& granted_dir,
                                               const std::string& binary_sha256,
                                               const std::string& label) {
  const std::string target = GrantedCopy::Target(granted_dir).string();
  OutputRelay relay(output_fd);
  int rounds_after_done = 0;
  for (int round = 0; round < wait_rounds_; ++round) {
    relay.Round();
    int status = 0;
    const pid_t waited = waitpid(pid, &status, WNOHANG);
    if (waited == -1) {
      const int error = errno;
      kLog.Error() << "waitpid failed for " + label + ": " + ErrnoText(error);
      return false;
    }
    if (waited == pid) {
      relay.Drain();
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        if (GrantedCopy::IsInPlace(granted_dir, binary_sha256)) {
          return true;
        }
        kLog.Error() << label +
                            " helper exited successfully but capability verification failed for " +
                            target;
        return false;
      }
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      kLog.Error() << label + " helper failed with exit code " + std::to_string(code);
      return false;
    }
    // The command has finished every step (the polkit rule included); only the helper around
    // it lingers.
    if (relay.done() && ++rounds_after_done > kDoneGraceRounds &&
        GrantedCopy::IsInPlace(granted_dir, binary_sha256)) {
      kLog.Info() << label + " observed CAP_NET_ADMIN on disk before helper exit";
      TerminateHelperProcess(pid);
      return true;
    }
  }
  kLog.Error() << label + " timed out waiting for helper completion or capability";
  TerminateHelperProcess(pid);
  return GrantedCopy::IsInPlace(granted_dir, binary_sha256);
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
    kLog.Error() << "Failed to SIGTERM helper pid " + std::to_string(pid) + ": " + ErrnoText(error);
  }
  if (reap(term_reap_rounds_)) {
    return;
  }
  if (kill(pid, SIGKILL) != 0 && errno != ESRCH) {
    const int error = errno;
    kLog.Error() << "Failed to SIGKILL helper pid " + std::to_string(pid) + ": " + ErrnoText(error);
  }
  if (reap(kill_reap_rounds_)) {
    return;
  }
  kLog.Error() << "Abandoning unreapable helper pid " + std::to_string(pid) +
                      " (likely root-owned)";
  ReapInBackground(pid);
}

bool ElevatedHelper::ElevatedPatchelfAndSetcap(const GrantRequest& request,
                                               const ElevationEnvironment& environment) {
  const std::filesystem::path& binary = request.binary;
  if (binary.empty()) {
    kLog.Error() << "Cannot resolve binary for elevated ops: " + request.path;
    return false;
  }
  const std::filesystem::path dir = binary.parent_path();
  const std::filesystem::path lib = dir / "lib";
  struct stat info;
  if (lstat(lib.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    kLog.Error() << "lib directory missing: " + Quoted(lib);
    return false;
  }
  korvane::GrantScriptValues values;
  if (!FindGrantTools(&values)) {
    return false;
  }
  values.user = CurrentUserName(environment);
  if (!values.user.empty() && !korvane::IsPolkitSafeUserName(values.user)) {
    kLog.Error() << "Leaving out the polkit rule: the user name is not a plain login name";
    values.user.clear();
  }
  const std::filesystem::path granted_dir = GrantedCopy::DirectoryFor(dir, getuid());
  values.source = dir.string();
  values.dest = granted_dir.string();
  values.uid = getuid();
  values.gid = getgid();
  values.binary_sha256 = request.binary_sha256;
  values.wrapper_sha256 = request.wrapper_sha256;
  values.copy_data = lstat((dir / "data").c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  const std::vector<std::string> command = korvane::GrantCommandLine(values);

  kLog.Info() << "Running elevated patchelf+setcap";
  kLog.Info() << "  binary:  " + Quoted(binary);
  kLog.Info() << "  wrapper: " + (request.wrapper_sha256.empty()
                                      ? std::string("(not found)")
                                      : (granted_dir / kCapWrapperName).string());
  kLog.Info() << "  rpath:   " + Quoted(granted_dir / "lib");

  const std::string askpass = FindAskpass();
  if (!askpass.empty()) {
    if (TrySudo(askpass, command, environment, granted_dir, request.binary_sha256)) {
      return true;
    }
    kLog.Error() << "sudo -A failed; trying pkexec fallback";
  }

  kLog.Info() << "Trying pkexec...";
  std::string pkexec = SearchPath("pkexec", environment);
  if (pkexec.empty()) {
    pkexec = kPkexecFallbackPath;
  }
  std::vector<std::string> args = {"pkexec"};
  args.insert(args.end(), command.begin(), command.end());
  return RunAttempt(pkexec, std::move(args), environment.variables, granted_dir,
                    request.binary_sha256, kPkexecLabel);
}
