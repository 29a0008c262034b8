// A privileged korvane loads no code that its environment, its command line, the user's
// settings.ini or the display's settings name. The real bundle is copied where uid 65534 can
// read it, given cap_net_admin+ep (or started with the capability in its ambient set), and run
// as 65534 under Xvfb beside a module that marks where it was loaded: no mark may appear, and the
// host, still capable, answers over its bridge. A granted copy below another user's directory of
// the granted root (a private /var/lib) runs without any capability.

#include <fcntl.h>
#include <glib.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/secure_start.h"
#include "base/logger.h"
#include "platform/privileges/granted_copy.h"
#include "tests/support/host_fixture.h"
#include "tests/support/kept_paths.h"
#include "tests/support/shell_command.h"
#include "tests/support/test_files.h"
#include "tools/korvanectl/bridge_client.h"
#include "vpn/vpn_channels.h"

namespace korvane_test {
namespace {

namespace fs = std::filesystem;
using korvane::BridgeClient;

constexpr uid_t kNobody = 65534;
constexpr int kTimeoutMs = 20000;
constexpr const char* kVpn = korvane::kVpnChannelName;
const std::string kIgnoringLine =
    std::string(korvane::kSecurityWarnTag) + " Privileged start: ignoring ";
constexpr char kModuleName[] = "korvanemark";

// How the host gets its capability.
enum class Launch {
  kFileCapability,  // cap_net_admin+ep on the copy: secure-execution mode
  kAmbient,         // handed on through the ambient set: no secure-execution mode
};

// Replaces every "{stage}" in |text|.
std::string Expand(std::string text, const std::string& stage) {
  for (size_t at; (at = text.find("{stage}")) != std::string::npos;) {
    text.replace(at, 7, stage);
  }
  return text;
}

// A status line's value from /proc/<pid>/status ("" when absent).
std::string ProcessStatus(pid_t pid, const std::string& key) {
  std::istringstream lines(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(key + ":", 0) == 0) {
      const size_t value = line.find_first_not_of(" \t", key.size() + 1);
      return value == std::string::npos ? "" : line.substr(value);
    }
  }
  return "";
}

// What the UI side sees, connected as uid 65534 (the bridge serves only the host's own user).
struct Seen {
  std::string failure;
  std::vector<std::string> args;  // the hello's entry-point arguments
  std::string admin;              // "checkAdminPrivileges": "1", "0" or the failure
};

Seen AskAsNobody(const std::string& socket_path) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return {"pipe", {}, ""};
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string out;
    BridgeClient client;
    std::string error;
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0) {
      out = "failure=cannot become uid 65534\n";
    } else if (!client.Connect(socket_path, kTimeoutMs, &error)) {
      out = "failure=" + error + "\n";
    } else {
      FlValue* args = fl_value_lookup_string(client.hello(), "entrypointArguments");
      for (size_t i = 0; args != nullptr && i < fl_value_get_length(args); ++i) {
        out += std::string("arg=") + fl_value_get_string(fl_value_get_list_value(args, i)) + "\n";
      }
      BridgeClient::Response admin = client.Call(kVpn, "checkAdminPrivileges", nullptr, kTimeoutMs);
      out += "admin=" +
             (admin.result != nullptr
                  ? std::to_string(fl_value_get_bool(admin.result.get()))
                  : StatusName(admin.status) + std::string(" ") + admin.failure + admin.message) +
             "\n";
    }
    for (size_t done = 0; done < out.size();) {
      const ssize_t n = write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0) {
        break;
      }
      done += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof(buffer))) > 0;) {
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  Seen seen;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("failure=", 0) == 0) {
      seen.failure = line.substr(8);
    } else if (line.rfind("arg=", 0) == 0) {
      seen.args.push_back(line.substr(4));
    } else if (line.rfind("admin=", 0) == 0) {
      seen.admin = line.substr(6);
    }
  }
  return seen;
}

class PrivilegedStartTestBase {
 protected:
  // The fixture's directories go to 65534, and a copy of the bundle with the marker module,
  // readable by 65534, goes to stage_; the copy gets cap_net_admin+ep when |file_capability|.
  // False (with a test failure) when something is missing.
  bool Prepare(bool file_capability) {
    const char* bundle = getenv("KORVANE_BUNDLE_DIR");
    if (bundle == nullptr) {
      ADD_FAILURE() << "KORVANE_BUNDLE_DIR is not set";
      return false;
    }
    stage_ = host_.dir() + "/stage";
    copy_ = stage_ + "/bundle";
    fs::create_directories(stage_);
    fs::copy(bundle, copy_, fs::copy_options::recursive);
    for (const char* dir : {"modules", "gtk/modules", "dri", "gio", "xdg/gtk-3.0", "empty"}) {
      fs::create_directories(stage_ + "/" + dir);
    }
    // The same code under the names each loader looks for.
    for (const char* name : {"modules/libkorvanemark.so", "gtk/modules/libkorvanemark.so",
                             "dri/swrast_dri.so", "gio/libkorvanemark.so"}) {
      fs::copy_file(KORVANE_MARKER_MODULE, stage_ + "/" + name);
    }
    std::string output;
    if (RunShellCommand(
            "chown -R 65534:65534 " + Quote(host_.dir()) + " && chmod 0755 " + Quote(host_.dir()),
            &output) != 0) {
      ADD_FAILURE() << output;
      return false;
    }
    // A secure-execution process ignores $ORIGIN: the copy names its libraries' directory, as a
    // grant does.
    std::string command = "patchelf --force-rpath --set-rpath " + Quote(copy_ + "/lib") + " " +
                          Quote(copy_ + "/korvane");
    if (file_capability) {
      command += " && setcap cap_net_admin+ep " + Quote(copy_ + "/korvane");
    }
    if (RunShellCommand(command, &output) != 0) {
      ADD_FAILURE() << command << ": " << output;
      return false;
    }
    return true;
  }

  // The sanitizer options of the test run with their suppression files copied into the stage:
  // the host runs as a user who may not read the checkout.
  std::vector<std::pair<std::string, std::string>> SanitizerEnvironment() {
    std::vector<std::pair<std::string, std::string>> env;
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS"}) {
      const char* value = getenv(name);
      if (value == nullptr) {
        continue;
      }
      std::string options = value;
      const std::string suppressions = korvane_test::SuppressionFile(name);
      if (!suppressions.empty()) {
        // The last suppressions= counts.
        const std::string copy = stage_ + "/" + name + ".supp";
        fs::copy_file(suppressions, copy, fs::copy_options::overwrite_existing);
        options += ":suppressions=\"" + copy + "\"";
      }
      if (std::string(name) == "ASAN_OPTIONS") {
        options += ":fast_unwind_on_malloc=0";
      }
      env.emplace_back(name, options);
    }
    return env;
  }

  // Options that start the host with none of the variables a privileged start drops, so that
  // what it says it ignores is what the test set.
  static HostOptions CleanOptions() {
    HostOptions options;
    options.window_manager = "";
    for (const char* name : korvane::kCodeLoadingVariables) {
      options.unset_env.emplace_back(name);
    }
    return options;
  }

  // setpriv's options that run the program after them as 65534, with the capability handed on
  // as |launch| says.
  static std::vector<std::string> AsNobody(Launch launch) {
    std::vector<std::string> args = {"--reuid=65534", "--regid=65534", "--clear-groups"};
    if (launch == Launch::kAmbient) {
      args.insert(args.end(), {"--inh-caps=+net_admin", "--ambient-caps=+net_admin"});
    } else {
      args.push_back("--inh-caps=-all");
    }
    return args;
  }

  // Every mark the module left, with what it wrote.
  std::string Marks() const {
    std::string marks;
    for (const auto& entry : fs::recursive_directory_iterator(stage_)) {
      const std::string path = entry.path().string();
      if (path.size() > 7 && path.compare(path.size() - 7, 7, ".loaded") == 0) {
        marks += path + ": " + ReadFile(path);
      }
    }
    return marks;
  }

  static std::string Quote(const std::string& text) {
    gchar* quoted = g_shell_quote(text.c_str());
    std::string result = quoted;
    g_free(quoted);
    return result;
  }

  HostFixture host_;
  std::string stage_;
  std::string copy_;
};

struct LoadCase {
  const char* name;
  Launch launch;
  // Extra environment and arguments; "{stage}" is the stage directory.
  std::vector<std::pair<std::string, std::string>> env;
  std::vector<std::string> args;
  // A settings.ini naming the module: "user" ($XDG_CONFIG_HOME), "system" ($XDG_CONFIG_DIRS).
  std::string settings_ini;
  // An XSETTINGS manager on the display publishes the module as Gtk/Modules.
  bool xsettings = false;
  // What the start says it ignores (after "ignoring "); "" when it names nothing.
  std::string ignored;
};

std::ostream& operator<<(std::ostream& out, const LoadCase& c) {
  return out << c.name;
}

const char kModule[] = "{stage}/modules/libkorvanemark.so";

class PrivilegedStartLoadTest : public PrivilegedStartTestBase,
                                public ::testing::TestWithParam<LoadCase> {};

TEST_P(PrivilegedStartLoadTest, LoadsNoModuleItsStartNames) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root: a file capability, and a host run as uid 65534";
  }
  const LoadCase& c = GetParam();
  ASSERT_TRUE(Prepare(c.launch == Launch::kFileCapability));
  const std::string module = Expand(kModule, stage_);

  HostOptions options = CleanOptions();
  options.executable = "setpriv";
  options.args = AsNobody(c.launch);
  options.args.push_back(copy_ + "/korvane");
  for (const std::string& arg : c.args) {
    options.args.push_back(Expand(arg, stage_));
  }
  options.env = SanitizerEnvironment();
  for (const auto& [name, value] : c.env) {
    options.env.emplace_back(name, Expand(value, stage_));
  }
  const std::string settings = "[Settings]\ngtk-modules=" + module + "\n";
  if (c.settings_ini == "user") {
    fs::create_directories(host_.config_home() + "/gtk-3.0");
    WriteFile(host_.config_home() + "/gtk-3.0/settings.ini", settings);
  } else if (c.settings_ini == "system") {
    WriteFile(stage_ + "/xdg/gtk-3.0/settings.ini", settings);
    options.env.emplace_back("XDG_CONFIG_DIRS", stage_ + "/xdg");
  }
  if (c.xsettings) {
    const std::string ready = stage_ + "/xsettings.ready";
    options.window_manager =
        Quote(KORVANE_FAKE_XSETTINGS_MANAGER) + " " + Quote(module) + " " + Quote(ready);
    options.wait_for_window_manager = false;
    options.wait_for_path = ready;
  }
  std::string error;
  ASSERT_TRUE(host_.Start(options, &error)) << error;

  // The host reaches the UI, still capable, and the module never ran.
  const Seen seen = AskAsNobody(host_.socket_path());
  ASSERT_EQ(seen.failure, "");
  EXPECT_EQ(seen.admin, "1");
  for (const std::string& arg : seen.args) {
    EXPECT_EQ(arg.find("--gtk-module"), std::string::npos) << arg;
  }
  EXPECT_EQ(ProcessStatus(host_.host_pid(), "Name"), "korvane");
  EXPECT_EQ(ProcessStatus(host_.host_pid(), "CapEff"), "0000000000001000");
  // Programs it starts (found through the user's PATH) do not get the capability.
  EXPECT_EQ(ProcessStatus(host_.host_pid(), "CapInh"), "0000000000000000");
  EXPECT_EQ(ProcessStatus(host_.host_pid(), "CapAmb"), "0000000000000000");
  EXPECT_EQ(Marks(), "");
  if (!c.ignored.empty()) {
    EXPECT_NE(host_.Stderr().find(kIgnoringLine + Expand(c.ignored, stage_) + "\n"),
              std::string::npos)
        << host_.Stderr();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Starts,
    PrivilegedStartLoadTest,
    ::testing::Values(
        // Modules named by the environment, by path or by name in a directory it names.
        LoadCase{"GtkModules",
                 Launch::kFileCapability,
                 {{"GTK_MODULES", kModule}},
                 {},
                 "",
                 false,
                 "GTK_MODULES"},
        LoadCase{"Gtk3Modules",
                 Launch::kFileCapability,
                 {{"GTK3_MODULES", kModule}},
                 {},
                 "",
                 false,
                 "GTK3_MODULES"},
        LoadCase{"GtkPath",
                 Launch::kFileCapability,
                 {{"GTK_MODULES", kModuleName}, {"GTK_PATH", "{stage}/gtk"}},
                 {},
                 "",
                 false,
                 "GTK_MODULES, GTK_PATH"},
        // The GL driver GDK's GLX probe loads when it opens the display.
        LoadCase{"MesaDriverPath",
                 Launch::kFileCapability,
                 {{"LIBGL_DRIVERS_PATH", "{stage}/dri"}},
                 {},
                 "",
                 false,
                 "LIBGL_DRIVERS_PATH"},
        // The command line, in both spellings: neither reaches GTK nor the Dart side.
        LoadCase{"GtkModuleArguments",
                 Launch::kFileCapability,
                 {},
                 {"--gtk-module=" + std::string(kModule), "--gtk-module", kModule, "kept"},
                 "",
                 false,
                 "--gtk-module, --gtk-module"},
        // The user's settings.ini and one in a configuration directory the environment names.
        LoadCase{"UserSettingsIni", Launch::kFileCapability, {}, {}, "user", false, ""},
        LoadCase{"SystemSettingsIni", Launch::kFileCapability, {}, {}, "system", false, ""},
        // The display's XSETTINGS.
        LoadCase{"Xsettings",
                 Launch::kFileCapability,
                 {},
                 {},
                 "",
                 true,
                 std::string("the display's gtk-modules setting: ") + kModule},
        // Capabilities handed on through the ambient set: no secure-execution mode, so GLib
        // honours its own variables too.
        LoadCase{"AmbientGtkModules",
                 Launch::kAmbient,
                 {{"GTK_MODULES", kModule}},
                 {},
                 "",
                 false,
                 "GTK_MODULES"},
        LoadCase{"AmbientGioExtraModules",
                 Launch::kAmbient,
                 {{"GIO_EXTRA_MODULES", "{stage}/gio"}},
                 {},
                 "",
                 false,
                 "GIO_EXTRA_MODULES"}),
    [](const ::testing::TestParamInfo<LoadCase>& info) { return std::string(info.param.name); });

class PrivilegedStartCapabilityTest : public PrivilegedStartTestBase, public ::testing::Test {};

// Without secure-execution mode the dynamic loader has already honoured LD_LIBRARY_PATH (every
// later dlopen by name searches it): the process gives its capabilities up.
TEST_F(PrivilegedStartCapabilityTest, AmbientStartWithALoaderPathDropsItsCapabilities) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root: a host run as uid 65534 with an ambient capability";
  }
  ASSERT_TRUE(Prepare(false));
  HostOptions options = CleanOptions();
  options.executable = "setpriv";
  options.args = AsNobody(Launch::kAmbient);
  options.args.push_back(copy_ + "/korvane");
  options.env = SanitizerEnvironment();
  options.env.emplace_back("LD_LIBRARY_PATH", stage_ + "/empty");
  std::string error;
  ASSERT_TRUE(host_.Start(options, &error)) << error;

  const Seen seen = AskAsNobody(host_.socket_path());
  ASSERT_EQ(seen.failure, "");
  EXPECT_EQ(seen.admin, "0");
  EXPECT_EQ(ProcessStatus(host_.host_pid(), "CapEff"), "0000000000000000");
  EXPECT_EQ(ProcessStatus(host_.host_pid(), "CapPrm"), "0000000000000000");
  EXPECT_EQ(ProcessStatus(host_.host_pid(), "CapAmb"), "0000000000000000");
  EXPECT_NE(host_.Stderr().find(std::string(korvane::kSecurityWarnTag) +
                                " capabilities without secure-execution mode and "
                                "LD_LIBRARY_PATH set: dropped all capabilities\n"),
            std::string::npos)
      << host_.Stderr();
}

struct GrantedCase {
  const char* name;
  // The <uid> component of the copy's directory.
  std::string owner;
  bool keeps_capability;
};

class GrantedCopyTest : public PrivilegedStartTestBase,
                        public ::testing::TestWithParam<GrantedCase> {};

TEST_P(GrantedCopyTest, OnlyTheUserItWasGrantedToKeepsTheCapability) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root: a private /var/lib, a file capability, a host run as 65534";
  }
  const GrantedCase& c = GetParam();
  ASSERT_TRUE(Prepare(false));  // the copy below the root gets the capability
  const std::string uid_dir = std::string(korvane::kGrantedRoot) + "/" + c.owner;
  const std::string target = uid_dir + "/0123abcd";

  // In a private mount namespace, over an empty /var/lib: the copy is root's, its <uid>
  // directory root:65534 0750 (65534 shares the owner's group), and it carries the capability.
  HostOptions options = CleanOptions();
  options.executable = "unshare";
  const std::string script =
      "set -e; mount -t tmpfs -o mode=0755 korvane-test /var/lib; mkdir -p \"$2\"; "
      "cp -R \"$1/.\" \"$2/\"; chown -R 0:0 /var/lib/korvane; chgrp 65534 \"$3\"; "
      "chmod 0750 \"$3\"; patchelf --force-rpath --set-rpath \"$2/lib\" \"$2/korvane\"; "
      "setcap cap_net_admin+ep \"$2/korvane\"; shift 3; exec setpriv \"$@\"";
  options.args = {"-m", "--propagation", "private", "/bin/sh", "-c", script,
                  "sh", copy_,           target,    uid_dir};
  for (const std::string& arg : AsNobody(Launch::kFileCapability)) {
    options.args.push_back(arg);
  }
  options.args.push_back(target + "/korvane");
  options.env = SanitizerEnvironment();
  std::string error;
  ASSERT_TRUE(host_.Start(options, &error)) << error;

  const Seen seen = AskAsNobody(host_.socket_path());
  ASSERT_EQ(seen.failure, "");
  EXPECT_EQ(ProcessStatus(host_.host_pid(), "Name"), "korvane");
  const std::string dropped_line = std::string(korvane::kSecurityWarnTag) + " " + target +
                                   "/korvane is granted to another user than uid 65534: dropped "
                                   "all capabilities\n";
  if (c.keeps_capability) {
    EXPECT_EQ(seen.admin, "1");
    EXPECT_EQ(ProcessStatus(host_.host_pid(), "CapEff"), "0000000000001000");
    EXPECT_EQ(host_.Stderr().find("dropped all capabilities"), std::string::npos) << host_.Stderr();
  } else {
    EXPECT_EQ(seen.admin, "0");
    EXPECT_EQ(ProcessStatus(host_.host_pid(), "CapEff"), "0000000000000000");
    EXPECT_EQ(ProcessStatus(host_.host_pid(), "CapPrm"), "0000000000000000");
    EXPECT_NE(host_.Stderr().find(dropped_line), std::string::npos) << host_.Stderr();
  }
}

INSTANTIATE_TEST_SUITE_P(Owners,
                         GrantedCopyTest,
                         ::testing::Values(GrantedCase{"OwnCopy", "65534", true},
                                           GrantedCase{"AnotherUsersCopy", "4242", false}),
                         [](const ::testing::TestParamInfo<GrantedCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace korvane_test
