// The secure start's parts in-process: which variables go and which stay, which arguments go,
// which granted copies belong to another user, the pinning of GLib's configuration directories,
// and that the launcher carries none of the variables a privileged start drops.

#include "app/secure_start.h"

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "platform/privileges/launcher_script.h"
#include "tests/support/test_files.h"

namespace {

using korvane::SecureStart;
using korvane_test::ScopedEnv;

// Runs |body| in a forked child (GLib's caches and the process's privileges stay untouched) and
// returns what it returned.
std::string RunInChild(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return "<pipe failed>";
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const std::string out = body();
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
  char buffer[1024];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof(buffer))) > 0;) {
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return text;
}

std::string Value(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "<unset>";
}

// Every variable here makes GTK, GDK, GIO, GLib, gdk-pixbuf, Mesa, libglvnd or the Vulkan loader
// load code from a place it names.
const std::vector<std::string> kMustGo = {
    "GTK_MODULES",
    "GTK3_MODULES",
    "GTK_PATH",
    "GTK_EXE_PREFIX",
    "GTK_DATA_PREFIX",
    "GTK_IM_MODULE_FILE",
    "GTK_DEBUG",
    "GIO_EXTRA_MODULES",
    "GIO_MODULE_DIR",
    "GDK_PIXBUF_MODULE_FILE",
    "GDK_PIXBUF_MODULEDIR",
    "GCONV_PATH",
    "LIBGL_DRIVERS_PATH",
    "__EGL_VENDOR_LIBRARY_DIRS",
    "__EGL_VENDOR_LIBRARY_FILENAMES",
    "__GLX_VENDOR_LIBRARY_NAME",
    "VK_ICD_FILENAMES",
    "VK_LAYER_PATH",
};
// What the session needs and loads no code of its own choosing: selectors among installed
// modules, the display, the buses and the directories (GLib's configuration directories are
// pinned apart, not dropped: the host's own configuration directory follows XDG_CONFIG_HOME).
const std::vector<std::string> kMustStay = {
    "DISPLAY",
    "WAYLAND_DISPLAY",
    "DBUS_SESSION_BUS_ADDRESS",
    "XDG_RUNTIME_DIR",
    "XDG_CONFIG_HOME",
    "XDG_CONFIG_DIRS",
    "XDG_DATA_DIRS",
    "XDG_CURRENT_DESKTOP",
    "GSETTINGS_BACKEND",
    "GTK_IM_MODULE",
    "GTK_THEME",
    "GDK_BACKEND",
    "HOME",
    "LANG",
};

TEST(SecureStartTest, DropsTheVariablesThatLoadCodeAndKeepsTheSession) {
  std::vector<std::unique_ptr<ScopedEnv>> env;
  for (const auto* names : {&kMustGo, &kMustStay}) {
    for (const std::string& name : *names) {
      env.push_back(std::make_unique<ScopedEnv>(name.c_str(), "/tmp/set-by-the-test"));
    }
  }
  // The rest of the table stays unset, and is not named as dropped.
  for (const char* name : korvane::kCodeLoadingVariables) {
    if (std::find(kMustGo.begin(), kMustGo.end(), name) == kMustGo.end()) {
      env.push_back(std::make_unique<ScopedEnv>(name, nullptr));
    }
  }

  const std::vector<std::string> dropped = SecureStart::DropCodeLoadingVariables();
  const std::set<std::string> dropped_set(dropped.begin(), dropped.end());
  EXPECT_EQ(dropped_set.size(), dropped.size()) << "a name reported twice";
  for (const std::string& name : kMustGo) {
    EXPECT_EQ(getenv(name.c_str()), nullptr) << name;
    EXPECT_EQ(dropped_set.count(name), 1u) << name;
  }
  for (const std::string& name : kMustStay) {
    EXPECT_EQ(Value(name.c_str()), "/tmp/set-by-the-test") << name;
  }
  EXPECT_EQ(dropped.size(), kMustGo.size());
  EXPECT_EQ(dropped_set.count("VK_ADD_LAYER_PATH"), 0u);
}

struct ArgumentCase {
  const char* what;
  std::vector<std::string> argv;
  std::vector<std::string> rest;
  size_t removed;
};

class GtkModuleArgumentTest : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(GtkModuleArgumentTest, RemovesEveryGtkModuleOptionAndKeepsTheRestInOrder) {
  const ArgumentCase& c = GetParam();
  std::vector<std::string> storage = c.argv;
  std::vector<char*> argv;
  for (std::string& arg : storage) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  int argc = static_cast<int>(storage.size());

  EXPECT_EQ(SecureStart::RemoveGtkModuleArguments(&argc, argv.data()).size(), c.removed);
  std::vector<std::string> rest(argv.begin(), argv.begin() + argc);
  EXPECT_EQ(rest, c.rest);
  EXPECT_EQ(argv[argc], nullptr) << "argv must stay NULL-terminated";
}

INSTANTIATE_TEST_SUITE_P(
    Arguments,
    GtkModuleArgumentTest,
    ::testing::Values(
        // Both spellings GTK accepts, wherever they stand; the separate one takes its value.
        ArgumentCase{"joined", {"korvane", "--gtk-module=/tmp/m.so", "a"}, {"korvane", "a"}, 1},
        ArgumentCase{"separate",
                     {"korvane", "a", "--gtk-module", "/tmp/m.so", "b"},
                     {"korvane", "a", "b"},
                     1},
        ArgumentCase{"separate_last_without_value",
                     {"korvane", "a", "--gtk-module"},
                     {"korvane", "a"},
                     1},
        ArgumentCase{"several",
                     {"korvane", "--gtk-module=a", "x", "--gtk-module", "b", "--gtk-module=c"},
                     {"korvane", "x"},
                     3},
        // Look-alikes are not GTK's option, and the program name is never touched.
        ArgumentCase{"look_alikes",
                     {"--gtk-module=x", "--gtk-modules=y", "--gtk-modulez", "x--gtk-module=z"},
                     {"--gtk-module=x", "--gtk-modules=y", "--gtk-modulez", "x--gtk-module=z"},
                     0}),
    [](const ::testing::TestParamInfo<ArgumentCase>& info) {
      return std::string(info.param.what);
    });

TEST(SecureStartTest, GrantedCopiesBelongToTheUidNamedRightBelowTheRoot) {
  const std::string root = korvane::kGrantedRoot;
  struct Case {
    std::string executable;
    bool other_users;
  };
  const std::vector<Case> cases = {
      // The user's own copy, and copies of others (a uid spelled differently is another's).
      {root + "/1000/key/korvane", false},
      {root + "/1001/key/korvane", true},
      {root + "/01000/key/korvane", true},
      {root + "/1000x/key/korvane", true},
      {root + "/korvane", true},
      // Not below the root: the root itself, a sibling named like it, a root further down.
      {root, false},
      {root + "2/1001/key/korvane", false},
      {"/home/user" + root + "/1001/key/korvane", false},
      {"/opt/korvane/korvane", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SecureStart::IsOtherUsersGrantedCopy(c.executable, 1000), c.other_users)
        << c.executable;
  }
}

TEST(SecureStartTest, PinsGLibsConfigDirectoriesAndGivesTheEnvironmentBack) {
  // Set by the session: GLib reports the pinned directories, the environment keeps the user's.
  EXPECT_EQ(RunInChild([]() {
              setenv("XDG_CONFIG_HOME", "/tmp/user-config", 1);
              setenv("XDG_CONFIG_DIRS", "/tmp/system-a:/tmp/system-b", 1);
              const bool pinned = SecureStart::PinConfigDirectories();
              std::string out = std::string(pinned ? "pinned" : "not pinned") + " " +
                                g_get_user_config_dir() + " [";
              for (const gchar* const* dir = g_get_system_config_dirs(); *dir != nullptr; ++dir) {
                out += std::string(*dir) + ";";
              }
              return out + "] " + Value("XDG_CONFIG_HOME") + " " + Value("XDG_CONFIG_DIRS");
            }),
            std::string("pinned ") + korvane::kGrantedRoot +
                " [/etc/xdg;] /tmp/user-config /tmp/system-a:/tmp/system-b");
  // Unset: they stay unset.
  EXPECT_EQ(RunInChild([]() {
              unsetenv("XDG_CONFIG_HOME");
              unsetenv("XDG_CONFIG_DIRS");
              const bool pinned = SecureStart::PinConfigDirectories();
              return std::string(pinned ? "pinned" : "not pinned") + " " +
                     Value("XDG_CONFIG_HOME") + " " + Value("XDG_CONFIG_DIRS");
            }),
            "pinned <unset> <unset>");
  // GLib asked before: too late, and said so.
  EXPECT_EQ(RunInChild([]() {
              setenv("XDG_CONFIG_HOME", "/tmp/user-config", 1);
              g_get_user_config_dir();
              return std::string(SecureStart::PinConfigDirectories() ? "pinned" : "not pinned");
            }),
            "not pinned");
}

TEST(SecureStartTest, AnOrdinaryStartKeepsItsEnvironmentAndArguments) {
  if (SecureStart::HoldsCapabilities() && geteuid() != 0) {
    GTEST_SKIP() << "the test itself runs with capabilities but not as root";
  }
  EXPECT_EQ(RunInChild([]() {
              setenv("GTK_MODULES", "/tmp/m.so", 1);
              char program[] = "korvane";
              char option[] = "--gtk-module=/tmp/m.so";
              char* argv[] = {program, option, nullptr};
              int argc = 2;
              SecureStart::Apply(&argc, argv);
              return std::string(SecureStart::Active() ? "active" : "inactive") + " " +
                     Value("GTK_MODULES") + " " + std::to_string(argc);
            }),
            "inactive /tmp/m.so 2");
}

TEST(SecureStartTest, TheLauncherCarriesNoneOfTheDroppedVariables) {
  std::vector<std::unique_ptr<ScopedEnv>> env;
  for (const char* name : korvane::kCodeLoadingVariables) {
    env.push_back(std::make_unique<ScopedEnv>(name, "/tmp/set-by-the-test"));
  }
  for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "XDG_DATA_DIRS"}) {
    env.push_back(std::make_unique<ScopedEnv>(name, "/tmp/session"));
  }
  const std::string text = korvane::RenderLauncherScript(korvane::LauncherValuesFromEnvironment());
  const std::set<std::string> dropped(std::begin(korvane::kCodeLoadingVariables),
                                      std::end(korvane::kCodeLoadingVariables));
  const std::regex export_line(R"(^export ([A-Za-z_][A-Za-z0-9_]*)=)", std::regex::multiline);
  int exports = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), export_line);
       it != std::sregex_iterator(); ++it) {
    ++exports;
    EXPECT_EQ(dropped.count((*it)[1]), 0u) << (*it)[1] << " is exported by the launcher";
  }
  EXPECT_EQ(exports, 3) << text;
  EXPECT_EQ(text.find("/tmp/set-by-the-test"), std::string::npos) << text;
}

}  // namespace
