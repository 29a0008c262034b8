#include "vpn/vpn_preferences.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/file_util.h"
#include "tests/support/test_files.h"

namespace korvane_test {
namespace {

// The key the store is expected to use, computed a different way: a byte counter that starts
// at 0x6E and wraps on its own.
std::string ExpectedObfuscation(const std::string& text) {
  std::string out;
  uint8_t key = 0x6E;
  for (char c : text) {
    out.push_back(static_cast<char>(static_cast<uint8_t>(c) ^ key));
    ++key;
  }
  return out;
}

std::string LegacyObfuscation(const std::string& text) {
  std::string out;
  for (char c : text) {
    out.push_back(static_cast<char>(static_cast<uint8_t>(c) ^ 0x91));
  }
  return out;
}

// A configuration that passes validation, with `pad` filler bytes.
std::string MakeConfig(const std::string& tag, size_t pad = 0, char fill = 'x') {
  return "{\"log\":{\"level\":\"info\"},\"inbounds\":[{\"tag\":\"" + tag +
         "\"}],\"outbounds\":[{\"type\":\"direct\"}],\"pad\":\"" + std::string(pad, fill) + "\"}";
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    return 0;
  }
  return st.st_mode & 07777;
}

class VPNPreferencesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_.emplace("korvane-store");
    root_ = temp_->path();
    xdg_.emplace("XDG_CONFIG_HOME", (root_ + "/xdg").c_str());
    dir_ = root_ + "/xdg/korvane";
  }
  void TearDown() override {
    xdg_.reset();
    temp_.reset();
  }

  std::string ConfigPath() const { return dir_ + "/vpn_config.dat"; }
  std::string BackupPath() const { return dir_ + "/vpn_config.bak"; }

  // Runs `body` in a child process and returns its exit status (body's return value).
  static int RunInChild(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
      _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // The id of a child process that has exited and been waited for.
  static pid_t RunInChildPid() {
    pid_t pid = fork();
    if (pid == 0) {
      _exit(0);
    }
    waitpid(pid, nullptr, 0);
    return pid;
  }

  std::optional<TempDir> temp_;
  std::string root_;
  std::string dir_;
  std::optional<ScopedEnv> xdg_;
};

TEST_F(VPNPreferencesTest, ObfuscationUsesPositionalKeyThatWrapsAfter256Bytes) {
  // 300 bytes: positions 256..299 reuse the key bytes of positions 0..43.
  std::string text = MakeConfig("wrap", 300 - MakeConfig("wrap").size());
  ASSERT_EQ(text.size(), 300u);
  std::string expected = ExpectedObfuscation(text);
  EXPECT_EQ(VPNPreferences::ObfuscateString(text), expected);
  // Spot checks: position 0 uses 0x6E, position 146 uses 0x00, position 256 uses 0x6E again.
  EXPECT_EQ(static_cast<uint8_t>(expected[0]), '{' ^ 0x6E);
  EXPECT_EQ(expected[146], text[146]);
  EXPECT_EQ(static_cast<uint8_t>(expected[256]), static_cast<uint8_t>(text[256]) ^ 0x6E);
  EXPECT_EQ(VPNPreferences::DeobfuscateString(expected), text);

  ASSERT_TRUE(VPNPreferences::SaveConfig(text));
  EXPECT_EQ(ReadFile(ConfigPath()), expected);
  EXPECT_EQ(VPNPreferences::LoadConfig(), text);
}

TEST_F(VPNPreferencesTest, DeobfuscationFallsBackToLegacyKey) {
  std::string text = MakeConfig("legacy", 280);
  EXPECT_EQ(VPNPreferences::DeobfuscateString(LegacyObfuscation(text)), text);
  EXPECT_EQ(VPNPreferences::DeobfuscateString(""), "");
  // Not "{" under the positional key: decoded with 0x91 even though that is garbage.
  EXPECT_EQ(VPNPreferences::DeobfuscateString("A"), std::string(1, 'A' ^ 0x91));
}

TEST_F(VPNPreferencesTest, LegacyFileIsMigratedOnce) {
  std::string text = MakeConfig("old", 400);
  ASSERT_TRUE(VPNPreferences::CreateDirectory(dir_));
  WriteFile(ConfigPath(), LegacyObfuscation(text));

  testing::internal::CaptureStdout();
  EXPECT_EQ(VPNPreferences::LoadConfig(), text);
  EXPECT_EQ(VPNPreferences::LoadConfig(), text);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Migrating config to new obfuscation format\n");
  EXPECT_EQ(ReadFile(ConfigPath()), ExpectedObfuscation(text));
  EXPECT_EQ(ModeOf(ConfigPath()), 0600u);
  // Migration makes no backup.
  EXPECT_EQ(access(BackupPath().c_str(), F_OK), -1);
}

TEST_F(VPNPreferencesTest, SavingTwiceKeepsFirstInBackup) {
  std::string first = MakeConfig("first");
  std::string second = MakeConfig("second");
  ASSERT_TRUE(VPNPreferences::SaveConfig(first));
  EXPECT_EQ(access(BackupPath().c_str(), F_OK), -1);
  ASSERT_TRUE(VPNPreferences::SaveConfig(second));
  EXPECT_EQ(ReadFile(BackupPath()), ExpectedObfuscation(first));
  EXPECT_EQ(ReadFile(ConfigPath()), ExpectedObfuscation(second));
  EXPECT_EQ(VPNPreferences::LoadConfig(), second);
  // Only the two files: no temporary file is left behind.
  EXPECT_EQ(ListDirectory(dir_), (std::vector<std::string>{"vpn_config.bak", "vpn_config.dat"}));
}

TEST_F(VPNPreferencesTest, CorruptFileIsReplacedByGoodBackup) {
  std::string good = MakeConfig("good");
  ASSERT_TRUE(VPNPreferences::SaveConfig(good));
  ASSERT_TRUE(VPNPreferences::SaveConfig(MakeConfig("newer")));
  // Corrupt: both keys give something that fails validation.
  WriteFile(ConfigPath(), "\x01\x02garbage that is no configuration");

  testing::internal::CaptureStderr();
  EXPECT_EQ(VPNPreferences::LoadConfig(), good);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Loaded configuration is invalid\n");
  EXPECT_EQ(ReadFile(ConfigPath()), ExpectedObfuscation(good));
}

TEST_F(VPNPreferencesTest, CorruptFileWithoutBackupLoadsNothing) {
  ASSERT_TRUE(VPNPreferences::CreateDirectory(dir_));
  WriteFile(ConfigPath(), "garbage");
  testing::internal::CaptureStderr();
  EXPECT_EQ(VPNPreferences::LoadConfig(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Loaded configuration is invalid\n");
}

// A configuration that starts with white space or a byte-order mark is stored and reads back
// as saved: it is not taken for the older format (which would replace it with the backup).
TEST_F(VPNPreferencesTest, TextNotStartingWithBraceReadsBackAsSaved) {
  const std::string prefixes[] = {" ", "\xEF\xBB\xBF", "\n", "\r\n\t "};
  for (const std::string& prefix : prefixes) {
    SCOPED_TRACE(testing::PrintToString(prefix));
    std::string good = MakeConfig("good");
    std::string odd = prefix + MakeConfig("odd");
    ASSERT_TRUE(VPNPreferences::ClearConfig());
    ASSERT_TRUE(VPNPreferences::SaveConfig(good));
    ASSERT_TRUE(VPNPreferences::SaveConfig(odd));
    EXPECT_EQ(ReadFile(ConfigPath()), ExpectedObfuscation(odd));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(VPNPreferences::LoadConfig(), odd);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    // Nothing to migrate: the file stays as saved and the backup stays the older one.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(ReadFile(ConfigPath()), ExpectedObfuscation(odd));
    EXPECT_EQ(ReadFile(BackupPath()), ExpectedObfuscation(good));
  }
  // The older format still reads when its text starts with white space.
  std::string old_text = "\n" + MakeConfig("old");
  ASSERT_TRUE(VPNPreferences::ClearConfig());
  WriteFile(ConfigPath(), LegacyObfuscation(old_text));
  testing::internal::CaptureStdout();
  EXPECT_EQ(VPNPreferences::LoadConfig(), old_text);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Migrating config to new obfuscation format\n");
  EXPECT_EQ(ReadFile(ConfigPath()), ExpectedObfuscation(old_text));
}

TEST_F(VPNPreferencesTest, ValidationIsPlainSubstringTests) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {"{\"log\":{},\"inbounds\":[],\"outbounds\":[]}", true},
      {"\"outbounds\" \"inbounds\" \"log\" } {", true},  // order and syntax are not looked at
      {"{\"inbounds\":[],\"outbounds\":[]}", false},     // valid JSON without "log"
      {"{\"log\":{},\"outbounds\":[]}", false},
      {"{\"log\":{},\"inbounds\":[]}", false},
      {"\"log\" \"inbounds\" \"outbounds\" }", false},  // no "{"
      {"{\"log\" \"inbounds\" \"outbounds\"", false},   // no "}"
      {"{log, inbounds, outbounds}", false},            // quotes are part of the keys
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(VPNPreferences::ValidateConfig(c.text), c.valid);
  }
  testing::internal::CaptureStderr();
  EXPECT_FALSE(VPNPreferences::SaveConfig("{\"inbounds\":[],\"outbounds\":[]}"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid configuration format\n");
  EXPECT_FALSE(VPNPreferences::HasConfig());
}

TEST_F(VPNPreferencesTest, ConfigDirectoryFollowsEnvironment) {
  // The directory's own cases are base's (file_util_test); here the files sit in it.
  std::string home = root_ + "/home";
  {
    ScopedEnv xdg("XDG_CONFIG_HOME", (root_ + "/x").c_str());
    EXPECT_EQ(VPNPreferences::GetConfigDirectory(), korvane::ConfigDirectory());
    EXPECT_EQ(VPNPreferences::GetConfigDirectory(), root_ + "/x/korvane");
    EXPECT_EQ(VPNPreferences::GetConfigPath(), root_ + "/x/korvane/vpn_config.dat");
    EXPECT_EQ(VPNPreferences::GetBackupPath(), root_ + "/x/korvane/vpn_config.bak");
  }

  // A save with an empty XDG_CONFIG_HOME lands below HOME.
  ScopedEnv xdg("XDG_CONFIG_HOME", "");
  ScopedEnv home_env("HOME", home.c_str());
  ASSERT_TRUE(VPNPreferences::SaveConfig(MakeConfig("home")));
  EXPECT_EQ(ReadFile(home + "/.config/korvane/vpn_config.dat"),
            ExpectedObfuscation(MakeConfig("home")));
}

TEST_F(VPNPreferencesTest, FilesAre0600AndDirectories0700) {
  mode_t old_umask = umask(0);  // modes must not depend on a permissive umask
  ASSERT_TRUE(VPNPreferences::SaveConfig(MakeConfig("a")));
  ASSERT_TRUE(VPNPreferences::SaveConfig(MakeConfig("b")));
  umask(old_umask);
  EXPECT_EQ(ModeOf(root_ + "/xdg"), 0700u);
  EXPECT_EQ(ModeOf(dir_), 0700u);
  EXPECT_EQ(ModeOf(ConfigPath()), 0600u);
  EXPECT_EQ(ModeOf(BackupPath()), 0600u);

  // A file that was readable by others becomes 0600 when it is replaced.
  ASSERT_EQ(chmod(ConfigPath().c_str(), 0644), 0);
  ASSERT_TRUE(VPNPreferences::WriteFile(ConfigPath(), "x"));
  EXPECT_EQ(ModeOf(ConfigPath()), 0600u);
}

TEST_F(VPNPreferencesTest, BackupRestoreAndClear) {
  // Nothing there: backup and restore fail, clear succeeds.
  EXPECT_FALSE(VPNPreferences::BackupConfig());
  EXPECT_FALSE(VPNPreferences::RestoreConfig());
  EXPECT_TRUE(VPNPreferences::ClearConfig());
  EXPECT_FALSE(VPNPreferences::HasConfig());
  EXPECT_EQ(VPNPreferences::LoadConfig(), "");

  ASSERT_TRUE(VPNPreferences::SaveConfig(MakeConfig("one")));
  EXPECT_TRUE(VPNPreferences::HasConfig());
  EXPECT_TRUE(VPNPreferences::BackupConfig());
  EXPECT_EQ(ReadFile(BackupPath()), ReadFile(ConfigPath()));

  // An empty configuration file loads as nothing and is not backed up.
  WriteFile(ConfigPath(), "");
  EXPECT_EQ(VPNPreferences::LoadConfig(), "");
  EXPECT_FALSE(VPNPreferences::BackupConfig());
  EXPECT_TRUE(VPNPreferences::RestoreConfig());
  EXPECT_EQ(VPNPreferences::LoadConfig(), MakeConfig("one"));

  EXPECT_TRUE(VPNPreferences::ClearConfig());
  EXPECT_EQ(ListDirectory(dir_), std::vector<std::string>{});
}

// A saving process killed at any moment leaves one of the saved configurations, whole, and a
// whole backup.
TEST_F(VPNPreferencesTest, SaveSurvivesSigkillAtAnyMoment) {
  constexpr int kKills = 50;
  std::vector<std::string> texts;
  for (int i = 0; i < 4; ++i) {
    texts.push_back(MakeConfig("t" + std::to_string(i), (i + 1) << 20, static_cast<char>('a' + i)));
  }
  ASSERT_TRUE(VPNPreferences::SaveConfig(texts[0]));
  ASSERT_TRUE(VPNPreferences::SaveConfig(texts[0]));  // so there is a backup from the start

  std::random_device seed_source;
  unsigned seed = seed_source();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delay_us(0, 60000);
  int completed_saves = 0;
  for (int kill_number = 0; kill_number < kKills; ++kill_number) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // One byte per finished save tells the parent how far it got.
      close(pipe_fds[0]);
      for (int i = 0; i < 10000; ++i) {
        VPNPreferences::SaveConfig(texts[(kill_number + i) % texts.size()]);
        char done = 1;
        if (write(pipe_fds[1], &done, 1) != 1) {
          _exit(1);
        }
      }
      _exit(0);
    }
    close(pipe_fds[1]);
    // Every other round lets one save finish first, so kills also land in later saves; then
    // the kill comes at a random moment.
    char done = 0;
    if (kill_number % 2 == 1) {
      ASSERT_EQ(read(pipe_fds[0], &done, 1), 1);
      ++completed_saves;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    while (read(pipe_fds[0], &done, 1) == 1) {
      ++completed_saves;
    }
    close(pipe_fds[0]);

    std::string loaded = VPNPreferences::LoadConfig();
    bool config_whole = std::find(texts.begin(), texts.end(), loaded) != texts.end();
    ASSERT_TRUE(config_whole) << "kill " << kill_number << " left a configuration of "
                              << loaded.size() << " bytes that is none of the saved ones";
    std::string backup = VPNPreferences::DeobfuscateString(ReadFile(BackupPath()));
    bool backup_whole = std::find(texts.begin(), texts.end(), backup) != texts.end();
    ASSERT_TRUE(backup_whole) << "kill " << kill_number << " left a backup of " << backup.size()
                              << " bytes that is none of the saved ones";
    // A temporary file of the killed save is gone after the load.
    ASSERT_EQ(ListDirectory(dir_), (std::vector<std::string>{"vpn_config.bak", "vpn_config.dat"}))
        << "kill " << kill_number;
  }
  EXPECT_GE(completed_saves, kKills / 2);
}

// Where an unnamed temporary file cannot be given a name (no /proc here), the save goes
// through a named temporary file and still leaves only the two files.
TEST_F(VPNPreferencesTest, SaveWorksWithoutUnnamedTemporaryFiles) {
  std::string first = MakeConfig("first", 5000);
  std::string second = MakeConfig("second", 7000);
  int status = RunInChild([&] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        umount2("/proc", MNT_DETACH) != 0) {
      return 77;
    }
    if (access("/proc/self/fd", F_OK) == 0) {
      return 2;
    }
    if (!VPNPreferences::SaveConfig(first) || !VPNPreferences::SaveConfig(second)) {
      return 3;
    }
    return 0;
  });
  if (status == 77) {
    ASSERT_NE(geteuid(), 0u) << "no private mount namespace although running as root";
    GTEST_SKIP() << "no private mount namespace here (needs root)";
  }
  ASSERT_EQ(status, 0);
  EXPECT_EQ(ReadFile(ConfigPath()), ExpectedObfuscation(second));
  EXPECT_EQ(ReadFile(BackupPath()), ExpectedObfuscation(first));
  EXPECT_EQ(ModeOf(ConfigPath()), 0600u);
  EXPECT_EQ(ListDirectory(dir_), (std::vector<std::string>{"vpn_config.bak", "vpn_config.dat"}));
}

// Temporary files of a save that was killed (named after the dead writer, or by the named
// fallback of an older run) are removed by the next load or save; a live writer's file and
// files that are not the store's stay.
TEST_F(VPNPreferencesTest, LeftoverTemporaryFilesAreRemovedAtTheNextLoadOrSave) {
  pid_t dead = RunInChildPid();
  pid_t live = getppid();
  ASSERT_TRUE(VPNPreferences::SaveConfig(MakeConfig("kept")));
  ASSERT_TRUE(VPNPreferences::SaveConfig(MakeConfig("kept")));  // and its backup
  const std::string d = std::to_string(dead);
  const std::vector<std::string> leftovers = {
      ".vpn_config.dat." + d + ".3.1a2b3c",
      ".vpn_config.bak." + d + ".1.ff",
      ".vpn_config.dat." + d + ".Xy12Zq",
      ".vpn_config.dat.Ab3dEf",
  };
  const std::vector<std::string> others = {
      ".vpn_config.dat." + std::to_string(live) + ".2.99",
      "vpn_config.dat.orig",
      ".vpn_config.datx.1.2.3",
  };
  for (bool load : {true, false}) {
    SCOPED_TRACE(load ? "load" : "save");
    for (const std::string& name : leftovers) {
      WriteFile(dir_ + "/" + name, "half a save");
    }
    for (const std::string& name : others) {
      WriteFile(dir_ + "/" + name, "not ours");
    }
    if (load) {
      EXPECT_EQ(VPNPreferences::LoadConfig(), MakeConfig("kept"));
    } else {
      EXPECT_TRUE(VPNPreferences::SaveConfig(MakeConfig("kept")));
    }
    std::vector<std::string> expected = others;
    expected.push_back("vpn_config.bak");
    expected.push_back("vpn_config.dat");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListDirectory(dir_), expected);
  }
}

// Reading a directory where the configuration should be is an ordinary failure of the store:
// the caller's line, nothing more.
TEST_F(VPNPreferencesTest, ConfigPathThatIsADirectoryFailsWithTheStoresOwnLines) {
  ASSERT_TRUE(VPNPreferences::CreateDirectory(ConfigPath()));
  testing::internal::CaptureStderr();
  EXPECT_EQ(VPNPreferences::ReadFile(ConfigPath()), "");
  EXPECT_EQ(VPNPreferences::LoadConfig(), "");
  EXPECT_FALSE(VPNPreferences::SaveConfig(MakeConfig("a")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to write config file\n");
}

// With no room for the new file, the save reports false and the old file stays as it was.
TEST_F(VPNPreferencesTest, FailedWriteLeavesOldFileIntact) {
  std::string old_text = MakeConfig("old", 100 << 10);
  ASSERT_TRUE(VPNPreferences::SaveConfig(MakeConfig("older")));
  ASSERT_TRUE(VPNPreferences::SaveConfig(old_text));
  std::string big = MakeConfig("big", 2 << 20);

  int status = RunInChild([&] {
    // Writes past 512 KiB fail with EFBIG instead of killing the process.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {512 << 10, 512 << 10};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
      return 2;
    }
    testing::internal::CaptureStderr();
    bool saved = VPNPreferences::SaveConfig(big);
    std::string err = testing::internal::GetCapturedStderr();
    if (saved) {
      return 3;
    }
    return err == "Failed to write config file\n" ? 0 : 4;
  });
  ASSERT_EQ(status, 0);
  EXPECT_EQ(VPNPreferences::LoadConfig(), old_text);
  EXPECT_EQ(ListDirectory(dir_), (std::vector<std::string>{"vpn_config.bak", "vpn_config.dat"}));
}

// The same on a file system that is really full: a small tmpfs in a private mount namespace.
TEST_F(VPNPreferencesTest, FullDiskLeavesOldFileIntact) {
  std::string mount_dir = root_ + "/small";
  ASSERT_EQ(mkdir(mount_dir.c_str(), 0700), 0);
  std::string first = MakeConfig("first", 200 << 10);
  std::string second = MakeConfig("second", 200 << 10, 'y');
  std::string big = MakeConfig("big", 2 << 20);

  int status = RunInChild([&] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", mount_dir.c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0) {
      return 77;
    }
    setenv("XDG_CONFIG_HOME", mount_dir.c_str(), 1);
    std::string dir = mount_dir + "/korvane";
    if (!VPNPreferences::SaveConfig(first) || !VPNPreferences::SaveConfig(second)) {
      return 2;
    }
    testing::internal::CaptureStderr();
    bool saved = VPNPreferences::SaveConfig(big);
    std::string err = testing::internal::GetCapturedStderr();
    if (saved || err != "Failed to write config file\n") {
      return 3;
    }
    if (VPNPreferences::LoadConfig() != second) {
      return 4;
    }
    if (ListDirectory(dir) != std::vector<std::string>{"vpn_config.bak", "vpn_config.dat"}) {
      return 5;
    }
    return 0;
  });
  if (status == 77) {
    ASSERT_NE(geteuid(), 0u) << "no private mount namespace although running as root";
    GTEST_SKIP() << "no private mount namespace here (needs root)";
  }
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace korvane_test
