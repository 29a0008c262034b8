// The engine's configuration: the parts of the JSON document the reference engine acts on,
// decoded and checked. Any thread (pure functions).
#ifndef ENGINE_BOX_CONFIG_H_
#define ENGINE_BOX_CONFIG_H_

#include <string>
#include <vector>

namespace box {

// The connectivity-check URL used when none is configured or given.
inline constexpr char kDefaultTestUrl[] = "https://www.gstatic.com/generate_204";

struct LogOptions {
  bool disabled = false;
  int level = 0;  // index into the level table of logger.h; 0 (trace) when omitted
  std::string output;
  bool timestamp = false;
};

struct TunAddress {
  int family = 0;  // AF_INET or AF_INET6
  unsigned char bytes[16] = {};
  int prefix = 0;
  std::string text;  // as configured, "172.18.0.1/30"
};

// One account of a mixed inbound's "users".
struct InboundUser {
  std::string username;
  std::string password;
};

struct InboundOptions {
  std::string type;
  std::string tag;
  std::string name;  // "inbound/mixed[mixed-in]", or the index when untagged
  std::string listen = "127.0.0.1";
  int listen_port = 0;
  // mixed only: empty means no authentication
  std::vector<InboundUser> users;
  // tun only
  std::string interface_name;
  std::vector<TunAddress> address;
  int mtu = 0;
  bool auto_route = false;
  bool strict_route = false;
  long long udp_timeout_ms = 300000;  // UDP sessions' idle expiry
  int table_index = 2022;
  int rule_index = 9000;
  std::vector<TunAddress> route_address;
  std::vector<TunAddress> route_exclude_address;
};

struct OutboundOptions {
  std::string type;
  std::string tag;
  std::string name;  // "outbound/socks[hk-01]"
  bool endpoint = false;
  bool udp = true;
  bool tcp = true;  // "network": "udp" leaves TCP out
  // proxies
  std::string server;
  int server_port = 0;
  std::string username;
  std::string password;
  std::string version;  // socks: "5", "4", "4a"
  bool tls = false;
  std::string method;  // shadowsocks
  long long connect_timeout_ms = 5000;
  bool connect_timeout_set = false;
  // groups
  std::vector<std::string> members;
  std::string default_member;  // selector
  std::string url;             // urltest
  long long interval_ms = 180000;
  long long idle_timeout_ms = 1800000;
  int tolerance_ms = 50;
  bool interrupt = false;  // interrupt_exist_connections

  bool IsGroup() const { return type == "selector" || type == "urltest"; }
};

// An IPv4 or IPv6 prefix of a route rule.
struct IpPrefix {
  int family = 0;  // AF_INET or AF_INET6
  unsigned char bytes[16] = {};
  int prefix = 0;
};

// One route rule: (domain OR domain_suffix OR ip_cidr) AND port AND network AND inbound, each
// group matching when empty. Routes to `outbound`.
struct RouteRule {
  std::vector<std::string> domain;         // lower-case
  std::vector<std::string> domain_suffix;  // lower-case, as written (".x.com" or "x.com")
  std::vector<IpPrefix> ip_cidr;
  std::vector<int> port;
  std::vector<std::string> network;
  std::vector<std::string> inbound;
  std::string outbound;
  bool hijack_dns = false;  // action hijack-dns: the engine's DNS answers; no outbound
  std::string text;         // how the controller shows it: "domain_suffix=[x.com] => route(proxy)"
};

// One upstream name server of the dns section: plain DNS over UDP, reached through an outbound.
struct DnsServer {
  std::string tag;
  std::string server;  // an IP literal
  int port = 53;
  std::string detour;  // outbound tag; "" = the route's final outbound
};

struct DnsOptions {
  std::vector<DnsServer> servers;
  std::string final_server;  // tag; "" = the first server
  bool disable_cache = false;
  int cache_capacity = 1024;
};

struct Config {
  LogOptions log;
  std::vector<InboundOptions> inbounds;
  std::vector<OutboundOptions> outbounds;  // tagged outbounds, then tagged endpoints
  std::vector<RouteRule> rules;            // route.rules, in order
  std::string final_outbound;              // route.final, else the first outbound
  // Keeping the engine's own sockets off a TUN: route.auto_detect_interface binds them to the
  // main table's default-route interface, route.default_interface to a named one;
  // route.default_mark sets SO_MARK.
  bool auto_detect_interface = false;
  std::string default_interface;
  uint32_t default_mark = 0;
  DnsOptions dns;
  std::string external_controller;  // "" when the controller is off
  std::string secret;
  // Origins a browser page may call the controller from; empty: none (no CORS headers).
  std::vector<std::string> allow_origins;
  bool allow_private_network = false;
};

// Decodes and checks `text`. On failure returns false and sets *error to the engine's text,
// e.g. "decode config: outbounds[1]: unknown outbound type: foo". A key the engine does not act
// on is refused with its path unless its value asks for nothing (null, false, 0, "", [] or {}):
// "decode config: route.rules: not implemented by the reference engine".
bool ParseConfig(const std::string& text, Config* config, std::string* error);

// A JSON syntax error as "<what>: row R, column C" for a fault found after reading `offset`
// bytes of `text` (the offending byte included): the row and column of that byte, from 1.
std::string DescribeSyntaxError(const std::string& text, size_t offset, const std::string& what);

// Parses Go-style durations: "3m", "1m30s", "500ms", "1h". False when malformed.
bool ParseDuration(const std::string& text, long long* milliseconds);

// The Clash API's display name of an outbound type ("Selector", "Reject", ...).
std::string DisplayType(const std::string& type);

}  // namespace box

#endif  // ENGINE_BOX_CONFIG_H_
