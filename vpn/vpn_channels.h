#ifndef VPN_VPN_CHANNELS_H_
#define VPN_VPN_CHANNELS_H_

// The names of the platform channels between the user interface and the host, for the host,
// the UI-side client and the tests.
namespace korvane {

constexpr char kVpnChannelName[] = "com.quorandel.korvane/vpn";
constexpr char kCoreChannelName[] = "com.quorandel.korvane/core";
constexpr char kEventChannelName[] = "com.quorandel.korvane/vpn_events";

}  // namespace korvane

#endif  // VPN_VPN_CHANNELS_H_
