#include "tests/support/host_fixture.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "tests/support/process_report.h"

namespace korvane_test {

namespace {

// Generous: the host starts under the sanitizers on a shared machine.
constexpr int kStartTimeoutMs = 60000;
constexpr int kHelloTimeoutMs = 20000;
constexpr int kStopTimeoutMs = 30000;
constexpr int kPollMs = 20;

int64_t Now() {
  return g_get_monotonic_time() / 1000;
}

std::string ReadFile(const std::string& path) {
  gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) {
    return "";
  }
  std::string text(contents, length);
  g_free(contents);
  return text;
}

// The current environment with |overrides| (NAME=VALUE) applied and |removed| names dropped.
std::vector<std::string> MakeEnvironment(
    const std::vector<std::pair<std::string, std::string>>& overrides,
    const std::vector<std::string>& removed) {
  gchar** env = g_get_environ();
  for (const auto& name : removed) {
    env = g_environ_unsetenv(env, name.c_str());
  }
  for (const auto& [name, value] : overrides) {
    env = g_environ_setenv(env, name.c_str(), value.c_str(), TRUE);
  }
  std::vector<std::string> result;
  for (gchar** e = env; *e != nullptr; e++) {
    result.emplace_back(*e);
  }
  g_strfreev(env);
  return result;
}

std::vector<const gchar*> CStrings(const std::vector<std::string>& strings) {
  std::vector<const gchar*> result;
  for (const auto& s : strings) {
    result.push_back(s.c_str());
  }
  result.push_back(nullptr);
  return result;
}

void NewProcessGroup(gpointer) {
  setpgid(0, 0);
}

// Overlays `target` with a writable layer kept below `dir`/`name`; false on failure.
bool OverlayInto(const char* dir, const char* name, const char* target) {
  char upper[4096];
  char work[4096];
  char options[9000];
  snprintf(upper, sizeof(upper), "%s/%s-upper", dir, name);
  snprintf(work, sizeof(work), "%s/%s-work", dir, name);
  snprintf(options, sizeof(options), "lowerdir=%s,upperdir=%s,workdir=%s", target, upper, work);
  return mkdir(upper, 0755) == 0 && mkdir(work, 0755) == 0 &&
         mount("overlay", target, "overlay", 0, options) == 0;
}

// Between fork and exec of a host that gets private system directories (data: the directory,
// existing and empty, that holds the overlays' own directories): a mount namespace of its own,
// a tmpfs on that directory, and /etc and /var/lib overlaid from there. A failure ends the
// child: the host must never reach the machine's own.
void NewProcessGroupWithPrivateSystem(gpointer data) {
  setpgid(0, 0);
  const char* dir = static_cast<const char*>(data);
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", dir, "tmpfs", MS_NODEV, "mode=0755") != 0 ||
      !OverlayInto(dir, "etc", "/etc") || !OverlayInto(dir, "var-lib", "/var/lib")) {
    _exit(125);
  }
}

// Starts |argv| with |env|, output to the given descriptors (-1: inherited) and |extra_fd| as
// descriptor 3 (if >= 0). Returns the pid or -1.
pid_t Spawn(const std::vector<std::string>& argv,
            const std::vector<std::string>& env,
            int stdout_fd,
            int stderr_fd,
            int extra_fd,
            bool new_group,
            std::string* error,
            const char* private_system = nullptr) {
  std::vector<const gchar*> c_argv = CStrings(argv);
  std::vector<const gchar*> c_env = CStrings(env);
  gint source_fds[] = {extra_fd};
  gint target_fds[] = {3};
  GPid pid = -1;
  GError* spawn_error = nullptr;
  gboolean ok = g_spawn_async_with_pipes_and_fds(
      nullptr, c_argv.data(), c_env.data(),
      static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH |
                               G_SPAWN_STDIN_FROM_DEV_NULL),
      private_system != nullptr ? NewProcessGroupWithPrivateSystem
      : new_group               ? NewProcessGroup
                                : nullptr,
      const_cast<char*>(private_system), -1, stdout_fd, stderr_fd,
      extra_fd >= 0 ? source_fds : nullptr, extra_fd >= 0 ? target_fds : nullptr,
      extra_fd >= 0 ? 1 : 0, &pid, nullptr, nullptr, nullptr, &spawn_error);
  if (!ok) {
    *error = "cannot start " + argv[0] + ": " + spawn_error->message;
    g_error_free(spawn_error);
    return -1;
  }
  return pid;
}

// Waits up to |timeout_ms| for |pid|; returns its wait status or -1.
int WaitFor(pid_t pid, int timeout_ms) {
  int64_t deadline = Now() + timeout_ms;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      return status;
    }
    if (done < 0 || Now() >= deadline) {
      return -1;
    }
    g_usleep(kPollMs * 1000);
  }
}

// SIGTERM, then SIGKILL; always reaps. |group| signals the whole process group of |pid|.
int Terminate(pid_t pid, bool group) {
  pid_t target = group ? -pid : pid;
  kill(target, SIGTERM);
  int status = WaitFor(pid, kStopTimeoutMs);
  if (status == -1) {
    kill(target, SIGKILL);
    waitpid(pid, &status, 0);
  }
  if (group) {
    // Children the host left behind in its group.
    kill(target, SIGKILL);
  }
  return status;
}

int OpenOutput(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

bool WaitForText(const std::string& path, const std::string& needle, int timeout_ms) {
  int64_t deadline = Now() + timeout_ms;
  for (;;) {
    if (ReadFile(path).find(needle) != std::string::npos) {
      return true;
    }
    if (Now() >= deadline) {
      return false;
    }
    g_usleep(kPollMs * 1000);
  }
}

}  // namespace

HostFixture::HostFixture() {
  gchar* dir = g_dir_make_tmp("korvane-host-XXXXXX", nullptr);
  if (dir != nullptr) {
    dir_ = dir;
    g_free(dir);
  }
  home_ = dir_ + "/home";
  config_home_ = dir_ + "/config";
  runtime_dir_ = dir_ + "/runtime";
  socket_path_ = runtime_dir_ + "/korvane/ui.sock";
  stdout_path_ = dir_ + "/korvane.stdout";
  stderr_path_ = dir_ + "/korvane.stderr";
  for (const auto& d : {home_, config_home_, runtime_dir_, dir_ + "/data", dir_ + "/cache"}) {
    g_mkdir_with_parents(d.c_str(), 0700);
  }
}

HostFixture::~HostFixture() {
  Stop();
  if (::testing::Test::HasFailure()) {
    ReportFailure("test failed");
  }
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
}

bool HostFixture::Start(const HostOptions& options, std::string* error) {
  std::string local_error;
  if (error == nullptr) {
    error = &local_error;
  }
  if (dir_.empty()) {
    *error = "no temporary directory";
    return false;
  }
  options_ = options;
  if (!SpawnDisplayWithRetries(options, error) || !StartHost(options, error)) {
    ReportFailure(*error);
    return false;
  }
  return true;
}

bool HostFixture::StartDisplay(const HostOptions& options, std::string* error) {
  std::string local_error;
  if (error == nullptr) {
    error = &local_error;
  }
  if (dir_.empty() || !SpawnDisplayWithRetries(options, error)) {
    fprintf(stderr, "[host fixture] %s\n", error->c_str());
    return false;
  }
  return true;
}

bool HostFixture::SpawnDisplayWithRetries(const HostOptions& options, std::string* error) {
  // Now and then a fresh Xvfb reports its display and yet its first client cannot connect
  // (seen with several servers starting at once); a new server is the cure.
  constexpr int kAttempts = 3;
  for (int attempt = 1;; ++attempt) {
    if (SpawnDisplay(options, error)) {
      return true;
    }
    if (attempt == kAttempts) {
      return false;
    }
    fprintf(stderr, "[host fixture] display attempt %d failed, starting a new one: %s\n", attempt,
            error->c_str());
    if (wm_pid_ > 0) {
      Terminate(wm_pid_, true);
      wm_pid_ = -1;
    }
    if (xvfb_pid_ > 0) {
      Terminate(xvfb_pid_, true);
      xvfb_pid_ = -1;
    }
  }
}

bool HostFixture::SpawnDisplay(const HostOptions& options, std::string* error) {
  std::string display_file = dir_ + "/display";
  int display_fd = OpenOutput(display_file);
  int log_fd = OpenOutput(dir_ + "/xvfb.log");
  std::vector<std::string> base_env = MakeEnvironment({{"HOME", home_}}, {"WAYLAND_DISPLAY"});
  // No reset when the last client leaves (a host that restarts or is killed is the last one):
  // a resetting server re-creates its listeners, and one whose socket file another server
  // replaced (the servers of tests in private network namespaces all take display 0 and share
  // /tmp/.X11-unix) then left the next client unanswered in its connection setup.
  xvfb_pid_ = Spawn(
      {"Xvfb", "-displayfd", "3", "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"},
      base_env, log_fd, log_fd, display_fd, true, error);
  close(display_fd);
  close(log_fd);
  if (xvfb_pid_ < 0) {
    return false;
  }
  int64_t deadline = Now() + kStartTimeoutMs;
  while (ReadFile(display_file).find('\n') == std::string::npos) {
    if (Now() >= deadline || WaitFor(xvfb_pid_, 0) != -1) {
      *error = "Xvfb did not report a display: " + ReadFile(dir_ + "/xvfb.log");
      return false;
    }
    g_usleep(kPollMs * 1000);
  }
  std::string number = ReadFile(display_file);
  display_ = ":" + number.substr(0, number.find('\n'));

  if (options.window_manager.empty()) {
    return true;
  }
  std::vector<std::string> wm_env = MakeEnvironment({{"HOME", home_}, {"DISPLAY", display_}}, {});
  std::vector<std::string> wm_argv = {"/bin/sh", "-c", options.window_manager};
  if (options.window_manager == "openbox") {
    wm_argv = {"openbox", "--sm-disable"};
  }
  int wm_log = OpenOutput(dir_ + "/wm.log");
  wm_pid_ = Spawn(wm_argv, wm_env, wm_log, wm_log, -1, true, error);
  close(wm_log);
  if (wm_pid_ < 0) {
    return false;
  }
  if (!options.wait_for_path.empty()) {
    deadline = Now() + kStartTimeoutMs;
    while (!g_file_test(options.wait_for_path.c_str(), G_FILE_TEST_EXISTS)) {
      if (Now() >= deadline || WaitFor(wm_pid_, 0) != -1) {
        *error = options.wait_for_path + " did not appear: " + ReadFile(dir_ + "/wm.log");
        return false;
      }
      g_usleep(kPollMs * 1000);
    }
  }
  if (!options.wait_for_window_manager) {
    return true;
  }
  deadline = Now() + kStartTimeoutMs;
  for (;;) {
    std::string output;
    std::vector<std::string> xprop = {"xprop", "-display", display_, "-root",
                                      "_NET_SUPPORTING_WM_CHECK"};
    std::vector<const gchar*> c_argv = CStrings(xprop);
    gchar* out = nullptr;
    if (g_spawn_sync(nullptr, const_cast<gchar**>(c_argv.data()), nullptr,
                     static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL),
                     nullptr, nullptr, &out, nullptr, nullptr, nullptr)) {
      output = out != nullptr ? out : "";
      g_free(out);
    }
    if (output.find("window id") != std::string::npos) {
      return true;
    }
    const bool wm_exited = WaitFor(wm_pid_, 0) != -1;
    if (wm_exited) {
      wm_pid_ = -1;  // reaped: never signal that pid again
    }
    if (Now() >= deadline || wm_exited) {
      *error = "the window manager did not announce itself: " + ReadFile(dir_ + "/wm.log");
      return false;
    }
    g_usleep(50 * 1000);
  }
}

bool HostFixture::StartHost(const HostOptions& options, std::string* error) {
  std::string executable = options.executable;
  if (executable.empty()) {
    const char* bundle = getenv("KORVANE_BUNDLE_DIR");
    if (bundle == nullptr || bundle[0] == '\0') {
      *error = "KORVANE_BUNDLE_DIR is not set";
      return false;
    }
    executable = std::string(bundle) + "/korvane";
  }
  std::vector<std::pair<std::string, std::string>> overrides = {
      {"HOME", home_},
      {"XDG_CONFIG_HOME", config_home_},
      {"XDG_DATA_HOME", dir_ + "/data"},
      {"XDG_CACHE_HOME", dir_ + "/cache"},
      {"XDG_RUNTIME_DIR", runtime_dir_},
      {"KORVANE_UI_SOCKET", socket_path_},
      {"DISPLAY", display_},
      {"GDK_BACKEND", "x11"},
      // No accessibility bus and no session bus: nothing outside the test is reached, and
      // GLib does not launch a bus of its own for the display.
      {"NO_AT_BRIDGE", "1"},
      {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir_ + "/no-session-bus"},
  };
  // The host's leak reports are unwound in full: GTK, Pango and fontconfig have no frame
  // pointers, and only a full stack reaches the named function a suppression can match.
  const char* asan_options = getenv("ASAN_OPTIONS");
  if (asan_options != nullptr) {
    overrides.emplace_back("ASAN_OPTIONS", std::string(asan_options) + ":fast_unwind_on_malloc=0");
  }
  if (!options.control_panel) {
    overrides.emplace_back("KORVANE_CONTROL_PANEL", "0");
  }
  for (const auto& entry : options.env) {
    overrides.push_back(entry);
  }
  std::vector<std::string> removed = options.unset_env;
  removed.push_back("WAYLAND_DISPLAY");
  host_env_ = MakeEnvironment(overrides, removed);

  std::vector<std::string> argv = {executable};
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  int out_fd = OpenOutput(stdout_path_);
  int err_fd = OpenOutput(stderr_path_);
  const std::string overlay_dir = dir_ + "/.system-overlay";
  if (options.private_system) {
    std::error_code ignored;
    std::filesystem::create_directories(overlay_dir, ignored);
  }
  host_pid_ = Spawn(argv, host_env_, out_fd, err_fd, -1, true, error,
                    options.private_system ? overlay_dir.c_str() : nullptr);
  close(out_fd);
  close(err_fd);
  if (host_pid_ < 0) {
    return false;
  }
  host_status_ = -1;
  if (!options.wait_for_socket) {
    return true;
  }
  int64_t deadline = Now() + kStartTimeoutMs;
  for (;;) {
    struct stat info;
    if (lstat(socket_path_.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
      return true;
    }
    if (!IsHostRunning()) {
      *error =
          "korvane exited before its socket appeared (status " + std::to_string(host_status_) + ")";
      return false;
    }
    if (Now() >= deadline) {
      *error = "no UI bridge socket at " + socket_path_ +
               "; the host's processes and the display:\n" +
               DescribeProcesses([this](const ProcessFacts& process) {
                 return process.group == host_pid_ || process.pid == xvfb_pid_;
               });
      return false;
    }
    g_usleep(kPollMs * 1000);
  }
}

void HostFixture::Stop() {
  if (host_pid_ > 0) {
    if (IsHostRunning()) {
      host_status_ = Terminate(host_pid_, true);
    } else {
      kill(-host_pid_, SIGKILL);
    }
    host_pid_ = -1;
  }
  if (wm_pid_ > 0) {
    Terminate(wm_pid_, true);
    wm_pid_ = -1;
  }
  if (xvfb_pid_ > 0) {
    Terminate(xvfb_pid_, true);
    xvfb_pid_ = -1;
  }
}

int HostFixture::StopHost() {
  if (host_pid_ <= 0) {
    return host_status_;
  }
  if (IsHostRunning()) {
    kill(host_pid_, SIGTERM);
    int status = WaitFor(host_pid_, kStopTimeoutMs);
    if (status == -1) {
      kill(-host_pid_, SIGKILL);
      waitpid(host_pid_, &status, 0);
    }
    host_status_ = status;
  }
  return host_status_;
}

bool HostFixture::RestartHost(std::string* error) {
  std::string local_error;
  if (error == nullptr) {
    error = &local_error;
  }
  if (display_.empty()) {
    *error = "the host was never started";
    return false;
  }
  if (host_pid_ > 0) {
    StopHost();
    // Children the old host left behind in its group.
    kill(-host_pid_, SIGKILL);
    host_pid_ = -1;
  }
  // A socket the old host left behind must not pass for the new one's.
  unlink(socket_path_.c_str());
  if (!StartHost(options_, error)) {
    ReportFailure(*error);
    return false;
  }
  return true;
}

std::unique_ptr<BridgeClient> HostFixture::Connect(std::string* error) {
  auto client = std::make_unique<BridgeClient>();
  std::string local_error;
  int64_t deadline = Now() + kHelloTimeoutMs;
  // A client the test has just dropped may not be let go yet, and the host takes one client
  // at a time: try again while it closes on us without a hello.
  while (!client->Connect(socket_path_, kHelloTimeoutMs, &local_error)) {
    if (client->connected() || Now() >= deadline || !IsHostRunning()) {
      if (error != nullptr) {
        *error = local_error;
      }
      return nullptr;
    }
    g_usleep(50 * 1000);
  }
  return client;
}

bool HostFixture::IsHostRunning() {
  if (host_pid_ <= 0) {
    return false;
  }
  if (host_status_ != -1) {
    return false;
  }
  int status = 0;
  pid_t done = waitpid(host_pid_, &status, WNOHANG);
  if (done == host_pid_) {
    host_status_ = status;
    return false;
  }
  return done == 0;
}

int HostFixture::WaitForHostExit(int timeout_ms) {
  if (host_pid_ <= 0 || host_status_ != -1) {
    return host_status_;
  }
  int status = WaitFor(host_pid_, timeout_ms);
  if (status != -1) {
    host_status_ = status;
  }
  return status;
}

std::string HostFixture::Stdout() const {
  return ReadFile(stdout_path_);
}

std::string HostFixture::Stderr() const {
  return ReadFile(stderr_path_);
}

bool HostFixture::WaitForStderr(const std::string& needle, int timeout_ms) const {
  return WaitForText(stderr_path_, needle, timeout_ms);
}

bool HostFixture::WaitForStdout(const std::string& needle, int timeout_ms) const {
  return WaitForText(stdout_path_, needle, timeout_ms);
}

int HostFixture::RunWithHostEnvironment(const std::vector<std::string>& argv,
                                        std::string* output) const {
  std::vector<const gchar*> c_argv = CStrings(argv);
  std::vector<const gchar*> c_env = CStrings(host_env_);
  gchar* out = nullptr;
  gchar* err = nullptr;
  gint status = 0;
  if (!g_spawn_sync(nullptr, const_cast<gchar**>(c_argv.data()), const_cast<gchar**>(c_env.data()),
                    G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out, &err, &status, nullptr)) {
    return -1;
  }
  if (output != nullptr) {
    *output = std::string(out != nullptr ? out : "") + (err != nullptr ? err : "");
  }
  g_free(out);
  g_free(err);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string HostFixture::Screenshot(const std::string& name, const std::string& dir) const {
  std::string target = dir;
  if (target.empty()) {
    const char* build = getenv("KORVANE_BUILD_DIR");
    target = build != nullptr && build[0] != '\0' ? std::string(build) + "/artifacts" : "/tmp";
  }
  g_mkdir_with_parents(target.c_str(), 0755);
  std::string path = target + "/" + name + ".png";
  std::vector<std::string> argv = {"import", "-display", display_, "-window", "root", path};
  std::vector<const gchar*> c_argv = CStrings(argv);
  gint status = 0;
  if (!g_spawn_sync(nullptr, const_cast<gchar**>(c_argv.data()), nullptr,
                    static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL |
                                             G_SPAWN_STDERR_TO_DEV_NULL),
                    nullptr, nullptr, nullptr, nullptr, &status, nullptr) ||
      !g_spawn_check_wait_status(status, nullptr)) {
    return "";
  }
  return path;
}

void HostFixture::ReportFailure(const std::string& what) const {
  std::string out = Stdout();
  std::string err = Stderr();
  constexpr size_t kTail = 4000;
  if (out.size() > kTail) {
    out = "..." + out.substr(out.size() - kTail);
  }
  if (err.size() > kTail) {
    err = "..." + err.substr(err.size() - kTail);
  }
  fprintf(stderr, "[host fixture] %s\n--- korvane stdout ---\n%s\n--- korvane stderr ---\n%s\n",
          what.c_str(), out.c_str(), err.c_str());
}

std::string HostFixture::OutputWithHostEnvironment(const std::vector<std::string>& argv,
                                                   int* status) const {
  std::string output;
  const int result = RunWithHostEnvironment(argv, &output);
  if (status != nullptr) {
    *status = result;
  }
  return output;
}

}  // namespace korvane_test
