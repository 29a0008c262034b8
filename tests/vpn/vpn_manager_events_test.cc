// VPNManager's event stream in-process, on a mock messenger that plays the Dart side: state
// events raised on the main thread and from worker threads arrive in the order they were raised,
// the worker never waits for the main loop, and without a listener nothing is sent.

#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/mock_messenger.h"
#include "vpn/vpn_channels.h"
#include "vpn/vpn_manager.h"

namespace {

constexpr const char* kEventChannel = korvane::kEventChannelName;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Called on the main loop: raises the state it carries, as the main thread does.
gboolean RaiseStateCb(gpointer user_data) {
  VPNManager::SendStateUpdate(static_cast<const char*>(user_data));
  return G_SOURCE_REMOVE;
}

class VPNManagerEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The test's thread is the main thread: it owns the default main context, as the GTK main
    // loop's thread does.
    ASSERT_TRUE(g_main_context_acquire(g_main_context_default()));
    messenger_ = fl_mock_binary_messenger_new();
    g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
    channel_ = fl_event_channel_new(FL_BINARY_MESSENGER(messenger_), kEventChannel,
                                    FL_METHOD_CODEC(codec));
    fl_event_channel_set_stream_handlers(channel_, VPNManager::OnListenHandler,
                                         VPNManager::OnCancelHandler, nullptr, nullptr);
    VPNManager::SetEventChannelForTesting(channel_);
  }

  void TearDown() override {
    VPNManager::ResetForTesting();
    g_clear_object(&channel_);
    g_clear_object(&messenger_);
    // Idle callbacks a failed test left behind must not run in the next one.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_main_context_release(g_main_context_default());
  }

  void Listen() {
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlMethodResponse) response =
        fl_mock_binary_messenger_listen(messenger_, kEventChannel, nullptr, &error);
    ASSERT_NE(response, nullptr) << error->message;
    ASSERT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(response));
  }

  // The events sent so far, as "<status>"; checks each is a two-entry state map in order with
  // a millisecond timestamp between |from_ms| and now.
  std::vector<std::string> TakeStates(int64_t from_ms) {
    std::vector<std::string> states;
    const int64_t to_ms = NowMs();
    for (const FlMockEvent& event :
         fl_mock_binary_messenger_take_events(messenger_, kEventChannel)) {
      EXPECT_EQ(event.kind, FlMockEventKind::kValue) << fl_mock_event_to_string(event);
      FlValue* map = event.value.get();
      if (map == nullptr || fl_value_get_type(map) != FL_VALUE_TYPE_MAP ||
          fl_value_get_length(map) != 2) {
        ADD_FAILURE() << "not a state event: " << fl_mock_event_to_string(event);
        continue;
      }
      FlValue* status_key = fl_value_get_map_key(map, 0);
      FlValue* status = fl_value_get_map_value(map, 0);
      FlValue* time_key = fl_value_get_map_key(map, 1);
      FlValue* timestamp = fl_value_get_map_value(map, 1);
      EXPECT_STREQ(fl_value_get_string(status_key), "status");
      EXPECT_STREQ(fl_value_get_string(time_key), "timestamp");
      EXPECT_EQ(fl_value_get_type(timestamp), FL_VALUE_TYPE_INT);
      if (fl_value_get_type(timestamp) == FL_VALUE_TYPE_INT) {
        EXPECT_GE(fl_value_get_int(timestamp), from_ms);
        EXPECT_LE(fl_value_get_int(timestamp), to_ms);
      }
      states.push_back(fl_value_get_string(status));
    }
    return states;
  }

  FlMockBinaryMessenger* messenger_ = nullptr;
  FlEventChannel* channel_ = nullptr;
};

TEST_F(VPNManagerEventsTest, WorkerStatesArriveInOrderAfterThoseAlreadyQueued) {
  Listen();
  const int64_t start = NowMs();
  // Two states the main loop has queued and not yet run.
  g_idle_add(RaiseStateCb, const_cast<char*>("connecting"));
  g_idle_add(RaiseStateCb, const_cast<char*>("connected"));

  // A worker raises two more. It returns without the main loop running: it never waits.
  ::testing::internal::CaptureStdout();
  std::thread worker([] {
    VPNManager::SendStateUpdate("disconnecting");
    VPNManager::SendStateUpdate("disconnected");
  });
  worker.join();
  const std::string worker_out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(worker_out,
            "Not on main thread, scheduling state update\n"
            "Not on main thread, scheduling state update\n");
  EXPECT_EQ(fl_mock_binary_messenger_get_message_count(messenger_, kEventChannel), 0u);

  ASSERT_TRUE(fl_mock_binary_messenger_wait_for_messages(messenger_, kEventChannel, 4));
  EXPECT_EQ(TakeStates(start), (std::vector<std::string>{"vpn_connecting", "vpn_connected",
                                                         "vpn_disconnecting", "vpn_disconnected"}));
}

TEST_F(VPNManagerEventsTest, MainThreadStateGoesBeforeAWorkerStateStillWaiting) {
  Listen();
  const int64_t start = NowMs();
  std::thread worker([] { VPNManager::SendStateUpdate("disconnected"); });
  worker.join();
  // Raised on the main thread after the worker's, but sent at once.
  VPNManager::SendStateUpdate("connected");
  EXPECT_EQ(TakeStates(start), std::vector<std::string>{"vpn_connected"});
  ASSERT_TRUE(fl_mock_binary_messenger_wait_for_messages(messenger_, kEventChannel, 1));
  EXPECT_EQ(TakeStates(start), std::vector<std::string>{"vpn_disconnected"});
}

TEST_F(VPNManagerEventsTest, WithoutAListenerNothingIsSentAndLaterListenersGetNothing) {
  ::testing::internal::CaptureStdout();
  VPNManager::SendStateUpdate("connected");
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "SendStateUpdate called with state: connected\n"
            "No active stream - Flutter may not be listening yet\n");

  // A worker's state with nobody listening is dropped on the main loop just the same.
  std::thread worker([] { VPNManager::SendStateUpdate("disconnecting"); });
  worker.join();
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  Listen();
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  EXPECT_EQ(fl_mock_binary_messenger_get_message_count(messenger_, kEventChannel), 0u);

  // Cancelled again: nothing.
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlMethodResponse) cancelled =
      fl_mock_binary_messenger_cancel(messenger_, kEventChannel, nullptr, &error);
  ASSERT_NE(cancelled, nullptr);
  VPNManager::SendStateUpdate("connecting");
  EXPECT_EQ(fl_mock_binary_messenger_get_message_count(messenger_, kEventChannel), 0u);
}

TEST_F(VPNManagerEventsTest, ErrorEventCarriesTheTextAndIsKeptForTheStatus) {
  Listen();
  const int64_t start = NowMs();
  VPNManager::SendError("TUN device error - x");
  std::vector<FlMockEvent> events = fl_mock_binary_messenger_take_events(messenger_, kEventChannel);
  ASSERT_EQ(events.size(), 1u);
  FlValue* map = events[0].value.get();
  ASSERT_NE(map, nullptr);
  ASSERT_EQ(fl_value_get_length(map), 3u);
  EXPECT_STREQ(fl_value_get_string(fl_value_get_map_key(map, 0)), "status");
  EXPECT_STREQ(fl_value_get_string(fl_value_get_map_value(map, 0)), "vpn_error");
  EXPECT_STREQ(fl_value_get_string(fl_value_get_map_key(map, 1)), "error");
  EXPECT_STREQ(fl_value_get_string(fl_value_get_map_value(map, 1)), "TUN device error - x");
  EXPECT_STREQ(fl_value_get_string(fl_value_get_map_key(map, 2)), "timestamp");
  EXPECT_GE(fl_value_get_int(fl_value_get_map_value(map, 2)), start);
  EXPECT_LE(fl_value_get_int(fl_value_get_map_value(map, 2)), NowMs());
  EXPECT_EQ(VPNManager::GetStatus(), "error: TUN device error - x");
}

}  // namespace
