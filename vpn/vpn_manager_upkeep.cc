// The auto-reconnect preference and status upkeep. The host never reconnects on its own: the
// flag is kept for the UI, which reads it back with "getOnDemandStatus" and decides.

#include <exception>
#include <string>

#include "base/logger.h"
#include "vpn/vpn_manager.h"
#include "vpn/vpn_preferences.h"

namespace {

using korvane::Outcome;

constexpr korvane::Logger kLog("");

// What `work` returns, or, when it fails, "EXCEPTION" with the failure's text; what `work`
// wrote before it failed stays written. `fault` (tests only) runs after the work as a failure
// of the work would.
template <typename Work>
Outcome ValueOrException(void (*fault)(), Work work) {
  try {
    const bool answer = work();
    if (fault != nullptr) {
      fault();
    }
    return Outcome::Ok(answer);
  } catch (const std::exception& e) {
    return Outcome::Failure(korvane::kExceptionCode, e.what());
  }
}

}  // namespace

Outcome VPNManager::ToggleAutoReconnect(bool enabled) {
  auto_reconnect_enabled_ = enabled;
  return Outcome::Ok(true);
}

Outcome VPNManager::DisableAutoReconnectTemporarily() {
  auto_reconnect_enabled_ = false;
  return Outcome::Ok(true);
}

Outcome VPNManager::EnableAutoReconnect() {
  auto_reconnect_enabled_ = true;
  return Outcome::Ok(true);
}

Outcome VPNManager::RestoreUserAutoReconnectPreference(bool enabled) {
  return ValueOrException(upkeep_fault_, [enabled] {
    auto_reconnect_enabled_ = enabled;
    kLog.Info() << "Restoring user auto-reconnect preference: "
                << (enabled ? "enabled" : "disabled");
    return true;
  });
}

Outcome VPNManager::DisableAutoReconnect() {
  return ValueOrException(upkeep_fault_, [] {
    auto_reconnect_enabled_ = false;
    kLog.Info() << "Auto-reconnect disabled";
    return true;
  });
}

Outcome VPNManager::GetOnDemandStatus() {
  return ValueOrException(upkeep_fault_, [] { return auto_reconnect_enabled_.load(); });
}

Outcome VPNManager::RefreshVPNStatus() {
  return ValueOrException(upkeep_fault_, [] {
    const std::string state = is_running_ ? "connected" : "disconnected";
    SendStateUpdate(state);
    kLog.Info() << "RefreshVPNStatus called - sent state: " << state;
    return true;
  });
}

Outcome VPNManager::ClearVPNPreference() {
  return ValueOrException(upkeep_fault_, [] {
    // The store catches its own failures; the result is not looked at.
    VPNPreferences::ClearConfig();
    std::lock_guard<std::mutex> lock(service_mutex_);
    current_config_.clear();
    current_facts_ = korvane::ConfigFacts();
    return true;
  });
}

Outcome VPNManager::CheckForStuckState() {
  return ValueOrException(upkeep_fault_, [] { return false; });
}
