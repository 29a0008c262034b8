#ifndef VPN_CONFIG_FACTS_H_
#define VPN_CONFIG_FACTS_H_

#include <optional>
#include <string>

#include "vpn/clash_queries.h"

// Everything the VPN controller needs to know about a configuration text, read once when the
// configuration arrives (the host never parses it as a whole; see config_probe.h and
// clash_queries.h for the scanners). Any thread.
namespace korvane {

struct ConfigFacts {
  // The configuration store would keep it (VPNPreferences::ValidateConfig).
  bool valid = false;
  // It runs a "mixed" inbound, and the port of the one tagged "mixed-in".
  bool has_mixed_inbound = false;
  int mixed_port = 0;
  // The engine's Clash API controller on the loopback interface, with its secret; nothing when
  // the API is off for the session.
  std::optional<ClashController> controller;

  static ConfigFacts Read(const std::string& config);
};

}  // namespace korvane

#endif  // VPN_CONFIG_FACTS_H_
