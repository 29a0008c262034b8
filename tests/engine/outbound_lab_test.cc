// The engine's proxy outbounds against the real servers of the distribution, each in a network
// namespace of its own (tests/support/net_lab.h): ss-server for every AEAD method, danted with
// a username, tinyproxy with Basic credentials. The origin is reachable only through them and
// answers with the address it sees, so every answer names the path a connection took. curl
// drives the engine's mixed inbound as SOCKS5, CONNECT and absolute-form proxy.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/libbox_library.h"
#include "tests/support/lab_pattern.h"
#include "tests/support/net_lab.h"

namespace korvane_test {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr char kUser[] = "labuser";
constexpr char kPassword[] = "lab-pass";
constexpr int kSsPort = 8388;
constexpr int kSocksPort = 1080;
constexpr int kHttpPort = 8888;
// Big enough to cross many relay buffers and Shadowsocks chunks, small enough for the suite.
constexpr size_t kBulk = 16 << 20;

struct Method {
  const char* method;
  const char* tag;
};
constexpr Method kMethods[] = {{"aes-128-gcm", "ss-aes128"},
                               {"aes-256-gcm", "ss-aes256"},
                               {"chacha20-ietf-poly1305", "ss-chacha"}};

// One way a client uses the mixed inbound.
struct Path {
  const char* name;
  std::string (*args)(int port);
};
const Path kPaths[] = {
    {"socks5", [](int port) { return "--socks5-hostname 127.0.0.1:" + std::to_string(port); }},
    {"connect",
     [](int port) { return "--proxytunnel --proxy http://127.0.0.1:" + std::to_string(port); }},
    {"absolute", [](int port) { return "--proxy http://127.0.0.1:" + std::to_string(port); }},
};

std::string OriginUrl(int port, const std::string& path) {
  return std::string("http://") + NetLab::kOrigin + ":" + std::to_string(port) + path;
}

struct CurlResult {
  int exit_code = -1;
  std::string output;
};

CurlResult Curl(const std::string& args) {
  CurlResult result;
  result.exit_code =
      RunShellCommand("curl -sS --max-time 20 --noproxy '' " + args + " 2>&1", &result.output);
  return result;
}

// A SOCKS5 UDP association through the mixed inbound, as a client uses it: the control
// connection, then datagrams with the RFC 1928 header to the relay address it was given.
class Socks5Udp {
 public:
  ~Socks5Udp() {
    for (int fd : {control_, udp_}) {
      if (fd >= 0) {
        close(fd);
      }
    }
  }

  bool Open(int mixed_port, std::string* error) {
    sockaddr_in proxy{};
    proxy.sin_family = AF_INET;
    proxy.sin_port = htons(static_cast<uint16_t>(mixed_port));
    proxy.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    control_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(control_, reinterpret_cast<sockaddr*>(&proxy), sizeof(proxy)) != 0) {
      *error = "connect to the mixed inbound failed";
      return false;
    }
    const std::string request{5, 1, 0, 5, 3, 0, 1, 0, 0, 0, 0, 0, 0};
    std::string reply;
    if (send(control_, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size()) ||
        !ReadControl(2 + 10, &reply) || reply.substr(0, 5) != std::string{5, 0, 5, 0, 0} ||
        reply[5] != 1) {
      *error = "udp associate refused";
      return false;
    }
    relay_.sin_family = AF_INET;
    std::memcpy(&relay_.sin_addr, reply.data() + 6, 4);
    std::memcpy(&relay_.sin_port, reply.data() + 10, 2);
    udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return udp_ >= 0;
  }

  // Sends payload to host:port and waits (up to wait_ms) for one answer; its source address
  // comes back as "host:port". False on timeout.
  bool Exchange(const std::string& host,
                int port,
                const std::string& payload,
                std::string* from,
                std::string* answer,
                int wait_ms = 5000) {
    std::string packet{0, 0, 0, 1};
    in_addr address{};
    inet_pton(AF_INET, host.c_str(), &address);
    packet.append(reinterpret_cast<const char*>(&address), 4);
    packet.push_back(static_cast<char>(port >> 8));
    packet.push_back(static_cast<char>(port & 0xff));
    packet += payload;
    if (sendto(udp_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&relay_),
               sizeof(relay_)) < 0) {
      return false;
    }
    pollfd ready{udp_, POLLIN, 0};
    if (poll(&ready, 1, wait_ms) != 1) {
      return false;
    }
    std::string buffer(70000, '\0');
    ssize_t count = recv(udp_, buffer.data(), buffer.size(), 0);
    if (count < 10 || buffer[3] != 1) {
      return false;
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, buffer.data() + 4, text, sizeof(text));
    *from =
        std::string(text) + ":" +
        std::to_string((static_cast<uint8_t>(buffer[8]) << 8) | static_cast<uint8_t>(buffer[9]));
    *answer = buffer.substr(10, static_cast<size_t>(count) - 10);
    return true;
  }

  // Whether the engine closed the control connection within 10 s.
  bool ClosedByEngine() {
    pollfd ready{control_, POLLIN, 0};
    char byte;
    return poll(&ready, 1, 10000) == 1 && recv(control_, &byte, 1, 0) <= 0;
  }

 private:
  bool ReadControl(size_t size, std::string* out) {
    while (out->size() < size) {
      char buffer[64];
      pollfd ready{control_, POLLIN, 0};
      if (poll(&ready, 1, 5000) != 1) {
        return false;
      }
      ssize_t count = recv(control_, buffer, std::min(sizeof(buffer), size - out->size()), 0);
      if (count <= 0) {
        return false;
      }
      out->append(buffer, static_cast<size_t>(count));
    }
    return true;
  }

  int control_ = -1;
  int udp_ = -1;
  sockaddr_in relay_{};
};

// The origin's UDP echo in the test's own namespace, for the direct outbound: answers "<client
// address> <payload>" like the lab's origin. Runs until destroyed.
class LocalEcho {
 public:
  LocalEcho() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      std::string buffer(70000, '\0');
      while (!stop_.load()) {
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, 50) != 1) {
          continue;
        }
        sockaddr_in peer{};
        socklen_t peer_length = sizeof(peer);
        ssize_t count = recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&peer), &peer_length);
        if (count < 0) {
          continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));
        std::string answer = std::string(text) + " " + buffer.substr(0, static_cast<size_t>(count));
        sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&peer),
               peer_length);
      }
    });
  }
  ~LocalEcho() {
    stop_.store(true);
    thread_.join();
    close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class OutboundLabTest : public LoadedEngineTest {
 protected:
  static void SetUpTestSuite() {
    LoadedEngineTest::SetUpTestSuite();
    if (geteuid() != 0) {
      return;  // each test skips
    }
    std::string error;
    ASSERT_TRUE(NetLab::EnterPrivateNetwork(&error)) << error;
    lab_ = new NetLab();
    ASSERT_TRUE(lab_->Start(&error)) << error;
    for (const Method& m : kMethods) {
      const NetLab::Host* host = lab_->AddHost(m.tag, &error);
      ASSERT_NE(host, nullptr) << error;
      ASSERT_GT(lab_->StartShadowsocks(*host, kSsPort, m.method, kPassword), 0)
          << lab_->Log(host->name + "-ss-server");
      hosts_.push_back(host);
    }
    dante_ = lab_->AddHost("dante", &error);
    ASSERT_NE(dante_, nullptr) << error;
    dante_pid_ = lab_->StartDante(*dante_, kSocksPort, kUser, kPassword);
    ASSERT_GT(dante_pid_, 0) << lab_->Log("dante-danted");
    tiny_ = lab_->AddHost("tiny", &error);
    ASSERT_NE(tiny_, nullptr) << error;
    ASSERT_GT(lab_->StartTinyproxy(*tiny_, kHttpPort, kUser, kPassword), 0)
        << lab_->Log("tiny-tinyproxy");
    // The slow node: tinyproxy on its host's loopback behind a link that holds every chunk.
    slow_ = lab_->AddHost("slow", &error);
    ASSERT_NE(slow_, nullptr) << error;
    ASSERT_GT(lab_->StartTinyproxy(*slow_, kHttpPort, kUser, kPassword, "127.0.0.1"), 0)
        << lab_->Log("slow-tinyproxy");
    ASSERT_GT(lab_->StartDelay(*slow_, kHttpPort, "127.0.0.1", kHttpPort, 150), 0)
        << lab_->Log("slow-delay");
  }
  static void TearDownTestSuite() {
    delete lab_;
    lab_ = nullptr;
    hosts_.clear();
    LoadedEngineTest::TearDownTestSuite();
  }

  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root for the lab's network namespaces";
    }
    ASSERT_NE(lab_, nullptr);
  }

  static json SocksNode(const std::string& tag,
                        const NetLab::Host& host,
                        const std::string& password) {
    return {{"type", "socks"},           {"tag", tag},        {"server", host.address},
            {"server_port", kSocksPort}, {"username", kUser}, {"password", password}};
  }
  static json HttpNode(const std::string& tag,
                       const NetLab::Host& host,
                       const std::string& password) {
    return {{"type", "http"},           {"tag", tag},        {"server", host.address},
            {"server_port", kHttpPort}, {"username", kUser}, {"password", password}};
  }
  static json Shadowsocks(const Method& m,
                          const NetLab::Host& host,
                          const std::string& tag,
                          const std::string& password) {
    return {{"type", "shadowsocks"},  {"tag", tag},         {"server", host.address},
            {"server_port", kSsPort}, {"method", m.method}, {"password", password}};
  }
  // Origin port n (from 0) routed to `outbound`.
  static json PortRule(int n, const std::string& outbound) {
    return {{"port", NetLab::kOriginPortBase + n}, {"outbound", outbound}};
  }

  // Starts the engine with its log in the temporary directory, the mixed inbound and the
  // controller on free ports.
  void Start(json config) {
    // A log of its own for each start in a test, so the ports read from it are this start's.
    log_ = dir_.File("box" + std::to_string(++starts_) + ".log");
    config["log"] = {{"level", "debug"}, {"output", log_}};
    config["inbounds"] = json::array(
        {{{"type", "mixed"}, {"tag", "mixed-in"}, {"listen", "127.0.0.1"}, {"listen_port", 0}}});
    config["experimental"]["clash_api"]["external_controller"] = "127.0.0.1:0";
    ASSERT_EQ(library_->create_service(config.dump().c_str()), 0) << library_->LastError();
    ASSERT_EQ(library_->start_service(), 0) << library_->LastError();
    std::string text = ReadFile(log_);
    controller_ = ControllerPortFromLog(text);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(
        text, match, std::regex("inbound/mixed\\[mixed-in\\]: tcp server started at [^:]+:(\\d+)")))
        << text;
    mixed_ = std::stoi(match[1]);
  }

  std::string Controller(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(controller_) + path;
  }

  json GetJson(const std::string& path) const {
    return json::parse(Http("GET", Controller(path)).body, nullptr, false);
  }

  // Waits until `predicate` holds for GET path's JSON (at most 20 s).
  bool WaitFor(const std::string& path, const std::function<bool(const json&)>& predicate) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      json body = GetJson(path);
      if (!body.is_discarded() && predicate(body)) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // The address the origin saw, fetched through the engine on origin port n.
  std::string WhoAmI(int n, const Path& path = kPaths[0]) {
    CurlResult result =
        Curl(path.args(mixed_) + " " + OriginUrl(NetLab::kOriginPortBase + n, "/whoami"));
    return result.exit_code == 0 ? result.output : "failed: " + result.output;
  }

  size_t CountLines(const std::string& needle) const {
    const std::string text = ReadFile(log_);
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
      ++count;
    }
    return count;
  }

  static NetLab* lab_;
  static std::vector<const NetLab::Host*> hosts_;
  static const NetLab::Host* dante_;
  static const NetLab::Host* tiny_;
  static const NetLab::Host* slow_;
  static pid_t dante_pid_;
  TempDir dir_;
  std::string log_;
  int starts_ = 0;
  int controller_ = 0;
  int mixed_ = 0;
};

NetLab* OutboundLabTest::lab_ = nullptr;
std::vector<const NetLab::Host*> OutboundLabTest::hosts_;
const NetLab::Host* OutboundLabTest::dante_ = nullptr;
const NetLab::Host* OutboundLabTest::tiny_ = nullptr;
const NetLab::Host* OutboundLabTest::slow_ = nullptr;
pid_t OutboundLabTest::dante_pid_ = -1;

// Every server through every path of the mixed inbound: the origin sees the server's own
// address; 16 MiB down and up arrive byte for byte (each server carries the bulk transfers on
// two of the paths, so each path carries them for several servers).
TEST_F(OutboundLabTest, EveryServerCarriesEveryPathByteExact) {
  json outbounds = json::array({{{"type", "direct"}, {"tag", "direct"}}});
  json rules = json::array();
  std::vector<std::pair<std::string, const NetLab::Host*>> servers;
  for (size_t i = 0; i < 3; ++i) {
    outbounds.push_back(Shadowsocks(kMethods[i], *hosts_[i], kMethods[i].tag, kPassword));
    servers.emplace_back(kMethods[i].tag, hosts_[i]);
  }
  outbounds.push_back(SocksNode("dante", *dante_, kPassword));
  servers.emplace_back("dante", dante_);
  outbounds.push_back(HttpNode("tiny", *tiny_, kPassword));
  servers.emplace_back("tiny", tiny_);
  for (size_t i = 0; i < servers.size(); ++i) {
    rules.push_back(PortRule(static_cast<int>(i), servers[i].first));
  }
  Start({{"outbounds", outbounds}, {"route", {{"rules", rules}, {"final", "direct"}}}});

  const std::string expected_download = LabPattern(0, kBulk);
  const std::string upload_file = dir_.File("upload.bin");
  WriteFile(upload_file, expected_download);
  char digest[32];
  snprintf(digest, sizeof(digest), "%016llx",
           static_cast<unsigned long long>(
               LabDigest(kLabDigestStart, expected_download.data(), expected_download.size())));
  const std::string expected_upload = std::to_string(kBulk) + " " + digest;

  for (size_t i = 0; i < servers.size(); ++i) {
    const int port = NetLab::kOriginPortBase + static_cast<int>(i);
    for (size_t p = 0; p < 3; ++p) {
      const Path& path = kPaths[p];
      const std::string what = servers[i].first + " via " + path.name;
      EXPECT_EQ(WhoAmI(static_cast<int>(i), path), servers[i].second->egress) << what;
      if (p == i % 3) {
        const std::string file = dir_.File("download.bin");
        CurlResult down = Curl(path.args(mixed_) + " -o " + file + " " +
                               OriginUrl(port, "/bytes/" + std::to_string(kBulk)));
        EXPECT_EQ(down.exit_code, 0) << what << ": " << down.output;
        EXPECT_TRUE(ReadFile(file) == expected_download) << what << ": download differs";
      }
      if (p == (i + 1) % 3) {
        CurlResult up = Curl(path.args(mixed_) + " --data-binary @" + upload_file + " " +
                             OriginUrl(port, "/upload"));
        EXPECT_EQ(up.output, expected_upload) << what;
      }
    }
  }
  // Nothing reached the origin directly: the test's namespace has no route to it.
  EXPECT_NE(Curl(OriginUrl(NetLab::kOriginPortBase + 9, "/whoami")).exit_code, 0);
  // Each connection was listed under its rule with the bytes it carried, and is gone now.
  json connections = GetJson("/connections");
  EXPECT_GE(connections["downloadTotal"].get<uint64_t>(), 5 * kBulk) << connections;
  EXPECT_GE(connections["uploadTotal"].get<uint64_t>(), 5 * kBulk) << connections;
  EXPECT_TRUE(WaitFor("/connections", [](const json& body) {
    return body["connections"].is_array() && body["connections"].empty();
  }));
}

// SOCKS5 UDP ASSOCIATE on the mixed inbound through every outbound that carries UDP: each
// shadowsocks method (the UDP relay, each packet sealed on its own), danted's UDP ASSOCIATE and
// direct. The origin's echo names the address it saw, so every answer proves its path; the
// payloads, from one byte to near the datagram limit, come back byte for byte.
TEST_F(OutboundLabTest, UdpAssociationsCarryDatagramsByteExact) {
  LocalEcho local;
  struct Case {
    json outbound;
    std::string host;  // where the echo is
    int port;
    std::string seen;  // the address the echo sees
    size_t largest;    // ss-server truncates datagrams past about 1.4 KiB
  };
  std::vector<Case> cases;
  cases.push_back(
      {{{"type", "direct"}, {"tag", "direct"}}, "127.0.0.1", local.port(), "127.0.0.1", 60000});
  cases.push_back({SocksNode("dante", *dante_, kPassword), NetLab::kOrigin, NetLab::kOriginUdpPort,
                   dante_->egress, 60000});
  for (size_t i = 0; i < 3; ++i) {
    cases.push_back({Shadowsocks(kMethods[i], *hosts_[i], kMethods[i].tag, kPassword),
                     NetLab::kOrigin, NetLab::kOriginUdpPort, hosts_[i]->egress, 1400});
  }
  const size_t kSizes[] = {1, 1000, 1400, 9000, 60000};
  for (const Case& c : cases) {
    const std::string tag = c.outbound["tag"];
    Start({{"outbounds", json::array({c.outbound})}, {"route", {{"final", tag}}}});
    Socks5Udp association;
    std::string error;
    ASSERT_TRUE(association.Open(mixed_, &error)) << tag << ": " << error;
    uint64_t sent = 0;
    size_t exchanges = 0;
    for (size_t n = 0; n < std::size(kSizes) && kSizes[n] <= c.largest; ++n) {
      const std::string payload = LabPattern(n * 65536, kSizes[n]);
      std::string from;
      std::string answer;
      ASSERT_TRUE(association.Exchange(c.host, c.port, payload, &from, &answer))
          << tag << ": no answer to " << kSizes[n] << " bytes\n"
          << ReadFile(log_);
      EXPECT_EQ(from, c.host + ":" + std::to_string(c.port)) << tag;
      EXPECT_TRUE(answer == c.seen + " " + payload)
          << tag << ", " << kSizes[n] << " bytes: answer differs (" << answer.size() << " bytes, "
          << answer.substr(0, 20) << ")";
      sent += kSizes[n];
      ++exchanges;
    }
    // The association is listed as a UDP connection with the bytes it carried.
    json connections = GetJson("/connections")["connections"];
    ASSERT_EQ(connections.size(), 1u) << connections;
    EXPECT_EQ(connections[0]["metadata"]["network"], "udp");
    EXPECT_EQ(connections[0]["chains"].back(), tag);
    EXPECT_EQ(connections[0]["upload"].get<uint64_t>(), sent);
    EXPECT_EQ(connections[0]["download"].get<uint64_t>(), sent + exchanges * (c.seen.size() + 1));
    ASSERT_EQ(library_->stop_service(), 0);
  }
}

// A UDP association whose upstream refuses it ends: the engine closes the control connection
// and logs one error line naming the outbound.
TEST_F(OutboundLabTest, RefusedUdpAssociationEndsWithTheReason) {
  Start({{"outbounds", json::array({SocksNode("socks-badpw", *dante_, "wrong"),
                                    HttpNode("tiny", *tiny_, kPassword)})},
         {"route",
          {{"rules", json::array({{{"port", 9}, {"outbound", "tiny"}}})},
           {"final", "socks-badpw"}}}});
  struct Case {
    int port;
    std::string reason;
  };
  const Case kCases[] = {
      {NetLab::kOriginUdpPort, "outbound/socks[socks-badpw]: socks5: authentication failed"},
      {9, "outbound/http[tiny]: UDP is not supported"},
  };
  for (const Case& c : kCases) {
    Socks5Udp association;
    std::string error;
    ASSERT_TRUE(association.Open(mixed_, &error)) << error;
    std::string from;
    std::string answer;
    EXPECT_FALSE(association.Exchange(NetLab::kOrigin, c.port, "ping", &from, &answer, 200));
    EXPECT_TRUE(association.ClosedByEngine()) << c.reason;
    EXPECT_EQ(CountLines(c.reason), 1u) << c.reason << "\n" << ReadFile(log_);
  }
}

// A failing upstream ends the client's connection at once with the protocol's error and one
// error line naming the outbound: refused, wrong password, wrong key, timeout.
TEST_F(OutboundLabTest, FailingUpstreamsAnswerWithTheProtocolError) {
  struct Case {
    json outbound;
    uint8_t socks_code;  // the SOCKS5 reply; 0 when the tunnel opens and is then reset
    std::string reason;  // in the HTTP 502 body and the log, after the outbound's name
  };
  const NetLab::Host& ss = *hosts_[0];
  json refused = SocksNode("refused", *dante_, kPassword);
  refused["server_port"] = kSocksPort + 1;
  // An address on a lab link that nobody answers: the connect never completes.
  json silent = SocksNode("silent", *dante_, kPassword);
  silent["server"] = "198.18." + std::to_string(dante_->index) + ".77";
  silent["connect_timeout"] = "1s";
  // The server never answers a wrong key; the engine stops waiting after connect_timeout.
  json bad_key = Shadowsocks(kMethods[0], ss, "ss-badkey", "wrong-key");
  bad_key["connect_timeout"] = "1s";
  const std::vector<Case> cases = {
      {bad_key, 0, "no answer within 1s"},
      {SocksNode("socks-badpw", *dante_, "wrong"), 0x02, "socks5: authentication failed"},
      {HttpNode("http-badpw", *tiny_, "wrong"), 0x02,
       "http: proxy refused: HTTP/1.0 401 Unauthorized"},
      {refused, 0x05,
       "dial tcp " + dante_->address + ":" + std::to_string(kSocksPort + 1) +
           ": connect: connection refused"},
      {silent, 0x04, "dial tcp " + silent["server"].get<std::string>() + ":1080: i/o timeout"},
  };
  json outbounds = json::array({{{"type", "direct"}, {"tag", "direct"}}});
  json rules = json::array();
  for (size_t i = 0; i < cases.size(); ++i) {
    outbounds.push_back(cases[i].outbound);
    rules.push_back(PortRule(static_cast<int>(i), cases[i].outbound["tag"]));
  }
  Start({{"outbounds", outbounds}, {"route", {{"rules", rules}, {"final", "direct"}}}});

  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const std::string name = "outbound/" + c.outbound["type"].get<std::string>() + "[" +
                             c.outbound["tag"].get<std::string>() + "]";
    const int port = NetLab::kOriginPortBase + static_cast<int>(i);
    // Absolute form: 502 with the outbound and the reason.
    CurlResult http = Curl("--proxy http://127.0.0.1:" + std::to_string(mixed_) +
                           " -w '\\n%{http_code}' " + OriginUrl(port, "/whoami"));
    EXPECT_EQ(http.output, name + ": " + c.reason + "\n\n502") << name;

    // SOCKS5: the reply code, or a tunnel that is reset without a byte.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(mixed_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    std::string request("\x05\x01\x00\x05\x01\x00\x01", 7);
    in_addr origin{};
    inet_pton(AF_INET, NetLab::kOrigin, &origin);
    request.append(reinterpret_cast<const char*>(&origin), 4);
    request.push_back(static_cast<char>(port >> 8));
    request.push_back(static_cast<char>(port & 0xff));
    request += "GET /whoami HTTP/1.0\r\n\r\n";
    ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    std::string reply;
    bool ended = false;
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (!ended && Clock::now() < deadline) {
      pollfd entry{fd, POLLIN, 0};
      if (poll(&entry, 1, 100) <= 0) {
        continue;
      }
      char buffer[512];
      ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
      if (n <= 0) {
        ended = true;
      } else {
        reply.append(buffer, static_cast<size_t>(n));
      }
    }
    close(fd);
    EXPECT_TRUE(ended) << name << ": the connection was left open";
    ASSERT_GE(reply.size(), 4u) << name;
    EXPECT_EQ(reply.substr(0, 2), std::string("\x05\x00", 2)) << name;  // the method
    EXPECT_EQ(static_cast<uint8_t>(reply[3]), c.socks_code) << name;
    // A reset tunnel carried nothing: method (2) and reply (10) only.
    EXPECT_EQ(reply.size(), 12u) << name;

    // One line per failed connection, naming the outbound.
    EXPECT_EQ(CountLines(name + ": " + c.reason), 2u) << ReadFile(log_);
  }
}

// A selector switched through the controller: new connections leave through the new member;
// open ones stay, or are closed when the group interrupts them. The controller lists them.
TEST_F(OutboundLabTest, SelectorSwitchesNewConnectionsAndInterruptsWhenAsked) {
  json outbounds = json::array({
      {{"type", "selector"}, {"tag", "keep"}, {"outbounds", {"ss-aes128", "dante"}}},
      {{"type", "selector"},
       {"tag", "cut"},
       {"outbounds", {"ss-chacha", "tiny"}},
       {"interrupt_exist_connections", true}},
      Shadowsocks(kMethods[0], *hosts_[0], "ss-aes128", kPassword),
      Shadowsocks(kMethods[2], *hosts_[2], "ss-chacha", kPassword),
      SocksNode("dante", *dante_, kPassword),
      HttpNode("tiny", *tiny_, kPassword),
      {{"type", "direct"}, {"tag", "direct"}},
  });
  Start({{"outbounds", outbounds},
         {"route", {{"rules", {PortRule(0, "keep"), PortRule(1, "cut")}}, {"final", "direct"}}}});
  EXPECT_EQ(WhoAmI(0), hosts_[0]->egress);
  EXPECT_EQ(WhoAmI(1), hosts_[2]->egress);

  // A slow download through each group, 64 KiB over about 3 s.
  constexpr size_t kDrip = 64 * 1024;
  const std::string keep_file = dir_.File("keep.bin");
  const std::string cut_file = dir_.File("cut.bin");
  auto drip = [&](int n, const std::string& file, int* exit_code) {
    return std::thread([this, n, file, exit_code] {
      *exit_code = Curl(kPaths[0].args(mixed_) + " -o " + file + " " +
                        OriginUrl(NetLab::kOriginPortBase + n, "/drip/" + std::to_string(kDrip)))
                       .exit_code;
    });
  };
  int keep_exit = -1;
  int cut_exit = -1;
  std::thread keep = drip(0, keep_file, &keep_exit);
  std::thread cut = drip(1, cut_file, &cut_exit);
  ASSERT_TRUE(WaitFor("/connections", [](const json& body) {
    size_t moving = 0;
    for (const json& c : body["connections"]) {
      moving += c["download"].get<uint64_t>() > 0;
    }
    return moving == 2;
  }));
  json listed = GetJson("/connections")["connections"];
  ASSERT_EQ(listed.size(), 2u) << listed;
  std::vector<json> chains;
  for (const json& c : listed) {
    chains.push_back(c["chains"]);
    EXPECT_EQ(c["metadata"]["type"], "mixed/mixed-in");
    EXPECT_EQ(c["metadata"]["destinationIP"], NetLab::kOrigin);
    EXPECT_GT(c["upload"].get<uint64_t>(), 0u);
  }
  std::sort(chains.begin(), chains.end());
  EXPECT_EQ(json(chains), json::parse(R"([["cut","ss-chacha"],["keep","ss-aes128"]])"));

  // The traffic stream reports the drips' bytes each second.
  CurlResult traffic = Curl("--max-time 2.5 " + Controller("/traffic"));
  std::smatch line;
  ASSERT_TRUE(
      std::regex_search(traffic.output, line, std::regex("\\{\"up\":(\\d+),\"down\":(\\d+)\\}\n")))
      << traffic.output;
  EXPECT_GT(std::stoull(line[2]), 0u) << traffic.output;

  EXPECT_EQ(Http("PUT", Controller("/proxies/keep"), R"({"name":"dante"})").status, 204);
  EXPECT_EQ(Http("PUT", Controller("/proxies/cut"), R"({"name":"tiny"})").status, 204);
  EXPECT_EQ(WhoAmI(0), dante_->egress);
  EXPECT_EQ(WhoAmI(1), tiny_->egress);
  EXPECT_EQ(GetJson("/proxies/keep")["now"], "dante");
  EXPECT_EQ(GetJson("/proxies/cut")["now"], "tiny");
  keep.join();
  cut.join();
  EXPECT_EQ(keep_exit, 0);
  EXPECT_TRUE(ReadFile(keep_file) == LabPattern(0, kDrip)) << "the kept drip arrived whole";
  EXPECT_NE(cut_exit, 0) << "the interrupted drip was cut";
  EXPECT_LT(ReadFile(cut_file).size(), kDrip);
  EXPECT_EQ(CountLines("outbound/selector[cut]: closed 1 connection(s) of the previous choice"),
            1u);

  // DELETE closes one connection by id.
  int third_exit = -1;
  std::thread third = drip(0, dir_.File("third.bin"), &third_exit);
  ASSERT_TRUE(WaitFor("/connections", [](const json& body) {
    return body["connections"].size() == 1 && body["connections"][0]["download"] > 0;
  }));
  std::string id = GetJson("/connections")["connections"][0]["id"];
  EXPECT_EQ(Http("DELETE", Controller("/connections/" + id)).status, 204);
  third.join();
  EXPECT_NE(third_exit, 0);
}

// A urltest group over a fast, a slow and a dead member uses the fast one, and moves to the
// slow one when the fast one dies.
TEST_F(OutboundLabTest, UrlTestPicksTheFastestLiveMember) {
  json dead = SocksNode("dead", *dante_, kPassword);
  dead["server_port"] = kSocksPort + 1;
  json outbounds = json::array({
      {{"type", "urltest"},
       {"tag", "auto"},
       {"outbounds", {"dead", "slow", "fast"}},
       {"url", OriginUrl(NetLab::kOriginPortBase, "/whoami")},
       {"interval", "1s"},
       {"tolerance", 50}},
      dead,
      HttpNode("slow", *slow_, kPassword),
      SocksNode("fast", *dante_, kPassword),
  });
  Start({{"outbounds", outbounds}, {"route", {{"final", "auto"}}}});
  ASSERT_TRUE(WaitFor("/proxies/auto", [](const json& p) { return p["now"] == "fast"; }))
      << GetJson("/proxies/auto");
  EXPECT_EQ(WhoAmI(0), dante_->egress);
  json proxies = GetJson("/proxies");
  EXPECT_EQ(proxies["proxies"]["dead"]["history"], json::array());
  ASSERT_EQ(proxies["proxies"]["slow"]["history"].size(), 1u) << proxies;
  EXPECT_GE(proxies["proxies"]["slow"]["history"][0]["delay"].get<int>(), 300);

  lab_->Kill(dante_pid_);
  dante_pid_ = -1;
  EXPECT_TRUE(WaitFor("/proxies/auto", [](const json& p) { return p["now"] == "slow"; }))
      << GetJson("/proxies/auto");
  EXPECT_EQ(WhoAmI(0), slow_->egress);
  dante_pid_ = lab_->StartDante(*dante_, kSocksPort, kUser, kPassword);
  EXPECT_GT(dante_pid_, 0);
}

}  // namespace
}  // namespace korvane_test
