// "restartApp" and "restartFromInstallDir" on the real korvane: the host starts its successor,
// answers, and quits through its normal shut-down; the successor waits for it, then serves the
// bridge on the same socket path, where korvanectl reaches it. Also: the launcher beside the
// executable, an executable replaced on disk, an executable that cannot be started (also when
// its exec fails only after the liveness check), and the managed runtime put in place by
// korvane-install-runtime with every refusal before a start.
//
// The successor outlives the host by design: this test process is made the subreaper of its
// orphans, so each successor is stopped and reaped here.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "base/sha256.h"
#include "platform/privileges/granted_copy.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/bundle_copy.h"
#include "tests/support/tagged_line.h"
#include "tests/support/test_files.h"

namespace korvane_test {
namespace {

namespace fs = std::filesystem;
using Events = std::vector<std::string>;

constexpr int kTimeoutMs = 60000;
const std::string kExitedLine =
    std::string(korvane::kKorvaneTag) + " Parent process exited. Starting new instance.\n";
constexpr char kOutsideRoot[] = "installDir must be inside the managed AppImage runtime root";
constexpr char kMissingFiles[] = "Managed runtime is missing required files";

std::string BundleDir() {
  const char* bundle = getenv("KORVANE_BUNDLE_DIR");
  return bundle != nullptr ? bundle : "";
}

std::string Korvanectl() {
  const char* build = getenv("KORVANE_BUILD_DIR");
  return std::string(build != nullptr ? build : ".") + "/tools/korvanectl/korvanectl";
}

std::string ProcLink(pid_t pid, const char* name) {
  std::error_code ec;
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/" + name, ec).string();
}

// The value of `name` in the environment of `pid` ("<unset>" when absent).
std::string ProcEnv(pid_t pid, const std::string& name) {
  std::string environ = ReadFile("/proc/" + std::to_string(pid) + "/environ");
  const std::string key = name + "=";
  for (size_t at = 0; at < environ.size();) {
    size_t end = environ.find('\0', at);
    if (end == std::string::npos) {
      end = environ.size();
    }
    if (environ.compare(at, key.size(), key) == 0) {
      return environ.substr(at + key.size(), end - at - key.size());
    }
    at = end + 1;
  }
  return "<unset>";
}

std::string ErrorText(const BridgeClient::Response& response) {
  if (response.status != BridgeClient::Status::kError) {
    return "<not an error: status " + std::to_string(static_cast<int>(response.status)) + " " +
           response.failure + ">";
  }
  return response.code + ": " + response.message;
}

// A slow machine as an exec sees it: a write lease on `path` holds up every open of the file
// for reading, an exec's too. Once such an open has begun waiting, the lease stays `hold`
// longer, then goes.
class SlowOpen {
 public:
  SlowOpen(const std::string& path, std::chrono::milliseconds hold)
      : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    // The lease's break signal would otherwise end the test.
    previous_ = signal(SIGIO, SIG_IGN);
    if (fd_ < 0 || fcntl(fd_, F_SETLEASE, F_WRLCK) != 0) {
      error_ = errno;
      return;
    }
    holder_ = std::thread([this, hold] {
      // A lease being broken for a reader reports the read lease it is to become.
      const gint64 deadline = g_get_monotonic_time() + kTimeoutMs * 1000LL;
      while (fcntl(fd_, F_GETLEASE) == F_WRLCK && g_get_monotonic_time() < deadline) {
        g_usleep(1000);
      }
      waited_ = fcntl(fd_, F_GETLEASE) != F_WRLCK;
      if (waited_) {
        g_usleep(std::chrono::microseconds(hold).count());
      }
      fcntl(fd_, F_SETLEASE, F_UNLCK);
    });
  }
  ~SlowOpen() {
    Join();
    if (fd_ >= 0) {
      close(fd_);
    }
    signal(SIGIO, previous_);
  }
  bool leased() const { return holder_.joinable(); }
  int error() const { return error_; }
  // Whether an open waited on the lease, once the lease has gone.
  bool Join() {
    if (holder_.joinable()) {
      holder_.join();
    }
    return waited_;
  }

 private:
  const int fd_;
  sighandler_t previous_;
  std::thread holder_;
  bool waited_ = false;
  int error_ = 0;
};

FlValuePtr InstallDirArgument(const std::string& dir) {
  FlValuePtr args(fl_value_new_map());
  fl_value_set_string_take(args.get(), "installDir", fl_value_new_string(dir.c_str()));
  return args;
}

// The instance a restart started: connected to once it serves the bridge, stopped and reaped
// (as the subreaper of the test) when destroyed.
class Successor {
 public:
  ~Successor() { Stop(); }

  // Waits for the successor's bridge on `socket_path` and reads its pid from the hello.
  bool Connect(const std::string& socket_path, std::string* error) {
    const gint64 deadline = g_get_monotonic_time() + kTimeoutMs * 1000LL;
    client_ = std::make_unique<BridgeClient>();
    while (!client_->Connect(socket_path, kTimeoutMs, error)) {
      if (g_get_monotonic_time() >= deadline) {
        return false;
      }
      client_ = std::make_unique<BridgeClient>();
      g_usleep(50 * 1000);
    }
    FlValue* pid = fl_value_lookup_string(client_->hello(), "pid");
    if (pid == nullptr || fl_value_get_type(pid) != FL_VALUE_TYPE_INT) {
      *error = "no pid in the hello";
      return false;
    }
    pid_ = static_cast<pid_t>(fl_value_get_int(pid));
    return true;
  }

  pid_t pid() const { return pid_; }
  BridgeClient* client() { return client_.get(); }
  void CloseClient() { client_.reset(); }

  // SIGTERM, then SIGKILL after a while; the wait status (-1 when it was not ours to reap).
  int Stop() {
    client_.reset();
    if (pid_ <= 0) {
      return -1;
    }
    kill(pid_, SIGTERM);
    int status = -1;
    const gint64 deadline = g_get_monotonic_time() + kTimeoutMs * 1000LL;
    pid_t done = 0;
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && g_get_monotonic_time() < deadline) {
      g_usleep(20 * 1000);
    }
    if (done == 0) {
      kill(pid_, SIGKILL);
      done = waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return done > 0 ? status : -1;
  }

 private:
  std::unique_ptr<BridgeClient> client_;
  pid_t pid_ = -1;
};

class AppRestartTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Orphaned successors are reparented to this process, which reaps them.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  }

  // Starts the host from `executable` ("" for the bundle's) with a private GNOME desktop.
  void StartHost(const std::string& executable, bool private_system = false) {
    HostOptions options;
    options.window_manager = "";
    options.executable = executable;
    options.private_system = private_system;
    options.env = GnomeKeyfileEnvironment();
    std::string error;
    ASSERT_TRUE(host_.Start(options, &error)) << error;
    std::unique_ptr<BridgeClient> client = host_.Connect(&error);
    ASSERT_NE(client, nullptr) << error;
    ui_ = std::make_unique<Ui>(std::move(client));
    old_pid_ = host_.host_pid();
  }

  std::string App() const { return host_.dir() + "/app"; }

  // The old host has quit through its normal shut-down (exit status 0).
  void ExpectOldHostExitedCleanly() {
    const int status = host_.WaitForHostExit(kTimeoutMs);
    ASSERT_NE(status, -1) << "the old host is still running";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
  }

  // The successor serves the bridge on the old socket path and names the old host as the
  // parent it waited for; korvanectl reaches it there.
  void ConnectSuccessor() {
    std::string error;
    ASSERT_TRUE(successor_.Connect(host_.socket_path(), &error)) << error;
    EXPECT_NE(successor_.pid(), old_pid_);
    EXPECT_NE(
        host_.Stdout().find(std::string(korvane::kKorvaneTag) + " Waiting for parent process " +
                            std::to_string(old_pid_) + " to exit...\n"),
        std::string::npos)
        << host_.Stdout();
    EXPECT_NE(host_.Stdout().find(kExitedLine), std::string::npos);
    EXPECT_EQ(ReadFile("/proc/" + std::to_string(successor_.pid()) + "/cmdline"),
              ProcLink(successor_.pid(), "exe") + std::string(1, '\0') +
                  "--wait-for-parent-pid=" + std::to_string(old_pid_) + std::string(1, '\0'));
    BridgeClient::Response status =
        successor_.client()->Call(kVpnChannel, "getStatus", nullptr, kCallTimeoutMs);
    EXPECT_EQ(StringResult(status), "disconnected");
    // One client at a time: korvanectl gets the bridge once the test lets go.
    successor_.CloseClient();
    std::string output;
    EXPECT_EQ(host_.RunWithHostEnvironment({Korvanectl(), "call", "isRunning"}, &output), 0)
        << output;
    EXPECT_NE(output.find("false"), std::string::npos) << output;
  }

  void StopSuccessor() {
    const int status = successor_.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
  }

  HostFixture host_;
  std::unique_ptr<Ui> ui_;
  pid_t old_pid_ = -1;
  // Declared after the host: stopped before the fixture tears the display down.
  Successor successor_;
};

TEST_F(AppRestartTest, RestartAppGoesThroughTheLauncherAndTheOldHostShutsDown) {
  std::string error;
  const std::string executable = CopyBundleExecutable(App(), &error);
  ASSERT_FALSE(executable.empty()) << error;
  // Restores a session value the host does not have, so its mark shows on the successor.
  WriteFile(App() + "/korvane-launch.sh",
            "#!/bin/sh\n"
            "DIR=\"$(cd \"$(dirname \"$0\")\" && pwd)\"\n"
            "export XDG_SESSION_TYPE='x11 from the launcher'\n"
            "exec \"$DIR/korvane\" \"$@\"\n",
            0755);
  ASSERT_NO_FATAL_FAILURE(StartHost(executable));

  // A connection with the desktop proxy on: the old host's shut-down must undo it.
  ASSERT_TRUE(ui_->Listen());
  const int port = FreePort();
  const int controller = FreePort();
  ASSERT_TRUE(IsTrueResponse(ui_->Load(MixedConfig(port, controller, host_.dir() + "/e.log"))));
  ASSERT_EQ(ui_->EventsUntil({"vpn_connected", "vpn_error"}),
            (Events{"vpn_connecting", "vpn_connected"}));
  ASSERT_EQ(GnomeSetting(host_, "org.gnome.system.proxy", "mode"), "'manual'");
  ASSERT_TRUE(IsListening(port));

  EXPECT_TRUE(IsTrueResponse(ui_->Call("restartApp")));
  ui_.reset();
  EXPECT_NE(
      host_.Stdout().find(
          korvane_test::Tagged(korvane::kVPNManagerTag, "Restarting app via launcher: ") + App() +
          "/korvane-launch.sh. New instance will wait for PID " + std::to_string(old_pid_) + "\n"),
      std::string::npos)
      << host_.Stdout();
  ASSERT_NO_FATAL_FAILURE(ExpectOldHostExitedCleanly());
  // Its shut-down ran: engine stopped cleanly, port closed, desktop proxy off.
  EXPECT_EQ(GnomeSetting(host_, "org.gnome.system.proxy", "mode"), "'none'");
  EXPECT_FALSE(IsListening(port));
  EXPECT_TRUE(fs::exists(host_.config_home() + "/korvane/libbox_clean_shutdown"));

  ASSERT_NO_FATAL_FAILURE(ConnectSuccessor());
  EXPECT_EQ(ProcLink(successor_.pid(), "exe"), executable);
  EXPECT_EQ(ProcEnv(successor_.pid(), "XDG_SESSION_TYPE"), "x11 from the launcher");
  // Everything else comes unchanged from the old host.
  EXPECT_EQ(ProcEnv(successor_.pid(), "KORVANE_UI_SOCKET"), host_.socket_path());
  StopSuccessor();
}

TEST_F(AppRestartTest, RestartAppStartsTheFileThatReplacedTheExecutable) {
  std::string error;
  const std::string executable = CopyBundleExecutable(App(), &error);
  ASSERT_FALSE(executable.empty()) << error;
  // A directory by the launcher's name is no launcher.
  ASSERT_EQ(mkdir((App() + "/korvane-launch.sh").c_str(), 0755), 0);
  ASSERT_NO_FATAL_FAILURE(StartHost(executable));

  // An update replaces the file while the host runs.
  ASSERT_TRUE(ReplaceWithBundleExecutable(executable, &error)) << error;
  ASSERT_EQ(ProcLink(old_pid_, "exe"), executable + " (deleted)");
  struct stat replacement;
  ASSERT_EQ(stat(executable.c_str(), &replacement), 0);

  EXPECT_TRUE(IsTrueResponse(ui_->Call("restartApp")));
  ui_.reset();
  const std::string out = host_.Stdout();
  EXPECT_NE(
      out.find(korvane_test::Tagged(korvane::kVPNManagerTag,
                                    "Stripped '(deleted)' suffix from exe path: \"") +
               executable + "\"\n" +
               korvane_test::Tagged(korvane::kVPNManagerTag, "Restarting app via binary: ") +
               executable + ". New instance will wait for PID " + std::to_string(old_pid_) + "\n"),
      std::string::npos)
      << out;
  ASSERT_NO_FATAL_FAILURE(ExpectOldHostExitedCleanly());

  ASSERT_NO_FATAL_FAILURE(ConnectSuccessor());
  // The new file, not the deleted one.
  EXPECT_EQ(ProcLink(successor_.pid(), "exe"), executable);
  struct stat running;
  ASSERT_EQ(stat(("/proc/" + std::to_string(successor_.pid()) + "/exe").c_str(), &running), 0);
  EXPECT_EQ(running.st_ino, replacement.st_ino);
  StopSuccessor();
}

TEST_F(AppRestartTest, RestartAppWithoutALauncherRunsTheGrantedCopy) {
  std::string error;
  const std::string executable = CopyBundleExecutable(App(), &error);
  ASSERT_FALSE(executable.empty()) << error;
  ASSERT_EQ(mkdir((App() + "/korvane-launch.sh").c_str(), 0755), 0);
  ASSERT_NO_FATAL_FAILURE(StartHost(executable, /*private_system=*/true));
  // A grant in place for this install, in the host's own /var/lib, as root's command leaves it.
  const std::string granted =
      korvane::GrantedCopy::DirectoryFor(fs::canonical(App()), getuid()).string();
  const std::string copy = host_.HostPath(granted);
  fs::create_directories(copy);
  for (const char* entry : {"korvane", "lib", "data"}) {
    fs::copy(App() + "/" + entry, copy + "/" + entry, fs::copy_options::recursive);
  }
  WriteFile(copy + "/sha256", Sha256::FileHex(executable) + "\n");
  WriteFile(copy + "/source", App());
  ASSERT_EQ(system(("setcap cap_net_admin+ep '" + copy + "/korvane'").c_str()), 0);

  EXPECT_TRUE(IsTrueResponse(ui_->Call("restartApp")));
  ui_.reset();
  EXPECT_NE(
      host_.Stdout().find(
          korvane_test::Tagged(korvane::kVPNManagerTag, "Restarting app via binary: ") + granted +
          "/korvane. New instance will wait for PID " + std::to_string(old_pid_) + "\n"),
      std::string::npos)
      << host_.Stdout();
  ASSERT_NO_FATAL_FAILURE(ExpectOldHostExitedCleanly());
  ASSERT_NO_FATAL_FAILURE(ConnectSuccessor());
  EXPECT_EQ(ProcLink(successor_.pid(), "exe"), granted + "/korvane");
  StopSuccessor();
}

TEST_F(AppRestartTest, RestartAppThatCannotStartTheSuccessorAnswersTheErrorAndStays) {
  std::string error;
  const std::string executable = CopyBundleExecutable(App(), &error);
  ASSERT_FALSE(executable.empty()) << error;
  const std::string launcher = App() + "/korvane-launch.sh";
  ASSERT_NO_FATAL_FAILURE(StartHost(executable));

  struct Case {
    const char* what;
    const char* text;
    mode_t mode;
    const char* exec_error;  // the text of the exec's errno
    bool slow;               // the exec fails long after the liveness check
  };
  const std::vector<Case> cases = {
      {"not executable", "#!/bin/sh\nexit 0\n", 0644, "Permission denied", false},
      {"missing interpreter", "#!/nonexistent/interpreter\n", 0755, "No such file or directory",
       false},
      {"not a program",
       "\x7f"
       "ELF but nothing more",
       0755, "Exec format error", false},
      // Only the exec's own report can tell this failure from a start.
      {"missing interpreter, slow", "#!/nonexistent/interpreter\n", 0755,
       "No such file or directory", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(launcher, c.text, c.mode);
    const size_t logged = host_.Stderr().size();
    std::unique_ptr<SlowOpen> slow;
    if (c.slow) {
      // Ten times the liveness check.
      slow = std::make_unique<SlowOpen>(launcher, std::chrono::seconds(1));
      ASSERT_TRUE(slow->leased()) << strerror(slow->error());
    }
    BridgeClient::Response response = ui_->Call("restartApp");
    if (slow) {
      EXPECT_TRUE(slow->Join()) << "the exec never opened the launcher";
    }
    EXPECT_EQ(ErrorText(response), "EXCEPTION: Restart failed: could not exec new instance");
    EXPECT_NE(host_.Stderr().find(
                  korvane_test::Tagged(korvane::kVPNManagerTag,
                                       "Restart child exited immediately (exec failed)\n") +
                      korvane_test::Tagged(korvane::kVPNManagerTag, "exec: ") +
                      std::string(c.exec_error) + "\n",
                  logged),
              std::string::npos)
        << host_.Stderr().substr(logged);
  }
  const std::string err = host_.Stderr();
  size_t lines = 0;
  for (size_t at = err.find(korvane_test::Tagged(
           korvane::kVPNManagerTag, "Restart child exited immediately (exec failed)\n"));
       at != std::string::npos;
       at = err.find(korvane_test::Tagged(korvane::kVPNManagerTag,
                                          "Restart child exited immediately (exec failed)\n"),
                     at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, cases.size()) << err;

  // Still the same host, answering, with nothing else on its socket.
  EXPECT_TRUE(host_.IsHostRunning());
  EXPECT_EQ(StringResult(ui_->Call("getStatus")), "disconnected");
  EXPECT_EQ(host_.Stdout().find(std::string(korvane::kKorvaneTag) + " Waiting for parent process"),
            std::string::npos);
  ui_.reset();
  std::unique_ptr<BridgeClient> again = host_.Connect(&error);
  ASSERT_NE(again, nullptr) << error;
  EXPECT_EQ(fl_value_get_int(fl_value_lookup_string(again->hello(), "pid")), old_pid_);
}

// Runs korvane-install-runtime with the host's environment and `extra` on top.
int InstallRuntime(const HostFixture& host,
                   const std::vector<std::string>& args,
                   const std::vector<std::pair<std::string, std::string>>& extra,
                   std::string* output) {
  std::vector<std::string> argv = {KORVANE_INSTALL_RUNTIME};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env_argv = {"env"};
  for (const auto& [name, value] : extra) {
    env_argv.push_back(name + "=" + value);
  }
  env_argv.insert(env_argv.end(), argv.begin(), argv.end());
  return host.RunWithHostEnvironment(env_argv, output);
}

std::string RuntimeRoot(const HostFixture& host) {
  return host.home() + "/.local/share/Korvane/appimage-runtime";
}

TEST_F(AppRestartTest, RestartFromInstallDirRefusesAnythingButACompleteManagedRuntime) {
  ASSERT_NO_FATAL_FAILURE(StartHost(""));
  const std::string root = RuntimeRoot(host_);
  std::string output;
  ASSERT_EQ(InstallRuntime(host_, {BundleDir(), "1.0.0"}, {}, &output), 0) << output;
  const std::string installed = root + "/1.0.0";

  // Complete-looking install directories made of links into the real one, each lacking one
  // entry (or with a link loop in its place).
  const std::vector<std::string> entries = {"korvane", "korvane-launch.sh", "lib", "manifest.json",
                                            "data"};
  auto make_linked = [&](const std::string& dir, const std::string& left_out) {
    fs::create_directories(dir);
    for (const std::string& entry : entries) {
      if (entry != left_out) {
        fs::create_symlink(installed + "/" + entry, dir + "/" + entry);
      }
    }
  };
  for (const std::string& entry : entries) {
    make_linked(root + "/without-" + entry, entry);
  }
  // data without icudtl.dat.
  make_linked(root + "/without-icudtl", "data");
  fs::create_directories(root + "/without-icudtl/data/flutter_assets");
  // lib as a loop of links.
  make_linked(root + "/looping-lib", "lib");
  fs::create_symlink(root + "/looping-lib/lib", root + "/looping-lib/lib");
  // The install directory itself a loop.
  fs::create_symlink(root + "/loop", root + "/loop");
  // Outside, each complete: in the home, in a sibling named like the root with a digit
  // appended, and in the root's parent.
  const std::string parent = fs::path(root).parent_path().string();
  for (const std::string& outside :
       {host_.home() + "/runtime-copy", root + "2/1.0.0", parent + "/1.0.0"}) {
    make_linked(outside, "");
  }
  // A complete install whose name holds a line break.
  make_linked(root + "/1.0.0\n[VPNManager] forged line", "");
  // The relative path that names the real install from the host's working directory.
  const std::string relative = fs::relative(installed, fs::current_path()).string();
  ASSERT_EQ(relative.front(), '.');

  struct Case {
    std::string what;
    std::string dir;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {"outside the root", host_.home() + "/runtime-copy", kOutsideRoot},
      {"sibling of the root", root + "2/1.0.0", kOutsideRoot},
      {"the root's parent through ..", root + "/..", kOutsideRoot},
      {"into the root's parent through ..", installed + "/../../1.0.0", kOutsideRoot},
      {"a loop of links", root + "/loop", kOutsideRoot},
      {"a relative path", relative, kOutsideRoot},
      {"a line break", root + "/1.0.0\n[VPNManager] forged line", kOutsideRoot},
      {"empty", "", kOutsideRoot},
      {"no korvane", root + "/without-korvane", kMissingFiles},
      {"no launcher", root + "/without-korvane-launch.sh", kMissingFiles},
      {"no lib", root + "/without-lib", kMissingFiles},
      {"no manifest", root + "/without-manifest.json", kMissingFiles},
      {"no data", root + "/without-data", kMissingFiles},
      {"no icudtl.dat", root + "/without-icudtl", kMissingFiles},
      {"lib a loop of links", root + "/looping-lib", kMissingFiles},
      {"the root itself", root, kMissingFiles},
  };
  for (const Case& c : cases) {
    FlValuePtr args = InstallDirArgument(c.dir);
    EXPECT_EQ(ErrorText(ui_->Call("restartFromInstallDir", args.get())),
              "INVALID_ARGUMENT: " + c.answer)
        << c.what;
  }
  // Nothing was started for any of them.
  EXPECT_EQ(host_.Stdout().find("Restarting from managed AppImage runtime"), std::string::npos)
      << host_.Stdout();
  // The line break never reached the log as one.
  EXPECT_EQ(host_.Stdout().find("\n[VPNManager] forged line"), std::string::npos);
  EXPECT_EQ(host_.Stderr().find("\n[VPNManager] forged line"), std::string::npos) << host_.Stderr();

  // Only existence is checked up front: a launcher that is a directory fails in the child.
  make_linked(root + "/directory-launcher", "korvane-launch.sh");
  fs::create_directory(root + "/directory-launcher/korvane-launch.sh");
  FlValuePtr args = InstallDirArgument(root + "/directory-launcher");
  EXPECT_EQ(ErrorText(ui_->Call("restartFromInstallDir", args.get())),
            "EXCEPTION: Restart failed: could not exec managed runtime");
  EXPECT_NE(host_.Stdout().find(korvane_test::Tagged(korvane::kVPNManagerTag,
                                                     "Restarting from managed AppImage runtime: ") +
                                root + "/directory-launcher\n"),
            std::string::npos);
  EXPECT_NE(
      host_.Stderr().find(
          korvane_test::Tagged(korvane::kVPNManagerTag,
                               "Restart child exited immediately (managed runtime exec failed)\n") +
          korvane_test::Tagged(korvane::kVPNManagerTag, "exec: Permission denied\n")),
      std::string::npos)
      << host_.Stderr();

  EXPECT_TRUE(host_.IsHostRunning());
  EXPECT_EQ(StringResult(ui_->Call("getStatus")), "disconnected");
}

TEST_F(AppRestartTest, RestartFromInstallDirStartsTheInstalledRuntime) {
  ASSERT_NO_FATAL_FAILURE(StartHost(""));
  // Installed from another session than the host's: its launcher carries that session.
  std::string output;
  ASSERT_EQ(InstallRuntime(host_, {BundleDir(), "2.1.0-test"},
                           {{"XDG_SESSION_TYPE", "installing session"},
                            {"XDG_CURRENT_DESKTOP", "Installer's desktop"}},
                           &output),
            0)
      << output;
  const std::string installed = RuntimeRoot(host_) + "/2.1.0-test";
  EXPECT_EQ(output, installed + "\n");

  FlValuePtr args = InstallDirArgument(installed);
  EXPECT_TRUE(IsTrueResponse(ui_->Call("restartFromInstallDir", args.get())));
  ui_.reset();
  EXPECT_NE(host_.Stdout().find(korvane_test::Tagged(korvane::kVPNManagerTag,
                                                     "Restarting from managed AppImage runtime: ") +
                                installed + "\n"),
            std::string::npos)
      << host_.Stdout();
  ASSERT_NO_FATAL_FAILURE(ExpectOldHostExitedCleanly());

  ASSERT_NO_FATAL_FAILURE(ConnectSuccessor());
  // The installed executable, started by the installed launcher in its own directory.
  EXPECT_EQ(ProcLink(successor_.pid(), "exe"), installed + "/korvane");
  EXPECT_EQ(ProcLink(successor_.pid(), "cwd"), installed);
  EXPECT_EQ(ProcEnv(successor_.pid(), "XDG_SESSION_TYPE"), "installing session");
  EXPECT_EQ(ProcEnv(successor_.pid(), "XDG_CURRENT_DESKTOP"), "Installer's desktop");
  StopSuccessor();
}

}  // namespace
}  // namespace korvane_test
