#include "engine/tun_route.h"

#include <linux/fib_rules.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/net_util.h"

namespace box {

namespace {

constexpr int kNopOffset = 10;

// One rtnetlink request, sent and acknowledged.
class Request {
 public:
  Request(uint16_t type, uint16_t flags) {
    header()->nlmsg_type = type;
    header()->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | flags;
    header()->nlmsg_len = NLMSG_LENGTH(0);
  }
  nlmsghdr* header() { return reinterpret_cast<nlmsghdr*>(buffer_); }
  template <typename T>
  T* Body() {
    header()->nlmsg_len = NLMSG_LENGTH(sizeof(T));
    return reinterpret_cast<T*>(NLMSG_DATA(header()));
  }
  void Attribute(uint16_t type, const void* data, size_t size) {
    auto* attribute = reinterpret_cast<rtattr*>(buffer_ + NLMSG_ALIGN(header()->nlmsg_len));
    attribute->rta_type = type;
    attribute->rta_len = static_cast<uint16_t>(RTA_LENGTH(size));
    std::memcpy(RTA_DATA(attribute), data, size);
    header()->nlmsg_len = NLMSG_ALIGN(header()->nlmsg_len) + RTA_ALIGN(attribute->rta_len);
  }
  void Attribute32(uint16_t type, uint32_t value) { Attribute(type, &value, sizeof(value)); }
  void AttributeString(uint16_t type, const std::string& text) {
    Attribute(type, text.c_str(), text.size() + 1);
  }

  // The errno the kernel answered with, 0 on success.
  int Send() {
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
      return errno;
    }
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    int result = EIO;
    if (sendto(fd, buffer_, header()->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof(kernel)) < 0) {
      result = errno;
    } else {
      char answer[4096];
      ssize_t count = recv(fd, answer, sizeof(answer), 0);
      if (count >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr)))) {
        const auto* reply = reinterpret_cast<const nlmsghdr*>(answer);
        if (reply->nlmsg_type == NLMSG_ERROR) {
          result = -reinterpret_cast<const nlmsgerr*>(NLMSG_DATA(reply))->error;
        }
      } else if (count < 0) {
        result = errno;
      }
    }
    close(fd);
    return result;
  }

 private:
  alignas(nlmsghdr) char buffer_[512] = {};
};

// One policy rule as the kernel's fib_rule_hdr and attributes describe it.
struct Rule {
  int family = AF_INET;
  int priority = 0;
  uint8_t action = FR_ACT_TO_TBL;
  int table = 0;
  bool invert = false;
  const TunAddress* to = nullptr;
  const TunAddress* from = nullptr;
  bool from_any = false;  // from 0.0.0.0/32
  std::string iif;
  bool suppress_default = false;
  uint16_t dport = 0;
  int goto_priority = 0;
};

size_t AddressSize(int family) {
  return family == AF_INET6 ? 16 : 4;
}

// The address with its host bits cleared; AddressSize(family) bytes.
void Masked(const TunAddress& address, uint8_t out[16]) {
  const size_t size = AddressSize(address.family);
  std::memcpy(out, address.bytes, size);
  for (size_t bit = static_cast<size_t>(std::max(address.prefix, 0)); bit < size * 8; ++bit) {
    out[bit / 8] &= static_cast<uint8_t>(~(0x80 >> (bit % 8)));
  }
}

int AddRule(const Rule& rule) {
  Request request(RTM_NEWRULE, NLM_F_CREATE);
  auto* header = request.Body<fib_rule_hdr>();
  header->family = static_cast<uint8_t>(rule.family);
  header->action = rule.action;
  header->flags = rule.invert ? FIB_RULE_INVERT : 0;
  header->table = rule.table > 0 && rule.table < 256 ? static_cast<uint8_t>(rule.table) : 0;
  request.Attribute32(FRA_PRIORITY, static_cast<uint32_t>(rule.priority));
  if (rule.table > 0) {
    request.Attribute32(FRA_TABLE, static_cast<uint32_t>(rule.table));
  }
  if (rule.to != nullptr) {
    uint8_t network[16];
    Masked(*rule.to, network);
    header->dst_len = static_cast<uint8_t>(rule.to->prefix);
    request.Attribute(FRA_DST, network, AddressSize(rule.family));
  }
  if (rule.from != nullptr) {
    uint8_t network[16];
    Masked(*rule.from, network);
    header->src_len = static_cast<uint8_t>(rule.from->prefix);
    request.Attribute(FRA_SRC, network, AddressSize(rule.family));
  } else if (rule.from_any) {
    const uint8_t zero[4] = {};
    header->src_len = 32;
    request.Attribute(FRA_SRC, zero, 4);
  }
  if (!rule.iif.empty()) {
    request.AttributeString(FRA_IIFNAME, rule.iif);
  }
  if (rule.suppress_default) {
    request.Attribute32(FRA_SUPPRESS_PREFIXLEN, 0);
  }
  if (rule.dport != 0) {
    fib_rule_port_range range{rule.dport, rule.dport};
    request.Attribute(FRA_DPORT_RANGE, &range, sizeof(range));
  }
  if (rule.action == FR_ACT_GOTO) {
    request.Attribute32(FRA_GOTO, static_cast<uint32_t>(rule.goto_priority));
  }
  return request.Send();
}

int AddRoute(int family, int table, int interface_index, const TunAddress* destination) {
  Request request(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_REPLACE);
  auto* route = request.Body<rtmsg>();
  route->rtm_family = static_cast<uint8_t>(family);
  route->rtm_table = RT_TABLE_UNSPEC;
  route->rtm_protocol = RTPROT_BOOT;
  route->rtm_scope = family == AF_INET ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE;
  route->rtm_type = RTN_UNICAST;
  request.Attribute32(RTA_TABLE, static_cast<uint32_t>(table));
  request.Attribute32(RTA_OIF, static_cast<uint32_t>(interface_index));
  if (destination != nullptr && destination->prefix > 0) {
    uint8_t network[16];
    Masked(*destination, network);
    route->rtm_dst_len = static_cast<uint8_t>(destination->prefix);
    request.Attribute(RTA_DST, network, AddressSize(family));
  }
  return request.Send();
}

// The policy rules of one family, in the order they are added (each goto's target first).
std::vector<Rule> FamilyRules(int family,
                              const TunAddress& address,
                              const TunRoutes::Options& options) {
  const int base = options.rule_index;
  const int table = options.table;
  std::vector<Rule> rules;
  Rule rule;
  rule.family = family;
  rule.priority = base + kNopOffset;
  rule.action = FR_ACT_NOP;
  rules.push_back(rule);

  rule = Rule();
  rule.family = family;
  rule.priority = base;
  rule.table = table;
  rule.to = &address;
  rules.push_back(rule);
  for (const TunAddress& exclude : options.route_exclude_address) {
    if (exclude.family != family) {
      continue;
    }
    rule = Rule();
    rule.family = family;
    rule.priority = base;
    rule.action = FR_ACT_GOTO;
    rule.goto_priority = base + kNopOffset;
    rule.to = &exclude;
    rules.push_back(rule);
  }

  rule = Rule();
  rule.family = family;
  rule.priority = base + 1;
  rule.table = table;
  rule.suppress_default = true;
  rules.push_back(rule);

  rule = Rule();
  rule.family = family;
  rule.priority = base + 2;
  rule.table = RT_TABLE_MAIN;
  rule.invert = true;
  rule.dport = 53;
  rule.suppress_default = true;
  rules.push_back(rule);
  rule = Rule();
  rule.family = family;
  rule.priority = base + 2;
  rule.action = FR_ACT_GOTO;
  rule.goto_priority = base + kNopOffset;
  rule.iif = options.interface_name;
  rules.push_back(rule);

  rule = Rule();
  rule.family = family;
  rule.priority = base + 3;
  rule.table = table;
  if (family == AF_INET6) {
    rules.push_back(rule);  // IPv6: everything else
    return rules;
  }
  rule.invert = true;
  rule.iif = "lo";
  rules.push_back(rule);
  rule.invert = false;
  rule.from_any = true;
  rules.push_back(rule);
  rule.from_any = false;
  rule.from = &address;
  rules.push_back(rule);
  return rules;
}

}  // namespace

void TunRoutes::RemoveRules(int rule_index) {
  for (int family : {AF_INET, AF_INET6}) {
    for (int priority = rule_index; priority <= rule_index + kNopOffset; ++priority) {
      // Each request deletes one rule with this priority; repeat until none is left.
      for (int guard = 0; guard < 64; ++guard) {
        Request request(RTM_DELRULE, 0);
        auto* header = request.Body<fib_rule_hdr>();
        header->family = static_cast<uint8_t>(family);
        request.Attribute32(FRA_PRIORITY, static_cast<uint32_t>(priority));
        if (request.Send() != 0) {
          break;
        }
      }
    }
  }
}

bool TunRoutes::Install(const Options& options, std::string* error) {
  RemoveRules(options.rule_index);
  const int index = static_cast<int>(if_nametoindex(options.interface_name.c_str()));
  auto failed = [&](const std::string& what, int err) {
    *error = "auto_route: " + what + ": " + ErrnoText(err);
    RemoveRules(options.rule_index);
    return false;
  };
  if (index == 0) {
    return failed("find interface " + options.interface_name, errno);
  }
  std::vector<std::pair<int, const TunAddress*>> families = {{AF_INET, &options.address}};
  if (options.address6.family == AF_INET6) {
    families.emplace_back(AF_INET6, &options.address6);
  }
  for (const auto& [family, own] : families) {
    bool any_route = false;
    for (const TunAddress& address : options.route_address) {
      if (address.family != family) {
        continue;
      }
      any_route = true;
      if (int err = AddRoute(family, options.table, index, &address); err != 0) {
        return failed("add route " + address.text, err);
      }
    }
    if (!any_route) {
      if (int err = AddRoute(family, options.table, index, nullptr); err != 0) {
        return failed("add default route to table " + std::to_string(options.table), err);
      }
    }
  }
  rule_index_ = options.rule_index;
  std::vector<Rule> rules;
  for (const auto& [family, own] : families) {
    std::vector<Rule> family_rules = FamilyRules(family, *own, options);
    rules.insert(rules.end(), family_rules.begin(), family_rules.end());
  }
  if (options.strict_route && families.size() == 1) {
    Rule rule;
    rule.family = AF_INET6;
    rule.priority = options.rule_index + 3;
    rule.action = FR_ACT_UNREACHABLE;
    rules.push_back(rule);
  }
  for (const Rule& rule : rules) {
    if (int err = AddRule(rule); err != 0) {
      rule_index_ = -1;
      return failed("add rule " + std::to_string(rule.priority), err);
    }
  }
  return true;
}

void TunRoutes::Remove() {
  if (rule_index_ >= 0) {
    RemoveRules(rule_index_);
    rule_index_ = -1;
  }
}

}  // namespace box
