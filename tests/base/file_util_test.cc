// The shared file work: private directories, durable replacement and whole-file reads.
#include "base/file_util.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_files.h"

namespace korvane_test {
namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class FileUtilTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(FileUtilTest, PrivateDirectoriesAre0700WhateverTheUmask) {
  // Each umask: what is created is exactly 0700; what existed keeps its mode.
  for (mode_t mask : {0000, 0022, 0077, 0777}) {
    SCOPED_TRACE(mask);
    const std::string top = dir_.path() + "/m" + std::to_string(mask);
    ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
    chmod(top.c_str(), 0755);
    const mode_t old_mask = umask(mask);
    const bool made = korvane::MakePrivateDirectories(top + "/a//b/c/");
    umask(old_mask);
    ASSERT_TRUE(made);
    EXPECT_EQ(ModeOf(top), 0755u);
    EXPECT_EQ(ModeOf(top + "/a"), 0700u);
    EXPECT_EQ(ModeOf(top + "/a/b"), 0700u);
    EXPECT_EQ(ModeOf(top + "/a/b/c"), 0700u);
    // Again on what exists: nothing changes, still true.
    EXPECT_TRUE(korvane::MakePrivateDirectories(top + "/a/b/c"));
  }
}

TEST_F(FileUtilTest, PrivateDirectoriesRefuseAFileInTheWay) {
  WriteFile(dir_.path() + "/file", "x");
  errno = 0;
  EXPECT_FALSE(korvane::MakePrivateDirectories(dir_.path() + "/file"));
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_FALSE(korvane::MakePrivateDirectories(dir_.path() + "/file/below"));
  EXPECT_FALSE(korvane::MakePrivateDirectories(""));
}

TEST_F(FileUtilTest, PrivateDirectoriesRefuseAnExistingDirectoryThatIsNotOursAlone) {
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> make;
    int error;
    bool needs_root;
  };
  const Case cases[] = {
      {"another user's directory",
       [](const std::string& path) {
         ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
         ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
       },
       EPERM, true},
      {"writable by the group",
       [](const std::string& path) {
         ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
         ASSERT_EQ(chmod(path.c_str(), 0770), 0);
       },
       EPERM, false},
      {"writable by others",
       [](const std::string& path) {
         ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
         ASSERT_EQ(chmod(path.c_str(), 01777), 0);
       },
       EPERM, false},
      {"a link to a private directory of ours",
       [](const std::string& path) {
         ASSERT_EQ(mkdir((path + "-target").c_str(), 0700), 0);
         ASSERT_EQ(symlink((path + "-target").c_str(), path.c_str()), 0);
       },
       ENOTDIR, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needs_root && geteuid() != 0) {
      continue;
    }
    const std::string path = dir_.path() + "/d";
    RemoveTree(path);
    RemoveTree(path + "-target");
    c.make(path);
    // Also with a trailing slash, which would make lstat follow a link.
    for (const std::string& asked : {path, path + "/"}) {
      SCOPED_TRACE(asked);
      errno = 0;
      EXPECT_FALSE(korvane::MakePrivateDirectories(asked));
      EXPECT_EQ(errno, c.error);
    }
  }
  // An existing directory of ours that only others may read is fine.
  const std::string readable = dir_.path() + "/readable";
  ASSERT_EQ(mkdir(readable.c_str(), 0755), 0);
  ASSERT_EQ(chmod(readable.c_str(), 0755), 0);
  EXPECT_TRUE(korvane::MakePrivateDirectories(readable));
  EXPECT_EQ(ModeOf(readable), 0755u);
}

TEST_F(FileUtilTest, ReplaceFileWritesExactBytesWithTheModeAndLeavesNoTemporaryFile) {
  const std::string path = dir_.path() + "/target";
  const std::string binary("a\0b\n\xff", 5);
  struct Case {
    const char* what;
    mode_t mode;
    std::string temp_path;
  };
  const Case cases[] = {
      {"unnamed temporary file", 0600, ""},
      {"fixed temporary name", 0644, dir_.path() + "/target.tmp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(path, "old contents that are longer");
    if (!c.temp_path.empty()) {
      WriteFile(c.temp_path, "stale");  // a writer that died left it
    }
    const mode_t old_mask = umask(0077);
    korvane::ReplaceResult result = korvane::ReplaceFile(path, binary, {c.mode, c.temp_path});
    umask(old_mask);
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(ReadFile(path), binary);
    EXPECT_EQ(ModeOf(path), c.mode);
    EXPECT_EQ(ListDirectory(dir_.path()), std::vector<std::string>{"target"});
  }
}

TEST_F(FileUtilTest, ReplaceFileFailuresNameTheStepAndKeepTheOldFile) {
  // The target is a directory: the rename fails, the old one stays, the temporary file goes.
  const std::string target = dir_.path() + "/dir";
  ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
  WriteFile(target + "/inside", "keep");
  for (const std::string& temp : {std::string(), dir_.path() + "/dir.tmp"}) {
    korvane::ReplaceResult result = korvane::ReplaceFile(target, "new", {0600, temp});
    EXPECT_EQ(result.failed_step, korvane::ReplaceStep::kRename);
    EXPECT_EQ(result.error, EISDIR);
    EXPECT_EQ(ReadFile(target + "/inside"), "keep");
    EXPECT_EQ(ListDirectory(dir_.path()), std::vector<std::string>{"dir"});
  }
  // No directory for the temporary file: the open fails.
  korvane::ReplaceResult missing = korvane::ReplaceFile(dir_.path() + "/none/file", "x");
  EXPECT_EQ(missing.failed_step, korvane::ReplaceStep::kOpen);
  EXPECT_EQ(missing.error, ENOENT);
}

TEST_F(FileUtilTest, ReadWholeFileHonoursItsLimits) {
  const std::string path = dir_.path() + "/data";
  const std::string link = dir_.path() + "/link";
  const std::string big(200000, 'z');
  WriteFile(path, big);
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);

  EXPECT_EQ(korvane::ReadWholeFile(path).value_or("-"), big);
  EXPECT_EQ(korvane::ReadWholeFile(link).value_or("-"), big);
  EXPECT_FALSE(korvane::ReadWholeFile(dir_.path() + "/missing"));

  korvane::ReadOptions small;
  small.max_bytes = big.size() - 1;
  errno = 0;
  EXPECT_FALSE(korvane::ReadWholeFile(path, small));
  EXPECT_EQ(errno, EFBIG);

  korvane::ReadOptions no_links;
  no_links.follow_links = false;
  EXPECT_FALSE(korvane::ReadWholeFile(link, no_links));
  EXPECT_TRUE(korvane::ReadWholeFile(path, no_links));

  korvane::ReadOptions regular;
  regular.regular_only = true;
  EXPECT_FALSE(korvane::ReadWholeFile(dir_.path(), regular));
  EXPECT_EQ(korvane::ReadWholeFile("/dev/null", {}).value_or("-"), "");
  EXPECT_FALSE(korvane::ReadWholeFile("/dev/null", regular));
}

TEST(ConfigDirectoryTest, FollowsTheEnvironment) {
  const std::string pw_home = PasswordHome();
  ASSERT_FALSE(pw_home.empty());
  struct Case {
    const char* xdg;   // nullptr: unset
    const char* home;  // nullptr: unset
    std::string expected;
  };
  const Case cases[] = {
      {"/x/cfg", "/h", "/x/cfg/korvane"},
      {"", "/h", "/h/.config/korvane"},  // an empty XDG_CONFIG_HOME is ignored
      {nullptr, "/h", "/h/.config/korvane"},
      {nullptr, "", "/.config/korvane"},  // HOME set but empty still counts
      {nullptr, nullptr, pw_home + "/.config/korvane"},
  };
  for (const Case& c : cases) {
    ScopedEnv xdg("XDG_CONFIG_HOME", c.xdg);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(korvane::ConfigDirectory(), c.expected) << (c.xdg ? c.xdg : "(unset)");
  }
}

TEST(DirectoryOfTest, Table) {
  EXPECT_EQ(korvane::DirectoryOf("/etc/resolv.conf"), "/etc");
  EXPECT_EQ(korvane::DirectoryOf("/top"), "/");
  EXPECT_EQ(korvane::DirectoryOf("bare"), ".");
  EXPECT_EQ(korvane::DirectoryOf("a/b/c"), "a/b");
}

}  // namespace
}  // namespace korvane_test
