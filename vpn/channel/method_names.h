#ifndef VPN_CHANNEL_METHOD_NAMES_H_
#define VPN_CHANNEL_METHOD_NAMES_H_

#include <string>
#include <vector>

namespace korvane {

// The names of the vpn channel's method table, in dispatch order: what the protocol's
// reference is checked against.
std::vector<std::string> VpnMethodNames();

}  // namespace korvane

#endif  // VPN_CHANNEL_METHOD_NAMES_H_
