// ClashApiClient against a scripted controller on a real loopback socket: which answers count as
// a body, the time-outs, the latency parser, and the fixed-group latency test's attempts, waits
// and cancellation, counted in requests.

#include "clash/clash_api_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scripted_controller.h"
#include "tests/support/test_files.h"

namespace korvane_test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kGroupDelayPath[] = "/group/proxy/delay";

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(ClashApiClientTest, OnlyAStatus200WithACompleteBodyIsABody) {
  struct Case {
    const char* what;
    ScriptedReply reply;
    bool has_body;
  };
  ScriptedReply garbage;
  garbage.raw = "this is not HTTP at all\r\n\r\n";
  ScriptedReply truncated = Reply(200, std::string(64 * 1024, 'x'));
  truncated.close_mid_body = true;
  const std::vector<Case> cases = {
      {"200 with JSON", Reply(200, R"({"delay":12})"), true},
      {"200 with an empty body", Reply(200, ""), true},
      {"204 No Content", Reply(204, ""), false},
      {"404", Reply(404, R"({"message":"Resource not found"})"), false},
      {"500", Reply(500, R"({"proxy":10})"), false},
      {"not HTTP", garbage, false},
      {"closed mid-body", truncated, false},
      {"16 MiB body", Reply(200, std::string(16 * 1024 * 1024, 'a')), false},
      {"a body just under the limit",
       Reply(200, std::string(ClashApiClient::kMaxBodyBytes - 1, 'b')), true},
  };
  for (const Case& c : cases) {
    ScriptedController controller;
    ASSERT_GT(controller.port(), 0);
    controller.Set("/x", c.reply);
    std::optional<std::string> body = ClashApiClient::httpGet(controller.base() + "/x", 10000);
    EXPECT_EQ(body.has_value(), c.has_body) << c.what;
    if (body && c.has_body) {
      EXPECT_EQ(*body, c.reply.body) << c.what;
    }
    EXPECT_EQ(controller.Count("/x"), 1) << c.what;
  }
}

// Requests from several threads at once, the first ones racing the one-time initialisation.
// Requests go straight to the controller, with the secret as a bearer token, whatever proxy the
// environment names: the desktop-proxy code sets those variables while requests run.
TEST(ClashApiClientTest, BearerSecretAndNoProxyFromTheEnvironment) {
  ScriptedController controller;
  ScriptedController proxy;
  controller.Set("/x", Reply(200, "direct"));
  proxy.SetDefault(Reply(200, "through the proxy"));
  std::vector<std::unique_ptr<ScopedEnv>> environment;
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    environment.push_back(std::make_unique<ScopedEnv>(name, nullptr));
  }
  for (const char* name : {"http_proxy", "all_proxy", "ALL_PROXY"}) {
    environment.push_back(std::make_unique<ScopedEnv>(name, proxy.base().c_str()));
  }
  EXPECT_EQ(ClashApiClient::httpGet(controller.base() + "/x", 5000, "s3 cr\"et"), "direct");
  EXPECT_EQ(ClashApiClient::httpGet(controller.base() + "/x", 5000), "direct");
  // A line break would smuggle in a header of its own: nothing is sent.
  EXPECT_FALSE(ClashApiClient::httpGet(controller.base() + "/x", 5000, "a\r\nX-Evil: 1"));
  EXPECT_TRUE(proxy.Requests().empty());
  const std::vector<ScriptedRequest> requests = controller.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].headers.at("authorization"), "Bearer s3 cr\"et");
  EXPECT_EQ(requests[1].headers.count("authorization"), 0u);
}

TEST(ClashApiClientTest, ConcurrentRequests) {
  ScriptedController controller;
  controller.Set("/proxies/auto", Reply(200, R"({"now":"node_1"})"));
  std::vector<std::thread> threads;
  std::atomic<int> bodies{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&controller, &bodies] {
      std::optional<std::string> body =
          ClashApiClient::httpGet(controller.base() + "/proxies/auto", 10000);
      if (body && *body == R"({"now":"node_1"})") {
        ++bodies;
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(bodies.load(), 8);
  EXPECT_EQ(controller.Count("/proxies/auto"), 8);
}

TEST(ClashApiClientTest, AnOpenPortThatNeverAnswersGivesUpAfterTheTimeOut) {
  ScriptedController controller;
  ScriptedReply silent;
  silent.never_answer = true;
  controller.Set("/version", silent);
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(ClashApiClient::isApiAvailable(controller.port()));
  const long long elapsed = MsSince(start);
  EXPECT_GE(elapsed, 950);
  EXPECT_LT(elapsed, 5000);
  EXPECT_EQ(controller.Count("/version"), 1);

  // The same controller answering: available.
  controller.Set("/version", Reply(200, R"({"version":"x"})"));
  EXPECT_TRUE(ClashApiClient::isApiAvailable(controller.port()));
}

TEST(ClashApiClientTest, ParseUrlTestResponse) {
  const std::vector<std::pair<std::string, int>> cases = {
      {R"({"proxy":120})", 120},
      {R"({"proxy" :  77 })", 77},
      // "proxy-main" wins wherever each stands.
      {R"({"proxy-main":80,"proxy":120})", 80},
      {R"({"proxy":120,"proxy-main":80})", 80},
      // No other key counts.
      {R"({"delay":50})", -1},
      {R"({"proxy":"50"})", -1},
      {R"({"proxy":0})", 0},
      {"", -1},
      {"garbage \"proxy\": ", -1},
      // Numbers too large for an int are no number; the other key still answers.
      {R"({"proxy":99999999999})", -1},
      {R"({"proxy-main":99999999999,"proxy":7})", 7},
      {R"({"proxy":2147483647})", 2147483647},
      {R"({"proxy":2147483648})", -1},
  };
  for (const auto& [body, latency] : cases) {
    EXPECT_EQ(ClashApiClient::parseUrlTestResponse(body), latency) << body;
  }
  // Long answers are scanned without exhausting the stack.
  const std::string open_string = "{\"" + std::string(8 * 1024 * 1024, 'k');
  EXPECT_EQ(ClashApiClient::parseUrlTestResponse(open_string), -1);
  const std::string digits = "{\"proxy\":" + std::string(4 * 1024 * 1024, '9') + "}";
  EXPECT_EQ(ClashApiClient::parseUrlTestResponse(digits), -1);
}

TEST(ClashApiClientTest, PercentEncodeKeepsOnlyUnreservedBytes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"node_1.a-b~", "node_1.a-b~"},
      {"US West/1", "US%20West%2F1"},
      {"\xC3\xA9", "%C3%A9"},
      {"a?b#c\"d'e%f+g&h=i", "a%3Fb%23c%22d%27e%25f%2Bg%26h%3Di"},
      {"", ""},
  };
  for (const auto& [text, encoded] : cases) {
    EXPECT_EQ(ClashApiClient::percentEncode(text), encoded) << text;
  }
}

// The fixed-group test: attempts, their spacing and cancellation, counted at the controller.
class UrlTestOnPortTest : public ::testing::Test {
 protected:
  UrlTestResult Run(int attempts, const std::function<bool()>& cancel = nullptr) {
    return ClashApiClient::performUrlTestOnPort(kTestUrl, controller_.port(), 2000, attempts,
                                                cancel);
  }
  std::vector<Clock::time_point> GroupRequestTimes() const {
    std::vector<Clock::time_point> times;
    for (const auto& request : controller_.Requests()) {
      if (request.path == kGroupDelayPath) {
        times.push_back(request.at);
      }
    }
    return times;
  }

  // Characters that would end or extend the query if they were not encoded.
  static constexpr char kTestUrl[] = "https://127.0.0.1:9/generate_204?a=1&timeout=1#frag ment";
  ScriptedController controller_;
};

TEST_F(UrlTestOnPortTest, ThreeAttemptsAgainstAFailingControllerAreOneSecondApart) {
  controller_.Set("/version", Reply(200, "{}"));
  controller_.Set(kGroupDelayPath, Reply(503, R"({"message":"An error occurred"})"));
  const UrlTestResult result = Run(3);
  EXPECT_EQ(result.latency, -1);
  EXPECT_EQ(result.error, "Failed to perform URLTest after 3 attempts");
  const std::vector<Clock::time_point> times = GroupRequestTimes();
  ASSERT_EQ(times.size(), 3u);
  for (size_t i = 1; i < times.size(); ++i) {
    EXPECT_GE(times[i] - times[i - 1], std::chrono::milliseconds(950)) << i;
  }
  EXPECT_EQ(controller_.Count("/version"), 1);
  // The test URL arrives whole as one query value; the time-out is the given one.
  for (const auto& request : controller_.Requests()) {
    if (request.path == kGroupDelayPath) {
      EXPECT_EQ(request.query.at("url"), kTestUrl);
      EXPECT_EQ(request.query.at("timeout"), "2000");
      EXPECT_EQ(request.query.size(), 2u) << request.target;
    }
  }
}

TEST_F(UrlTestOnPortTest, Outcomes) {
  struct Case {
    const char* what;
    int attempts;
    std::string group_body;
    int latency;
    std::string error;
    int group_requests;
  };
  const std::vector<Case> cases = {
      {"success at once", 3, R"({"proxy":42})", 42, "", 1},
      {"proxy-main preferred", 2, R"({"proxy":42,"proxy-main":17})", 17, "", 1},
      {"zero is no latency", 2, R"({"proxy":0})", -1, "Failed to perform URLTest after 2 attempts",
       2},
      {"huge is no latency", 1, R"({"proxy":4294967296})", -1,
       "Failed to perform URLTest after 1 attempts", 1},
      {"attempts 0: no request", 0, R"({"proxy":42})", -1,
       "Failed to perform URLTest after 0 attempts", 0},
      {"negative attempts: no request", -2, R"({"proxy":42})", -1,
       "Failed to perform URLTest after -2 attempts", 0},
  };
  for (const Case& c : cases) {
    ScriptedController controller;
    controller.Set("/version", Reply(200, "{}"));
    controller.Set(kGroupDelayPath, Reply(200, c.group_body));
    const UrlTestResult result = ClashApiClient::performUrlTestOnPort(
        "https://a/generate_204", controller.port(), 1000, c.attempts, nullptr);
    EXPECT_EQ(result.latency, c.latency) << c.what;
    EXPECT_EQ(result.error, c.error) << c.what;
    EXPECT_EQ(controller.Count(kGroupDelayPath), c.group_requests) << c.what;
    EXPECT_EQ(controller.Count("/version"), c.attempts > 0 ? 1 : 0) << c.what;
  }
}

TEST_F(UrlTestOnPortTest, CancellationStopsBeforeTheNextRequest) {
  controller_.Set("/version", Reply(200, "{}"));
  controller_.Set(kGroupDelayPath, Reply(500, ""));
  // Turns true while the test waits before its second attempt.
  auto cancel = [this]() {
    std::vector<Clock::time_point> times = GroupRequestTimes();
    return !times.empty() && Clock::now() - times[0] > std::chrono::milliseconds(400);
  };
  const UrlTestResult result = Run(3, cancel);
  EXPECT_EQ(result.error, "URLTest cancelled");
  EXPECT_EQ(result.latency, -1);
  EXPECT_EQ(controller_.Count(kGroupDelayPath), 1);

  // Cancelled from the start: not even the availability probe.
  ScriptedController idle;
  const UrlTestResult early =
      ClashApiClient::performUrlTestOnPort(kTestUrl, idle.port(), 1000, 3, [] { return true; });
  EXPECT_EQ(early.error, "URLTest cancelled before starting");
  // Cancelled during the settling wait.
  std::atomic<int> asked{0};
  const UrlTestResult settling = ClashApiClient::performUrlTestOnPort(
      kTestUrl, idle.port(), 1000, 3, [&asked] { return asked++ > 0; });
  EXPECT_EQ(settling.error, "URLTest cancelled during initialization");
  EXPECT_TRUE(idle.Requests().empty());
}

}  // namespace
}  // namespace korvane_test
