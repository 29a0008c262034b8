// The panel's client of the engine's controller: where it finds the controller in a
// configuration, and that its requests and streams answer on the main loop with the secret sent.

#include "control_panel/panel_http.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/scripted_controller.h"

namespace {

using korvane_test::ScriptedController;
using korvane_test::ScriptedReply;

constexpr gint64 kTimeoutUs = 30 * G_USEC_PER_SEC;

// Runs the main loop until |done| holds; false after the time-out.
template <typename Done>
bool RunUntil(Done done) {
  const gint64 deadline = g_get_monotonic_time() + kTimeoutUs;
  while (!done() && g_get_monotonic_time() < deadline) {
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(1000);
  }
  return done();
}

TEST(PanelControllerTest, FoundInTheConfigurationsClashApi) {
  const struct {
    const char* config;
    const char* base;
    const char* secret;
  } cases[] = {
      {R"({"experimental":{"clash_api":{"external_controller":"127.0.0.1:9090","secret":"s"}}})",
       "http://127.0.0.1:9090", "s"},
      // Every address: reached on the loopback one.
      {R"({"experimental":{"clash_api":{"external_controller":"0.0.0.0:9091"}}})",
       "http://127.0.0.1:9091", ""},
      {R"({"experimental":{"clash_api":{"external_controller":":9092"}}})", "http://127.0.0.1:9092",
       ""},
      {R"({"experimental":{"clash_api":{"external_controller":"[::1]:9093"}}})",
       "http://[::1]:9093", ""},
      // No controller: none to ask.
      {R"({"experimental":{"clash_api":{}}})", "", ""},
      {R"({"experimental":{"clash_api":{"external_controller":""}}})", "", ""},
      {R"({"inbounds":[]})", "", ""},
      {"not json", "", ""},
  };
  for (const auto& item : cases) {
    const PanelController controller = PanelController::FromConfig(item.config);
    EXPECT_EQ(controller.base, item.base) << item.config;
    EXPECT_EQ(controller.secret, item.secret) << item.config;
  }
}

TEST(PanelHttpTest, RequestsAndStreamsAnswerOnTheMainLoopWithTheSecret) {
  ScriptedController scripted;
  scripted.Set("/proxies/a%20b", korvane_test::Reply(400, R"({"message":"Must be a Selector"})"));
  scripted.Set("/proxies", korvane_test::Reply(200, R"({"proxies":{}})"));
  ScriptedReply stream;
  stream.raw =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n"
      "{\"up\":1,\"down\":2}\n{\"up\":3,\"down\":4}\n";
  scripted.Set("/traffic", stream);
  PanelController controller;
  controller.base = scripted.base();
  controller.secret = "panel-secret";

  GThread* main_thread = g_thread_self();
  PanelHttp http;
  std::vector<std::string> answers;
  bool on_main_thread = true;
  http.Request(controller, "GET", "/proxies", "", [&](const PanelHttp::Reply& reply) {
    on_main_thread = on_main_thread && g_thread_self() == main_thread;
    answers.push_back(std::to_string(reply.status) + " " + reply.body);
  });
  http.Request(controller, "PUT", "/proxies/" + PanelHttp::Segment("a b"), R"({"name":"x"})",
               [&](const PanelHttp::Reply& reply) {
                 on_main_thread = on_main_thread && g_thread_self() == main_thread;
                 answers.push_back(reply.Describe());
               });
  std::vector<std::string> lines;
  http.Stream(controller, "/traffic", [&](const std::string& line) {
    on_main_thread = on_main_thread && g_thread_self() == main_thread;
    lines.push_back(line);
  });
  ASSERT_TRUE(RunUntil([&] { return answers.size() == 2 && lines.size() == 2; }));
  EXPECT_TRUE(on_main_thread);
  EXPECT_NE(std::find(answers.begin(), answers.end(), R"(200 {"proxies":{}})"), answers.end());
  EXPECT_NE(std::find(answers.begin(), answers.end(), "HTTP 400: Must be a Selector"),
            answers.end());
  EXPECT_EQ(lines, (std::vector<std::string>{R"({"up":1,"down":2})", R"({"up":3,"down":4})"}));
  for (const auto& request : scripted.Requests()) {
    auto header = request.headers.find("authorization");
    ASSERT_NE(header, request.headers.end()) << request.target;
    EXPECT_EQ(header->second, "Bearer panel-secret") << request.target;
  }
  EXPECT_EQ(scripted.Requests().size(), 3u);
}

TEST(PanelHttpTest, AControllerThatIsNotThereIsAnAnswerToo) {
  PanelController controller;
  // A port nothing listens on: the loopback's discard port is closed here.
  controller.base = "http://127.0.0.1:9";
  PanelHttp http;
  std::string answer;
  http.Request(controller, "GET", "/proxies", "", [&](const PanelHttp::Reply& reply) {
    answer = reply.ok() ? "ok" : reply.Describe();
  });
  ASSERT_TRUE(RunUntil([&] { return !answer.empty(); }));
  EXPECT_EQ(answer.rfind("controller: ", 0), 0u) << answer;
}

}  // namespace
