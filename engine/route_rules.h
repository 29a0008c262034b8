// Route rules against one connection: which rule, if any, sends it to which outbound. Pure
// functions; any thread.
#ifndef ENGINE_ROUTE_RULES_H_
#define ENGINE_ROUTE_RULES_H_

#include <string>
#include <vector>

#include "engine/box_config.h"
#include "engine/outbound_plan.h"

namespace box {

// Whether `rule` matches: (domain OR domain_suffix OR ip_cidr) AND port AND network AND
// inbound, an empty group always matching. Names compare lower-cased; ip_cidr matches only a
// connection whose host is an IP address (no name is resolved to match).
bool RuleMatches(const RouteRule& rule, const RouteRequest& request);

// The first matching rule, or nullptr.
const RouteRule* MatchRules(const std::vector<RouteRule>& rules, const RouteRequest& request);

}  // namespace box

#endif  // ENGINE_ROUTE_RULES_H_
