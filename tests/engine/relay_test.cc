// The mixed inbound inside the shipped engine: curl through its port as an HTTP proxy and as a
// SOCKS5 proxy, the refusal for non-direct outbounds, and the example configurations.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "tests/engine/libbox_library.h"

namespace box_test {
namespace {

class EngineRelayTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    library_ = LibboxLibrary::Load().release();
    ASSERT_EQ(library_->setup_libbox("/tmp", "/tmp", "/tmp"), 0);
  }
  static void TearDownTestSuite() {
    delete library_;
    library_ = nullptr;
  }
  void TearDown() override { library_->stop_service(); }

  // Starts `config` (JSON) with its log in the temporary directory and both ports free.
  void Start(nlohmann::json config) {
    log_ = dir_.File("box.log");
    config["log"] = {{"level", "info"}, {"output", log_}};
    config["experimental"]["clash_api"]["external_controller"] = "127.0.0.1:0";
    for (auto& inbound : config["inbounds"]) {
      inbound["listen_port"] = 0;
    }
    ASSERT_EQ(library_->create_service(config.dump().c_str()), 0) << library_->LastError();
    ASSERT_EQ(library_->start_service(), 0) << library_->LastError();
    std::string text = ReadFile(log_);
    controller_ = ControllerPortFromLog(text);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(
        text, match,
        std::regex(
            "INFO inbound/mixed\\[mixed-in\\]: tcp server started at 127\\.0\\.0\\.1:(\\d+)")))
        << text;
    mixed_ = std::stoi(match[1]);
  }

  // --noproxy '' makes curl use the given proxy even when the caller's no_proxy names
  // 127.0.0.1 (common on CI runners); otherwise it would fetch directly and pass unproxied.
  std::string Curl(const std::string& proxy_option) {
    std::string output;
    RunCommand("curl -sS --max-time 10 --noproxy '' " + proxy_option +
                   " http://127.0.0.1:" + std::to_string(controller_) + "/version",
               &output);
    return output;
  }

  static LibboxLibrary* library_;
  TempDir dir_;
  std::string log_;
  int controller_ = 0;
  int mixed_ = 0;
};

LibboxLibrary* EngineRelayTest::library_ = nullptr;

const char kVersionBody[] =
    "{\"meta\":true,\"premium\":true,\"version\":\"sing-box 1.13.3-korvane-reference\"}\n";

TEST_F(EngineRelayTest, CurlFetchesThroughTheMixedPortAsHttpAndSocks5Proxy) {
  Start(nlohmann::json::parse(R"({
    "inbounds":[{"type":"mixed","tag":"mixed-in","listen":"127.0.0.1"}],
    "outbounds":[{"type":"selector","tag":"proxy","outbounds":["direct"]},
                 {"type":"direct","tag":"direct"}]})"));
  const std::string port = std::to_string(mixed_);
  EXPECT_EQ(Curl("--proxy http://127.0.0.1:" + port), kVersionBody);
  EXPECT_EQ(Curl("--proxytunnel --proxy http://127.0.0.1:" + port), kVersionBody);
  EXPECT_EQ(Curl("--socks5-hostname 127.0.0.1:" + port), kVersionBody);
  EXPECT_EQ(Curl("--socks5 127.0.0.1:" + port), kVersionBody);
  // Each fetch went through the inbound, none around it.
  std::string text = ReadFile(log_);
  const std::string line =
      "inbound/mixed[mixed-in]: inbound connection to 127.0.0.1:" + std::to_string(controller_) +
      "\n";
  size_t count = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 4u) << text;

  // A proxy port where nothing listens (bound, never listening) must fail the fetch.
  int dead = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(dead, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_EQ(bind(dead, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(getsockname(dead, reinterpret_cast<sockaddr*>(&address), &length), 0);
  EXPECT_NE(Curl("--proxy http://127.0.0.1:" + std::to_string(ntohs(address.sin_port))),
            kVersionBody);
  close(dead);
}

TEST_F(EngineRelayTest, NonDirectOutboundsAreRefusedAndLogged) {
  Start(nlohmann::json::parse(R"({
    "inbounds":[{"type":"mixed","tag":"mixed-in","listen":"127.0.0.1"}],
    "outbounds":[{"type":"socks","tag":"hk-01","server":"127.0.0.1","server_port":9}]})"));
  EXPECT_NE(Curl("--socks5-hostname 127.0.0.1:" + std::to_string(mixed_)), kVersionBody);
  EXPECT_NE(ReadFile(log_).find("outbound/socks[hk-01]: the reference engine carries traffic "
                                "only through direct outbounds"),
            std::string::npos)
      << ReadFile(log_);
}

TEST_F(EngineRelayTest, ExampleMixedConfigurationRuns) {
  const char* source = getenv("KORVANE_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  Start(nlohmann::json::parse(ReadFile(std::string(source) + "/examples/mixed.json")));
  EXPECT_EQ(Curl("--proxy http://127.0.0.1:" + std::to_string(mixed_)), kVersionBody);
  HttpReply proxy =
      Http("GET", "http://127.0.0.1:" + std::to_string(controller_) + "/proxies/proxy");
  ASSERT_EQ(proxy.status, 200);
  EXPECT_EQ(nlohmann::json::parse(proxy.body)["now"], "auto");
}

}  // namespace
}  // namespace box_test
