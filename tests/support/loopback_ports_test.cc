// Ports for servers under test: outside the kernel's range of source ports, and never the same
// for two test processes alive at once.
#include "tests/support/loopback_ports.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>

namespace korvane_test {
namespace {

constexpr int kPortsEach = 100;

TEST(LoopbackPortsTest, PortsAreOutsideTheSourceRangeAndNotSharedBetweenProcesses) {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  int first_source_port = 0;
  ASSERT_TRUE(range >> first_source_port);

  int ports_pipe[2];
  int release_pipe[2];
  ASSERT_EQ(pipe(ports_pipe), 0);
  ASSERT_EQ(pipe(release_pipe), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Takes its ports, hands them over and stays alive until the parent has taken its own.
    for (int i = 0; i < kPortsEach; ++i) {
      int port = FreePort();
      if (write(ports_pipe[1], &port, sizeof(port)) != sizeof(port)) {
        _exit(1);
      }
    }
    char go;
    _exit(read(release_pipe[0], &go, 1) == 1 ? 0 : 1);
  }
  std::set<int> theirs;
  for (int i = 0; i < kPortsEach; ++i) {
    int port = 0;
    ASSERT_EQ(read(ports_pipe[0], &port, sizeof(port)), static_cast<ssize_t>(sizeof(port)));
    theirs.insert(port);
  }
  std::set<int> ours;
  for (int i = 0; i < kPortsEach; ++i) {
    ours.insert(FreePort());
  }
  ASSERT_EQ(write(release_pipe[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  EXPECT_EQ(ours.size(), static_cast<size_t>(kPortsEach)) << "a port was given twice";
  EXPECT_EQ(theirs.size(), static_cast<size_t>(kPortsEach)) << "a port was given twice";
  for (int port : ours) {
    EXPECT_GT(port, 1024);
    EXPECT_LT(port, first_source_port);
    EXPECT_EQ(theirs.count(port), 0u) << port << " was given to both processes";
    EXPECT_FALSE(IsListening(port));
  }
  // The claim names this process.
  std::ifstream claim("/tmp/korvane-test-ports/" + std::to_string(*ours.begin()));
  std::string holder;
  EXPECT_TRUE(claim >> holder);
  EXPECT_EQ(holder, std::to_string(getpid()));
  // The child left without giving its claims back; they are stale now, and removed here so
  // the test leaves nothing behind.
  for (int port : theirs) {
    unlink(("/tmp/korvane-test-ports/" + std::to_string(port)).c_str());
  }
}

}  // namespace
}  // namespace korvane_test
