// The messenger interface wrappers and the response-handle base that implementations share.

#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fl_binary_messenger_private.h"
#include "tests/support/mock_messenger.h"

namespace {

G_DECLARE_FINAL_TYPE(TestHandle, test_handle, TEST, HANDLE, FlBinaryMessengerResponseHandle)

struct _TestHandle {
  FlBinaryMessengerResponseHandle parent_instance;
};

G_DEFINE_TYPE(TestHandle, test_handle, fl_binary_messenger_response_handle_get_type())

static void test_handle_class_init(TestHandleClass* klass) {}

static void test_handle_init(TestHandle* self) {}

// Counts the criticals logged while it lives (criticals are otherwise fatal in tests).
class CriticalCounter {
 public:
  CriticalCounter() {
    old_fatal_ = g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK));
    handler_ = g_log_set_handler(
        nullptr, G_LOG_LEVEL_CRITICAL,
        [](const gchar*, GLogLevelFlags, const gchar* message, gpointer data) {
          static_cast<CriticalCounter*>(data)->messages_.push_back(message);
        },
        this);
  }
  ~CriticalCounter() {
    g_log_remove_handler(nullptr, handler_);
    g_log_set_always_fatal(old_fatal_);
  }
  const std::vector<std::string>& messages() const { return messages_; }

 private:
  GLogLevelFlags old_fatal_;
  guint handler_;
  std::vector<std::string> messages_;
};

TEST(FlBinaryMessengerResponseHandleTest, FirstAnswerWinsAndLaterOnesFail) {
  g_autoptr(TestHandle) handle = TEST_HANDLE(g_object_new(test_handle_get_type(), nullptr));
  FlBinaryMessengerResponseHandle* base = FL_BINARY_MESSENGER_RESPONSE_HANDLE(handle);
  EXPECT_FALSE(fl_binary_messenger_response_handle_is_responded(base));
  EXPECT_TRUE(fl_binary_messenger_response_handle_mark_responded(base, nullptr));
  EXPECT_TRUE(fl_binary_messenger_response_handle_is_responded(base));
  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(fl_binary_messenger_response_handle_mark_responded(base, &error));
  EXPECT_TRUE(g_error_matches(error, FL_BINARY_MESSENGER_ERROR,
                              FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED));
  CriticalCounter criticals;
  fl_binary_messenger_response_handle_check_responded(base);
  EXPECT_TRUE(criticals.messages().empty());
}

TEST(FlBinaryMessengerResponseHandleTest, UnansweredHandleIsReportedOnce) {
  g_autoptr(TestHandle) handle = TEST_HANDLE(g_object_new(test_handle_get_type(), nullptr));
  FlBinaryMessengerResponseHandle* base = FL_BINARY_MESSENGER_RESPONSE_HANDLE(handle);
  CriticalCounter criticals;
  fl_binary_messenger_response_handle_check_responded(base);
  fl_binary_messenger_response_handle_check_responded(base);
  EXPECT_EQ(criticals.messages(),
            std::vector<std::string>{"FlBinaryMessengerResponseHandle was not responded to"});
}

// Concurrent answers: exactly one is accepted.
TEST(FlBinaryMessengerResponseHandleTest, RacingAnswersAcceptExactlyOne) {
  g_autoptr(TestHandle) handle = TEST_HANDLE(g_object_new(test_handle_get_type(), nullptr));
  static gint accepted = 0;
  accepted = 0;
  GThread* threads[4];
  for (GThread*& thread : threads) {
    thread = g_thread_new(
        "answer",
        [](gpointer data) -> gpointer {
          if (fl_binary_messenger_response_handle_mark_responded(
                  FL_BINARY_MESSENGER_RESPONSE_HANDLE(data), nullptr)) {
            g_atomic_int_inc(&accepted);
          }
          return nullptr;
        },
        handle);
  }
  for (GThread* thread : threads) {
    g_thread_join(thread);
  }
  EXPECT_EQ(accepted, 1);
}

TEST(FlBinaryMessengerTest, WrappersReachTheImplementation) {
  g_autoptr(FlMockBinaryMessenger) mock = fl_mock_binary_messenger_new();
  FlBinaryMessenger* messenger = FL_BINARY_MESSENGER(mock);
  static int released = 0;
  released = 0;
  fl_binary_messenger_set_message_handler_on_channel(
      messenger, "raw",
      [](FlBinaryMessenger* m, const gchar*, GBytes* message,
         FlBinaryMessengerResponseHandle* handle, gpointer) {
        // NULL is an empty reply.
        EXPECT_TRUE(fl_binary_messenger_send_response(m, handle, nullptr, nullptr));
      },
      nullptr, [](gpointer) { released++; });
  g_autoptr(GBytes) reply = fl_mock_binary_messenger_send_sync(mock, "raw", nullptr);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(g_bytes_get_size(reply), 0u);

  // A NULL message is sent as an empty one; optional entries may be missing.
  fl_binary_messenger_send_on_channel(messenger, "out", nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(fl_mock_binary_messenger_get_message_count(mock, "out"), 1u);
  fl_binary_messenger_resize_channel(messenger, "out", 3);
  fl_binary_messenger_set_warns_on_channel_overflow(messenger, "out", false);

  fl_binary_messenger_shutdown(messenger);
  EXPECT_EQ(released, 1);
  EXPECT_FALSE(fl_mock_binary_messenger_has_handler(mock, "raw"));
}

}  // namespace
