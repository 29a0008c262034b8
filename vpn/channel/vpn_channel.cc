// The channels between the user interface and the host: their creation, the core channel and
// the entry points of the vpn channel.

#include <flutter_linux/flutter_linux.h>

#include "clash/clash_api_client.h"
#include "platform/platform_service.h"
#include "platform/proxy_manager.h"
#include "vpn/channel/answer.h"
#include "vpn/channel/channel_state.h"
#include "vpn/vpn_channels.h"
#include "vpn/vpn_manager.h"

namespace korvane {

ChannelState& Channels() {
  static ChannelState state;
  return state;
}

void CreateChannels(FlBinaryMessenger* messenger) {
  ChannelState& channels = Channels();
  channels.messenger = messenger;
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();

  channels.vpn_channel = fl_method_channel_new(messenger, kVpnChannelName, FL_METHOD_CODEC(codec));
  channels.core_channel =
      fl_method_channel_new(messenger, kCoreChannelName, FL_METHOD_CODEC(codec));
  fl_method_channel_set_method_call_handler(channels.vpn_channel,
                                            VPNManager::HandleMethodCallStatic, nullptr, nullptr);
  fl_method_channel_set_method_call_handler(
      channels.core_channel, VPNManager::HandleCoreMethodCallStatic, nullptr, nullptr);

  channels.event_channel =
      fl_event_channel_new(messenger, kEventChannelName, FL_METHOD_CODEC(codec));
  fl_event_channel_set_stream_handlers(channels.event_channel, VPNManager::OnListenHandler,
                                       VPNManager::OnCancelHandler, nullptr, nullptr);
  RouteEvents();
}

}  // namespace korvane

void VPNManager::Initialize(FlBinaryMessenger* messenger) {
  // libcurl's global set-up reads the environment, which the desktop-proxy code changes on this
  // thread: done here, before any latency worker can start a request.
  ClashApiClient::globalInit();
  korvane::CreateChannels(messenger);

  // A crashed earlier run may have left the desktop pointing at its dead proxy port; repair that
  // before the UI can ask for anything.
  ProxyManager::RepairAfterCrash();

  InitializeLibbox();
  PlatformService::Initialize();
}

void VPNManager::HandleMethodCallStatic(FlMethodChannel*, FlMethodCall* call, void*) {
  HandleMethodCall(call);
}

void VPNManager::HandleCoreMethodCallStatic(FlMethodChannel*, FlMethodCall* call, void*) {
  if (g_strcmp0(fl_method_call_get_name(call), korvane::kGetCoreVersionMethod) == 0) {
    korvane::Answer(call, korvane::Outcome::Ok(korvane::AnswerValue::OfString(GetCoreVersion())));
    return;
  }
  korvane::AnswerNotImplemented(call);
}

extern "C" void initialize_vpn_manager(FlBinaryMessenger* messenger) {
  VPNManager::Initialize(messenger);
}
