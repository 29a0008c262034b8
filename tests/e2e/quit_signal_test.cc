// A desktop session that ends sends SIGTERM (a terminal SIGINT or SIGHUP). The host must quit
// through its normal shut-down: engine stopped, desktop proxy off, log session ended cleanly,
// the TUN interface and the engine's ports gone, exit status 0.
//
// The host runs in a private network namespace as root, so its TUN inbound really comes up.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace korvane_test {
namespace {

using korvane_test::HostFixture;
using korvane_test::HostOptions;
using Events = std::vector<std::string>;

constexpr char kTunName[] = "korvane-tun0";

struct SignalCase {
  const char* name;
  int signal;
};

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// A named network namespace with its loopback up; deleted on destruction.
class NetworkNamespace {
 public:
  explicit NetworkNamespace(const std::string& name) : name_(name) {
    ok_ = Run({"ip", "netns", "add", name_}) == 0 &&
          Run({"ip", "netns", "exec", name_, "ip", "link", "set", "lo", "up"}) == 0;
  }
  ~NetworkNamespace() { Run({"ip", "netns", "delete", name_}); }

  bool ok() const { return ok_; }
  const std::string& name() const { return name_; }

  // Runs |argv| inside the namespace; its exit status, output to *output.
  int Exec(const std::vector<std::string>& argv, std::string* output = nullptr) const {
    std::vector<std::string> full = {"ip", "netns", "exec", name_};
    full.insert(full.end(), argv.begin(), argv.end());
    return Run(full, output);
  }

  // Whether a TCP socket listens on |port| inside the namespace.
  bool Listening(int port) const {
    std::string output;
    Exec({"ss", "-Hltn"}, &output);
    return output.find("127.0.0.1:" + std::to_string(port) + " ") != std::string::npos;
  }

  static int Run(const std::vector<std::string>& argv, std::string* output = nullptr) {
    std::vector<const gchar*> c_argv;
    for (const std::string& arg : argv) {
      c_argv.push_back(arg.c_str());
    }
    c_argv.push_back(nullptr);
    gchar* out = nullptr;
    gint status = 0;
    if (!g_spawn_sync(nullptr, const_cast<gchar**>(c_argv.data()), nullptr,
                      static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL),
                      nullptr, nullptr, &out, nullptr, &status, nullptr)) {
      return -1;
    }
    if (output != nullptr) {
      *output = out != nullptr ? out : "";
    }
    g_free(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  std::string name_;
  bool ok_ = false;
};

class QuitSignalTest : public ::testing::TestWithParam<SignalCase> {};

TEST_P(QuitSignalTest, QuitSignalStopsEverythingThroughTheNormalShutdown) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root for a network namespace and a TUN device";
  }
  const SignalCase& signal_case = GetParam();
  NetworkNamespace netns("korvane-e2e-" + std::to_string(getpid()) + "-" + signal_case.name);
  ASSERT_TRUE(netns.ok());
  const char* bundle = getenv("KORVANE_BUNDLE_DIR");
  ASSERT_NE(bundle, nullptr);

  HostFixture host;
  HostOptions options;
  options.env = GnomeKeyfileEnvironment();
  options.executable = "ip";
  options.args = {"netns", "exec", netns.name(), std::string(bundle) + "/korvane"};
  std::string error;
  ASSERT_TRUE(host.Start(options, &error)) << error;

  // The TUN example with a mixed inbound beside it, so the desktop proxy is set too.
  const int mixed_port = FreePort();
  const int controller_port = FreePort();
  std::string config = ExampleConfig("tun.json");
  config = ReplaceAll(config, "127.0.0.1:9090", "127.0.0.1:" + std::to_string(controller_port));
  config = ReplaceAll(config, "\"korvane-engine.log\"", "\"" + host.dir() + "/engine.log\"");
  config = ReplaceAll(config, "\"auto_route\": false\n    }",
                      "\"auto_route\": false\n    },\n    {\"type\": \"mixed\", \"tag\": "
                      "\"mixed-in\", \"listen\": \"127.0.0.1\", \"listen_port\": " +
                          std::to_string(mixed_port) + "}");
  ASSERT_NE(config.find("\"mixed-in\""), std::string::npos);

  std::unique_ptr<BridgeClient> client = host.Connect(&error);
  ASSERT_NE(client, nullptr) << error;
  Ui ui(std::move(client));
  ASSERT_TRUE(ui.Listen());
  ASSERT_TRUE(IsTrueResponse(ui.Load(config)));
  ASSERT_EQ(ui.EventsUntil({"vpn_connected", "vpn_disconnected"}),
            (Events{"vpn_connecting", "vpn_connected"}));

  const std::string marker_dir = host.config_home() + "/korvane/";
  EXPECT_EQ(netns.Exec({"ip", "link", "show", kTunName}), 0);
  EXPECT_TRUE(netns.Listening(mixed_port));
  EXPECT_TRUE(netns.Listening(controller_port));
  EXPECT_EQ(GnomeSetting(host, "org.gnome.system.proxy", "mode"), "'manual'");
  EXPECT_EQ(GnomeSetting(host, "org.gnome.system.proxy.http", "port"), std::to_string(mixed_port));
  EXPECT_TRUE(Exists(marker_dir + "libbox_session_active"));

  ASSERT_EQ(kill(host.host_pid(), signal_case.signal), 0);
  // The UI still hears the stop before the host goes away.
  EXPECT_EQ(ui.EventsUntil({"vpn_disconnected"}),
            (Events{"vpn_disconnecting", "vpn_disconnected"}));
  const int status = host.WaitForHostExit(60000);
  ASSERT_NE(status, -1) << "the host did not exit";
  EXPECT_TRUE(WIFEXITED(status)) << "wait status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);

  EXPECT_EQ(GnomeSetting(host, "org.gnome.system.proxy", "mode"), "'none'");
  EXPECT_TRUE(Exists(marker_dir + "libbox_clean_shutdown"));
  EXPECT_FALSE(Exists(marker_dir + "libbox_session_active"));
  EXPECT_NE(netns.Exec({"ip", "link", "show", kTunName}), 0);
  EXPECT_FALSE(netns.Listening(mixed_port));
  EXPECT_FALSE(netns.Listening(controller_port));
  EXPECT_TRUE(host.WaitForStdout("VPN disconnected successfully", 1000));
}

INSTANTIATE_TEST_SUITE_P(Signals,
                         QuitSignalTest,
                         ::testing::Values(SignalCase{"SIGTERM", SIGTERM},
                                           SignalCase{"SIGINT", SIGINT},
                                           SignalCase{"SIGHUP", SIGHUP}),
                         [](const ::testing::TestParamInfo<SignalCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace korvane_test
