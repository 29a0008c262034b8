// FlMethodChannel and FlMethodCall against a messenger playing the Dart side: every call gets
// exactly one answer, including calls nobody handles and calls that cannot be decoded.

#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/embedding/codec_test_util.h"
#include "tests/support/mock_messenger.h"

namespace {

constexpr char kChannel[] = "test/method";

// Answers according to the method name; remembers calls it keeps for later.
void dispatch_cb(FlMethodChannel* channel, FlMethodCall* method_call, gpointer user_data) {
  const gchar* name = fl_method_call_get_name(method_call);
  FlValue* args = fl_method_call_get_args(method_call);
  g_autoptr(GError) error = nullptr;
  gboolean ok = TRUE;
  if (g_str_equal(name, "echo")) {
    ok = fl_method_call_respond_success(method_call, args, &error);
  } else if (g_str_equal(name, "fail")) {
    ok = fl_method_call_respond_error(method_call, "bad", "it failed", args, &error);
  } else if (g_str_equal(name, "fail_bare")) {
    ok = fl_method_call_respond_error(method_call, "bad", nullptr, nullptr, &error);
  } else if (g_str_equal(name, "respond")) {
    g_autoptr(FlMethodResponse) response = FL_METHOD_RESPONSE(fl_method_success_response_new(args));
    ok = fl_method_call_respond(method_call, response, &error);
  } else if (g_str_equal(name, "later")) {
    auto* kept = static_cast<std::vector<FlMethodCall*>*>(user_data);
    kept->push_back(FL_METHOD_CALL(g_object_ref(method_call)));
  } else {
    ok = fl_method_call_respond_not_implemented(method_call, &error);
  }
  EXPECT_TRUE(ok) << (error ? error->message : "");
}

class FlMethodChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    messenger_ = fl_mock_binary_messenger_new();
    codec_ = fl_standard_method_codec_new();
    channel_ =
        fl_method_channel_new(FL_BINARY_MESSENGER(messenger_), kChannel, FL_METHOD_CODEC(codec_));
  }

  void TearDown() override {
    for (FlMethodCall* call : kept_) {
      g_object_unref(call);
    }
    g_clear_object(&channel_);
    g_object_unref(codec_);
    g_object_unref(messenger_);
  }

  // Invokes @method and renders the response; checks it was answered exactly once.
  std::string Invoke(const char* method, FlValue* args) {
    guint call_id = 0;
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlMethodResponse) response = fl_mock_binary_messenger_invoke_method_sync(
        messenger_, kChannel, method, args, &error, &call_id);
    EXPECT_EQ(fl_mock_binary_messenger_get_response_count(messenger_, call_id), 1) << method;
    return response != nullptr ? fl_mock_response_to_string(response) : error->message;
  }

  FlMockBinaryMessenger* messenger_ = nullptr;
  FlStandardMethodCodec* codec_ = nullptr;
  FlMethodChannel* channel_ = nullptr;
  std::vector<FlMethodCall*> kept_;
};

TEST_F(FlMethodChannelTest, HandlerAnswersReachTheCaller) {
  fl_method_channel_set_method_call_handler(channel_, dispatch_cb, &kept_, nullptr);
  g_autoptr(FlValue) map = fl_value_new_map();
  fl_value_set_string_take(map, "n", fl_value_new_int(3));
  fl_value_set_string_take(map, "f", fl_value_new_float(0.5));
  g_autoptr(FlValue) text = fl_value_new_string("why");
  struct Case {
    const char* method;
    FlValue* args;
    const char* expected;
  } cases[] = {
      {"echo", map, "success {n: 3, f: 0.5}"}, {"echo", nullptr, "success null"},
      {"respond", text, "success why"},        {"fail", text, "error bad: it failed why"},
      {"fail_bare", nullptr, "error bad"},     {"unknown", nullptr, "not implemented"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Invoke(c.method, c.args), c.expected) << c.method;
  }
}

TEST_F(FlMethodChannelTest, CallWithoutHandlerIsAnsweredNotImplemented) {
  EXPECT_EQ(Invoke("anything", nullptr), "not implemented");
  // Removing a handler returns to the same answer.
  fl_method_channel_set_method_call_handler(channel_, dispatch_cb, &kept_, nullptr);
  EXPECT_EQ(Invoke("echo", nullptr), "success null");
  fl_method_channel_set_method_call_handler(channel_, nullptr, nullptr, nullptr);
  EXPECT_EQ(Invoke("echo", nullptr), "not implemented");
}

TEST_F(FlMethodChannelTest, UndecodableCallGetsAnEmptyReply) {
  fl_method_channel_set_method_call_handler(channel_, dispatch_cb, &kept_, nullptr);
  for (const char* hex : {"0f", "00 00 00", "07 05 68656c6c6f", ""}) {
    g_autoptr(GBytes) message = hex_to_bytes(hex);
    guint call_id = 0;
    g_autoptr(GBytes) reply =
        fl_mock_binary_messenger_send_sync(messenger_, kChannel, message, &call_id);
    ASSERT_NE(reply, nullptr) << hex;
    EXPECT_EQ(g_bytes_get_size(reply), 0u) << hex;
    EXPECT_EQ(fl_mock_binary_messenger_get_response_count(messenger_, call_id), 1) << hex;
  }
}

TEST_F(FlMethodChannelTest, SecondAnswerFailsAndFirstOneStands) {
  fl_method_channel_set_method_call_handler(channel_, dispatch_cb, &kept_, nullptr);
  guint call_id = fl_mock_binary_messenger_invoke_method(messenger_, kChannel, "later", nullptr,
                                                         nullptr, nullptr);
  ASSERT_EQ(kept_.size(), 1u);
  g_autoptr(FlValue) first = fl_value_new_int(1);
  g_autoptr(GError) error = nullptr;
  EXPECT_TRUE(fl_method_call_respond_success(kept_[0], first, &error));
  struct Attempt {
    const char* what;
    std::function<gboolean(GError**)> respond;
  } attempts[] = {
      {"success", [&](GError** e) { return fl_method_call_respond_success(kept_[0], first, e); }},
      {"error",
       [&](GError** e) { return fl_method_call_respond_error(kept_[0], "c", "m", nullptr, e); }},
      {"not implemented",
       [&](GError** e) { return fl_method_call_respond_not_implemented(kept_[0], e); }},
  };
  for (const Attempt& attempt : attempts) {
    g_autoptr(GError) again = nullptr;
    EXPECT_FALSE(attempt.respond(&again)) << attempt.what;
    EXPECT_TRUE(g_error_matches(again, FL_BINARY_MESSENGER_ERROR,
                                FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED))
        << attempt.what;
  }
  EXPECT_EQ(fl_mock_binary_messenger_get_response_count(messenger_, call_id), 4);
}

TEST_F(FlMethodChannelTest, CallAnsweredLaterFromAnotherThread) {
  fl_method_channel_set_method_call_handler(channel_, dispatch_cb, &kept_, nullptr);
  struct Result {
    std::string text;
  } result;
  guint call_id = fl_mock_binary_messenger_invoke_method(
      messenger_, kChannel, "later", nullptr,
      [](FlMethodResponse* response, const GError* error, gpointer user_data) {
        static_cast<Result*>(user_data)->text = fl_mock_response_to_string(response);
      },
      &result);
  ASSERT_EQ(kept_.size(), 1u);
  // The answer is encoded and sent off the main thread; it must still arrive once.
  GThread* thread = g_thread_new(
      "responder",
      [](gpointer data) -> gpointer {
        g_autoptr(FlValue) value = fl_value_new_string("late");
        fl_method_call_respond_success(FL_METHOD_CALL(data), value, nullptr);
        return nullptr;
      },
      kept_[0]);
  g_thread_join(thread);
  EXPECT_TRUE(fl_mock_binary_messenger_run_until(messenger_, [&] { return !result.text.empty(); }));
  EXPECT_EQ(result.text, "success late");
  EXPECT_EQ(fl_mock_binary_messenger_get_response_count(messenger_, call_id), 1);
}

struct InvokeResult {
  bool done = false;
  std::string text;
};

void invoke_done_cb(GObject* object, GAsyncResult* result, gpointer user_data) {
  InvokeResult* invoke = static_cast<InvokeResult*>(user_data);
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlMethodResponse) response =
      fl_method_channel_invoke_method_finish(FL_METHOD_CHANNEL(object), result, &error);
  invoke->text = response != nullptr ? fl_mock_response_to_string(response) : "failed";
  invoke->done = true;
}

// Calls from this side: the bytes sent and what each Dart reply decodes to.
TEST_F(FlMethodChannelTest, InvokeMethodSendsCallAndDecodesReply) {
  struct Case {
    const char* dart_reply;  // NULL: Dart has no handler (empty reply)
    const char* expected;
  } cases[] = {
      {nullptr, "not implemented"},
      {"00 07 05 68656c6c6f", "success hello"},
      {"01 07 01 65 00 00", "error e"},
      {"02", "failed"},
  };
  for (const Case& c : cases) {
    g_autoptr(GBytes) reply = c.dart_reply ? hex_to_bytes(c.dart_reply) : nullptr;
    fl_mock_binary_messenger_set_dart_reply(messenger_, kChannel, reply);
    g_autoptr(FlValue) args = fl_value_new_bool(true);
    InvokeResult result;
    fl_method_channel_invoke_method(channel_, "ping", args, nullptr, invoke_done_cb, &result);
    EXPECT_TRUE(fl_mock_binary_messenger_run_until(messenger_, [&] { return result.done; }));
    EXPECT_EQ(result.text, c.expected);
    auto sent = fl_mock_binary_messenger_take_messages(messenger_, kChannel);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(bytes_to_hex(sent[0].get()), "070470696e6701");
  }
  // Fire and forget still sends the call.
  fl_method_channel_invoke_method(channel_, "ping", nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(fl_mock_binary_messenger_get_message_count(messenger_, kChannel), 1u);
}

TEST_F(FlMethodChannelTest, HandlerDataIsReleasedOnReplaceDisposeAndShutdown) {
  static int released = 0;
  released = 0;
  GDestroyNotify count = [](gpointer) { released++; };
  fl_method_channel_set_method_call_handler(channel_, dispatch_cb, &kept_, count);
  fl_method_channel_set_method_call_handler(channel_, dispatch_cb, &kept_, count);
  EXPECT_EQ(released, 1);  // replaced
  EXPECT_TRUE(fl_mock_binary_messenger_has_handler(messenger_, kChannel));
  g_clear_object(&channel_);
  EXPECT_EQ(released, 2);  // disposed
  EXPECT_FALSE(fl_mock_binary_messenger_has_handler(messenger_, kChannel));

  channel_ =
      fl_method_channel_new(FL_BINARY_MESSENGER(messenger_), kChannel, FL_METHOD_CODEC(codec_));
  fl_method_channel_set_method_call_handler(channel_, dispatch_cb, &kept_, count);
  fl_mock_binary_messenger_shutdown(messenger_);
  EXPECT_EQ(released, 3);  // the messenger dropped the channel
  g_clear_object(&channel_);
  EXPECT_EQ(released, 3);  // and nothing is released twice
}

// The mock reports a call its handler dropped unanswered, as the real messenger does.
TEST_F(FlMethodChannelTest, DroppedCallIsReportedAsCritical) {
  static int criticals = 0;
  criticals = 0;
  fl_method_channel_set_method_call_handler(
      channel_, [](FlMethodChannel*, FlMethodCall*, gpointer) {}, nullptr, nullptr);
  GLogLevelFlags old_fatal = g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK));
  guint handler = g_log_set_handler(
      nullptr, G_LOG_LEVEL_CRITICAL,
      [](const gchar*, GLogLevelFlags, const gchar* message, gpointer) {
        if (g_str_equal(message, "FlBinaryMessengerResponseHandle was not responded to")) {
          criticals++;
        }
      },
      nullptr);
  guint call_id = fl_mock_binary_messenger_invoke_method(messenger_, kChannel, "any", nullptr,
                                                         nullptr, nullptr);
  g_log_remove_handler(nullptr, handler);
  g_log_set_always_fatal(old_fatal);
  EXPECT_EQ(criticals, 1);
  EXPECT_EQ(fl_mock_binary_messenger_get_response_count(messenger_, call_id), 0);
}

}  // namespace
