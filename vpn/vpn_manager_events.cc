// The state and error event stream on "com.quorandel.korvane/vpn_events".
//
// Events are sent only while the UI listens and are never queued. Channel objects are touched
// only on the main thread; a state raised elsewhere is re-posted there with g_idle_add.

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>

#include "base/log.h"
#include "vpn/vpn_manager.h"

namespace {

constexpr char kStatusKey[] = "status";
constexpr char kErrorKey[] = "error";
constexpr char kTimestampKey[] = "timestamp";
constexpr char kStatusPrefix[] = "vpn_";
constexpr char kErrorStatus[] = "vpn_error";

int64_t MillisSinceEpoch(std::chrono::system_clock::time_point when) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
}

}  // namespace

gboolean VPNManager::SendStateUpdateIdleCb(gpointer user_data) {
  std::unique_ptr<std::string> state(static_cast<std::string*>(user_data));
  SendStateUpdateInternal(*state);
  return G_SOURCE_REMOVE;
}

FlMethodErrorResponse* VPNManager::OnListenHandler(FlEventChannel*, FlValue*, void*) {
  std::lock_guard<std::mutex> lock(stream_mutex_);
  stream_active_ = true;
  korvane::LogOut() << "VPN event stream started";
  return nullptr;
}

FlMethodErrorResponse* VPNManager::OnCancelHandler(FlEventChannel*, FlValue*, void*) {
  std::lock_guard<std::mutex> lock(stream_mutex_);
  stream_active_ = false;
  korvane::LogOut() << "VPN event stream cancelled";
  return nullptr;
}

void VPNManager::SendStateUpdate(const std::string& state) {
  if (g_main_context_is_owner(g_main_context_default())) {
    SendStateUpdateInternal(state);
    return;
  }
  korvane::LogOut() << "Not on main thread, scheduling state update";
  g_idle_add(SendStateUpdateIdleCb, new std::string(state));
}

void VPNManager::SendStateUpdateInternal(const std::string& state) {
  try {
    korvane::LogOut() << "SendStateUpdate called with state: " << state;
    if (event_channel_ == nullptr) {
      korvane::LogOut() << "Event channel not initialized";
      return;
    }
    bool active;
    {
      std::lock_guard<std::mutex> lock(stream_mutex_);
      active = stream_active_;
    }
    if (!active) {
      korvane::LogOut() << "No active stream - Flutter may not be listening yet";
      return;
    }
    g_autoptr(FlValue) event = fl_value_new_map();
    if (event == nullptr) {
      korvane::LogErr() << "Failed to create event data map";
      return;
    }
    const std::string status = kStatusPrefix + state;
    fl_value_set_string_take(event, kStatusKey, fl_value_new_string(status.c_str()));
    fl_value_set_string_take(event, kTimestampKey,
                             fl_value_new_int(MillisSinceEpoch(std::chrono::system_clock::now())));
    g_autoptr(GError) error = nullptr;
    if (fl_event_channel_send(event_channel_, event, nullptr, &error)) {
      korvane::LogOut() << "Successfully sent VPN state update: " << status;
    } else {
      korvane::LogErr() << "Failed to send event: " << (error ? error->message : "unknown error");
    }
  } catch (const std::exception& e) {
    korvane::LogErr() << "Error sending state update: " << e.what();
  } catch (...) {
    korvane::LogErr() << "Unknown error sending state update";
  }
}

void VPNManager::SendError(const std::string& message) {
  try {
    last_error_ = message;
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    char when[32];
    std::strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &local);
    korvane::LogErr() << "VPN Error: " << when << " - " << message;

    if (event_channel_ == nullptr) {
      korvane::LogOut() << "Event channel not initialized for error";
      return;
    }
    {
      std::lock_guard<std::mutex> lock(stream_mutex_);
      if (!stream_active_) {
        korvane::LogOut() << "No active stream for error - Flutter may not be listening yet";
        return;
      }
    }
    g_autoptr(FlValue) event = fl_value_new_map();
    fl_value_set_string_take(event, kStatusKey, fl_value_new_string(kErrorStatus));
    fl_value_set_string_take(event, kErrorKey, fl_value_new_string(message.c_str()));
    fl_value_set_string_take(event, kTimestampKey, fl_value_new_int(MillisSinceEpoch(now)));
    g_autoptr(GError) error = nullptr;
    if (fl_event_channel_send(event_channel_, event, nullptr, &error)) {
      korvane::LogOut() << "Successfully sent VPN error: " << message;
    } else {
      korvane::LogErr() << "Failed to send error event: "
                        << (error ? error->message : "unknown error");
    }
  } catch (const std::exception& e) {
    korvane::LogErr() << "Error sending error update: " << e.what();
  }
}
