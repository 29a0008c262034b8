// The latency methods: the URL test of the node in use and the auto-selector report. Each runs
// on a detached worker thread that owns a reference on the method call and its own copy of the
// configuration, touches no channel object and hands its result to the main loop in a heap
// record; only the idle callback on the main thread answers the call.

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "base/log.h"
#include "clash/clash_queries.h"
#include "clash/json_scan.h"
#include "vpn/vpn_manager.h"
#include "vpn/vpn_manager_responses.h"

namespace {

using korvane::ClashController;
using korvane::DelayQuery;
using korvane::DelayRequestTimeout;
using korvane::EncodeClashPathSegment;
using korvane::FindClashController;
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

// Holds a reference on a method call (released with g_object_unref).
struct CallRef {
  explicit CallRef(FlMethodCall* call) : call(FL_METHOD_CALL(g_object_ref(call))) {}
  ~CallRef() { g_object_unref(call); }
  CallRef(const CallRef&) = delete;
  CallRef& operator=(const CallRef&) = delete;
  FlMethodCall* call;
};

// A URL test's result, from the worker to the main thread.
struct UrlTestReply {
  explicit UrlTestReply(FlMethodCall* pending) : call(pending) {}
  CallRef call;
  bool success = false;
  int latency = -1;
  std::string error;
};

// An auto-selector report, from the worker to the main thread.
struct AutoSelectorReply {
  explicit AutoSelectorReply(FlMethodCall* pending) : call(pending) {}
  CallRef call;
  bool success = false;
  std::string selectedTag;
  int selectedLatency = -1;
  std::string allLatencies = "{}";
  std::string error;
};

// Called on the main thread: answers the URL test and frees the reply.
gboolean HandleUrlTestResponse(gpointer user_data) {
  std::unique_ptr<UrlTestReply> reply(static_cast<UrlTestReply*>(user_data));
  if (reply->success) {
    korvane::LogOut() << "[VPNManager] Sending URLTest success response: " << reply->latency
                      << "ms";
    g_autoptr(FlValue) result = fl_value_new_int(reply->latency);
    g_autoptr(FlMethodResponse) response =
        FL_METHOD_RESPONSE(fl_method_success_response_new(result));
    korvane::Respond(reply->call.call, response);
  } else {
    korvane::LogOut() << "[VPNManager] Sending URLTest error response: " << reply->error;
    korvane::RespondError(reply->call.call, kUrlTestFailed, reply->error);
  }
  return G_SOURCE_REMOVE;
}

// Called on the main thread: answers the auto-selector report and frees the reply.
gboolean HandleAutoSelectorResponse(gpointer user_data) {
  std::unique_ptr<AutoSelectorReply> reply(static_cast<AutoSelectorReply*>(user_data));
  if (reply->success) {
    korvane::LogOut() << "[VPNManager] Sending AutoSelector success response: tag="
                      << reply->selectedTag << ", latency=" << reply->selectedLatency << "ms";
    g_autoptr(FlValue) result = fl_value_new_map();
    fl_value_set_string_take(result, "selectedTag",
                             fl_value_new_string(reply->selectedTag.c_str()));
    fl_value_set_string_take(result, "selectedLatency", fl_value_new_int(reply->selectedLatency));
    fl_value_set_string_take(result, "allLatencies",
                             fl_value_new_string(reply->allLatencies.c_str()));
    g_autoptr(FlMethodResponse) response =
        FL_METHOD_RESPONSE(fl_method_success_response_new(result));
    korvane::Respond(reply->call.call, response);
  } else {
    korvane::LogOut() << "[VPNManager] Sending AutoSelector error response: " << reply->error;
    korvane::RespondError(reply->call.call, kAutoSelectorError, reply->error);
  }
  return G_SOURCE_REMOVE;
}

// What a URL test worker is given. The flag is VPNManager::url_test_in_progress_; the counter
// VPNManager::service_stops_, with its value when the test started.
struct UrlTestJob {
  std::string test_url;
  int timeout;
  std::string selector_tag;
  std::string config;
  std::atomic<bool>* in_progress;
  const std::atomic<unsigned>* service_stops;
  unsigned stops_at_start;
};

// Worker thread: the URL test. Posts exactly one reply, clearing the in-progress flag just
// before, on every path.
void RunUrlTest(std::unique_ptr<UrlTestReply> reply, const UrlTestJob& job) {
  auto post = [&reply, &job]() {
    job.in_progress->store(false);
    g_idle_add(HandleUrlTestResponse, reply.release());
  };
  try {
    korvane::LogOut() << "[VPNManager] Starting URLTest via Clash API";
    korvane::LogOut() << "[VPNManager] Test URL: " << job.test_url << ", Timeout: " << job.timeout
                      << "ms";
    std::optional<ClashController> api = FindClashController(job.config);
    if (!api) {
      reply->error = kApiDisabled;
      post();
      return;
    }
    const std::string selector = job.selector_tag.empty() ? kDefaultSelector : job.selector_tag;
    // Ends the test when the VPN stopped meanwhile: no request goes to a controller that is gone.
    // A stop under way counts already, so a probe cut short by it is not taken for a failure.
    auto aborted = [&reply, &post, &job](const char* checkpoint) {
      if (VPNManager::IsRunning() && job.service_stops->load() == job.stops_at_start) {
        return false;
      }
      korvane::LogOut() << "[VPNManager] URLTest aborted at " << checkpoint
                        << ": VPN no longer running";
      reply->success = false;
      reply->error = "VPN disconnected during URLTest";
      post();
      return true;
    };
    if (aborted("before-resolve")) {
      return;
    }
    const ResolvedSelector resolved = ResolveActiveSelector(*api, selector);
    if (resolved.responded && !resolved.leaf.empty()) {
      if (aborted("before-leaf-probe")) {
        return;
      }
      const int delay = korvane::FetchTagDelay(*api, resolved.leaf, job.timeout);
      if (delay >= 1) {
        korvane::LogOut() << "[VPNManager] URLTest via selector " << selector << " leaf "
                          << resolved.leaf << ": " << delay << "ms";
        reply->success = true;
        reply->latency = delay;
        post();
        return;
      }
      korvane::LogOut() << "[VPNManager] URLTest leaf probe failed for selector " << selector
                        << " leaf " << resolved.leaf << ", falling back to legacy group probe";
    }
    if (aborted("before-group-fallback")) {
      return;
    }
    const int group_timeout = job.timeout < 1 ? kGroupFallbackTimeoutMs : job.timeout;
    std::optional<std::string> body = korvane::ClashGet(
        *api, "/group/" + EncodeClashPathSegment(selector) + DelayQuery(group_timeout),
        DelayRequestTimeout(group_timeout));
    if (!body && aborted("after-group-probe")) {
      return;
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
  post();
}

// Worker thread: the auto-selector report. Posts exactly one reply.
void RunAutoSelectorInfo(std::unique_ptr<AutoSelectorReply> reply,
                         const std::string& selector,
                         const std::string& config) {
  try {
    korvane::LogOut() << "[VPNManager] Getting auto selector info via Clash API";
    std::this_thread::sleep_for(kSelectorSettleTime);
    if (!VPNManager::IsRunning()) {
      reply->error = "VPN disconnected before querying auto selector info";
      g_idle_add(HandleAutoSelectorResponse, reply.release());
      return;
    }
    std::optional<ClashController> api = FindClashController(config);
    if (!api) {
      reply->error = kApiDisabled;
      g_idle_add(HandleAutoSelectorResponse, reply.release());
      return;
    }
    const ResolvedSelector resolved = ResolveActiveSelector(*api, selector);
    if (!resolved.responded) {
      reply->error = "Clash API selector not responding for " + selector;
      g_idle_add(HandleAutoSelectorResponse, reply.release());
      return;
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
  g_idle_add(HandleAutoSelectorResponse, reply.release());
}

}  // namespace

void VPNManager::PerformUrlTest(const std::string& testUrl,
                                int timeout,
                                const std::string& selectorTag,
                                FlMethodCall* call) {
  bool expected = false;
  if (!url_test_in_progress_.compare_exchange_strong(expected, true)) {
    korvane::LogOut() << "[VPNManager] URLTest already in progress, rejecting new request";
    korvane::RespondError(call, kUrlTestInProgress, kUrlTestInProgressMessage);
    return;
  }
  UrlTestJob job{testUrl,
                 timeout,
                 selectorTag,
                 "",
                 &url_test_in_progress_,
                 &service_stops_,
                 service_stops_.load()};
  // The copy is taken here rather than on the worker: a worker still running when the process
  // exits must not read the static configuration while it is being destroyed.
  {
    std::lock_guard<std::mutex> lock(service_mutex_);
    job.config = current_config_;
  }
  auto reply = std::make_unique<UrlTestReply>(call);
  // A thread that cannot start frees the reply with itself.
  try {
    std::thread(RunUrlTest, std::move(reply), std::move(job)).detach();
  } catch (const std::exception& e) {
    url_test_in_progress_.store(false);
    korvane::RespondWorkerStartFailure(call, e);
  }
}

void VPNManager::GetAutoSelectorInfo(const std::string& selectorTag, FlMethodCall* call) {
  std::string config;
  {
    std::lock_guard<std::mutex> lock(service_mutex_);
    config = current_config_;
  }
  auto reply = std::make_unique<AutoSelectorReply>(call);
  try {
    std::thread(RunAutoSelectorInfo, std::move(reply), selectorTag, std::move(config)).detach();
  } catch (const std::exception& e) {
    korvane::RespondWorkerStartFailure(call, e);
  }
}
