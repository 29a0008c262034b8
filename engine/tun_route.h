// auto_route on Linux, through rtnetlink: the TUN's routes in a table of the engine's own and
// the policy rules that send the machine's traffic to it. For IPv4:
//   I+0:  to <tun prefix> lookup T
//   I+0:  to <route_exclude_address> goto I+10          (one rule each)
//   I+1:  lookup T suppress_prefixlength 0
//   I+2:  not dport 53 lookup main suppress_prefixlength 0
//   I+2:  iif <tun> goto I+10
//   I+3:  not iif lo lookup T
//   I+3:  from 0.0.0.0 iif lo lookup T
//   I+3:  from <tun prefix> iif lo lookup T
//   I+10: nop
// so a machine's more specific (LAN) routes still apply except to port 53, which enters the
// TUN for its DNS, and everything else uses T. With an IPv6 address the same set is added for
// IPv6 (its prefix, its excludes and routes), except that I+3 is one unconditional lookup T.
// With strict_route, a family the TUN has no address of gets "I+3: unreachable" instead, so
// its traffic fails rather than leaving outside the tunnel.
// The engine's own sockets reach their servers over those LAN routes, or by being bound to an
// interface (dial_control.h). Routes in T go with the interface; the rules of both families are
// deleted at stop, and a crashed run's are deleted before a new start installs its own (every
// rule at priorities I..I+10).
#ifndef ENGINE_TUN_ROUTE_H_
#define ENGINE_TUN_ROUTE_H_

#include <string>
#include <vector>

#include "engine/box_config.h"

namespace box {

class TunRoutes {
 public:
  struct Options {
    std::string interface_name;
    TunAddress address;   // the first IPv4 address and its prefix
    TunAddress address6;  // the first IPv6 one; family 0 without one
    int table = 2022;
    int rule_index = 9000;
    std::vector<TunAddress> route_address;  // empty: the default route
    std::vector<TunAddress> route_exclude_address;
    bool strict_route = false;
  };

  // Deletes every IPv4 and IPv6 rule at priorities rule_index..rule_index+10. Idempotent.
  static void RemoveRules(int rule_index);

  // Removes stale rules, then installs the routes and rules. False with *error ("auto_route:
  // add rule 9000: operation not permitted") after removing whatever it installed.
  bool Install(const Options& options, std::string* error);
  // Removes the rules Install added. Idempotent.
  void Remove();

  ~TunRoutes() { Remove(); }

 private:
  int rule_index_ = -1;
};

}  // namespace box

#endif  // ENGINE_TUN_ROUTE_H_
