// The main window of the real korvane executable, looked at from the X server: a plain title
// under an X11 window manager that is not GNOME Shell (and under none), a header bar under one
// that calls itself "GNOME Shell" and under a Wayland compositor. Closing hides the window while
// a tray can bring it back (the host keeps answering); with none, it quits cleanly. A screenshot
// of each kind is kept in $KORVANE_BUILD_DIR/artifacts.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/logger.h"
#include "tests/app/host_windows.h"
#include "tests/app/private_session_bus.h"
#include "tests/app/raw_bridge.h"
#include "tests/support/host_fixture.h"
#include "tests/support/loopback_ports.h"
#include "tests/support/shell_command.h"
#include "tools/korvanectl/value_json.h"
#include "vpn/vpn_channels.h"

namespace korvane_test {
namespace {

constexpr int kTimeoutMs = 20000;
constexpr const char* kVpn = korvane::kVpnChannelName;
const std::string kCloseLine =
    std::string(korvane::kKorvaneTag) + " Main window close requested; hiding to tray.\n";
const std::string kQuitLine = std::string(korvane::kKorvaneTag) +
                              " Main window close requested; no tray to bring it back, quitting.\n";
constexpr char kTrayWatcher[] = "org.kde.StatusNotifierWatcher";
constexpr char kWaylandSocket[] = "korvane-test-wayland";

enum class Close { kWmDeleteMessage, kHeaderBarButton, kNone };

struct WindowCase {
  const char* name;
  // HostOptions::window_manager; "@gnome" is the stand-in that calls itself GNOME Shell,
  // "@wayland" a Wayland compositor on the X display.
  std::string window_manager;
  bool header_bar;
  Close close;
};

std::ostream& operator<<(std::ostream& out, const WindowCase& c) {
  return out << c.name;
}

class WindowTestBase : public ::testing::Test {
 protected:
  std::string Run(const std::vector<std::string>& argv, int* status = nullptr) {
    return host_.OutputWithHostEnvironment(argv, status);
  }

  std::string FindMappedWindow() { return FindHostWindow(host_, kTimeoutMs); }

  std::string Property(const std::string& window, const std::string& name) {
    std::string value = Run({"xprop", "-id", window, name});
    return value.substr(0, value.find_last_not_of('\n') + 1);
  }

  std::string MapState(const std::string& window) { return WindowMapState(host_, window); }

  int Geometry(const std::string& window, const std::string& field) {
    std::string info = Run({"xwininfo", "-id", window});
    size_t at = info.find(field + ": ");
    return at == std::string::npos ? -1 : std::stoi(info.substr(at + field.size() + 2));
  }

  // Client-side decorations, which GTK uses exactly when the window has a header bar as its
  // title bar: the window asks the window manager for no decorations (Motif hints: the
  // decorations flag set, decorations 0).
  bool HasClientSideDecorations(const std::string& window) {
    std::string hints = Property(window, "_MOTIF_WM_HINTS");
    size_t at = hints.find(" = ");
    if (at == std::string::npos) {
      return false;
    }
    std::vector<unsigned long> values;
    std::istringstream in(hints.substr(at + 3));
    std::string item;
    while (std::getline(in, item, ',')) {
      values.push_back(std::stoul(item, nullptr, 0));
    }
    return values.size() >= 3 && (values[0] & 2) != 0 && values[2] == 0;
  }

  // Declared first, so it outlives the host on it.
  PrivateSessionBus bus_;
  HostFixture host_;
};

class WindowE2ETest : public WindowTestBase, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(WindowE2ETest, TitleOrHeaderBarAndCloseWithoutTrayQuits) {
  const WindowCase& c = GetParam();
  HostOptions options;
  options.window_manager = c.window_manager;
  if (c.window_manager == "@gnome") {
    // A command line for /bin/sh: the path may hold spaces.
    options.window_manager = korvane_test::ShellQuote(KORVANE_FAKE_GNOME_WM);
  } else if (c.window_manager == "@wayland") {
    // A nested weston draws on the private X display (its X11 back-end gives it a seat); the
    // host talks to it alone.
    options.window_manager =
        "XDG_RUNTIME_DIR='" + host_.runtime_dir() +
        "' exec weston --backend=x11-backend.so --use-pixman --width=1280 --height=800 "
        "--no-config --idle-time=0 --socket=" +
        kWaylandSocket;
    options.wait_for_window_manager = false;
    options.wait_for_path = host_.runtime_dir() + "/" + kWaylandSocket;
    // The client's protocol log shows what the host asks of the compositor.
    options.env = {{"WAYLAND_DISPLAY", kWaylandSocket},
                   {"GDK_BACKEND", "wayland"},
                   {"WAYLAND_DEBUG", "client"}};
  }
  std::string error;
  ASSERT_TRUE(host_.Start(options, &error)) << error;
  RawBridge bridge;
  ASSERT_TRUE(bridge.Connect(host_.socket_path(), kTimeoutMs, &error)) << error;

  if (c.window_manager == "@wayland") {
    // Not an X11 client at all: a Wayland client whose top-level is titled "Korvane".
    EXPECT_EQ(Run({"xdotool", "search", "--pid", std::to_string(host_.host_pid())}), "");
    EXPECT_TRUE(host_.WaitForStderr(".set_title(\"Korvane\")", kTimeoutMs));
    EXPECT_EQ(bridge.Call(kVpn, "isRunning", nullptr, kTimeoutMs), "success false");
    // Give the compositor a moment to draw the window for the screenshot.
    bridge.Drain(1000);
    EXPECT_FALSE(host_.Screenshot(std::string("window_") + c.name).empty());
    EXPECT_EQ(host_.Stderr().find("CRITICAL"), std::string::npos);
    EXPECT_TRUE(host_.IsHostRunning());
    return;
  }

  const std::string window = FindMappedWindow();
  ASSERT_FALSE(window.empty()) << "no mapped window of the host";
  EXPECT_EQ(Property(window, "WM_NAME"), "WM_NAME(STRING) = \"Korvane\"");
  EXPECT_EQ(Property(window, "_NET_WM_NAME"), "_NET_WM_NAME(UTF8_STRING) = \"Korvane\"");
  EXPECT_EQ(HasClientSideDecorations(window), c.header_bar) << Property(window, "_MOTIF_WM_HINTS");
  if (c.window_manager.empty()) {
    // The default size, all of it for the view (a window manager would fit it to the screen).
    EXPECT_EQ(Geometry(window, "Width"), 1280);
    EXPECT_EQ(Geometry(window, "Height"), 800);
  }
  EXPECT_FALSE(host_.Screenshot(std::string("window_") + c.name).empty());

  if (c.close == Close::kWmDeleteMessage) {
    int status = -1;
    std::string output = Run({KORVANE_SEND_WM_DELETE, window}, &status);
    ASSERT_EQ(status, 0) << output;
  } else if (c.close == Close::kHeaderBarButton) {
    // The close button sits at the right end of the header bar, at the top right corner of
    // the window inside GTK's resize border.
    const int width = Geometry(window, "Width");
    ASSERT_GT(width, 100);
    const std::string x = std::to_string(width - 28);
    int status = -1;
    std::string output =
        Run({"xdotool", "mousemove", "--sync", "--window", window, x, "26", "click", "1"}, &status);
    ASSERT_EQ(status, 0) << output;
  }
  // No tray here to bring a hidden window back: the host quits through its shut-down.
  ASSERT_TRUE(host_.WaitForStdout(kQuitLine, kTimeoutMs)) << host_.Stdout();
  const int status = host_.WaitForHostExit(kTimeoutMs);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << host_.Stderr();
  EXPECT_EQ(host_.Stdout().find(kCloseLine), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    WindowManagers,
    WindowE2ETest,
    ::testing::Values(WindowCase{"openbox", "openbox", false, Close::kWmDeleteMessage},
                      WindowCase{"no_window_manager", "", false, Close::kWmDeleteMessage},
                      WindowCase{"gnome_shell_x11", "@gnome", true, Close::kHeaderBarButton},
                      WindowCase{"wayland", "@wayland", true, Close::kNone}),
    [](const ::testing::TestParamInfo<WindowCase>& info) { return std::string(info.param.name); });

class ConnectionWindowE2ETest : public WindowTestBase {
 protected:
  // Starts a host whose desktop proxy commands reach only private GNOME settings; with |tray|,
  // on a private session bus where a tray watcher is present.
  void StartHost(bool tray = false) {
    HostOptions options;
    options.env = {{"GSETTINGS_BACKEND", "keyfile"}, {"XDG_CURRENT_DESKTOP", "GNOME"}};
    if (tray) {
      std::string error;
      ASSERT_TRUE(bus_.Start(host_.dir(), &error)) << error;
      ASSERT_TRUE(bus_.OwnName(kTrayWatcher, &error)) << error;
      options.env.emplace_back("DBUS_SESSION_BUS_ADDRESS", bus_.address());
    }
    std::string error;
    ASSERT_TRUE(host_.Start(options, &error)) << error;
    ASSERT_TRUE(bridge_.Connect(host_.socket_path(), kTimeoutMs, &error)) << error;
  }

  // Connects with nothing but a local mixed inbound on |port|.
  std::string Connect(int port, bool auto_configure_proxy) {
    const std::string config =
        R"({"log":{"level":"info"},"inbounds":[{"type":"mixed","tag":"mixed-in",)"
        R"("listen":"127.0.0.1","listen_port":)" +
        std::to_string(port) + R"(}],"outbounds":[{"type":"direct","tag":"direct"}]})";
    korvane::FlValuePtr args = korvane::JsonToValue(
        nlohmann::json{{"config", config}, {"autoConfigureProxy", auto_configure_proxy}});
    return bridge_.Call(kVpn, "loadVPNPreference", args.get(), kTimeoutMs);
  }

  std::string ProxyMode() {
    std::string mode = Run({"gsettings", "get", "org.gnome.system.proxy", "mode"});
    return mode.substr(0, mode.find_last_not_of('\n') + 1);
  }

  // Closes the host's window as a window manager's close button does.
  void CloseWindow() {
    const std::string window = FindMappedWindow();
    ASSERT_FALSE(window.empty());
    int status = -1;
    std::string output = Run({KORVANE_SEND_WM_DELETE, window}, &status);
    ASSERT_EQ(status, 0) << output;
  }

  RawBridge bridge_;
};

TEST_F(ConnectionWindowE2ETest, ShutdownStopsTheConnectionAndRestoresTheDesktop) {
  StartHost();
  ASSERT_EQ(ProxyMode(), "'none'");
  const int port = FreePort();
  ASSERT_GT(port, 0);
  EXPECT_EQ(Connect(port, true), "success true");
  ASSERT_EQ(bridge_.Call(kVpn, "isRunning", nullptr, kTimeoutMs), "success true") << host_.Stderr();
  EXPECT_TRUE(IsListening(port));
  EXPECT_EQ(ProxyMode(), "'manual'");

  // The session ends (SIGTERM, as at log-out): the application's shut-down stops the engine and
  // puts the desktop back before the process exits, cleanly.
  EXPECT_EQ(host_.StopHost(), 0) << host_.Stderr();
  EXPECT_FALSE(IsListening(port));
  EXPECT_EQ(ProxyMode(), "'none'");
  EXPECT_NE(host_.Stdout().find("VPN disconnected successfully\n"), std::string::npos);
}

TEST_F(ConnectionWindowE2ETest, ClosingWithoutATrayQuitsAndRestoresTheDesktop) {
  StartHost();
  const int port = FreePort();
  ASSERT_GT(port, 0);
  EXPECT_EQ(Connect(port, true), "success true");
  ASSERT_EQ(bridge_.Call(kVpn, "isRunning", nullptr, kTimeoutMs), "success true") << host_.Stderr();
  EXPECT_EQ(ProxyMode(), "'manual'");

  // Hidden, nothing could show the window again: the close ends the host as log-out would.
  CloseWindow();
  ASSERT_TRUE(host_.WaitForStdout(kQuitLine, kTimeoutMs)) << host_.Stdout();
  const int status = host_.WaitForHostExit(kTimeoutMs);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << host_.Stderr();
  EXPECT_FALSE(IsListening(port));
  EXPECT_EQ(ProxyMode(), "'none'");
  EXPECT_NE(host_.Stdout().find("VPN disconnected successfully\n"), std::string::npos);
}

TEST_F(ConnectionWindowE2ETest, ClosingTheWindowWithATrayLeavesTheConnectionRunning) {
  StartHost(/*tray=*/true);
  constexpr const char* kEvents = korvane::kEventChannelName;
  ASSERT_EQ(bridge_.Call(kEvents, "listen", nullptr, kTimeoutMs), "success null");

  // A failure first: it stays the last error through the connection below.
  EXPECT_EQ(bridge_.Call(kVpn, "doConnectVpn", nullptr, kTimeoutMs),
            "error EXCEPTION: No saved configuration found");

  // A connection with the desktop proxy left alone.
  const int port = FreePort();
  ASSERT_GT(port, 0);
  EXPECT_EQ(Connect(port, false), "success true");
  ASSERT_EQ(bridge_.Call(kVpn, "isRunning", nullptr, kTimeoutMs), "success true") << host_.Stderr();
  EXPECT_EQ(bridge_.Call(kVpn, "getStatus", nullptr, kTimeoutMs), "success \"connected\"");
  EXPECT_TRUE(IsListening(port));
  EXPECT_EQ(ProxyMode(), "'none'");
  // Connected, the latency methods get past their argument and state checks (an empty tag and a
  // non-map argument stand for "proxy") to their workers, which find no controller on loopback
  // in this configuration.
  korvane::FlValuePtr empty_tag = korvane::JsonToValue(nlohmann::json{{"selectorTag", ""}});
  EXPECT_EQ(bridge_.Call(kVpn, "performUrlTest", empty_tag.get(), kTimeoutMs),
            "error URL_TEST_FAILED: Clash API is disabled for this session");
  korvane::FlValuePtr seven = korvane::JsonToValue(7);
  EXPECT_EQ(bridge_.Call(kVpn, "getAutoSelectorInfo", seven.get(), kTimeoutMs),
            "error AUTO_SELECTOR_ERROR: Clash API is disabled for this session");

  // Closing the window hides it (the tray can bring it back); the connection and the host go on.
  const std::string window = FindMappedWindow();
  ASSERT_FALSE(window.empty());
  int status = -1;
  std::string output = Run({KORVANE_SEND_WM_DELETE, window}, &status);
  ASSERT_EQ(status, 0) << output;
  ASSERT_TRUE(host_.WaitForStdout(kCloseLine, kTimeoutMs)) << host_.Stdout();
  WaitForMapState(host_, window, "IsUnMapped", kTimeoutMs);
  EXPECT_EQ(MapState(window), "IsUnMapped");
  EXPECT_TRUE(host_.IsHostRunning());
  EXPECT_EQ(bridge_.Call(kVpn, "isRunning", nullptr, kTimeoutMs), "success true");
  EXPECT_TRUE(IsListening(port));

  // Disconnected, the earlier failure is what the status shows again.
  EXPECT_EQ(bridge_.Call(kVpn, "disconnect", nullptr, kTimeoutMs), "success true");
  EXPECT_EQ(bridge_.Call(kVpn, "getStatus", nullptr, kTimeoutMs),
            "success \"error: No saved configuration found\"");
  EXPECT_FALSE(IsListening(port));

  std::vector<std::string> states;
  for (const std::string& event : bridge_.Events(kEvents)) {
    size_t at = event.find("\"status\":\"");
    states.push_back(at == std::string::npos
                         ? event
                         : event.substr(at + 10, event.find('"', at + 10) - at - 10));
  }
  EXPECT_EQ(states, (std::vector<std::string>{"vpn_disconnected", "vpn_connecting", "vpn_connected",
                                              "vpn_disconnecting", "vpn_disconnected"}));
}

}  // namespace
}  // namespace korvane_test
