// The latency methods: the URL test of the node in use and the auto-selector report. Each is
// work for a worker thread with its own copy of the controller's address and secret; its
// outcome is the answer.

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "base/logger.h"
#include "clash/json_scan.h"
#include "vpn/clash_queries.h"
#include "vpn/vpn_manager.h"

namespace {

constexpr korvane::Logger kLog(korvane::kVPNManagerTag);

using korvane::ClashController;
using korvane::Deferred;
using korvane::DelayQuery;
using korvane::DelayRequestTimeout;
using korvane::EncodeClashPathSegment;
using korvane::FindClashController;
using korvane::Outcome;
using korvane::ResolveActiveSelector;
using korvane::ResolvedSelector;

constexpr char kUrlTestInProgress[] = "URL_TEST_IN_PROGRESS";
constexpr char kUrlTestInProgressMessage[] = "A URL test is already in progress";
constexpr char kUrlTestFailed[] = "URL_TEST_FAILED";
constexpr char kAutoSelectorError[] = "AUTO_SELECTOR_ERROR";
constexpr char kDefaultSelector[] = "proxy";
constexpr char kApiDisabled[] = "Clash API is disabled for this session";
constexpr int kGroupFallbackTimeoutMs = 3000;
constexpr int kSelectorGroupTimeoutMs = 3000;
constexpr int kSelectorGroupRequestTimeoutMs = 4000;
constexpr auto kSelectorSettleTime = std::chrono::milliseconds(500);

// What a URL test found, before it becomes the answer.
struct UrlTestReply {
  bool success = false;
  int latency = -1;
  std::string error;
};

// What an auto-selector report found, before it becomes the answer.
struct AutoSelectorReply {
  bool success = false;
  std::string selectedTag;
  int selectedLatency = -1;
  std::string allLatencies = "{}";
  std::string error;
};

// The URL test's answer.
Outcome UrlTestOutcome(const UrlTestReply& reply) {
  if (reply.success) {
    kLog.Info() << "Sending URLTest success response: " << reply.latency << "ms";
    return Outcome::Ok(korvane::AnswerValue::OfInt(reply.latency));
  }
  kLog.Info() << "Sending URLTest error response: " << reply.error;
  return Outcome::Failure(kUrlTestFailed, reply.error);
}

// The auto-selector report's answer.
Outcome AutoSelectorOutcome(const AutoSelectorReply& reply) {
  if (reply.success) {
    kLog.Info() << "Sending AutoSelector success response: tag=" << reply.selectedTag
                << ", latency=" << reply.selectedLatency << "ms";
    return Outcome::Ok(
        korvane::AnswerValue::OfMap()
            .Set("selectedTag", korvane::AnswerValue::OfString(reply.selectedTag))
            .Set("selectedLatency", korvane::AnswerValue::OfInt(reply.selectedLatency))
            .Set("allLatencies", korvane::AnswerValue::OfString(reply.allLatencies)));
  }
  kLog.Info() << "Sending AutoSelector error response: " << reply.error;
  return Outcome::Failure(kAutoSelectorError, reply.error);
}

// What a URL test worker is given. The flag is VPNManager::url_test_in_progress_; the counter
// VPNManager::service_stops_, with its value when the test started.
struct UrlTestJob {
  std::string test_url;
  int timeout;
  std::string selector_tag;
  std::optional<ClashController> controller;
  std::atomic<bool>* in_progress;
  const std::atomic<unsigned>* service_stops;
  unsigned stops_at_start;
};

UrlTestReply Failed(std::string error) {
  UrlTestReply reply;
  reply.error = std::move(error);
  return reply;
}

UrlTestReply Measured(int latency) {
  UrlTestReply reply;
  reply.success = true;
  reply.latency = latency;
  return reply;
}

// The VPN stopped since the test began (a stop under way counts already, so a probe cut short
// by it is not taken for a failure): the test ends, and no request goes to a controller that is
// gone.
std::optional<UrlTestReply> Aborted(const UrlTestJob& job, const char* checkpoint) {
  if (VPNManager::IsRunning() && job.service_stops->load() == job.stops_at_start) {
    return std::nullopt;
  }
  kLog.Info() << "URLTest aborted at " << checkpoint << ": VPN no longer running";
  return Failed("VPN disconnected during URLTest");
}

// The legacy probe of the whole group: its best member's delay.
UrlTestReply ProbeGroup(const UrlTestJob& job,
                        const ClashController& api,
                        const std::string& selector) {
  const int group_timeout = job.timeout < 1 ? kGroupFallbackTimeoutMs : job.timeout;
  std::optional<std::string> body = korvane::ClashGet(
      api, "/group/" + EncodeClashPathSegment(selector) + DelayQuery(group_timeout),
      DelayRequestTimeout(group_timeout));
  if (!body) {
    if (std::optional<UrlTestReply> aborted = Aborted(job, "after-group-probe")) {
      return *aborted;
    }
    kLog.Info() << "URLTest fallback group " << selector << " unreachable";
    return Failed("Group delay probe unreachable");
  }
  if (std::optional<korvane::JsonMember> best = korvane::BestJsonMember(*body, false)) {
    kLog.Info() << "URLTest fallback via group " << selector << " best=" << best->key << " "
                << *best->value << "ms";
    return Measured(*best->value);
  }
  kLog.Info() << "URLTest fallback group " << selector << " has no healthy member";
  return Failed("No healthy member in selector group");
}

// The delay of the node the selector uses, else of its group. The UI's test URL is only
// logged: every probe asks for the default connectivity check.
UrlTestReply MeasureUrlTest(const UrlTestJob& job) {
  kLog.Info() << "Starting URLTest via Clash API";
  kLog.Info() << "Test URL: " << job.test_url << ", Timeout: " << job.timeout << "ms";
  if (!job.controller) {
    return Failed(kApiDisabled);
  }
  const ClashController& api = *job.controller;
  const std::string selector = job.selector_tag.empty() ? kDefaultSelector : job.selector_tag;
  if (std::optional<UrlTestReply> aborted = Aborted(job, "before-resolve")) {
    return *aborted;
  }
  const ResolvedSelector resolved = ResolveActiveSelector(api, selector);
  if (resolved.responded && !resolved.leaf.empty()) {
    if (std::optional<UrlTestReply> aborted = Aborted(job, "before-leaf-probe")) {
      return *aborted;
    }
    const int delay = korvane::FetchTagDelay(api, resolved.leaf, job.timeout);
    if (delay >= 1) {
      kLog.Info() << "URLTest via selector " << selector << " leaf " << resolved.leaf << ": "
                  << delay << "ms";
      return Measured(delay);
    }
    kLog.Info() << "URLTest leaf probe failed for selector " << selector << " leaf "
                << resolved.leaf << ", falling back to legacy group probe";
  }
  if (std::optional<UrlTestReply> aborted = Aborted(job, "before-group-fallback")) {
    return *aborted;
  }
  UrlTestReply reply = ProbeGroup(job, api, selector);
  kLog.Info() << "Scheduling URLTest response on main thread";
  return reply;
}

// Worker thread: the URL test's answer. The in-progress flag is cleared just before, on every
// path.
Outcome RunUrlTest(const UrlTestJob& job) {
  UrlTestReply reply;
  try {
    reply = MeasureUrlTest(job);
  } catch (const std::exception& e) {
    kLog.Info() << "URLTest exception: " << e.what();
    reply = Failed(std::string("Exception: ") + e.what());
    kLog.Info() << "Scheduling URLTest response on main thread";
  }
  job.in_progress->store(false);
  return UrlTestOutcome(reply);
}

// Fills in the group's latencies, and the node when the group's "now" was empty.
void ReadGroupLatencies(const ClashController& api,
                        const std::string& group,
                        AutoSelectorReply* reply) {
  std::optional<std::string> body = korvane::ClashGet(
      api, "/group/" + EncodeClashPathSegment(group) + DelayQuery(kSelectorGroupTimeoutMs),
      kSelectorGroupRequestTimeoutMs);
  if (!body) {
    kLog.Info() << "Warning: Failed to fetch latencies for group " << group;
    return;
  }
  reply->allLatencies = *body;
  if (reply->selectedTag.empty()) {
    kLog.Info() << "AUTO group " << group << " .now was empty, finding best node";
    if (std::optional<korvane::JsonMember> best =
            korvane::BestJsonMember(reply->allLatencies, true)) {
      reply->selectedTag = best->key;
      reply->selectedLatency = *best->value;
      kLog.Info() << "Auto-detected best node: " << best->key << " (" << *best->value << "ms)";
    }
  }
  if (!reply->selectedTag.empty() && reply->selectedLatency < 1) {
    reply->selectedLatency =
        korvane::ExtractJsonIntField(reply->allLatencies, reply->selectedTag).value_or(-1);
  }
}

// The node in use behind `selector`, its delay and its group's latencies.
AutoSelectorReply ReadAutoSelector(const std::string& selector,
                                   const std::optional<ClashController>& api) {
  AutoSelectorReply reply;
  kLog.Info() << "Getting auto selector info via Clash API";
  std::this_thread::sleep_for(kSelectorSettleTime);
  if (!VPNManager::IsRunning()) {
    reply.error = "VPN disconnected before querying auto selector info";
    return reply;
  }
  if (!api) {
    reply.error = kApiDisabled;
    return reply;
  }
  const ResolvedSelector resolved = ResolveActiveSelector(*api, selector);
  if (!resolved.responded) {
    reply.error = "Clash API selector not responding for " + selector;
    return reply;
  }
  reply.selectedTag = resolved.leaf;
  if (!resolved.group.empty()) {
    ReadGroupLatencies(*api, resolved.group, &reply);
  }
  if (!reply.selectedTag.empty() && reply.selectedLatency < 1) {
    reply.selectedLatency =
        korvane::FetchTagDelay(*api, reply.selectedTag, kSelectorGroupTimeoutMs);
    if (reply.selectedLatency < 1) {
      kLog.Info() << "Warning: Could not find latency for selected tag " << reply.selectedTag;
    }
  }
  kLog.Info() << "Auto selector info: tag=" << reply.selectedTag
              << ", latency=" << reply.selectedLatency << "ms";
  reply.success = true;
  return reply;
}

// Worker thread: the auto-selector report's answer.
Outcome RunAutoSelectorInfo(const std::string& selector,
                            const std::optional<ClashController>& api) {
  AutoSelectorReply reply;
  try {
    reply = ReadAutoSelector(selector, api);
  } catch (const std::exception& e) {
    kLog.Info() << "AutoSelector exception: " << e.what();
    reply.success = false;
    reply.error = std::string("Exception: ") + e.what();
  } catch (...) {
    kLog.Info() << "AutoSelector unknown exception";
    reply.success = false;
    reply.error = "Unknown exception occurred";
  }
  return AutoSelectorOutcome(reply);
}

}  // namespace

Deferred VPNManager::PerformUrlTest(const std::string& testUrl,
                                    int timeout,
                                    const std::string& selectorTag) {
  Deferred deferred;
  bool expected = false;
  if (!url_test_in_progress_.compare_exchange_strong(expected, true)) {
    kLog.Info() << "URLTest already in progress, rejecting new request";
    deferred.now = Outcome::Failure(kUrlTestInProgress, kUrlTestInProgressMessage);
    return deferred;
  }
  UrlTestJob job{testUrl,
                 timeout,
                 selectorTag,
                 std::nullopt,
                 &url_test_in_progress_,
                 &service_stops_,
                 service_stops_.load()};
  // The copy is taken here rather than on the worker: a worker still running when the process
  // exits must not read the static configuration while it is being destroyed.
  {
    std::lock_guard<std::mutex> lock(service_mutex_);
    job.controller = current_facts_.controller;
  }
  deferred.work = [job = std::move(job)] { return RunUrlTest(job); };
  deferred.abandon = [] { url_test_in_progress_.store(false); };
  return deferred;
}

Deferred VPNManager::GetAutoSelectorInfo(const std::string& selectorTag) {
  std::optional<ClashController> controller;
  {
    std::lock_guard<std::mutex> lock(service_mutex_);
    controller = current_facts_.controller;
  }
  Deferred deferred;
  deferred.work = [selectorTag, controller = std::move(controller)] {
    return RunAutoSelectorInfo(selectorTag, controller);
  };
  return deferred;
}
