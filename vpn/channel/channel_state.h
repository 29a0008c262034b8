#ifndef VPN_CHANNEL_CHANNEL_STATE_H_
#define VPN_CHANNEL_CHANNEL_STATE_H_

#include <flutter_linux/flutter_linux.h>

#include <mutex>

// The channel layer's own state, shared by its files (and its test seams). Main thread only,
// except the stream flag, which stream_mutex guards.
namespace korvane {

struct ChannelState {
  // Set once by VPNManager::Initialize; the channels live until the process exits.
  FlBinaryMessenger* messenger = nullptr;
  FlMethodChannel* vpn_channel = nullptr;
  FlMethodChannel* core_channel = nullptr;
  FlEventChannel* event_channel = nullptr;
  // Whether the UI listens on the event channel.
  bool stream_active = false;
  std::mutex stream_mutex;
};

ChannelState& Channels();

// Creates the three channels on `messenger`, sets their handlers and routes the controller's
// events to the event channel.
void CreateChannels(FlBinaryMessenger* messenger);
// Routes the controller's events to the event channel.
void RouteEvents();

}  // namespace korvane

#endif  // VPN_CHANNEL_CHANNEL_STATE_H_
