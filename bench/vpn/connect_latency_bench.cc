// How much the host adds to a connect: the time from sending "loadVPNPreference" over the UI
// bridge to receiving the "vpn_connected" event, beside the time the reference engine alone
// takes for the same create and start (its entry points called directly through dlopen).
//
// The host is measured twice: pointing a GNOME desktop (settings in a keyfile) at the mixed
// inbound, and with the desktop proxy change switched off by the UI's flag.
//
//   vpn_connect_latency_bench [ROUNDS]

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace {

using korvane_test::FreePort;
using korvane_test::MixedConfig;
using korvane_test::Ui;
using Clock = std::chrono::steady_clock;

struct Figures {
  double median_ms = 0;
  double mean_ms = 0;
  double min_ms = 0;
};

Figures Summarise(std::vector<double> samples) {
  Figures f;
  if (samples.empty()) {
    return f;
  }
  std::sort(samples.begin(), samples.end());
  f.median_ms = samples[samples.size() / 2];
  f.mean_ms = std::accumulate(samples.begin(), samples.end(), 0.0) / samples.size();
  f.min_ms = samples.front();
  return f;
}

double MillisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The engine alone: create and start from the same kind of configuration, then stop.
bool MeasureEngine(const std::string& dir, int rounds, std::vector<double>* samples) {
  const std::string path = std::string(getenv("KORVANE_BUNDLE_DIR")) + "/lib/libbox.so";
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
    return false;
  }
  using SetupFn = int (*)(const char*, const char*, const char*);
  using CreateFn = int (*)(const char*);
  using VoidFn = int (*)();
  auto setup = reinterpret_cast<SetupFn>(dlsym(library, "setup_libbox"));
  auto create = reinterpret_cast<CreateFn>(dlsym(library, "create_service"));
  auto start = reinterpret_cast<VoidFn>(dlsym(library, "start_service"));
  auto stop = reinterpret_cast<VoidFn>(dlsym(library, "stop_service"));
  if (setup == nullptr || create == nullptr || start == nullptr || stop == nullptr ||
      setup(dir.c_str(), dir.c_str(), dir.c_str()) != 0) {
    fprintf(stderr, "cannot set up the engine\n");
    return false;
  }
  bool ok = true;
  for (int i = 0; i < rounds && ok; i++) {
    const std::string config = MixedConfig(FreePort(), FreePort(), dir + "/engine.log");
    const Clock::time_point begin = Clock::now();
    ok = create(config.c_str()) == 0 && start() == 0;
    const double ms = MillisSince(begin);
    stop();
    samples->push_back(ms);
  }
  dlclose(library);
  if (!ok) {
    fprintf(stderr, "the engine failed to start\n");
  }
  return ok;
}

// The host: "loadVPNPreference" sent until "vpn_connected" received; then a disconnect.
bool MeasureHost(korvane_test::HostFixture* host,
                 Ui* ui,
                 bool configure_proxy,
                 int rounds,
                 std::vector<double>* samples) {
  for (int i = 0; i < rounds; i++) {
    const std::string config = MixedConfig(FreePort(), FreePort(), host->dir() + "/engine.log");
    const Clock::time_point begin = Clock::now();
    if (!korvane_test::IsTrueResponse(ui->Load(config, configure_proxy))) {
      fprintf(stderr, "loadVPNPreference failed\n");
      return false;
    }
    std::vector<std::string> events = ui->EventsUntil({"vpn_connected", "vpn_disconnected"});
    const double ms = MillisSince(begin);
    if (events.empty() || events.back() != "vpn_connected") {
      fprintf(stderr, "the host did not connect\n");
      return false;
    }
    samples->push_back(ms);
    if (!korvane_test::IsTrueResponse(ui->Call("disconnect"))) {
      return false;
    }
    ui->EventsUntil({"vpn_disconnected"});
  }
  return true;
}

void PrintRow(const char* name, const Figures& f, const Figures& baseline) {
  printf("%-44s median %8.2f ms  mean %8.2f ms  min %8.2f ms  ratio %6.2fx (+%.0f%%)\n", name,
         f.median_ms, f.mean_ms, f.min_ms, f.median_ms / baseline.median_ms,
         (f.median_ms / baseline.median_ms - 1) * 100);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 && atoi(argv[1]) > 0 ? atoi(argv[1]) : 20;
  setenv("KORVANE_BUNDLE_DIR", KORVANE_BENCH_BUNDLE_DIR, 0);
  setenv("KORVANE_SOURCE_DIR", KORVANE_BENCH_SOURCE_DIR, 0);

  korvane_test::HostFixture host;
  korvane_test::HostOptions options;
  options.env = korvane_test::GnomeKeyfileEnvironment();
  std::string error;
  if (!host.Start(options, &error)) {
    fprintf(stderr, "the host did not start: %s\n", error.c_str());
    return 1;
  }
  auto client = host.Connect(&error);
  if (client == nullptr) {
    fprintf(stderr, "no bridge connection: %s\n", error.c_str());
    return 1;
  }
  Ui ui(std::move(client));
  if (!ui.Listen()) {
    return 1;
  }

  // Interleaved in blocks so that machine load hits every column alike; one warm-up each.
  std::vector<double> engine;
  std::vector<double> with_proxy;
  std::vector<double> without_proxy;
  std::vector<double> ignored;
  if (!MeasureEngine(host.dir(), 1, &ignored) || !MeasureHost(&host, &ui, true, 1, &ignored) ||
      !MeasureHost(&host, &ui, false, 1, &ignored)) {
    return 1;
  }
  constexpr int kBlock = 5;
  for (int done = 0; done < rounds; done += kBlock) {
    const int n = std::min(kBlock, rounds - done);
    if (!MeasureEngine(host.dir(), n, &engine) || !MeasureHost(&host, &ui, true, n, &with_proxy) ||
        !MeasureHost(&host, &ui, false, n, &without_proxy)) {
      return 1;
    }
  }

  const Figures baseline = Summarise(engine);
  printf("connect latency, %d rounds each (baseline: the reference engine's create + start)\n",
         rounds);
  printf("%-44s median %8.2f ms  mean %8.2f ms  min %8.2f ms\n",
         "engine alone (dlopen, create + start)", baseline.median_ms, baseline.mean_ms,
         baseline.min_ms);
  PrintRow("host, GNOME desktop proxy (keyfile)", Summarise(with_proxy), baseline);
  PrintRow("host, desktop proxy change off", Summarise(without_proxy), baseline);
  printf("goal: the host adds less than 20%% over the engine alone\n");
  return 0;
}
