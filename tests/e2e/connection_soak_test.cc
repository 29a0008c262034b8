// Many connect/disconnect cycles through the bridge with the reference engine: every call is
// answered once, every cycle raises its four events, and the host's descriptors, threads and memory
// end where they were after the first cycle.

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace korvane_test {
namespace {

using korvane_test::HostFixture;
using korvane_test::HostOptions;
using Events = std::vector<std::string>;

constexpr int kDefaultCycles = 500;
// Allocator caches and the engine's per-session buffers may settle a little above the first
// cycle's level; a leak of a cycle's worth per cycle would be far above this.
constexpr long kRssToleranceKb = 16 * 1024;

struct Resources {
  int descriptors = -1;
  int threads = -1;
  long rss_kb = -1;
};

Resources Measure(pid_t pid) {
  Resources r;
  const std::string proc = "/proc/" + std::to_string(pid);
  if (DIR* dir = opendir((proc + "/fd").c_str())) {
    r.descriptors = 0;
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') {
        r.descriptors++;
      }
    }
    closedir(dir);
  }
  const std::string status = ReadFile(proc + "/status");
  size_t pos = status.find("\nThreads:");
  if (pos != std::string::npos) {
    r.threads = atoi(status.c_str() + pos + strlen("\nThreads:"));
  }
  pos = status.find("\nVmRSS:");
  if (pos != std::string::npos) {
    r.rss_kb = atol(status.c_str() + pos + strlen("\nVmRSS:"));
  }
  return r;
}

// The host's resources once the work a cycle starts has ended (a worker finishing after the
// last event, a child being reaped): two readings a moment apart agree.
Resources Settled(pid_t pid) {
  Resources now = Measure(pid);
  for (int attempt = 0; attempt < 50; attempt++) {
    g_usleep(200 * 1000);
    Resources later = Measure(pid);
    if (later.descriptors == now.descriptors && later.threads == now.threads) {
      return later;
    }
    now = later;
  }
  return now;
}

int Cycles() {
  const char* text = getenv("KORVANE_SOAK_CYCLES");
  return text != nullptr && atoi(text) > 0 ? atoi(text) : kDefaultCycles;
}

TEST(ConnectionSoakTest, ConnectDisconnectCyclesLeaveNoResourcesBehind) {
  HostFixture host;
  HostOptions options;
  // A desktop without proxy settings of its own and no proxy change at connect (the stop still
  // switches it off every cycle): otherwise the soak would mostly measure the desktop tools the
  // proxy change spawns, which the lifecycle tests cover.
  options.unset_env = {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION"};
  // The sanitizer's quarantine of freed memory would pass for growth; keep it small.
  const char* asan = getenv("ASAN_OPTIONS");
  options.env = {
      {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=8"}};
  std::string error;
  ASSERT_TRUE(host.Start(options, &error)) << error;
  std::unique_ptr<BridgeClient> client = host.Connect(&error);
  ASSERT_NE(client, nullptr) << error;
  Ui ui(std::move(client));
  ASSERT_TRUE(ui.Listen());

  const int port = FreePort();
  const std::string config = MixedConfig(port, FreePort(), host.dir() + "/engine.log");
  const int cycles = Cycles();
  Resources first;
  const auto begin = std::chrono::steady_clock::now();
  for (int cycle = 1; cycle <= cycles; cycle++) {
    ASSERT_TRUE(IsTrueResponse(ui.Load(config, false))) << "cycle " << cycle;
    ASSERT_EQ(ui.EventsUntil({"vpn_connected", "vpn_disconnected"}),
              (Events{"vpn_connecting", "vpn_connected"}))
        << "cycle " << cycle;
    ASSERT_TRUE(IsTrueResponse(ui.Call("disconnect"))) << "cycle " << cycle;
    ASSERT_EQ(ui.EventsUntil({"vpn_disconnected"}),
              (Events{"vpn_disconnecting", "vpn_disconnected"}))
        << "cycle " << cycle;
    if (cycle == 1) {
      first = Settled(host.host_pid());
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  // Nothing is left over: no stray event, and no second or late answer to any call (the bridge
  // is ordered, so one would have arrived before the reply to PendingEvents' own call).
  EXPECT_EQ(ui.PendingEvents(), Events{});
  const int unmatched = ui.client()->unmatched_replies();
  const Resources last = Settled(host.host_pid());

  printf("[soak] %d cycles in %.1f s (%.1f ms per cycle), %d replies to no waiting call\n", cycles,
         seconds, seconds * 1000 / cycles, unmatched);
  printf("[soak] after cycle 1:   fds %d, threads %d, VmRSS %ld kB\n", first.descriptors,
         first.threads, first.rss_kb);
  printf("[soak] after cycle %d: fds %d, threads %d, VmRSS %ld kB\n", cycles, last.descriptors,
         last.threads, last.rss_kb);
  EXPECT_EQ(unmatched, 0);
  ASSERT_GT(first.descriptors, 0);
  EXPECT_EQ(last.descriptors, first.descriptors);
  EXPECT_EQ(last.threads, first.threads);
  EXPECT_LE(last.rss_kb, first.rss_kb + kRssToleranceKb);
  EXPECT_FALSE(IsListening(port));
  // A call answered twice would have been refused by the embedding and logged.
  EXPECT_EQ(host.Stderr().find("Failed to answer"), std::string::npos);
}

}  // namespace
}  // namespace korvane_test
