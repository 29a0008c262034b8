// The UI bridge from the UI's side, two tables:
//   - method round trip: "getStatus" on the vpn channel answered by the real host (bridge,
//     messenger, method channel, dispatcher) beside the same bridge answering every call with
//     a bare echo handler in a process of its own; calls per second and the 99th percentile,
//     measured in alternating blocks;
//   - cold start: from exec of the host to its hello on the bridge, beside a bare GTK program
//     from exec to the map of its first window, both exec'd directly with the host's
//     environment on the same private Xvfb (with openbox). The bare window started through the
//     fixture's command runner (pipes, a spawn helper) is shown too: that runner's own cost is
//     not the window's, so it is not the baseline.
//
//   app_ui_bridge_bench [CALLS] [STARTS] [EXECUTABLE]
//       defaults: 100000 calls, 10 starts each, the build's bundle/korvane. EXECUTABLE names
//       another build's korvane for the cold start (to compare two builds in one session).
// The host runs with its control panel, as a person starts it.
// The bench runs itself with --echo-bridge (the echo host) and uses app_bare_gtk_window.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "embedding/fl_ui_bridge.h"
#include "tests/support/host_fixture.h"
#include "tools/korvanectl/bridge_client.h"
#include "vpn/vpn_channels.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kVpnChannel = korvane::kVpnChannelName;
constexpr double kRoundTripGoal = 0.8;
constexpr double kColdStartGoal = 1.3;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The echo host: answers every method call with a success envelope of its own arguments.
GBytes* EchoHello(FlUiBridge*, gpointer) {
  g_autoptr(FlValue) hello = fl_value_new_map();
  fl_value_set_string_take(hello, "protocol", fl_value_new_int(1));
  fl_value_set_string_take(hello, "pid", fl_value_new_int(getpid()));
  g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
  return fl_message_codec_encode_message(FL_MESSAGE_CODEC(codec), hello, nullptr);
}

void EchoMessage(FlUiBridge* bridge,
                 guint64 connection,
                 guint32 id,
                 const gchar*,
                 GBytes* payload,
                 gpointer user_data) {
  FlMethodCodec* codec = FL_METHOD_CODEC(user_data);
  g_autofree gchar* name = nullptr;
  g_autoptr(FlValue) args = nullptr;
  g_autoptr(GBytes) reply = nullptr;
  if (FL_METHOD_CODEC_GET_CLASS(codec)->decode_method_call(codec, payload, &name, &args, nullptr)) {
    reply = FL_METHOD_CODEC_GET_CLASS(codec)->encode_success_envelope(codec, args, nullptr);
  }
  if (reply == nullptr) {
    reply = g_bytes_new(nullptr, 0);
  }
  fl_ui_bridge_send_reply(bridge, connection, id, reply);
}

int RunEchoBridge() {
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  FlUiBridgeCallbacks callbacks = {EchoHello, EchoMessage, nullptr, nullptr};
  g_autoptr(FlUiBridge) bridge = fl_ui_bridge_new(&callbacks, codec);
  g_autofree gchar* path = fl_ui_bridge_default_socket_path();
  g_autoptr(GError) error = nullptr;
  if (!fl_ui_bridge_start(bridge, path, &error)) {
    fprintf(stderr, "echo bridge: %s\n", error->message);
    return 1;
  }
  g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(loop);
  return 0;
}

struct RoundTrips {
  std::vector<double> latencies_ms;
  double seconds = 0;
  bool Add(korvane::BridgeClient* client, int calls, const char* method) {
    for (int i = 0; i < calls; ++i) {
      const Clock::time_point start = Clock::now();
      korvane::BridgeClient::Response response = client->Call(kVpnChannel, method, nullptr, 10000);
      const Clock::duration took = Clock::now() - start;
      if (response.status != korvane::BridgeClient::Status::kSuccess) {
        fprintf(stderr, "%s: call failed: %s\n", method, response.failure.c_str());
        return false;
      }
      latencies_ms.push_back(Ms(took));
      seconds += std::chrono::duration<double>(took).count();
    }
    return true;
  }
  double rate() const { return static_cast<double>(latencies_ms.size()) / seconds; }
  double Percentile(double p) const {
    std::vector<double> sorted = latencies_ms;
    std::sort(sorted.begin(), sorted.end());
    return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p * sorted.size()))];
  }
};

// Connects to the bridge at path as soon as it answers; true with the hello read.
bool ConnectWhenReady(const std::string& path, Clock::time_point deadline) {
  while (Clock::now() < deadline) {
    korvane::BridgeClient client;
    std::string error;
    if (client.Connect(path, 10000, &error)) {
      return true;
    }
    usleep(500);
  }
  return false;
}

// Forks and execs |path| with |environment| and no arguments, output to /dev/null: how both
// sides of the cold start are started, so that neither pays for a runner the other does not.
pid_t ExecDirect(const char* path, const std::vector<std::string>& environment) {
  std::vector<char*> envp;
  for (const std::string& entry : environment) {
    envp.push_back(const_cast<char*>(entry.c_str()));
  }
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(path), nullptr};
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
      dup2(null_fd, STDOUT_FILENO);
      dup2(null_fd, STDERR_FILENO);
    }
    execve(path, argv, envp.data());
    _exit(127);
  }
  return pid;
}

int Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return status;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--echo-bridge") == 0) {
    return RunEchoBridge();
  }
  const int calls = argc > 1 ? atoi(argv[1]) : 100000;
  const int starts = argc > 2 ? atoi(argv[2]) : 10;
  const std::string executable = argc > 3 ? argv[3] : KORVANE_BENCH_BUNDLE_DIR "/korvane";

  korvane_test::HostFixture host;
  korvane_test::HostOptions host_options;
  host_options.executable = executable;
  host_options.wait_for_socket = false;
  // What a person starts: the window with its panel, which the hello must not wait for.
  host_options.control_panel = true;
  std::string error;
  if (!host.Start(host_options, &error)) {
    fprintf(stderr, "cannot start the host: %s\n", error.c_str());
    return 1;
  }
  korvane_test::HostFixture echo;
  korvane_test::HostOptions echo_options;
  echo_options.window_manager = "";
  echo_options.executable = "/proc/self/exe";
  echo_options.args = {"--echo-bridge"};
  if (!echo.Start(echo_options, &error)) {
    fprintf(stderr, "cannot start the echo bridge: %s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<korvane::BridgeClient> host_client = host.Connect(&error);
  std::unique_ptr<korvane::BridgeClient> echo_client = echo.Connect(&error);
  if (host_client == nullptr || echo_client == nullptr) {
    fprintf(stderr, "cannot connect: %s\n", error.c_str());
    return 1;
  }

  // Round trips in alternating blocks, after a warm-up of each.
  // The host spent CPU time starting GTK and the echo did not; a long warm-up lets the
  // scheduler see both as the same kind of task before anything counts.
  RoundTrips warm, host_trips, echo_trips;
  if (!warm.Add(host_client.get(), 5000, "getStatus") ||
      !warm.Add(echo_client.get(), 5000, "getStatus")) {
    return 1;
  }
  constexpr int kBlocks = 20;
  for (int block = 0; block < kBlocks; ++block) {
    if (!host_trips.Add(host_client.get(), calls / kBlocks, "getStatus") ||
        !echo_trips.Add(echo_client.get(), calls / kBlocks, "getStatus")) {
      return 1;
    }
  }
  host_client.reset();
  echo_client.reset();

  // Cold starts, alternating, both exec'd directly with the host's environment: the host from
  // exec to its hello, the bare window from exec to its first map (it exits there). The bare
  // window through the fixture's command runner is measured too, for comparison only.
  host.StopHost();
  std::vector<double> host_starts, window_starts, runner_starts;
  for (int round = 0; round < starts; ++round) {
    const Clock::time_point start = Clock::now();
    const pid_t pid = ExecDirect(executable.c_str(), host.host_environment());
    const bool ready =
        pid > 0 && ConnectWhenReady(host.socket_path(), start + std::chrono::seconds(60));
    host_starts.push_back(Ms(Clock::now() - start));
    if (pid > 0) {
      kill(pid, SIGTERM);
      Reap(pid);
    }
    if (!ready) {
      fprintf(stderr, "the host did not answer on %s\n", host.socket_path().c_str());
      return 1;
    }
    const Clock::time_point window_start = Clock::now();
    const pid_t window = ExecDirect(KORVANE_BENCH_BARE_WINDOW, host.host_environment());
    const int status = window > 0 ? Reap(window) : -1;
    window_starts.push_back(Ms(Clock::now() - window_start));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      fprintf(stderr, "bare window failed (status %d)\n", status);
      return 1;
    }
    const Clock::time_point runner_start = Clock::now();
    std::string output;
    if (host.RunWithHostEnvironment({KORVANE_BENCH_BARE_WINDOW}, &output) != 0) {
      fprintf(stderr, "bare window failed: %s\n", output.c_str());
      return 1;
    }
    runner_starts.push_back(Ms(Clock::now() - runner_start));
  }

  const double load = [] {
    double loads[1] = {0};
    return getloadavg(loads, 1) == 1 ? loads[0] : -1;
  }();
  printf("UI bridge method round trip, %d calls each in %d alternating blocks (load %.1f)\n", calls,
         kBlocks, load);
  printf("  %-40s %10s %10s %10s %8s\n", "", "calls/s", "p50 ms", "p99 ms", "ratio");
  printf("  %-40s %10.0f %10.3f %10.3f %8s\n", "bridge + bare echo handler (baseline)",
         echo_trips.rate(), echo_trips.Percentile(0.5), echo_trips.Percentile(0.99), "1.00");
  const double rate_ratio = host_trips.rate() / echo_trips.rate();
  printf("  %-40s %10.0f %10.3f %10.3f %8.2f\n", "host dispatcher, \"getStatus\"",
         host_trips.rate(), host_trips.Percentile(0.5), host_trips.Percentile(0.99), rate_ratio);
  printf("  p99 ratio (echo / host): %.2f; goal: calls/s >= %.2f of the echo's: %s\n",
         echo_trips.Percentile(0.99) / host_trips.Percentile(0.99), kRoundTripGoal,
         rate_ratio >= kRoundTripGoal ? "met" : "NOT met");

  const double host_median = Median(host_starts);
  const double window_median = Median(window_starts);
  const double runner_median = Median(runner_starts);
  printf("\ncold start on the same Xvfb (openbox), median of %d alternating starts\n", starts);
  printf("  host: %s\n", executable.c_str());
  printf("  %-44s %9.1f ms  (min %.1f)\n", "bare GTK window, exec to first map (baseline)",
         window_median, *std::min_element(window_starts.begin(), window_starts.end()));
  printf("  %-44s %9.1f ms  (min %.1f)  not the baseline\n",
         "bare GTK window through the command runner", runner_median,
         *std::min_element(runner_starts.begin(), runner_starts.end()));
  printf("  %-44s %9.1f ms  (min %.1f)  ratio %.2f\n", "host, exec to the bridge's hello",
         host_median, *std::min_element(host_starts.begin(), host_starts.end()),
         host_median / window_median);
  printf("  goal: within %.1fx of the bare window: %s\n", kColdStartGoal,
         host_median <= kColdStartGoal * window_median ? "met" : "NOT met");
  return 0;
}
