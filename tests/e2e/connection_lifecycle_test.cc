// The connection controller end to end: the bundle's korvane with the reference engine, a GNOME
// desktop whose settings live in the fixture's keyfile, driven through the bridge.
//
// One host serves the whole suite (host starts are slow under the sanitizers); every test
// leaves it idle with no configuration stored.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace korvane_test {
namespace {

using korvane_test::HostFixture;
using korvane_test::HostOptions;
using Events = std::vector<std::string>;

constexpr char kProxySchema[] = "org.gnome.system.proxy";
constexpr char kHttpSchema[] = "org.gnome.system.proxy.http";
constexpr char kNoSavedConfiguration[] = "No saved configuration found";

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

class ConnectionLifecycleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    host_ = new HostFixture();
    HostOptions options;
    options.env = GnomeKeyfileEnvironment();
    std::string error;
    if (!host_->Start(options, &error)) {
      start_error_ = "the host did not start: " + error;
    }
  }

  static void TearDownTestSuite() {
    delete host_;
    host_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(start_error_.empty()) << start_error_;
    ASSERT_TRUE(host_->IsHostRunning());
    std::string error;
    std::unique_ptr<BridgeClient> client = host_->Connect(&error);
    ASSERT_NE(client, nullptr) << error;
    ui_ = std::make_unique<Ui>(std::move(client));
  }

  void TearDown() override {
    // Leave the shared host idle with nothing stored for the next test.
    if (ui_ != nullptr && host_->IsHostRunning()) {
      EXPECT_TRUE(IsTrueResponse(ui_->Call("disconnect")));
      EXPECT_TRUE(IsTrueResponse(ui_->Call("clearVPNPreference")));
    }
    ui_.reset();
  }

  std::string MarkerPath(const std::string& name) const {
    return host_->config_home() + "/korvane/" + name;
  }

  // A mixed configuration on fresh free ports, logging into the fixture's directory.
  std::string NewMixedConfig(int* mixed_port, int* controller_port = nullptr) {
    int controller = FreePort();
    *mixed_port = FreePort();
    if (controller_port != nullptr) {
      *controller_port = controller;
    }
    return MixedConfig(*mixed_port, controller,
                       host_->dir() + "/engine-" + std::to_string(++config_count_) + ".log");
  }

  // Loads |config| and expects it to connect.
  void ConnectWith(const std::string& config) {
    ASSERT_TRUE(IsTrueResponse(ui_->Load(config)));
    EXPECT_EQ(ui_->EventsUntil({"vpn_connected", "vpn_disconnected"}),
              (Events{"vpn_connecting", "vpn_connected"}));
  }

  std::string Status() { return StringResult(ui_->Call("getStatus")); }

  static HostFixture* host_;
  static std::string start_error_;
  static int config_count_;
  std::unique_ptr<Ui> ui_;
};

HostFixture* ConnectionLifecycleTest::host_ = nullptr;
std::string ConnectionLifecycleTest::start_error_;
int ConnectionLifecycleTest::config_count_ = 0;

TEST_F(ConnectionLifecycleTest, MixedConnectSetsTheDesktopProxyServesPagesAndDisconnectUndoesIt) {
  ASSERT_TRUE(ui_->Listen());
  int port = 0;
  int controller = 0;
  const std::string config = NewMixedConfig(&port, &controller);
  ASSERT_EQ(GnomeSetting(*host_, kProxySchema, "mode"), "'none'");

  ConnectWith(config);
  EXPECT_EQ(GnomeSetting(*host_, kProxySchema, "mode"), "'manual'");
  EXPECT_EQ(GnomeSetting(*host_, kHttpSchema, "host"), "'127.0.0.1'");
  EXPECT_EQ(GnomeSetting(*host_, kHttpSchema, "port"), std::to_string(port));
  EXPECT_TRUE(Exists(MarkerPath("libbox_session_active")));
  EXPECT_FALSE(Exists(MarkerPath("libbox_clean_shutdown")));
  EXPECT_TRUE(IsTrueResponse(ui_->Call("isRunning")));
  EXPECT_EQ(Status(), "connected");
  EXPECT_TRUE(IsListening(controller));
  // A crash check while connected does not take the running session for a crashed one.
  BridgeClient::Response check = ui_->Call("checkForCrashLogs");
  EXPECT_EQ(check.status, BridgeClient::Status::kSuccess);
  EXPECT_TRUE(check.result == nullptr ||
              fl_value_get_type(check.result.get()) == FL_VALUE_TYPE_NULL);
  EXPECT_TRUE(Exists(MarkerPath("libbox_session_active")));

  PageServer server("a page served on loopback\n");
  std::string body;
  std::string error;
  EXPECT_TRUE(FetchThroughProxy(server.url(), port, &body, &error)) << error;
  EXPECT_EQ(body, "a page served on loopback\n");
  EXPECT_EQ(server.requests(), 1);

  ASSERT_TRUE(IsTrueResponse(ui_->Call("disconnect")));
  EXPECT_EQ(ui_->EventsUntil({"vpn_disconnected"}),
            (Events{"vpn_disconnecting", "vpn_disconnected"}));
  EXPECT_EQ(ui_->PendingEvents(), Events{});
  EXPECT_EQ(GnomeSetting(*host_, kProxySchema, "mode"), "'none'");
  EXPECT_TRUE(Exists(MarkerPath("libbox_clean_shutdown")));
  EXPECT_FALSE(Exists(MarkerPath("libbox_session_active")));
  EXPECT_FALSE(IsListening(port));
  EXPECT_FALSE(IsListening(controller));
  // "disconnected", or the failure of an earlier test on this host: a failure text stays.
  EXPECT_NE(Status(), "connected");
  EXPECT_FALSE(IsTrueResponse(ui_->Call("isRunning")));
}

TEST_F(ConnectionLifecycleTest, ConnectWhileConnectedStopsTheRunningServiceFirst) {
  ASSERT_TRUE(ui_->Listen());
  int first_port = 0;
  ConnectWith(NewMixedConfig(&first_port));
  int second_port = 0;
  const std::string second = NewMixedConfig(&second_port);

  ASSERT_TRUE(IsTrueResponse(ui_->Load(second)));
  EXPECT_EQ(ui_->EventsUntil({"vpn_connected"}),
            (Events{"vpn_connecting", "vpn_disconnecting", "vpn_disconnected", "vpn_connected"}));
  EXPECT_FALSE(IsListening(first_port));
  EXPECT_TRUE(IsListening(second_port));
  EXPECT_EQ(GnomeSetting(*host_, kHttpSchema, "port"), std::to_string(second_port));
  EXPECT_EQ(GnomeSetting(*host_, kProxySchema, "mode"), "'manual'");
  // The new session is open: the clean end of the old one must not close it, or a crash of the
  // new engine would never be reported.
  EXPECT_TRUE(Exists(MarkerPath("libbox_session_active")));
  EXPECT_FALSE(Exists(MarkerPath("libbox_clean_shutdown")));
}

TEST_F(ConnectionLifecycleTest, StopWhileIdleRaisesOnlyDisconnectedAndStillClearsTheProxy) {
  ASSERT_TRUE(ui_->Listen());
  for (const char* method : {"disconnect", "stopVPN", "disconnectForNodeSwitching"}) {
    SCOPED_TRACE(method);
    // A proxy left on by someone else is switched off by every stop.
    ASSERT_EQ(host_->RunWithHostEnvironment({"gsettings", "set", kProxySchema, "mode", "manual"}),
              0);
    EXPECT_TRUE(IsTrueResponse(ui_->Call(method)));
    EXPECT_EQ(ui_->PendingEvents(), Events{"vpn_disconnected"});
    EXPECT_EQ(GnomeSetting(*host_, kProxySchema, "mode"), "'none'");
    EXPECT_TRUE(Exists(MarkerPath("libbox_clean_shutdown")));
  }
  EXPECT_TRUE(IsTrueResponse(ui_->Call("enableAutoReconnect")));
}

TEST_F(ConnectionLifecycleTest, ClearingThePreferenceLeavesTheConnectionUpButNothingToReconnect) {
  ASSERT_TRUE(ui_->Listen());
  int port = 0;
  ConnectWith(NewMixedConfig(&port));
  ASSERT_TRUE(Exists(host_->config_home() + "/korvane/vpn_config.dat"));

  EXPECT_TRUE(IsTrueResponse(ui_->Call("clearVPNPreference")));
  EXPECT_EQ(ui_->PendingEvents(), Events{});
  EXPECT_FALSE(Exists(host_->config_home() + "/korvane/vpn_config.dat"));
  EXPECT_TRUE(IsTrueResponse(ui_->Call("isRunning")));
  EXPECT_TRUE(IsListening(port));
  PageServer server("still up\n");
  std::string body;
  std::string error;
  EXPECT_TRUE(FetchThroughProxy(server.url(), port, &body, &error)) << error;

  ASSERT_TRUE(IsTrueResponse(ui_->Call("disconnect")));
  EXPECT_EQ(ui_->PendingEvents(), (Events{"vpn_disconnecting", "vpn_disconnected"}));
  EXPECT_TRUE(IsException(ui_->Call("doConnectVpn"), kNoSavedConfiguration));
  EXPECT_EQ(ui_->PendingEvents(), Events{"vpn_disconnected"});
  EXPECT_EQ(Status(), std::string("error: ") + kNoSavedConfiguration);
  EXPECT_FALSE(IsListening(port));
}

TEST_F(ConnectionLifecycleTest, AutoReconnectFlagFollowsTheUiAndNodeSwitching) {
  auto flag = [this]() {
    BridgeClient::Response response = ui_->Call("getOnDemandStatus");
    EXPECT_EQ(response.status, BridgeClient::Status::kSuccess) << response.message;
    return response.result != nullptr &&
           fl_value_get_type(response.result.get()) == FL_VALUE_TYPE_BOOL &&
           fl_value_get_bool(response.result.get());
  };
  struct Step {
    const char* method;
    int argument;  // -1: none, else the boolean argument
    bool flag_after;
  };
  const Step steps[] = {
      {"enableAutoReconnect", -1, true},
      {"toggleAutoReconnect", 0, false},
      {"toggleAutoReconnect", 1, true},
      {"disableAutoReconnectTemporarily", -1, false},
      {"restoreUserAutoReconnectPreference", 1, true},
      {"disableAutoReconnect", -1, false},
      {"restoreUserAutoReconnectPreference", 0, false},
      {"enableAutoReconnect", -1, true},
      {"toggleAutoReconnect", 0, false},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.method);
    g_autoptr(FlValue) argument =
        step.argument < 0 ? nullptr : fl_value_new_bool(step.argument == 1);
    EXPECT_TRUE(IsTrueResponse(ui_->Call(step.method, argument)));
    EXPECT_EQ(flag(), step.flag_after);
  }

  // Node switching writes the flag on its own: connect sets it, disconnect clears it.
  ASSERT_TRUE(ui_->Listen());
  int port = 0;
  g_autoptr(FlValue) config = fl_value_new_string(NewMixedConfig(&port).c_str());
  ASSERT_TRUE(IsTrueResponse(ui_->Call("connectForNodeSwitching", config)));
  EXPECT_EQ(ui_->EventsUntil({"vpn_connected", "vpn_disconnected"}),
            (Events{"vpn_connecting", "vpn_connected"}));
  EXPECT_TRUE(flag());
  EXPECT_TRUE(IsListening(port));
  ASSERT_TRUE(IsTrueResponse(ui_->Call("disconnectForNodeSwitching")));
  EXPECT_EQ(ui_->PendingEvents(), (Events{"vpn_disconnecting", "vpn_disconnected"}));
  EXPECT_FALSE(flag());
  EXPECT_FALSE(IsListening(port));

  BridgeClient::Response stuck = ui_->Call("checkForStuckState");
  ASSERT_EQ(stuck.status, BridgeClient::Status::kSuccess);
  EXPECT_FALSE(fl_value_get_bool(stuck.result.get()));
  EXPECT_TRUE(IsTrueResponse(ui_->Call("enableAutoReconnect")));
}

TEST_F(ConnectionLifecycleTest, RefreshReannouncesTheStateOnlyToAListener) {
  auto sent_count = []() {
    const std::string out = host_->Stdout();
    int count = 0;
    for (size_t pos = out.find("Successfully sent VPN state update"); pos != std::string::npos;
         pos = out.find("Successfully sent VPN state update", pos + 1)) {
      count++;
    }
    return count;
  };
  // Nobody listens: answered, logged, nothing sent.
  const int sent_before = sent_count();
  EXPECT_TRUE(IsTrueResponse(ui_->Call("refreshVPNStatus")));
  EXPECT_TRUE(host_->WaitForStdout("RefreshVPNStatus called - sent state: disconnected", 10000));
  EXPECT_EQ(sent_count(), sent_before);

  ASSERT_TRUE(ui_->Listen());
  EXPECT_TRUE(IsTrueResponse(ui_->Call("refreshVPNStatus")));
  EXPECT_EQ(ui_->PendingEvents(), Events{"vpn_disconnected"});

  int port = 0;
  ConnectWith(NewMixedConfig(&port));
  EXPECT_TRUE(IsTrueResponse(ui_->Call("refreshVPNStatus")));
  EXPECT_EQ(ui_->PendingEvents(), Events{"vpn_connected"});

  ASSERT_TRUE(ui_->Cancel());
  const int sent_connected = sent_count();
  EXPECT_TRUE(IsTrueResponse(ui_->Call("refreshVPNStatus")));
  EXPECT_TRUE(host_->WaitForStdout("RefreshVPNStatus called - sent state: connected", 10000));
  EXPECT_EQ(sent_count(), sent_connected);
}

TEST_F(ConnectionLifecycleTest, StoredConfigurationReconnectsAfterARestart) {
  ASSERT_TRUE(ui_->Listen());
  int port = 0;
  ConnectWith(NewMixedConfig(&port));
  ASSERT_TRUE(IsTrueResponse(ui_->Call("disconnect")));
  ui_.reset();

  std::string error;
  ASSERT_TRUE(host_->RestartHost(&error)) << error;
  std::unique_ptr<BridgeClient> client = host_->Connect(&error);
  ASSERT_NE(client, nullptr) << error;
  ui_ = std::make_unique<Ui>(std::move(client));

  // A fresh process: auto-reconnect on, nothing running.
  BridgeClient::Response on_demand = ui_->Call("getOnDemandStatus");
  ASSERT_EQ(on_demand.status, BridgeClient::Status::kSuccess);
  EXPECT_TRUE(fl_value_get_bool(on_demand.result.get()));
  EXPECT_EQ(Status(), "disconnected");

  ASSERT_TRUE(ui_->Listen());
  EXPECT_TRUE(IsTrueResponse(ui_->Call("doConnectVpn")));
  // Answered after the start: the events are all there already.
  EXPECT_EQ(ui_->PendingEvents(), (Events{"vpn_connecting", "vpn_connected"}));
  EXPECT_TRUE(IsListening(port));
  EXPECT_EQ(GnomeSetting(*host_, kHttpSchema, "port"), std::to_string(port));
  EXPECT_EQ(Status(), "connected");
}

// Engine failures with real causes, each classified, sent as the error event after the early
// answer of "loadVPNPreference", and as the "EXCEPTION" answer of "doConnectVpn".
struct FailureCase {
  const char* name;
  // Builds the configuration; may hold a resource in |blocker| (a socket on the mixed port).
  std::function<std::string(int port, const std::string& dir, int* blocker)> make;
  const char* message_prefix;
  const char* engine_text;
};

int ListenOn(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

const FailureCase kFailureCases[] = {
    {"mixed port already taken",
     [](int port, const std::string& dir, int* blocker) {
       *blocker = ListenOn(port);
       return MixedConfig(port, FreePort(), dir + "/taken.log");
     },
     "Port already in use - another VPN or proxy may be running. Error: ",
     "bind: address already in use"},
    {"unknown outbound type",
     [](int port, const std::string& dir, int*) {
       return ReplaceAll(MixedConfig(port, FreePort(), dir + "/unknown.log"),
                         "\"type\": \"direct\",\n      \"tag\": \"direct-2\"",
                         "\"type\": \"teleport\",\n      \"tag\": \"direct-2\"");
     },
     "Failed to create service: decode config: ", "unknown outbound type: teleport"},
    {"log file in a missing directory",
     [](int port, const std::string& dir, int*) {
       return MixedConfig(port, FreePort(), dir + "/no-such-directory/engine.log");
     },
     "Failed to start service: ", "no such file or directory"},
};

TEST_F(ConnectionLifecycleTest, EngineFailuresReachTheUiClassified) {
  ASSERT_TRUE(ui_->Listen());
  for (const FailureCase& c : kFailureCases) {
    SCOPED_TRACE(c.name);
    const int port = FreePort();
    int blocker = -1;
    const std::string config = c.make(port, host_->dir(), &blocker);

    ASSERT_TRUE(IsTrueResponse(ui_->Load(config)));
    std::vector<std::string> errors;
    EXPECT_EQ(ui_->EventsUntil({"vpn_disconnected"}, &errors),
              (Events{"vpn_connecting", "vpn_error", "vpn_disconnected"}));
    ASSERT_EQ(errors.size(), 1u);
    const std::string message = errors[0];
    EXPECT_EQ(message.rfind(c.message_prefix, 0), 0u) << message;
    EXPECT_NE(message.find(c.engine_text), std::string::npos) << message;
    EXPECT_EQ(Status(), "error: " + message);
    EXPECT_EQ(GnomeSetting(*host_, kProxySchema, "mode"), "'none'");
    EXPECT_FALSE(IsTrueResponse(ui_->Call("isRunning")));

    // The stored configuration fails the same way through "doConnectVpn": as its answer, with
    // no error event.
    EXPECT_TRUE(IsException(ui_->Call("doConnectVpn"), message));
    EXPECT_EQ(ui_->PendingEvents(), (Events{"vpn_connecting", "vpn_disconnected"}));
    EXPECT_EQ(Status(), "error: " + message);

    if (blocker >= 0) {
      close(blocker);
    } else {
      EXPECT_FALSE(IsListening(port));
    }
  }
}

}  // namespace
}  // namespace korvane_test
