// The controller queries of the latency workers: the controller port in a configuration, tags
// and URLs in request paths, the JSON searches, and the selector chains against a scripted
// controller, counted in requests.

#include "clash/clash_queries.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "clash/json_scan.h"
#include "tests/support/scripted_controller.h"

namespace korvane_test {
namespace {

using Clock = std::chrono::steady_clock;

// The scripted controller as the queries address it, without a secret.
korvane::ClashController Api(const ScriptedController& controller) {
  return korvane::ClashController{controller.base(), ""};
}

// A group's /proxies/ answer as the controller writes it.
ScriptedReply Now(const std::string& now) {
  return Reply(200, R"({"type":"URLTest","name":"g","udp":true,"history":[],"now":")" + now +
                        R"(","all":["a","b"]})");
}

TEST(ClashQueriesTest, ExtractClashApiPort) {
  const std::vector<std::pair<std::string, std::optional<int>>> cases = {
      {R"({"experimental":{"clash_api":{"external_controller":"127.0.0.1:9090"}}})", 9090},
      {R"({"external_controller" :  "127.0.0.1:45678"})", 45678},
      {"{\"external_controller\"\n:\t\"127.0.0.1:1\"}", 1},
      // Only exactly 127.0.0.1 counts.
      {R"({"external_controller":"0.0.0.0:9090"})", std::nullopt},
      {R"({"external_controller":"localhost:9090"})", std::nullopt},
      {R"({"external_controller":"[::1]:9090"})", std::nullopt},
      {R"({"external_controller":"127.0.0.1:"})", std::nullopt},
      {R"({"external_controller":"127.0.0.1:90a"})", std::nullopt},
      {R"({"external_controller":""})", std::nullopt},
      {R"({"inbounds":[]})", std::nullopt},
      // The first usable one wins.
      {R"({"external_controller":"0.0.0.0:1","x":{"external_controller":"127.0.0.1:2"}})", 2},
      // Too large for an int: no port, no crash.
      {R"({"external_controller":"127.0.0.1:99999999999"})", std::nullopt},
  };
  for (const auto& [config, port] : cases) {
    EXPECT_EQ(korvane::ExtractClashApiPort(config), port) << config;
  }
}

TEST(ClashQueriesTest, ExtractClashApiSecret) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"experimental":{"clash_api":{"external_controller":"127.0.0.1:9090","secret":"s3"}}})",
       "s3"},
      {R"({"clash_api" : { "secret" : "spaced" }})", "spaced"},
      // JSON escapes are decoded as the engine decodes them.
      {R"({"clash_api":{"secret":"q\"b\\s\/e\u00e9\ud83d\ude00"}})",
       "q\"b\\s/e\xC3\xA9\xF0\x9F\x98\x80"},
      // Only the controller's own member counts: not one of another object, not one nested
      // deeper, not text inside a string.
      {R"({"outbounds":[{"secret":"no"}],"experimental":{"clash_api":{"secret":"yes"}}})", "yes"},
      {R"({"clash_api":{"x":{"secret":"no"},"y":["secret"],"secret":"yes"}})", "yes"},
      {R"({"clash_api":{"default_mode":"\"secret\":\"no\"","secret":"yes"}})", "yes"},
      // None, or none that a header can carry.
      {R"({"clash_api":{"external_controller":"127.0.0.1:9090"},"secret":"outside"})", ""},
      {R"({"clash_api":{"secret":""}})", ""},
      {R"({"clash_api":{"secret":5}})", ""},
      {R"({"clash_api":{"secret":"a\nb"}})", ""},
      {R"({"clash_api":{"secret":"a\r\nX-Evil: 1"}})", ""},
      {R"({"clash_api":{"secret":"\ud83d"}})", ""},
      {R"({"clash_api":{"secret":"\q"}})", ""},
      {R"({"clash_api":{"secret":"unterminated)", ""},
      {R"({"clash_api":"secret"})", ""},
      {"", ""},
  };
  for (const auto& [config, secret] : cases) {
    EXPECT_EQ(korvane::ExtractClashApiSecret(config), secret) << config;
  }
  const std::optional<korvane::ClashController> controller = korvane::FindClashController(
      R"({"experimental":{"clash_api":{"external_controller":"127.0.0.1:9090","secret":"s3"}}})");
  ASSERT_TRUE(controller.has_value());
  EXPECT_EQ(controller->base, "http://127.0.0.1:9090");
  EXPECT_EQ(controller->secret, "s3");
  EXPECT_FALSE(korvane::FindClashController(R"({"clash_api":{"secret":"s3"}})").has_value());
}

// Every query carries the controller's secret.
TEST(ClashQueriesTest, QueriesCarryTheSecret) {
  ScriptedController controller;
  controller.Set("/proxies/proxy", Now("node_1"));
  controller.Set("/proxies/node_1/delay", Reply(200, R"({"delay":31})"));
  const korvane::ClashController api{controller.base(), "s3cret"};
  EXPECT_EQ(korvane::ResolveActiveSelector(api, "proxy").leaf, "node_1");
  EXPECT_EQ(korvane::FetchTagDelay(api, "node_1", 2500), 31);
  const auto requests = controller.Requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const ScriptedRequest& request : requests) {
    auto header = request.headers.find("authorization");
    EXPECT_EQ(header == request.headers.end() ? "" : header->second, "Bearer s3cret")
        << request.target;
  }
}

TEST(ClashQueriesTest, EncodeClashPathSegment) {
  EXPECT_EQ(korvane::EncodeClashPathSegment("node_1.a-b~"), "node_1.a-b~");
  EXPECT_EQ(korvane::EncodeClashPathSegment("US West/1"), "US%20West%2F1");
  EXPECT_EQ(korvane::EncodeClashPathSegment("\xC3\xA9"), "%C3%A9");
  EXPECT_EQ(korvane::EncodeClashPathSegment("a?b#c\"d%"), "a%3Fb%23c%22d%25");
}

TEST(ClashQueriesTest, ExtractJsonIntField) {
  struct Case {
    std::string json;
    std::string field;
    std::optional<int> value;
  };
  const std::vector<Case> cases = {
      {R"({"delay":187})", "delay", 187},
      {R"({"delay": -1})", "delay", -1},
      {R"({"message":"Timeout"})", "delay", std::nullopt},
      {R"({"delay":"187"})", "delay", std::nullopt},
      // The first occurrence anywhere wins.
      {R"({"history":[{"delay":5}],"delay":9})", "delay", 5},
      // The field is literal text: "." is no wildcard, quotes and spaces are part of it.
      {R"({"axb":5,"a.b":6})", "a.b", 6},
      {R"({"US West/1":33})", "US West/1", 33},
      // Out of int range: no value.
      {R"({"delay":2147483648})", "delay", std::nullopt},
      {R"({"delay":-2147483649})", "delay", std::nullopt},
      {R"({"delay":-2147483648})", "delay", INT_MIN},
      {"garbage", "delay", std::nullopt},
      {R"({"delay":)", "delay", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(korvane::ExtractJsonIntField(c.json, c.field), c.value) << c.json;
  }
}

TEST(ClashQueriesTest, BestGroupMember) {
  struct Case {
    const char* what;
    std::string body;
    bool node_keys;
    std::string key;  // "" for none
    int value;
  };
  const std::vector<Case> cases = {
      {"smallest positive", R"({"a":300,"b":0,"c":120})", false, "c", 120},
      {"ties go to the first", R"({"a":90,"b":90})", false, "a", 90},
      {"zero only", R"({"a":0,"b":0})", false, "", 0},
      {"empty", "{}", false, "", 0},
      {"huge numbers are skipped", R"({"a":99999999999,"b":15,"c":4294967296})", false, "b", 15},
      {"the int maximum is never below the start", R"({"a":2147483647})", false, "", 0},
      {"string values do not count", R"({"a":"5","b":7})", false, "b", 7},
      {"node keys only", R"({"auto":5,"node_1":210,"node_3":95,"node_x":1})", true, "node_3", 95},
      {"no node keys", R"({"hk-01":5,"jp-01":7})", true, "", 0},
      {"huge node numbers are skipped", R"({"node_1":99999999999,"node_2":40})", true, "node_2",
       40},
      {"garbage", "<html>\"</html>", false, "", 0},
      {"truncated", R"({"a":12,"b":)", false, "a", 12},
  };
  for (const Case& c : cases) {
    std::optional<korvane::JsonMember> best = korvane::BestJsonMember(c.body, c.node_keys);
    if (c.key.empty()) {
      EXPECT_FALSE(best.has_value()) << c.what;
      continue;
    }
    ASSERT_TRUE(best.has_value()) << c.what;
    EXPECT_EQ(best->key, c.key) << c.what;
    EXPECT_EQ(best->value, c.value) << c.what;
  }
  // A long answer is scanned without exhausting the stack.
  EXPECT_FALSE(korvane::BestJsonMember("\"" + std::string(8 << 20, 'k'), false).has_value());
}

TEST(ClashQueriesTest, DelayRequestTimeout) {
  EXPECT_EQ(korvane::DelayRequestTimeout(0), 4000);
  EXPECT_EQ(korvane::DelayRequestTimeout(3000), 4000);
  EXPECT_EQ(korvane::DelayRequestTimeout(4000), 4000);
  EXPECT_EQ(korvane::DelayRequestTimeout(4001), 5001);
  EXPECT_EQ(korvane::DelayRequestTimeout(5000), 6000);
  EXPECT_EQ(korvane::DelayRequestTimeout(INT_MAX), INT_MAX);
  EXPECT_EQ(korvane::DelayRequestTimeout(-5), 4000);
}

// Selector chains: the result and the number of "/proxies/" reads.
TEST(ClashQueriesTest, ResolveActiveSelectorChains) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, ScriptedReply>> replies;
    bool responded;
    std::string group;
    std::string leaf;
    int requests;
  };
  const std::vector<Case> cases = {
      {"direct node", {{"/proxies/proxy", Now("node_5")}}, true, "", "node_5", 1},
      {"one automatic group",
       {{"/proxies/proxy", Now("auto")}, {"/proxies/auto", Now("node_2")}},
       true,
       "auto",
       "node_2",
       2},
      {"automatic group with nothing in use",
       {{"/proxies/proxy", Now("auto_eu")}, {"/proxies/auto_eu", Now("")}},
       true,
       "auto_eu",
       "",
       2},
      {"automatic group not answering", {{"/proxies/proxy", Now("auto")}}, true, "auto", "", 2},
      {"three nested groups",
       {{"/proxies/proxy", Now("auto_1")},
        {"/proxies/auto_1", Now("auto_2")},
        {"/proxies/auto_2", Now("auto_3")},
        {"/proxies/auto_3", Now("leaf")}},
       true,
       "auto_3",
       "leaf",
       4},
      {"four nested groups",
       {{"/proxies/proxy", Now("auto_1")},
        {"/proxies/auto_1", Now("auto_2")},
        {"/proxies/auto_2", Now("auto_3")},
        {"/proxies/auto_3", Now("auto_4")},
        {"/proxies/auto_4", Now("leaf")}},
       true,
       "auto_4",
       "",
       4},
      {"empty now of the selector", {{"/proxies/proxy", Now("")}}, true, "", "", 1},
      {"selector not found", {}, false, "", "", 1},
      {"selector answers 500",
       {{"/proxies/proxy", Reply(500, R"({"now":"x"})")}},
       false,
       "",
       "",
       1},
      {"selector without now",
       {{"/proxies/proxy", Reply(200, R"({"type":"Direct"})")}},
       false,
       "",
       "",
       1},
      {"garbage", {{"/proxies/proxy", Reply(200, "\x01\x02\"now\":")}}, false, "", "", 1},
  };
  for (const Case& c : cases) {
    ScriptedController controller;
    for (const auto& [path, reply] : c.replies) {
      controller.Set(path, reply);
    }
    const korvane::ResolvedSelector resolved =
        korvane::ResolveActiveSelector(Api(controller), "proxy");
    EXPECT_EQ(resolved.responded, c.responded) << c.what;
    EXPECT_EQ(resolved.group, c.group) << c.what;
    EXPECT_EQ(resolved.leaf, c.leaf) << c.what;
    EXPECT_EQ(controller.Count("/proxies/"), c.requests) << c.what;
  }
  // No selector: no request.
  ScriptedController controller;
  EXPECT_FALSE(korvane::ResolveActiveSelector(Api(controller), "").responded);
  EXPECT_TRUE(controller.Requests().empty());
}

TEST(ClashQueriesTest, TagsReachTheControllerAsOneSegment) {
  const std::string tag = "US West/1?x=1#top \"q\" \xC3\xA9";
  const std::string encoded = "/proxies/US%20West%2F1%3Fx%3D1%23top%20%22q%22%20%C3%A9";
  ScriptedController controller;
  controller.Set(encoded, Now("node_1"));
  controller.Set(encoded + "/delay", Reply(200, R"({"delay":31})"));
  EXPECT_EQ(korvane::ReadSelectorNow(Api(controller), tag), "node_1");
  EXPECT_EQ(korvane::FetchTagDelay(Api(controller), tag, 2500), 31);
  const auto requests = controller.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(ScriptedController::Decode(requests[0].path.substr(9)), tag);
  // The connectivity check goes in as it is.
  EXPECT_EQ(requests[1].target,
            encoded + "/delay?url=https://www.gstatic.com/generate_204&timeout=2500");
}

TEST(ClashQueriesTest, FetchTagDelayAnswers) {
  struct Case {
    const char* what;
    ScriptedReply reply;
    int delay;
  };
  ScriptedReply cut = Reply(200, R"({"delay":187})");
  cut.close_mid_body = true;
  const std::vector<Case> cases = {
      {"delay", Reply(200, R"({"delay":187})"), 187},
      {"zero stays zero", Reply(200, R"({"delay":0})"), 0},
      {"minus one", Reply(200, R"({"delay":-1})"), -1},
      {"no delay key", Reply(200, R"({"message":"x"})"), -1},
      {"huge", Reply(200, R"({"delay":99999999999})"), -1},
      {"503", Reply(503, R"({"message":"An error occurred in the delay test"})"), -1},
      {"504", Reply(504, R"({"message":"Timeout"})"), -1},
      {"closed mid-answer", cut, -1},
  };
  for (const Case& c : cases) {
    ScriptedController controller;
    controller.Set("/proxies/node_1/delay", c.reply);
    EXPECT_EQ(korvane::FetchTagDelay(Api(controller), "node_1", 3000), c.delay) << c.what;
    EXPECT_EQ(controller.Count("/proxies/"), 1) << c.what;
  }
  ScriptedController controller;
  EXPECT_EQ(korvane::FetchTagDelay(Api(controller), "", 3000), -1);
  EXPECT_TRUE(controller.Requests().empty());
}

// The request waits one second longer than the delay it asks for, and at least four seconds.
TEST(ClashQueriesTest, FetchTagDelayRequestTimeOuts) {
  for (const auto& [timeout, wait_ms] : {std::pair<int, int>{5000, 6000}, {0, 4000}}) {
    ScriptedController controller;
    ScriptedReply silent;
    silent.never_answer = true;
    controller.SetDefault(silent);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(korvane::FetchTagDelay(Api(controller), "node_1", timeout), -1);
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(elapsed, wait_ms - 50) << timeout;
    EXPECT_LT(elapsed, wait_ms + 3000) << timeout;
    ASSERT_EQ(controller.Requests().size(), 1u);
    EXPECT_EQ(controller.Requests()[0].query.at("timeout"), std::to_string(timeout));
  }
}

}  // namespace
}  // namespace korvane_test
