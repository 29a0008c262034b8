// Test-only members; built into korvane_vpn_testing, never into the host.
#include "vpn/vpn_manager.h"

void VPNManager::ResetForTesting() {
  messenger_ = nullptr;
  channel_ = nullptr;
  core_channel_ = nullptr;
  event_channel_ = nullptr;
  ResetStateForTesting();
  libbox_handle_ = 0;
}

void VPNManager::ResetStateForTesting() {
  {
    std::lock_guard<std::mutex> lock(stream_mutex_);
    stream_active_ = false;
  }
  {
    std::lock_guard<std::mutex> lock(service_mutex_);
    current_config_.clear();
  }
  is_running_ = false;
  last_error_.clear();
  auto_reconnect_enabled_ = true;
  auto_configure_proxy_ = true;
  url_test_in_progress_ = false;
  upkeep_fault_ = nullptr;
}

void VPNManager::SetEventChannelForTesting(FlEventChannel* channel) {
  event_channel_ = channel;
}

void VPNManager::AttachChannelsForTesting(FlBinaryMessenger* messenger) {
  CreateChannels(messenger);
  InitializeLibbox();
}

void VPNManager::SetRunningForTesting(bool running) {
  is_running_ = running;
}

void VPNManager::SetConfigForTesting(const std::string& config) {
  std::lock_guard<std::mutex> lock(service_mutex_);
  current_config_ = config;
}

bool VPNManager::UrlTestInProgressForTesting() {
  return url_test_in_progress_.load();
}

void VPNManager::BeginStopForTesting() {
  ++service_stops_;
}

void VPNManager::SetUpkeepFaultForTesting(void (*fault)()) {
  upkeep_fault_ = fault;
}
