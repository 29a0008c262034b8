// The hand-over option "--wait-for-parent-pid=" in-process: which argument is taken, what it
// parses to, and what stays for the Dart entry point.

#include "app/parent_wait.h"
#include "base/logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

struct TakeCase {
  const char* what;
  std::vector<std::string> argv;
  long pid;
  std::vector<std::string> rest;
};

class TakeWaitForParentArgumentTest : public ::testing::TestWithParam<TakeCase> {};

TEST_P(TakeWaitForParentArgumentTest, TakesTheFirstOptionAndKeepsTheRestInOrder) {
  const TakeCase& c = GetParam();
  std::vector<std::string> storage = c.argv;
  std::vector<char*> argv;
  for (std::string& arg : storage) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  int argc = static_cast<int>(storage.size());

  EXPECT_EQ(korvane::TakeWaitForParentArgument(&argc, argv.data()), c.pid);
  ASSERT_EQ(argc, static_cast<int>(c.rest.size()));
  for (int i = 0; i < argc; ++i) {
    EXPECT_STREQ(argv[i], c.rest[i].c_str()) << "argument " << i;
  }
  EXPECT_EQ(argv[argc], nullptr) << "argv must stay NULL-terminated";
}

INSTANTIATE_TEST_SUITE_P(
    Cases,
    TakeWaitForParentArgumentTest,
    ::testing::Values(
        TakeCase{"alone", {"korvane", "--wait-for-parent-pid=123"}, 123, {"korvane"}},
        TakeCase{"first",
                 {"korvane", "--wait-for-parent-pid=42", "a", "b"},
                 42,
                 {"korvane", "a", "b"}},
        TakeCase{"middle",
                 {"korvane", "a", "--wait-for-parent-pid=42", "b"},
                 42,
                 {"korvane", "a", "b"}},
        TakeCase{"last",
                 {"korvane", "a", "b", "--wait-for-parent-pid=42"},
                 42,
                 {"korvane", "a", "b"}},
        // Only the first is taken; a second stays an ordinary argument.
        TakeCase{"second_stays",
                 {"korvane", "--wait-for-parent-pid=5", "x", "--wait-for-parent-pid=6"},
                 5,
                 {"korvane", "x", "--wait-for-parent-pid=6"}},
        // Zero, negative and garbage are removed all the same.
        TakeCase{"zero", {"korvane", "--wait-for-parent-pid=0", "a"}, 0, {"korvane", "a"}},
        TakeCase{"negative", {"korvane", "a", "--wait-for-parent-pid=-7"}, -7, {"korvane", "a"}},
        TakeCase{"garbage", {"korvane", "--wait-for-parent-pid=abc", "a"}, 0, {"korvane", "a"}},
        TakeCase{"empty", {"korvane", "--wait-for-parent-pid=", "a"}, 0, {"korvane", "a"}},
        // Not the option: no "=", or the program name itself.
        TakeCase{"no_equals",
                 {"korvane", "--wait-for-parent-pid", "9"},
                 0,
                 {"korvane", "--wait-for-parent-pid", "9"}},
        TakeCase{"program_name",
                 {"--wait-for-parent-pid=9", "a"},
                 0,
                 {"--wait-for-parent-pid=9", "a"}},
        TakeCase{"none", {"korvane"}, 0, {"korvane"}}),
    [](const ::testing::TestParamInfo<TakeCase>& info) { return std::string(info.param.what); });

TEST(WaitForParentExitTest, NothingHappensBelowOne) {
  for (long pid : {0L, -1L, -4000L}) {
    ::testing::internal::CaptureStdout();
    korvane::WaitForParentExit(pid);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << pid;
  }
}

TEST(WaitForParentExitTest, APidThatIsNotTheParentGivesBothLinesWithoutWaiting) {
  // Our parent is the test runner, never init.
  ASSERT_NE(getppid(), 1);
  ::testing::internal::CaptureStdout();
  korvane::WaitForParentExit(1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            std::string(korvane::kKorvaneTag) + " Waiting for parent process 1 to exit...\n" +
                std::string(korvane::kKorvaneTag) +
                " Parent process exited. Starting new instance.\n");
}

}  // namespace
