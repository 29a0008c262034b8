#ifndef TESTS_SUPPORT_HOST_FIXTURE_H_
#define TESTS_SUPPORT_HOST_FIXTURE_H_

#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/korvanectl/bridge_client.h"

namespace korvane_test {

using korvane::BridgeClient;
using korvane::FlValuePtr;

// How to start the host for an end-to-end test.
struct HostOptions {
  // "openbox", "" for no window manager, or any other command line run (through /bin/sh) on
  // the private display.
  std::string window_manager = "openbox";
  // Wait until a window manager has announced itself on the root window (ignored without one).
  bool wait_for_window_manager = true;
  // A file the window manager creates when it is ready (for example a Wayland compositor's
  // socket, for hosts started with WAYLAND_DISPLAY): Start waits for it before the host starts.
  std::string wait_for_path;
  // Arguments after the program name.
  std::vector<std::string> args;
  // Extra environment, applied last (so it can replace the fixture's own values).
  std::vector<std::pair<std::string, std::string>> env;
  // Variables removed from the host's environment.
  std::vector<std::string> unset_env;
  // The executable; default $KORVANE_BUNDLE_DIR/korvane.
  std::string executable;
  // Wait for the UI bridge socket before Start returns.
  bool wait_for_socket = true;
  // The control panel in the window (a stand-in UI of its own). Off unless asked for: the test
  // plays the UI, and a panel would ask its own questions first (a crash report is given once).
  bool control_panel = false;
  // The host gets a mount namespace of its own with writable overlays over /etc and /var/lib
  // (where a grant writes the polkit rule and the granted copy), so a privilege request run for
  // real never reaches the machine's own.
  bool private_system = false;
};

// Runs the real korvane executable for one test: a private Xvfb (found with -displayfd), an
// optional window manager, and the host with a private HOME, XDG_CONFIG_HOME, XDG_DATA_HOME,
// XDG_CACHE_HOME, XDG_RUNTIME_DIR (0700) and KORVANE_UI_SOCKET, all in one temporary
// directory. The host's standard output and error go to files the test can read. Everything
// started is stopped (SIGTERM, then SIGKILL) and reaped by Stop or the destructor; korvane runs
// in its own process group so that its children are stopped too.
//
//   korvane_test::HostFixture host;
//   ASSERT_TRUE(host.Start());
//   auto client = host.Connect();
//   ASSERT_NE(client, nullptr);
//   auto response = client->Call("com.quorandel.korvane/vpn", "getStatus", nullptr, 10000);
//
// Not thread-safe: use from the test's thread.
class HostFixture {
 public:
  HostFixture();
  ~HostFixture();
  HostFixture(const HostFixture&) = delete;
  HostFixture& operator=(const HostFixture&) = delete;

  // Starts everything; on failure *error (if given) says why and the test output gets the
  // host's stderr. Call once per fixture.
  bool Start(const HostOptions& options = HostOptions(), std::string* error = nullptr);
  // Starts only Xvfb and the window manager (for tests that run GTK in-process on display()).
  bool StartDisplay(const HostOptions& options = HostOptions(), std::string* error = nullptr);
  // Stops the host, the window manager and Xvfb. Idempotent; files stay until destruction.
  void Stop();
  // Sends SIGTERM to the host alone and waits for it (the display stays up).
  int StopHost();
  // Stops the host alone (as StopHost) and starts it again with the options given to Start, in
  // the same directories and on the same display: for what must survive a restart.
  bool RestartHost(std::string* error = nullptr);

  // A client connected to the host's socket with its hello read, or null (*error says why).
  // While the host is still letting go of a client the test dropped, it is tried again.
  std::unique_ptr<BridgeClient> Connect(std::string* error = nullptr);

  // Whether the host process is still alive (it is reaped once it has exited).
  bool IsHostRunning();
  // Waits for the host to exit; returns its wait status, or -1 if it is still running.
  int WaitForHostExit(int timeout_ms);

  // What the host wrote so far.
  std::string Stdout() const;
  std::string Stderr() const;
  // Waits until the host's stderr (or stdout) contains |needle|.
  bool WaitForStderr(const std::string& needle, int timeout_ms) const;
  bool WaitForStdout(const std::string& needle, int timeout_ms) const;

  // Takes a screenshot of the whole display into |dir| (default: $KORVANE_BUILD_DIR/artifacts,
  // else /tmp) as <name>.png. Returns the file's path, or "" on failure.
  std::string Screenshot(const std::string& name, const std::string& dir = "") const;

  // Runs a command with the host's environment (DISPLAY, HOME, socket...) and returns its
  // exit status (-1 if it could not run); its output goes to *output when given.
  int RunWithHostEnvironment(const std::vector<std::string>& argv,
                             std::string* output = nullptr) const;
  // The same, returning the output; the exit status goes to *status when given.
  std::string OutputWithHostEnvironment(const std::vector<std::string>& argv,
                                        int* status = nullptr) const;

  const std::string& dir() const { return dir_; }
  const std::string& home() const { return home_; }
  const std::string& config_home() const { return config_home_; }
  const std::string& runtime_dir() const { return runtime_dir_; }
  const std::string& socket_path() const { return socket_path_; }
  // ":N" of the private Xvfb.
  const std::string& display() const { return display_; }
  pid_t host_pid() const { return host_pid_; }
  // `path` as the running host sees it (through /proc/<pid>/root: its own /etc and /var/lib).
  std::string HostPath(const std::string& path) const {
    return "/proc/" + std::to_string(host_pid_) + "/root" + path;
  }
  // The environment the host was started with (NAME=VALUE).
  const std::vector<std::string>& host_environment() const { return host_env_; }

 private:
  bool SpawnDisplay(const HostOptions& options, std::string* error);
  bool SpawnDisplayWithRetries(const HostOptions& options, std::string* error);
  bool StartHost(const HostOptions& options, std::string* error);
  void ReportFailure(const std::string& what) const;

  std::string dir_;
  std::string home_;
  std::string config_home_;
  std::string runtime_dir_;
  std::string socket_path_;
  std::string display_;
  std::string stdout_path_;
  std::string stderr_path_;
  std::vector<std::string> host_env_;
  HostOptions options_;
  pid_t xvfb_pid_ = -1;
  pid_t wm_pid_ = -1;
  pid_t host_pid_ = -1;
  int host_status_ = -1;
};

}  // namespace korvane_test

#endif  // TESTS_SUPPORT_HOST_FIXTURE_H_
