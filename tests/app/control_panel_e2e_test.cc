// The control panel in the real korvane window, driven as a person would with the keyboard
// (xdotool on the private X display): pick a configuration in the file chooser, connect, fetch a
// page through the mixed inbound, test latency, disconnect, and get the host's own error text
// for bad input. The panel writes what it shows to standard output ("[Panel] KEY: TEXT"), and
// the colour of its state label is read back from screenshots, which are kept in
// $KORVANE_BUILD_DIR/artifacts (panel_disconnected, panel_connected, panel_error,
// panel_attached).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/app/raw_bridge.h"
#include "tests/support/host_fixture.h"
#include "tests/support/loopback_ports.h"
#include "tests/support/tagged_line.h"
#include "vpn/vpn_channels.h"

namespace {

using korvane_test::FreePort;
using korvane_test::HostFixture;
using korvane_test::HostOptions;
using korvane_test::RawBridge;

constexpr int kTimeoutMs = 60000;
constexpr const char* kVpn = korvane::kVpnChannelName;
constexpr const char* kEvents = korvane::kEventChannelName;

// The state label's colours (control_panel.cc), as ImageMagick names them.
constexpr char kDisconnectedColour[] = "#6B7280";
constexpr char kConnectedColour[] = "#1E8E3E";
constexpr char kUnknownColour[] = "#6D28D9";
constexpr char kErrorColour[] = "#FDE8E8";
constexpr char kFocusColour[] = "#1A73E8";
// A filled label, not a stray pixel of anti-aliased text.
constexpr long kFilledPixels = 300;

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  if (at != std::string::npos) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class ControlPanelE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A crashed engine session from before: the panel shows its report at start.
    const std::string dir = host_.config_home() + "/korvane";
    ASSERT_EQ(g_mkdir_with_parents(dir.c_str(), 0700), 0);
    WriteText(dir + "/libbox_session_active", "2026-01-02T03:04:05Z");
    WriteText(dir + "/libbox_session.log",
              "{\"level\":\"error\",\"msg\":\"dial tcp 10.0.0.1:443: connection refused\","
              "\"ts\":\"2026-01-02T03:04:06Z\"}\n");

    // examples/mixed.json with its fixed ports moved to free ones, as scripts/run does.
    const char* source = getenv("KORVANE_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    mixed_port_ = FreePort();
    controller_port_ = FreePort();
    ASSERT_GT(mixed_port_, 0);
    ASSERT_GT(controller_port_, 0);
    std::string config = ReadText(std::string(source) + "/examples/mixed.json");
    ASSERT_NE(config.find("\"listen_port\": 2080"), std::string::npos);
    config =
        Replace(config, "\"listen_port\": 2080", "\"listen_port\": " + std::to_string(mixed_port_));
    config = Replace(config, "127.0.0.1:9090", "127.0.0.1:" + std::to_string(controller_port_));
    config = Replace(config, "127.0.0.1:9090", "127.0.0.1:" + std::to_string(controller_port_));
    config = Replace(config, "\"korvane-engine.log\"", "\"" + host_.dir() + "/engine.log\"");
    // Alone in its folder, where the file chooser opens.
    ASSERT_EQ(g_mkdir_with_parents((host_.dir() + "/pick").c_str(), 0700), 0);
    mixed_path_ = host_.dir() + "/pick/mixed.json";
    WriteText(mixed_path_, config);
    // Passes the store's checks, refused by the engine.
    refused_path_ = host_.dir() + "/refused.json";
    WriteText(refused_path_, Replace(config, "\"type\": \"mixed\"", "\"type\": \"no-such\""));
    not_json_path_ = host_.dir() + "/notes.json";
    WriteText(not_json_path_, "these are notes, not an engine configuration\n");

    HostOptions options;
    options.control_panel = true;
    options.env = {{"GSETTINGS_BACKEND", "keyfile"}, {"XDG_CURRENT_DESKTOP", "GNOME"}};
    std::string error;
    ASSERT_TRUE(host_.Start(options, &error)) << error;
    window_ = FindMappedWindow();
    ASSERT_FALSE(window_.empty()) << "no mapped window of the host";
  }

  std::string Run(const std::vector<std::string>& argv, int* status = nullptr) {
    return host_.OutputWithHostEnvironment(argv, status);
  }

  std::string FindMappedWindow() {
    const gint64 deadline = g_get_monotonic_time() + kTimeoutMs * 1000LL;
    while (g_get_monotonic_time() < deadline) {
      std::istringstream ids(Run({"xdotool", "search", "--onlyvisible", "--name", "^Korvane$"}));
      std::string id;
      if (ids >> id) {
        return id;
      }
      g_usleep(100 * 1000);
    }
    return "";
  }

  // Waits for the panel line "[Panel] |line|" written after everything seen so far, and moves
  // past it: what the panel shows, in the order it shows it.
  bool Expect(const std::string& line) {
    const std::string needle = korvane_test::Tagged(korvane::kPanelTag, line);
    const gint64 deadline = g_get_monotonic_time() + kTimeoutMs * 1000LL;
    while (g_get_monotonic_time() < deadline) {
      const std::string out = host_.Stdout();
      const size_t at = out.find(needle, seen_);
      if (at != std::string::npos) {
        seen_ = out.find('\n', at);
        return true;
      }
      g_usleep(50 * 1000);
    }
    ADD_FAILURE() << "the panel never showed \"" << needle << "\"; it showed:\n"
                  << PanelLines(host_.Stdout().substr(seen_));
    return false;
  }

  // The rest of the panel line that begins "[Panel] |prefix|" after everything seen so far.
  std::string ExpectValue(const std::string& prefix) {
    const size_t before = seen_;
    if (!Expect(prefix)) {
      return "";
    }
    const std::string out = host_.Stdout();
    const std::string head = korvane_test::Tagged(korvane::kPanelTag, prefix);
    const size_t at = out.find(head, before) + head.size();
    return out.substr(at, seen_ - at);
  }

  static std::string PanelLines(const std::string& out) {
    std::istringstream in(out);
    std::string line;
    std::string lines;
    while (std::getline(in, line)) {
      if (line.rfind(korvane_test::Tagged(korvane::kPanelTag, ""), 0) == 0) {
        lines += line + "\n";
      }
    }
    return lines;
  }

  // Keys typed into the focused window, as a person types them.
  void Keys(const std::vector<std::string>& keys, const std::string& window = "") {
    Activate(window.empty() ? window_ : window);
    std::vector<std::string> argv = {"xdotool", "key", "--delay", "60"};
    argv.insert(argv.end(), keys.begin(), keys.end());
    int status = -1;
    std::string output = Run(argv, &status);
    ASSERT_EQ(status, 0) << output;
  }

  void Type(const std::string& text) {
    int status = -1;
    std::string output = Run({"xdotool", "type", "--delay", "20", text}, &status);
    ASSERT_EQ(status, 0) << output;
  }

  void Activate(const std::string& window) {
    int status = -1;
    std::string output = Run({"xdotool", "windowactivate", "--sync", window}, &status);
    ASSERT_EQ(status, 0) << output;
  }

  // Types |path| into the panel's configuration entry (Alt+F focuses it) and presses Connect.
  void ConnectWith(const std::string& path) {
    Keys({"alt+f", "ctrl+a", "BackSpace"});
    Type(path);
    Keys({"alt+c"});
  }

  // The id of the visible window titled |title|, or "" when none appears.
  std::string FindWindow(const std::string& title) {
    std::string id;
    const gint64 deadline = g_get_monotonic_time() + kTimeoutMs * 1000LL;
    while (id.empty() && g_get_monotonic_time() < deadline) {
      std::istringstream ids(Run({"xdotool", "search", "--onlyvisible", "--name", title}));
      ids >> id;
      if (id.empty()) {
        g_usleep(100 * 1000);
      }
    }
    return id;
  }

  // How many pixels of the window have |colour| ("#RRGGBB"), from a screenshot kept as |name|.
  long Pixels(const std::string& name, const std::string& colour) {
    const std::string shot = host_.Screenshot(name);
    EXPECT_FALSE(shot.empty());
    std::string histogram = Run({"convert", shot, "-format", "%c", "histogram:info:-"});
    std::istringstream in(histogram);
    std::string line;
    while (std::getline(in, line)) {
      if (line.find(colour) != std::string::npos) {
        return std::stol(line.substr(0, line.find(':')));
      }
    }
    return 0;
  }

  // Pixels() once the window has drawn |colour|: the panel prints its line when it sets the text,
  // and the window is redrawn at its next frame, which a loaded machine can delay.
  long PixelsOnceDrawn(const std::string& name, const std::string& colour) {
    const gint64 deadline = g_get_monotonic_time() + kTimeoutMs * 1000LL;
    long count = Pixels(name, colour);
    while (count <= kFilledPixels && g_get_monotonic_time() < deadline) {
      g_usleep(200 * 1000);
      count = Pixels(name, colour);
    }
    return count;
  }

  std::string ProxyMode() {
    std::string mode = Run({"gsettings", "get", "org.gnome.system.proxy", "mode"});
    return mode.substr(0, mode.find_last_not_of('\n') + 1);
  }

  HostFixture host_;
  std::string window_;
  size_t seen_ = 0;
  int mixed_port_ = -1;
  int controller_port_ = -1;
  std::string mixed_path_;
  std::string refused_path_;
  std::string not_json_path_;
};

TEST_F(ControlPanelE2ETest, APersonConnectsTestsLatencyAndDisconnectsFromTheWindow) {
  // At start the panel has the channels and shows what the host answers.
  ASSERT_TRUE(Expect("channels: taken"));
  EXPECT_TRUE(Expect("state: disconnected"));
  const size_t start = seen_;
  EXPECT_NE(ExpectValue("core version: Core version: "), "");
  seen_ = start;
  EXPECT_TRUE(Expect("network access: granted"));
  seen_ = start;
  EXPECT_TRUE(Expect("crash report: dial tcp 10.0.0.1:443: connection refused"));
  EXPECT_GT(PixelsOnceDrawn("panel_disconnected", kDisconnectedColour), kFilledPixels);
  EXPECT_EQ(Pixels("panel_disconnected", kConnectedColour), 0);

  // The keyboard's place is drawn plainly: Tab from the path to the chooser's button.
  Keys({"alt+f", "Tab"});
  EXPECT_GT(PixelsOnceDrawn("panel_focus", kFocusColour), 100);

  // Restart asks first; cancelling leaves the host as it was.
  Keys({"alt+r"});
  const std::string question = FindWindow("^Restart Korvane$");
  ASSERT_FALSE(question.empty()) << "restart did not ask";
  Keys({"Escape"}, question);
  EXPECT_TRUE(Expect("restart: cancelled"));
  EXPECT_TRUE(host_.IsHostRunning());

  // The configuration is picked in the file chooser, which opens in the folder typed in the
  // panel with its one configuration selected.
  Keys({"alt+f"});
  Type(host_.dir() + "/pick/");
  Keys({"alt+h"});
  const std::string dialog = FindWindow("^Choose an engine configuration$");
  ASSERT_FALSE(dialog.empty()) << "no file chooser";
  // Enter confirms the selected file.
  Keys({"Return"}, dialog);
  ASSERT_TRUE(Expect("configuration: " + mixed_path_));

  // Connect: "connecting" is on screen before the call that blocks the host's main loop is
  // sent; the label turns to connected within the state events.
  Keys({"alt+c"});
  EXPECT_TRUE(Expect("state: connecting"));
  ASSERT_TRUE(Expect("connect: " + mixed_path_));
  ASSERT_TRUE(Expect("state: connected"));
  // The node the host reports at once has no delay measured yet: said in words.
  const std::string first_node = ExpectValue("selected node: ");
  EXPECT_EQ(first_node.find("-1"), std::string::npos) << first_node;
  EXPECT_GT(PixelsOnceDrawn("panel_connected", kConnectedColour), kFilledPixels);
  EXPECT_EQ(Pixels("panel_connected", kDisconnectedColour), 0);
  // The switch was on: the desktop proxy points at the mixed inbound.
  EXPECT_EQ(ProxyMode(), "'manual'");

  // A page through the mixed inbound: the engine's own controller, which wants the example's
  // secret.
  int status = -1;
  std::string page = Run({"curl", "-sS", "--max-time", "30", "--noproxy", "", "-H",
                          "Authorization: Bearer change-this-secret", "--proxy",
                          "http://127.0.0.1:" + std::to_string(mixed_port_),
                          "http://127.0.0.1:" + std::to_string(controller_port_) + "/version"},
                         &status);
  EXPECT_EQ(status, 0) << page;
  EXPECT_NE(page.find("\"version\""), std::string::npos) << page;

  // Latency and the selected node come back from the host's workers; until then the window
  // goes on (the selected node is asked for after the latency answer).
  Keys({"alt+l"});
  const std::string latency = ExpectValue("latency: ");
  EXPECT_TRUE(std::regex_match(latency, std::regex("[0-9]+ ms|failed|[A-Z_]+: .+"))) << latency;
  const std::string node = ExpectValue("selected node: ");
  EXPECT_TRUE(std::regex_match(node, std::regex(".+ \\(([0-9]+ ms|untested)\\)|[A-Z_]+: .+")))
      << node;

  // Clear the desktop proxy by hand, then disconnect.
  Keys({"alt+p"});
  EXPECT_TRUE(Expect("desktop proxy: off"));
  EXPECT_EQ(ProxyMode(), "'none'");
  // The one button now disconnects; what was measured goes with the connection.
  Keys({"alt+d"});
  EXPECT_TRUE(Expect("state: disconnecting"));
  EXPECT_TRUE(Expect("latency: \n"));
  EXPECT_TRUE(Expect("selected node: \u2014"));
  ASSERT_TRUE(Expect("state: disconnected"));
  // The inbound is gone with the connection.
  Run({"curl", "-sS", "--max-time", "10", "--noproxy", "", "--proxy",
       "http://127.0.0.1:" + std::to_string(mixed_port_),
       "http://127.0.0.1:" + std::to_string(controller_port_) + "/version"},
      &status);
  EXPECT_NE(status, 0);
  EXPECT_EQ(host_.Stderr().find("CRITICAL"), std::string::npos) << host_.Stderr();

  // The next launch offers the configuration connected last; the one button connects it.
  std::string error;
  ASSERT_TRUE(host_.RestartHost(&error)) << error;
  seen_ = 0;
  window_ = FindMappedWindow();
  ASSERT_FALSE(window_.empty());
  EXPECT_TRUE(Expect("last profile: " + mixed_path_));
  ASSERT_TRUE(Expect("state: disconnected"));
  Keys({"alt+c"});
  EXPECT_TRUE(Expect("connect: " + mixed_path_));
  EXPECT_TRUE(Expect("running: " + mixed_path_));
  EXPECT_TRUE(Expect("state: connected"));
}

TEST_F(ControlPanelE2ETest, BadInputShowsTheHostsErrorAndThePanelStaysUsable) {
  ASSERT_TRUE(Expect("state: disconnected"));

  // Each bad input gives its error text, and the next input is taken as usual.
  ConnectWith(host_.dir() + "/missing.json");
  EXPECT_TRUE(Expect("error: Cannot read the configuration: Failed to open file"));
  ConnectWith(not_json_path_);
  EXPECT_TRUE(Expect("error: EXCEPTION: Failed to save configuration"));
  ConnectWith(refused_path_);
  EXPECT_TRUE(Expect("state: connecting"));
  const std::string refused = ExpectValue("error: ");
  EXPECT_NE(refused.find("Failed to create service"), std::string::npos) << refused;
  EXPECT_NE(refused.find("no-such"), std::string::npos) << refused;
  EXPECT_TRUE(Expect("state: disconnected"));
  EXPECT_GT(PixelsOnceDrawn("panel_error", kErrorColour), kFilledPixels);
  EXPECT_GT(PixelsOnceDrawn("panel_error", kDisconnectedColour), kFilledPixels);

  ConnectWith(mixed_path_);
  EXPECT_TRUE(Expect("error: none"));
  EXPECT_TRUE(Expect("running: " + mixed_path_));
  ASSERT_TRUE(Expect("state: connected"));
  // The panel asks for the selected node on connecting; its answer comes from a host worker and
  // belongs before the hand-over.
  ExpectValue("selected node: ");

  // A UI attaches: the panel gives the channels over before the client's first message, and
  // the state events go to the client alone.
  {
    RawBridge bridge;
    std::string error;
    ASSERT_TRUE(bridge.Connect(host_.socket_path(), kTimeoutMs, &error)) << error;
    ASSERT_TRUE(Expect("channels: handed over"));
    // What runs is still in view.
    EXPECT_GT(PixelsOnceDrawn("panel_attached", kConnectedColour), kFilledPixels);
    EXPECT_EQ(bridge.Call(kEvents, "listen", nullptr, kTimeoutMs), "success null");
    EXPECT_EQ(bridge.Call(kVpn, "disconnect", nullptr, kTimeoutMs), "success true");
    bridge.Drain(300);
    std::vector<std::string> events = bridge.Events(kEvents);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].rfind("event {\"status\":\"vpn_disconnecting\"", 0), 0u) << events[0];
    EXPECT_EQ(events[1].rfind("event {\"status\":\"vpn_disconnected\"", 0), 0u) << events[1];
    // The panel shows the host's real state, which the client changed.
    EXPECT_TRUE(Expect("running: \u2014"));
    EXPECT_TRUE(Expect("state: disconnected"));
    EXPECT_GT(PixelsOnceDrawn("panel_attached", kDisconnectedColour), kFilledPixels);
    EXPECT_EQ(Pixels("panel_attached", kConnectedColour), 0);
    EXPECT_EQ(Pixels("panel_attached", kUnknownColour), 0);
    // Keys do nothing while a UI is attached.
    const size_t before_keys = seen_;
    ConnectWith(mixed_path_);
    bridge.Drain(1500);
    EXPECT_EQ(PanelLines(host_.Stdout().substr(before_keys)), "");
    EXPECT_EQ(bridge.Call(kVpn, "isRunning", nullptr, kTimeoutMs), "success false");
    // A connection the client starts is shown as the client's: the panel does not know its
    // file.
    g_autoptr(FlValue) args = fl_value_new_map();
    fl_value_set_string_take(args, "config", fl_value_new_string(ReadText(mixed_path_).c_str()));
    fl_value_set_string_take(args, "autoConfigureProxy", fl_value_new_bool(FALSE));
    EXPECT_EQ(bridge.Call(kVpn, "loadVPNPreference", args, kTimeoutMs), "success true");
    EXPECT_TRUE(Expect("running: a configuration another client connected"));
    EXPECT_TRUE(Expect("state: connected"));
    EXPECT_EQ(bridge.Call(kVpn, "disconnect", nullptr, kTimeoutMs), "success true");
    EXPECT_TRUE(Expect("state: disconnected"));
  }

  // The client leaves: the panel takes the channels back and shows the state it missed. The
  // host's own last failure (the refused configuration) is not the panel's last action's.
  ASSERT_TRUE(Expect("channels: taken"));
  const size_t taken = seen_;

  // "~" stands for the home folder and Enter in the path connects.
  WriteText(host_.home() + "/mixed.json", ReadText(mixed_path_));
  Keys({"alt+f", "ctrl+a", "BackSpace"});
  Type("~/mixed.json");
  Keys({"Return"});
  EXPECT_TRUE(Expect("connect: " + host_.home() + "/mixed.json"));
  ASSERT_TRUE(Expect("state: connected"));
  const std::string since_taken = PanelLines(host_.Stdout().substr(taken));
  EXPECT_EQ(since_taken.find("error: "), std::string::npos) << since_taken;
  EXPECT_EQ(host_.Stderr().find("CRITICAL"), std::string::npos) << host_.Stderr();
}

// The panel is built after the hello, but the hello still means a host that answers: a call sent
// the moment the hello is read, while the window and its panel are still being made, is answered
// by the host's own handler (not as a channel nobody serves). Several starts, since the client
// meets the host at a different point of its start each time.
TEST(ControlPanelStartTest, AMethodCallRightAfterTheHelloIsAnswered) {
  HostFixture host;
  HostOptions options;
  options.control_panel = true;
  std::string error;
  for (int start = 0; start < 3; ++start) {
    ASSERT_TRUE(start == 0 ? host.Start(options, &error) : host.RestartHost(&error)) << error;
    std::unique_ptr<korvane::BridgeClient> client = host.Connect(&error);
    ASSERT_NE(client, nullptr) << error;
    korvane::BridgeClient::Response status = client->Call(kVpn, "getStatus", nullptr, kTimeoutMs);
    ASSERT_EQ(status.status, korvane::BridgeClient::Status::kSuccess)
        << "start " << start << ": " << status.failure;
    ASSERT_NE(status.result, nullptr);
    ASSERT_EQ(fl_value_get_type(status.result.get()), FL_VALUE_TYPE_STRING);
    EXPECT_STREQ(fl_value_get_string(status.result.get()), "disconnected");
  }
}

}  // namespace
