#include "engine/route_rules.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>

namespace box {
namespace {

bool Contains(const std::vector<std::string>& list, const std::string& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

bool InPrefix(const IpPrefix& prefix, int family, const unsigned char* bytes) {
  if (prefix.family != family) {
    return false;
  }
  int full = prefix.prefix / 8;
  int rest = prefix.prefix % 8;
  if (!std::equal(bytes, bytes + full, prefix.bytes)) {
    return false;
  }
  if (rest == 0) {
    return true;
  }
  unsigned char mask = static_cast<unsigned char>(0xff << (8 - rest));
  return (bytes[full] & mask) == (prefix.bytes[full] & mask);
}

bool SuffixMatches(const std::string& suffix, const std::string& host) {
  // ".x.com" matches names ending in .x.com; "x.com" matches x.com and its subdomains.
  if (suffix.empty()) {
    return false;
  }
  auto ends_with = [&](const std::string& tail) {
    return host.size() >= tail.size() &&
           host.compare(host.size() - tail.size(), tail.size(), tail) == 0;
  };
  if (suffix.front() == '.') {
    return ends_with(suffix);
  }
  return host == suffix || ends_with("." + suffix);
}

}  // namespace

bool RuleMatches(const RouteRule& rule, const RouteRequest& request) {
  if (!rule.network.empty() && !Contains(rule.network, request.network)) {
    return false;
  }
  if (!rule.inbound.empty() && !Contains(rule.inbound, request.inbound)) {
    return false;
  }
  if (!rule.port.empty() &&
      std::find(rule.port.begin(), rule.port.end(), request.port) == rule.port.end()) {
    return false;
  }
  if (rule.domain.empty() && rule.domain_suffix.empty() && rule.ip_cidr.empty()) {
    return true;
  }
  unsigned char bytes[16];
  int family = 0;
  if (inet_pton(AF_INET, request.host.c_str(), bytes) == 1) {
    family = AF_INET;
  } else if (inet_pton(AF_INET6, request.host.c_str(), bytes) == 1) {
    family = AF_INET6;
  }
  if (family != 0) {
    return std::any_of(rule.ip_cidr.begin(), rule.ip_cidr.end(),
                       [&](const IpPrefix& prefix) { return InPrefix(prefix, family, bytes); });
  }
  std::string host = request.host;
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (!host.empty() && host.back() == '.') {
    host.pop_back();
  }
  return Contains(rule.domain, host) ||
         std::any_of(rule.domain_suffix.begin(), rule.domain_suffix.end(),
                     [&](const std::string& suffix) { return SuffixMatches(suffix, host); });
}

const RouteRule* MatchRules(const std::vector<RouteRule>& rules, const RouteRequest& request) {
  for (const RouteRule& rule : rules) {
    if (RuleMatches(rule, request)) {
      return &rule;
    }
  }
  return nullptr;
}

}  // namespace box
