// The auto-reconnect preference and status upkeep. The host never reconnects on its own: the
// flag is kept for the UI, which reads it back with "getOnDemandStatus" and decides.

#include <exception>
#include <iostream>

#include "vpn/vpn_manager.h"
#include "vpn/vpn_manager_responses.h"
#include "vpn/vpn_preferences.h"

namespace {

constexpr char kException[] = "EXCEPTION";

}  // namespace

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
  try {
    auto_reconnect_enabled_ = enabled;
    std::cout << "Restoring user auto-reconnect preference: " << (enabled ? "enabled" : "disabled")
              << std::endl;
    korvane::RespondBool(call, true);
  } catch (const std::exception& e) {
    korvane::RespondErrorIfUnanswered(call, kException, e.what());
  }
}

void VPNManager::DisableAutoReconnect(FlMethodCall* call) {
  try {
    auto_reconnect_enabled_ = false;
    std::cout << "Auto-reconnect disabled" << std::endl;
    korvane::RespondBool(call, true);
  } catch (const std::exception& e) {
    korvane::RespondErrorIfUnanswered(call, kException, e.what());
  }
}

void VPNManager::GetOnDemandStatus(FlMethodCall* call) {
  try {
    korvane::RespondBool(call, auto_reconnect_enabled_.load());
  } catch (const std::exception& e) {
    korvane::RespondErrorIfUnanswered(call, kException, e.what());
  }
}

void VPNManager::RefreshVPNStatus(FlMethodCall* call) {
  try {
    const std::string state = is_running_ ? "connected" : "disconnected";
    SendStateUpdate(state);
    std::cout << "RefreshVPNStatus called - sent state: " << state << std::endl;
    korvane::RespondBool(call, true);
  } catch (const std::exception& e) {
    korvane::RespondErrorIfUnanswered(call, kException, e.what());
  }
}

void VPNManager::ClearVPNPreference(FlMethodCall* call) {
  try {
    VPNPreferences::ClearConfig();
    {
      std::lock_guard<std::mutex> lock(service_mutex_);
      current_config_.clear();
    }
    korvane::RespondBool(call, true);
  } catch (const std::exception& e) {
    korvane::RespondErrorIfUnanswered(call, kException, e.what());
  }
}

void VPNManager::CheckForStuckState(FlMethodCall* call) {
  try {
    korvane::RespondBool(call, false);
  } catch (const std::exception& e) {
    korvane::RespondErrorIfUnanswered(call, kException, e.what());
  }
}
