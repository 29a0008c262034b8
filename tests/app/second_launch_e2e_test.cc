// A second launch of korvane while a host whose window the control panel drives is running:
// it brings that host's window back to the front and exits, whether or not a session bus is
// there; the running host goes on answering its UI.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/app/host_windows.h"
#include "tests/app/private_session_bus.h"
#include "tests/app/raw_bridge.h"
#include "tests/support/host_fixture.h"
#include "vpn/vpn_channels.h"

namespace korvane_test {
namespace {

constexpr int kTimeoutMs = 20000;
constexpr char kTrayWatcher[] = "org.kde.StatusNotifierWatcher";
constexpr char kHandOverLine[] =
    "[Panel] Korvane is already running; its window was brought to the front.\n";
constexpr char kPresentedLine[] = "[Panel] window: brought to the front for a second launch\n";

struct LaunchCase {
  const char* name;
  // With a session bus where a tray watcher is present, closing the window hides it; without
  // one the test minimises it.
  bool tray;
};

std::ostream& operator<<(std::ostream& out, const LaunchCase& c) {
  return out << c.name;
}

class SecondLaunchE2ETest : public ::testing::TestWithParam<LaunchCase> {
 protected:
  std::string Run(const std::vector<std::string>& argv, int* status = nullptr) {
    return host_.OutputWithHostEnvironment(argv, status);
  }

  // Runs korvane once more as the user would, in the host's environment; its exit status, and
  // its standard output and error apart.
  int LaunchAgain(std::string* out, std::string* err) {
    const std::string executable = std::string(getenv("KORVANE_BUNDLE_DIR")) + "/korvane";
    // Bounded: a launch that does not hand over runs on as a second host (status 124 then).
    const std::string seconds = std::to_string(kTimeoutMs / 1000);
    std::vector<const gchar*> argv = {"timeout", "--kill-after=5", seconds.c_str(),
                                      executable.c_str(), nullptr};
    std::vector<const gchar*> env;
    for (const std::string& entry : host_.host_environment()) {
      env.push_back(entry.c_str());
    }
    env.push_back(nullptr);
    gchar* out_text = nullptr;
    gchar* err_text = nullptr;
    gint status = 0;
    g_autoptr(GError) error = nullptr;
    if (!g_spawn_sync(nullptr, const_cast<gchar**>(argv.data()), const_cast<gchar**>(env.data()),
                      G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out_text, &err_text, &status,
                      &error)) {
      ADD_FAILURE() << error->message;
      return -1;
    }
    *out = out_text;
    *err = err_text;
    g_free(out_text);
    g_free(err_text);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Declared first, so it outlives the host on it.
  PrivateSessionBus bus_;
  HostFixture host_;
  RawBridge bridge_;
};

TEST_P(SecondLaunchE2ETest, BringsTheRunningHostsWindowToTheFrontAndExits) {
  ASSERT_NE(getenv("KORVANE_BUNDLE_DIR"), nullptr);
  HostOptions options;
  options.control_panel = true;
  if (GetParam().tray) {
    std::string error;
    ASSERT_TRUE(bus_.Start(host_.dir(), &error)) << error;
    ASSERT_TRUE(bus_.OwnName(kTrayWatcher, &error)) << error;
    options.env.emplace_back("DBUS_SESSION_BUS_ADDRESS", bus_.address());
  }
  std::string error;
  ASSERT_TRUE(host_.Start(options, &error)) << error;
  const std::string window = FindHostWindow(host_, kTimeoutMs);
  ASSERT_FALSE(window.empty()) << "no mapped window of the host";

  // Out of sight once the host has finished starting (the panel takes the channels from the
  // main loop after the window's last present, which would undo an earlier minimise): hidden to
  // the tray, or minimised.
  ASSERT_TRUE(host_.WaitForStdout("[Panel] channels: taken", kTimeoutMs)) << host_.Stdout();
  int status = -1;
  std::string output = GetParam().tray ? Run({KORVANE_SEND_WM_DELETE, window}, &status)
                                       : Run({"xdotool", "windowminimize", window}, &status);
  ASSERT_EQ(status, 0) << output;
  ASSERT_TRUE(WaitForMapState(host_, window, "IsUnMapped", kTimeoutMs))
      << WindowMapState(host_, window);

  std::string out;
  std::string err;
  EXPECT_EQ(LaunchAgain(&out, &err), 0) << out << err;
  EXPECT_EQ(err, kHandOverLine);
  EXPECT_TRUE(WaitForMapState(host_, window, "IsViewable", kTimeoutMs))
      << WindowMapState(host_, window);
  EXPECT_TRUE(host_.WaitForStdout(kPresentedLine, kTimeoutMs)) << host_.Stdout();

  // The running host is still the one that serves its UI.
  ASSERT_TRUE(host_.IsHostRunning()) << host_.Stderr();
  ASSERT_TRUE(bridge_.Connect(host_.socket_path(), kTimeoutMs, &error)) << error;
  EXPECT_EQ(bridge_.Call(korvane::kVpnChannelName, "getStatus", nullptr, kTimeoutMs),
            "success \"disconnected\"");
}

INSTANTIATE_TEST_SUITE_P(SecondLaunch,
                         SecondLaunchE2ETest,
                         ::testing::Values(LaunchCase{"hidden_to_tray", true},
                                           LaunchCase{"minimised_without_session_bus", false}),
                         [](const ::testing::TestParamInfo<LaunchCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace korvane_test
