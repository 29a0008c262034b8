// The service's outbounds and its router: route rules and groups resolved to the concrete
// outbound of each new connection, selector and urltest choices, the latest delay of each
// concrete outbound, delay tests, the urltest groups' background checks and the live
// connections. Any thread: state is guarded by one mutex; tests run outside it.
#ifndef ENGINE_OUTBOUND_MANAGER_H_
#define ENGINE_OUTBOUND_MANAGER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/box_config.h"
#include "engine/connection_tracker.h"
#include "engine/delay_probe.h"
#include "engine/logger.h"

namespace box {

class OutboundManager {
 public:
  enum class SelectResult { kOk, kNotSelector, kNotMember };

  // `config` and `logger` outlive the manager.
  OutboundManager(const Config& config, Logger* logger);
  ~OutboundManager();  // StopUrlTests()

  const OutboundOptions* Find(const std::string& tag) const;
  // Selector and urltest tags in configuration order.
  std::vector<std::string> GroupTags() const;
  // A selector's choice; a urltest group's choice, "" until its first check; "" otherwise.
  std::string Now(const std::string& tag) const;
  // Follows groups down to the concrete outbound a connection would use (a urltest group with
  // no choice yet uses its first member).
  const OutboundOptions* Resolve(const std::string& tag) const;
  // How a new connection leaves: the first matching rule's outbound, else route.final,
  // resolved through its groups to the concrete outbound; the connection is tracked from now.
  RoutePlan Plan(const RouteRequest& request);
  // The plan of a connection the engine opens itself through outbound `tag` ("" = the route's
  // final), e.g. to a DNS server.
  RoutePlan PlanThrough(const std::string& tag,
                        const std::string& rule,
                        const RouteRequest& request);
  ConnectionTracker* connections() { return &connections_; }

  SelectResult Select(const std::string& group, const std::string& member);

  // Controller bodies: one proxy object, and {"proxies":{...}} with GLOBAL first.
  nlohmann::ordered_json ProxyInfo(const OutboundOptions& outbound) const;
  nlohmann::ordered_json AllProxies() const;

  // One delay test through `tag` (groups through their current member); stores the latest
  // success of the concrete outbound and forgets it on failure.
  ProbeResult TestDelay(const std::string& tag, const std::string& url, int timeout_ms);
  // A selector's distinct members, tested concurrently: member tag -> delay of the successes.
  std::map<std::string, int> TestMembers(const OutboundOptions& group,
                                         const std::string& url,
                                         int timeout_ms);
  // A urltest group's check: members whose latest result is older than the interval are
  // tested, then the choice is updated. Empty when a check of the group is already running.
  std::map<std::string, int> CheckUrlTest(const OutboundOptions& group);

  // Background checks of every urltest group: one at once, then one per interval.
  void StartUrlTests();
  // Cancels running tests and joins the background thread. Idempotent.
  void StopUrlTests();

 private:
  // route.default_mark and the interface binding of auto_detect_interface / default_interface.
  void ApplyDialDefaults(OutboundLeaf* leaf) const;
  struct History {
    std::chrono::system_clock::time_point time;
    int delay = 0;
  };

  std::string NowLocked(const OutboundOptions& outbound) const;
  // After a group's choice changed: its open connections are closed when it asks for that.
  void ChoiceChanged(const OutboundOptions& group);
  const OutboundOptions* ResolveLocked(const std::string& tag) const;
  void Record(const std::string& real_tag, const ProbeResult& result);
  void UpdateUrlTestChoice(const OutboundOptions& group);
  void RunUrlTests();

  const Config& config_;
  Logger* logger_;
  std::map<std::string, const OutboundOptions*> by_tag_;
  // Each concrete outbound as connections open it (keys derived once), or why none can.
  std::map<std::string, OutboundLeaf> leaves_;
  std::map<std::string, std::string> leaf_refusals_;
  ConnectionTracker connections_;

  mutable std::mutex mutex_;
  std::map<std::string, std::string> selected_;  // group tag -> member
  std::map<std::string, History> history_;       // concrete tag -> latest success
  std::set<std::string> checking_;               // urltest groups being checked

  std::atomic<bool> cancel_{false};
  std::mutex wake_mutex_;
  std::condition_variable wake_;
  std::thread runner_;
};

// Go's RFC 3339 with nanoseconds in local time: "2025-05-01T10:00:00.123456789+08:00" (trailing
// zeros of the fraction dropped, "Z" for UTC).
std::string FormatRfc3339Nano(std::chrono::system_clock::time_point time);

// The interface index of the main table's IPv4 default route, 0 when there is none.
int DefaultRouteInterface();

}  // namespace box

#endif  // ENGINE_OUTBOUND_MANAGER_H_
