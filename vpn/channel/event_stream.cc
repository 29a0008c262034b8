// The state and error event stream on "com.quorandel.korvane/vpn_events".
//
// Events are sent only while the UI listens and are never queued. Channel objects are touched
// only on the main thread (VPNManager re-posts a state raised elsewhere).

#include <flutter_linux/flutter_linux.h>

#include <chrono>
#include <exception>
#include <string>

#include "base/logger.h"
#include "vpn/channel/channel_state.h"
#include "vpn/vpn_channels.h"
#include "vpn/vpn_manager.h"

namespace korvane {

namespace {

constexpr Logger kLog("");

}  // namespace

// Also used by the stream handlers below, outside this namespace.
constexpr Logger kEventLog("");

namespace {

int64_t MillisSinceEpoch() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Whether the UI listens; says why not when it does not.
bool Listening(const char* not_listening_line) {
  std::lock_guard<std::mutex> lock(Channels().stream_mutex);
  if (!Channels().stream_active) {
    kLog.Info() << not_listening_line;
    return false;
  }
  return true;
}

void SendState(const std::string& state) {
  try {
    if (Channels().event_channel == nullptr) {
      kLog.Info() << "Event channel not initialized";
      return;
    }
    if (!Listening("No active stream - Flutter may not be listening yet")) {
      return;
    }
    g_autoptr(FlValue) event = fl_value_new_map();
    const std::string status = kEventStatePrefix + state;
    fl_value_set_string_take(event, kEventStatusKey, fl_value_new_string(status.c_str()));
    fl_value_set_string_take(event, kEventTimestampKey, fl_value_new_int(MillisSinceEpoch()));
    g_autoptr(GError) error = nullptr;
    if (fl_event_channel_send(Channels().event_channel, event, nullptr, &error)) {
      kLog.Info() << "Successfully sent VPN state update: " << status;
    } else {
      kLog.Error() << "Failed to send event: "
                   << (error != nullptr ? error->message : "unknown error");
    }
  } catch (const std::exception& e) {
    kLog.Error() << "Error sending state update: " << e.what();
  }
}

void SendErrorEvent(const std::string& message) {
  try {
    if (Channels().event_channel == nullptr) {
      kLog.Info() << "Event channel not initialized for error";
      return;
    }
    if (!Listening("No active stream for error - Flutter may not be listening yet")) {
      return;
    }
    g_autoptr(FlValue) event = fl_value_new_map();
    fl_value_set_string_take(event, kEventStatusKey, fl_value_new_string(kEventErrorStatus));
    fl_value_set_string_take(event, kEventErrorKey, fl_value_new_string(message.c_str()));
    fl_value_set_string_take(event, kEventTimestampKey, fl_value_new_int(MillisSinceEpoch()));
    g_autoptr(GError) error = nullptr;
    if (fl_event_channel_send(Channels().event_channel, event, nullptr, &error)) {
      kLog.Info() << "Successfully sent VPN error: " << message;
    } else {
      kLog.Error() << "Failed to send error event: "
                   << (error != nullptr ? error->message : "unknown error");
    }
  } catch (const std::exception& e) {
    kLog.Error() << "Error sending error update: " << e.what();
  }
}

}  // namespace

void RouteEvents() {
  VPNManager::SetEventSink({SendState, SendErrorEvent});
}

}  // namespace korvane

FlMethodErrorResponse* VPNManager::OnListenHandler(FlEventChannel*, FlValue*, void*) {
  std::lock_guard<std::mutex> lock(korvane::Channels().stream_mutex);
  korvane::Channels().stream_active = true;
  korvane::kEventLog.Info() << "VPN event stream started";
  return nullptr;
}

FlMethodErrorResponse* VPNManager::OnCancelHandler(FlEventChannel*, FlValue*, void*) {
  std::lock_guard<std::mutex> lock(korvane::Channels().stream_mutex);
  korvane::Channels().stream_active = false;
  korvane::kEventLog.Info() << "VPN event stream cancelled";
  return nullptr;
}
