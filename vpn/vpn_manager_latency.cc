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

#include "base/log.h"
#include "clash/json_scan.h"
#include "vpn/clash_queries.h"
#include "vpn/vpn_manager.h"

namespace {

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
    korvane::LogOut() << "[VPNManager] Sending URLTest success response: " << reply.latency << "ms";
    return Outcome::Ok(korvane::AnswerValue::OfInt(reply.latency));
  }
  korvane::LogOut() << "[VPNManager] Sending URLTest error response: " << reply.error;
  return Outcome::Failure(kUrlTestFailed, reply.error);
}

// The auto-selector report's answer.
Outcome AutoSelectorOutcome(const AutoSelectorReply& reply) {
  if (reply.success) {
    korvane::LogOut() << "[VPNManager] Sending AutoSelector success response: tag="
                      << reply.selectedTag << ", latency=" << reply.selectedLatency << "ms";
    return Outcome::Ok(
        korvane::AnswerValue::OfMap()
            .Set("selectedTag", korvane::AnswerValue::OfString(reply.selectedTag))
            .Set("selectedLatency", korvane::AnswerValue::OfInt(reply.selectedLatency))
            .Set("allLatencies", korvane::AnswerValue::OfString(reply.allLatencies)));
  }
  korvane::LogOut() << "[VPNManager] Sending AutoSelector error response: " << reply.error;
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

// Worker thread: the URL test's answer, clearing the in-progress flag just before, on every
// path.
Outcome RunUrlTest(const UrlTestJob& job) {
  UrlTestReply result;
  UrlTestReply* reply = &result;
  auto post = [&result, &job]() {
    job.in_progress->store(false);
    return UrlTestOutcome(result);
  };
  try {
    korvane::LogOut() << "[VPNManager] Starting URLTest via Clash API";
    korvane::LogOut() << "[VPNManager] Test URL: " << job.test_url << ", Timeout: " << job.timeout
                      << "ms";
    const std::optional<ClashController>& api = job.controller;
    if (!api) {
      reply->error = kApiDisabled;
      return post();
    }
    const std::string selector = job.selector_tag.empty() ? kDefaultSelector : job.selector_tag;
    // Ends the test when the VPN stopped meanwhile: no request goes to a controller that is gone.
    // A stop under way counts already, so a probe cut short by it is not taken for a failure.
    auto aborted = [reply, &job](const char* checkpoint) {
      if (VPNManager::IsRunning() && job.service_stops->load() == job.stops_at_start) {
        return false;
      }
      korvane::LogOut() << "[VPNManager] URLTest aborted at " << checkpoint
                        << ": VPN no longer running";
      reply->success = false;
      reply->error = "VPN disconnected during URLTest";
      return true;
    };
    if (aborted("before-resolve")) {
      return post();
    }
    const ResolvedSelector resolved = ResolveActiveSelector(*api, selector);
    if (resolved.responded && !resolved.leaf.empty()) {
      if (aborted("before-leaf-probe")) {
        return post();
      }
      const int delay = korvane::FetchTagDelay(*api, resolved.leaf, job.timeout);
      if (delay >= 1) {
        korvane::LogOut() << "[VPNManager] URLTest via selector " << selector << " leaf "
                          << resolved.leaf << ": " << delay << "ms";
        reply->success = true;
        reply->latency = delay;
        return post();
      }
      korvane::LogOut() << "[VPNManager] URLTest leaf probe failed for selector " << selector
                        << " leaf " << resolved.leaf << ", falling back to legacy group probe";
    }
    if (aborted("before-group-fallback")) {
      return post();
    }
    const int group_timeout = job.timeout < 1 ? kGroupFallbackTimeoutMs : job.timeout;
    std::optional<std::string> body = korvane::ClashGet(
        *api, "/group/" + EncodeClashPathSegment(selector) + DelayQuery(group_timeout),
        DelayRequestTimeout(group_timeout));
    if (!body && aborted("after-group-probe")) {
      return post();
    }
    if (!body) {
      korvane::LogOut() << "[VPNManager] URLTest fallback group " << selector << " unreachable";
      reply->error = "Group delay probe unreachable";
    } else if (std::optional<korvane::JsonMember> best = korvane::BestJsonMember(*body, false)) {
      korvane::LogOut() << "[VPNManager] URLTest fallback via group " << selector
                        << " best=" << best->key << " " << *best->value << "ms";
      reply->success = true;
      reply->latency = *best->value;
    } else {
      korvane::LogOut() << "[VPNManager] URLTest fallback group " << selector
                        << " has no healthy member";
      reply->error = "No healthy member in selector group";
    }
  } catch (const std::exception& e) {
    korvane::LogOut() << "[VPNManager] URLTest exception: " << e.what();
    reply->success = false;
    reply->error = std::string("Exception: ") + e.what();
  }
  korvane::LogOut() << "[VPNManager] Scheduling URLTest response on main thread";
  return post();
}

// Worker thread: the auto-selector report's answer.
Outcome RunAutoSelectorInfo(const std::string& selector,
                            const std::optional<ClashController>& api) {
  AutoSelectorReply result;
  AutoSelectorReply* reply = &result;
  try {
    korvane::LogOut() << "[VPNManager] Getting auto selector info via Clash API";
    std::this_thread::sleep_for(kSelectorSettleTime);
    if (!VPNManager::IsRunning()) {
      reply->error = "VPN disconnected before querying auto selector info";
      return AutoSelectorOutcome(result);
    }
    if (!api) {
      reply->error = kApiDisabled;
      return AutoSelectorOutcome(result);
    }
    const ResolvedSelector resolved = ResolveActiveSelector(*api, selector);
    if (!resolved.responded) {
      reply->error = "Clash API selector not responding for " + selector;
      return AutoSelectorOutcome(result);
    }
    reply->selectedTag = resolved.leaf;
    if (!resolved.group.empty()) {
      const std::string& group = resolved.group;
      std::optional<std::string> body = korvane::ClashGet(
          *api, "/group/" + EncodeClashPathSegment(group) + DelayQuery(kSelectorGroupTimeoutMs),
          kSelectorGroupRequestTimeoutMs);
      if (!body) {
        korvane::LogOut() << "[VPNManager] Warning: Failed to fetch latencies for group " << group;
      } else {
        reply->allLatencies = *body;
        if (reply->selectedTag.empty()) {
          korvane::LogOut() << "[VPNManager] AUTO group " << group
                            << " .now was empty, finding best node";
          if (std::optional<korvane::JsonMember> best =
                  korvane::BestJsonMember(reply->allLatencies, true)) {
            reply->selectedTag = best->key;
            reply->selectedLatency = *best->value;
            korvane::LogOut() << "[VPNManager] Auto-detected best node: " << best->key << " ("
                              << *best->value << "ms)";
          }
        }
        if (!reply->selectedTag.empty() && reply->selectedLatency < 1) {
          reply->selectedLatency =
              korvane::ExtractJsonIntField(reply->allLatencies, reply->selectedTag).value_or(-1);
        }
      }
    }
    if (!reply->selectedTag.empty() && reply->selectedLatency < 1) {
      reply->selectedLatency =
          korvane::FetchTagDelay(*api, reply->selectedTag, kSelectorGroupTimeoutMs);
      if (reply->selectedLatency < 1) {
        korvane::LogOut() << "[VPNManager] Warning: Could not find latency for selected tag "
                          << reply->selectedTag;
      }
    }
    korvane::LogOut() << "[VPNManager] Auto selector info: tag=" << reply->selectedTag
                      << ", latency=" << reply->selectedLatency << "ms";
    reply->success = true;
  } catch (const std::exception& e) {
    korvane::LogOut() << "[VPNManager] AutoSelector exception: " << e.what();
    reply->success = false;
    reply->error = std::string("Exception: ") + e.what();
  } catch (...) {
    korvane::LogOut() << "[VPNManager] AutoSelector unknown exception";
    reply->success = false;
    reply->error = "Unknown exception occurred";
  }
  return AutoSelectorOutcome(result);
}

}  // namespace

Deferred VPNManager::PerformUrlTest(const std::string& testUrl,
                                    int timeout,
                                    const std::string& selectorTag) {
  Deferred deferred;
  bool expected = false;
  if (!url_test_in_progress_.compare_exchange_strong(expected, true)) {
    korvane::LogOut() << "[VPNManager] URLTest already in progress, rejecting new request";
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
