#ifndef VPN_CONFIG_PROBE_H_
#define VPN_CONFIG_PROBE_H_

#include <string>

// The few facts the connection controller needs from a configuration text, found by substring
// search (the host never parses the configuration as a whole), and the user messages for the
// engine's failure texts. Pure functions; any thread.
namespace korvane {

// Port of the "mixed-in" inbound when none can be read.
constexpr int kDefaultMixedPort = 10081;

// The configuration runs a "mixed" inbound ("type": "mixed" with one space or none).
bool HasMixedInbound(const std::string& config);

// The "listen_port" written as a bare number after the "mixed-in" tag, else kDefaultMixedPort
// (also for a number too big for an int). Leading zeros are read as decimal digits.
int FindMixedInboundPort(const std::string& config);

// The message for an engine text after a failed create, or after a failed start.
std::string CreateFailureMessage(const std::string& engine_text);
std::string StartFailureMessage(const std::string& engine_text);

}  // namespace korvane

#endif  // VPN_CONFIG_PROBE_H_
