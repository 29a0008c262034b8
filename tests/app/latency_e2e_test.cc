// The latency methods end to end: the bundle's korvane with the reference engine, whose
// controller measures two SOCKS5 outbounds served by local servers that hold their greeting
// answer 50 ms and 200 ms (and a third that holds 3 s), driven over the UI bridge. A selector
// "proxy" has an automatic group over the two as its default, named so that it reaches the
// controller only percent-encoded.

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "clash/clash_api_client.h"
#include "tests/app/raw_bridge.h"
#include "tests/support/host_fixture.h"
#include "tests/support/loopback_ports.h"
#include "tests/support/tagged_line.h"
#include "tools/korvanectl/value_json.h"

namespace korvane_test {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 60000;
constexpr char kVpn[] = "com.quorandel.korvane/vpn";
constexpr int kFastHoldMs = 50;
constexpr int kSlowHoldMs = 200;
constexpr int kStuckHoldMs = 3000;
// Space, "/", "%", "?", "#" and a two-byte character: a request with the name as it is fails.
constexpr char kAutoGroup[] = "auto_EU West/1 50%?#\xC3\xA9";

// A SOCKS5 server on 127.0.0.1 that answers the greeting "no authentication" after holding it
// for a fixed time, and nothing more: what the engine's delay probe measures.
class HoldingSocksServer {
 public:
  explicit HoldingSocksServer(int hold_ms) : hold_ms_(hold_ms) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listen_fd_ >= 0 &&
        bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        listen(listen_fd_, 64) == 0 &&
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
      acceptor_ = std::thread([this] { Accept(); });
    }
  }
  ~HoldingSocksServer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    stopped_.notify_all();
    shutdown(listen_fd_, SHUT_RDWR);
    if (acceptor_.joinable()) {
      acceptor_.join();
    }
    for (std::thread& t : sessions_) {
      t.join();
    }
    close(listen_fd_);
  }
  int port() const { return port_; }
  int greetings() const { return greetings_.load(); }

 private:
  void Accept() {
    while (!stopping_) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        return;
      }
      sessions_.emplace_back([this, fd] { Serve(fd); });
    }
  }
  void Serve(int fd) {
    char greeting[3];
    size_t got = 0;
    while (got < sizeof(greeting)) {
      pollfd p{fd, POLLIN, 0};
      if (stopping_ || poll(&p, 1, 100) < 0) {
        break;
      }
      if ((p.revents & POLLIN) == 0) {
        continue;
      }
      ssize_t n = recv(fd, greeting + got, sizeof(greeting) - got, 0);
      if (n <= 0) {
        break;
      }
      got += static_cast<size_t>(n);
    }
    if (got == sizeof(greeting)) {
      ++greetings_;
      std::unique_lock<std::mutex> lock(mutex_);
      stopped_.wait_for(lock, std::chrono::milliseconds(hold_ms_),
                        [this] { return stopping_.load(); });
      lock.unlock();
      send(fd, "\x05\x00", 2, MSG_NOSIGNAL);
    }
    close(fd);
  }

  int hold_ms_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> greetings_{0};
  std::mutex mutex_;
  std::condition_variable stopped_;
  std::vector<std::thread> sessions_;
  std::thread acceptor_;
};

// Selects |member| in the selector |group| through the controller; the HTTP status.
long PutSelection(int controller_port, const std::string& group, const std::string& member) {
  CURL* curl = curl_easy_init();
  const std::string url = "http://127.0.0.1:" + std::to_string(controller_port) + "/proxies/" +
                          ClashApiClient::percentEncode(group);
  const std::string body = json{{"name", member}}.dump();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PUT");
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
  long status = 0;
  if (curl_easy_perform(curl) == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  }
  curl_easy_cleanup(curl);
  return status;
}

// The result of a "success <json>" answer; null when the answer is anything else.
json ResultOf(const std::string& answer) {
  if (answer.rfind("success ", 0) != 0) {
    return nullptr;
  }
  return json::parse(answer.substr(8), nullptr, false);
}

class LatencyE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(fast_.port(), 0);
    ASSERT_GT(slow_.port(), 0);
    ASSERT_GT(stuck_.port(), 0);
    HostOptions options;
    options.window_manager = "";
    std::string error;
    ASSERT_TRUE(host_.Start(options, &error)) << error;
    ASSERT_TRUE(bridge_.Connect(host_.socket_path(), kTimeoutMs, &error)) << error;
    controller_port_ = FreePort();
    ASSERT_GT(controller_port_, 0);
  }

  std::string Config() const {
    auto socks = [](const char* tag, int port) {
      return json{{"type", "socks"},
                  {"tag", tag},
                  {"server", "127.0.0.1"},
                  {"server_port", port},
                  {"version", "5"}};
    };
    json config = {
        {"log", {{"level", "info"}}},
        {"inbounds", json::array()},
        {"outbounds",
         {{{"type", "selector"},
           {"tag", "proxy"},
           {"outbounds", {kAutoGroup, "node_1", "node_2", "node_3"}},
           {"default", kAutoGroup}},
          {{"type", "urltest"},
           {"tag", kAutoGroup},
           {"outbounds", {"node_1", "node_2"}},
           {"interval", "3m"},
           {"tolerance", 50}},
          socks("node_1", fast_.port()),
          socks("node_2", slow_.port()),
          socks("node_3", stuck_.port())}},
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
  uint32_t Send(const std::string& method, const json& args = nullptr) {
    korvane::FlValuePtr value = args.is_null() ? nullptr : korvane::JsonToValue(args);
    return bridge_.Send(kVpn, method, value.get());
  }

  // Connects and waits until the automatic group has made its first choice.
  void ConnectAndWaitForTheFirstCheck() {
    ASSERT_EQ(Call("loadVPNPreference", {{"config", Config()}, {"autoConfigureProxy", false}}),
              "success true");
    ASSERT_EQ(Call("isRunning"), "success true") << host_.Stderr();
    const std::string url = "http://127.0.0.1:" + std::to_string(controller_port_) + "/proxies/" +
                            ClashApiClient::percentEncode(kAutoGroup);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
    std::string now;
    while (Clock::now() < deadline) {
      std::optional<std::string> body = ClashApiClient::httpGet(url, 5000);
      json info = body ? json::parse(*body, nullptr, false) : json();
      if (info.is_object() && info.value("now", "") != "") {
        now = info["now"];
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(now, "node_1") << "the automatic group chose the faster node";
  }

  // The smallest of five "performUrlTest" latencies (-1 when one failed, with the answer): the
  // sanitizers and a loaded machine add to single runs.
  int BestUrlTestLatency(std::string* failure) {
    int best = -1;
    for (int i = 0; i < 5; ++i) {
      const std::string answer = Call("performUrlTest", json::object());
      json result = ResultOf(answer);
      if (!result.is_number_integer()) {
        *failure = answer;
        return -1;
      }
      best = best < 0 ? result.get<int>() : std::min(best, result.get<int>());
    }
    return best;
  }

  // The best of three reports: the last one's tag and table, the smallest latency.
  json BestAutoSelectorInfo() {
    json best;
    for (int i = 0; i < 3; ++i) {
      json result = ResultOf(Call("getAutoSelectorInfo", json::object()));
      if (!result.is_object()) {
        return result;
      }
      if (best.is_null() || result["selectedLatency"] < best["selectedLatency"]) {
        best = result;
      }
    }
    return best;
  }

  HoldingSocksServer fast_{kFastHoldMs};
  HoldingSocksServer slow_{kSlowHoldMs};
  HoldingSocksServer stuck_{kStuckHoldMs};
  int controller_port_ = 0;
  HostFixture host_;
  RawBridge bridge_;
};

bool WithinFifth(int measured, int expected) {
  return measured >= expected * 4 / 5 && measured <= expected * 6 / 5;
}

TEST_F(LatencyE2ETest, LatencyAndSelectionFollowTheController) {
  ConnectAndWaitForTheFirstCheck();

  // The automatic group's choice, the faster node, is what the test measures.
  std::string failure;
  const int latency = BestUrlTestLatency(&failure);
  EXPECT_TRUE(WithinFifth(latency, kFastHoldMs)) << latency << " " << failure;

  json info = BestAutoSelectorInfo();
  ASSERT_TRUE(info.is_object()) << info;
  EXPECT_EQ(info["selectedTag"], "node_1");
  EXPECT_GE(info["selectedLatency"].get<int>(), kFastHoldMs) << info;
  EXPECT_LT(info["selectedLatency"].get<int>(), kSlowHoldMs) << info;
  // The group's table is the controller's JSON: member names to whole milliseconds.
  json table = json::parse(info["allLatencies"].get<std::string>(), nullptr, false);
  ASSERT_TRUE(table.is_object()) << info;
  for (const auto& [member, delay] : table.items()) {
    EXPECT_TRUE(member == "node_1" || member == "node_2") << member;
    EXPECT_TRUE(delay.is_number_integer()) << member;
  }

  // The selector switched to the slow node through the controller: both answers follow.
  ASSERT_EQ(PutSelection(controller_port_, "proxy", "node_2"), 204);
  const int slow_latency = BestUrlTestLatency(&failure);
  EXPECT_TRUE(WithinFifth(slow_latency, kSlowHoldMs)) << slow_latency << " " << failure;
  info = BestAutoSelectorInfo();
  ASSERT_TRUE(info.is_object()) << info;
  EXPECT_EQ(info["selectedTag"], "node_2");
  EXPECT_GE(info["selectedLatency"].get<int>(), kSlowHoldMs) << info;
  EXPECT_LT(info["selectedLatency"].get<int>(), 2 * kSlowHoldMs) << info;
  // No automatic group on the way: no table.
  EXPECT_EQ(info["allLatencies"], "{}");

  const std::string out = host_.Stdout();
  // The automatic group's table came from the controller, asked for by the group's encoded name.
  EXPECT_EQ(out.find(korvane_test::Tagged(korvane::kVPNManagerTag,
                                          "Warning: Failed to fetch latencies for group")),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(korvane_test::Tagged(korvane::kVPNManagerTag,
                                          "URLTest via selector proxy leaf node_1: ")),
            std::string::npos);
  EXPECT_NE(out.find(korvane_test::Tagged(korvane::kVPNManagerTag,
                                          "URLTest via selector proxy leaf node_2: ")),
            std::string::npos);
  EXPECT_NE(
      out.find(korvane_test::Tagged(korvane::kVPNManagerTag,
                                    "Sending AutoSelector success response: tag=node_2, latency=")),
      std::string::npos);
}

// While a test waits on a 3 s probe: a second test is refused, other methods are answered at
// once, and the first test still answers.
TEST_F(LatencyE2ETest, OneTestAtATimeWhileOtherMethodsAnswer) {
  ConnectAndWaitForTheFirstCheck();
  ASSERT_EQ(PutSelection(controller_port_, "proxy", "node_3"), 204);
  const int greetings = stuck_.greetings();
  const uint32_t first = Send("performUrlTest", json{{"timeout", 5000}});
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
  while (stuck_.greetings() == greetings && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GT(stuck_.greetings(), greetings) << "the probe reached the slow node";

  EXPECT_EQ(Call("performUrlTest", json::object()),
            "error URL_TEST_IN_PROGRESS: A URL test is already in progress");
  std::vector<long long> round_trips;
  for (int i = 0; i < 5; ++i) {
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(Call("getStatus"), "success \"connected\"");
    round_trips.push_back(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  }
  std::sort(round_trips.begin(), round_trips.end());
  EXPECT_LT(round_trips[2], 50) << "median getStatus round trip during the probe";

  json result = ResultOf(bridge_.WaitForReply(first, kTimeoutMs));
  ASSERT_TRUE(result.is_number_integer()) << result;
  EXPECT_GE(result.get<int>(), kStuckHoldMs);
  EXPECT_EQ(bridge_.reply_counts().at(first), 1);
}

TEST_F(LatencyE2ETest, DisconnectDuringATest) {
  ConnectAndWaitForTheFirstCheck();
  ASSERT_EQ(PutSelection(controller_port_, "proxy", "node_3"), 204);
  const int greetings = stuck_.greetings();
  const uint32_t test = Send("performUrlTest", json::object());
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
  while (stuck_.greetings() == greetings && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GT(stuck_.greetings(), greetings);
  EXPECT_EQ(Call("disconnect"), "success true");
  EXPECT_EQ(bridge_.WaitForReply(test, kTimeoutMs),
            "error URL_TEST_FAILED: VPN disconnected during URLTest");
  // Not connected any more: refused before any worker.
  EXPECT_EQ(Call("performUrlTest", json::object()),
            "error VPN_NOT_CONNECTED: VPN must be connected to perform URL test");
}

// The user quits while a test waits on the slow node: the host shuts down cleanly.
TEST_F(LatencyE2ETest, QuitDuringATest) {
  ConnectAndWaitForTheFirstCheck();
  ASSERT_EQ(PutSelection(controller_port_, "proxy", "node_3"), 204);
  const int greetings = stuck_.greetings();
  Send("performUrlTest", json::object());
  Send("getAutoSelectorInfo", json::object());
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
  while (stuck_.greetings() == greetings && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GT(stuck_.greetings(), greetings);
  EXPECT_EQ(host_.StopHost(), 0) << host_.Stderr();
  EXPECT_EQ(host_.Stderr().find("Sanitizer"), std::string::npos) << host_.Stderr();
  EXPECT_EQ(host_.Stderr().find("CRITICAL"), std::string::npos) << host_.Stderr();
}

}  // namespace
}  // namespace korvane_test
