// A TUN configuration started by a host without CAP_NET_ADMIN: the engine's failure reaches the
// UI as the permission message, both when the TUN device node is closed to the user (the open
// fails) and when it is open to everybody (the kernel refuses the interface).

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/support/bundle_copy.h"

namespace korvane_test {
namespace {

using korvane_test::HostFixture;
using korvane_test::HostOptions;

constexpr uid_t kNobody = 65534;
constexpr char kPermissionMessage[] =
    "Permission denied - need root or CAP_NET_ADMIN for TUN device. Error: ";

struct NodeCase {
  const char* name;
  const char* mode;         // of the private /dev/net/tun
  const char* engine_text;  // what the engine says about it
};

std::string Join(const std::vector<std::string>& items) {
  std::string joined;
  for (const std::string& item : items) {
    joined += (joined.empty() ? "" : ",") + item;
  }
  return joined;
}

// Runs |body| in a child process as uid and gid 65534 (the bridge serves only the host's own
// user) and returns its "key=value" lines.
std::map<std::string, std::string> RunAsNobody(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return {{"failure", "pipe"}};
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string out;
    if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
        setresuid(kNobody, kNobody, kNobody) != 0) {
      out = "failure=cannot become uid 65534\n";
    } else {
      out = body();
    }
    for (size_t done = 0; done < out.size();) {
      ssize_t n = write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0) {
        break;
      }
      done += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof(buffer))) > 0;) {
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    size_t equals = line.find('=');
    if (equals != std::string::npos) {
      values[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  return values;
}

class TunPermissionTest : public ::testing::TestWithParam<NodeCase> {};

TEST_P(TunPermissionTest, UnprivilegedTunStartIsReportedAsAPermissionFailure) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to give the host a private device node and drop it to 65534";
  }
  const NodeCase& node = GetParam();
  HostFixture host;
  for (const std::string& dir : {host.dir(), host.home(), host.config_home(), host.runtime_dir(),
                                 host.dir() + "/data", host.dir() + "/cache"}) {
    ASSERT_EQ(chown(dir.c_str(), kNobody, kNobody), 0) << dir;
  }
  // 65534 runs a copy of the bundle: it may not reach the checkout's.
  std::string error;
  const std::string korvane = CopyBundleExecutable(host.dir() + "/bundle", &error);
  ASSERT_NE(korvane, "") << error;

  // A private mount namespace with its own /dev/net/tun of the wanted mode; then the host runs
  // as 65534 with no capabilities at all.
  HostOptions options;
  options.env = GnomeKeyfileEnvironment();
  options.executable = "unshare";
  options.args = {"-m",
                  "--propagation",
                  "private",
                  "/bin/sh",
                  "-c",
                  std::string("mount -t tmpfs none /dev/net && mknod -m ") + node.mode +
                      " /dev/net/tun c 10 200 && exec setpriv --reuid=65534 --regid=65534 "
                      "--clear-groups --inh-caps=-all \"$0\"",
                  korvane};
  ASSERT_TRUE(host.Start(options, &error)) << error;

  const std::string config =
      ReplaceAll(ReplaceAll(ExampleConfig("tun.json"), "127.0.0.1:9090",
                            "127.0.0.1:" + std::to_string(FreePort())),
                 "\"korvane-engine.log\"", "\"" + host.dir() + "/engine.log\"");
  const std::string socket_path = host.socket_path();

  std::map<std::string, std::string> seen = RunAsNobody([&]() {
    auto client = std::make_unique<BridgeClient>();
    std::string failure;
    if (!client->Connect(socket_path, kCallTimeoutMs, &failure)) {
      return "failure=connect: " + failure + "\n";
    }
    Ui ui(std::move(client));
    std::ostringstream out;
    out << "listen=" << ui.Listen() << "\n";
    out << "load=" << static_cast<bool>(IsTrueResponse(ui.Load(config))) << "\n";
    std::vector<std::string> errors;
    out << "events=" << Join(ui.EventsUntil({"vpn_disconnected"}, &errors)) << "\n";
    out << "errors=" << Join(errors) << "\n";
    out << "status=" << StringResult(ui.Call("getStatus")) << "\n";
    BridgeClient::Response reconnect = ui.Call("doConnectVpn");
    out << "reconnect=" << reconnect.code << ":" << reconnect.message << "\n";
    out << "reconnect_events=" << Join(ui.PendingEvents()) << "\n";
    BridgeClient::Response admin = ui.Call("checkAdminPrivileges");
    out << "admin=" << (admin.result ? fl_value_get_bool(admin.result.get()) : -1) << "\n";
    return out.str();
  });

  ASSERT_EQ(seen["failure"], "");
  EXPECT_EQ(seen["listen"], "1");
  EXPECT_EQ(seen["load"], "1");
  EXPECT_EQ(seen["events"], "vpn_connecting,vpn_error,vpn_disconnected");
  const std::string message = seen["errors"];
  EXPECT_EQ(message.rfind(kPermissionMessage, 0), 0u) << message;
  EXPECT_NE(message.find(node.engine_text), std::string::npos) << message;
  EXPECT_EQ(seen["status"], "error: " + message);
  EXPECT_EQ(seen["reconnect"], "EXCEPTION:" + message);
  EXPECT_EQ(seen["reconnect_events"], "vpn_connecting,vpn_disconnected");
  // The host agrees that it holds no network capability.
  EXPECT_EQ(seen["admin"], "0");
  EXPECT_EQ(GnomeSetting(host, "org.gnome.system.proxy", "mode"), "'none'");
}

INSTANTIATE_TEST_SUITE_P(
    DeviceNodes,
    TunPermissionTest,
    ::testing::Values(NodeCase{"ClosedNode", "600", "open /dev/net/tun: permission denied"},
                      NodeCase{"NodeOpenToAll", "666",
                               "configure tun interface: operation not permitted"}),
    [](const ::testing::TestParamInfo<NodeCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvane_test
