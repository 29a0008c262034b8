#ifndef VPN_VPN_CHANNELS_H_
#define VPN_VPN_CHANNELS_H_

// The UI protocol's names, defined once for the host, the UI-side client, the control panel
// and the tests: the platform channels, the core channel's method and the event stream's keys.
namespace korvane {

inline constexpr char kVpnChannelName[] = "com.quorandel.korvane/vpn";
inline constexpr char kCoreChannelName[] = "com.quorandel.korvane/core";
inline constexpr char kEventChannelName[] = "com.quorandel.korvane/vpn_events";

// The one method of the core channel.
inline constexpr char kGetCoreVersionMethod[] = "getCoreVersion";

// Events: a map with "status" ("vpn_" + state, or "vpn_error" with "error"), and "timestamp"
// (milliseconds since the epoch).
inline constexpr char kEventStatusKey[] = "status";
inline constexpr char kEventErrorKey[] = "error";
inline constexpr char kEventTimestampKey[] = "timestamp";
inline constexpr char kEventStatePrefix[] = "vpn_";
inline constexpr char kEventErrorStatus[] = "vpn_error";

// The connection states, as the events carry them after kEventStatePrefix.
inline constexpr char kStateDisconnected[] = "disconnected";
inline constexpr char kStateConnecting[] = "connecting";
inline constexpr char kStateConnected[] = "connected";
inline constexpr char kStateDisconnecting[] = "disconnecting";

}  // namespace korvane

#endif  // VPN_VPN_CHANNELS_H_
