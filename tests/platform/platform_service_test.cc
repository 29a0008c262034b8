// The frame of PlatformService: the command runner, the log writer, the path helper, the callback
// table and the TUN step of Cleanup.

#include "platform/platform_service.h"
#include "base/logger.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/platform/namespace_helper.h"

namespace korvane_test {
namespace {

class PlatformServiceTest : public ::testing::Test {
 protected:
  void TearDown() override { PlatformService::ResetForTesting(); }
};

// Runs `program` with `args` and captures what the runner itself (and the child) writes.
Output RunCaptured(const std::string& program, const std::vector<std::string>& args, int* result) {
  return CaptureOutput([&] { *result = PlatformService::RunCommand(program, args); });
}

TEST_F(PlatformServiceTest, RunCommandPassesExitStatusAndHidesSignals) {
  struct Case {
    const char* script;
    int expected;
  };
  // Exit codes come back unchanged over the whole range; a signal gives -1 without a line.
  const Case cases[] = {
      {"exit 0", 0}, {"exit 3", 3}, {"exit 255", 255}, {"kill -TERM $$", -1}, {"kill -KILL $$", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    int result = 0;
    Output output = RunCaptured("sh", {"sh", "-c", c.script}, &result);
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(output.err, "");
  }
}

TEST_F(PlatformServiceTest, RunCommandReportsSpawnFailures) {
  struct Case {
    const char* program;
    const char* error_text;
  };
  const Case cases[] = {
      // Looked up on PATH and found nowhere.
      {"korvane-no-such-program", "No such file or directory"},
      {"/nonexistent/korvane-program", "No such file or directory"},
      // Found but not executable.
      {"/etc/passwd", "Permission denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    int result = 0;
    Output output = RunCaptured(c.program, {c.program, "--version"}, &result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(output.err, std::string(std::string(korvane::kPlatformServiceTag) +
                                      " posix_spawnp failed for '") +
                              c.program + "': " + c.error_text + "\n");
    EXPECT_EQ(output.out, "");
  }
}

TEST_F(PlatformServiceTest, RunCommandHandsArgumentsOverUnchanged) {
  RunIsolated(Isolation(), [] {
    const std::vector<std::string> args = {"two words",
                                           "'single'",
                                           "\"double\"",
                                           "$(touch /tmp/injected)",
                                           "`touch /tmp/injected`",
                                           "; touch /tmp/injected",
                                           "",
                                           "back\\slash",
                                           "line\nbreak",
                                           "*",
                                           "$HOME",
                                           "-n"};
    std::vector<std::string> argv = {"sh", "-c", "printf '%s\\0' \"$@\" > /tmp/args", "name"};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_EQ(PlatformService::RunCommand("sh", argv), 0);
    std::string expected;
    for (const std::string& arg : args) {
      expected += arg;
      expected += '\0';
    }
    EXPECT_EQ(korvane_test::ReadFile("/tmp/args"), expected);
    EXPECT_FALSE(korvane_test::FileExists("/tmp/injected"));
  });
}

TEST_F(PlatformServiceTest, RunCommandWithEmptyVectorStillRunsTheProgram) {
  RunIsolated(Isolation(), [] {
    korvane_test::SetStandInExit("nscd", "", 7);
    EXPECT_EQ(PlatformService::RunCommand("nscd", {}), 7);
    EXPECT_EQ(korvane_test::StandInCalls(), std::vector<std::string>{"nscd"});
  });
}

TEST_F(PlatformServiceTest, RunCommandGivesTheCommandsOwnFailureCode) {
  RunIsolated(Isolation(), [] {
    int own_status = system("ip link delete korvane-none >/dev/null 2>&1");
    ASSERT_TRUE(WIFEXITED(own_status));
    ASSERT_NE(WEXITSTATUS(own_status), 0);
    int result = 0;
    Output output = RunCaptured("ip", {"ip", "link", "delete", "korvane-none"}, &result);
    EXPECT_EQ(result, WEXITSTATUS(own_status));
    // The only text is ip's own.
    EXPECT_EQ(output.err.find(korvane::kPlatformServiceTag), std::string::npos) << output.err;
  });
}

TEST_F(PlatformServiceTest, RunCommandReportsAFailedWait) {
  RunIsolated(Isolation(), [] {
    // With SIGCHLD ignored the kernel reaps the child itself, so waiting for it fails.
    signal(SIGCHLD, SIG_IGN);
    int result = 0;
    Output output = RunCaptured("true", {"true"}, &result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(
        output.err.rfind(
            std::string(korvane::kPlatformServiceTag) + " waitpid failed for 'true' (pid ", 0),
        0u)
        << output.err;
    EXPECT_NE(output.err.find("): No child processes\n"), std::string::npos) << output.err;
  });
}

TEST_F(PlatformServiceTest, LogMessageWritesOneTaggedLine) {
  struct Case {
    const char* tag;
    const char* message;
    const char* expected;
  };
  const Case cases[] = {
      {"VPN", "connected", "[VPN] connected\n"},
      {nullptr, "no tag", "[] no tag\n"},
      {"PlatformService", nullptr, "[PlatformService] \n"},
  };
  for (const Case& c : cases) {
    Output output = CaptureOutput([&] { PlatformService::LogMessage(c.tag, c.message); });
    EXPECT_EQ(output.out, c.expected);
    EXPECT_EQ(output.err, "");
  }
}

TEST_F(PlatformServiceTest, CanonicalizePathResolvesWhatExists) {
  RunIsolated(Isolation(), [] {
    ASSERT_EQ(mkdir("/tmp/c", 0755), 0);
    ASSERT_EQ(mkdir("/tmp/c/dir", 0755), 0);
    ASSERT_EQ(symlink("dir", "/tmp/c/link"), 0);
    ASSERT_EQ(symlink("loop", "/tmp/c/loop"), 0);
    ASSERT_EQ(chdir("/tmp/c"), 0);
    struct Case {
      const char* path;
      const char* expected;
    };
    const Case cases[] = {
        {"/tmp/c/link/./x", "/tmp/c/dir/x"},
        {"/tmp/c/link/../dir/y/../z", "/tmp/c/dir/z"},
        // Relative paths are taken against the working directory.
        {"link/new", "/tmp/c/dir/new"},
        {".", "/tmp/c"},
        // Errors give an empty path.
        {"/tmp/c/loop/x", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
      EXPECT_EQ(PlatformService::CanonicalizePath(c.path).string(), c.expected) << c.path;
    }
  });
}

TEST_F(PlatformServiceTest, RootAndProxyAnswers) {
  RunIsolated(Isolation(), [] {
    EXPECT_TRUE(PlatformService::IsRunningAsRoot());
    EXPECT_FALSE(PlatformService::SetupSystemProxy("127.0.0.1", 7890));
    EXPECT_FALSE(PlatformService::ClearSystemProxy());
    ASSERT_TRUE(korvane_test::DropPrivileges());
    EXPECT_FALSE(PlatformService::IsRunningAsRoot());
  });
}

TEST_F(PlatformServiceTest, CallbackTableSlotsInOrder) {
  Isolation isolation;
  // eth0 has an address, down0 has none and is left out.
  isolation.interfaces = {{"eth0", "10.20.0.2/24"}, {"down0", ""}};
  RunIsolated(isolation, [] {
    PlatformInterface* table = PlatformService::GetPlatformInterface();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table, PlatformService::GetPlatformInterface());

    char* names = table->get_interfaces();
    ASSERT_NE(names, nullptr);
    EXPECT_STREQ(names, "lo,eth0");
    free(names);

    table->clear_dns_cache();
    EXPECT_EQ(korvane_test::StandInCalls(),
              (std::vector<std::string>{"nscd -i hosts", "killall -HUP dnsmasq"}));

    Output log = CaptureOutput([&] { table->log_message("tag", "text"); });
    EXPECT_EQ(log.out, "[tag] text\n");

    // The device slots are the logging wrappers, in the record's order.
    EXPECT_EQ(table->open_tun, &PlatformService::PlatformOpenTun);
    EXPECT_EQ(table->close_tun, &PlatformService::PlatformCloseTun);
    EXPECT_EQ(table->protect_socket, &PlatformService::PlatformProtectSocket);
    EXPECT_EQ(table->get_interfaces, &PlatformService::PlatformGetInterfaces);
    EXPECT_EQ(table->clear_dns_cache, &PlatformService::PlatformClearDNSCache);
    EXPECT_EQ(table->log_message, &PlatformService::PlatformLogMessage);
  });
}

TEST_F(PlatformServiceTest, CleanupWithNothingChangedDoesNothing) {
  RunIsolated(Isolation(), [] {
    PlatformService::Initialize();
    std::string before = korvane_test::ReadFile("/etc/resolv.conf");
    Output output = CaptureOutput([] { PlatformService::Cleanup(); });
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(output.err, "");
    EXPECT_TRUE(korvane_test::StandInCalls().empty());
    EXPECT_EQ(korvane_test::ReadFile("/etc/resolv.conf"), before);
  });
}

TEST_F(PlatformServiceTest, CleanupClosesTheRecordedTunDevice) {
  Isolation isolation;
  isolation.interfaces = {{"ktun0", ""}};
  RunIsolated(isolation, [] {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    PlatformService::RecordTunForTesting(fd, "ktun0");
    Output output = CaptureOutput([] { PlatformService::Cleanup(); });
    EXPECT_EQ(output.out, "TUN interface ktun0 deleted\n");
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_NE(system("ip link show ktun0 >/dev/null 2>&1"), 0);

    // The record is cleared: a second close deletes nothing.
    Output again = CaptureOutput([] { PlatformService::CloseTun(-1); });
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(again.err, "");

    // A failed deletion is reported and the record cleared all the same.
    PlatformService::RecordTunForTesting(-1, "ghost0");
    Output failed = CaptureOutput([] { PlatformService::PlatformCloseTun(-1); });
    EXPECT_NE(failed.err.find("Failed to delete TUN interface ghost0 (may already be gone)\n"),
              std::string::npos)
        << failed.err;
    Output cleared = CaptureOutput([] { PlatformService::CloseTun(-1); });
    EXPECT_EQ(cleared.err, "");
  });
}

}  // namespace
}  // namespace korvane_test
