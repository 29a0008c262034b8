#include "engine/outbound_manager.h"

#include <net/if.h>

#include <cstdio>

#include <time.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "engine/route_rules.h"

namespace box {
namespace {

// The controller tests at most this many members at once.
constexpr size_t kMaxConcurrentTests = 10;
// Each probe of a urltest group's own check is capped at this.
constexpr int kUrlTestProbeTimeoutMs = 15000;

// Runs fn(0..count-1) on at most `limit` threads and waits for all.
void RunBounded(size_t count, size_t limit, const std::function<void(size_t)>& fn) {
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  for (size_t i = 0; i < std::min(count, limit); ++i) {
    workers.emplace_back([&] {
      for (size_t index = next++; index < count; index = next++) {
        fn(index);
      }
    });
  }
  for (std::thread& worker : workers) {
    worker.join();
  }
}

std::string TestUrl(const std::string& url) {
  return url.empty() ? kDefaultTestUrl : url;
}

}  // namespace

std::string FormatRfc3339Nano(std::chrono::system_clock::time_point time) {
  auto since_epoch = time.time_since_epoch();
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
  long long nanos =
      std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - seconds).count();
  if (nanos < 0) {
    nanos += 1000000000;
    seconds -= std::chrono::seconds(1);
  }
  time_t t = static_cast<time_t>(seconds.count());
  struct tm local;
  localtime_r(&t, &local);
  char date[32];
  strftime(date, sizeof(date), "%Y-%m-%dT%H:%M:%S", &local);
  std::string text = date;
  if (nanos != 0) {
    char fraction[32];
    snprintf(fraction, sizeof(fraction), ".%09lld", nanos);
    std::string f = fraction;
    while (f.back() == '0') {
      f.pop_back();
    }
    text += f;
  }
  long offset = local.tm_gmtoff;
  if (offset == 0) {
    return text + "Z";
  }
  char zone[48];
  snprintf(zone, sizeof(zone), "%c%02ld:%02ld", offset < 0 ? '-' : '+', std::labs(offset) / 3600,
           (std::labs(offset) % 3600) / 60);
  return text + zone;
}

namespace {

// How connections open a concrete outbound; *refusal says why they cannot.
OutboundLeaf MakeLeaf(const OutboundOptions& outbound, std::string* refusal) {
  OutboundLeaf leaf;
  leaf.name = outbound.name;
  leaf.server = outbound.server;
  leaf.server_port = static_cast<uint16_t>(outbound.server_port);
  leaf.username = outbound.username;
  leaf.password = outbound.password;
  leaf.connect_timeout =
      std::chrono::milliseconds(std::max<long long>(outbound.connect_timeout_ms, 1));
  if (outbound.type == "direct") {
    leaf.kind = OutboundLeaf::Kind::kDirect;
  } else if (outbound.type == "block") {
    leaf.kind = OutboundLeaf::Kind::kBlock;
  } else if (outbound.type == "socks") {
    leaf.kind = OutboundLeaf::Kind::kSocks;
  } else if (outbound.type == "http") {
    leaf.kind = OutboundLeaf::Kind::kHttp;
  } else if (outbound.type == "shadowsocks") {
    leaf.kind = OutboundLeaf::Kind::kShadowsocks;
    if (outbound.connect_timeout_set) {
      leaf.first_answer_timeout = leaf.connect_timeout;
    }
    std::string error;
    leaf.key = ss::Key::Create(outbound.method, outbound.password, &error);
    if (!leaf.key) {
      *refusal = outbound.name + ": " + error;
    }
  } else {
    *refusal = outbound.name +
               ": the reference engine carries traffic only through direct, "
               "block, socks, http and shadowsocks outbounds";
    return leaf;
  }
  bool proxy = leaf.kind != OutboundLeaf::Kind::kDirect && leaf.kind != OutboundLeaf::Kind::kBlock;
  if (proxy && (leaf.server.empty() || leaf.server_port == 0)) {
    *refusal = outbound.name + ": missing server address";
  }
  return leaf;
}

}  // namespace

OutboundManager::OutboundManager(const Config& config, Logger* logger)
    : config_(config), logger_(logger) {
  for (const OutboundOptions& outbound : config_.outbounds) {
    by_tag_[outbound.tag] = &outbound;
    if (outbound.type == "selector") {
      selected_[outbound.tag] =
          outbound.default_member.empty() ? outbound.members.front() : outbound.default_member;
    } else if (!outbound.IsGroup()) {
      std::string refusal;
      leaves_[outbound.tag] = MakeLeaf(outbound, &refusal);
      if (!refusal.empty()) {
        leaf_refusals_[outbound.tag] = refusal;
      }
    }
  }
}

OutboundManager::~OutboundManager() {
  StopUrlTests();
}

const OutboundOptions* OutboundManager::Find(const std::string& tag) const {
  auto it = by_tag_.find(tag);
  return it == by_tag_.end() ? nullptr : it->second;
}

std::vector<std::string> OutboundManager::GroupTags() const {
  std::vector<std::string> tags;
  for (const OutboundOptions& outbound : config_.outbounds) {
    if (outbound.IsGroup()) {
      tags.push_back(outbound.tag);
    }
  }
  return tags;
}

std::string OutboundManager::Now(const std::string& tag) const {
  const OutboundOptions* outbound = Find(tag);
  if (outbound == nullptr) {
    return "";
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return NowLocked(*outbound);
}

std::string OutboundManager::NowLocked(const OutboundOptions& outbound) const {
  auto it = selected_.find(outbound.tag);
  return it == selected_.end() ? "" : it->second;
}

const OutboundOptions* OutboundManager::Resolve(const std::string& tag) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ResolveLocked(tag);
}

const OutboundOptions* OutboundManager::ResolveLocked(const std::string& tag) const {
  const OutboundOptions* outbound = Find(tag);
  // Configurations are checked for cycles, so the depth is bounded by the outbound count.
  for (size_t depth = 0; outbound != nullptr && outbound->IsGroup(); ++depth) {
    if (depth > by_tag_.size()) {
      return nullptr;
    }
    std::string now = NowLocked(*outbound);
    outbound = Find(now.empty() ? outbound->members.front() : now);
  }
  return outbound;
}

RoutePlan OutboundManager::Plan(const RouteRequest& request) {
  RoutePlan plan;
  std::string matched = config_.final_outbound;
  std::string rule = "final";
  if (const RouteRule* found = MatchRules(config_.rules, request)) {
    if (found->hijack_dns) {
      plan.hijack_dns = true;
      return plan;
    }
    matched = found->outbound;
    rule = found->text;
  }
  return PlanThrough(matched, rule, request);
}

RoutePlan OutboundManager::PlanThrough(const std::string& tag,
                                       const std::string& rule,
                                       const RouteRequest& request) {
  RoutePlan plan;
  const std::string& matched = tag.empty() ? config_.final_outbound : tag;
  if (matched.empty()) {
    // No outbounds at all: the engine's implicit direct.
    plan.handle = connections_.Open(request, {"direct"}, rule);
    ApplyDialDefaults(&plan.leaf);
    return plan;
  }
  std::vector<std::string> chains;
  const OutboundOptions* outbound = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    outbound = Find(matched);
    // Configurations are checked for cycles, so the walk ends within the outbound count.
    for (size_t depth = 0; outbound != nullptr && depth <= by_tag_.size(); ++depth) {
      chains.push_back(outbound->tag);
      if (!outbound->IsGroup()) {
        break;
      }
      std::string now = NowLocked(*outbound);
      outbound = Find(now.empty() ? outbound->members.front() : now);
    }
  }
  if (outbound == nullptr || outbound->IsGroup()) {
    plan.refusal = "outbound[" + matched + "]: not found";
    return plan;
  }
  if (auto refusal = leaf_refusals_.find(outbound->tag); refusal != leaf_refusals_.end()) {
    plan.refusal = refusal->second;
    return plan;
  }
  plan.leaf = leaves_.at(outbound->tag);
  // Kinds that carry no UDP at all say so when the association opens.
  const bool carries_udp =
      plan.leaf.kind != OutboundLeaf::Kind::kHttp && plan.leaf.kind != OutboundLeaf::Kind::kBlock;
  if (request.network == "udp" ? carries_udp && !outbound->udp : !outbound->tcp) {
    plan.refusal = outbound->name + ": network " + request.network + " is disabled";
    return plan;
  }
  ApplyDialDefaults(&plan.leaf);
  plan.handle = connections_.Open(request, std::move(chains), rule);
  return plan;
}

void OutboundManager::ApplyDialDefaults(OutboundLeaf* leaf) const {
  leaf->routing_mark = config_.default_mark;
  if (config_.auto_detect_interface) {
    leaf->bind_interface = DefaultRouteInterface();
  } else if (!config_.default_interface.empty()) {
    leaf->bind_interface = static_cast<int>(if_nametoindex(config_.default_interface.c_str()));
  }
}

int DefaultRouteInterface() {
  // The main table's IPv4 routes; a TUN's default lives in a table of its own and is not here.
  FILE* routes = fopen("/proc/net/route", "re");
  if (routes == nullptr) {
    return 0;
  }
  char line[256];
  int index = 0;
  unsigned best_metric = ~0u;
  while (fgets(line, sizeof(line), routes) != nullptr) {
    char name[64];
    unsigned destination = 0;
    unsigned gateway = 0;
    unsigned flags = 0;
    unsigned refs = 0;
    unsigned use = 0;
    unsigned metric = 0;
    unsigned mask = 0;
    if (sscanf(line, "%63s %x %x %x %u %u %u %x", name, &destination, &gateway, &flags, &refs, &use,
               &metric, &mask) == 8 &&
        destination == 0 && mask == 0 && (flags & 0x1) != 0 && metric < best_metric) {
      best_metric = metric;
      index = static_cast<int>(if_nametoindex(name));
    }
  }
  fclose(routes);
  return index;
}

void OutboundManager::ChoiceChanged(const OutboundOptions& group) {
  if (!group.interrupt) {
    return;
  }
  size_t closed = connections_.CloseThrough(group.tag);
  if (closed > 0) {
    logger_->Log(kInfo, group.name + ": closed " + std::to_string(closed) +
                            " connection(s) of the previous choice");
  }
}

OutboundManager::SelectResult OutboundManager::Select(const std::string& group,
                                                      const std::string& member) {
  const OutboundOptions* outbound = Find(group);
  if (outbound == nullptr || outbound->type != "selector") {
    return SelectResult::kNotSelector;
  }
  if (std::find(outbound->members.begin(), outbound->members.end(), member) ==
      outbound->members.end()) {
    return SelectResult::kNotMember;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (selected_[group] == member) {
      return SelectResult::kOk;
    }
    selected_[group] = member;
  }
  ChoiceChanged(*outbound);
  return SelectResult::kOk;
}

nlohmann::ordered_json OutboundManager::ProxyInfo(const OutboundOptions& outbound) const {
  std::lock_guard<std::mutex> lock(mutex_);
  nlohmann::ordered_json info;
  info["type"] = DisplayType(outbound.type);
  info["name"] = outbound.tag;
  const OutboundOptions* real = ResolveLocked(outbound.tag);
  bool udp = outbound.type == "urltest" ? true : (real != nullptr && real->udp);
  info["udp"] = udp;
  info["history"] = nlohmann::ordered_json::array();
  // A group shows the entry of its current member; a urltest group has none before its check.
  bool has_current = !outbound.IsGroup() || !NowLocked(outbound).empty();
  if (real != nullptr && has_current) {
    auto it = history_.find(real->tag);
    if (it != history_.end()) {
      nlohmann::ordered_json entry;
      entry["time"] = FormatRfc3339Nano(it->second.time);
      entry["delay"] = it->second.delay;
      info["history"].push_back(entry);
    }
  }
  if (outbound.IsGroup()) {
    info["now"] = NowLocked(outbound);
    info["all"] = outbound.members;
  }
  return info;
}

nlohmann::ordered_json OutboundManager::AllProxies() const {
  nlohmann::ordered_json proxies = nlohmann::ordered_json::object();
  std::vector<std::string> all;
  for (const OutboundOptions& outbound : config_.outbounds) {
    if (outbound.type != "direct" && outbound.type != "block" && outbound.type != "dns") {
      all.push_back(outbound.tag);
    }
  }
  std::stable_partition(all.begin(), all.end(),
                        [&](const std::string& tag) { return tag == config_.final_outbound; });
  nlohmann::ordered_json global;
  global["type"] = "Fallback";
  global["name"] = "GLOBAL";
  global["udp"] = true;
  global["history"] = nlohmann::ordered_json::array();
  global["all"] = all;
  global["now"] = config_.final_outbound;
  proxies["GLOBAL"] = global;
  for (const OutboundOptions& outbound : config_.outbounds) {
    proxies[outbound.tag] = ProxyInfo(outbound);
  }
  nlohmann::ordered_json body;
  body["proxies"] = proxies;
  return body;
}

void OutboundManager::Record(const std::string& real_tag, const ProbeResult& result) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (result.status == ProbeStatus::kOk) {
    history_[real_tag] = History{std::chrono::system_clock::now(), result.delay_ms};
  } else {
    history_.erase(real_tag);
  }
}

ProbeResult OutboundManager::TestDelay(const std::string& tag,
                                       const std::string& url,
                                       int timeout_ms) {
  const OutboundOptions* real = Resolve(tag);
  if (real == nullptr) {
    ProbeResult result;
    result.error = "outbound not found: " + tag;
    return result;
  }
  ProbeResult result = ProbeOutbound(*real, TestUrl(url), timeout_ms, cancel_);
  Record(real->tag, result);
  return result;
}

std::map<std::string, int> OutboundManager::TestMembers(const OutboundOptions& group,
                                                        const std::string& url,
                                                        int timeout_ms) {
  // Members that lead to the same concrete outbound are tested once, under the first key.
  std::vector<std::pair<std::string, const OutboundOptions*>> targets;
  std::set<std::string> seen;
  for (const std::string& member : group.members) {
    const OutboundOptions* real = Resolve(member);
    if (real != nullptr && seen.insert(real->tag).second) {
      targets.emplace_back(member, real);
    }
  }
  std::vector<ProbeResult> results(targets.size());
  RunBounded(targets.size(), kMaxConcurrentTests, [&](size_t i) {
    results[i] = ProbeOutbound(*targets[i].second, TestUrl(url), timeout_ms, cancel_);
    Record(targets[i].second->tag, results[i]);
  });
  std::map<std::string, int> delays;
  for (size_t i = 0; i < targets.size(); ++i) {
    if (results[i].status == ProbeStatus::kOk) {
      delays[targets[i].first] = results[i].delay_ms;
    }
  }
  return delays;
}

std::map<std::string, int> OutboundManager::CheckUrlTest(const OutboundOptions& group) {
  std::vector<std::pair<std::string, const OutboundOptions*>> targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!checking_.insert(group.tag).second) {
      return {};
    }
    const auto now = std::chrono::system_clock::now();
    std::set<std::string> seen;
    for (const std::string& member : group.members) {
      const OutboundOptions* real = ResolveLocked(member);
      if (real == nullptr || !seen.insert(real->tag).second) {
        continue;
      }
      auto it = history_.find(real->tag);
      if (it != history_.end() &&
          now - it->second.time < std::chrono::milliseconds(group.interval_ms)) {
        continue;  // fresh enough
      }
      targets.emplace_back(member, real);
    }
  }
  std::vector<ProbeResult> results(targets.size());
  RunBounded(targets.size(), kMaxConcurrentTests, [&](size_t i) {
    results[i] =
        ProbeOutbound(*targets[i].second, TestUrl(group.url), kUrlTestProbeTimeoutMs, cancel_);
    if (cancel_.load()) {
      return;  // a stop, not a verdict on the member
    }
    Record(targets[i].second->tag, results[i]);
    if (results[i].status == ProbeStatus::kOk) {
      logger_->Log(kDebug, group.name + ": outbound " + targets[i].first +
                               " available: " + std::to_string(results[i].delay_ms) + "ms");
    } else {
      logger_->Log(kDebug, group.name + ": outbound " + targets[i].first +
                               " unavailable: " + results[i].error);
    }
  });
  std::map<std::string, int> delays;
  for (size_t i = 0; i < targets.size(); ++i) {
    if (results[i].status == ProbeStatus::kOk) {
      delays[targets[i].first] = results[i].delay_ms;
    }
  }
  UpdateUrlTestChoice(group);
  std::lock_guard<std::mutex> lock(mutex_);
  checking_.erase(group.tag);
  return delays;
}

void OutboundManager::UpdateUrlTestChoice(const OutboundOptions& group) {
  std::string best;
  int best_delay = 0;
  std::string changed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<std::string, int> available;
    for (const std::string& member : group.members) {
      const OutboundOptions* real = ResolveLocked(member);
      auto it = real == nullptr ? history_.end() : history_.find(real->tag);
      if (it == history_.end()) {
        continue;
      }
      available[member] = it->second.delay;
      if (best.empty() || it->second.delay < best_delay) {
        best = member;
        best_delay = it->second.delay;
      }
    }
    if (best.empty()) {
      return;  // nothing answered: keep the previous choice
    }
    std::string& current = selected_[group.tag];
    auto kept = available.find(current);
    // Keep the current member unless the best is faster by more than the tolerance.
    if (kept != available.end() && kept->second <= best_delay + group.tolerance_ms) {
      return;
    }
    current = best;
    changed = best;
  }
  logger_->Log(kInfo,
               group.name + ": selected " + changed + " (" + std::to_string(best_delay) + "ms)");
  ChoiceChanged(group);
}

void OutboundManager::StartUrlTests() {
  bool any = std::any_of(config_.outbounds.begin(), config_.outbounds.end(),
                         [](const OutboundOptions& o) { return o.type == "urltest"; });
  if (!any || runner_.joinable()) {
    return;
  }
  cancel_ = false;
  runner_ = std::thread([this] { RunUrlTests(); });
}

void OutboundManager::RunUrlTests() {
  std::map<std::string, std::chrono::steady_clock::time_point> due;
  for (const OutboundOptions& outbound : config_.outbounds) {
    if (outbound.type == "urltest") {
      due[outbound.tag] = std::chrono::steady_clock::now();
    }
  }
  while (!cancel_.load()) {
    auto next = std::chrono::steady_clock::time_point::max();
    for (auto& [tag, when] : due) {
      if (cancel_.load()) {
        return;
      }
      const OutboundOptions* group = Find(tag);
      if (std::chrono::steady_clock::now() >= when) {
        CheckUrlTest(*group);
        when = std::chrono::steady_clock::now() +
               std::chrono::milliseconds(std::max<long long>(group->interval_ms, 1000));
      }
      next = std::min(next, when);
    }
    std::unique_lock<std::mutex> lock(wake_mutex_);
    wake_.wait_until(lock, next, [this] { return cancel_.load(); });
  }
}

void OutboundManager::StopUrlTests() {
  {
    std::lock_guard<std::mutex> lock(wake_mutex_);
    cancel_ = true;
  }
  wake_.notify_all();
  if (runner_.joinable()) {
    runner_.join();
  }
}

}  // namespace box
