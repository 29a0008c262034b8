// Delay measurement: the time to open a connection through an outbound, bounded by a timeout.
// socks: TCP connect to the server and the SOCKS5 greeting exchange; http: TCP connect and a
// CONNECT exchange for the test URL's host; other proxies: TCP connect to the server; direct:
// TCP connect to the test URL's host and port. Any thread; blocks for at most the timeout.
#ifndef ENGINE_DELAY_PROBE_H_
#define ENGINE_DELAY_PROBE_H_

#include <atomic>
#include <string>

#include "engine/box_config.h"

namespace box {

enum class ProbeStatus { kOk, kFailed, kTimeout };

struct ProbeResult {
  ProbeStatus status = ProbeStatus::kFailed;
  int delay_ms = 0;  // at least 1 when kOk
  std::string error;
};

// `outbound` is a concrete (non-group) outbound. `cancel` cuts the probe short (service stop).
ProbeResult ProbeOutbound(const OutboundOptions& outbound,
                          const std::string& test_url,
                          int timeout_ms,
                          const std::atomic<bool>& cancel);

// "https://host:port/path" into host and port (443/80 by default). False when malformed.
bool SplitUrl(const std::string& url, std::string* host, int* port);

}  // namespace box

#endif  // ENGINE_DELAY_PROBE_H_
