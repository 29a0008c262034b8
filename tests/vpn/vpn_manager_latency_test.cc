// "performUrlTest" and "getAutoSelectorInfo" in-process, through the vpn channel's dispatcher on a
// mock messenger, against a scripted controller: the answers, the requests each case makes and
// the lines it writes, one URL test at a time, a test racing a disconnect, several reports at
// once, and bad controller answers; and against the reference engine's controller with a secret.
// Also run under ThreadSanitizer.

#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "clash/clash_queries.h"
#include "tests/engine/libbox_library.h"
#include "tests/support/loopback_ports.h"
#include "tests/support/mock_messenger.h"
#include "tests/support/scripted_controller.h"
#include "tests/support/tagged_line.h"
#include "vpn/vpn_manager.h"

namespace korvane_test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kVpnChannel[] = "com.quorandel.korvane/vpn";
// The query of a delay probe asking for 5000 ms: the connectivity check goes in literally.
constexpr char kDelayQuery5000[] = "?url=https://www.gstatic.com/generate_204&timeout=5000";

ScriptedReply Now(const std::string& now) {
  return Reply(200, R"({"type":"Selector","name":"s","udp":true,"history":[],"now":")" + now +
                        R"(","all":[]})");
}

ScriptedReply Delay(int delay) {
  return Reply(200, R"({"delay":)" + std::to_string(delay) + "}");
}

std::string ConfigFor(int port) {
  return R"({"outbounds":[],"experimental":{"clash_api":{"external_controller":"127.0.0.1:)" +
         std::to_string(port) + R"("}}})";
}

// One answered call.
struct Answer {
  bool arrived = false;
  std::string text;
  std::string selected_tag;
  int64_t selected_latency = 0;
  std::string all_latencies;
};

void OnResponse(FlMethodResponse* response, const GError* error, gpointer user_data) {
  Answer* answer = static_cast<Answer*>(user_data);
  answer->arrived = true;
  if (response == nullptr) {
    answer->text = std::string("undecodable: ") + (error ? error->message : "");
    return;
  }
  answer->text = fl_mock_response_to_string(response);
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    FlValue* result = fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response));
    if (fl_value_get_type(result) == FL_VALUE_TYPE_MAP) {
      answer->selected_tag = fl_value_get_string(fl_value_lookup_string(result, "selectedTag"));
      answer->selected_latency =
          fl_value_get_int(fl_value_lookup_string(result, "selectedLatency"));
      answer->all_latencies = fl_value_get_string(fl_value_lookup_string(result, "allLatencies"));
    }
  }
}

class LatencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_main_context_acquire(g_main_context_default()));
    messenger_ = fl_mock_binary_messenger_new();
    g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
    channel_ =
        fl_method_channel_new(FL_BINARY_MESSENGER(messenger_), kVpnChannel, FL_METHOD_CODEC(codec));
    fl_method_channel_set_method_call_handler(channel_, VPNManager::HandleMethodCallStatic, nullptr,
                                              nullptr);
    VPNManager::SetRunningForTesting(true);
    VPNManager::SetConfigForTesting(ConfigFor(controller_.port()));
  }

  void TearDown() override {
    // Every call was answered before the test ends, and no test is left running.
    for (Answer& answer : answers_) {
      EXPECT_TRUE(Wait(&answer));
    }
    EXPECT_FALSE(VPNManager::UrlTestInProgressForTesting());
    VPNManager::ResetStateForTesting();
    g_clear_object(&channel_);
    g_clear_object(&messenger_);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_main_context_release(g_main_context_default());
  }

  Answer* Send(const char* method, FlValue* args) {
    answers_.emplace_back();
    Answer* answer = &answers_.back();
    fl_mock_binary_messenger_invoke_method(messenger_, kVpnChannel, method, args, OnResponse,
                                           answer);
    return answer;
  }

  // Runs the main loop until the answer came (the mock's limit is 10 s per wait).
  bool Wait(Answer* answer) {
    for (int round = 0; round < 3 && !answer->arrived; ++round) {
      fl_mock_binary_messenger_run_until(messenger_, [answer] { return answer->arrived; });
    }
    return answer->arrived;
  }

  Answer* UrlTest(int timeout = 5000, const char* selector = nullptr) {
    g_autoptr(FlValue) args = fl_value_new_map();
    fl_value_set_string_take(args, "timeout", fl_value_new_int(timeout));
    if (selector != nullptr) {
      fl_value_set_string_take(args, "selectorTag", fl_value_new_string(selector));
    }
    return Send("performUrlTest", args);
  }

  Answer* AutoSelector() { return Send("getAutoSelectorInfo", nullptr); }

  using Replies = std::vector<std::pair<std::string, ScriptedReply>>;

  // Points the configuration at `controller` scripted with `replies`, makes one call with `send`
  // and waits for its answer; `out` gets the lines written meanwhile.
  Answer* Exchange(ScriptedController* controller,
                   const Replies& replies,
                   const std::function<Answer*()>& send,
                   std::string* out) {
    VPNManager::SetConfigForTesting(ConfigFor(controller->port()));
    for (const auto& [path, reply] : replies) {
      controller->Set(path, reply);
    }
    ::testing::internal::CaptureStdout();
    Answer* answer = send();
    Wait(answer);
    *out = ::testing::internal::GetCapturedStdout();
    return answer;
  }

  FlMockBinaryMessenger* messenger_ = nullptr;
  FlMethodChannel* channel_ = nullptr;
  ScriptedController controller_;
  std::deque<Answer> answers_;
};

// The URL test's outcomes: the answer, the requests of each kind and the line that says why.
TEST_F(LatencyTest, UrlTestOutcomes) {
  struct Case {
    const char* what;
    Replies replies;
    std::string answer;
    int proxies_requests;
    int group_requests;
    std::string line;
  };
  ScriptedReply cut = Reply(200, R"({"a":10,"b":20})");
  cut.close_mid_body = true;
  ScriptedReply garbage;
  garbage.raw = "\x16\x03\x01 not http";
  const std::vector<Case> cases = {
      {"leaf probe",
       {{"/proxies/proxy", Now("auto")},
        {"/proxies/auto", Now("node_2")},
        {"/proxies/node_2/delay", Delay(87)}},
       "success 87",
       3,
       0,
       korvane_test::Tagged(korvane::kVPNManagerTag,
                            "URLTest via selector proxy leaf node_2: 87ms\n")},
      {"leaf delay 0 falls back to the group",
       {{"/proxies/proxy", Now("node_1")},
        {"/proxies/node_1/delay", Delay(0)},
        {"/group/proxy/delay", Reply(200, R"({"a":300,"b":0,"c":120})")}},
       "success 120",
       2,
       1,
       korvane_test::Tagged(korvane::kVPNManagerTag,
                            "URLTest fallback via group proxy best=c 120ms\n")},
      {"ties go to the first",
       {{"/proxies/proxy", Now("")}, {"/group/proxy/delay", Reply(200, R"({"a":90,"b":90})")}},
       "success 90",
       1,
       1,
       korvane_test::Tagged(korvane::kVPNManagerTag,
                            "URLTest fallback via group proxy best=a 90ms\n")},
      {"huge numbers are skipped",
       {{"/proxies/proxy", Now("node_1")},
        {"/proxies/node_1/delay", Delay(-1)},
        {"/group/proxy/delay", Reply(200, R"({"a":99999999999,"b":15})")}},
       "success 15",
       2,
       1,
       korvane_test::Tagged(korvane::kVPNManagerTag,
                            "URLTest fallback via group proxy best=b 15ms\n")},
      {"no healthy member",
       {{"/group/proxy/delay", Reply(200, R"({"a":0})")}},
       "error URL_TEST_FAILED: No healthy member in selector group",
       1,
       1,
       korvane_test::Tagged(korvane::kVPNManagerTag,
                            "URLTest fallback group proxy has no healthy member\n")},
      {"group unreachable",
       {{"/proxies/proxy", Now("node_1")}},
       "error URL_TEST_FAILED: Group delay probe unreachable",
       2,
       1,
       korvane_test::Tagged(
           korvane::kVPNManagerTag,
           "URLTest leaf probe failed for selector proxy leaf node_1, falling back to ") +
           "legacy group probe\n"},
      {"group answer cut off",
       {{"/group/proxy/delay", cut}},
       "error URL_TEST_FAILED: Group delay probe unreachable",
       1,
       1,
       korvane_test::Tagged(korvane::kVPNManagerTag, "URLTest fallback group proxy unreachable\n")},
      {"garbage everywhere",
       {{"/proxies/proxy", garbage}, {"/group/proxy/delay", garbage}},
       "error URL_TEST_FAILED: Group delay probe unreachable",
       1,
       1,
       korvane_test::Tagged(korvane::kVPNManagerTag, "URLTest fallback group proxy unreachable\n")},
      {"16 MiB group answer",
       {{"/group/proxy/delay", Reply(200, std::string(16 << 20, '7'))}},
       "error URL_TEST_FAILED: Group delay probe unreachable",
       1,
       1,
       korvane_test::Tagged(korvane::kVPNManagerTag, "URLTest fallback group proxy unreachable\n")},
  };
  for (const Case& c : cases) {
    ScriptedController controller;
    std::string out;
    Answer* answer = Exchange(
        &controller, c.replies, [this] { return UrlTest(); }, &out);
    ASSERT_TRUE(answer->arrived) << c.what;
    EXPECT_EQ(answer->text, c.answer) << c.what;
    EXPECT_EQ(controller.Count("/proxies/"), c.proxies_requests) << c.what;
    EXPECT_EQ(controller.Count("/group/"), c.group_requests) << c.what;
    EXPECT_NE(out.find(c.line), std::string::npos) << c.what << "\n" << out;
    EXPECT_NE(
        out.find(korvane_test::Tagged(korvane::kVPNManagerTag, "Starting URLTest via Clash API\n") +
                 korvane_test::Tagged(korvane::kVPNManagerTag,
                                      "Test URL: https://www.gstatic.com/generate_204, Timeout: ") +
                 "5000ms\n"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find(korvane_test::Tagged(korvane::kVPNManagerTag, "Sending URLTest ")),
              std::string::npos)
        << out;
    // Both probes ask for the default connectivity check, as it is, whole.
    for (const auto& request : controller.Requests()) {
      if (request.target.find('?') != std::string::npos) {
        EXPECT_EQ(request.target.substr(request.path.size()), kDelayQuery5000) << c.what;
      }
    }
  }
}

// The reference engine's controller with a secret (one with characters JSON escapes): both
// methods measure through it with the secret the configuration gives. The selector's node is a
// SOCKS proxy, the engine's own mixed inbound, whose greeting the delay probe exchanges.
TEST_F(LatencyTest, MethodsAuthenticateToTheEngineController) {
  std::unique_ptr<LibboxLibrary> engine = LibboxLibrary::Load();
  TempDir dir;
  ASSERT_EQ(engine->setup_libbox(dir.path().c_str(), dir.path().c_str(), dir.path().c_str()), 0);
  const std::string controller = std::to_string(FreePort());
  const std::string socks = std::to_string(FreePort());
  const std::string config =
      R"({"log":{"level":"info","output":"engine.log"},
          "inbounds":[{"type":"mixed","tag":"socks-in","listen":"127.0.0.1","listen_port":)" +
      socks + R"(}],
          "outbounds":[{"type":"selector","tag":"proxy","outbounds":["node_1"]},
                       {"type":"socks","tag":"node_1","server":"127.0.0.1","server_port":)" +
      socks + R"(}],
          "experimental":{"clash_api":{"external_controller":"127.0.0.1:)" +
      controller + R"(","secret":"s\"3\\cr\u00e9t"}}})";
  ASSERT_EQ(engine->create_service(config.c_str()), 0) << engine->LastError();
  ASSERT_EQ(engine->start_service(), 0) << engine->LastError();
  VPNManager::SetConfigForTesting(config);
  ::testing::internal::CaptureStdout();
  Answer* url = UrlTest();
  const bool url_answered = Wait(url);
  Answer* selector = AutoSelector();
  const bool selector_answered = Wait(selector);
  const std::string out = ::testing::internal::GetCapturedStdout();
  // The controller does require the secret.
  const long unauthenticated =
      Http("GET", "http://127.0.0.1:" + controller + "/proxies/proxy").status;
  engine->stop_service();
  EXPECT_EQ(unauthenticated, 401);
  ASSERT_TRUE(url_answered && selector_answered);
  EXPECT_TRUE(std::regex_match(url->text, std::regex("success [1-9][0-9]*"))) << url->text;
  EXPECT_NE(out.find(korvane_test::Tagged(korvane::kVPNManagerTag,
                                          "URLTest via selector proxy leaf node_1: ")),
            std::string::npos)
      << out;
  EXPECT_EQ(selector->selected_tag, "node_1") << selector->text;
  EXPECT_GE(selector->selected_latency, 1) << selector->text;
}

// Selector and group names that only pass as percent-encoded path segments: the URL test's
// group probe asks for the selector, the report's for the automatic group, each by its encoded
// name and nothing else.
TEST_F(LatencyTest, GroupProbesEncodeTheirNames) {
  const std::vector<std::pair<std::string, std::string>> names = {
      {"US West/1", "US%20West%2F1"},   {"50% off", "50%25%20off"},
      {"q?x=1#top", "q%3Fx%3D1%23top"}, {"\xC3\xA9t\xC3\xA9", "%C3%A9t%C3%A9"},
      {"a+b&c", "a%2Bb%26c"},
  };
  for (const auto& [name, encoded] : names) {
    // The URL test of selector `name`, which does not answer: its group is probed.
    ScriptedController tested;
    std::string out;
    Answer* url = Exchange(
        &tested, {{"/group/" + encoded + "/delay", Reply(200, R"({"a":40,"b":25})")}},
        [this, name = name] { return UrlTest(5000, name.c_str()); }, &out);
    ASSERT_TRUE(url->arrived) << name;
    EXPECT_EQ(url->text, "success 25") << name;
    std::vector<std::string> targets;
    for (const ScriptedRequest& request : tested.Requests()) {
      targets.push_back(request.target);
    }
    EXPECT_EQ(targets, (std::vector<std::string>{"/proxies/" + encoded,
                                                 "/group/" + encoded + "/delay" + kDelayQuery5000}))
        << name;
    EXPECT_NE(
        out.find(korvane_test::Tagged(korvane::kVPNManagerTag, "URLTest fallback via group ") +
                 name + " best=b 25ms\n"),
        std::string::npos)
        << out;

    // The report of selector "proxy", whose automatic group is auto_ + `name`.
    const std::string group = "auto_" + name;
    const std::string group_path = "/proxies/auto_" + encoded;
    const std::string table = R"({"node_1":70,"node_2":35})";
    ScriptedController reported;
    Answer* info = Exchange(
        &reported,
        {{"/proxies/proxy", Now(group)},
         {group_path, Now("node_2")},
         {"/group/auto_" + encoded + "/delay", Reply(200, table)}},
        [this] { return AutoSelector(); }, &out);
    ASSERT_TRUE(info->arrived) << name;
    EXPECT_EQ(info->selected_tag, "node_2") << name << ": " << info->text;
    EXPECT_EQ(info->selected_latency, 35) << name;
    EXPECT_EQ(info->all_latencies, table) << name;
    EXPECT_EQ(reported.Count("/group/auto_" + encoded + "/delay"), 1) << name;
    EXPECT_EQ(reported.Requests().size(), 3u) << name;
  }
}

// The defaults of "performUrlTest" while connected: a timeout that is no int asks for 5000 ms,
// an int beyond 32 bits is narrowed, a test URL that is no string is the default, and an empty or
// non-string selector is "proxy".
TEST_F(LatencyTest, UrlTestArgumentDefaultsWhileConnected) {
  struct Case {
    const char* what;
    std::function<FlValue*()> args;
    std::string timeout;
  };
  auto map = [](const char* key, FlValue* value) {
    FlValue* args = fl_value_new_map();
    fl_value_set_string_take(args, key, value);
    return args;
  };
  const std::vector<Case> cases = {
      {"empty map", [] { return fl_value_new_map(); }, "5000"},
      {"string timeout", [&] { return map("timeout", fl_value_new_string("3000")); }, "5000"},
      {"float timeout", [&] { return map("timeout", fl_value_new_float(3000.0)); }, "5000"},
      {"wide timeout", [&] { return map("timeout", fl_value_new_int((int64_t{1} << 32) + 2500)); },
       "2500"},
      {"int test URL", [&] { return map("testUrl", fl_value_new_int(7)); }, "5000"},
      {"empty selector", [&] { return map("selectorTag", fl_value_new_string("")); }, "5000"},
      {"int selector", [&] { return map("selectorTag", fl_value_new_int(1)); }, "5000"},
  };
  for (const Case& c : cases) {
    ScriptedController controller;
    std::string out;
    Answer* answer = Exchange(
        &controller, {{"/proxies/proxy", Now("node_1")}, {"/proxies/node_1/delay", Delay(21)}},
        [&] {
          g_autoptr(FlValue) args = c.args();
          return Send("performUrlTest", args);
        },
        &out);
    ASSERT_TRUE(answer->arrived) << c.what;
    EXPECT_EQ(answer->text, "success 21") << c.what;
    EXPECT_NE(
        out.find(korvane_test::Tagged(korvane::kVPNManagerTag,
                                      "Test URL: https://www.gstatic.com/generate_204, Timeout: ") +
                 c.timeout + "ms\n"),
        std::string::npos)
        << c.what << "\n"
        << out;
    const auto requests = controller.Requests();
    ASSERT_EQ(requests.size(), 2u) << c.what;
    EXPECT_EQ(requests[0].target, "/proxies/proxy") << c.what;
    EXPECT_EQ(requests[1].target,
              "/proxies/node_1/delay?url=https://www.gstatic.com/generate_204&timeout=" + c.timeout)
        << c.what;
  }
}

// A test URL given by the UI is only reported: both probes ask the controller for the default
// connectivity check.
TEST_F(LatencyTest, CustomTestUrlNeverReachesTheController) {
  const std::string custom = "http://192.0.2.7:8080/custom?probe=1&timeout=9";
  controller_.Set("/proxies/proxy", Now("node_1"));
  controller_.Set("/proxies/node_1/delay", Delay(0));
  controller_.Set("/group/proxy/delay", Reply(200, R"({"node_1":44})"));
  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "testUrl", fl_value_new_string(custom.c_str()));
  ::testing::internal::CaptureStdout();
  Answer* answer = Send("performUrlTest", args);
  ASSERT_TRUE(Wait(answer));
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(answer->text, "success 44");
  EXPECT_NE(out.find(korvane_test::Tagged(korvane::kVPNManagerTag, "Test URL: ") + custom +
                     ", Timeout: 5000ms\n"),
            std::string::npos)
      << out;
  std::vector<std::string> targets;
  for (const ScriptedRequest& request : controller_.Requests()) {
    targets.push_back(request.target);
  }
  EXPECT_EQ(targets, (std::vector<std::string>{
                         "/proxies/proxy", std::string("/proxies/node_1/delay") + kDelayQuery5000,
                         std::string("/group/proxy/delay") + kDelayQuery5000}));
}

// The VPN stops while the group is probed and the probe fails: the test ends as disconnected,
// not as an unreachable group.
TEST_F(LatencyTest, UrlTestRacingADisconnectDuringTheGroupProbe) {
  ScriptedReply held = Reply(503, R"({"message":"An error occurred in the delay test"})");
  held.gated = true;
  controller_.Set("/group/proxy/delay", held);
  ::testing::internal::CaptureStdout();
  Answer* answer = UrlTest();
  ASSERT_TRUE(controller_.WaitForRequests(2, 10000));
  VPNManager::SetRunningForTesting(false);
  controller_.Release();
  ASSERT_TRUE(Wait(answer));
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(answer->text, "error URL_TEST_FAILED: VPN disconnected during URLTest");
  EXPECT_NE(out.find(korvane_test::Tagged(
                korvane::kVPNManagerTag,
                "URLTest aborted at after-group-probe: VPN no longer running\n")),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("unreachable"), std::string::npos) << out;
  EXPECT_EQ(controller_.Requests().size(), 2u);
}

// A messenger that loses both answers without a reason: each is tried once and the loss is
// reported on standard error.
TEST_F(LatencyTest, AnswersLostWithoutAReasonAreReported) {
  controller_.Set("/proxies/proxy", Now("node_1"));
  controller_.Set("/proxies/node_1/delay", Delay(30));
  fl_mock_binary_messenger_set_answers_lost(messenger_, true);
  ::testing::internal::CaptureStderr();
  g_autoptr(FlValue) args = fl_value_new_map();
  const guint url = fl_mock_binary_messenger_invoke_method(
      messenger_, kVpnChannel, "performUrlTest", args, nullptr, nullptr);
  const guint info = fl_mock_binary_messenger_invoke_method(
      messenger_, kVpnChannel, "getAutoSelectorInfo", nullptr, nullptr, nullptr);
  const bool tried = fl_mock_binary_messenger_run_until(messenger_, [&] {
    return fl_mock_binary_messenger_get_response_count(messenger_, url) == 1 &&
           fl_mock_binary_messenger_get_response_count(messenger_, info) == 1;
  });
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(tried);
  EXPECT_NE(err.find(korvane_test::Tagged(korvane::kVPNManagerTag,
                                          "Failed to answer performUrlTest: unknown error\n")),
            std::string::npos)
      << err;
  EXPECT_NE(err.find(korvane_test::Tagged(korvane::kVPNManagerTag,
                                          "Failed to answer getAutoSelectorInfo: unknown error\n")),
            std::string::npos)
      << err;
}

TEST_F(LatencyTest, UrlTestWithoutLoopbackControllerMakesNoRequest) {
  for (const std::string& config :
       {std::string(R"({"outbounds":[]})"),
        std::string(R"({"experimental":{"clash_api":{"external_controller":"0.0.0.0:)") +
            std::to_string(controller_.port()) + "\"}}}"}) {
    VPNManager::SetConfigForTesting(config);
    Answer* url = UrlTest();
    Answer* selector = AutoSelector();
    ASSERT_TRUE(Wait(url) && Wait(selector));
    EXPECT_EQ(url->text, "error URL_TEST_FAILED: Clash API is disabled for this session");
    EXPECT_EQ(selector->text, "error AUTO_SELECTOR_ERROR: Clash API is disabled for this session");
  }
  EXPECT_TRUE(controller_.Requests().empty());
}

// A zero timeout: the leaf is asked with 0, the group with 3000 and waited for 4000 ms.
TEST_F(LatencyTest, UrlTestTimeoutZero) {
  controller_.Set("/proxies/proxy", Now("node_1"));
  controller_.Set("/proxies/node_1/delay", Reply(504, R"({"message":"Timeout"})"));
  ScriptedReply silent;
  silent.never_answer = true;
  controller_.Set("/group/proxy/delay", silent);
  const Clock::time_point start = Clock::now();
  Answer* answer = UrlTest(0);
  ASSERT_TRUE(Wait(answer));
  EXPECT_EQ(answer->text, "error URL_TEST_FAILED: Group delay probe unreachable");
  const auto requests = controller_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].query.at("timeout"), "0");
  EXPECT_EQ(requests[2].query.at("timeout"), "3000");
  const auto group_wait = Clock::now() - requests[2].at;
  EXPECT_GE(group_wait, std::chrono::milliseconds(3900));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(9000));
}

TEST_F(LatencyTest, SecondUrlTestIsRefusedWhileOneRuns) {
  ScriptedReply held = Now("node_1");
  held.gated = true;
  controller_.Set("/proxies/proxy", held);
  controller_.Set("/proxies/node_1/delay", Delay(33));
  ::testing::internal::CaptureStdout();
  Answer* first = UrlTest();
  ASSERT_TRUE(controller_.WaitForRequests(1, 10000));
  Answer* second = UrlTest();
  ASSERT_TRUE(Wait(second));
  EXPECT_EQ(second->text, "error URL_TEST_IN_PROGRESS: A URL test is already in progress");
  EXPECT_FALSE(first->arrived);
  controller_.Release();
  ASSERT_TRUE(Wait(first));
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(first->text, "success 33");
  EXPECT_NE(out.find(korvane_test::Tagged(korvane::kVPNManagerTag,
                                          "URLTest already in progress, rejecting new request\n")),
            std::string::npos);
  // Once answered, the next test runs.
  Answer* third = UrlTest();
  ASSERT_TRUE(Wait(third));
  EXPECT_EQ(third->text, "success 33");
}

// The VPN stops while the selector is being read: the test ends at the next checkpoint without
// another request.
TEST_F(LatencyTest, UrlTestRacingADisconnect) {
  ScriptedReply held = Now("node_1");
  held.gated = true;
  controller_.Set("/proxies/proxy", held);
  controller_.Set("/proxies/node_1/delay", Delay(33));
  ::testing::internal::CaptureStdout();
  Answer* answer = UrlTest();
  ASSERT_TRUE(controller_.WaitForRequests(1, 10000));
  VPNManager::SetRunningForTesting(false);
  controller_.Release();
  ASSERT_TRUE(Wait(answer));
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(answer->text, "error URL_TEST_FAILED: VPN disconnected during URLTest");
  EXPECT_NE(out.find(korvane_test::Tagged(
                korvane::kVPNManagerTag,
                "URLTest aborted at before-leaf-probe: VPN no longer running\n")),
            std::string::npos)
      << out;
  EXPECT_EQ(controller_.Requests().size(), 1u);
}

// A stop begins while the leaf is probed: the probe it cuts short is not taken for a failure of
// the node, and the group is not asked.
TEST_F(LatencyTest, UrlTestRacingAStopUnderWay) {
  ScriptedReply held = Reply(503, R"({"message":"An error occurred in the delay test"})");
  held.gated = true;
  controller_.Set("/proxies/proxy", Now("node_1"));
  controller_.Set("/proxies/node_1/delay", held);
  controller_.Set("/group/proxy/delay", Reply(200, R"({"node_1":5})"));
  ::testing::internal::CaptureStdout();
  Answer* answer = UrlTest();
  ASSERT_TRUE(controller_.WaitForRequests(2, 10000));
  VPNManager::BeginStopForTesting();
  controller_.Release();
  ASSERT_TRUE(Wait(answer));
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(answer->text, "error URL_TEST_FAILED: VPN disconnected during URLTest");
  EXPECT_NE(out.find(korvane_test::Tagged(
                korvane::kVPNManagerTag,
                "URLTest aborted at before-group-fallback: VPN no longer running\n")),
            std::string::npos)
      << out;
  EXPECT_EQ(controller_.Count("/group/"), 0);
}

// The main loop answers other calls while a test waits on a slow controller.
TEST_F(LatencyTest, OtherMethodsAnswerDuringASlowProbe) {
  // The delay probe takes 3 s, well within its request time-out.
  ScriptedReply slow = Delay(12);
  slow.hold_ms = 3000;
  controller_.Set("/proxies/proxy", Now("node_1"));
  controller_.Set("/proxies/node_1/delay", slow);
  Answer* test = UrlTest();
  ASSERT_TRUE(controller_.WaitForRequests(2, 10000));
  std::vector<long long> round_trips;
  for (int i = 0; i < 5; ++i) {
    const Clock::time_point start = Clock::now();
    Answer* status = Send("getStatus", nullptr);
    ASSERT_TRUE(Wait(status));
    round_trips.push_back(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    EXPECT_EQ(status->text, "success connected");
  }
  EXPECT_FALSE(test->arrived);
  std::sort(round_trips.begin(), round_trips.end());
  EXPECT_LT(round_trips[2], 50) << "median getStatus round trip during the probe";
  ASSERT_TRUE(Wait(test));
  EXPECT_EQ(test->text, "success 12");
}

TEST_F(LatencyTest, AutoSelectorOutcomes) {
  struct Case {
    const char* what;
    Replies replies;
    std::string tag;
    int latency;
    std::string all;  // "=" for the group answer itself
    int proxies_requests;
    int group_requests;
    std::string line;
  };
  const std::string group = R"({"node_1":210,"node_3":95})";
  const std::vector<Case> cases = {
      {"automatic group in use",
       {{"/proxies/proxy", Now("auto")},
        {"/proxies/auto", Now("node_3")},
        {"/group/auto/delay", Reply(200, group)}},
       "node_3",
       95,
       "=",
       2,
       1,
       korvane_test::Tagged(korvane::kVPNManagerTag,
                            "Auto selector info: tag=node_3, latency=95ms\n")},
      {"automatic group with nothing in use",
       {{"/proxies/proxy", Now("auto")},
        {"/proxies/auto", Now("")},
        {"/group/auto/delay", Reply(200, group)}},
       "node_3",
       95,
       "=",
       2,
       1,
       korvane_test::Tagged(korvane::kVPNManagerTag,
                            "AUTO group auto .now was empty, finding best node\n") +
           korvane_test::Tagged(korvane::kVPNManagerTag,
                                "Auto-detected best node: node_3 (95ms)\n")},
      {"node selected directly",
       {{"/proxies/proxy", Now("node_5")}, {"/proxies/node_5/delay", Delay(44)}},
       "node_5",
       44,
       "{}",
       2,
       0,
       korvane_test::Tagged(korvane::kVPNManagerTag,
                            "Auto selector info: tag=node_5, latency=44ms\n")},
      {"no node_ keys and nothing in use",
       {{"/proxies/proxy", Now("auto")},
        {"/proxies/auto", Now("")},
        {"/group/auto/delay", Reply(200, R"({"hk-01":5})")}},
       "",
       -1,
       "=",
       2,
       1,
       korvane_test::Tagged(korvane::kVPNManagerTag, "Auto selector info: tag=, latency=-1ms\n")},
      {"huge numbers in the group answer are skipped",
       {{"/proxies/proxy", Now("auto")},
        {"/proxies/auto", Now("")},
        {"/group/auto/delay", Reply(200, R"({"node_1":99999999999,"node_2":60})")}},
       "node_2",
       60,
       "=",
       2,
       1,
       korvane_test::Tagged(korvane::kVPNManagerTag, "Auto-detected best node: node_2 (60ms)\n")},
      {"group not answering, latency from the node",
       {{"/proxies/proxy", Now("auto")},
        {"/proxies/auto", Now("node_3")},
        {"/proxies/node_3/delay", Delay(70)}},
       "node_3",
       70,
       "{}",
       3,
       1,
       korvane_test::Tagged(korvane::kVPNManagerTag,
                            "Warning: Failed to fetch latencies for group auto\n")},
      {"latency nowhere",
       {{"/proxies/proxy", Now("node_5")}},
       "node_5",
       -1,
       "{}",
       2,
       0,
       korvane_test::Tagged(korvane::kVPNManagerTag,
                            "Warning: Could not find latency for selected tag node_5\n")},
  };
  for (const Case& c : cases) {
    ScriptedController controller;
    std::string out;
    Answer* answer = Exchange(
        &controller, c.replies, [this] { return AutoSelector(); }, &out);
    ASSERT_TRUE(answer->arrived) << c.what;
    EXPECT_EQ(answer->text.rfind("success {", 0), 0u) << c.what << ": " << answer->text;
    EXPECT_EQ(answer->selected_tag, c.tag) << c.what;
    EXPECT_EQ(answer->selected_latency, c.latency) << c.what;
    const std::string all = c.all == "=" ? c.replies.back().second.body : c.all;
    EXPECT_EQ(answer->all_latencies, all) << c.what;
    EXPECT_EQ(controller.Count("/proxies/"), c.proxies_requests) << c.what;
    EXPECT_EQ(controller.Count("/group/"), c.group_requests) << c.what;
    EXPECT_NE(out.find(c.line), std::string::npos) << c.what << "\n" << out;
    for (const auto& request : controller.Requests()) {
      if (request.target.find('?') != std::string::npos) {
        EXPECT_EQ(request.target.substr(request.path.size()),
                  "?url=https://www.gstatic.com/generate_204&timeout=3000")
            << c.what;
      }
    }
  }
}

TEST_F(LatencyTest, AutoSelectorFailures) {
  // The selector does not answer.
  Answer* silent = AutoSelector();
  ASSERT_TRUE(Wait(silent));
  EXPECT_EQ(silent->text, "error AUTO_SELECTOR_ERROR: Clash API selector not responding for proxy");
  EXPECT_EQ(controller_.Count("/proxies/proxy"), 1);

  // The VPN stops within the first 500 ms: no request at all.
  ScriptedController untouched;
  VPNManager::SetConfigForTesting(ConfigFor(untouched.port()));
  Answer* stopped = AutoSelector();
  VPNManager::SetRunningForTesting(false);
  ASSERT_TRUE(Wait(stopped));
  EXPECT_EQ(stopped->text,
            "error AUTO_SELECTOR_ERROR: VPN disconnected before querying auto selector info");
  EXPECT_TRUE(untouched.Requests().empty());
}

// Several reports at once, each with its own tag, all answered with their own result.
TEST_F(LatencyTest, SeveralAutoSelectorReportsAtOnce) {
  const std::vector<std::string> tags = {"proxy", "US West/1", "\xC3\xA9u", "a?b#c", "p \"q\""};
  for (size_t i = 0; i < tags.size(); ++i) {
    const std::string node = "node_" + std::to_string(i + 1);
    controller_.Set("/proxies/" + korvane::EncodeClashPathSegment(tags[i]), Now(node));
    controller_.Set("/proxies/" + node + "/delay", Delay(static_cast<int>(10 + i)));
  }
  std::vector<Answer*> answers;
  for (const std::string& tag : tags) {
    g_autoptr(FlValue) args = fl_value_new_map();
    fl_value_set_string_take(args, "selectorTag", fl_value_new_string(tag.c_str()));
    answers.push_back(Send("getAutoSelectorInfo", args));
  }
  for (size_t i = 0; i < tags.size(); ++i) {
    ASSERT_TRUE(Wait(answers[i])) << tags[i];
    EXPECT_EQ(answers[i]->selected_tag, "node_" + std::to_string(i + 1)) << tags[i];
    EXPECT_EQ(answers[i]->selected_latency, static_cast<int64_t>(10 + i)) << tags[i];
  }
  EXPECT_EQ(controller_.Count("/proxies/"), static_cast<int>(2 * tags.size()));
}

}  // namespace
}  // namespace korvane_test
