// The Clash API controller of a running service, over real HTTP: every endpoint with its status
// code, Content-Type and body, selectors and urltest groups, percent-encoded names, the secret,
// the browser origins allowed, and delays measured through local proxies that hold their replies.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "tests/engine/libbox_library.h"

namespace korvane_test {
namespace {

using nlohmann::ordered_json;

// A local proxy server that answers the opening exchange of its protocol after `hold_ms`:
// SOCKS5 (greeting -> 05 00) or HTTP (CONNECT -> `status_line`).
class HoldingProxy {
 public:
  enum class Kind { kSocks5, kHttp };

  HoldingProxy(Kind kind,
               int hold_ms,
               std::string status_line = "HTTP/1.1 200 Connection established")
      : kind_(kind), hold_ms_(hold_ms), status_line_(std::move(status_line)) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(fd_, 16);
    socklen_t length = sizeof(address);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~HoldingProxy() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  int port() const { return port_; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd entry{fd_, POLLIN, 0};
      if (poll(&entry, 1, 20) <= 0) {
        continue;
      }
      int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        continue;
      }
      std::string request;
      char buffer[512];
      while (kind_ == Kind::kSocks5 ? request.size() < 3
                                    : request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(client, buffer, sizeof(buffer), 0);
        if (n <= 0) {
          break;
        }
        request.append(buffer, static_cast<size_t>(n));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms_));
      std::string reply =
          kind_ == Kind::kSocks5 ? std::string("\x05\x00", 2) : status_line_ + "\r\n\r\n";
      send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
      close(client);
    }
  }

  Kind kind_;
  int hold_ms_;
  std::string status_line_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A port with nothing listening: connects are refused.
int ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// True when a TCP connect to the loopback port is refused (nothing listens there).
bool ConnectRefused(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool refused = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 &&
                 errno == ECONNREFUSED;
  close(fd);
  return refused;
}

constexpr char kJson[] = "application/json; charset=utf-8";
constexpr char kText[] = "text/plain; charset=utf-8";

class EngineControllerTest : public LoadedEngineTest {
 protected:
  // Starts a service with `outbounds` and a controller on a free port; returns its base URL.
  std::string Start(const std::string& outbounds, const std::string& clash_extra = "") {
    // A log of its own for each start: the port is read from its first line.
    log_ = dir_.File("box" + std::to_string(++starts_) + ".log");
    std::string config = R"({"log":{"level":"info","output":")" + log_ + R"("},"outbounds":)" +
                         outbounds +
                         R"(,"experimental":{"clash_api":{"external_controller":"127.0.0.1:0")" +
                         clash_extra + "}}}";
    EXPECT_EQ(library_->create_service(config.c_str()), 0) << library_->LastError();
    EXPECT_EQ(library_->start_service(), 0) << library_->LastError();
    port_ = ControllerPortFromLog(ReadFile(log_));
    EXPECT_GT(port_, 0);
    return "http://127.0.0.1:" + std::to_string(port_);
  }

  // The standard set: groups over direct members, a SOCKS proxy, names that need encoding.
  std::string StartStandard() {
    dead_port_ = ClosedPort();
    return Start(R"([
      {"type":"selector","tag":"proxy","outbounds":["auto","US West/1","hk 01","東京"],
       "default":"US West/1"},
      {"type":"urltest","tag":"auto","outbounds":["hk 01","東京"],
       "url":"https://127.0.0.1:)" +
                 std::to_string(socks_.port()) + R"(/generate_204"},
      {"type":"socks","tag":"US West/1","server":"127.0.0.1","server_port":)" +
                 std::to_string(socks_.port()) + R"(},
      {"type":"direct","tag":"hk 01"},
      {"type":"direct","tag":"東京"},
      {"type":"block","tag":"block"},
      {"type":"http","tag":"web","server":"127.0.0.1","server_port":)" +
                 std::to_string(http_.port()) + R"(},
      {"type":"socks","tag":"dead","server":"127.0.0.1","server_port":)" +
                 std::to_string(dead_port_) + R"(},
      {"type":"vless","tag":"far","server":"127.0.0.1","server_port":)" +
                 std::to_string(socks_.port()) + R"(,"network":"tcp"}
    ])");
  }

  // Waits (bounded, generously: the machine may be busy) for the urltest group's first check to
  // choose a member. The choice is made once every member's result is recorded.
  std::string WaitForUrlTestChoice(const std::string& base) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      auto body = ordered_json::parse(Http("GET", base + "/proxies/auto").body, nullptr, false);
      if (body.is_object() && body.value("now", "") != "") {
        return body["now"];
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return "";
  }

  TempDir dir_;
  HoldingProxy socks_{HoldingProxy::Kind::kSocks5, 0};
  HoldingProxy http_{HoldingProxy::Kind::kHttp, 0};
  int dead_port_ = 0;
  int starts_ = 0;
  std::string log_;
  int port_ = 0;
};

struct Exchange {
  const char* what;
  const char* method;
  std::string path;
  std::string body;
  long status;
  const char* content_type;   // nullptr: none expected
  std::string expected_body;  // "~" and a regular expression, or the exact body
};

TEST_F(EngineControllerTest, AnswersEveryEndpointWithTheRealShapes) {
  std::string base = StartStandard();
  const std::string not_found = "{\"message\":\"Resource not found\"}\n";
  const std::string invalid = "{\"message\":\"Body invalid\"}\n";
  const Exchange exchanges[] = {
      // Fixed bodies: JSON with sorted keys and a newline.
      {"hello", "GET", "/", "", 200, kJson, "{\"hello\":\"clash\"}\n"},
      {"version", "GET", "/version", "", 200, kJson,
       "{\"meta\":true,\"premium\":true,\"version\":\"sing-box 1.13.3-korvane-reference\"}\n"},
      // Proxy objects: insertion order, no newline, sniffed text Content-Type.
      {"encoded space and slash", "GET", "/proxies/US%20West%2F1", "", 200, kText,
       "{\"type\":\"SOCKS\",\"name\":\"US West/1\",\"udp\":true,\"history\":[]}"},
      {"encoded non-ASCII", "GET", "/proxies/%E6%9D%B1%E4%BA%AC", "", 200, kText,
       "~\\{\"type\":\"Direct\",\"name\":\"東京\",\"udp\":true,\"history\":\\[.*\\]\\}"},
      {"block shows as Reject", "GET", "/proxies/block", "", 200, kText,
       "{\"type\":\"Reject\",\"name\":\"block\",\"udp\":true,\"history\":[]}"},
      {"tcp-only types", "GET", "/proxies/web", "", 200, kText,
       "{\"type\":\"HTTP\",\"name\":\"web\",\"udp\":false,\"history\":[]}"},
      {"network tcp", "GET", "/proxies/far", "", 200, kText,
       "{\"type\":\"VLESS\",\"name\":\"far\",\"udp\":false,\"history\":[]}"},
      {"selector", "GET", "/proxies/proxy", "", 200, kText,
       "{\"type\":\"Selector\",\"name\":\"proxy\",\"udp\":true,\"history\":[],\"now\":\"US "
       "West/1\",\"all\":[\"auto\",\"US West/1\",\"hk 01\",\"東京\"]}"},
      {"group object", "GET", "/group/proxy", "", 200, kJson,
       "{\"type\":\"Selector\",\"name\":\"proxy\",\"udp\":true,\"history\":[],\"now\":\"US "
       "West/1\",\"all\":[\"auto\",\"US West/1\",\"hk 01\",\"東京\"]}\n"},
      // Unknown names and routes.
      {"GLOBAL is not an outbound", "GET", "/proxies/GLOBAL", "", 404, kJson, not_found},
      {"unknown proxy", "GET", "/proxies/nope", "", 404, kJson, not_found},
      {"unencoded slash", "GET", "/proxies/US%20West/1", "", 404, kText, "404 page not found\n"},
      {"no route", "GET", "/connections-nope", "", 404, kText, "404 page not found\n"},
      {"not a group", "GET", "/group/block", "", 404, kJson, not_found},
      {"unknown group", "GET", "/group/nope", "", 404, kJson, not_found},
      {"unknown group delay", "GET", "/group/nope/delay?timeout=10", "", 404, kJson, not_found},
      // Methods that are not registered.
      {"POST version", "POST", "/version", "", 405, nullptr, ""},
      {"DELETE proxy", "DELETE", "/proxies/proxy", "", 405, nullptr, ""},
      {"PUT group", "PUT", "/group/proxy", "{\"name\":\"hk 01\"}", 405, nullptr, ""},
      // Switching selectors.
      {"empty body", "PUT", "/proxies/proxy", "", 400, kJson, invalid},
      {"not json", "PUT", "/proxies/proxy", "hk 01", 400, kJson, invalid},
      {"name not a string", "PUT", "/proxies/proxy", "{\"name\":5}", 400, kJson, invalid},
      {"not a member", "PUT", "/proxies/proxy", "{\"name\":\"far\"}", 400, kJson,
       "{\"message\":\"Selector update error: not found\"}\n"},
      {"urltest is not a selector", "PUT", "/proxies/auto", "{\"name\":\"hk 01\"}", 400, kJson,
       "{\"message\":\"Must be a Selector\"}\n"},
      {"plain outbound is not a selector", "PUT", "/proxies/block", "{\"name\":\"x\"}", 400, kJson,
       "{\"message\":\"Must be a Selector\"}\n"},
      {"unknown selector", "PUT", "/proxies/nope", "{\"name\":\"x\"}", 404, kJson, not_found},
      {"switch to non-ASCII member", "PUT", "/proxies/proxy",
       "{\"name\":\"\xE6\x9D\xB1\xE4\xBA\xAC\"}", 204, nullptr, ""},
      // (The urltest group's first check may have measured the member already.)
      {"now follows the switch", "GET", "/proxies/proxy", "", 200, kText,
       "~\\{\"type\":\"Selector\",\"name\":\"proxy\",\"udp\":true,\"history\":\\[.*\\],"
       "\"now\":\"東京\",\"all\":\\[\"auto\",\"US West/1\",\"hk 01\",\"東京\"\\]\\}"},
      {"same member again", "PUT", "/proxies/proxy", "{\"name\":\"東京\"}", 204, nullptr, ""},
      // Delay parameters: the name is looked up first, then the timeout must be an int16.
      {"delay of unknown name", "GET", "/proxies/nope/delay?timeout=abc", "", 404, kJson,
       not_found},
      {"delay without timeout", "GET", "/proxies/hk%2001/delay", "", 400, kJson, invalid},
      {"delay timeout too large", "GET", "/proxies/hk%2001/delay?timeout=32768", "", 400, kJson,
       invalid},
      {"group delay bad timeout", "GET", "/group/proxy/delay?timeout=x", "", 400, kJson, invalid},
      // Failed tests.
      {"refused", "GET", "/proxies/dead/delay?timeout=2000", "", 503, kJson,
       "{\"message\":\"An error occurred in the delay test\"}\n"},
      {"blocked", "GET", "/proxies/block/delay?timeout=2000", "", 503, kJson,
       "{\"message\":\"An error occurred in the delay test\"}\n"},
      {"zero timeout", "GET", "/proxies/US%20West%2F1/delay?timeout=0", "", 504, kJson,
       "{\"message\":\"Timeout\"}\n"},
  };
  for (const Exchange& e : exchanges) {
    SCOPED_TRACE(std::string(e.what) + ": " + e.method + " " + e.path);
    HttpReply reply = Http(e.method, base + e.path, e.body);
    EXPECT_EQ(reply.status, e.status);
    if (e.content_type == nullptr) {
      EXPECT_FALSE(reply.has_content_type) << reply.content_type;
    } else {
      EXPECT_EQ(reply.content_type, e.content_type);
    }
    if (e.expected_body.rfind('~', 0) == 0) {
      EXPECT_TRUE(std::regex_match(reply.body, std::regex(e.expected_body.substr(1))))
          << reply.body;
    } else {
      EXPECT_EQ(reply.body, e.expected_body);
    }
  }
}

TEST_F(EngineControllerTest, ProxiesListsGlobalFirstThenOutboundsInOrder) {
  std::string base = StartStandard();
  HttpReply reply = Http("GET", base + "/proxies");
  ASSERT_EQ(reply.status, 200);
  EXPECT_EQ(reply.content_type, kText);
  ASSERT_FALSE(reply.body.empty());
  EXPECT_NE(reply.body.back(), '\n');
  auto body = ordered_json::parse(reply.body);
  std::vector<std::string> keys;
  for (auto it = body["proxies"].begin(); it != body["proxies"].end(); ++it) {
    keys.push_back(it.key());
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"GLOBAL", "proxy", "auto", "US West/1", "hk 01", "東京",
                                            "block", "web", "dead", "far"}));
  // Direct and block outbounds are left out of GLOBAL; the default outbound leads.
  EXPECT_EQ(body["proxies"]["GLOBAL"].dump(),
            "{\"type\":\"Fallback\",\"name\":\"GLOBAL\",\"udp\":true,\"history\":[],\"all\":["
            "\"proxy\",\"auto\",\"US West/1\",\"web\",\"dead\",\"far\"],\"now\":\"proxy\"}");
  HttpReply groups = Http("GET", base + "/group");
  ASSERT_EQ(groups.status, 200);
  EXPECT_EQ(groups.content_type, kJson);
  auto list = ordered_json::parse(groups.body)["proxies"];
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["name"], "proxy");
  EXPECT_EQ(list[1]["name"], "auto");
  EXPECT_EQ(list[1]["type"], "URLTest");
}

TEST_F(EngineControllerTest, DelayTestsKeepTheLatestSuccessAsHistory) {
  std::string base = StartStandard();
  // "hk 01" is also a member of the urltest group, whose first check runs from the start and
  // records its own result: once it has chosen, the next check is an interval (3 min) away, so
  // the entry read below is the one measured here.
  ASSERT_NE(WaitForUrlTestChoice(base), "");
  const std::string url = "&url=https://127.0.0.1:" + std::to_string(port_) + "/generate_204";
  HttpReply reply = Http("GET", base + "/proxies/hk%2001/delay?timeout=2000" + url);
  ASSERT_EQ(reply.status, 200) << reply.body;
  std::smatch match;
  ASSERT_TRUE(std::regex_match(reply.body, match, std::regex("\\{\"delay\":(\\d+)\\}\n")))
      << reply.body;
  EXPECT_GE(std::stoi(match[1]), 1);
  auto info = ordered_json::parse(Http("GET", base + "/proxies/hk%2001").body);
  ASSERT_EQ(info["history"].size(), 1u);
  EXPECT_EQ(info["history"][0]["delay"], std::stoi(match[1]));
  EXPECT_TRUE(std::regex_match(
      info["history"][0]["time"].get<std::string>(),
      std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d(\\.\\d{1,9})?(Z|[+-]\\d\\d:\\d\\d)")))
      << info.dump();
  // A group shows the entry of its current member.
  ASSERT_EQ(Http("PUT", base + "/proxies/proxy", "{\"name\":\"hk 01\"}").status, 204);
  auto group = ordered_json::parse(Http("GET", base + "/proxies/proxy").body);
  EXPECT_EQ(group["history"], info["history"]);
  // A failure forgets the entry. The closed port stands in for a member that went away.
  ASSERT_EQ(Http("GET", base + "/proxies/dead/delay?timeout=2000").status, 503);
  EXPECT_EQ(ordered_json::parse(Http("GET", base + "/proxies/dead").body)["history"].size(), 0u);
}

TEST_F(EngineControllerTest, UrlTestChoosesAMeasuredMemberAndGroupDelaysTestMembers) {
  std::string base = StartStandard();
  std::string now = WaitForUrlTestChoice(base);
  EXPECT_TRUE(now == "hk 01" || now == "東京") << now;
  auto info = ordered_json::parse(Http("GET", base + "/proxies/auto").body);
  EXPECT_EQ(info["history"].size(), 1u) << info.dump();
  // The log tells which member the group chose.
  EXPECT_NE(ReadFile(log_).find("INFO outbound/urltest[auto]: selected " + now), std::string::npos);

  // Selector: each distinct concrete outbound once, under the first member that leads there.
  const std::string url = "&url=https://127.0.0.1:" + std::to_string(port_) + "/generate_204";
  HttpReply reply = Http("GET", base + "/group/proxy/delay?timeout=3000" + url);
  ASSERT_EQ(reply.status, 200);
  EXPECT_EQ(reply.content_type, kJson);
  auto delays = ordered_json::parse(reply.body);
  EXPECT_EQ(delays.size(), 3u) << reply.body;
  EXPECT_TRUE(delays.contains("auto")) << reply.body;
  EXPECT_TRUE(delays.contains("US West/1")) << reply.body;
  EXPECT_FALSE(delays.contains(now)) << reply.body;

  // Urltest: members checked within the interval are skipped.
  HttpReply again = Http("GET", base + "/group/auto/delay?timeout=3000");
  EXPECT_EQ(again.status, 200);
  EXPECT_EQ(again.body, "{}\n");
}

TEST_F(EngineControllerTest, DelayThroughHoldingProxiesFollowsTheHold) {
  HoldingProxy socks50(HoldingProxy::Kind::kSocks5, 50);
  HoldingProxy socks200(HoldingProxy::Kind::kSocks5, 200);
  HoldingProxy http80(HoldingProxy::Kind::kHttp, 80);
  HoldingProxy refusing(HoldingProxy::Kind::kHttp, 0, "HTTP/1.1 407 Proxy Authentication Required");
  std::string base = Start(R"([
      {"type":"socks","tag":"s50","server":"127.0.0.1","server_port":)" +
                           std::to_string(socks50.port()) + R"(},
      {"type":"socks","tag":"s200","server":"127.0.0.1","server_port":)" +
                           std::to_string(socks200.port()) + R"(},
      {"type":"http","tag":"h80","server":"127.0.0.1","server_port":)" +
                           std::to_string(http80.port()) + R"(},
      {"type":"http","tag":"h407","server":"127.0.0.1","server_port":)" +
                           std::to_string(refusing.port()) + R"(},
      {"type":"socks","tag":"named","server":"localhost","server_port":)" +
                           std::to_string(socks50.port()) + R"(},
      {"type":"selector","tag":"pick","outbounds":["s200","s50"]}])");
  struct Case {
    std::string path;
    int hold_ms;
  } cases[] = {{"/proxies/s50/delay?timeout=5000", 50},
               {"/proxies/s200/delay?timeout=5000", 200},
               {"/proxies/h80/delay?timeout=5000", 80},
               // A server given by name is resolved first.
               {"/proxies/named/delay?timeout=5000", 50},
               // A group goes through its current member.
               {"/proxies/pick/delay?timeout=5000", 200}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    HttpReply reply = Http("GET", base + c.path);
    ASSERT_EQ(reply.status, 200) << reply.body;
    int delay = ordered_json::parse(reply.body)["delay"];
    // The hold is inside the figure. A busy machine may add any amount on top, so the upper
    // bound only shows that the probe did not wait for its 5 s timeout.
    EXPECT_GE(delay, c.hold_ms * 0.8);
    EXPECT_LT(delay, c.hold_ms + 2000);
  }
  // A hold longer than the timeout is a timeout.
  EXPECT_EQ(Http("GET", base + "/proxies/s200/delay?timeout=100").status, 504);
  // A proxy that refuses CONNECT fails the test.
  EXPECT_EQ(Http("GET", base + "/proxies/h407/delay?timeout=2000").status, 503);
}

TEST_F(EngineControllerTest, SecretGuardsEveryRoute) {
  std::string base = Start(R"([{"type":"direct","tag":"direct"}])", R"(,"secret":"s3cret")");
  const std::string unauthorized = "{\"message\":\"Unauthorized\"}\n";
  struct Case {
    std::string path;
    std::map<std::string, std::string> headers;
    long status;
    std::string body;
  } cases[] = {
      {"/", {}, 401, unauthorized},
      {"/version", {{"Authorization", "Bearer wrong"}}, 401, unauthorized},
      {"/proxies", {{"Authorization", "bearer s3cret"}}, 401, unauthorized},
      {"/group", {{"Authorization", "Bearer  s3cret"}}, 401, unauthorized},
      {"/version",
       {{"Authorization", "Bearer s3cret"}},
       200,
       "{\"meta\":true,\"premium\":true,\"version\":\"sing-box 1.13.3-korvane-reference\"}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    HttpReply reply = Http("GET", base + c.path, "", c.headers);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.body, c.body);
  }
}

// A page in a browser may use the controller only from a configured origin. Without one, a
// request carrying an Origin is refused before anything else, preflights included, and no answer
// carries Access-Control-Allow-Origin.
TEST_F(EngineControllerTest, BrowserOriginsNeedConfiguration) {
  const std::string outbounds = R"([{"type":"selector","tag":"proxy","outbounds":["a","b"]},
                                     {"type":"direct","tag":"a"},{"type":"direct","tag":"b"}])";
  const std::string forbidden = "{\"message\":\"Forbidden\"}\n";
  const std::map<std::string, std::string> evil = {{"Origin", "http://evil.example"}};
  const std::map<std::string, std::string> evil_preflight = {
      {"Origin", "http://evil.example"}, {"Access-Control-Request-Method", "PUT"}};

  std::string base = Start(outbounds);
  HttpReply read = Http("GET", base + "/proxies/proxy", "", evil);
  EXPECT_EQ(read.status, 403);
  EXPECT_EQ(read.body, forbidden);
  EXPECT_EQ(read.headers.count("access-control-allow-origin"), 0u);
  HttpReply preflight = Http("OPTIONS", base + "/proxies/proxy", "", evil_preflight);
  EXPECT_EQ(preflight.status, 403);
  EXPECT_EQ(preflight.headers.count("access-control-allow-origin"), 0u);
  EXPECT_EQ(preflight.headers.count("access-control-allow-methods"), 0u);
  EXPECT_EQ(Http("PUT", base + "/proxies/proxy", R"({"name":"b"})", evil).status, 403);
  // The host's own requests carry no Origin and are served, without CORS headers.
  HttpReply own = Http("GET", base + "/proxies/proxy");
  EXPECT_EQ(own.status, 200);
  EXPECT_EQ(ordered_json::parse(own.body)["now"], "a");
  EXPECT_EQ(own.headers.count("access-control-allow-origin"), 0u);
  ASSERT_EQ(library_->stop_service(), 0);

  // A configured origin, also for the secret's preflight, and nobody else.
  base = Start(outbounds, R"(,"secret":"s3cret","access_control_allow_origin":["http://ui.local"],
                          "access_control_allow_private_network":true)");
  HttpReply allowed = Http("OPTIONS", base + "/proxies/proxy", "",
                           {{"Origin", "http://ui.local"},
                            {"Access-Control-Request-Method", "PUT"},
                            {"Access-Control-Request-Headers", "content-type, authorization"},
                            {"Access-Control-Request-Private-Network", "true"}});
  EXPECT_EQ(allowed.status, 204);
  EXPECT_EQ(allowed.headers["access-control-allow-origin"], "http://ui.local");
  EXPECT_EQ(allowed.headers["access-control-allow-methods"], "GET, POST, PUT, PATCH, DELETE");
  EXPECT_EQ(allowed.headers["access-control-allow-headers"], "Content-Type, Authorization");
  EXPECT_EQ(allowed.headers["access-control-allow-private-network"], "true");
  HttpReply put = Http("PUT", base + "/proxies/proxy", R"({"name":"b"})",
                       {{"Origin", "http://ui.local"}, {"Authorization", "Bearer s3cret"}});
  EXPECT_EQ(put.status, 204);
  EXPECT_EQ(put.headers["access-control-allow-origin"], "http://ui.local");
  struct Refused {
    const char* what;
    std::map<std::string, std::string> headers;
  } refused[] = {
      {"other origin", {{"Origin", "http://evil.example"}, {"Authorization", "Bearer s3cret"}}},
      {"other origin's preflight", evil_preflight},
      {"method outside the list",
       {{"Origin", "http://ui.local"}, {"Access-Control-Request-Method", "TRACE"}}},
      {"header outside the list",
       {{"Origin", "http://ui.local"},
        {"Access-Control-Request-Method", "GET"},
        {"Access-Control-Request-Headers", "x-custom"}}},
  };
  for (const Refused& r : refused) {
    HttpReply reply = Http(r.headers.count("Access-Control-Request-Method") ? "OPTIONS" : "PUT",
                           base + "/proxies/proxy", R"({"name":"a"})", r.headers);
    EXPECT_EQ(reply.status, 403) << r.what;
    EXPECT_EQ(reply.headers.count("access-control-allow-origin"), 0u) << r.what;
  }
  HttpReply after = Http("GET", base + "/proxies/proxy", "", {{"Authorization", "Bearer s3cret"}});
  EXPECT_EQ(ordered_json::parse(after.body)["now"], "b");
  ASSERT_EQ(library_->stop_service(), 0);

  // "*" lets every origin in.
  base = Start(outbounds, R"(,"access_control_allow_origin":"*")");
  HttpReply any = Http("GET", base + "/version", "", evil);
  EXPECT_EQ(any.status, 200);
  EXPECT_EQ(any.headers["access-control-allow-origin"], "*");
}

TEST_F(EngineControllerTest, ControllerAnswersOnlyWhileRunning) {
  const int port = ClosedPort();
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  std::string config = R"({"log":{"disabled":true},"experimental":{"clash_api":{)"
                       R"("external_controller":"127.0.0.1:)" +
                       std::to_string(port) + "\"}}}";
  ASSERT_EQ(library_->create_service(config.c_str()), 0) << library_->LastError();
  // Created: the port is held but refuses connections until the service starts.
  EXPECT_TRUE(ConnectRefused(port));
  ASSERT_EQ(library_->start_service(), 0) << library_->LastError();
  EXPECT_EQ(Http("GET", base + "/version").status, 200);
  ASSERT_EQ(library_->stop_service(), 0);
  EXPECT_TRUE(ConnectRefused(port));
}

}  // namespace
}  // namespace korvane_test
