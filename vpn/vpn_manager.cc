// VPNManager's channels, its static state and the small accessors.

#include "vpn/vpn_manager.h"

#include "clash/clash_api_client.h"
#include "core/libbox_interface.h"
#include "platform/desktop_proxy/proxy_manager.h"
#include "platform/platform_service.h"
#include "vpn/vpn_channels.h"
#include "vpn/vpn_manager_responses.h"
#include "vpn/vpn_preferences.h"

namespace {

using korvane::kCoreChannelName;
using korvane::kEventChannelName;
using korvane::kVpnChannelName;

constexpr char kGetCoreVersionMethod[] = "getCoreVersion";

}  // namespace

FlBinaryMessenger* VPNManager::messenger_ = nullptr;
FlMethodChannel* VPNManager::channel_ = nullptr;
FlMethodChannel* VPNManager::core_channel_ = nullptr;
FlEventChannel* VPNManager::event_channel_ = nullptr;
bool VPNManager::stream_active_ = false;
std::mutex VPNManager::stream_mutex_;
std::mutex VPNManager::service_mutex_;
std::atomic<bool> VPNManager::is_running_{false};
std::string VPNManager::current_config_;
uintptr_t VPNManager::libbox_handle_ = 0;
std::string VPNManager::last_error_;
std::atomic<bool> VPNManager::auto_reconnect_enabled_{true};
std::atomic<bool> VPNManager::auto_configure_proxy_{true};
std::atomic<bool> VPNManager::url_test_in_progress_{false};
std::atomic<unsigned> VPNManager::service_stops_{0};

void VPNManager::Initialize(FlBinaryMessenger* messenger) {
  // libcurl's global set-up reads the environment, which the desktop-proxy code changes on this
  // thread: done here, before any latency worker can start a request.
  ClashApiClient::globalInit();
  CreateChannels(messenger);

  // A crashed earlier run may have left the desktop pointing at its dead proxy port; repair that
  // before the UI can ask for anything.
  ProxyManager::RepairAfterCrash();

  InitializeLibbox();
  PlatformService::Initialize();
}

void VPNManager::CreateChannels(FlBinaryMessenger* messenger) {
  messenger_ = messenger;
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();

  channel_ = fl_method_channel_new(messenger, kVpnChannelName, FL_METHOD_CODEC(codec));
  core_channel_ = fl_method_channel_new(messenger, kCoreChannelName, FL_METHOD_CODEC(codec));
  fl_method_channel_set_method_call_handler(channel_, HandleMethodCallStatic, nullptr, nullptr);
  fl_method_channel_set_method_call_handler(core_channel_, HandleCoreMethodCallStatic, nullptr,
                                            nullptr);

  event_channel_ = fl_event_channel_new(messenger, kEventChannelName, FL_METHOD_CODEC(codec));
  fl_event_channel_set_stream_handlers(event_channel_, OnListenHandler, OnCancelHandler, nullptr,
                                       nullptr);
}

void VPNManager::HandleMethodCallStatic(FlMethodChannel*, FlMethodCall* call, void*) {
  HandleMethodCall(call);
}

void VPNManager::HandleCoreMethodCallStatic(FlMethodChannel*, FlMethodCall* call, void*) {
  g_autoptr(FlMethodResponse) response =
      g_strcmp0(fl_method_call_get_name(call), kGetCoreVersionMethod) == 0
          ? korvane::StringResponse(GetCoreVersion())
          : FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  korvane::Respond(call, response);
}

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

extern "C" void initialize_vpn_manager(FlBinaryMessenger* messenger) {
  VPNManager::Initialize(messenger);
}
