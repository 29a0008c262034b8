// The mixed inbound inside the shipped engine: curl through its port as an HTTP proxy and as a
// SOCKS5 proxy, its users, the refusal for non-direct outbounds, and the example configurations.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <vector>

#include "tests/engine/libbox_library.h"

namespace korvane_test {
namespace {

class EngineRelayTest : public LoadedEngineTest {
 protected:
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
    RunShellCommand("curl -sS --max-time 10 --noproxy '' " + proxy_option +
                        " http://127.0.0.1:" + std::to_string(controller_) + "/version",
                    &output);
    return output;
  }

  TempDir dir_;
  std::string log_;
  int controller_ = 0;
  int mixed_ = 0;
};

// Sends `bytes` to the loopback port and returns everything read until the peer closes (at most
// 10 s).
std::string Exchange(int port, const std::string& bytes) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd entry{fd, POLLIN, 0};
      if (poll(&entry, 1, 100) <= 0) {
        continue;
      }
      ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
      if (n <= 0) {
        break;
      }
      reply.append(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  return reply;
}

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

// With users, only a client naming one of them is relayed: SOCKS5 username/password, HTTP Basic
// for CONNECT and absolute-form requests. Nobody else gets as far as a connection.
TEST_F(EngineRelayTest, UsersAreRequiredOverSocks5AndHttp) {
  Start(nlohmann::json::parse(R"({
    "inbounds":[{"type":"mixed","tag":"mixed-in","listen":"127.0.0.1",
                 "users":[{"username":"ann","password":"pa:ss"},{"username":"bob","password":"x"}]}],
    "outbounds":[{"type":"direct","tag":"direct"}]})"));
  const std::string port = std::to_string(mixed_);
  const std::vector<std::string> proxies = {"--proxy http://127.0.0.1:" + port,
                                            "--proxytunnel --proxy http://127.0.0.1:" + port,
                                            "--socks5-hostname 127.0.0.1:" + port};
  struct Case {
    const char* credentials;  // --proxy-user, "" for none
    bool fetched;
  };
  const Case cases[] = {
      {"", false},          {"ann:wrong", false}, {"ann:x", false},  // bob's password is not ann's
      {"eve:pa:ss", false}, {"ann:pa:ss", true},  {"bob:x", true},
  };
  size_t fetched = 0;
  for (const std::string& proxy : proxies) {
    for (const Case& c : cases) {
      const std::string user =
          *c.credentials == '\0' ? "" : std::string(" --proxy-user '") + c.credentials + "'";
      EXPECT_EQ(Curl(proxy + user) == kVersionBody, c.fetched) << proxy << user;
      fetched += c.fetched ? 1 : 0;
    }
  }
  const std::string target = "127.0.0.1:" + std::to_string(controller_);
  // The exact refusals: 407 with the engine's realm, 0xFF for a client offering no
  // username/password, a failed RFC 1929 status for a wrong password.
  const std::string required =
      "HTTP/1.1 407 Proxy Authentication Required\r\n"
      "Proxy-Authenticate: Basic realm=\"sing-box\"\r\n";
  EXPECT_EQ(Exchange(mixed_, "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n")
                .rfind(required, 0),
            0u);
  // "ann:wrong" in Base64.
  EXPECT_EQ(Exchange(mixed_, "GET http://" + target +
                                 "/version HTTP/1.1\r\nProxy-Authorization: Basic "
                                 "YW5uOndyb25n\r\n\r\n")
                .rfind(required, 0),
            0u);
  EXPECT_EQ(Exchange(mixed_, std::string("\x05\x01\x00", 3)), std::string("\x05\xff", 2));
  EXPECT_EQ(Exchange(mixed_, std::string("\x05\x02\x00\x02"
                                         "\x01\x03"
                                         "ann"
                                         "\x05"
                                         "wrong",
                                         15)),
            std::string("\x05\x02\x01\x01", 4));
  // Only the fetches with good credentials reached a connection.
  const std::string text = ReadFile(log_);
  const std::string line = "inbound/mixed[mixed-in]: inbound connection to " + target + "\n";
  size_t count = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, fetched) << text;
}

// A proxy outbound whose server is down fails the fetch with one error naming it; a type the
// engine does not carry is refused the same way.
TEST_F(EngineRelayTest, OutboundsThatCannotCarryAreRefusedByName) {
  Start(nlohmann::json::parse(R"({
    "inbounds":[{"type":"mixed","tag":"mixed-in","listen":"127.0.0.1"}],
    "outbounds":[{"type":"socks","tag":"hk-01","server":"127.0.0.1","server_port":9},
                 {"type":"vless","tag":"jp-01","server":"127.0.0.1","server_port":9,
                  "uuid":"00000000-0000-0000-0000-000000000000"}],
    "route":{"rules":[{"domain":"vless.test","outbound":"jp-01"}]}})"));
  EXPECT_NE(Curl("--socks5-hostname 127.0.0.1:" + std::to_string(mixed_)), kVersionBody);
  std::string output;
  RunShellCommand("curl -sS --max-time 10 --noproxy '' --proxy http://127.0.0.1:" +
                      std::to_string(mixed_) + " http://vless.test/",
                  &output);
  EXPECT_EQ(output,
            "outbound/vless[jp-01]: the reference engine carries traffic only through direct, "
            "block, socks, http and shadowsocks outbounds\n");
  const std::string text = ReadFile(log_);
  EXPECT_NE(text.find("ERROR ["), std::string::npos) << text;
  EXPECT_NE(text.find("connection: open outbound connection: outbound/socks[hk-01]: dial tcp "
                      "127.0.0.1:9: connect: connection refused\n"),
            std::string::npos)
      << text;
}

TEST_F(EngineRelayTest, ExampleMixedConfigurationRuns) {
  const char* source = getenv("KORVANE_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  Start(nlohmann::json::parse(ReadFile(std::string(source) + "/examples/mixed.json")));
  EXPECT_EQ(Curl("-H 'Authorization: Bearer change-this-secret' --proxy http://127.0.0.1:" +
                 std::to_string(mixed_)),
            kVersionBody);
  // Its controller answers only with the example's secret, so another local account cannot
  // read or switch the node.
  const std::string proxy_url =
      "http://127.0.0.1:" + std::to_string(controller_) + "/proxies/proxy";
  EXPECT_EQ(Http("GET", proxy_url).status, 401);
  EXPECT_EQ(Http("PUT", proxy_url, R"({"name":"direct"})").status, 401);
  HttpReply proxy = Http("GET", proxy_url, "", {{"Authorization", "Bearer change-this-secret"}});
  ASSERT_EQ(proxy.status, 200);
  EXPECT_EQ(nlohmann::json::parse(proxy.body)["now"], "auto");
}

}  // namespace
}  // namespace korvane_test
