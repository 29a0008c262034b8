// The methods that hand their work to a worker thread, when no thread can be started: each
// answers "EXCEPTION" at once instead of ending the process, drops what the worker would have
// held (the call object is finalised right after its answer), and a failed URL test leaves none
// in progress. Thread creation fails for real: the calls run in a child that has become an
// unprivileged user with no room for another process or thread.

#include <errno.h>
#include <flutter_linux/flutter_linux.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "tests/support/child_run.h"
#include "tests/support/mock_messenger.h"
#include "vpn/vpn_channels.h"
#include "vpn/vpn_manager.h"

namespace korvane_test {
namespace {

constexpr const char* kVpnChannel = korvane::kVpnChannelName;
constexpr uid_t kNobody = 65534;
// The child's exit status when it could not be kept from starting threads.
constexpr int kNoRestriction = 77;

// In the child: becomes the unprivileged user with a process limit of zero, which every new
// thread of that user exceeds (EAGAIN). False when that could not be arranged.
bool GiveUpStartingThreads() {
  if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
    return false;
  }
  struct rlimit limit;
  if (getrlimit(RLIMIT_NPROC, &limit) != 0) {
    return false;
  }
  limit.rlim_cur = 0;
  if (setrlimit(RLIMIT_NPROC, &limit) != 0) {
    return false;
  }
  pthread_t thread;
  const int started = pthread_create(
      &thread, nullptr, [](void*) -> void* { return nullptr; }, nullptr);
  if (started == 0) {
    pthread_join(thread, nullptr);
  }
  return started == EAGAIN;
}

void CountFinalised(gpointer count, GObject*) {
  ++*static_cast<int*>(count);
}

// Hands each call to the dispatcher and counts the call objects finalised.
void DispatchWatched(FlMethodChannel* channel, FlMethodCall* call, gpointer finalised) {
  g_object_weak_ref(G_OBJECT(call), CountFinalised, finalised);
  VPNManager::HandleMethodCallStatic(channel, call, nullptr);
}

// In the child: makes the calls and writes one line per answer, then the state left behind.
int CallWithoutThreads() {
  if (!GiveUpStartingThreads()) {
    return kNoRestriction;
  }
  g_main_context_acquire(g_main_context_default());
  FlMockBinaryMessenger* messenger = fl_mock_binary_messenger_new();
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  FlMethodChannel* channel =
      fl_method_channel_new(FL_BINARY_MESSENGER(messenger), kVpnChannel, FL_METHOD_CODEC(codec));
  int finalised = 0;
  fl_method_channel_set_method_call_handler(channel, DispatchWatched, &finalised, nullptr);
  VPNManager::SetRunningForTesting(true);
  VPNManager::SetConfigForTesting("{}");

  g_autoptr(FlValue) path_args = fl_value_new_map();
  fl_value_set_string_take(path_args, "path", fl_value_new_string("/nonexistent/korvane"));
  g_autoptr(FlValue) url_test_args = fl_value_new_map();
  const struct {
    const char* method;
    FlValue* args;
  } calls[] = {
      {"requestAdminPrivileges", nullptr},
      {"setCapabilityOnPath", path_args},
      // The second URL test is not refused as one already in progress.
      {"performUrlTest", url_test_args},
      {"performUrlTest", url_test_args},
      {"getAutoSelectorInfo", nullptr},
  };
  for (const auto& call : calls) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlMethodResponse) response = fl_mock_binary_messenger_invoke_method_sync(
        messenger, kVpnChannel, call.method, call.args, &error);
    std::cout << call.method << ": "
              << (response != nullptr ? fl_mock_response_to_string(response) : error->message)
              << "\n";
  }
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  std::cout << "finalised: " << finalised << "\n"
            << "URL test in progress: " << VPNManager::UrlTestInProgressForTesting() << "\n";
  return 0;
}

TEST(VpnManagerWorkerStartTest, AThreadThatCannotStartAnswersEveryCallWithAnError) {
  ChildRun run = RunInChild(CallWithoutThreads);
  ASSERT_TRUE(run.finished) << run.err;
  if (run.status == kNoRestriction) {
    ASSERT_NE(geteuid(), 0u) << "root could not keep a child from starting threads";
    GTEST_SKIP() << "needs root to run a child as an unprivileged user";
  }
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string failed =
      "error EXCEPTION: Failed to start worker thread: Resource temporarily unavailable\n";
  EXPECT_EQ(run.out, "requestAdminPrivileges: " + failed + "setCapabilityOnPath: " + failed +
                         "performUrlTest: " + failed + "performUrlTest: " + failed +
                         "getAutoSelectorInfo: " + failed +
                         "finalised: 5\n"
                         "URL test in progress: 0\n");
}

}  // namespace
}  // namespace korvane_test
