// The host with the reference engine carrying traffic through real nodes: ss-server, a slow
// tinyproxy and a node that is down, each in a network namespace of its own
// (tests/support/net_lab.h). The configuration a user would load has a selector over an
// automatic group of the three; the latency methods name the node the group chose, and a curl
// through the mixed port reaches the origin from exactly that node's address.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "clash/clash_api_client.h"
#include "tests/app/raw_bridge.h"
#include "tests/support/host_fixture.h"
#include "tests/support/loopback_ports.h"
#include "tests/support/net_lab.h"
#include "tests/support/shell_command.h"
#include "tools/korvanectl/value_json.h"
#include "vpn/vpn_channels.h"

namespace korvane_test {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 60000;
constexpr const char* kVpn = korvane::kVpnChannelName;
constexpr char kPassword[] = "node-pass";
constexpr char kMethod[] = "aes-256-gcm";

json ResultOf(const std::string& answer) {
  if (answer.rfind("success ", 0) != 0) {
    return nullptr;
  }
  return json::parse(answer.substr(8), nullptr, false);
}

class NodeTrafficE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root for the lab's network namespaces";
    }
    std::string error;
    // Before the display and the host start: they live in the lab's network with the test.
    ASSERT_TRUE(NetLab::EnterPrivateNetwork(&error)) << error;
    ASSERT_TRUE(lab_.Start(&error)) << error;
    fast_ = lab_.AddHost("fast", &error);
    ASSERT_NE(fast_, nullptr) << error;
    ASSERT_GT(lab_.StartShadowsocks(*fast_, 8388, kMethod, kPassword), 0)
        << lab_.Log("fast-ss-server");
    slow_ = lab_.AddHost("slow", &error);
    ASSERT_NE(slow_, nullptr) << error;
    ASSERT_GT(lab_.StartTinyproxy(*slow_, 8888, "user", kPassword, "127.0.0.1"), 0);
    ASSERT_GT(lab_.StartDelay(*slow_, 8888, "127.0.0.1", 8888, 150), 0);

    HostOptions options;
    options.window_manager = "";
    ASSERT_TRUE(host_.Start(options, &error)) << error;
    ASSERT_TRUE(bridge_.Connect(host_.socket_path(), kTimeoutMs, &error)) << error;
    controller_port_ = FreePort();
    mixed_port_ = FreePort();
    ASSERT_GT(controller_port_, 0);
    ASSERT_GT(mixed_port_, 0);
  }

  std::string Config() const {
    const std::string test_url = std::string("http://") + NetLab::kOrigin + ":" +
                                 std::to_string(NetLab::kOriginPortBase) + "/whoami";
    json config = {
        {"log", {{"level", "info"}}},
        {"inbounds",
         {{{"type", "mixed"},
           {"tag", "mixed-in"},
           {"listen", "127.0.0.1"},
           {"listen_port", mixed_port_}}}},
        {"outbounds",
         {{{"type", "selector"},
           {"tag", "proxy"},
           {"outbounds", {"auto", "fast", "slow"}},
           {"default", "auto"}},
          {{"type", "urltest"},
           {"tag", "auto"},
           {"outbounds", {"down", "slow", "fast"}},
           {"url", test_url},
           {"interval", "1m"}},
          {{"type", "shadowsocks"},
           {"tag", "fast"},
           {"server", fast_->address},
           {"server_port", 8388},
           {"method", kMethod},
           {"password", kPassword}},
          {{"type", "http"},
           {"tag", "slow"},
           {"server", slow_->address},
           {"server_port", 8888},
           {"username", "user"},
           {"password", kPassword}},
          {{"type", "socks"}, {"tag", "down"}, {"server", fast_->address}, {"server_port", 1}}}},
        {"route", {{"final", "proxy"}}},
        {"experimental",
         {{"clash_api",
           {{"external_controller", "127.0.0.1:" + std::to_string(controller_port_)}}}}},
    };
    return config.dump();
  }

  std::string Call(const std::string& method, const json& args = nullptr) {
    korvane::FlValuePtr value = args.is_null() ? nullptr : korvane::JsonToValue(args);
    return bridge_.Call(kVpn, method, value.get(), kTimeoutMs);
  }

  // The automatic group's choice once its first check is done.
  std::string WaitForTheFirstCheck() {
    const std::string url =
        "http://127.0.0.1:" + std::to_string(controller_port_) + "/proxies/auto";
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline) {
      std::optional<std::string> body = ClashApiClient::httpGet(url, 5000);
      json info = body ? json::parse(*body, nullptr, false) : json();
      if (info.is_object() && info.value("now", "") != "") {
        return info["now"];
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
  }

  NetLab lab_;
  const NetLab::Host* fast_ = nullptr;
  const NetLab::Host* slow_ = nullptr;
  int controller_port_ = 0;
  int mixed_port_ = 0;
  HostFixture host_;
  RawBridge bridge_;
};

TEST_F(NodeTrafficE2ETest, TheReportedNodeCarriesTheTraffic) {
  ASSERT_EQ(Call("loadVPNPreference", {{"config", Config()}, {"autoConfigureProxy", false}}),
            "success true");
  ASSERT_EQ(Call("isRunning"), "success true") << host_.Stderr();
  ASSERT_EQ(WaitForTheFirstCheck(), "fast");

  json latency = ResultOf(Call("performUrlTest", json::object()));
  ASSERT_TRUE(latency.is_number_integer()) << latency;
  EXPECT_GE(latency.get<int>(), 1);
  json info = ResultOf(Call("getAutoSelectorInfo", json::object()));
  ASSERT_TRUE(info.is_object()) << info;
  EXPECT_EQ(info["selectedTag"], "fast");
  // The group's table has the live members, the slow one slower; the node that is down is absent.
  json table = json::parse(info["allLatencies"].get<std::string>(), nullptr, false);
  ASSERT_TRUE(table.is_object()) << info;
  EXPECT_FALSE(table.contains("down")) << table;
  if (table.contains("slow") && table.contains("fast")) {
    EXPECT_GT(table["slow"].get<int>(), table["fast"].get<int>()) << table;
  }

  const std::string origin = std::string("http://") + NetLab::kOrigin + ":" +
                             std::to_string(NetLab::kOriginPortBase) + "/whoami";
  std::string output;
  ASSERT_EQ(RunShellCommand("curl -sS --max-time 20 --noproxy '' --proxy http://127.0.0.1:" +
                                std::to_string(mixed_port_) + " " + origin,
                            &output),
            0)
      << output;
  EXPECT_EQ(output, fast_->egress) << "the node the host reported carried the request";
  ASSERT_EQ(RunShellCommand("curl -sS --max-time 20 --noproxy '' --socks5-hostname 127.0.0.1:" +
                                std::to_string(mixed_port_) + " " + origin,
                            &output),
            0)
      << output;
  EXPECT_EQ(output, fast_->egress);

  EXPECT_EQ(Call("disconnect"), "success true");
}

}  // namespace
}  // namespace korvane_test
