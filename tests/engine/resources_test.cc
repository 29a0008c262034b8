// What create_service acquires and stop_service gives back: the TUN interface (in a private
// network namespace), listening sockets, the permission and port-taken failures, and no
// leftovers after many cycles.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "tests/engine/libbox_library.h"
#include "tests/support/bundle_copy.h"

namespace korvane_test {
namespace {

std::string HelperPath() {
  const char* build = getenv("KORVANE_BUILD_DIR");
  return std::string(build == nullptr ? "." : build) + "/tests/engine/engine_test_helper";
}

// A listening socket on a free loopback port, held for the test's duration.
class TakenPort {
 public:
  TakenPort() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(fd_, 1);
    socklen_t length = sizeof(address);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~TakenPort() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class EngineResourcesTest : public LoadedEngineTest {
 protected:
  void SetUp() override {
    // The helper may run as another user: it must read the configuration.
    chmod(dir_.path().c_str(), 0755);
  }

  std::string WriteConfig(const std::string& text) {
    std::string path = dir_.File("config.json");
    WriteFile(path, text);
    chmod(path.c_str(), 0644);
    return path;
  }

  static bool IsRoot() { return geteuid() == 0; }

  TempDir dir_;
};

std::string TunConfig(const std::string& log_path) {
  return R"({"log":{"level":"info","output":")" + log_path + R"("},
    "inbounds":[{"type":"tun","tag":"tun-in","interface_name":"korvane-tun0",
                 "address":["172.19.0.1/30","fdfe:dcba:9876::1/126"],"mtu":9000}],
    "outbounds":[{"type":"direct","tag":"direct"}]})";
}

TEST_F(EngineResourcesTest, TunInterfaceLivesFromCreateToStop) {
  if (!IsRoot()) {
    GTEST_SKIP() << "needs root for a private network namespace";
  }
  std::string log = dir_.File("tun.log");
  std::string output;
  ASSERT_EQ(RunShellCommand("unshare -n " + ShellQuote(HelperPath()) + " once " +
                                ShellQuote(WriteConfig(TunConfig(log))) + " korvane-tun0",
                            &output),
            0)
      << output;
  EXPECT_NE(output.find("create: 0\n"), std::string::npos) << output;
  EXPECT_NE(output.find("start: 0\n"), std::string::npos) << output;
  EXPECT_NE(output.find("inet 172.19.0.1/30"), std::string::npos) << output;
  EXPECT_NE(output.find("inet6 fdfe:dcba:9876::1/126"), std::string::npos) << output;
  EXPECT_NE(output.find("mtu 9000"), std::string::npos) << output;
  EXPECT_NE(output.find(",UP"), std::string::npos) << output;
  EXPECT_NE(output.find("after-stop: absent"), std::string::npos) << output;
  std::string text = ReadFile(log);
  EXPECT_NE(text.find("INFO inbound/tun[tun-in]: started at korvane-tun0\n"), std::string::npos)
      << text;
  // What the stack could not carry is counted, and the count is logged at stop.
  EXPECT_NE(text.find(" packet(s) dropped\n"), std::string::npos) << text;
  EXPECT_NE(text.find("INFO inbound/tun[tun-in]: deleted interface korvane-tun0\n"),
            std::string::npos)
      << text;
}

// A program the host starts inherits nothing the engine opened: the TUN device, the log file
// and every socket are closed on exec.
TEST_F(EngineResourcesTest, EngineDescriptorsAreClosedOnExec) {
  if (!IsRoot()) {
    GTEST_SKIP() << "needs root for a private network namespace";
  }
  const std::string log = dir_.File("box.log");
  const std::string config = WriteConfig(R"({"log":{"output":")" + log + R"("},
    "inbounds":[{"type":"tun","tag":"tun-in","interface_name":"korvane-tun0",
                 "address":["172.19.0.1/30"]},
                {"type":"mixed","tag":"mixed-in","listen":"127.0.0.1","listen_port":0}],
    "outbounds":[{"type":"direct","tag":"direct"}],
    "experimental":{"clash_api":{"external_controller":"127.0.0.1:0"}}})");
  std::string output;
  ASSERT_EQ(RunShellCommand("unshare -n sh -c 'ip link set lo up && exec \"$0\" once \"$1\"' '" +
                                HelperPath() + "' '" + config + "'",
                            &output),
            0)
      << output;
  EXPECT_NE(output.find("start: 0\n"), std::string::npos) << output;
  EXPECT_NE(output.find("descriptor: /dev/net/tun close-on-exec\n"), std::string::npos) << output;
  EXPECT_NE(output.find("descriptor: " + log + " close-on-exec\n"), std::string::npos) << output;
  EXPECT_NE(output.find("descriptor: socket:["), std::string::npos) << output;
  EXPECT_EQ(output.find(" inherited\n"), std::string::npos) << output;
}

TEST_F(EngineResourcesTest, ExampleTunConfigurationRuns) {
  if (!IsRoot()) {
    GTEST_SKIP() << "needs root for a private network namespace";
  }
  const char* source = getenv("KORVANE_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  std::string output;
  // Its relative log path lands in the engine's working directory, the helper's own.
  ASSERT_EQ(
      RunShellCommand("cd " + ShellQuote(dir_.path()) +
                          " && unshare -n sh -c 'ip link set lo up && exec \"$0\" once \"$1\" "
                          "korvane-tun0' " +
                          ShellQuote(HelperPath()) + " " +
                          ShellQuote(std::string(source) + "/examples/tun.json"),
                      &output),
      0)
      << output;
  EXPECT_NE(output.find("start: 0\n"), std::string::npos) << output;
  EXPECT_NE(output.find("mtu 9000"), std::string::npos) << output;
  EXPECT_NE(output.find("after-stop: absent"), std::string::npos) << output;
  std::string log = ReadFile(dir_.File("korvane-engine.log"));
  EXPECT_NE(log.find("INFO clash-api: restful api listening at 127.0.0.1:9090"), std::string::npos)
      << log;
}

TEST_F(EngineResourcesTest, TunWithoutPrivilegeFailsWithTheSystemText) {
  if (!IsRoot()) {
    GTEST_SKIP() << "needs root to enter private namespaces before dropping";
  }
  // 65534 runs copies of the helper and the bundle: it may not reach the checkout's.
  std::string error;
  const std::string bundle = dir_.File("bundle");
  ASSERT_NE(CopyBundleExecutable(bundle, &error), "") << error;
  const std::string helper = dir_.File("engine_test_helper");
  ASSERT_TRUE(std::filesystem::copy_file(HelperPath(), helper));
  ASSERT_TRUE(OpenToAllUsers(helper, &error)) << error;
  const std::string drop =
      "setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all env " +
      ShellQuote("KORVANE_BUNDLE_DIR=" + bundle) + " " +
      ShellQuote("LD_LIBRARY_PATH=" + bundle + "/lib") + " " + ShellQuote(helper) + " once " +
      ShellQuote(WriteConfig(TunConfig("/dev/null"))) + " korvane-tun0";
  std::string output;
  // As on desktops, the device node is open to everyone (a private copy of it, mode 0666):
  // the kernel refuses the interface itself.
  RunShellCommand(
      "unshare -m -n sh -c 'mount -t tmpfs tmpfs /dev/net && mknod -m 666 /dev/net/tun c "
      "10 200 && exec \"$@\"' sh " +
          drop,
      &output);
  EXPECT_NE(output.find("create: -1\nerror: start inbound/tun[tun-in]: configure tun interface: "
                        "operation not permitted\n"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("after-stop: absent"), std::string::npos) << output;

  // With the machine's own node, whatever its mode, the failure still names the step.
  RunShellCommand("unshare -n " + drop, &output);
  EXPECT_NE(output.find("create: -1\nerror: start inbound/tun[tun-in]: configure tun interface: "),
            std::string::npos)
      << output;
  EXPECT_TRUE(output.find("operation not permitted") != std::string::npos ||
              output.find("permission denied") != std::string::npos)
      << output;
}

TEST_F(EngineResourcesTest, TakenPortsFailCreateWithTheSystemText) {
  TakenPort taken;
  const std::string port = std::to_string(taken.port());
  struct Case {
    std::string config;
    std::string error;
  } cases[] = {
      {R"({"inbounds":[{"type":"mixed","tag":"mixed-in","listen":"127.0.0.1","listen_port":)" +
           port + "}]}",
       "start inbound/mixed[mixed-in]: listen tcp 127.0.0.1:" + port +
           ": bind: address already in use"},
      {R"({"experimental":{"clash_api":{"external_controller":"127.0.0.1:)" + port + R"("}}})",
       "finish-start clash server: external controller listen error: listen tcp 127.0.0.1:" + port +
           ": bind: address already in use"},
      // A later failure releases what was acquired before it: the mixed port is free again.
      {R"({"inbounds":[{"type":"mixed","tag":"mixed-in","listen_port":0}],
           "experimental":{"clash_api":{"external_controller":"127.0.0.1:)" +
           port + R"("}}})",
       "finish-start clash server: external controller listen error: listen tcp 127.0.0.1:" + port +
           ": bind: address already in use"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    EXPECT_NE(library_->create_service(c.config.c_str()), 0);
    EXPECT_EQ(library_->LastError(), c.error);
    EXPECT_EQ(library_->get_status(), 0);
  }
}

TEST_F(EngineResourcesTest, StartFailureIsAnErrorLineAndStopStillReleases) {
  // Created: the controller's port is bound but not yet listening. Another socket that shares
  // the address starts listening on it first, so the start cannot.
  int port = 0;
  {
    TakenPort probe;
    port = probe.port();
  }
  std::string log = dir_.File("box.log");
  std::string config = R"({"log":{"output":")" + log +
                       R"("},"experimental":{"clash_api":{"external_controller":"127.0.0.1:)" +
                       std::to_string(port) + "\"}}}";
  ASSERT_EQ(library_->create_service(config.c_str()), 0) << library_->LastError();
  int other = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(other, 1), 0);

  const std::string error =
      "finish-start clash server: external controller listen error: listen "
      "tcp 127.0.0.1:" +
      std::to_string(port) + ": listen: address already in use";
  EXPECT_NE(library_->start_service(), 0);
  EXPECT_EQ(library_->LastError(), error);
  EXPECT_EQ(library_->get_status(), 1);
  EXPECT_EQ(library_->stop_service(), 0);
  EXPECT_EQ(library_->get_status(), 0);
  close(other);
  // What had started is stopped again at once.
  EXPECT_EQ(ReadFile(log), "ERROR " + error + "\nINFO sing-box stopped\n");
}

TEST_F(EngineResourcesTest, NameLookupsEndWithTheDelayTimeout) {
  if (!IsRoot()) {
    GTEST_SKIP() << "needs root for private network and mount namespaces";
  }
  // A private resolver configuration names a server that never answers; the C library alone
  // would wait 5 s per attempt.
  WriteFile(dir_.File("resolv.conf"), "nameserver 127.0.0.1\noptions timeout:5 attempts:2\n");
  std::string config = WriteConfig(R"({"log":{"output":")" + dir_.File("box.log") + R"("},
    "outbounds":[{"type":"socks","tag":"far","server":"proxy.korvane.example","server_port":1080}],
    "experimental":{"clash_api":{"external_controller":"127.0.0.1:0"}}})");
  std::string output;
  ASSERT_EQ(RunShellCommand("unshare -m -n sh -c 'ip link set lo up && mount --bind \"$1\" "
                            "/etc/resolv.conf && exec \"$0\" silent-dns \"$2\" "
                            "/proxies/far/delay?timeout=300' " +
                                ShellQuote(HelperPath()) + " " +
                                ShellQuote(dir_.File("resolv.conf")) + " " + ShellQuote(config),
                            &output),
            0)
      << output;
  EXPECT_NE(output.find("status: 504\nbody: {\"message\":\"Timeout\"}\n"), std::string::npos)
      << output;
  // Bounded by the 300 ms timeout, far from the resolver's own 10 s.
  std::smatch match;
  ASSERT_TRUE(std::regex_search(output, match, std::regex("elapsed-ms: (\\d+)"))) << output;
  EXPECT_LT(std::stoi(match[1]), 3000) << output;
}

TEST_F(EngineResourcesTest, CyclesLeaveNoSocketInterfaceOrDescriptor) {
  if (!IsRoot()) {
    GTEST_SKIP() << "needs root for a private network namespace";
  }
  std::string config = WriteConfig(R"({"log":{"disabled":true},
    "inbounds":[{"type":"tun","tag":"tun-in","interface_name":"korvane-tun0",
                 "address":["172.19.0.1/30"]},
                {"type":"mixed","tag":"mixed-in","listen":"127.0.0.1","listen_port":0}],
    "outbounds":[{"type":"selector","tag":"proxy","outbounds":["direct"]},
                 {"type":"direct","tag":"direct"}],
    "experimental":{"clash_api":{"external_controller":"127.0.0.1:0"}}})");
  std::string output;
  // The namespace's loopback starts down; the inbound and controller listen on it.
  ASSERT_EQ(RunShellCommand("unshare -n sh -c 'ip link set lo up && exec \"$0\" cycles \"$1\" 200 "
                            "korvane-tun0' " +
                                ShellQuote(HelperPath()) + " " + ShellQuote(config),
                            &output),
            0)
      << output;
  EXPECT_NE(output.find("failures: 0\n"), std::string::npos) << output;
  EXPECT_NE(output.find("extra-descriptors: 0\n"), std::string::npos) << output;
  EXPECT_NE(output.find("listening: 0\n"), std::string::npos) << output;
  EXPECT_NE(output.find("after-stop: absent"), std::string::npos) << output;
}

}  // namespace
}  // namespace korvane_test
