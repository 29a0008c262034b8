#include "vpn/config_probe.h"

#include <limits>

namespace korvane {

namespace {

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

bool HasMixedInbound(const std::string& config) {
  return Contains(config, "\"type\": \"mixed\"") || Contains(config, "\"type\":\"mixed\"");
}

int FindMixedInboundPort(const std::string& config) {
  size_t pos = config.find("\"mixed-in\"");
  if (pos == std::string::npos) {
    return kDefaultMixedPort;
  }
  pos = config.find("\"listen_port\":", pos);
  if (pos == std::string::npos) {
    return kDefaultMixedPort;
  }
  pos = config.find(':', pos);
  if (pos == std::string::npos) {
    return kDefaultMixedPort;
  }
  ++pos;
  while (pos < config.size() && (config[pos] == ' ' || config[pos] == '\t')) {
    ++pos;
  }
  long long port = 0;
  size_t digits = 0;
  while (pos < config.size() && config[pos] >= '0' && config[pos] <= '9') {
    port = port * 10 + (config[pos] - '0');
    ++pos;
    ++digits;
    // A number no int can hold names no port; the engine refuses such a configuration anyway.
    if (port > std::numeric_limits<int>::max()) {
      return kDefaultMixedPort;
    }
  }
  if (digits == 0) {
    return kDefaultMixedPort;
  }
  return static_cast<int>(port);
}

std::string CreateFailureMessage(const std::string& text) {
  // The kernel words a missing CAP_NET_ADMIN as "operation not permitted" (EPERM), which names
  // no "permission"; without it that failure would be reported as a broken TUN device.
  if (Contains(text, "permission") || Contains(text, "Permission") ||
      Contains(text, "operation not permitted")) {
    return "Permission denied - need root or CAP_NET_ADMIN for TUN device. Error: " + text;
  }
  if (Contains(text, "tun") || Contains(text, "TUN")) {
    return "TUN device error - check /dev/net/tun exists and is accessible. Error: " + text;
  }
  if (Contains(text, "bind") || Contains(text, "address already in use")) {
    return "Port already in use - another VPN or proxy may be running. Error: " + text;
  }
  return "Failed to create service: " + text;
}

std::string StartFailureMessage(const std::string& text) {
  if (Contains(text, "network")) {
    return "Network error - check internet connection. Error: " + text;
  }
  if (Contains(text, "config") || Contains(text, "parse")) {
    return "Configuration error - invalid VPN config. Error: " + text;
  }
  return "Failed to start service: " + text;
}

}  // namespace korvane
