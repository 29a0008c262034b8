// "--wait-for-parent-pid=" on the real korvane executable: the option is removed wherever it
// stands (the hello's entry-point arguments show the rest in order), values below 1 mean no wait
// and no lines, a pid that is not the parent gives both lines at once, and a real parent is
// waited for until it has exited.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/logger.h"
#include "tests/support/host_fixture.h"
#include "tools/korvanectl/bridge_client.h"

namespace korvane_test {
namespace {

using korvane::BridgeClient;

constexpr int kTimeoutMs = 20000;
const std::string kWaitingLine = std::string(korvane::kKorvaneTag) + " Waiting for parent process ";
const std::string kExitedLine =
    std::string(korvane::kKorvaneTag) + " Parent process exited. Starting new instance.\n";

std::vector<std::string> EntrypointArguments(FlValue* hello) {
  std::vector<std::string> args;
  FlValue* list = hello != nullptr ? fl_value_lookup_string(hello, "entrypointArguments") : nullptr;
  if (list == nullptr || fl_value_get_type(list) != FL_VALUE_TYPE_LIST) {
    return {"<no entrypointArguments>"};
  }
  for (size_t i = 0; i < fl_value_get_length(list); ++i) {
    args.push_back(fl_value_get_string(fl_value_get_list_value(list, i)));
  }
  return args;
}

struct ArgumentCase {
  const char* what;
  std::vector<std::string> args;
  std::vector<std::string> rest;
};

class ParentWaitArgumentE2ETest : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(ParentWaitArgumentE2ETest, OptionIsRemovedAndValuesBelowOneDoNotWait) {
  const ArgumentCase& c = GetParam();
  HostFixture host;
  HostOptions options;
  options.window_manager = "";
  options.args = c.args;
  std::string error;
  ASSERT_TRUE(host.Start(options, &error)) << error;
  auto client = host.Connect(&error);
  ASSERT_NE(client, nullptr) << error;
  EXPECT_EQ(EntrypointArguments(client->hello()), c.rest);
  const std::string out = host.Stdout();
  EXPECT_EQ(out.find(kWaitingLine), std::string::npos) << out;
  EXPECT_EQ(out.find(kExitedLine), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Positions,
    ParentWaitArgumentE2ETest,
    ::testing::Values(ArgumentCase{"zero_first",
                                   {"--wait-for-parent-pid=0", "first", "second"},
                                   {"first", "second"}},
                      ArgumentCase{"negative_second",
                                   {"first", "--wait-for-parent-pid=-12", "second"},
                                   {"first", "second"}},
                      // Only the first is taken: the second one reaches the Dart side as it is.
                      ArgumentCase{"garbage_then_another",
                                   {"first", "second", "--wait-for-parent-pid=x1",
                                    "--wait-for-parent-pid=0"},
                                   {"first", "second", "--wait-for-parent-pid=0"}}),
    [](const ::testing::TestParamInfo<ArgumentCase>& info) {
      return std::string(info.param.what);
    });

TEST(ParentWaitE2ETest, PidThatIsNotTheParentGivesBothLinesAtOnce) {
  // Init lives for the whole test and is not the host's parent (the test is).
  HostFixture host;
  HostOptions options;
  options.window_manager = "";
  options.args = {"a", "--wait-for-parent-pid=1"};
  options.wait_for_socket = false;
  std::string error;
  ASSERT_TRUE(host.Start(options, &error)) << error;
  // A wait would last the full 10 s limit; both lines come long before it.
  ASSERT_TRUE(host.WaitForStdout(kExitedLine, 9000)) << host.Stdout();
  EXPECT_EQ(host.Stdout().rfind(std::string(kWaitingLine) + "1 to exit...\n" + kExitedLine, 0), 0u)
      << host.Stdout();
  auto client = host.Connect(&error);
  ASSERT_NE(client, nullptr) << error;
  EXPECT_EQ(EntrypointArguments(client->hello()), std::vector<std::string>{"a"});
}

TEST(ParentWaitE2ETest, ParentThatNeverExitsIsWaitedForTenSecondsAtMost) {
  // The test is the host's parent and outlives the wait.
  HostFixture host;
  HostOptions options;
  options.window_manager = "";
  options.args = {"--wait-for-parent-pid=" + std::to_string(getpid())};
  options.wait_for_socket = false;
  std::string error;
  ASSERT_TRUE(host.Start(options, &error)) << error;
  ASSERT_TRUE(host.WaitForStdout(
      std::string(kWaitingLine) + std::to_string(getpid()) + " to exit...\n", kTimeoutMs))
      << host.Stdout();
  // Still waiting a while later (a host that did not wait would have gone on at once)...
  g_usleep(2 * G_USEC_PER_SEC);
  EXPECT_EQ(host.Stdout().find(kExitedLine), std::string::npos) << host.Stdout();
  // ...and going on by itself after the limit, with its parent still there.
  ASSERT_TRUE(host.WaitForStdout(kExitedLine, 30000)) << host.Stdout();
  auto client = host.Connect(&error);
  ASSERT_NE(client, nullptr) << error;
  EXPECT_EQ(EntrypointArguments(client->hello()), std::vector<std::string>{});
}

TEST(ParentWaitE2ETest, RealParentIsWaitedForUntilItHasExited) {
  // The orphaned host comes to us instead of init, so the test can reap it.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const char* bundle = getenv("KORVANE_BUNDLE_DIR");
  ASSERT_NE(bundle, nullptr);

  // A short-lived parent: it starts the host naming itself, lives until the test has seen the
  // host waiting (a fixed time would not do on a busy machine), says so, and exits.
  HostFixture host;
  const std::string release = host.dir() + "/release-parent";
  ASSERT_EQ(mkfifo(release.c_str(), 0600), 0);
  HostOptions options;
  options.window_manager = "";
  options.executable = "/bin/sh";
  options.args = {"-c",
                  "\"$1\" one --wait-for-parent-pid=$$ two & read _ < \"$2\"; "
                  "echo \"[test] parent $$ exits\"",
                  "sh", std::string(bundle) + "/korvane", release};
  options.wait_for_socket = false;
  std::string error;
  ASSERT_TRUE(host.Start(options, &error)) << error;
  const std::string parent = std::to_string(host.host_pid());

  ASSERT_TRUE(host.WaitForStdout(kWaitingLine + parent + " to exit...\n", kTimeoutMs))
      << host.Stdout();
  // Still waiting a moment later, while the parent lives.
  g_usleep(G_USEC_PER_SEC / 2);
  EXPECT_EQ(host.Stdout().find(kExitedLine), std::string::npos) << host.Stdout();
  std::ofstream(release) << "\n";
  ASSERT_TRUE(host.WaitForStdout(kExitedLine, kTimeoutMs)) << host.Stdout();
  const std::string out = host.Stdout();
  const size_t waiting = out.find(kWaitingLine + parent + " to exit...\n");
  const size_t parent_exits = out.find("[test] parent " + parent + " exits\n");
  const size_t exited = out.find(kExitedLine);
  ASSERT_NE(waiting, std::string::npos) << out;
  ASSERT_NE(parent_exits, std::string::npos) << out;
  // The host went on only after its parent had gone.
  EXPECT_LT(waiting, parent_exits) << out;
  EXPECT_LT(parent_exits, exited) << out;

  // Then it starts as usual, with the option gone from the arguments.
  const gint64 deadline = g_get_monotonic_time() + kTimeoutMs * 1000LL;
  struct stat info;
  while (lstat(host.socket_path().c_str(), &info) != 0 && g_get_monotonic_time() < deadline) {
    g_usleep(20 * 1000);
  }
  BridgeClient client;
  ASSERT_TRUE(client.Connect(host.socket_path(), kTimeoutMs, &error)) << error;
  EXPECT_EQ(EntrypointArguments(client.hello()), (std::vector<std::string>{"one", "two"}));
  FlValue* pid = fl_value_lookup_string(client.hello(), "pid");
  ASSERT_NE(pid, nullptr);
  const pid_t host_pid = static_cast<pid_t>(fl_value_get_int(pid));
  EXPECT_NE(std::to_string(host_pid), parent);
  client.Close();

  // The fixture stops the parent's process group, which the host is in; reap it here.
  host.Stop();
  kill(host_pid, SIGKILL);
  int status = 0;
  EXPECT_EQ(waitpid(host_pid, &status, 0), host_pid);
}

}  // namespace
}  // namespace korvane_test
