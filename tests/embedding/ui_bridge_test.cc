// The UI bridge and its messenger in-process: a headless engine serves its socket from this
// test's main loop while a BridgeClient on another thread plays the UI. Running in-process lets
// the leak checker see that bad input and lost clients leave nothing behind.

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fl_bridge_messenger.h"
#include "fl_ui_bridge.h"
#include "flutter_linux/flutter_linux.h"
#include "tests/embedding/garbage_frames.h"
#include "tests/support/main_loop.h"
#include "tests/support/tagged_line.h"
#include "tools/korvanectl/bridge_client.h"

namespace {

using korvane::BridgeClient;
using korvane::FlValuePtr;

// The messenger's recent events without their local time, which each must begin with as
// "HH:MM:SS  ".
std::vector<std::string> RecentEvents(FlBinaryMessenger* messenger) {
  GPtrArray* recent = fl_bridge_messenger_get_recent_events(FL_BRIDGE_MESSENGER(messenger));
  std::vector<std::string> texts;
  for (guint i = 0; i < recent->len; i++) {
    const std::string text = static_cast<const char*>(g_ptr_array_index(recent, i));
    EXPECT_TRUE(g_regex_match_simple("^[0-9]{2}:[0-9]{2}:[0-9]{2}  ", text.c_str(),
                                     static_cast<GRegexCompileFlags>(0),
                                     static_cast<GRegexMatchFlags>(0)))
        << text;
    texts.push_back(text.size() > 10 ? text.substr(10) : text);
  }
  return texts;
}

constexpr int kTimeoutMs = 20000;

// Lines written with g_printerr while a test runs.
std::vector<std::string>* printed_lines = nullptr;

void capture_printerr(const gchar* text) {
  if (printed_lines != nullptr) {
    printed_lines->emplace_back(text);
  }
}

std::string StringOf(GBytes* bytes) {
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  return std::string(data != nullptr ? data : "", size);
}

GBytes* EncodeCall(const char* method, FlValue* args) {
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  return FL_METHOD_CODEC_GET_CLASS(codec)->encode_method_call(FL_METHOD_CODEC(codec), method, args,
                                                              nullptr);
}

class UiBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gchar* dir = g_dir_make_tmp("ui-bridge-test-XXXXXX", nullptr);
    ASSERT_NE(dir, nullptr);
    dir_ = dir;
    g_free(dir);
    socket_path_ = dir_ + "/sock/ui.sock";
    g_setenv("KORVANE_UI_SOCKET", socket_path_.c_str(), TRUE);
    if (g_get_prgname() == nullptr) {
      g_set_prgname("ui-bridge-test");
    }
    printed_lines = &lines_;
    old_printerr_ = g_set_printerr_handler(capture_printerr);
    project_ = fl_dart_project_new();
    const char* args[] = {"one", "two words", nullptr};
    fl_dart_project_set_dart_entrypoint_arguments(project_, const_cast<char**>(args));
  }

  void TearDown() override {
    g_clear_object(&engine_);
    g_clear_object(&project_);
    // Let queued idle work (answers, task callbacks) run and release what it holds.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_set_printerr_handler(old_printerr_);
    printed_lines = nullptr;
    g_unsetenv("KORVANE_UI_SOCKET");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Creates and starts the engine; FALSE with *error on failure.
  bool StartEngine(std::string* error = nullptr) {
    engine_ = fl_engine_new_headless(project_);
    g_autoptr(GError) start_error = nullptr;
    if (!fl_engine_start(engine_, &start_error)) {
      if (error != nullptr) {
        *error = start_error->message;
      }
      return false;
    }
    return true;
  }

  FlBinaryMessenger* messenger() { return fl_engine_get_binary_messenger(engine_); }

  // Runs |work| on a client thread while the main loop serves the host side.
  void RunClient(const std::function<void()>& work) {
    std::atomic<bool> done{false};
    std::thread thread([&] {
      work();
      done = true;
      g_main_context_wakeup(nullptr);
    });
    while (!done) {
      g_main_context_iteration(nullptr, TRUE);
    }
    thread.join();
  }

  // Serves the main loop until |condition| holds (or a generous deadline passes).
  bool IterateUntil(const std::function<bool()>& condition) {
    return korvane_test::IterateMainLoopUntil(condition, kTimeoutMs);
  }

  // Lines printed so far that contain |fragment|.
  int CountLines(const std::string& fragment) {
    int count = 0;
    for (const auto& line : lines_) {
      if (line.find(fragment) != std::string::npos) {
        count++;
      }
    }
    return count;
  }

  std::string AllLines() {
    std::string all;
    for (const auto& line : lines_) {
      all += line;
    }
    return all;
  }

  // Two calls on an unserved channel, after which no reply may have come for a call that was
  // not waiting. The bridge is ordered: a second or late answer to an earlier call, sent from the
  // main loop or handed over from another thread before the first of them, is read before the
  // answer to the second.
  static void ExpectNoStrayReply(BridgeClient* client, const std::string& what = "") {
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(client->Call("test/unserved", "sync", nullptr, kTimeoutMs).status,
                BridgeClient::Status::kNotImplemented);
    }
    EXPECT_EQ(client->unmatched_replies(), 0) << what;
  }

  // A client that gets the hello and a not-implemented answer on an unserved channel.
  void ExpectServed() {
    RunClient([&] {
      BridgeClient client;
      std::string error;
      ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
      EXPECT_EQ(client.Call("test/unserved", "ping", nullptr, kTimeoutMs).status,
                BridgeClient::Status::kNotImplemented);
    });
  }

  std::string dir_;
  std::string socket_path_;
  std::vector<std::string> lines_;
  GPrintFunc old_printerr_ = nullptr;
  FlDartProject* project_ = nullptr;
  FlEngine* engine_ = nullptr;
};

TEST_F(UiBridgeTest, SocketPathRule) {
  struct Case {
    const char* socket;   // KORVANE_UI_SOCKET, nullptr: unset
    const char* runtime;  // XDG_RUNTIME_DIR, nullptr: unset
    std::string expected;
  };
  const std::string tmp_default = "/tmp/korvane-" + std::to_string(getuid()) + "/ui.sock";
  const Case cases[] = {
      {"/x/explicit.sock", "/run/user/7", "/x/explicit.sock"},
      {"", "/run/user/7", "/run/user/7/korvane/ui.sock"},
      {nullptr, "/run/user/7", "/run/user/7/korvane/ui.sock"},
      {nullptr, "", tmp_default},
      {nullptr, nullptr, tmp_default},
  };
  g_autofree gchar* saved_runtime = g_strdup(g_getenv("XDG_RUNTIME_DIR"));
  auto set_or_unset = [](const char* name, const char* value) {
    if (value != nullptr) {
      g_setenv(name, value, TRUE);
    } else {
      g_unsetenv(name);
    }
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    set_or_unset("KORVANE_UI_SOCKET", c.socket);
    set_or_unset("XDG_RUNTIME_DIR", c.runtime);
    g_autofree gchar* host_path = fl_ui_bridge_default_socket_path();
    EXPECT_EQ(host_path, c.expected);
    // The UI side finds the host by the same rule.
    EXPECT_EQ(BridgeClient::DefaultSocketPath(), c.expected);
  }
  set_or_unset("XDG_RUNTIME_DIR", saved_runtime);
}

TEST_F(UiBridgeTest, SocketIsPrivateAndStaleSocketIsReplaced) {
  // A socket left behind by an earlier run.
  std::string sock_dir = dir_ + "/sock";
  ASSERT_EQ(mkdir(sock_dir.c_str(), 0700), 0);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof(address.sun_path), "%s", socket_path_.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)), 0);
  close(fd);

  std::string error;
  ASSERT_TRUE(StartEngine(&error)) << error;
  struct stat info;
  ASSERT_EQ(stat(sock_dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  ASSERT_EQ(lstat(socket_path_.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  ExpectServed();

  // Shutting down removes the socket.
  g_clear_object(&engine_);
  EXPECT_NE(lstat(socket_path_.c_str(), &info), 0);
}

TEST_F(UiBridgeTest, LiveSocketIsNotTakenOver) {
  ASSERT_TRUE(StartEngine());
  // A second instance on the same path: the first one answers there, so it is left alone.
  FlEngine* second = fl_engine_new_headless(project_);
  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(fl_engine_start(second, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error->message).find("served by another running instance"),
            std::string::npos)
      << error->message;
  // The second going away leaves the first reachable.
  g_object_unref(second);
  struct stat info;
  EXPECT_EQ(lstat(socket_path_.c_str(), &info), 0);
  ExpectServed();
}

TEST_F(UiBridgeTest, UnsafeSocketLocationsAreRefused) {
  struct Case {
    const char* name;
    std::function<void(const std::string& sock_dir)> prepare;
    const char* fragment;
    bool needs_root;
  };
  const Case cases[] = {
      {"directory writable by others",
       [](const std::string& d) {
         mkdir(d.c_str(), 0700);
         chmod(d.c_str(), 0777);
       },
       "writable by others", false},
      {"directory of another user",
       [](const std::string& d) {
         mkdir(d.c_str(), 0700);
         EXPECT_EQ(chown(d.c_str(), 65534, 65534), 0);
       },
       "owned by uid 65534", true},
      {"directory is a symbolic link",
       [](const std::string& d) {
         std::string target = d + "-target";
         mkdir(target.c_str(), 0700);
         EXPECT_EQ(symlink(target.c_str(), d.c_str()), 0);
       },
       "not a directory", false},
      {"a regular file in the socket's place",
       [this](const std::string& d) {
         mkdir(d.c_str(), 0700);
         g_file_set_contents(socket_path_.c_str(), "x", 1, nullptr);
       },
       "is not a socket", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && geteuid() != 0) {
      continue;
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_ + "/sock", ignored);
    std::filesystem::remove_all(dir_ + "/sock-target", ignored);
    c.prepare(dir_ + "/sock");
    std::string error;
    EXPECT_FALSE(StartEngine(&error));
    EXPECT_NE(error.find(c.fragment), std::string::npos) << error;
    g_clear_object(&engine_);
  }
}

TEST_F(UiBridgeTest, HelloCarriesPidApplicationAndArguments) {
  ASSERT_TRUE(StartEngine());
  RunClient([&] {
    BridgeClient client;
    std::string error;
    ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
    g_autoptr(FlValue) expected = fl_value_new_map();
    fl_value_set_string_take(expected, "protocol", fl_value_new_int(1));
    fl_value_set_string_take(expected, "pid", fl_value_new_int(getpid()));
    fl_value_set_string_take(expected, "application", fl_value_new_string(g_get_prgname()));
    FlValue* args = fl_value_new_list();
    fl_value_append_take(args, fl_value_new_string("one"));
    fl_value_append_take(args, fl_value_new_string("two words"));
    fl_value_set_string_take(expected, "entrypointArguments", args);
    g_autofree gchar* got = fl_value_to_string(client.hello());
    EXPECT_TRUE(fl_value_equal(client.hello(), expected)) << got;
  });
}

// Answers "echo" with its arguments, "fail" with an error carrying them, "none" with
// not-implemented.
void echo_cb(FlMethodChannel* channel, FlMethodCall* call, gpointer user_data) {
  const gchar* name = fl_method_call_get_name(call);
  if (g_str_equal(name, "echo")) {
    fl_method_call_respond_success(call, fl_method_call_get_args(call), nullptr);
  } else if (g_str_equal(name, "fail")) {
    fl_method_call_respond_error(call, "BAD", "it failed", fl_method_call_get_args(call), nullptr);
  } else {
    fl_method_call_respond_not_implemented(call, nullptr);
  }
}

TEST_F(UiBridgeTest, MethodCallsRoundTrip) {
  ASSERT_TRUE(StartEngine());
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  g_autoptr(FlMethodChannel) channel =
      fl_method_channel_new(messenger(), "test/echo", FL_METHOD_CODEC(codec));
  fl_method_channel_set_method_call_handler(channel, echo_cb, nullptr, nullptr);

  RunClient([&] {
    BridgeClient client;
    std::string error;
    ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
    g_autoptr(FlValue) args = fl_value_new_map();
    fl_value_set_string_take(args, "text", fl_value_new_string("h\xc3\xa9llo"));
    fl_value_set_string_take(args, "big", fl_value_new_int(G_GINT64_CONSTANT(1) << 40));
    FlValue* list = fl_value_new_list();
    fl_value_append_take(list, fl_value_new_float(2.5));
    fl_value_append_take(list, fl_value_new_null());
    fl_value_set_string_take(args, "list", list);

    BridgeClient::Response response = client.Call("test/echo", "echo", args, kTimeoutMs);
    ASSERT_EQ(response.status, BridgeClient::Status::kSuccess) << response.failure;
    EXPECT_TRUE(fl_value_equal(response.result.get(), args));

    response = client.Call("test/echo", "fail", args, kTimeoutMs);
    ASSERT_EQ(response.status, BridgeClient::Status::kError) << response.failure;
    EXPECT_EQ(response.code, "BAD");
    EXPECT_EQ(response.message, "it failed");
    EXPECT_TRUE(fl_value_equal(response.details.get(), args));

    response = client.Call("test/echo", "none", nullptr, kTimeoutMs);
    EXPECT_EQ(response.status, BridgeClient::Status::kNotImplemented);
    ExpectNoStrayReply(&client);
  });
}

void drop_cb(FlBinaryMessenger* messenger,
             const gchar* channel,
             GBytes* message,
             FlBinaryMessengerResponseHandle* handle,
             gpointer user_data) {
  // Deliberately neither answers nor keeps the handle.
}

TEST_F(UiBridgeTest, UnansweredMessageIsReportedAndAnsweredEmpty) {
  ASSERT_TRUE(StartEngine());
  fl_binary_messenger_set_message_handler_on_channel(messenger(), "test/drop", drop_cb, nullptr,
                                                     nullptr);
  g_test_expect_message(nullptr, G_LOG_LEVEL_CRITICAL,
                        "FlBinaryMessengerResponseHandle was not responded to");
  RunClient([&] {
    BridgeClient client;
    std::string error;
    ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
    EXPECT_EQ(client.Call("test/drop", "anything", nullptr, kTimeoutMs).status,
              BridgeClient::Status::kNotImplemented);
    ExpectNoStrayReply(&client);
  });
  g_test_assert_expected_messages();
}

// What a handler that answers twice saw, and where it answered from.
struct AnswerTwice {
  bool from_thread = false;
  std::vector<std::thread> threads;
  gboolean first = FALSE;
  gboolean second = TRUE;
  GError* error = nullptr;
  std::atomic<bool> done{false};
};

// Answers "first" and then, refused, "second" (success envelopes with a string).
void answer_twice(FlBinaryMessenger* messenger,
                  FlBinaryMessengerResponseHandle* handle,
                  AnswerTwice* state) {
  g_autoptr(GBytes) first = g_bytes_new_static(
      "\x00\x07\x05"
      "first",
      8);
  g_autoptr(GBytes) second = g_bytes_new_static(
      "\x00\x07\x06"
      "second",
      9);
  state->first = fl_binary_messenger_send_response(messenger, handle, first, nullptr);
  state->second = fl_binary_messenger_send_response(messenger, handle, second, &state->error);
  state->done = true;
}

void answer_twice_cb(FlBinaryMessenger* messenger,
                     const gchar* channel,
                     GBytes* message,
                     FlBinaryMessengerResponseHandle* handle,
                     gpointer user_data) {
  AnswerTwice* state = static_cast<AnswerTwice*>(user_data);
  if (!state->from_thread) {
    answer_twice(messenger, handle, state);
    return;
  }
  g_object_ref(messenger);
  g_object_ref(handle);
  state->threads.emplace_back([messenger, handle, state] {
    answer_twice(messenger, handle, state);
    g_object_unref(handle);
    g_object_unref(messenger);
  });
}

// A second answer to one message is refused and sends nothing, whether both come from the main
// loop or from another thread: the UI gets the first answer only.
TEST_F(UiBridgeTest, SecondAnswerIsRefusedAndSendsNothing) {
  ASSERT_TRUE(StartEngine());
  for (const bool from_thread : {false, true}) {
    const std::string what = from_thread ? "from another thread" : "from the main loop";
    SCOPED_TRACE(what);
    AnswerTwice state;
    state.from_thread = from_thread;
    fl_binary_messenger_set_message_handler_on_channel(messenger(), "test/twice", answer_twice_cb,
                                                       &state, nullptr);
    RunClient([&] {
      BridgeClient client;
      std::string error;
      ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
      BridgeClient::Response response = client.Call("test/twice", "x", nullptr, kTimeoutMs);
      ASSERT_EQ(response.status, BridgeClient::Status::kSuccess) << response.failure;
      EXPECT_STREQ(fl_value_get_string(response.result.get()), "first");
      // Both answers were given before the next calls.
      while (!state.done) {
        g_usleep(1000);
      }
      ExpectNoStrayReply(&client, what);
    });
    for (auto& thread : state.threads) {
      thread.join();
    }
    fl_binary_messenger_set_message_handler_on_channel(messenger(), "test/twice", nullptr, nullptr,
                                                       nullptr);
    EXPECT_TRUE(state.first);
    EXPECT_FALSE(state.second);
    EXPECT_TRUE(g_error_matches(state.error, FL_BINARY_MESSENGER_ERROR,
                                FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED));
    g_clear_error(&state.error);
  }
}

void answer_from_thread_cb(FlBinaryMessenger* messenger,
                           const gchar* channel,
                           GBytes* message,
                           FlBinaryMessengerResponseHandle* handle,
                           gpointer user_data) {
  auto* threads = static_cast<std::vector<std::thread>*>(user_data);
  g_object_ref(messenger);
  g_object_ref(handle);
  threads->emplace_back([messenger, handle] {
    g_autoptr(GBytes) reply = g_bytes_new_static("\x00\x07\x02ok", 5);
    EXPECT_TRUE(fl_binary_messenger_send_response(messenger, handle, reply, nullptr));
    g_object_unref(handle);
    g_object_unref(messenger);
  });
}

TEST_F(UiBridgeTest, AnswerFromAnotherThreadReachesTheUi) {
  ASSERT_TRUE(StartEngine());
  std::vector<std::thread> threads;
  fl_binary_messenger_set_message_handler_on_channel(messenger(), "test/worker",
                                                     answer_from_thread_cb, &threads, nullptr);
  RunClient([&] {
    BridgeClient client;
    std::string error;
    ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
    BridgeClient::Response response = client.Call("test/worker", "work", nullptr, kTimeoutMs);
    ASSERT_EQ(response.status, BridgeClient::Status::kSuccess) << response.failure;
    EXPECT_STREQ(fl_value_get_string(response.result.get()), "ok");
    ExpectNoStrayReply(&client);
  });
  for (auto& thread : threads) {
    thread.join();
  }
}

struct Stream {
  FlEventChannel* channel = nullptr;
  int listens = 0;
  int cancels = 0;
  FlValue* listen_args = nullptr;
  FlValue* cancel_args = nullptr;
  bool send_on_listen = false;
};

gboolean send_events_cb(gpointer user_data) {
  Stream* stream = static_cast<Stream*>(user_data);
  g_autoptr(FlValue) one = fl_value_new_int(1);
  g_autoptr(FlValue) two = fl_value_new_string("two");
  EXPECT_TRUE(fl_event_channel_send(stream->channel, one, nullptr, nullptr));
  EXPECT_TRUE(fl_event_channel_send(stream->channel, two, nullptr, nullptr));
  EXPECT_TRUE(fl_event_channel_send_error(stream->channel, "E", "bad", nullptr, nullptr, nullptr));
  EXPECT_TRUE(fl_event_channel_send_end_of_stream(stream->channel, nullptr, nullptr));
  return G_SOURCE_REMOVE;
}

FlMethodErrorResponse* listen_cb(FlEventChannel* channel, FlValue* args, gpointer user_data) {
  Stream* stream = static_cast<Stream*>(user_data);
  stream->listens++;
  g_clear_pointer(&stream->listen_args, fl_value_unref);
  stream->listen_args = fl_value_ref(args);
  if (stream->send_on_listen) {
    g_idle_add(send_events_cb, stream);
  }
  return nullptr;
}

FlMethodErrorResponse* cancel_cb(FlEventChannel* channel, FlValue* args, gpointer user_data) {
  Stream* stream = static_cast<Stream*>(user_data);
  stream->cancels++;
  g_clear_pointer(&stream->cancel_args, fl_value_unref);
  stream->cancel_args = fl_value_ref(args);
  return nullptr;
}

class UiBridgeStreamTest : public UiBridgeTest {
 protected:
  void SetUp() override {
    UiBridgeTest::SetUp();
    ASSERT_TRUE(StartEngine());
    g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
    stream_.channel = fl_event_channel_new(messenger(), "test/events", FL_METHOD_CODEC(codec));
    fl_event_channel_set_stream_handlers(stream_.channel, listen_cb, cancel_cb, &stream_, nullptr);
  }
  void TearDown() override {
    g_clear_object(&stream_.channel);
    g_clear_pointer(&stream_.listen_args, fl_value_unref);
    g_clear_pointer(&stream_.cancel_args, fl_value_unref);
    UiBridgeTest::TearDown();
  }
  Stream stream_;
};

TEST_F(UiBridgeStreamTest, EventsReachTheListenerAndTheView) {
  stream_.send_on_listen = true;
  RunClient([&] {
    BridgeClient client;
    std::string error;
    ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
    BridgeClient::Response response = client.Listen("test/events", nullptr, kTimeoutMs);
    ASSERT_EQ(response.status, BridgeClient::Status::kSuccess) << response.failure;

    BridgeClient::Event event;
    ASSERT_EQ(client.NextEvent(kTimeoutMs, &event, &error), BridgeClient::Status::kSuccess)
        << error;
    EXPECT_EQ(event.kind, BridgeClient::Event::Kind::kData);
    EXPECT_EQ(fl_value_get_int(event.value.get()), 1);
    ASSERT_EQ(client.NextEvent(kTimeoutMs, &event, &error), BridgeClient::Status::kSuccess);
    EXPECT_STREQ(fl_value_get_string(event.value.get()), "two");
    ASSERT_EQ(client.NextEvent(kTimeoutMs, &event, &error), BridgeClient::Status::kSuccess);
    EXPECT_EQ(event.kind, BridgeClient::Event::Kind::kError);
    EXPECT_EQ(event.code, "E");
    EXPECT_EQ(event.message, "bad");
    ASSERT_EQ(client.NextEvent(kTimeoutMs, &event, &error), BridgeClient::Status::kSuccess);
    EXPECT_EQ(event.kind, BridgeClient::Event::Kind::kEndOfStream);
  });
  std::vector<std::string> texts = RecentEvents(messenger());
  EXPECT_EQ(texts,
            (std::vector<std::string>{"test/events: 1", "test/events: two",
                                      "test/events: error E: bad", "test/events: end of stream"}));
}

TEST_F(UiBridgeStreamTest, LongEventsAreCutForDisplay) {
  std::atomic<bool> listening{false};
  std::atomic<bool> received{false};
  std::thread client_thread([&] {
    BridgeClient client;
    std::string error;
    ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
    ASSERT_EQ(client.Listen("test/events", nullptr, kTimeoutMs).status,
              BridgeClient::Status::kSuccess);
    listening = true;
    BridgeClient::Event event;
    ASSERT_EQ(client.NextEvent(kTimeoutMs, &event, &error), BridgeClient::Status::kSuccess);
    // The UI gets all of it.
    EXPECT_EQ(strlen(fl_value_get_string(event.value.get())), 1000u);
    received = true;
  });
  ASSERT_TRUE(IterateUntil([&] { return listening.load(); }));
  std::string text(1000, 'e');
  g_autoptr(FlValue) value = fl_value_new_string(text.c_str());
  EXPECT_TRUE(fl_event_channel_send(stream_.channel, value, nullptr, nullptr));
  ASSERT_TRUE(IterateUntil([&] { return received.load(); }));
  client_thread.join();
  EXPECT_EQ(RecentEvents(messenger()),
            std::vector<std::string>{"test/events: " + std::string(160, 'e') + "\u2026"});
}

TEST_F(UiBridgeStreamTest, ClientLeavingCancelsItsStreamOnce) {
  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "filter", fl_value_new_string("state"));
  RunClient([&] {
    BridgeClient client;
    std::string error;
    ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
    ASSERT_EQ(client.Listen("test/events", args, kTimeoutMs).status,
              BridgeClient::Status::kSuccess);
  });
  ASSERT_TRUE(IterateUntil([&] { return stream_.cancels == 1; }));
  EXPECT_EQ(stream_.listens, 1);
  EXPECT_TRUE(fl_value_equal(stream_.cancel_args, args));
  EXPECT_FALSE(fl_bridge_messenger_has_client(FL_BRIDGE_MESSENGER(messenger())));

  // A stream the client cancelled itself is not cancelled again when it leaves.
  RunClient([&] {
    BridgeClient client;
    std::string error;
    ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
    ASSERT_EQ(client.Listen("test/events", nullptr, kTimeoutMs).status,
              BridgeClient::Status::kSuccess);
    ASSERT_EQ(client.Cancel("test/events", nullptr, kTimeoutMs).status,
              BridgeClient::Status::kSuccess);
  });
  // The next client is served only after the previous one is let go.
  ExpectServed();
  EXPECT_EQ(stream_.listens, 2);
  EXPECT_EQ(stream_.cancels, 2);
}

struct SendResult {
  bool done = false;
  GBytes* reply = nullptr;
  GError* error = nullptr;
};

void send_done_cb(GObject* object, GAsyncResult* result, gpointer user_data) {
  SendResult* send = static_cast<SendResult*>(user_data);
  send->reply =
      fl_binary_messenger_send_on_channel_finish(FL_BINARY_MESSENGER(object), result, &send->error);
  send->done = true;
}

TEST_F(UiBridgeTest, SendingWithoutClientFails) {
  ASSERT_TRUE(StartEngine());
  SendResult send;
  g_autoptr(GBytes) message = EncodeCall("hi", nullptr);
  fl_binary_messenger_send_on_channel(messenger(), "test/host", message, nullptr, send_done_cb,
                                      &send);
  ASSERT_TRUE(IterateUntil([&] { return send.done; }));
  EXPECT_EQ(send.reply, nullptr);
  EXPECT_TRUE(g_error_matches(send.error, G_IO_ERROR, G_IO_ERROR_NOT_CONNECTED));
  g_clear_error(&send.error);
}

void answer_oversize_cb(FlBinaryMessenger* messenger,
                        const gchar* channel,
                        GBytes* message,
                        FlBinaryMessengerResponseHandle* handle,
                        gpointer user_data) {
  std::string big(FL_UI_BRIDGE_MAX_FRAME, 'x');
  g_autoptr(GBytes) reply = g_bytes_new(big.data(), big.size());
  fl_binary_messenger_send_response(messenger, handle, reply, nullptr);
}

TEST_F(UiBridgeTest, NothingBeyondTheFrameLimitIsSent) {
  ASSERT_TRUE(StartEngine());
  // A message too large is refused before anything else is checked.
  std::string big(FL_UI_BRIDGE_MAX_FRAME, 'x');
  g_autoptr(GBytes) message = g_bytes_new(big.data(), big.size());
  SendResult send;
  fl_binary_messenger_send_on_channel(messenger(), "test/host", message, nullptr, send_done_cb,
                                      &send);
  ASSERT_TRUE(IterateUntil([&] { return send.done; }));
  EXPECT_TRUE(g_error_matches(send.error, G_IO_ERROR, G_IO_ERROR_MESSAGE_TOO_LARGE));
  g_clear_error(&send.error);

  // A reply too large goes out empty, with one line.
  fl_binary_messenger_set_message_handler_on_channel(messenger(), "test/oversize",
                                                     answer_oversize_cb, nullptr, nullptr);
  RunClient([&] {
    BridgeClient client;
    std::string error;
    ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
    EXPECT_EQ(client.Call("test/oversize", "x", nullptr, kTimeoutMs).status,
              BridgeClient::Status::kNotImplemented);
  });
  EXPECT_EQ(CountLines("exceeds the frame limit"), 1) << AllLines();
}

// Sends a message to the UI, then answers the UI's call.
void trigger_cb(FlBinaryMessenger* messenger,
                const gchar* channel,
                GBytes* message,
                FlBinaryMessengerResponseHandle* handle,
                gpointer user_data) {
  SendResult* send = static_cast<SendResult*>(user_data);
  g_autoptr(GBytes) out = EncodeCall("fromHost", nullptr);
  fl_binary_messenger_send_on_channel(messenger, "test/host", out, nullptr, send_done_cb, send);
  fl_binary_messenger_send_response(messenger, handle, nullptr, nullptr);
}

TEST_F(UiBridgeTest, HostMessagesGetTheUiReplyOrFailWhenItLeaves) {
  ASSERT_TRUE(StartEngine());
  SendResult answered;
  fl_binary_messenger_set_message_handler_on_channel(messenger(), "test/trigger", trigger_cb,
                                                     &answered, nullptr);
  RunClient([&] {
    BridgeClient client;
    std::string error;
    ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
    client.Call("test/trigger", "go", nullptr, kTimeoutMs);
  });
  ASSERT_TRUE(IterateUntil([&] { return answered.done; }));
  ASSERT_NE(answered.reply, nullptr) << answered.error->message;
  EXPECT_EQ(g_bytes_get_size(answered.reply), 0u);
  g_bytes_unref(answered.reply);

  // This client sends the call and leaves without reading: the host's message goes unanswered.
  SendResult abandoned;
  fl_binary_messenger_set_message_handler_on_channel(messenger(), "test/trigger", trigger_cb,
                                                     &abandoned, nullptr);
  RunClient([&] {
    BridgeClient client;
    std::string error;
    ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
    g_autoptr(GBytes) call = EncodeCall("go", nullptr);
    ASSERT_TRUE(client.SendRaw(BridgeClient::EncodeFrame(1, 1, "test/trigger", StringOf(call))));
  });
  ASSERT_TRUE(IterateUntil([&] { return abandoned.done; }));
  EXPECT_EQ(abandoned.reply, nullptr);
  EXPECT_TRUE(g_error_matches(abandoned.error, G_IO_ERROR, G_IO_ERROR_CONNECTION_CLOSED));
  g_clear_error(&abandoned.error);
}

TEST_F(UiBridgeTest, SlowReaderNeverBlocksTheHost) {
  ASSERT_TRUE(StartEngine());
  std::atomic<bool> connected{false};
  std::atomic<bool> sent{false};
  constexpr int kMessages = 16;
  int received = 0;
  std::thread reader([&] {
    BridgeClient client;
    std::string error;
    ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
    connected = true;
    g_main_context_wakeup(nullptr);
    while (!sent) {
      g_usleep(1000);
    }
    ASSERT_EQ(client.Listen("test/bulk", nullptr, kTimeoutMs).status,
              BridgeClient::Status::kNotImplemented);
  });
  ASSERT_TRUE(IterateUntil([&] { return connected.load(); }));
  ASSERT_TRUE(IterateUntil(
      [&] { return fl_bridge_messenger_has_client(FL_BRIDGE_MESSENGER(messenger())); }));
  // 16 MiB queued while the client reads nothing (far more than the socket holds): every send
  // returns at once and the rest goes out from the main loop.
  std::string big(1024 * 1024, 'k');
  std::vector<SendResult> results(kMessages);
  for (int i = 0; i < kMessages; i++) {
    g_autoptr(FlValue) value = fl_value_new_string(big.c_str());
    g_autoptr(GBytes) message = EncodeCall("bulk", value);
    fl_binary_messenger_send_on_channel(messenger(), "test/host", message, nullptr, send_done_cb,
                                        &results[i]);
  }
  sent = true;
  ASSERT_TRUE(IterateUntil([&] {
    received = 0;
    for (const auto& r : results) {
      received += r.done ? 1 : 0;
    }
    return received == kMessages;
  }));
  reader.join();
  for (auto& r : results) {
    EXPECT_NE(r.reply, nullptr);
    g_clear_pointer(&r.reply, g_bytes_unref);
    g_clear_error(&r.error);
  }
}

TEST_F(UiBridgeTest, FrameOfTheMaximalSizeIsServed) {
  ASSERT_TRUE(StartEngine());
  RunClient([&] {
    BridgeClient client;
    std::string error;
    ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
    const std::string channel = "test/unserved";
    // kind, id, name length, name, then a call "m" with a byte list filling the rest.
    size_t header = 1 + 4 + 2 + channel.size();
    std::string call("\x07\x01m\x08\xff", 5);
    size_t list_length = FL_UI_BRIDGE_MAX_FRAME - header - call.size() - 4;
    call += korvane_test::Le32(static_cast<uint32_t>(list_length));
    call += std::string(list_length, '\x5a');
    std::string frame = BridgeClient::EncodeFrame(1, 9, channel, call);
    ASSERT_EQ(frame.size(), 4u + FL_UI_BRIDGE_MAX_FRAME);
    std::string reply;
    EXPECT_EQ(client.Request(channel, call, &reply, kTimeoutMs, &error),
              BridgeClient::Status::kSuccess)
        << error;
    EXPECT_TRUE(reply.empty());
  });
  EXPECT_EQ(CountLines(korvane::kUiBridgeTag), 0) << AllLines();
}

TEST_F(UiBridgeTest, GarbageClosesTheConnectionWithOneLine) {
  ASSERT_TRUE(StartEngine());
  for (const auto& garbage : korvane_test::GarbageFrames()) {
    SCOPED_TRACE(garbage.name);
    lines_.clear();
    RunClient([&] {
      BridgeClient client;
      std::string error;
      ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
      ASSERT_TRUE(client.SendRaw(garbage.bytes));
      EXPECT_TRUE(client.WaitForClose(kTimeoutMs));
    });
    ASSERT_EQ(lines_.size(), 1u) << AllLines();
    EXPECT_NE(lines_[0].find(garbage.fragment), std::string::npos) << lines_[0];
    EXPECT_EQ(lines_[0].back(), '\n');
    EXPECT_EQ(lines_[0].find('\n'), lines_[0].size() - 1) << "one line only";
  }
  ExpectServed();
}

TEST_F(UiBridgeTest, SecondClientIsRefusedWithOneLine) {
  ASSERT_TRUE(StartEngine());
  RunClient([&] {
    BridgeClient first;
    std::string error;
    ASSERT_TRUE(first.Connect(socket_path_, kTimeoutMs, &error)) << error;
    BridgeClient second;
    ASSERT_TRUE(second.ConnectSocket(socket_path_, &error)) << error;
    EXPECT_FALSE(second.ReadHello(kTimeoutMs, &error));
    EXPECT_EQ(first.Call("test/unserved", "x", nullptr, kTimeoutMs).status,
              BridgeClient::Status::kNotImplemented);
  });
  EXPECT_EQ(CountLines("refused a second client"), 1) << AllLines();
  EXPECT_EQ(lines_.size(), 1u) << AllLines();
}

TEST_F(UiBridgeTest, ClientThatHasHungUpDoesNotTurnTheNextAway) {
  ASSERT_TRUE(StartEngine());
  FlBridgeMessenger* bridge_messenger = FL_BRIDGE_MESSENGER(messenger());
  g_autoptr(GBytes) call = EncodeCall("ping", nullptr);
  for (int round = 0; round < 5; round++) {
    SCOPED_TRACE(round);
    std::string error;
    BridgeClient first;
    ASSERT_TRUE(first.ConnectSocket(socket_path_, &error)) << error;
    ASSERT_TRUE(IterateUntil([&] { return fl_bridge_messenger_has_client(bridge_messenger); }));
    // It leaves a message behind and hangs up; the next client knocks before the host has
    // run again, as when a script runs one command after another.
    ASSERT_TRUE(first.SendRaw(BridgeClient::EncodeFrame(1, 1, "test/unserved", StringOf(call))));
    first.Close();
    BridgeClient next;
    ASSERT_TRUE(next.ConnectSocket(socket_path_, &error)) << error;
    RunClient([&] {
      ASSERT_TRUE(next.ReadHello(kTimeoutMs, &error)) << error;
      EXPECT_EQ(next.Call("test/unserved", "x", nullptr, kTimeoutMs).status,
                BridgeClient::Status::kNotImplemented);
      next.Close();
    });
    ASSERT_TRUE(IterateUntil([&] { return !fl_bridge_messenger_has_client(bridge_messenger); }));
  }
  EXPECT_EQ(CountLines("refused"), 0) << AllLines();
}

struct Counter {
  int destroyed = 0;
};

void count_destroy(gpointer user_data) {
  static_cast<Counter*>(user_data)->destroyed++;
}

TEST_F(UiBridgeTest, HandlerDataIsReleasedOnReplaceRemovalAndShutdown) {
  ASSERT_TRUE(StartEngine());
  Counter replaced, removed, shut_down;
  fl_binary_messenger_set_message_handler_on_channel(messenger(), "test/a", drop_cb, &replaced,
                                                     count_destroy);
  fl_binary_messenger_set_message_handler_on_channel(messenger(), "test/a", drop_cb, &removed,
                                                     count_destroy);
  EXPECT_EQ(replaced.destroyed, 1);
  EXPECT_EQ(removed.destroyed, 0);
  fl_binary_messenger_set_message_handler_on_channel(messenger(), "test/a", nullptr, nullptr,
                                                     nullptr);
  EXPECT_EQ(removed.destroyed, 1);
  fl_binary_messenger_set_message_handler_on_channel(messenger(), "test/b", drop_cb, &shut_down,
                                                     count_destroy);
  g_clear_object(&engine_);
  EXPECT_EQ(shut_down.destroyed, 1);
  EXPECT_EQ(replaced.destroyed, 1);
  EXPECT_EQ(removed.destroyed, 1);
}

}  // namespace

// What the in-process UI (the control panel) gets from the host.
struct InProcessUi {
  std::vector<std::string> events;
  bool reply_done = false;
  GBytes* reply = nullptr;
  GError* error = nullptr;
};

GBytes* in_process_event_cb(FlBridgeMessenger* messenger,
                            const gchar* channel,
                            GBytes* message,
                            gpointer user_data) {
  static_cast<InProcessUi*>(user_data)->events.push_back(message != nullptr ? StringOf(message)
                                                                            : "");
  return nullptr;
}

void in_process_reply_cb(GObject* object, GAsyncResult* result, gpointer user_data) {
  InProcessUi* ui = static_cast<InProcessUi*>(user_data);
  ui->reply =
      fl_bridge_messenger_send_from_ui_finish(FL_BRIDGE_MESSENGER(object), result, &ui->error);
  ui->reply_done = true;
}

// Sends |method| from the in-process UI on |channel| and serves the main loop until answered.
std::string CallFromInProcessUi(FlBinaryMessenger* messenger,
                                const char* channel,
                                const char* method,
                                const std::function<bool(const std::function<bool()>&)>& until) {
  InProcessUi ui;
  g_autoptr(GBytes) call = EncodeCall(method, nullptr);
  fl_bridge_messenger_send_from_ui(FL_BRIDGE_MESSENGER(messenger), channel, call, nullptr,
                                   in_process_reply_cb, &ui);
  // Never answered from inside the send: the UI is not re-entered from its own call.
  EXPECT_FALSE(ui.reply_done);
  EXPECT_TRUE(until([&] { return ui.reply_done; }));
  std::string reply = ui.reply != nullptr ? StringOf(ui.reply) : "";
  g_clear_pointer(&ui.reply, g_bytes_unref);
  g_clear_error(&ui.error);
  return reply;
}

TEST_F(UiBridgeStreamTest, InProcessUiIsServedWhileNoClientIsAttached) {
  auto until = [this](const std::function<bool()>& condition) { return IterateUntil(condition); };
  InProcessUi ui;
  fl_bridge_messenger_set_ui_handler(FL_BRIDGE_MESSENGER(messenger()), "test/events",
                                     in_process_event_cb, &ui, nullptr);
  // Its "listen" reaches the stream handler at once, like a client's frame; the answer later.
  EXPECT_EQ(CallFromInProcessUi(messenger(), "test/events", "listen", until),
            std::string("\x00\x00", 2));
  EXPECT_EQ(stream_.listens, 1);

  // Events reach it in order, from the main loop, never from inside the host's send.
  send_events_cb(&stream_);
  EXPECT_TRUE(ui.events.empty());
  ASSERT_TRUE(IterateUntil([&] { return ui.events.size() == 4; }));
  EXPECT_EQ(ui.events[0], std::string("\x00\x03\x01\x00\x00\x00", 6));
  EXPECT_EQ(ui.events[1], std::string("\x00\x07\x03two", 6));
  EXPECT_EQ(ui.events[2].substr(0, 4), std::string("\x01\x07\x01"
                                                   "E",
                                                   4));
  EXPECT_EQ(ui.events[3], "");
  // The view lists them as it lists a client's: the host's events, whoever the UI is.
  EXPECT_EQ(RecentEvents(messenger()),
            (std::vector<std::string>{"test/events: 1", "test/events: two",
                                      "test/events: error E: bad", "test/events: end of stream"}));

  // An answer from a worker thread comes back to it; an unserved channel answers empty.
  std::vector<std::thread> threads;
  fl_binary_messenger_set_message_handler_on_channel(messenger(), "test/worker",
                                                     answer_from_thread_cb, &threads, nullptr);
  EXPECT_EQ(CallFromInProcessUi(messenger(), "test/worker", "work", until),
            std::string("\x00\x07\x02ok", 5));
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(CallFromInProcessUi(messenger(), "test/unserved", "ping", until), "");

  // While a client is attached, the host's events go to the client alone.
  RunClient([&] {
    BridgeClient client;
    std::string error;
    ASSERT_TRUE(client.Connect(socket_path_, kTimeoutMs, &error)) << error;
    EXPECT_EQ(client.Listen("test/events", nullptr, kTimeoutMs).status,
              BridgeClient::Status::kSuccess);
    g_idle_add(send_events_cb, &stream_);
    BridgeClient::Event event;
    ASSERT_EQ(client.NextEvent(kTimeoutMs, &event, &error), BridgeClient::Status::kSuccess)
        << error;
    EXPECT_EQ(fl_value_get_int(event.value.get()), 1);
  });
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  EXPECT_EQ(ui.events.size(), 4u);

  // Removed, it gets nothing more, and the host's sends fail as with nobody there.
  fl_bridge_messenger_set_ui_handler(FL_BRIDGE_MESSENGER(messenger()), "test/events", nullptr,
                                     nullptr, nullptr);
  SendResult send;
  fl_binary_messenger_send_on_channel(messenger(), "test/events", nullptr, nullptr, send_done_cb,
                                      &send);
  ASSERT_TRUE(IterateUntil([&] { return send.done; }));
  EXPECT_TRUE(g_error_matches(send.error, G_IO_ERROR, G_IO_ERROR_NOT_CONNECTED));
  g_clear_error(&send.error);
  EXPECT_EQ(ui.events.size(), 4u);
}
