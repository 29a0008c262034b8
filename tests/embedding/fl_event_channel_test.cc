// FlEventChannel against a messenger playing the Dart side: the listen/cancel protocol, the
// event envelopes in order, and silence after end of stream.

#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/embedding/codec_test_util.h"
#include "tests/support/mock_messenger.h"

namespace {

constexpr char kChannel[] = "test/events";

// What the stream handlers saw and how they answer.
struct Handlers {
  std::vector<std::string> seen;  // "listen <args>" / "cancel <args>"
  bool refuse_listen = false;
  bool refuse_cancel = false;
};

FlMethodErrorResponse* record(Handlers* handlers, const char* what, FlValue* args, bool refuse) {
  g_autofree gchar* text = fl_value_to_string(args);
  handlers->seen.push_back(std::string(what) + " " + text);
  if (!refuse) {
    return nullptr;
  }
  g_autoptr(FlValue) details = fl_value_new_int(7);
  return fl_method_error_response_new("refused", what, details);
}

FlMethodErrorResponse* listen_cb(FlEventChannel* channel, FlValue* args, gpointer user_data) {
  Handlers* handlers = static_cast<Handlers*>(user_data);
  return record(handlers, "listen", args, handlers->refuse_listen);
}

FlMethodErrorResponse* cancel_cb(FlEventChannel* channel, FlValue* args, gpointer user_data) {
  Handlers* handlers = static_cast<Handlers*>(user_data);
  return record(handlers, "cancel", args, handlers->refuse_cancel);
}

class FlEventChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    messenger_ = fl_mock_binary_messenger_new();
    codec_ = fl_standard_method_codec_new();
    channel_ =
        fl_event_channel_new(FL_BINARY_MESSENGER(messenger_), kChannel, FL_METHOD_CODEC(codec_));
  }

  void TearDown() override {
    g_clear_object(&channel_);
    g_object_unref(codec_);
    g_object_unref(messenger_);
  }

  // Invokes @method as Dart's stream does and renders the answer (exactly one expected).
  std::string Call(const char* method, FlValue* args) {
    guint call_id = 0;
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlMethodResponse) response = fl_mock_binary_messenger_invoke_method_sync(
        messenger_, kChannel, method, args, &error, &call_id);
    EXPECT_EQ(fl_mock_binary_messenger_get_response_count(messenger_, call_id), 1);
    return response != nullptr ? fl_mock_response_to_string(response) : error->message;
  }

  std::vector<std::string> TakeEvents() {
    std::vector<std::string> events;
    for (const FlMockEvent& event : fl_mock_binary_messenger_take_events(messenger_, kChannel)) {
      events.push_back(fl_mock_event_to_string(event));
    }
    return events;
  }

  FlMockBinaryMessenger* messenger_ = nullptr;
  FlStandardMethodCodec* codec_ = nullptr;
  FlEventChannel* channel_ = nullptr;
};

TEST_F(FlEventChannelTest, ListenAndCancelAnswers) {
  Handlers handlers;
  g_autoptr(FlValue) args = fl_value_new_string("filter");
  struct Case {
    bool with_handlers;
    bool refuse_listen;
    bool refuse_cancel;
    const char* method;
    const char* expected;
  } cases[] = {
      // No handlers accept both requests.
      {false, false, false, "listen", "success null"},
      {false, false, false, "cancel", "success null"},
      {true, false, false, "listen", "success null"},
      {true, false, false, "cancel", "success null"},
      // A handler's error response becomes the error envelope.
      {true, true, false, "listen", "error refused: listen 7"},
      {true, false, true, "cancel", "error refused: cancel 7"},
      // Anything else is refused by name.
      {true, false, false, "pause", "error error: Unknown event channel request 'pause'"},
      {false, false, false, "listen2", "error error: Unknown event channel request 'listen2'"},
  };
  for (const Case& c : cases) {
    if (c.with_handlers) {
      fl_event_channel_set_stream_handlers(channel_, listen_cb, cancel_cb, &handlers, nullptr);
    } else {
      fl_event_channel_set_stream_handlers(channel_, nullptr, nullptr, nullptr, nullptr);
    }
    handlers.refuse_listen = c.refuse_listen;
    handlers.refuse_cancel = c.refuse_cancel;
    EXPECT_EQ(Call(c.method, args), c.expected) << c.method;
  }
  // The handlers got the call arguments, and ran only for their own method.
  EXPECT_EQ(handlers.seen, (std::vector<std::string>{"listen filter", "cancel filter",
                                                     "listen filter", "cancel filter"}));
}

TEST_F(FlEventChannelTest, ListenReplyBytesAreSuccessNull) {
  fl_event_channel_set_stream_handlers(channel_, nullptr, nullptr, nullptr, nullptr);
  g_autoptr(GBytes) call = hex_to_bytes("07 06 6c697374656e 00");  // "listen", no arguments
  g_autoptr(GBytes) reply = fl_mock_binary_messenger_send_sync(messenger_, kChannel, call);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(bytes_to_hex(reply), "0000");
}

TEST_F(FlEventChannelTest, UndecodableRequestGetsAnEmptyReply) {
  Handlers handlers;
  fl_event_channel_set_stream_handlers(channel_, listen_cb, cancel_cb, &handlers, nullptr);
  for (const char* hex : {"0f", "03 01000000 00", "07 06 6c697374656e"}) {
    g_autoptr(GBytes) message = hex_to_bytes(hex);
    guint call_id = 0;
    g_autoptr(GBytes) reply =
        fl_mock_binary_messenger_send_sync(messenger_, kChannel, message, &call_id);
    ASSERT_NE(reply, nullptr) << hex;
    EXPECT_EQ(g_bytes_get_size(reply), 0u) << hex;
    EXPECT_EQ(fl_mock_binary_messenger_get_response_count(messenger_, call_id), 1);
  }
  EXPECT_TRUE(handlers.seen.empty());
}

TEST_F(FlEventChannelTest, EventsArriveInOrderAsEnvelopes) {
  Handlers handlers;
  fl_event_channel_set_stream_handlers(channel_, listen_cb, cancel_cb, &handlers, nullptr);
  EXPECT_EQ(Call("listen", nullptr), "success null");

  g_autoptr(FlValue) map = fl_value_new_map();
  fl_value_set_string_take(map, "up", fl_value_new_int(1024));
  g_autoptr(FlValue) null_event = fl_value_new_null();
  g_autoptr(FlValue) details = fl_value_new_list();
  EXPECT_TRUE(fl_event_channel_send(channel_, map, nullptr, nullptr));
  EXPECT_TRUE(fl_event_channel_send(channel_, null_event, nullptr, nullptr));
  EXPECT_TRUE(fl_event_channel_send_error(channel_, "E1", "first", nullptr, nullptr, nullptr));
  EXPECT_TRUE(fl_event_channel_send_error(channel_, "E2", "second", details, nullptr, nullptr));
  EXPECT_TRUE(fl_event_channel_send_end_of_stream(channel_, nullptr, nullptr));

  auto raw = fl_mock_binary_messenger_take_messages(messenger_, kChannel);
  ASSERT_EQ(raw.size(), 5u);
  EXPECT_EQ(bytes_to_hex(raw[1].get()), "0000");
  EXPECT_EQ(bytes_to_hex(raw[2].get()), strip_spaces("01 07 02 4531 07 05 6669727374 00"));
  EXPECT_EQ(g_bytes_get_size(raw[4].get()), 0u);  // end of stream is an empty message

  EXPECT_TRUE(fl_event_channel_send(channel_, map, nullptr, nullptr) == FALSE);
  // The same sequence decoded the way the Dart side decodes it.
  Handlers again;
  fl_event_channel_set_stream_handlers(channel_, listen_cb, cancel_cb, &again, nullptr);
  EXPECT_EQ(Call("listen", nullptr), "success null");
  fl_event_channel_send(channel_, map, nullptr, nullptr);
  fl_event_channel_send(channel_, null_event, nullptr, nullptr);
  fl_event_channel_send_error(channel_, "E1", "first", nullptr, nullptr, nullptr);
  fl_event_channel_send_error(channel_, "E2", "second", details, nullptr, nullptr);
  fl_event_channel_send_end_of_stream(channel_, nullptr, nullptr);
  EXPECT_EQ(TakeEvents(),
            (std::vector<std::string>{"value {up: 1024}", "value null", "error E1: first",
                                      "error E2: second []", "end"}));
}

TEST_F(FlEventChannelTest, NothingIsSentAfterEndOfStreamUntilTheNextListen) {
  EXPECT_EQ(Call("listen", nullptr), "success null");
  g_autoptr(FlValue) event = fl_value_new_int(1);
  EXPECT_TRUE(fl_event_channel_send(channel_, event, nullptr, nullptr));
  EXPECT_TRUE(fl_event_channel_send_end_of_stream(channel_, nullptr, nullptr));

  g_autoptr(GError) send_error = nullptr;
  EXPECT_FALSE(fl_event_channel_send(channel_, event, nullptr, &send_error));
  EXPECT_TRUE(g_error_matches(send_error, G_IO_ERROR, G_IO_ERROR_CLOSED));
  g_autoptr(GError) error_error = nullptr;
  EXPECT_FALSE(fl_event_channel_send_error(channel_, "c", "m", nullptr, nullptr, &error_error));
  EXPECT_TRUE(g_error_matches(error_error, G_IO_ERROR, G_IO_ERROR_CLOSED));
  // A second end changes nothing and sends nothing.
  EXPECT_TRUE(fl_event_channel_send_end_of_stream(channel_, nullptr, nullptr));
  EXPECT_EQ(TakeEvents(), (std::vector<std::string>{"value 1", "end"}));

  // A refused listen does not reopen the stream; an accepted one does.
  Handlers handlers;
  handlers.refuse_listen = true;
  fl_event_channel_set_stream_handlers(channel_, listen_cb, cancel_cb, &handlers, nullptr);
  EXPECT_EQ(Call("listen", nullptr), "error refused: listen 7");
  EXPECT_FALSE(fl_event_channel_send(channel_, event, nullptr, nullptr));
  handlers.refuse_listen = false;
  EXPECT_EQ(Call("listen", nullptr), "success null");
  EXPECT_TRUE(fl_event_channel_send(channel_, event, nullptr, nullptr));
  EXPECT_EQ(TakeEvents(), (std::vector<std::string>{"value 1"}));
}

TEST_F(FlEventChannelTest, HandlerDataIsReleasedOnReplaceDisposeAndShutdown) {
  static int released = 0;
  released = 0;
  GDestroyNotify count = [](gpointer) { released++; };
  Handlers handlers;
  fl_event_channel_set_stream_handlers(channel_, listen_cb, cancel_cb, &handlers, count);
  fl_event_channel_set_stream_handlers(channel_, listen_cb, cancel_cb, &handlers, count);
  EXPECT_EQ(released, 1);
  EXPECT_TRUE(fl_mock_binary_messenger_has_handler(messenger_, kChannel));
  g_clear_object(&channel_);
  EXPECT_EQ(released, 2);
  EXPECT_FALSE(fl_mock_binary_messenger_has_handler(messenger_, kChannel));

  channel_ =
      fl_event_channel_new(FL_BINARY_MESSENGER(messenger_), kChannel, FL_METHOD_CODEC(codec_));
  fl_event_channel_set_stream_handlers(channel_, listen_cb, cancel_cb, &handlers, count);
  fl_mock_binary_messenger_shutdown(messenger_);
  EXPECT_EQ(released, 3);
  g_clear_object(&channel_);
  EXPECT_EQ(released, 3);
}

}  // namespace
