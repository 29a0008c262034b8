#include "engine/box_config.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "engine/logger.h"
#include "engine/net_util.h"
#include "engine/ss_aead.h"

namespace box {
namespace {

using nlohmann::json;

// Raised inside the decoder to leave with one message; caught at ParseConfig's boundary.
struct DecodeError {
  std::string message;
};

[[noreturn]] void Fail(const std::string& message) {
  throw DecodeError{message};
}

[[noreturn]] void FailAt(const std::string& path, const std::string& message) {
  Fail("decode config: " + path + ": " + message);
}

const char* KindName(const json& value) {
  switch (value.type()) {
    case json::value_t::object:
      return "object";
    case json::value_t::array:
      return "array";
    case json::value_t::string:
      return "string";
    case json::value_t::boolean:
      return "bool";
    case json::value_t::null:
      return "null";
    default:
      return "number";
  }
}

[[noreturn]] void FailType(const std::string& path, const json& value, const char* go_type) {
  FailAt(path, std::string("json: cannot unmarshal ") + KindName(value) +
                   " into Go value of type " + go_type);
}

// Each accessor accepts a missing key or null as "not set".
const json* Member(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) {
    return nullptr;
  }
  return &*it;
}

bool GetString(const json& object, const char* key, const std::string& path, std::string* out) {
  const json* value = Member(object, key);
  if (value == nullptr) {
    return false;
  }
  if (!value->is_string()) {
    FailType(path + "." + key, *value, "string");
  }
  *out = value->get<std::string>();
  return true;
}

bool GetBool(const json& object, const char* key, const std::string& path, bool* out) {
  const json* value = Member(object, key);
  if (value == nullptr) {
    return false;
  }
  if (!value->is_boolean()) {
    FailType(path + "." + key, *value, "bool");
  }
  *out = value->get<bool>();
  return true;
}

bool GetInt(const json& object,
            const char* key,
            const std::string& path,
            long long low,
            long long high,
            const char* go_type,
            long long* out) {
  const json* value = Member(object, key);
  if (value == nullptr) {
    return false;
  }
  if (!value->is_number_integer() && !value->is_number_unsigned()) {
    FailType(path + "." + key, *value, go_type);
  }
  long long number = value->is_number_unsigned()
                         ? static_cast<long long>(std::min<unsigned long long>(
                               value->get<unsigned long long>(), 1ULL << 62))
                         : value->get<long long>();
  if (number < low || number > high) {
    FailAt(path + "." + key,
           "json: cannot unmarshal number " + value->dump() + " into Go value of type " + go_type);
  }
  *out = number;
  return true;
}

// A string or a list of strings (the engine's listable fields).
std::vector<std::string> GetStringList(const json& object,
                                       const char* key,
                                       const std::string& path) {
  std::vector<std::string> list;
  const json* value = Member(object, key);
  if (value == nullptr) {
    return list;
  }
  if (value->is_string()) {
    list.push_back(value->get<std::string>());
    return list;
  }
  if (!value->is_array()) {
    FailType(path + "." + key, *value, "[]string");
  }
  for (size_t i = 0; i < value->size(); ++i) {
    const json& item = (*value)[i];
    if (!item.is_string()) {
      FailType(path + "." + key + "[" + std::to_string(i) + "]", item, "string");
    }
    list.push_back(item.get<std::string>());
  }
  return list;
}

void GetDuration(const json& object, const char* key, const std::string& path, long long* out) {
  std::string text;
  if (!GetString(object, key, path, &text) || text.empty()) {
    return;
  }
  if (!ParseDuration(text, out)) {
    FailAt(path + "." + key, "time: invalid duration \"" + text + "\"");
  }
}

// Whether one value asks for nothing by itself: null, false, zero, "" or an empty list. Objects
// are looked into by AsksNothing.
bool EmptyScalar(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      return true;
    case json::value_t::boolean:
      return !value.get<bool>();
    case json::value_t::string:
      return value.get_ref<const std::string&>().empty();
    case json::value_t::array:
      return value.empty();
    case json::value_t::number_float:
      return value.get<double>() == 0;
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
      return value.get<long long>() == 0;
    default:
      return false;
  }
}

// Whether a value asks for nothing: an empty scalar or list, or an object whose members all ask
// for nothing. Iterative, so that no nesting depth exhausts the stack.
bool AsksNothing(const json& value) {
  std::vector<const json*> pending = {&value};
  while (!pending.empty()) {
    const json* current = pending.back();
    pending.pop_back();
    if (current->is_object()) {
      for (const json& member : *current) {
        pending.push_back(&member);
      }
    } else if (!EmptyScalar(*current)) {
      return false;
    }
  }
  return true;
}

std::string Join(const std::string& path, const std::string& key) {
  return path.empty() ? key : path + "." + key;
}

// The keys of one object, checked before any is decoded: `handled` keys are acted on;
// `unimplemented` keys belong to the engine's schema but this engine does not do what they ask,
// so they are refused unless they ask for nothing; any other key is unknown to the schema.
struct KeyRules {
  std::set<std::string> handled;
  std::set<std::string> unimplemented;
};

void CheckKeys(const json& object, const std::string& path, const KeyRules& rules) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    const std::string& key = it.key();
    if (rules.handled.count(key) != 0) {
      continue;
    }
    if (rules.unimplemented.count(key) == 0) {
      FailAt(Join(path, key), "json: unknown field \"" + key + "\"");
    }
    if (!AsksNothing(it.value())) {
      FailAt(Join(path, key), "not implemented by the reference engine");
    }
  }
}

// A section the engine does not implement at all: each key may only ask for nothing.
void CheckUnimplementedSection(const json& section, const std::string& path) {
  if (!section.is_object()) {
    if (!AsksNothing(section)) {
      FailAt(path, "not implemented by the reference engine");
    }
    return;
  }
  for (auto it = section.begin(); it != section.end(); ++it) {
    if (!AsksNothing(it.value())) {
      FailAt(Join(path, it.key()), "not implemented by the reference engine");
    }
  }
}

// Dial fields (shared/dial): none changes how this engine dials.
const std::set<std::string>& DialFields() {
  static const std::set<std::string> kFields = {"detour",
                                                "bind_interface",
                                                "inet4_bind_address",
                                                "inet6_bind_address",
                                                "bind_address_no_port",
                                                "routing_mark",
                                                "reuse_addr",
                                                "netns",
                                                "connect_timeout",
                                                "tcp_fast_open",
                                                "tcp_multi_path",
                                                "disable_tcp_keep_alive",
                                                "tcp_keep_alive",
                                                "tcp_keep_alive_interval",
                                                "udp_fragment",
                                                "domain_resolver",
                                                "domain_strategy",
                                                "network_strategy",
                                                "network_type",
                                                "fallback_network_type",
                                                "fallback_delay"};
  return kFields;
}

// Listen fields (shared/listen) besides listen and listen_port.
const std::set<std::string>& ListenFields() {
  static const std::set<std::string> kFields = {"bind_interface",
                                                "routing_mark",
                                                "reuse_addr",
                                                "netns",
                                                "tcp_fast_open",
                                                "tcp_multi_path",
                                                "disable_tcp_keep_alive",
                                                "tcp_keep_alive",
                                                "tcp_keep_alive_interval",
                                                "udp_fragment",
                                                "udp_timeout",
                                                "detour"};
  return kFields;
}

KeyRules InboundKeyRules(const std::string& type) {
  KeyRules rules;
  rules.handled = {"type", "tag", "listen", "listen_port"};
  rules.unimplemented = ListenFields();
  if (type == "mixed") {
    rules.handled.insert("users");
    rules.unimplemented.insert("set_system_proxy");
  } else {  // tun: the interface is made; no route, rule or stack of the real engine is
    rules.handled = {"type",
                     "tag",
                     "interface_name",
                     "address",
                     "mtu",
                     "stack",
                     "auto_route",
                     "strict_route",
                     "udp_timeout",
                     "iproute2_table_index",
                     "iproute2_rule_index",
                     "route_address",
                     "route_exclude_address"};
    rules.unimplemented = {"auto_redirect",
                           "auto_redirect_input_mark",
                           "auto_redirect_output_mark",
                           "auto_redirect_reset_mark",
                           "auto_redirect_nfqueue",
                           "auto_redirect_iproute2_fallback_rule_index",
                           "exclude_mptcp",
                           "loopback_address",
                           "route_address_set",
                           "route_exclude_address_set",
                           "endpoint_independent_nat",
                           "include_interface",
                           "exclude_interface",
                           "include_uid",
                           "include_uid_range",
                           "exclude_uid",
                           "exclude_uid_range",
                           "include_android_user",
                           "include_package",
                           "exclude_package",
                           "include_mac_address",
                           "exclude_mac_address",
                           "platform",
                           "gso"};
  }
  return rules;
}

// Outbound types whose connections the engine opens itself.
bool CarriesTraffic(const std::string& type) {
  return type == "direct" || type == "block" || type == "socks" || type == "http" ||
         type == "shadowsocks";
}

// The outbound keys each type accepts besides type, tag and the dial fields. Proxy protocols
// the engine does not carry traffic through only describe a node: the engine lists and probes
// it, and refuses every connection routed to it with a logged error, so these keys cannot be
// silently dropped on the way.
const std::set<std::string>& OutboundTypeKeys(const std::string& type) {
  static const std::map<std::string, std::set<std::string>> kKeys = {
      {"direct", {}},
      {"block", {}},
      {"selector", {"outbounds", "default"}},
      {"urltest", {"outbounds", "url", "interval", "tolerance", "idle_timeout"}},
      {"socks",
       {"server", "server_port", "version", "username", "password", "network", "udp_over_tcp"}},
      {"http", {"server", "server_port", "username", "password", "path", "headers", "tls"}},
      {"shadowsocks",
       {"server", "server_port", "method", "password", "plugin", "plugin_opts", "network",
        "udp_over_tcp", "multiplex"}},
      {"vmess",
       {"server", "server_port", "uuid", "security", "alter_id", "global_padding",
        "authenticated_length", "network", "tls", "packet_encoding", "transport", "multiplex"}},
      {"trojan", {"server", "server_port", "password", "network", "tls", "multiplex", "transport"}},
      {"naive",
       {"server", "server_port", "username", "password", "insecure_concurrency", "extra_headers",
        "udp_over_tcp", "quic", "quic_congestion_control", "tls"}},
      {"wireguard",
       {"server", "server_port", "system_interface", "gso", "interface_name", "local_address",
        "private_key", "peers", "peer_public_key", "pre_shared_key", "reserved", "workers", "mtu",
        "network", "system", "name", "address", "listen_port", "udp_timeout"}},
      {"hysteria",
       {"server", "server_port", "server_ports", "hop_interval", "up", "up_mbps", "down",
        "down_mbps", "obfs", "auth", "auth_str", "recv_window_conn", "recv_window",
        "disable_mtu_discovery", "network", "tls"}},
      {"shadowtls", {"server", "server_port", "version", "password", "tls"}},
      {"vless",
       {"server", "server_port", "uuid", "flow", "network", "tls", "packet_encoding", "multiplex",
        "transport"}},
      {"tuic",
       {"server", "server_port", "uuid", "password", "congestion_control", "udp_relay_mode",
        "udp_over_stream", "zero_rtt_handshake", "heartbeat", "network", "tls"}},
      {"hysteria2",
       {"server", "server_port", "server_ports", "hop_interval", "up_mbps", "down_mbps", "obfs",
        "password", "network", "tls", "brutal_debug"}},
      {"anytls",
       {"server", "server_port", "password", "idle_session_check_interval", "idle_session_timeout",
        "min_idle_session", "tls"}},
      {"tor", {"executable_path", "extra_args", "data_directory", "torrc"}},
      {"ssh",
       {"server", "server_port", "user", "password", "private_key", "private_key_path",
        "private_key_passphrase", "host_key", "host_key_algorithms", "client_version"}},
      {"tailscale",
       {"state_directory", "auth_key", "control_url", "ephemeral", "hostname", "accept_routes",
        "exit_node", "exit_node_allow_lan_access", "advertise_routes", "advertise_exit_node",
        "udp_timeout"}},
  };
  static const std::set<std::string> kNone;
  auto it = kKeys.find(type);
  return it == kKeys.end() ? kNone : it->second;
}

KeyRules OutboundKeyRules(const std::string& type) {
  // Keys of the types the engine carries traffic through but whose option it does not act on.
  static const std::map<std::string, std::set<std::string>> kUnimplemented = {
      {"socks", {"udp_over_tcp"}},
      {"http", {"path", "headers", "tls"}},
      {"shadowsocks", {"plugin", "plugin_opts", "udp_over_tcp", "multiplex"}},
  };
  KeyRules rules;
  rules.handled = OutboundTypeKeys(type);
  rules.handled.insert({"type", "tag"});
  if (type == "selector" || type == "urltest") {
    rules.handled.insert("interrupt_exist_connections");
    return rules;
  }
  rules.unimplemented = DialFields();
  if (auto it = kUnimplemented.find(type); it != kUnimplemented.end()) {
    for (const std::string& key : it->second) {
      rules.handled.erase(key);
      rules.unimplemented.insert(key);
    }
  }
  if (CarriesTraffic(type)) {
    rules.unimplemented.erase("connect_timeout");
    rules.handled.insert("connect_timeout");
  }
  return rules;
}

const std::set<std::string>& KnownInboundTypes() {
  static const std::set<std::string> kTypes = {
      "direct", "mixed",  "socks",    "http",      "shadowsocks", "vmess",
      "trojan", "naive",  "hysteria", "shadowtls", "tuic",        "hysteria2",
      "vless",  "anytls", "tun",      "redirect",  "tproxy"};
  return kTypes;
}

const std::set<std::string>& KnownOutboundTypes() {
  static const std::set<std::string> kTypes = {
      "direct",      "block", "dns",       "selector", "urltest",   "socks",    "http",
      "shadowsocks", "vmess", "trojan",    "naive",    "wireguard", "hysteria", "shadowtls",
      "vless",       "tuic",  "hysteria2", "anytls",   "tor",       "ssh"};
  return kTypes;
}

// Types that carry only TCP, so the controller reports "udp": false for them.
bool TcpOnly(const std::string& type) {
  static const std::set<std::string> kTypes = {"http",      "ssh",    "tor",
                                               "shadowtls", "anytls", "naive"};
  return kTypes.count(type) != 0;
}

TunAddress ParsePrefix(const std::string& text, const std::string& path) {
  TunAddress address;
  address.text = text;
  size_t slash = text.find('/');
  std::string ip = text.substr(0, slash);
  if (inet_pton(AF_INET, ip.c_str(), address.bytes) == 1) {
    address.family = AF_INET;
  } else if (inet_pton(AF_INET6, ip.c_str(), address.bytes) == 1) {
    address.family = AF_INET6;
  } else {
    FailAt(path, "netip.ParsePrefix(\"" + text + "\"): ParseAddr(\"" + ip + "\"): invalid address");
  }
  int max = address.family == AF_INET ? 32 : 128;
  if (slash == std::string::npos) {
    FailAt(path, "netip.ParsePrefix(\"" + text + "\"): no '/'");
  }
  std::string bits = text.substr(slash + 1);
  bool valid = !bits.empty() && bits.size() <= 3 &&
               std::all_of(bits.begin(), bits.end(), [](char c) { return c >= '0' && c <= '9'; });
  address.prefix = valid ? std::stoi(bits) : -1;
  if (address.prefix < 0 || address.prefix > max) {
    FailAt(path, "netip.ParsePrefix(\"" + text + "\"): bad bits after slash: \"" + bits + "\"");
  }
  return address;
}

void DecodeLog(const json& log, Config* config) {
  if (!log.is_object()) {
    FailType("log", log, "option.LogOptions");
  }
  CheckKeys(log, "log", KeyRules{{"disabled", "timestamp", "output", "level"}, {}});
  GetBool(log, "disabled", "log", &config->log.disabled);
  GetBool(log, "timestamp", "log", &config->log.timestamp);
  GetString(log, "output", "log", &config->log.output);
  std::string level;
  if (GetString(log, "level", "log", &level) && !level.empty()) {
    int index = Logger::ParseLevel(level);
    if (index < 0) {
      Fail("create log factory: parse log level: unknown log level: " + level);
    }
    config->log.level = index;
  }
}

// A mixed inbound's "users": a list of {username, password} (or one bare object).
std::vector<InboundUser> DecodeUsers(const json& item, const std::string& path) {
  std::vector<InboundUser> users;
  const json* value = Member(item, "users");
  if (value == nullptr) {
    return users;
  }
  const std::string list_path = path + ".users";
  std::vector<const json*> entries;
  if (value->is_object()) {
    entries.push_back(value);
  } else if (value->is_array()) {
    for (const json& entry : *value) {
      entries.push_back(&entry);
    }
  } else {
    FailType(list_path, *value, "[]auth.User");
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string entry_path =
        value->is_array() ? list_path + "[" + std::to_string(i) + "]" : list_path;
    if (!entries[i]->is_object()) {
      FailType(entry_path, *entries[i], "auth.User");
    }
    CheckKeys(*entries[i], entry_path, KeyRules{{"username", "password"}, {}});
    InboundUser user;
    GetString(*entries[i], "username", entry_path, &user.username);
    GetString(*entries[i], "password", entry_path, &user.password);
    users.push_back(std::move(user));
  }
  return users;
}

InboundOptions DecodeInbound(const json& item, size_t index) {
  const std::string path = "inbounds[" + std::to_string(index) + "]";
  if (!item.is_object()) {
    FailType(path, item, "option.Inbound");
  }
  InboundOptions inbound;
  if (!GetString(item, "type", path, &inbound.type) || inbound.type.empty()) {
    FailAt(path, "missing inbound type");
  }
  if (KnownInboundTypes().count(inbound.type) == 0) {
    FailAt(path, "unknown inbound type: " + inbound.type);
  }
  for (const char* legacy : {"sniff", "sniff_override_destination", "sniff_timeout",
                             "domain_strategy", "udp_disable_domain_unmapping"}) {
    if (item.contains(legacy)) {
      FailAt(path,
             "legacy inbound fields are deprecated in sing-box 1.11.0 and removed in sing-box "
             "1.13.0, use rule actions instead");
    }
  }
  if (inbound.type == "tun") {
    for (const char* legacy :
         {"inet4_address", "inet6_address", "inet4_route_address", "inet6_route_address",
          "inet4_route_exclude_address", "inet6_route_exclude_address"}) {
      if (Member(item, legacy) != nullptr) {
        FailAt(path,
               "legacy tun address fields are deprecated in sing-box 1.10.0 and removed in "
               "sing-box 1.12.0");
      }
    }
  }
  // Other types are refused whole when the service is created.
  if (inbound.type == "mixed" || inbound.type == "tun") {
    CheckKeys(item, path, InboundKeyRules(inbound.type));
  }
  GetString(item, "tag", path, &inbound.tag);
  inbound.name = "inbound/" + inbound.type + "[" +
                 (inbound.tag.empty() ? std::to_string(index) : inbound.tag) + "]";
  std::string listen;
  if (GetString(item, "listen", path, &listen) && !listen.empty()) {
    inbound.listen = listen;
  }
  long long port = 0;
  if (GetInt(item, "listen_port", path, 0, 65535, "uint16", &port)) {
    inbound.listen_port = static_cast<int>(port);
  }
  if (inbound.type == "mixed") {
    inbound.users = DecodeUsers(item, path);
  }
  if (inbound.type == "tun") {
    GetString(item, "interface_name", path, &inbound.interface_name);
    std::vector<std::string> addresses = GetStringList(item, "address", path);
    for (size_t i = 0; i < addresses.size(); ++i) {
      inbound.address.push_back(
          ParsePrefix(addresses[i], path + ".address[" + std::to_string(i) + "]"));
    }
    long long mtu = 0;
    if (GetInt(item, "mtu", path, 0, 65535, "uint32", &mtu)) {
      inbound.mtu = static_cast<int>(mtu);
    }
    GetBool(item, "auto_route", path, &inbound.auto_route);
    GetBool(item, "strict_route", path, &inbound.strict_route);
    // A duration, or a number of seconds; zero keeps the default.
    long long timeout_ms = 0;
    if (item.contains("udp_timeout") && item["udp_timeout"].is_number()) {
      long long seconds = 0;
      if (GetInt(item, "udp_timeout", path, 0, 0x7fffffff, "int64", &seconds)) {
        timeout_ms = seconds * 1000;
      }
    } else {
      GetDuration(item, "udp_timeout", path, &timeout_ms);
    }
    if (timeout_ms > 0) {
      inbound.udp_timeout_ms = timeout_ms;
    }
    long long index = 0;
    if (GetInt(item, "iproute2_table_index", path, 1, 0x7fffffff, "int", &index)) {
      inbound.table_index = static_cast<int>(index);
    }
    if (GetInt(item, "iproute2_rule_index", path, 1, 32000, "int", &index)) {
      inbound.rule_index = static_cast<int>(index);
    }
    for (const char* key : {"route_address", "route_exclude_address"}) {
      std::vector<std::string> prefixes = GetStringList(item, key, path);
      for (size_t i = 0; i < prefixes.size(); ++i) {
        (std::string(key) == "route_address" ? inbound.route_address
                                             : inbound.route_exclude_address)
            .push_back(ParsePrefix(prefixes[i], path + "." + key + "[" + std::to_string(i) + "]"));
      }
    }
    // Only the system stack is built in; gVisor's user-space TCP is not.
    std::string stack;
    if (GetString(item, "stack", path, &stack) && !stack.empty() && stack != "system") {
      FailAt(path + ".stack",
             "stack " + stack + " is not built into the reference engine, use \"system\"");
    }
  }
  return inbound;
}

OutboundOptions DecodeOutbound(const json& item, const std::string& path, bool endpoint) {
  const char* kind = endpoint ? "endpoint" : "outbound";
  if (!item.is_object()) {
    FailType(path, item, endpoint ? "option.Endpoint" : "option.Outbound");
  }
  OutboundOptions outbound;
  outbound.endpoint = endpoint;
  if (!GetString(item, "type", path, &outbound.type) || outbound.type.empty()) {
    FailAt(path, std::string("missing ") + kind + " type");
  }
  bool known = endpoint ? (outbound.type == "wireguard" || outbound.type == "tailscale")
                        : KnownOutboundTypes().count(outbound.type) != 0;
  if (!known) {
    FailAt(path, std::string("unknown ") + kind + " type: " + outbound.type);
  }
  if (outbound.type == "dns") {
    FailAt(path,
           "dns outbound is deprecated in sing-box 1.11.0 and removed in sing-box 1.13.0, use "
           "rule actions instead");
  }
  CheckKeys(item, path, OutboundKeyRules(outbound.type));
  GetString(item, "tag", path, &outbound.tag);
  outbound.name = std::string(kind) + "/" + outbound.type + "[" + outbound.tag + "]";
  GetString(item, "server", path, &outbound.server);
  long long port = 0;
  if (GetInt(item, "server_port", path, 0, 65535, "uint16", &port)) {
    outbound.server_port = static_cast<int>(port);
  }
  GetString(item, "username", path, &outbound.username);
  GetString(item, "password", path, &outbound.password);
  GetString(item, "version", path, &outbound.version);
  if (const json* tls = Member(item, "tls"); tls != nullptr && tls->is_object()) {
    GetBool(*tls, "enabled", path + ".tls", &outbound.tls);
  }
  std::string network;
  GetString(item, "network", path, &network);
  if (!network.empty() && network != "tcp" && network != "udp") {
    FailAt(path + ".network", "unknown network: " + network);
  }
  outbound.udp = !TcpOnly(outbound.type) && network != "tcp";
  outbound.tcp = network != "udp";
  GetDuration(item, "connect_timeout", path, &outbound.connect_timeout_ms);
  outbound.connect_timeout_set = Member(item, "connect_timeout") != nullptr;
  if (outbound.type == "socks" && !outbound.version.empty() && outbound.version != "5") {
    FailAt(path + ".version", "not implemented by the reference engine");
  }
  if (outbound.type == "shadowsocks") {
    GetString(item, "method", path, &outbound.method);
    if (outbound.method.empty()) {
      FailAt(path + ".method", "missing method");
    }
    if (!ss::Key::Supports(outbound.method)) {
      FailAt(path + ".method", "not implemented by the reference engine");
    }
  }
  if (outbound.IsGroup()) {
    outbound.members = GetStringList(item, "outbounds", path);
    GetString(item, "default", path, &outbound.default_member);
    GetString(item, "url", path, &outbound.url);
    GetDuration(item, "interval", path, &outbound.interval_ms);
    GetDuration(item, "idle_timeout", path, &outbound.idle_timeout_ms);
    long long tolerance = 0;
    if (GetInt(item, "tolerance", path, 0, 65535, "uint16", &tolerance)) {
      outbound.tolerance_ms = static_cast<int>(tolerance);
    }
    GetBool(item, "interrupt_exist_connections", path, &outbound.interrupt);
  }
  return outbound;
}

void DecodeOutboundList(const json& root, const char* key, bool endpoint, Config* config) {
  const json* list = Member(root, key);
  if (list == nullptr) {
    return;
  }
  if (!list->is_array()) {
    FailType(key, *list, endpoint ? "[]option.Endpoint" : "[]option.Outbound");
  }
  for (size_t i = 0; i < list->size(); ++i) {
    OutboundOptions outbound =
        DecodeOutbound((*list)[i], std::string(key) + "[" + std::to_string(i) + "]", endpoint);
    // Untagged outbounds cannot be named by groups or the controller.
    if (!outbound.tag.empty()) {
      config->outbounds.push_back(std::move(outbound));
    }
  }
}

void DecodeExperimental(const json& experimental, Config* config) {
  if (!experimental.is_object()) {
    FailType("experimental", experimental, "option.ExperimentalOptions");
  }
  CheckKeys(experimental, "experimental",
            KeyRules{{"clash_api"}, {"cache_file", "v2ray_api", "debug"}});
  const json* clash = Member(experimental, "clash_api");
  if (clash == nullptr) {
    return;
  }
  if (!clash->is_object()) {
    FailType("experimental.clash_api", *clash, "option.ClashAPIOptions");
  }
  for (const char* legacy :
       {"store_mode", "store_selected", "store_fakeip", "cache_file", "cache_id"}) {
    if (clash->contains(legacy)) {
      Fail(
          "cache_file and related fields in Clash API is deprecated in sing-box 1.8.0, use "
          "experimental.cache_file instead.");
    }
  }
  const std::string path = "experimental.clash_api";
  CheckKeys(*clash, path,
            KeyRules{{"external_controller", "secret", "access_control_allow_origin",
                      "access_control_allow_private_network"},
                     {"external_ui", "external_ui_download_url", "external_ui_download_detour",
                      "default_mode"}});
  GetString(*clash, "external_controller", path, &config->external_controller);
  GetString(*clash, "secret", path, &config->secret);
  config->allow_origins = GetStringList(*clash, "access_control_allow_origin", path);
  GetBool(*clash, "access_control_allow_private_network", path, &config->allow_private_network);
  std::string host;
  int port = 0;
  if (!config->external_controller.empty() &&
      !SplitHostPort(config->external_controller, &host, &port)) {
    FailAt("experimental.clash_api.external_controller",
           "address " + config->external_controller + ": missing port in address");
  }
}

// Group members must exist, defaults must be members, and groups may not contain themselves.
void CheckOutbounds(Config* config) {
  std::map<std::string, const OutboundOptions*> by_tag;
  for (const OutboundOptions& outbound : config->outbounds) {
    if (!by_tag.emplace(outbound.tag, &outbound).second) {
      Fail("duplicate outbound/endpoint tag: " + outbound.tag);
    }
  }
  for (const OutboundOptions& outbound : config->outbounds) {
    if (!outbound.IsGroup()) {
      continue;
    }
    if (outbound.members.empty()) {
      Fail("initialize " + outbound.name + ": missing tags");
    }
    for (const std::string& member : outbound.members) {
      if (by_tag.count(member) == 0) {
        Fail("dependency[" + member + "] not found for outbound[" + outbound.tag + "]");
      }
    }
    if (outbound.type == "selector" && !outbound.default_member.empty() &&
        std::find(outbound.members.begin(), outbound.members.end(), outbound.default_member) ==
            outbound.members.end()) {
      Fail("start " + outbound.name + ": default outbound not found: " + outbound.default_member);
    }
    if (outbound.type == "urltest" && outbound.interval_ms > outbound.idle_timeout_ms) {
      Fail("initialize " + outbound.name + ": interval must be less or equal than idle_timeout");
    }
  }
  // Depth-first walk: a group reached again while on the current path is a cycle.
  std::map<std::string, int> state;  // 1 on path, 2 done
  std::function<void(const std::string&)> visit = [&](const std::string& tag) {
    state[tag] = 1;
    for (const std::string& member : by_tag[tag]->members) {
      if (state[member] == 1) {
        Fail("initialize outbound[" + tag + "]: circular dependency on outbound[" + member + "]");
      }
      if (state[member] == 0) {
        visit(member);
      }
    }
    state[tag] = 2;
  };
  for (const OutboundOptions& outbound : config->outbounds) {
    if (state[outbound.tag] == 0) {
      visit(outbound.tag);
    }
  }
  if (config->final_outbound.empty()) {
    if (!config->outbounds.empty() && !config->outbounds.front().endpoint) {
      config->final_outbound = config->outbounds.front().tag;
    }
  } else if (by_tag.count(config->final_outbound) == 0) {
    Fail("default outbound not found: " + config->final_outbound);
  }
}

// Match fields and actions of the engine's rules that this engine does not evaluate.
const std::set<std::string>& UnimplementedRuleKeys() {
  static const std::set<std::string> kKeys = {"domain_keyword",
                                              "domain_regex",
                                              "geosite",
                                              "geoip",
                                              "source_geoip",
                                              "source_ip_cidr",
                                              "source_ip_is_private",
                                              "ip_is_private",
                                              "source_port",
                                              "source_port_range",
                                              "port_range",
                                              "protocol",
                                              "client",
                                              "auth_user",
                                              "ip_version",
                                              "query_type",
                                              "process_name",
                                              "process_path",
                                              "process_path_regex",
                                              "package_name",
                                              "user",
                                              "user_id",
                                              "clash_mode",
                                              "network_type",
                                              "network_is_expensive",
                                              "network_is_constrained",
                                              "wifi_ssid",
                                              "wifi_bssid",
                                              "interface_address",
                                              "network_interface_address",
                                              "default_interface_address",
                                              "source_mac_address",
                                              "source_hostname",
                                              "preferred_by",
                                              "rule_set",
                                              "rule_set_ip_cidr_match_source",
                                              "rule_set_ip_cidr_accept_empty",
                                              "invert",
                                              "override_address",
                                              "override_port",
                                              "network_strategy",
                                              "network_type",
                                              "fallback_network_type",
                                              "fallback_delay",
                                              "udp_disable_domain_unmapping",
                                              "udp_connect",
                                              "udp_timeout",
                                              "tls_fragment",
                                              "tls_fragment_fallback_delay",
                                              "tls_record_fragment",
                                              "method",
                                              "no_drop",
                                              "sniffer",
                                              "timeout",
                                              "server",
                                              "strategy",
                                              "disable_cache",
                                              "rewrite_ttl",
                                              "client_subnet"};
  return kKeys;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

IpPrefix ParseRulePrefix(const std::string& text, const std::string& path) {
  // A bare address is a prefix of its full length.
  std::string cidr = text;
  if (text.find('/') == std::string::npos) {
    cidr += text.find(':') == std::string::npos ? "/32" : "/128";
  }
  TunAddress parsed = ParsePrefix(cidr, path);
  IpPrefix prefix;
  prefix.family = parsed.family;
  std::copy(std::begin(parsed.bytes), std::end(parsed.bytes), prefix.bytes);
  prefix.prefix = parsed.prefix;
  return prefix;
}

std::string ListText(const char* key, const std::vector<std::string>& values) {
  std::string text = std::string(key) + "=";
  if (values.size() == 1) {
    return text + values.front();
  }
  text += "[";
  for (size_t i = 0; i < values.size(); ++i) {
    text += (i == 0 ? "" : " ") + values[i];
  }
  return text + "]";
}

void DecodeRules(const json& rules, Config* config) {
  if (!rules.is_array()) {
    FailType("route.rules", rules, "[]option.Rule");
  }
  std::set<std::string> tags;
  for (const OutboundOptions& outbound : config->outbounds) {
    tags.insert(outbound.tag);
  }
  for (size_t i = 0; i < rules.size(); ++i) {
    const std::string path = "route.rules[" + std::to_string(i) + "]";
    const json& item = rules[i];
    if (!item.is_object()) {
      FailType(path, item, "option.Rule");
    }
    std::string type;
    GetString(item, "type", path, &type);
    if (type == "logical") {
      FailAt(path + ".type", "not implemented by the reference engine");
    } else if (!type.empty() && type != "default") {
      FailAt(path, "unknown rule type: " + type);
    }
    KeyRules keys{{"type", "domain", "domain_suffix", "ip_cidr", "port", "network", "inbound",
                   "outbound", "action"},
                  UnimplementedRuleKeys()};
    CheckKeys(item, path, keys);
    std::string action;
    GetString(item, "action", path, &action);
    if (action == "reject" || action == "sniff" || action == "resolve" ||
        action == "route-options" || action == "bypass") {
      FailAt(path + ".action", "not implemented by the reference engine");
    } else if (!action.empty() && action != "route" && action != "hijack-dns") {
      FailAt(path, "unknown rule action: " + action);
    }
    RouteRule rule;
    std::vector<std::string> parts;
    for (const std::string& domain : GetStringList(item, "domain", path)) {
      rule.domain.push_back(Lower(domain));
    }
    for (const std::string& suffix : GetStringList(item, "domain_suffix", path)) {
      rule.domain_suffix.push_back(Lower(suffix));
    }
    std::vector<std::string> cidrs = GetStringList(item, "ip_cidr", path);
    for (size_t j = 0; j < cidrs.size(); ++j) {
      rule.ip_cidr.push_back(
          ParseRulePrefix(cidrs[j], path + ".ip_cidr[" + std::to_string(j) + "]"));
    }
    std::vector<std::string> ports;
    if (const json* port = Member(item, "port")) {
      std::vector<json> values =
          port->is_array() ? port->get<std::vector<json>>() : std::vector<json>{*port};
      for (size_t j = 0; j < values.size(); ++j) {
        if (!values[j].is_number_integer() && !values[j].is_number_unsigned()) {
          FailType(path + ".port", values[j], "uint16");
        }
        long long number = values[j].get<long long>();
        if (number < 0 || number > 65535) {
          FailAt(path + ".port", "json: cannot unmarshal number " + values[j].dump() +
                                     " into Go value of type uint16");
        }
        rule.port.push_back(static_cast<int>(number));
        ports.push_back(std::to_string(number));
      }
    }
    rule.network = GetStringList(item, "network", path);
    for (const std::string& network : rule.network) {
      if (network != "tcp" && network != "udp") {
        FailAt(path + ".network", "unknown network: " + network);
      }
    }
    rule.inbound = GetStringList(item, "inbound", path);
    GetString(item, "outbound", path, &rule.outbound);
    rule.hijack_dns = action == "hijack-dns";
    if (rule.outbound.empty() && !rule.hijack_dns) {
      FailAt(path, "missing outbound");
    }
    if (!rule.hijack_dns && tags.count(rule.outbound) == 0) {
      FailAt(path, "outbound not found: " + rule.outbound);
    }
    if (!rule.inbound.empty()) {
      parts.push_back(ListText("inbound", rule.inbound));
    }
    if (!rule.network.empty()) {
      parts.push_back(ListText("network", rule.network));
    }
    if (!rule.domain.empty()) {
      parts.push_back(ListText("domain", rule.domain));
    }
    if (!rule.domain_suffix.empty()) {
      parts.push_back(ListText("domain_suffix", rule.domain_suffix));
    }
    if (!cidrs.empty()) {
      parts.push_back(ListText("ip_cidr", cidrs));
    }
    if (!ports.empty()) {
      parts.push_back(ListText("port", ports));
    }
    for (const std::string& part : parts) {
      rule.text += part + " ";
    }
    rule.text += rule.hijack_dns ? "=> hijack-dns" : "=> route(" + rule.outbound + ")";
    config->rules.push_back(std::move(rule));
  }
}

// The dns section: plain UDP servers reached through an outbound ("type": "udp", or the legacy
// "address": "udp://1.1.1.1" / "1.1.1.1"), final, and the cache switches.
void DecodeDns(const json& dns, Config* config) {
  if (!dns.is_object()) {
    FailType("dns", dns, "option.DNSOptions");
  }
  CheckKeys(dns, "dns",
            KeyRules{{"servers", "final", "disable_cache", "cache_capacity"},
                     {"rules", "strategy", "disable_expire", "independent_cache", "reverse_mapping",
                      "fakeip", "client_subnet"}});
  DnsOptions& options = config->dns;
  GetString(dns, "final", "dns", &options.final_server);
  GetBool(dns, "disable_cache", "dns", &options.disable_cache);
  long long capacity = 0;
  if (GetInt(dns, "cache_capacity", "dns", 0, 1 << 24, "uint32", &capacity)) {
    options.cache_capacity = std::max<int>(1024, static_cast<int>(capacity));
  }
  const json* servers = Member(dns, "servers");
  if (servers == nullptr) {
    return;
  }
  if (!servers->is_array()) {
    FailType("dns.servers", *servers, "[]option.DNSServerOptions");
  }
  for (size_t i = 0; i < servers->size(); ++i) {
    const json& item = (*servers)[i];
    const std::string path = "dns.servers[" + std::to_string(i) + "]";
    if (!item.is_object()) {
      FailType(path, item, "option.DNSServerOptions");
    }
    CheckKeys(item, path,
              KeyRules{{"type", "tag", "server", "server_port", "address", "detour"},
                       {"address_resolver", "strategy", "domain_resolver", "client_subnet"}});
    DnsServer server;
    GetString(item, "tag", path, &server.tag);
    GetString(item, "detour", path, &server.detour);
    std::string type;
    GetString(item, "type", path, &type);
    std::string address;
    if (GetString(item, "address", path, &address)) {
      if (address.rfind("udp://", 0) == 0) {
        address = address.substr(6);
      }
      size_t colon = address.rfind(':');
      if (colon != std::string::npos && address.find(':') == colon) {
        server.port = std::atoi(address.c_str() + colon + 1);
        address = address.substr(0, colon);
      }
      server.server = address;
    } else {
      if (!type.empty() && type != "udp") {
        FailAt(path + ".type", "not implemented by the reference engine: " + type);
      }
      GetString(item, "server", path, &server.server);
      long long port = 0;
      if (GetInt(item, "server_port", path, 0, 65535, "uint16", &port) && port != 0) {
        server.port = static_cast<int>(port);
      }
    }
    unsigned char bytes[16];
    if (inet_pton(AF_INET, server.server.c_str(), bytes) != 1 &&
        inet_pton(AF_INET6, server.server.c_str(), bytes) != 1) {
      FailAt(path, "the reference engine reaches name servers by IP address over UDP only: " +
                       server.server);
    }
    options.servers.push_back(server);
  }
}

void Decode(const json& root, Config* config) {
  if (!root.is_object()) {
    FailType("", root, "option._Options");
  }
  static const std::set<std::string> kTopLevel = {
      "$schema",  "log",       "dns",   "ntp",      "certificate", "endpoints",
      "inbounds", "outbounds", "route", "services", "experimental"};
  for (auto it = root.begin(); it != root.end(); ++it) {
    if (kTopLevel.count(it.key()) == 0) {
      FailAt(it.key(), "json: unknown field \"" + it.key() + "\"");
    }
  }
  if (const json* log = Member(root, "log")) {
    DecodeLog(*log, config);
  }
  // Sections the engine has no part for: they may be present but must ask for nothing.
  if (const json* dns = Member(root, "dns")) {
    DecodeDns(*dns, config);
  }
  for (const char* section : {"ntp", "certificate", "services"}) {
    if (const json* value = Member(root, section)) {
      CheckUnimplementedSection(*value, section);
    }
  }
  if (const json* inbounds = Member(root, "inbounds")) {
    if (!inbounds->is_array()) {
      FailType("inbounds", *inbounds, "[]option.Inbound");
    }
    std::set<std::string> tags;
    for (size_t i = 0; i < inbounds->size(); ++i) {
      InboundOptions inbound = DecodeInbound((*inbounds)[i], i);
      if (!inbound.tag.empty() && !tags.insert(inbound.tag).second) {
        Fail("duplicate inbound tag: " + inbound.tag);
      }
      config->inbounds.push_back(std::move(inbound));
    }
  }
  // Tagged outbounds first, then endpoints: the controller lists them in that order.
  DecodeOutboundList(root, "outbounds", false, config);
  DecodeOutboundList(root, "endpoints", true, config);
  if (const json* route = Member(root, "route")) {
    if (!route->is_object()) {
      FailType("route", *route, "option.RouteOptions");
    }
    // Rules and the final outbound decide; no interface option is acted on.
    CheckKeys(
        *route, "route",
        KeyRules{{"final", "rules", "auto_detect_interface", "default_interface", "default_mark"},
                 {"rule_set", "override_android_vpn", "default_domain_resolver",
                  "default_network_strategy", "default_network_type",
                  "default_fallback_network_type", "default_fallback_delay", "find_process"}});
    GetString(*route, "final", "route", &config->final_outbound);
    GetBool(*route, "auto_detect_interface", "route", &config->auto_detect_interface);
    GetString(*route, "default_interface", "route", &config->default_interface);
    long long mark = 0;
    if (GetInt(*route, "default_mark", "route", 0, 0xffffffffLL, "uint32", &mark)) {
      config->default_mark = static_cast<uint32_t>(mark);
    }
    if (const json* rules = Member(*route, "rules")) {
      DecodeRules(*rules, config);
    }
  }
  if (const json* experimental = Member(root, "experimental")) {
    DecodeExperimental(*experimental, config);
  }
  CheckOutbounds(config);
}

// Go's text for one offending byte: 'x', '\n', '\'' ...
std::string QuoteChar(unsigned char c) {
  switch (c) {
    case '\'':
      return "'\\''";
    case '\n':
      return "'\\n'";
    case '\r':
      return "'\\r'";
    case '\t':
      return "'\\t'";
    default:
      break;
  }
  if (c < 0x20 || c >= 0x7f) {
    char buffer[16];
    snprintf(buffer, sizeof(buffer), "'\\x%02x'", c);
    return buffer;
  }
  return std::string("'") + static_cast<char>(c) + "'";
}

// Turns the parser's report into the engine's wording for the same fault.
std::string SyntaxMessage(const std::string& text, size_t byte, const std::string& library) {
  if (byte == 0 || byte > text.size() ||
      library.find("unexpected end of input") != std::string::npos) {
    return "unexpected end of JSON input";
  }
  std::string where = "looking for beginning of value";
  if (library.find("expected end of input") != std::string::npos) {
    where = "after top-level value";
  } else if (library.find("while parsing object key") != std::string::npos) {
    where = "looking for beginning of object key string";
  } else if (library.find("while parsing object separator") != std::string::npos) {
    where = "after object key";
  } else if (library.find("while parsing object") != std::string::npos) {
    where = "after object key:value pair";
  } else if (library.find("while parsing array") != std::string::npos) {
    where = "after array element";
  } else if (library.find("invalid string") != std::string::npos) {
    where = "in string literal";
  }
  return "invalid character " + QuoteChar(static_cast<unsigned char>(text[byte - 1])) + " " + where;
}

// The number literal quoted in the library's overflow message ("... parsing '1e999'").
std::string OverflowingLiteral(const std::string& library) {
  size_t close = library.rfind('\'');
  size_t open =
      close == std::string::npos || close == 0 ? std::string::npos : library.rfind('\'', close - 1);
  if (open == std::string::npos) {
    return "value";
  }
  return library.substr(open + 1, close - open - 1);
}

}  // namespace

std::string DescribeSyntaxError(const std::string& text, size_t offset, const std::string& what) {
  size_t end = std::min(offset, text.size());
  size_t row = 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + end, '\n'));
  size_t last_newline = text.rfind('\n', end == 0 ? std::string::npos : end - 1);
  if (end == 0) {
    last_newline = std::string::npos;
  }
  size_t column = last_newline == std::string::npos ? end : end - last_newline - 1;
  return what + ": row " + std::to_string(row) + ", column " + std::to_string(column);
}

bool ParseConfig(const std::string& text, Config* config, std::string* error) {
  json root;
  try {
    root = json::parse(text, nullptr, true, /*ignore_comments=*/true);
  } catch (const json::parse_error& e) {
    // The library counts the offending byte from 1; the engine reports the text up to and
    // including it.
    size_t byte = std::min<size_t>(e.byte, text.size() + 1);
    std::string what = SyntaxMessage(text, byte, e.what());
    *error = "decode config: " + DescribeSyntaxError(text, std::min(byte, text.size()), what);
    return false;
  } catch (const json::out_of_range& e) {
    // A number too large for a double ("1e999"): refused like a type mismatch, never thrown
    // past the library's entry points.
    *error = "decode config: json: cannot unmarshal number " + OverflowingLiteral(e.what()) +
             " into Go value of type float64";
    return false;
  }
  try {
    *config = Config();
    Decode(root, config);
  } catch (const DecodeError& e) {
    *error = e.message;
    return false;
  } catch (const json::exception& e) {
    *error = std::string("decode config: ") + e.what();
    return false;
  }
  return true;
}

bool ParseDuration(const std::string& text, long long* milliseconds) {
  static const std::map<std::string, double> kUnits = {
      {"ns", 1e-6}, {"us", 1e-3}, {"µs", 1e-3}, {"ms", 1}, {"s", 1e3}, {"m", 6e4}, {"h", 3.6e6}};
  if (text == "0") {
    *milliseconds = 0;
    return true;
  }
  double total = 0;
  size_t i = 0;
  if (text.empty()) {
    return false;
  }
  while (i < text.size()) {
    size_t start = i;
    while (i < text.size() && ((text[i] >= '0' && text[i] <= '9') || text[i] == '.')) {
      ++i;
    }
    if (start == i) {
      return false;
    }
    double number = 0;
    try {
      number = std::stod(text.substr(start, i - start));
    } catch (...) {
      return false;
    }
    size_t unit_start = i;
    while (i < text.size() && !((text[i] >= '0' && text[i] <= '9') || text[i] == '.')) {
      ++i;
    }
    auto unit = kUnits.find(text.substr(unit_start, i - unit_start));
    if (unit == kUnits.end()) {
      return false;
    }
    total += number * unit->second;
  }
  *milliseconds = static_cast<long long>(total);
  return true;
}

std::string DisplayType(const std::string& type) {
  static const std::map<std::string, std::string> kNames = {{"selector", "Selector"},
                                                            {"urltest", "URLTest"},
                                                            {"direct", "Direct"},
                                                            {"block", "Reject"},
                                                            {"dns", "DNS"},
                                                            {"socks", "SOCKS"},
                                                            {"http", "HTTP"},
                                                            {"shadowsocks", "Shadowsocks"},
                                                            {"vmess", "VMess"},
                                                            {"trojan", "Trojan"},
                                                            {"vless", "VLESS"},
                                                            {"hysteria", "Hysteria"},
                                                            {"hysteria2", "Hysteria2"},
                                                            {"tuic", "TUIC"},
                                                            {"wireguard", "WireGuard"},
                                                            {"anytls", "AnyTLS"},
                                                            {"ssh", "SSH"},
                                                            {"tor", "Tor"}};
  auto it = kNames.find(type);
  return it == kNames.end() ? "Unknown" : it->second;
}

}  // namespace box
