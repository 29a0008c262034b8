// korvanectl against an in-process headless engine whose channels this test serves: every exit
// status, the JSON mapping both ways, and the event stream.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "flutter_linux/flutter_linux.h"
#include "vpn/vpn_channels.h"

namespace {

constexpr const char* kVpnChannel = korvane::kVpnChannelName;
constexpr const char* kCoreChannel = korvane::kCoreChannelName;
constexpr const char* kEventChannel = korvane::kEventChannelName;

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

// "echo" answers its arguments with their kinds; "fail" answers an error; the rest is not
// implemented. The core channel answers "where" with its own name.
void vpn_cb(FlMethodChannel* channel, FlMethodCall* call, gpointer user_data) {
  const gchar* name = fl_method_call_get_name(call);
  FlValue* args = fl_method_call_get_args(call);
  if (g_str_equal(name, "echo")) {
    g_autoptr(FlValue) result = fl_value_new_map();
    fl_value_set_string(result, "args", args);
    FlValue* kinds = fl_value_new_map();
    if (fl_value_get_type(args) == FL_VALUE_TYPE_MAP) {
      for (size_t i = 0; i < fl_value_get_length(args); i++) {
        fl_value_set_take(kinds, fl_value_ref(fl_value_get_map_key(args, i)),
                          fl_value_new_int(fl_value_get_type(fl_value_get_map_value(args, i))));
      }
    }
    fl_value_set_string_take(result, "kinds", kinds);
    fl_method_call_respond_success(call, result, nullptr);
  } else if (g_str_equal(name, "fail")) {
    fl_method_call_respond_error(call, "CONNECT_FAILED", "no route", nullptr, nullptr);
  } else {
    fl_method_call_respond_not_implemented(call, nullptr);
  }
}

void core_cb(FlMethodChannel* channel, FlMethodCall* call, gpointer user_data) {
  g_autoptr(FlValue) result = fl_value_new_string("core");
  fl_method_call_respond_success(call, result, nullptr);
}

gboolean send_events_cb(gpointer user_data) {
  FlEventChannel* channel = FL_EVENT_CHANNEL(user_data);
  g_autoptr(FlValue) state = fl_value_new_map();
  fl_value_set_string_take(state, "status", fl_value_new_string("vpn_connected"));
  fl_event_channel_send(channel, state, nullptr, nullptr);
  g_autoptr(FlValue) details = fl_value_new_int(7);
  fl_event_channel_send_error(channel, "E", "bad", details, nullptr, nullptr);
  fl_event_channel_send_end_of_stream(channel, nullptr, nullptr);
  return G_SOURCE_REMOVE;
}

FlMethodErrorResponse* listen_cb(FlEventChannel* channel, FlValue* args, gpointer user_data) {
  g_idle_add_full(G_PRIORITY_DEFAULT, send_events_cb, g_object_ref(channel), g_object_unref);
  return nullptr;
}

class KorvanectlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gchar* dir = g_dir_make_tmp("korvanectl-test-XXXXXX", nullptr);
    ASSERT_NE(dir, nullptr);
    dir_ = dir;
    g_free(dir);
    socket_path_ = dir_ + "/ui.sock";
    g_setenv("KORVANE_UI_SOCKET", socket_path_.c_str(), TRUE);
    project_ = fl_dart_project_new();
    engine_ = fl_engine_new_headless(project_);
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(fl_engine_start(engine_, &error)) << error->message;
    FlBinaryMessenger* messenger = fl_engine_get_binary_messenger(engine_);
    g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
    vpn_ = fl_method_channel_new(messenger, kVpnChannel, FL_METHOD_CODEC(codec));
    fl_method_channel_set_method_call_handler(vpn_, vpn_cb, nullptr, nullptr);
    core_ = fl_method_channel_new(messenger, kCoreChannel, FL_METHOD_CODEC(codec));
    fl_method_channel_set_method_call_handler(core_, core_cb, nullptr, nullptr);
    events_ = fl_event_channel_new(messenger, kEventChannel, FL_METHOD_CODEC(codec));
    fl_event_channel_set_stream_handlers(events_, listen_cb, nullptr, nullptr, nullptr);
  }

  void TearDown() override {
    g_clear_object(&events_);
    g_clear_object(&core_);
    g_clear_object(&vpn_);
    g_clear_object(&engine_);
    g_clear_object(&project_);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_unsetenv("KORVANE_UI_SOCKET");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Runs korvanectl with |args| while the main loop serves the host side.
  RunResult Run(const std::vector<std::string>& args, const char* socket = nullptr) {
    const char* build = g_getenv("KORVANE_BUILD_DIR");
    std::string korvanectl =
        std::string(build != nullptr ? build : ".") + "/tools/korvanectl/korvanectl";
    std::vector<const gchar*> argv = {korvanectl.c_str()};
    for (const auto& a : args) {
      argv.push_back(a.c_str());
    }
    argv.push_back(nullptr);
    g_autoptr(GSubprocessLauncher) launcher =
        g_subprocess_launcher_new(static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                                                G_SUBPROCESS_FLAGS_STDERR_PIPE));
    g_subprocess_launcher_setenv(launcher, "KORVANE_UI_SOCKET",
                                 socket != nullptr ? socket : socket_path_.c_str(), TRUE);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GSubprocess) process = g_subprocess_launcher_spawnv(launcher, argv.data(), &error);
    RunResult result;
    if (process == nullptr) {
      result.err = error->message;
      return result;
    }
    struct Done {
      bool done = false;
      gchar* out = nullptr;
      gchar* err = nullptr;
    } done;
    g_subprocess_communicate_utf8_async(
        process, nullptr, nullptr,
        [](GObject* object, GAsyncResult* res, gpointer user_data) {
          Done* d = static_cast<Done*>(user_data);
          g_subprocess_communicate_utf8_finish(G_SUBPROCESS(object), res, &d->out, &d->err,
                                               nullptr);
          d->done = true;
        },
        &done);
    while (!done.done) {
      g_main_context_iteration(nullptr, TRUE);
    }
    g_subprocess_wait(process, nullptr, nullptr);
    result.status =
        g_subprocess_get_if_exited(process) ? g_subprocess_get_exit_status(process) : -1;
    result.out = done.out != nullptr ? done.out : "";
    result.err = done.err != nullptr ? done.err : "";
    g_free(done.out);
    g_free(done.err);
    return result;
  }

  std::string dir_;
  std::string socket_path_;
  FlDartProject* project_ = nullptr;
  FlEngine* engine_ = nullptr;
  FlMethodChannel* vpn_ = nullptr;
  FlMethodChannel* core_ = nullptr;
  FlEventChannel* events_ = nullptr;
};

TEST_F(KorvanectlTest, ExitStatusFollowsTheAnswer) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* output;  // expected in stdout + stderr
  };
  const Case cases[] = {
      {{"call", "echo", "--unlisted"}, 0, "{\"ok\":true,\"value\":{\"args\":null,\"kinds\":{}}}"},
      {{"call", "where", "--channel", "core", "--unlisted"}, 0, "{\"ok\":true,\"value\":\"core\"}"},
      {{"call", "fail", "--unlisted"},
       1,
       "{\"code\":\"CONNECT_FAILED\",\"details\":null,\"message\":\"no route\",\"ok\":false}"},
      {{"call", "unknown", "--unlisted"}, 6, "\"code\":\"NOT_IMPLEMENTED\""},
      {{"call", "unknown", "--channel", "core", "--unlisted"}, 0, "\"core\""},
      {{"call", "unknown"}, 2, "unknown method 'unknown'"},
      {{"call", "echo", "[1,", "--unlisted"}, 2, "not valid JSON"},
      {{"call"}, 2, "needs a METHOD"},
      {{"frobnicate"}, 2, "unknown command"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    RunResult result = Run(c.args);
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    EXPECT_NE((result.out + result.err).find(c.output), std::string::npos)
        << result.out << result.err;
  }
  std::string missing = dir_ + "/nobody.sock";
  RunResult result = Run({"call", "echo", "--unlisted"}, missing.c_str());
  EXPECT_EQ(result.status, 3) << result.err;
}

TEST_F(KorvanectlTest, JsonArgumentsKeepTheirKinds) {
  RunResult result =
      Run({"call", "echo",
           R"({"int":1,"big":9007199254740993,"neg":-5,"float":2.5,"text":"h\u00e9",)"
           R"("yes":true,"none":null,"list":[1,"a",[]],"map":{"k":{"n":2}}})",
           "--unlisted"});
  ASSERT_EQ(result.status, 0) << result.err;
  nlohmann::json got = nlohmann::json::parse(result.out)["value"];
  nlohmann::json args = nlohmann::json::parse(
      R"({"int":1,"big":9007199254740993,"neg":-5,"float":2.5,"text":"h\u00e9",)"
      R"("yes":true,"none":null,"list":[1,"a",[]],"map":{"k":{"n":2}}})");
  EXPECT_EQ(got["args"], args);
  EXPECT_EQ(got["kinds"]["int"], FL_VALUE_TYPE_INT);
  EXPECT_EQ(got["kinds"]["big"], FL_VALUE_TYPE_INT);
  EXPECT_EQ(got["kinds"]["neg"], FL_VALUE_TYPE_INT);
  EXPECT_EQ(got["kinds"]["float"], FL_VALUE_TYPE_FLOAT);
  EXPECT_EQ(got["kinds"]["text"], FL_VALUE_TYPE_STRING);
  EXPECT_EQ(got["kinds"]["yes"], FL_VALUE_TYPE_BOOL);
  EXPECT_EQ(got["kinds"]["none"], FL_VALUE_TYPE_NULL);
  EXPECT_EQ(got["kinds"]["list"], FL_VALUE_TYPE_LIST);
  EXPECT_EQ(got["kinds"]["map"], FL_VALUE_TYPE_MAP);
}

TEST_F(KorvanectlTest, EventsArePrintedAsJsonLinesUntilTheStreamEnds) {
  RunResult result = Run({"events", "--json"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "{\"status\":\"vpn_connected\"}\n"
            "{\"error\":{\"code\":\"E\",\"details\":7,\"message\":\"bad\"}}\n"
            "{\"endOfStream\":true}\n");
}

TEST_F(KorvanectlTest, HelloPrintsTheMap) {
  const char* args[] = {"a", "b", nullptr};
  fl_dart_project_set_dart_entrypoint_arguments(project_, const_cast<char**>(args));
  // The engine took its copy at start; a new one reports the new arguments.
  g_clear_object(&events_);
  g_clear_object(&core_);
  g_clear_object(&vpn_);
  g_clear_object(&engine_);
  engine_ = fl_engine_new_headless(project_);
  ASSERT_TRUE(fl_engine_start(engine_, nullptr));
  RunResult result = Run({"hello"});
  ASSERT_EQ(result.status, 0) << result.err;
  nlohmann::json hello = nlohmann::json::parse(result.out);
  EXPECT_EQ(hello["protocol"], 1);
  EXPECT_EQ(hello["pid"], getpid());
  EXPECT_EQ(hello["entrypointArguments"], nlohmann::json::array({"a", "b"}));
}

}  // namespace
