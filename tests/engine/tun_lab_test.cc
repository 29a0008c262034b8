// The TUN inbound's system stack carrying a machine's traffic: the test's network namespace is
// the machine, its only way to the lab's origin is the route into the engine's interface, and
// the engine's outbounds reach the origin through the lab's servers (tests/support/net_lab.h).
// The origin answers with the address it saw, so every answer names the path a flow took.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

constexpr char kUser[] = "labuser";
constexpr char kPassword[] = "lab-pass";
constexpr char kInterface[] = "korvane-tun0";
constexpr int kSsPort = 8388;
constexpr int kSocksPort = 1080;
constexpr size_t kBulk = 16 << 20;

std::string OriginUrl(int n, const std::string& path) {
  return std::string("http://") + NetLab::kOrigin + ":" +
         std::to_string(NetLab::kOriginPortBase + n) + path;
}

// One datagram to the origin's UDP echo straight from this namespace, and its answer ("" when
// none came within 5 s).
std::string UdpEcho(const std::string& payload) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in origin{};
  origin.sin_family = AF_INET;
  origin.sin_port = htons(NetLab::kOriginUdpPort);
  inet_pton(AF_INET, NetLab::kOrigin, &origin.sin_addr);
  std::string answer;
  if (sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&origin),
             sizeof(origin)) == static_cast<ssize_t>(payload.size())) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 5000) == 1) {
      answer.resize(70000);
      ssize_t count = recv(fd, answer.data(), answer.size(), 0);
      answer.resize(count > 0 ? static_cast<size_t>(count) : 0);
    }
  }
  close(fd);
  return answer;
}

// A query for the A record of `name` with this ID.
std::string DnsQuery(uint16_t id, const std::string& name) {
  std::string query = {
      static_cast<char>(id >> 8), static_cast<char>(id & 0xff), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  for (size_t start = 0; start <= name.size();) {
    size_t dot = std::min(name.find('.', start), name.size());
    query.push_back(static_cast<char>(dot - start));
    query += name.substr(start, dot - start);
    start = dot + 1;
  }
  query += std::string("\0\0\1\0\1", 5);
  return query;
}

// DNS over TCP to `server`:53 from this namespace: every query written at once on one
// connection, each prefixed with its length, and the answers read back the same way until the
// connection ends or 5 s pass without a byte.
std::vector<std::string> DnsOverTcp(const char* server, const std::vector<std::string>& queries) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  inet_pton(AF_INET, server, &address.sin_addr);
  std::vector<std::string> answers;
  std::string out;
  for (const std::string& query : queries) {
    out += {static_cast<char>(query.size() >> 8), static_cast<char>(query.size() & 0xff)};
    out += query;
  }
  std::string in;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      send(fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size())) {
    pollfd ready{fd, POLLIN, 0};
    char buffer[4096];
    ssize_t count = 0;
    while (answers.size() < queries.size() && poll(&ready, 1, 5000) == 1 &&
           (count = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
      in.append(buffer, static_cast<size_t>(count));
      while (in.size() >= 2) {
        const size_t length = (static_cast<uint8_t>(in[0]) << 8) | static_cast<uint8_t>(in[1]);
        if (in.size() < 2 + length) {
          break;
        }
        answers.push_back(in.substr(2, length));
        in.erase(0, 2 + length);
      }
    }
  }
  close(fd);
  return answers;
}

class TunLabTest : public LoadedEngineTest {
 protected:
  static void SetUpTestSuite() {
    LoadedEngineTest::SetUpTestSuite();
    if (geteuid() != 0) {
      return;
    }
    std::string error;
    ASSERT_TRUE(NetLab::EnterPrivateNetwork(&error)) << error;
    lab_ = new NetLab();
    ASSERT_TRUE(lab_->Start(&error)) << error;
    ss_ = lab_->AddHost("ss", &error);
    ASSERT_NE(ss_, nullptr) << error;
    ASSERT_GT(lab_->StartShadowsocks(*ss_, kSsPort, "chacha20-ietf-poly1305", kPassword), 0)
        << lab_->Log("ss-ss-server");
    dante_ = lab_->AddHost("dante", &error);
    ASSERT_NE(dante_, nullptr) << error;
    ASSERT_GT(lab_->StartDante(*dante_, kSocksPort, kUser, kPassword), 0)
        << lab_->Log("dante-danted");
  }
  static void TearDownTestSuite() {
    delete lab_;
    lab_ = nullptr;
    LoadedEngineTest::TearDownTestSuite();
  }

  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root for the lab's network namespaces";
    }
    ASSERT_NE(lab_, nullptr);
  }

  static json Outbound(const std::string& kind) {
    if (kind == "shadowsocks") {
      return {{"type", "shadowsocks"},
              {"tag", "proxy"},
              {"server", ss_->address},
              {"server_port", kSsPort},
              {"method", "chacha20-ietf-poly1305"},
              {"password", kPassword}};
    }
    return {{"type", "socks"},           {"tag", "proxy"},    {"server", dante_->address},
            {"server_port", kSocksPort}, {"username", kUser}, {"password", kPassword}};
  }

  // The engine's configuration: the TUN inbound with auto_route, `outbound` as the only route
  // (`extra` merged in at the top level).
  json Config(const json& outbound, const json& extra = json::object()) {
    log_ = dir_.File("box" + std::to_string(++starts_) + ".log");
    json config = {{"log", {{"level", "debug"}, {"output", log_}}},
                   {"inbounds", json::array({{{"type", "tun"},
                                              {"tag", "tun-in"},
                                              {"interface_name", kInterface},
                                              {"address", json::array({"172.19.0.1/30"})},
                                              {"stack", "system"},
                                              {"auto_route", true}}})},
                   {"outbounds", json::array({outbound})},
                   {"route", {{"final", outbound["tag"]}}},
                   {"experimental", {{"clash_api", {{"external_controller", "127.0.0.1:0"}}}}}};
    config.merge_patch(extra);
    return config;
  }

  void Start(const json& outbound, const json& extra = json::object()) {
    StartConfig(Config(outbound, extra));
  }
  void StartConfig(const json& config) {
    ASSERT_EQ(library_->create_service(config.dump().c_str()), 0) << library_->LastError();
    ASSERT_EQ(library_->start_service(), 0) << library_->LastError();
    controller_ = ControllerPortFromLog(ReadFile(log_));
  }

  static std::string Routing() {
    std::string rules;
    std::string routes;
    RunShellCommand("ip rule show", &rules);
    // IPv4 only: link-local IPv6 addresses of the lab links appear on their own schedule.
    RunShellCommand("ip -4 route show table all", &routes);
    return rules + routes;
  }

  json Connections() const {
    return json::parse(
        Http("GET", "http://127.0.0.1:" + std::to_string(controller_) + "/connections").body,
        nullptr, false);
  }

  static NetLab* lab_;
  static const NetLab::Host* ss_;
  static const NetLab::Host* dante_;
  TempDir dir_;
  std::string log_;
  int starts_ = 0;
  int controller_ = 0;
};

NetLab* TunLabTest::lab_ = nullptr;
const NetLab::Host* TunLabTest::ss_ = nullptr;
const NetLab::Host* TunLabTest::dante_ = nullptr;

// TCP and UDP that enter the interface leave through the chosen proxy: plain curl and a plain
// UDP socket, no proxy settings. 16 MiB down and up byte for byte, 100 connections at once,
// datagrams from one byte to past the link MTU.
TEST_F(TunLabTest, SystemStackCarriesTcpAndUdpThroughTheProxy) {
  const std::string routing_before = Routing();
  const std::string expected_download = LabPattern(0, kBulk);
  const std::string upload_file = dir_.File("upload.bin");
  WriteFile(upload_file, expected_download);
  char digest[32];
  snprintf(digest, sizeof(digest), "%016llx",
           static_cast<unsigned long long>(
               LabDigest(kLabDigestStart, expected_download.data(), expected_download.size())));
  const std::string expected_upload = std::to_string(kBulk) + " " + digest;

  for (const char* kind : {"shadowsocks", "socks"}) {
    SCOPED_TRACE(kind);
    const bool socks = std::string(kind) == "socks";
    const NetLab::Host* server = socks ? dante_ : ss_;
    // The default MTU (64 KiB) makes every segment a frame of its own, with a checksum left to
    // the device; a link-sized one makes the kernel hand over frames of many segments.
    json config = Config(Outbound(kind));
    if (socks) {
      config["inbounds"][0]["mtu"] = 1500;
    }
    StartConfig(config);
    std::string output;
    EXPECT_EQ(RunShellCommand("curl -sS --max-time 20 " + OriginUrl(0, "/whoami"), &output), 0);
    EXPECT_EQ(output, server->egress) << ReadFile(log_);

    const std::string file = dir_.File("download.bin");
    EXPECT_EQ(RunShellCommand("curl -sS --max-time 60 -o " + file + " " +
                                  OriginUrl(1, "/bytes/" + std::to_string(kBulk)),
                              &output),
              0)
        << output;
    EXPECT_TRUE(ReadFile(file) == expected_download) << "download differs";
    EXPECT_EQ(RunShellCommand("curl -sS --max-time 60 --data-binary @" + upload_file + " " +
                                  OriginUrl(2, "/upload"),
                              &output),
              0);
    EXPECT_EQ(output, expected_upload);

    // 100 connections at once, each answered with the proxy's address.
    std::string urls;
    for (int i = 0; i < 100; ++i) {
      urls += " " + OriginUrl(i % NetLab::kOriginPortCount, "/whoami") + " -w '\\n'";
    }
    EXPECT_EQ(RunShellCommand("curl -sS --max-time 60 -Z --parallel-max 100" + urls, &output), 0)
        << output;
    size_t answers = 0;
    for (size_t at = output.find(server->egress); at != std::string::npos;
         at = output.find(server->egress, at + 1)) {
      ++answers;
    }
    EXPECT_EQ(answers, 100u) << output;

    for (size_t size : {size_t{1}, size_t{1000}, size_t{1400}}) {
      const std::string payload = LabPattern(size, size);
      EXPECT_TRUE(UdpEcho(payload) == server->egress + " " + payload) << size << " bytes\n"
                                                                      << ReadFile(log_);
    }
    // ICMP is not carried: an echo request is a counted drop, shown by the controller.
    int icmp = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    sockaddr_in origin{};
    origin.sin_family = AF_INET;
    inet_pton(AF_INET, NetLab::kOrigin, &origin.sin_addr);
    const char kEchoRequest[] = {8, 0, static_cast<char>(0xf7), static_cast<char>(0xff), 0, 0,
                                 0, 0};
    EXPECT_EQ(sendto(icmp, kEchoRequest, sizeof(kEchoRequest), 0,
                     reinterpret_cast<sockaddr*>(&origin), sizeof(origin)),
              static_cast<ssize_t>(sizeof(kEchoRequest)));
    close(icmp);
    json connections = Connections();
    for (int i = 0; i < 100 && connections["droppedPackets"].get<uint64_t>() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the device thread counts it
      connections = Connections();
    }
    EXPECT_GE(connections["droppedPackets"].get<uint64_t>(), 1u) << connections;
    EXPECT_GE(connections["downloadTotal"].get<uint64_t>(), kBulk) << connections;
    EXPECT_GE(connections["uploadTotal"].get<uint64_t>(), kBulk) << connections;
    ASSERT_EQ(library_->stop_service(), 0);
    const std::string text = ReadFile(log_);
    EXPECT_TRUE(
        std::regex_search(text, std::regex("inbound/tun\\[tun-in\\]: \\d+ packet\\(s\\) dropped")))
        << text;
    std::smatch offload;
    ASSERT_TRUE(std::regex_search(
        text, offload, std::regex("inbound/tun\\[tun-in\\]: (\\d+) offload frame\\(s\\)")))
        << text;
    if (socks) {
      // Frames larger than the MTU came through, and the transfers above stayed byte-exact.
      EXPECT_GT(std::stoull(offload[1].str()), 0u) << text;
    }
    EXPECT_EQ(Routing(), routing_before);
  }
}

// An engine killed with SIGKILL leaves its rules behind; the next start removes them before it
// installs its own, and its stop leaves routing as it was before either.
TEST_F(TunLabTest, NextStartRemovesACrashedRunsRules) {
  const std::string routing_before = Routing();
  const std::string config_file = dir_.File("crash.json");
  WriteFile(config_file, Config(Outbound("socks")).dump());
  int out[2];
  int in[2];
  ASSERT_EQ(pipe(out), 0);
  ASSERT_EQ(pipe(in), 0);
  const char* build = getenv("KORVANE_BUILD_DIR");
  const std::string helper =
      std::string(build == nullptr ? "." : build) + "/tests/engine/engine_test_helper";
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    execl(helper.c_str(), helper.c_str(), "serve", config_file.c_str(), nullptr);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  std::string said;
  char buffer[256];
  ssize_t count = 0;
  while (said.find("serving") == std::string::npos &&
         (count = read(out[0], buffer, sizeof(buffer))) > 0) {
    said.append(buffer, static_cast<size_t>(count));
  }
  ASSERT_NE(said.find("serving"), std::string::npos) << said;
  std::string rules_running;
  RunShellCommand("ip rule show", &rules_running);
  EXPECT_NE(rules_running.find("lookup 2022"), std::string::npos) << rules_running;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  close(in[1]);
  close(out[0]);
  std::string stale;
  RunShellCommand("ip rule show", &stale);
  ASSERT_NE(stale.find("lookup 2022"), std::string::npos) << "the crash left no rule: " << stale;

  // The new run's rules are exactly one set: the stale ones are gone, not doubled.
  Start(Outbound("socks"));
  std::string rules;
  RunShellCommand("ip rule show", &rules);
  EXPECT_EQ(rules, rules_running);
  std::string output;
  EXPECT_EQ(RunShellCommand("curl -sS --max-time 20 " + OriginUrl(0, "/whoami"), &output), 0);
  EXPECT_EQ(output, dante_->egress);
  ASSERT_EQ(library_->stop_service(), 0);
  EXPECT_EQ(Routing(), routing_before);
}

// Port 53 is hijacked into the engine's DNS, over UDP and over TCP, which asks the lab's name
// server through the proxy and caches the answer for its TTL: names resolve through the tunnel,
// a plain curl to a name reaches the origin, several queries share one TCP connection, and a
// cached answer outlives the name server with a TTL that went down, whichever transport asked
// first.
TEST_F(TunLabTest, HijackedDnsResolvesThroughTheTunnelAndCaches) {
  const std::string pid_file = dir_.File("dnsmasq.pid");
  pid_t dnsmasq = lab_->Run(
      *ss_,
      {"dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "--bind-interfaces",
       "--listen-address=" + ss_->address, "--address=/origin.lab/" + std::string(NetLab::kOrigin),
       "--local-ttl=300", "--user=root", "--pid-file=" + pid_file},
      "dnsmasq");
  ASSERT_GT(dnsmasq, 0);
  json dns = {{"servers", json::array({{{"type", "udp"},
                                        {"tag", "lab-dns"},
                                        {"server", ss_->address},
                                        {"detour", "proxy"}}})}};
  json route = {{"rules", json::array({{{"port", 53}, {"action", "hijack-dns"}}})},
                {"final", "proxy"}};
  Start(Outbound("shadowsocks"), {{"dns", dns}, {"route", route}});

  std::string output;
  // Any resolver address will do: every port-53 datagram enters the interface.
  bool answered = false;
  for (int attempt = 0; attempt < 50 && !answered; ++attempt) {
    RunShellCommand("dig +short +tries=1 +time=1 @9.9.9.9 origin.lab", &output);
    answered = output == std::string(NetLab::kOrigin) + "\n";
  }
  EXPECT_TRUE(answered) << output << ReadFile(log_);
  const std::string resolv = dir_.File("resolv.conf");
  WriteFile(resolv, "nameserver 9.9.9.9\n");
  EXPECT_EQ(RunShellCommand("unshare -m sh -c 'mount --bind " + resolv +
                                " /etc/resolv.conf && curl -sS --max-time 20 "
                                "http://origin.lab:" +
                                std::to_string(NetLab::kOriginPortBase) + "/whoami'",
                            &output),
            0)
      << output;
  EXPECT_EQ(output, ss_->egress);

  // Over TCP: a resolver's own connection, then two queries written at once on one connection,
  // the second of a name nobody asked for yet, so it goes to the name server.
  EXPECT_EQ(RunShellCommand("dig +tcp +short +tries=1 +time=5 @9.9.9.9 origin.lab", &output), 0);
  EXPECT_EQ(output, std::string(NetLab::kOrigin) + "\n") << ReadFile(log_);
  const std::vector<std::string> answers =
      DnsOverTcp("9.9.9.9", {DnsQuery(0x1234, "origin.lab"), DnsQuery(0x5678, "tcp.origin.lab")});
  ASSERT_EQ(answers.size(), 2u) << ReadFile(log_);
  in_addr origin{};
  inet_pton(AF_INET, NetLab::kOrigin, &origin);
  const std::string origin_bytes(reinterpret_cast<const char*>(&origin), 4);
  for (size_t i = 0; i < answers.size(); ++i) {
    const std::string& answer = answers[i];
    ASSERT_GE(answer.size(), 16u) << i;
    EXPECT_EQ(answer.substr(0, 2), i == 0 ? "\x12\x34" : "\x56\x78") << i;
    EXPECT_EQ(answer[3] & 0x0f, 0) << i << ": rcode";
    EXPECT_EQ(answer.substr(6, 2), std::string("\0\1", 2)) << i << ": one answer";
    // The A record's data: its length, 4, and the address.
    EXPECT_NE(answer.find(std::string("\0\4", 2) + origin_bytes), std::string::npos) << i;
  }

  lab_->Kill(dnsmasq);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // lets the TTL go down
  // UDP gets the name TCP asked for, TCP the one UDP asked for: one cache.
  for (const char* ask : {"+notcp tcp.origin.lab", "+tcp origin.lab"}) {
    SCOPED_TRACE(ask);
    EXPECT_EQ(RunShellCommand(std::string("dig +noall +answer +tries=1 +time=2 @9.9.9.9 ") + ask,
                              &output),
              0);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(
        output, match, std::regex("origin\\.lab\\.\\s+(\\d+)\\s+IN\\s+A\\s+198\\.19\\.0\\.1")))
        << output;
    const int ttl = std::stoi(match[1]);
    EXPECT_LT(ttl, 300);
    EXPECT_GT(ttl, 200);
  }
  ASSERT_EQ(library_->stop_service(), 0);
}

// The direct outbound's own sockets are bound to the physical interface (route.
// default_interface), so with the server's network routed into the interface they still leave
// through the link instead of looping back into the tunnel.
TEST_F(TunLabTest, DirectOutboundLeavesThroughTheBoundInterface) {
  constexpr int kPort = 9001;
  constexpr int kUdpPort = 5354;
  pid_t origin = lab_->Run(
      *ss_, {NetLab::OriginProgram(), "serve", std::to_string(kPort), std::to_string(kUdpPort)},
      "ss-origin");
  ASSERT_GT(origin, 0);
  ASSERT_TRUE(lab_->WaitForPort(ss_->address, kPort));
  const std::string link = "lab" + std::to_string(ss_->index);
  const std::string own = "198.18." + std::to_string(ss_->index) + ".1";
  const std::string network = "198.18." + std::to_string(ss_->index) + ".0/24";
  json config = Config({{"type", "direct"}, {"tag", "direct"}},
                       {{"route", {{"final", "direct"}, {"default_interface", link}}}});
  config["inbounds"][0]["route_address"] = json::array({network});
  StartConfig(config);
  std::string route;
  RunShellCommand("ip route get " + ss_->address, &route);
  EXPECT_NE(route.find(kInterface), std::string::npos) << route;

  std::string output;
  EXPECT_EQ(RunShellCommand("curl -sS --max-time 10 http://" + ss_->address + ":" +
                                std::to_string(kPort) + "/whoami",
                            &output),
            0)
      << output << ReadFile(log_);
  EXPECT_EQ(output, own);
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(kUdpPort);
  inet_pton(AF_INET, ss_->address.c_str(), &target.sin_addr);
  ASSERT_EQ(sendto(fd, "ping", 4, 0, reinterpret_cast<sockaddr*>(&target), sizeof(target)), 4);
  pollfd ready{fd, POLLIN, 0};
  char answer[128] = {};
  ssize_t count = poll(&ready, 1, 5000) == 1 ? recv(fd, answer, sizeof(answer), 0) : -1;
  close(fd);
  EXPECT_EQ(std::string(answer, std::max<ssize_t>(count, 0)), own + " ping");
  ASSERT_EQ(library_->stop_service(), 0);
  lab_->Kill(origin);
}

// With an IPv6 address on the interface, IPv6 takes the same path as IPv4: auto_route sends
// the origin's IPv6 address into the interface, and the system stack hands TCP (the kernel's,
// by translation to its IPv6 listener) and UDP to the direct outbound, whose sockets leave
// through the bound link; a 4 MiB download arrives byte for byte in frames of many segments;
// stopping removes the IPv6 rules too.
TEST_F(TunLabTest, SystemStackCarriesIpv6) {
  constexpr int kPort = 9002;
  constexpr int kUdpPort = 5355;
  const std::string n = std::to_string(ss_->index);
  const std::string link = "lab" + n;
  const std::string own = "fd18:" + n + "::1";
  const std::string origin = "fd18:" + n + "::2";
  std::string output;
  // IPv6 on the link to the host, and an origin there that answers with the client's address.
  ASSERT_EQ(RunShellCommand("ip -6 addr replace " + own + "/64 dev " + link + " nodad", &output), 0)
      << output;
  ASSERT_EQ(RunShellCommand("nsenter -t " + std::to_string(ss_->member) +
                                " -n ip -6 addr replace " + origin + "/64 dev eth0 nodad",
                            &output),
            0)
      << output;
  const char kOrigin6[] = R"(
import socket, sys, threading
address = sys.argv[1]
def echo():
    udp = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    udp.bind((address, int(sys.argv[3])))
    while True:
        data, peer = udp.recvfrom(65535)
        udp.sendto(peer[0].encode() + b' ' + data, peer)
threading.Thread(target=echo, daemon=True).start()
tcp = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
tcp.bind((address, int(sys.argv[2])))
tcp.listen(16)
while True:
    client, peer = tcp.accept()
    request = client.recv(4096)
    body = peer[0].encode()
    if b'/bulk' in request:
        body += bytes(range(256)) * 16384
    client.sendall(b'HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n' % len(body) + body)
    client.close()
)";
  pid_t server = lab_->Run(
      *ss_,
      {"/usr/bin/python3", "-c", kOrigin6, origin, std::to_string(kPort), std::to_string(kUdpPort)},
      "ss-origin6");
  ASSERT_GT(server, 0);
  sockaddr_in6 target{};
  target.sin6_family = AF_INET6;
  inet_pton(AF_INET6, origin.c_str(), &target.sin6_addr);
  bool listening = false;
  for (int attempt = 0; attempt < 200 && !listening; ++attempt) {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    target.sin6_port = htons(kPort);
    listening = connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof(target)) == 0;
    close(fd);
    if (!listening) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the origin is starting
    }
  }
  ASSERT_TRUE(listening) << lab_->Log("ss-origin6");
  std::string rules_before;
  RunShellCommand("ip -6 rule show", &rules_before);

  json config = Config({{"type", "direct"}, {"tag", "direct"}},
                       {{"route", {{"final", "direct"}, {"default_interface", link}}}});
  config["inbounds"][0]["address"] = json::array({"172.19.0.1/30", "fdfe:dcba:9876::1/126"});
  config["inbounds"][0]["route_address"] = json::array({"198.18." + n + ".0/24", origin + "/128"});
  // Link-sized, so the download below comes in frames of many segments.
  config["inbounds"][0]["mtu"] = 1500;
  StartConfig(config);
  RunShellCommand("ip -6 route get " + origin, &output);
  EXPECT_NE(output.find(kInterface), std::string::npos) << output;

  EXPECT_EQ(RunShellCommand("curl -6 -sS --max-time 10 http://[" + origin +
                                "]:" + std::to_string(kPort) + "/whoami",
                            &output),
            0)
      << output << ReadFile(log_);
  EXPECT_EQ(output, own);
  const std::string bulk_file = dir_.File("bulk6.bin");
  EXPECT_EQ(RunShellCommand("curl -6 -sS --max-time 30 -o " + bulk_file + " http://[" + origin +
                                "]:" + std::to_string(kPort) + "/bulk",
                            &output),
            0)
      << output;
  std::string pattern;
  for (int i = 0; i < 256; ++i) {
    pattern.push_back(static_cast<char>(i));
  }
  std::string expected_bulk = own;
  for (int i = 0; i < 16384; ++i) {
    expected_bulk += pattern;
  }
  EXPECT_TRUE(ReadFile(bulk_file) == expected_bulk) << "IPv6 download differs";
  int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  target.sin6_port = htons(kUdpPort);
  ASSERT_EQ(sendto(fd, "ping", 4, 0, reinterpret_cast<sockaddr*>(&target), sizeof(target)), 4);
  pollfd ready{fd, POLLIN, 0};
  char answer[128] = {};
  ssize_t count = poll(&ready, 1, 5000) == 1 ? recv(fd, answer, sizeof(answer), 0) : -1;
  close(fd);
  EXPECT_EQ(std::string(answer, std::max<ssize_t>(count, 0)), own + " ping");
  // Both went through the interface: the engine saw them.
  const std::string text = ReadFile(log_);
  EXPECT_NE(text.find("inbound connection to [" + origin + "]:" + std::to_string(kPort)),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(" -> [" + origin + "]:" + std::to_string(kUdpPort)), std::string::npos)
      << text;
  std::string rules_running;
  RunShellCommand("ip -6 rule show", &rules_running);
  EXPECT_NE(rules_running.find("lookup 2022"), std::string::npos) << rules_running;
  ASSERT_EQ(library_->stop_service(), 0);
  std::smatch offload;
  const std::string stopped = ReadFile(log_);
  ASSERT_TRUE(std::regex_search(stopped, offload,
                                std::regex("inbound/tun\\[tun-in\\]: (\\d+) offload frame\\(s\\)")))
      << stopped;
  EXPECT_GT(std::stoull(offload[1].str()), 0u) << stopped;
  std::string rules_after;
  RunShellCommand("ip -6 rule show", &rules_after);
  EXPECT_EQ(rules_after, rules_before);
  lab_->Kill(server);
}

// A UDP session ends after `udp_timeout` without traffic ("2s" here, the default being five
// minutes): the controller lists it while it is fresh and no longer once it has idled.
TEST_F(TunLabTest, UdpSessionsEndAfterTheirIdleTimeout) {
  json config = Config(Outbound("socks"));
  config["inbounds"][0]["udp_timeout"] = "2s";
  StartConfig(config);
  auto udp_sessions = [this] {
    int count = 0;
    const json connections = Connections();
    for (const json& connection : connections["connections"]) {
      count += connection["metadata"]["network"] == "udp" ? 1 : 0;
    }
    return count;
  };
  EXPECT_EQ(UdpEcho("ping"), dante_->egress + " ping") << ReadFile(log_);
  EXPECT_EQ(udp_sessions(), 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (udp_sessions() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(udp_sessions(), 0);
  // A new datagram opens a new session.
  EXPECT_EQ(UdpEcho("again"), dante_->egress + " again");
  ASSERT_EQ(library_->stop_service(), 0);
}

// With strict_route an interface without an IPv6 address still takes IPv6 off the machine's
// other links: it is unreachable while the engine runs (no leak around the tunnel), and reaches
// them again once it stops. Without it, IPv6 goes on past the tunnel.
TEST_F(TunLabTest, StrictRouteLeavesNoIpv6Around) {
  const std::string n = std::to_string(dante_->index);
  const std::string link = "lab" + n;
  const std::string peer = "fd19:" + n + "::2";
  std::string output;
  ASSERT_EQ(
      RunShellCommand("ip -6 addr replace fd19:" + n + "::1/64 dev " + link + " nodad", &output), 0)
      << output;
  std::string rules_before;
  RunShellCommand("ip -6 rule show", &rules_before);
  const std::string route_get = "ip -6 route get " + peer;
  ASSERT_EQ(RunShellCommand(route_get, &output), 0) << output;
  ASSERT_NE(output.find(link), std::string::npos) << output;

  for (bool strict : {false, true}) {
    SCOPED_TRACE(strict ? "strict_route" : "no strict_route");
    json config = Config(Outbound("socks"));
    config["inbounds"][0]["strict_route"] = strict;
    StartConfig(config);
    const int status = RunShellCommand(route_get, &output);
    if (strict) {
      EXPECT_NE(status, 0) << output;
      EXPECT_NE(output.find("unreachable"), std::string::npos) << output;
    } else {
      EXPECT_EQ(status, 0) << output;
      EXPECT_NE(output.find(link), std::string::npos) << output;
    }
    // IPv4 still goes through the tunnel.
    EXPECT_EQ(RunShellCommand("curl -sS --max-time 20 " + OriginUrl(0, "/whoami"), &output), 0)
        << output;
    EXPECT_EQ(output, dante_->egress);
    ASSERT_EQ(library_->stop_service(), 0);
    std::string rules_after;
    RunShellCommand("ip -6 rule show", &rules_after);
    EXPECT_EQ(rules_after, rules_before);
    EXPECT_EQ(RunShellCommand(route_get, &output), 0) << output;
  }
}

}  // namespace
}  // namespace korvane_test
