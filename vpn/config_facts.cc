#include "vpn/config_facts.h"

#include "vpn/config_probe.h"
#include "vpn/vpn_preferences.h"

namespace korvane {

ConfigFacts ConfigFacts::Read(const std::string& config) {
  ConfigFacts facts;
  facts.valid = VPNPreferences::ValidateConfig(config);
  facts.has_mixed_inbound = HasMixedInbound(config);
  facts.mixed_port = FindMixedInboundPort(config);
  facts.controller = FindClashController(config);
  return facts;
}

}  // namespace korvane
