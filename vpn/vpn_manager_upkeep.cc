// The auto-reconnect preference and status upkeep. The host never reconnects on its own: the
// flag is kept for the UI, which reads it back with "getOnDemandStatus" and decides.

#include <exception>
#include <string>

#include "base/log.h"
#include "vpn/vpn_manager.h"
#include "vpn/vpn_manager_responses.h"
#include "vpn/vpn_preferences.h"

namespace {

constexpr char kException[] = "EXCEPTION";

// Answers `call` with what `work` returns, or, when it fails, with "EXCEPTION" and the failure's
// text; what `work` wrote before it failed stays written. `fault` (tests only) runs after the
// work as a failure of the work would.
template <typename Work>
void AnswerOrException(FlMethodCall* call, void (*fault)(), Work work) {
  bool answer = false;
  try {
    answer = work();
    if (fault != nullptr) {
      fault();
    }
  } catch (const std::exception& e) {
    korvane::RespondError(call, kException, e.what());
    return;
  }
  korvane::RespondBool(call, answer);
}

}  // namespace

void (*VPNManager::upkeep_fault_)() = nullptr;

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
  AnswerOrException(call, upkeep_fault_, [enabled] {
    auto_reconnect_enabled_ = enabled;
    korvane::LogOut() << "Restoring user auto-reconnect preference: "
                      << (enabled ? "enabled" : "disabled");
    return true;
  });
}

void VPNManager::DisableAutoReconnect(FlMethodCall* call) {
  AnswerOrException(call, upkeep_fault_, [] {
    auto_reconnect_enabled_ = false;
    korvane::LogOut() << "Auto-reconnect disabled";
    return true;
  });
}

void VPNManager::GetOnDemandStatus(FlMethodCall* call) {
  AnswerOrException(call, upkeep_fault_, [] { return auto_reconnect_enabled_.load(); });
}

void VPNManager::RefreshVPNStatus(FlMethodCall* call) {
  AnswerOrException(call, upkeep_fault_, [] {
    const std::string state = is_running_ ? "connected" : "disconnected";
    SendStateUpdate(state);
    korvane::LogOut() << "RefreshVPNStatus called - sent state: " << state;
    return true;
  });
}

void VPNManager::ClearVPNPreference(FlMethodCall* call) {
  AnswerOrException(call, upkeep_fault_, [] {
    // The store catches its own failures; the result is not looked at.
    VPNPreferences::ClearConfig();
    std::lock_guard<std::mutex> lock(service_mutex_);
    current_config_.clear();
    return true;
  });
}

void VPNManager::CheckForStuckState(FlMethodCall* call) {
  AnswerOrException(call, upkeep_fault_, [] { return false; });
}
