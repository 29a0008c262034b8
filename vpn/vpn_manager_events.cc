// The state and error event stream on "com.quorandel.korvane/vpn_events".
//
// Events are sent only while the UI listens and are never queued. Channel objects are touched
// only on the main thread; a state raised elsewhere is re-posted there with g_idle_add.

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>

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

// Called on the main loop for a state raised off the main thread; runs once.
gboolean SendStateUpdateIdleCb(gpointer user_data) {
  std::string* state = static_cast<std::string*>(user_data);
  VPNManager::SendStateUpdateInternal(*state);
  delete state;
  return G_SOURCE_REMOVE;
}

}  // namespace

FlMethodErrorResponse* VPNManager::OnListenHandler(FlEventChannel*, FlValue*, void*) {
  std::lock_guard<std::mutex> lock(stream_mutex_);
  stream_active_ = true;
  std::cout << "VPN event stream started" << std::endl;
  return nullptr;
}

FlMethodErrorResponse* VPNManager::OnCancelHandler(FlEventChannel*, FlValue*, void*) {
  std::lock_guard<std::mutex> lock(stream_mutex_);
  stream_active_ = false;
  std::cout << "VPN event stream cancelled" << std::endl;
  return nullptr;
}

void VPNManager::SendStateUpdate(const std::string& state) {
  if (g_main_context_is_owner(g_main_context_default())) {
    SendStateUpdateInternal(state);
    return;
  }
  std::cout << "Not on main thread, scheduling state update" << std::endl;
  g_idle_add(SendStateUpdateIdleCb, new std::string(state));
}

void VPNManager::SendStateUpdateInternal(const std::string& state) {
  try {
    std::cout << "SendStateUpdate called with state: " << state << std::endl;
    if (event_channel_ == nullptr) {
      std::cout << "Event channel not initialized" << std::endl;
      return;
    }
    bool active;
    {
      std::lock_guard<std::mutex> lock(stream_mutex_);
      active = stream_active_;
    }
    if (!active) {
      std::cout << "No active stream - Flutter may not be listening yet" << std::endl;
      return;
    }
    g_autoptr(FlValue) event = fl_value_new_map();
    if (event == nullptr) {
      std::cerr << "Failed to create event data map" << std::endl;
      return;
    }
    const std::string status = kStatusPrefix + state;
    fl_value_set_string_take(event, kStatusKey, fl_value_new_string(status.c_str()));
    fl_value_set_string_take(event, kTimestampKey,
                             fl_value_new_int(MillisSinceEpoch(std::chrono::system_clock::now())));
    g_autoptr(GError) error = nullptr;
    if (fl_event_channel_send(event_channel_, event, nullptr, &error)) {
      std::cout << "Successfully sent VPN state update: " << status << std::endl;
    } else {
      std::cerr << "Failed to send event: " << (error ? error->message : "unknown error")
                << std::endl;
    }
  } catch (const std::exception& e) {
    std::cerr << "Error sending state update: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "Unknown error sending state update" << std::endl;
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
    std::cerr << "VPN Error: " << when << " - " << message << std::endl;

    if (event_channel_ == nullptr) {
      std::cout << "Event channel not initialized for error" << std::endl;
      return;
    }
    {
      std::lock_guard<std::mutex> lock(stream_mutex_);
      if (!stream_active_) {
        std::cout << "No active stream for error - Flutter may not be listening yet" << std::endl;
        return;
      }
    }
    g_autoptr(FlValue) event = fl_value_new_map();
    fl_value_set_string_take(event, kStatusKey, fl_value_new_string(kErrorStatus));
    fl_value_set_string_take(event, kErrorKey, fl_value_new_string(message.c_str()));
    fl_value_set_string_take(event, kTimestampKey, fl_value_new_int(MillisSinceEpoch(now)));
    g_autoptr(GError) error = nullptr;
    if (fl_event_channel_send(event_channel_, event, nullptr, &error)) {
      std::cout << "Successfully sent VPN error: " << message << std::endl;
    } else {
      std::cerr << "Failed to send error event: " << (error ? error->message : "unknown error")
                << std::endl;
    }
  } catch (const std::exception& e) {
    std::cerr << "Error sending error update: " << e.what() << std::endl;
  }
}
