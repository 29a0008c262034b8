// The engine's cache directory: the shared name in /tmp only while it is ours alone, else a
// private directory of the configuration. Runs in a private /tmp, where the test can play the
// user who got there first.

#include "vpn/engine_base_directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>

#include "tests/platform/namespace_helper.h"
#include "tests/support/test_files.h"

namespace korvane_test {
namespace {

constexpr uid_t kOtherUid = 65534;

void MakeDirectory(const std::string& path, mode_t mode, uid_t owner) {
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
  ASSERT_EQ(chown(path.c_str(), owner, owner), 0) << path;
}

::testing::AssertionResult IsPrivateDirectoryOfOurs(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    return ::testing::AssertionFailure() << path << " is missing";
  }
  if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 07777) != 0700) {
    return ::testing::AssertionFailure()
           << path << " has mode " << std::oct << (info.st_mode & 0177777) << std::dec
           << " and owner " << info.st_uid;
  }
  return ::testing::AssertionSuccess();
}

TEST(EngineBaseDirectoryTest, SharedNameOnlyWhileItIsOursAlone) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root for a private /tmp and another user's directory";
  }
  struct Case {
    const char* what;
    std::function<void(const std::string& shared)> make;
    bool shared_is_used;
  };
  const Case cases[] = {
      {"nothing there yet", [](const std::string&) {}, true},
      {"our own private directory",
       [](const std::string& shared) { MakeDirectory(shared, 0700, geteuid()); }, true},
      {"made by another user first",
       [](const std::string& shared) { MakeDirectory(shared, 0777, kOtherUid); }, false},
      {"ours but writable by everybody",
       [](const std::string& shared) { MakeDirectory(shared, 0777, geteuid()); }, false},
      {"a link to a private directory of ours",
       [](const std::string& shared) {
         MakeDirectory(shared + "-target", 0700, geteuid());
         ASSERT_EQ(symlink((shared + "-target").c_str(), shared.c_str()), 0);
       },
       false},
  };
  RunIsolated({}, [&] {
    const std::string shared = "/tmp/korvane-" + std::to_string(getuid());
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      RemoveTree(shared);
      RemoveTree(shared + "-target");
      c.make(shared);
      struct stat before = {};
      const bool existed = lstat(shared.c_str(), &before) == 0;
      TempDir config;
      std::string base;
      Output output =
          CaptureOutput([&] { base = korvane::PrepareEngineBaseDirectory(config.path()); });
      if (c.shared_is_used) {
        EXPECT_EQ(base, shared);
        EXPECT_TRUE(IsPrivateDirectoryOfOurs(shared));
        EXPECT_EQ(output.err, "");
      } else {
        EXPECT_EQ(base, config.File("cache"));
        EXPECT_TRUE(IsPrivateDirectoryOfOurs(config.File("cache")));
        // One line saying why, naming both directories.
        EXPECT_EQ(std::count(output.err.begin(), output.err.end(), '\n'), 1) << output.err;
        EXPECT_NE(output.err.find(shared + " is not a private directory of ours"),
                  std::string::npos)
            << output.err;
        EXPECT_NE(output.err.find(config.File("cache")), std::string::npos) << output.err;
        // What was there is left as it was, not taken over.
        struct stat after = {};
        ASSERT_TRUE(existed);
        ASSERT_EQ(lstat(shared.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_uid, before.st_uid);
      }
    }

    // Neither is ours alone: the engine gets no directory at all.
    RemoveTree(shared);
    MakeDirectory(shared, 0777, kOtherUid);
    TempDir config;
    MakeDirectory(config.File("cache"), 0777, kOtherUid);
    std::string base = "unset";
    Output output =
        CaptureOutput([&] { base = korvane::PrepareEngineBaseDirectory(config.path()); });
    EXPECT_EQ(base, "");
    EXPECT_EQ(std::count(output.err.begin(), output.err.end(), '\n'), 1) << output.err;
    EXPECT_NE(output.err.find("No private cache directory"), std::string::npos) << output.err;
  });
}

}  // namespace
}  // namespace korvane_test
