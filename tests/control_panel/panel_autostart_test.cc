// The autostart entry on its own: its Exec line gives the desktop back exactly the executable's
// path whatever characters it holds, and the file is written and removed without following a
// link at its place.

#include "control_panel/panel_autostart.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/test_files.h"

namespace {

constexpr char kAppId[] = "com.example.autostart-test";

// Splits an Exec value as the desktop entry format defines it, strictly: an argument with a
// reserved character is in double quotes, where each of " ` $ and \ has a backslash before it
// and nothing else does. A value that breaks a rule gives {"<invalid>"}.
std::vector<std::string> SplitExec(const std::string& line) {
  const std::string kReserved = " \t\n\"'\\><~|&;$*?#()`";
  const std::vector<std::string> invalid = {"<invalid>"};
  std::vector<std::string> args;
  size_t at = 0;
  while (at < line.size()) {
    std::string arg;
    if (line[at] == '"') {
      for (at++; at < line.size() && line[at] != '"'; at++) {
        if (line[at] == '\\') {
          if (++at == line.size() || std::string("\"`$\\").find(line[at]) == std::string::npos) {
            return invalid;
          }
        } else if (line[at] == '`' || line[at] == '$') {
          return invalid;
        }
        arg += line[at];
      }
      if (at++ == line.size()) {
        return invalid;
      }
    } else {
      for (; at < line.size() && line[at] != ' '; at++) {
        if (kReserved.find(line[at]) != std::string::npos) {
          return invalid;
        }
        arg += line[at];
      }
    }
    if (at < line.size() && line[at++] != ' ') {
      return invalid;
    }
    args.push_back(arg);
  }
  return args;
}

// The command line a desktop runs for @entry: the Exec value with its key-file escapes undone,
// "%%" read as "%" (a lone "%" would start a field code), then split.
std::vector<std::string> ExecArgv(const std::string& entry) {
  g_autoptr(GKeyFile) file = g_key_file_new();
  EXPECT_TRUE(
      g_key_file_load_from_data(file, entry.c_str(), entry.size(), G_KEY_FILE_NONE, nullptr));
  g_autofree gchar* exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr);
  EXPECT_NE(exec, nullptr);
  std::string line;
  for (const char* c = exec != nullptr ? exec : ""; *c != '\0'; c++) {
    if (*c == '%') {
      if (c[1] != '%') {
        return {"<field code>"};
      }
      c++;
    }
    line += *c;
  }
  return SplitExec(line);
}

TEST(PanelAutostartTest, ExecGivesBackTheExecutablePath) {
  const char* const kPaths[] = {
      "/opt/korvane/korvane",
      "/home/a user/My Apps/korvane",
      "/tmp/quote\"d/ko`rv`/$HOME/back\\slash/100%/korvane",
      "/tmp/%f %U/korvane",
  };
  for (const char* path : kPaths) {
    EXPECT_EQ(ExecArgv(PanelAutostart::DesktopEntry(path, false)), std::vector<std::string>{path})
        << path;
    EXPECT_EQ(ExecArgv(PanelAutostart::DesktopEntry(path, true)),
              (std::vector<std::string>{"env", "KORVANE_START_MINIMIZED=1", path}))
        << path;
  }
}

class PanelAutostartFileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Read once per process by GLib: set before anything asks.
    config_home_ = g_dir_make_tmp("korvane-autostart-XXXXXX", nullptr);
    g_setenv("XDG_CONFIG_HOME", config_home_, TRUE);
  }

  void TearDown() override { korvane_test::RemoveTree(std::string(config_home_) + "/autostart"); }

  static gchar* config_home_;
};

gchar* PanelAutostartFileTest::config_home_ = nullptr;

TEST_F(PanelAutostartFileTest, WritesWithModeAndRemoves) {
  const std::string path = PanelAutostart::Path(kAppId);
  EXPECT_EQ(path, std::string(config_home_) + "/autostart/" + kAppId + ".desktop");
  EXPECT_FALSE(PanelAutostart::IsEnabled(kAppId));
  // Exactly 0644 whatever the umask, so the desktop's session reads it.
  const mode_t old_mask = umask(077);
  const bool enabled = PanelAutostart::Enable(kAppId, "/opt/korvane/korvane", true);
  umask(old_mask);
  ASSERT_TRUE(enabled);
  EXPECT_TRUE(PanelAutostart::IsEnabled(kAppId));
  struct stat info;
  ASSERT_EQ(lstat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  EXPECT_EQ(korvane_test::ReadFile(path),
            PanelAutostart::DesktopEntry("/opt/korvane/korvane", true));
  // Nothing else left in the folder.
  g_autoptr(GDir) dir = g_dir_open((std::string(config_home_) + "/autostart").c_str(), 0, nullptr);
  ASSERT_NE(dir, nullptr);
  std::vector<std::string> names;
  for (const gchar* name = g_dir_read_name(dir); name != nullptr; name = g_dir_read_name(dir)) {
    names.push_back(name);
  }
  EXPECT_EQ(names, std::vector<std::string>{std::string(kAppId) + ".desktop"});

  EXPECT_TRUE(PanelAutostart::Disable(kAppId));
  EXPECT_FALSE(PanelAutostart::IsEnabled(kAppId));
  EXPECT_NE(lstat(path.c_str(), &info), 0);
  // Nothing there is nothing to remove.
  EXPECT_TRUE(PanelAutostart::Disable(kAppId));
}

TEST_F(PanelAutostartFileTest, ALinkAtTheEntryIsNeitherFollowedNorReplaced) {
  const std::string path = PanelAutostart::Path(kAppId);
  ASSERT_EQ(g_mkdir_with_parents((std::string(config_home_) + "/autostart").c_str(), 0700), 0);
  const std::string target = std::string(config_home_) + "/target";
  korvane_test::WriteFile(target, "kept\n");
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);

  EXPECT_FALSE(PanelAutostart::IsEnabled(kAppId));
  EXPECT_FALSE(PanelAutostart::Enable(kAppId, "/opt/korvane/korvane", false));
  EXPECT_FALSE(PanelAutostart::Disable(kAppId));
  EXPECT_EQ(korvane_test::ReadFile(target), "kept\n");
  struct stat info;
  ASSERT_EQ(lstat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
}

}  // namespace
