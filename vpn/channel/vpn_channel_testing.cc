// Test-only members; built into korvane_vpn_channel_testing, never into the host.
#include "vpn/channel/channel_state.h"
#include "vpn/vpn_manager.h"

void VPNManager::ResetForTesting() {
  korvane::ChannelState& channels = korvane::Channels();
  channels.messenger = nullptr;
  channels.vpn_channel = nullptr;
  channels.core_channel = nullptr;
  channels.event_channel = nullptr;
  event_sink_ = {nullptr, nullptr};
  ResetStateForTesting();
  libbox_handle_ = 0;
}

void VPNManager::ResetStateForTesting() {
  {
    std::lock_guard<std::mutex> lock(korvane::Channels().stream_mutex);
    korvane::Channels().stream_active = false;
  }
  {
    std::lock_guard<std::mutex> lock(service_mutex_);
    current_config_.clear();
    current_facts_ = korvane::ConfigFacts();
  }
  is_running_ = false;
  last_error_.clear();
  auto_reconnect_enabled_ = true;
  auto_configure_proxy_ = true;
  url_test_in_progress_ = false;
  upkeep_fault_ = nullptr;
}

void VPNManager::SetEventChannelForTesting(FlEventChannel* channel) {
  korvane::Channels().event_channel = channel;
  korvane::RouteEvents();
}

void VPNManager::AttachChannelsForTesting(FlBinaryMessenger* messenger) {
  korvane::CreateChannels(messenger);
  InitializeLibbox();
}

void VPNManager::SetRunningForTesting(bool running) {
  is_running_ = running;
}

void VPNManager::SetConfigForTesting(const std::string& config) {
  SetCurrentConfig(config);
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
