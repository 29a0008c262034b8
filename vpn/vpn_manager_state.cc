// VPNManager's static state, the small accessors and the hand-over of events to the channel
// layer.

#include <glib.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>

#include "base/logger.h"
#include "core/libbox_interface.h"
#include "vpn/vpn_manager.h"
#include "vpn/vpn_preferences.h"

namespace {

constexpr korvane::Logger kLog("");

}  // namespace

VPNManager::EventSink VPNManager::event_sink_ = {nullptr, nullptr};
std::mutex VPNManager::service_mutex_;
std::atomic<bool> VPNManager::is_running_{false};
std::string VPNManager::current_config_;
uintptr_t VPNManager::libbox_handle_ = 0;
std::string VPNManager::last_error_;
std::atomic<bool> VPNManager::auto_reconnect_enabled_{true};
std::atomic<bool> VPNManager::auto_configure_proxy_{true};
std::atomic<bool> VPNManager::url_test_in_progress_{false};
std::atomic<unsigned> VPNManager::service_stops_{0};
void (*VPNManager::upkeep_fault_)() = nullptr;

bool VPNManager::IsRunning() {
  return is_running_.load();
}

std::string VPNManager::GetStatus() {
  if (is_running_.load()) {
    return "connected";
  }
  if (!last_error_.empty()) {
    return "error: " + last_error_;
  }
  return "disconnected";
}

std::string VPNManager::GetCoreVersion() {
  return LibboxInterface::GetVersion();
}

std::string VPNManager::GetAppGroupDirectory() {
  return VPNPreferences::GetConfigDirectory();
}

void VPNManager::SetEventSink(const EventSink& sink) {
  event_sink_ = sink;
}

int VPNManager::SendStateUpdateIdleCb(void* user_data) {
  std::unique_ptr<std::string> state(static_cast<std::string*>(user_data));
  SendStateUpdateInternal(*state);
  return G_SOURCE_REMOVE;
}

void VPNManager::SendStateUpdate(const std::string& state) {
  if (g_main_context_is_owner(g_main_context_default())) {
    SendStateUpdateInternal(state);
    return;
  }
  kLog.Info() << "Not on main thread, scheduling state update";
  g_idle_add(SendStateUpdateIdleCb, new std::string(state));
}

void VPNManager::SendStateUpdateInternal(const std::string& state) {
  kLog.Info() << "SendStateUpdate called with state: " << state;
  if (event_sink_.state == nullptr) {
    kLog.Info() << "Event channel not initialized";
    return;
  }
  event_sink_.state(state);
}

void VPNManager::SendError(const std::string& message) {
  last_error_ = message;
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  char when[32];
  std::strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &local);
  kLog.Error() << "VPN Error: " << when << " - " << message;
  if (event_sink_.error == nullptr) {
    kLog.Info() << "Event channel not initialized for error";
    return;
  }
  event_sink_.error(message);
}
