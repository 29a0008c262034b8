// The auto-reconnect preference and status upkeep. The host never reconnects on its own: the
// flag is kept for the UI, which reads it back with "getOnDemandStatus" and decides.

#include <string>

#include "base/log.h"
#include "vpn/vpn_manager.h"
#include "vpn/vpn_manager_responses.h"
#include "vpn/vpn_preferences.h"

void VPNManager::ToggleAutoReconnect(bool enabled, FlMethodCall* call) {
  auto_reconnect_enabled_ = enabled;
  korvane::RespondBool(call, true);
}

void VPNManager::DisableAutoReconnectTemporarily(FlMethodCall* call) {
  auto_reconnect_enabled_ = false;
  korvane::RespondBool(call, true);
}

void VPNManager::EnableAutoReconnect(FlMethodCall* call) {
  auto_reconnect_enabled_ = true;
  korvane::RespondBool(call, true);
}

void VPNManager::RestoreUserAutoReconnectPreference(bool enabled, FlMethodCall* call) {
  auto_reconnect_enabled_ = enabled;
  korvane::LogOut() << "Restoring user auto-reconnect preference: "
                    << (enabled ? "enabled" : "disabled");
  korvane::RespondBool(call, true);
}

void VPNManager::DisableAutoReconnect(FlMethodCall* call) {
  auto_reconnect_enabled_ = false;
  korvane::LogOut() << "Auto-reconnect disabled";
  korvane::RespondBool(call, true);
}

void VPNManager::GetOnDemandStatus(FlMethodCall* call) {
  korvane::RespondBool(call, auto_reconnect_enabled_.load());
}

void VPNManager::RefreshVPNStatus(FlMethodCall* call) {
  const std::string state = is_running_ ? "connected" : "disconnected";
  SendStateUpdate(state);
  korvane::LogOut() << "RefreshVPNStatus called - sent state: " << state;
  korvane::RespondBool(call, true);
}

void VPNManager::ClearVPNPreference(FlMethodCall* call) {
  // The store catches its own failures; the result is not looked at.
  VPNPreferences::ClearConfig();
  {
    std::lock_guard<std::mutex> lock(service_mutex_);
    current_config_.clear();
  }
  korvane::RespondBool(call, true);
}

void VPNManager::CheckForStuckState(FlMethodCall* call) {
  korvane::RespondBool(call, false);
}
