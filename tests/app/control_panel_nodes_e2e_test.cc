// The control panel's views of a running connection, in the real korvane window driven with the
// keyboard: the node view lists the selector's members from the engine's controller, and
// activating the other member moves the traffic of the mixed inbound to it (the lab's origin
// sees the other node's address); "Test latency" fills in every member's delay through the
// host's latency methods; the engine's log is followed as it is written; a running download
// shows as a live connection and a speed; everything goes with the connection. The nodes are two
// ss-servers in the network lab (tests/support/net_lab.h).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>

#include "tests/app/panel_driver.h"
#include "tests/support/host_fixture.h"
#include "tests/support/loopback_ports.h"
#include "tests/support/net_lab.h"
#include "tests/support/shell_command.h"

namespace korvane_test {
namespace {

using nlohmann::json;

constexpr char kPassword[] = "node-pass";
constexpr char kMethod[] = "aes-256-gcm";

class ControlPanelNodesE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root for the lab's network namespaces";
    }
    std::string error;
    // Before the display and the host start: they live in the lab's network with the test.
    ASSERT_TRUE(NetLab::EnterPrivateNetwork(&error)) << error;
    ASSERT_TRUE(lab_.Start(&error)) << error;
    for (const char* name : {"a", "b"}) {
      const NetLab::Host* node = lab_.AddHost(name, &error);
      ASSERT_NE(node, nullptr) << error;
      ASSERT_GT(lab_.StartShadowsocks(*node, 8388, kMethod, kPassword), 0)
          << lab_.Log(std::string(name) + "-ss-server");
      nodes_.push_back(node);
    }
    mixed_port_ = FreePort();
    controller_port_ = FreePort();
    ASSERT_GT(mixed_port_, 0);
    ASSERT_GT(controller_port_, 0);

    HostOptions options;
    options.control_panel = true;
    ASSERT_TRUE(host_.Start(options, &error)) << error;
    ASSERT_TRUE(panel_.FindWindow()) << "no mapped window of the host";
    config_path_ = host_.dir() + "/nodes.json";
    ASSERT_TRUE(g_file_set_contents(config_path_.c_str(), Config().c_str(), -1, nullptr));
  }

  std::string Origin(const std::string& path) const {
    return std::string("http://") + NetLab::kOrigin + ":" +
           std::to_string(NetLab::kOriginPortBase) + path;
  }

  // A selector over the two nodes, and an automatic group over them that the host's latency
  // methods measure with the lab's origin. The engine writes its log where the host keeps the
  // session's.
  std::string Config() const {
    json outbounds = {{{"type", "selector"},
                       {"tag", "proxy"},
                       {"outbounds", {"node-a", "node-b"}},
                       {"default", "node-a"}},
                      {{"type", "urltest"},
                       {"tag", "auto"},
                       {"outbounds", {"node-a", "node-b", "node-down"}},
                       {"url", Origin("/whoami")},
                       {"interval", "1m"}}};
    for (size_t i = 0; i < nodes_.size(); i++) {
      outbounds.push_back({{"type", "shadowsocks"},
                           {"tag", i == 0 ? "node-a" : "node-b"},
                           {"server", nodes_[i]->address},
                           {"server_port", 8388},
                           {"method", kMethod},
                           {"password", kPassword}});
    }
    // Nothing listens there.
    outbounds.push_back({{"type", "socks"},
                         {"tag", "node-down"},
                         {"server", nodes_[0]->address},
                         {"server_port", 1}});
    return json{
        {"log",
         {{"level", "info"},
          {"timestamp", true},
          {"output", host_.config_home() + "/korvane/libbox_session.log"}}},
        {"inbounds",
         {{{"type", "mixed"},
           {"tag", "mixed-in"},
           {"listen", "127.0.0.1"},
           {"listen_port", mixed_port_}}}},
        {"outbounds", outbounds},
        {"route", {{"final", "proxy"}}},
        {"experimental",
         {{"clash_api",
           {{"external_controller", "127.0.0.1:" + std::to_string(controller_port_)},
            {"secret", "panel-secret"}}}}},
    }
        .dump(2);
  }

  // The address the origin sees a request through the mixed inbound come from.
  std::string Egress() {
    std::string output;
    const int status =
        RunShellCommand("curl -sS --max-time 20 --noproxy '' --proxy http://127.0.0.1:" +
                            std::to_string(mixed_port_) + " " + Origin("/whoami"),
                        &output);
    EXPECT_EQ(status, 0) << output;
    return output;
  }

  NetLab lab_;
  std::vector<const NetLab::Host*> nodes_;
  HostFixture host_;
  PanelDriver panel_{&host_};
  int mixed_port_ = 0;
  int controller_port_ = 0;
  std::string config_path_;
};

TEST_F(ControlPanelNodesE2ETest, SwitchingANodeInThePanelMovesTheTraffic) {
  ASSERT_TRUE(panel_.Expect("state: disconnected"));
  panel_.Keys({"alt+f", "ctrl+a", "BackSpace"});
  panel_.Type(config_path_);
  panel_.Keys({"alt+c"});
  ASSERT_TRUE(panel_.Expect("state: connected"));

  // The groups from the controller (which wants the secret), the selector's default in use;
  // GLOBAL is no group a person switches. A member without a delay says why in words.
  const std::string delay = "([0-9]+ ms|untested)";
  const std::string listed = panel_.ExpectValue("nodes: ");
  EXPECT_TRUE(std::regex_match(
      listed, std::regex("proxy: node-a \\(" + delay + "\\)\\*, node-b \\(" + delay +
                         "\\); auto: node-a \\(" + delay + "\\)\\*?, node-b \\(" + delay +
                         "\\)\\*?, node-down \\(untested\\)")))
      << listed;
  EXPECT_EQ(Egress(), nodes_[0]->egress);

  // The other member, found by typing its name in the focused list and activated with Enter.
  panel_.Keys({"alt+n"});
  panel_.Type("node-b");
  panel_.Keys({"Return"});
  EXPECT_TRUE(panel_.Expect("node status: proxy \u2192 node-b: switched"));
  const std::string switched = panel_.ExpectValue("nodes: ");
  EXPECT_TRUE(
      std::regex_search(switched, std::regex("^proxy: node-a \\([^)]*\\), node-b \\([^)]*\\)\\*;")))
      << switched;
  EXPECT_EQ(Egress(), nodes_[1]->egress) << "the panel's switch did not move the traffic";

  // The log view follows the engine's session log: the line the engine writes for a request to
  // a port nothing else asked for appears.
  const std::string fresh =
      std::string(NetLab::kOrigin) + ":" + std::to_string(NetLab::kOriginPortBase + 1);
  std::string output;
  ASSERT_EQ(RunShellCommand("curl -sS --max-time 20 --noproxy '' --proxy http://127.0.0.1:" +
                                std::to_string(mixed_port_) + " http://" + fresh + "/whoami",
                            &output),
            0)
      << output;
  const std::string logged = panel_.ExpectValueWhere("log: ", [&](const std::string& line) {
    return line.find("inbound connection to " + fresh) != std::string::npos;
  });
  EXPECT_NE(logged.find(" INFO "), std::string::npos) << logged;

  // A download that goes on (1 KiB every 50 ms): a live connection and a speed of kilobytes,
  // then none once it has ended. The requests before it have ended first (a loaded machine
  // may still count one), so the download's connection is a change the panel shows.
  if (panel_.Shown("connections: ") != "0") {
    EXPECT_EQ(panel_.ExpectValueWhere("connections: ",
                                      [](const std::string& count) { return count == "0"; }),
              "0");
  }
  const std::string drip = "http://127.0.0.1:" + std::to_string(mixed_port_);
  const std::string url = Origin("/drip/10000000");
  const gchar* argv[] = {"curl", "-sS",     "-o",         "/dev/null", "--noproxy",
                         "",     "--proxy", drip.c_str(), url.c_str(), nullptr};
  GPid download = 0;
  g_autoptr(GError) error = nullptr;
  ASSERT_TRUE(
      g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr,
                    static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD),
                    nullptr, nullptr, &download, &error))
      << error->message;
  const std::string live = panel_.ExpectValueWhere(
      "connections: ", [](const std::string& count) { return count != "0" && count != "\u2014"; });
  EXPECT_EQ(live, "1");
  const std::string speed = panel_.ExpectValueWhere("speed: ", [](const std::string& text) {
    return std::regex_search(text, std::regex("down [0-9.]+ [kM]B/s$"));
  });
  EXPECT_TRUE(std::regex_match(speed, std::regex("up .+, down [0-9.]+ [kM]B/s"))) << speed;
  // The node view after the switch, with the log and the live traffic, for the README.
  EXPECT_FALSE(host_.Screenshot("panel_nodes").empty());
  kill(download, SIGTERM);
  int status = 0;
  waitpid(download, &status, 0);
  g_spawn_close_pid(download);
  EXPECT_TRUE(panel_.Expect("connections: 0"));

  // Measured through the host: the member each group uses and every member of the automatic
  // group; the one that is down says so in words, and the selector's member not in use was not
  // measured.
  panel_.Keys({"alt+l"});
  EXPECT_TRUE(panel_.Expect("node status: tested"));
  const std::string tested = panel_.ExpectValue("nodes: ");
  EXPECT_TRUE(std::regex_match(tested, std::regex("proxy: node-a \\(" + delay +
                                                  "\\), node-b \\([0-9]+ ms\\)\\*; auto: node-a "
                                                  "\\([0-9]+ ms\\)\\*?, node-b \\([0-9]+ "
                                                  "ms\\)\\*?, node-down \\(failed\\)")))
      << tested;

  // Everything goes with the connection.
  panel_.Keys({"alt+d"});
  EXPECT_TRUE(panel_.Expect("nodes: \u2014"));
  EXPECT_TRUE(panel_.Expect("speed: \u2014"));
  EXPECT_TRUE(panel_.Expect("connections: \u2014"));
  ASSERT_TRUE(panel_.Expect("state: disconnected"));
  EXPECT_EQ(host_.Stderr().find("CRITICAL"), std::string::npos) << host_.Stderr();
}

}  // namespace
}  // namespace korvane_test
