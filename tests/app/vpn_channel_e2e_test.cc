// The control channels of the real korvane executable under Xvfb, reached over the UI bridge as
// the user interface reaches them: the vpn channel's method table with its argument rules and
// answers, the core channel, exactly one answer per call, the event stream and crash reports.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/app/elevation_sandbox.h"
#include "tests/app/raw_bridge.h"
#include "tests/support/host_fixture.h"
#include "tests/support/tagged_line.h"
#include "tools/korvanectl/value_json.h"
#include "vpn/vpn_channels.h"

namespace korvane_test {
namespace {

using nlohmann::json;

constexpr int kTimeoutMs = 20000;
constexpr const char* kVpn = korvane::kVpnChannelName;
constexpr const char* kCore = korvane::kCoreChannelName;
constexpr const char* kEvents = korvane::kEventChannelName;
// Refused by the configuration store: no engine is ever started by these tests.
constexpr char kNotAConfig[] = "not a config";

// Every method of the vpn channel.
const std::vector<std::string> kAllMethods = {
    "loadVPNPreference",
    "doConnectVpn",
    "disconnect",
    "stopVPN",
    "isRunning",
    "getStatus",
    "clearVPNPreference",
    "checkAdminPrivileges",
    "requestAdminPrivileges",
    "setCapabilityOnPath",
    "getExecutableCapabilities",
    "restartApp",
    "restartFromInstallDir",
    "clearSystemProxy",
    "getAppGroupDirectory",
    "disconnectForNodeSwitching",
    "connectForNodeSwitching",
    "toggleAutoReconnect",
    "disableAutoReconnectTemporarily",
    "enableAutoReconnect",
    "refreshVPNStatus",
    "restoreUserAutoReconnectPreference",
    "disableAutoReconnect",
    "isobtainedNecessaryPermissions",
    "getOnDemandStatus",
    "isBatteryOptimizationIgnored",
    "requestBatteryOptimizationExemption",
    "isAlwaysOnVpnEnabled",
    "openVpnSettings",
    "checkForStuckState",
    "checkForCrashLogs",
    "getLibboxLogPath",
    "getAutoSelectorInfo",
    "performUrlTest",
};

// The argument kinds of the standard codec, each with one value that no method accepts as its
// argument (the string is no configuration, the list starts with an int, the map names no key
// any method reads).
enum class Kind { kNull, kBool, kInt, kString, kList, kMap, kFloat };
const std::vector<Kind> kAllKinds = {Kind::kNull, Kind::kBool, Kind::kInt,  Kind::kString,
                                     Kind::kList, Kind::kMap,  Kind::kFloat};

json WrongValue(Kind kind) {
  switch (kind) {
    case Kind::kNull:
      return nullptr;
    case Kind::kBool:
      return true;
    case Kind::kInt:
      return 7;
    case Kind::kString:
      return kNotAConfig;
    case Kind::kList:
      return json::array({1, "x"});
    case Kind::kMap:
      return json{{"unrelated", 1}};
    case Kind::kFloat:
      return 1.5;
  }
  return nullptr;
}

const char* KindName(Kind kind) {
  static const char* const kNames[] = {"null", "bool", "int", "string", "list", "map", "float"};
  return kNames[static_cast<int>(kind)];
}

korvane::FlValuePtr Value(const json& value) {
  return korvane::JsonToValue(value);
}

int CountOf(const std::string& text, const std::string& needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

std::string BundleDir() {
  const char* bundle = getenv("KORVANE_BUNDLE_DIR");
  return bundle != nullptr ? bundle : "";
}

// The version text the bundle's engine gives, asked directly.
std::string EngineVersion() {
  void* library = dlopen((BundleDir() + "/lib/libbox.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    return std::string("<dlopen failed: ") + dlerror() + ">";
  }
  using GetVersion = char* (*)();
  using FreeString = void (*)(char*);
  auto get_version = reinterpret_cast<GetVersion>(dlsym(library, "get_version"));
  auto free_string = reinterpret_cast<FreeString>(dlsym(library, "free_string"));
  std::string version = "<no get_version>";
  if (get_version != nullptr && free_string != nullptr) {
    char* text = get_version();
    version = text != nullptr ? text : "unknown";
    if (text != nullptr) {
      free_string(text);
    }
  }
  dlclose(library);
  return version;
}

std::string Success(const json& value) {
  return "success " + value.dump();
}

std::string Error(const std::string& code, const std::string& message) {
  return "error " + code + ": " + message;
}

class VpnChannelE2ETest : public ::testing::Test {
 protected:
  // A host whose desktop proxy commands reach only the test's private GNOME settings, and whose
  // privilege requests reach only a copy of the executable and a stand-in pkexec. "restartApp"
  // cannot start a successor, so this host stays up: no launcher can be written beside the
  // copy (a directory holds its name) and the copy is replaced on disk, once running, by a file
  // that cannot be executed.
  void StartHost() {
    sandbox_ = korvane_test::MakeElevationSandbox(host_.dir());
    ASSERT_FALSE(sandbox_.executable.empty()) << sandbox_.error;
    const std::string launcher =
        std::filesystem::path(sandbox_.executable).parent_path().string() + "/korvane-launch.sh";
    ASSERT_EQ(mkdir(launcher.c_str(), 0755), 0);
    std::string error;
    HostOptions options;
    options.window_manager = "";
    options.executable = sandbox_.executable;
    options.private_system = true;
    options.env = {{"GSETTINGS_BACKEND", "keyfile"},
                   {"XDG_CURRENT_DESKTOP", "GNOME"},
                   {"PATH", sandbox_.path_env}};
    options.unset_env = {"DESKTOP_SESSION", "KDE_SESSION_VERSION"};
    ASSERT_TRUE(host_.Start(options, &error)) << error;
    const std::string replacement = sandbox_.executable + ".new";
    std::ofstream(replacement) << "not a program\n";
    ASSERT_EQ(rename(replacement.c_str(), sandbox_.executable.c_str()), 0);
    ASSERT_TRUE(bridge_.Connect(host_.socket_path(), kTimeoutMs, &error)) << error;
  }

  std::string Call(const std::string& method, const json* args = nullptr) {
    korvane::FlValuePtr value = args != nullptr ? Value(*args) : nullptr;
    return bridge_.Call(kVpn, method, value.get(), kTimeoutMs);
  }
  std::string Call(const std::string& method, const json& args) { return Call(method, &args); }

  std::string ConfigDir() const { return host_.config_home() + "/korvane"; }

  std::string Gsettings(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"gsettings"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string output;
    int status = host_.RunWithHostEnvironment(argv, &output);
    EXPECT_EQ(status, 0) << output;
    return output.substr(0, output.find_last_not_of('\n') + 1);
  }

  HostFixture host_;
  RawBridge bridge_;
  korvane_test::ElevationSandbox sandbox_;
};

// One step of the answer table, run in order (some steps read state that earlier ones set).
struct AnswerStep {
  std::string method;
  bool has_args;
  json args;
  std::string answer;
};

TEST_F(VpnChannelE2ETest, EveryMethodIsWiredAndAnswersAsSpecified) {
  StartHost();
  const std::string config_required = Error("INVALID_ARGUMENT", "Config required");
  const std::string host_executable = sandbox_.executable;
  const std::string not_connected_url =
      Error("VPN_NOT_CONNECTED", "VPN must be connected to perform URL test");
  const std::string not_connected_selector =
      Error("VPN_NOT_CONNECTED", "VPN must be connected to get auto selector info");
  const std::string save_failed = Error("EXCEPTION", "Failed to save configuration");
  const std::vector<AnswerStep> steps = {
      // Inline and fixed answers of a fresh host.
      {"isRunning", false, nullptr, Success(false)},
      {"getStatus", false, nullptr, Success("disconnected")},
      {"getAppGroupDirectory", false, nullptr, Success(ConfigDir())},
      {"getLibboxLogPath", false, nullptr, Success(ConfigDir() + "/libbox_session.log")},
      {"checkForCrashLogs", false, nullptr, Success(nullptr)},
      {"checkAdminPrivileges", false, nullptr, Success(geteuid() == 0)},
      {"isobtainedNecessaryPermissions", false, nullptr, Success(true)},
      {"isBatteryOptimizationIgnored", false, nullptr, Success(true)},
      {"requestBatteryOptimizationExemption", false, nullptr, Success(true)},
      {"isAlwaysOnVpnEnabled", false, nullptr, Success(false)},
      {"openVpnSettings", false, nullptr, Success(true)},
      {"checkForStuckState", false, nullptr, Success(false)},
      // The privilege methods: the helper (a stand-in pkexec) refuses, the executable is not
      // part of the managed runtime, and it carries no capability.
      {"requestAdminPrivileges", false, nullptr, Success(false)},
      {"setCapabilityOnPath", true, {{"path", host_executable}}, Success(false)},
      {"getExecutableCapabilities",
       true,
       {{"path", host_executable}},
       Success({{"hasCapNetAdmin", false}, {"isManagedAppImagePath", false}})},
      // The successor cannot be started: the host answers and stays.
      {"restartApp", false, nullptr,
       Error("EXCEPTION", "Restart failed: could not exec new instance")},
      // Outside the managed runtime below HOME: refused before anything starts.
      {"restartFromInstallDir",
       true,
       {{"installDir", host_.home() + "/runtime"}},
       Error("INVALID_ARGUMENT", "installDir must be inside the managed AppImage runtime root")},
      // The auto-reconnect flag, read back after each change.
      {"getOnDemandStatus", false, nullptr, Success(true)},
      {"toggleAutoReconnect", true, false, Success(true)},
      {"getOnDemandStatus", false, nullptr, Success(false)},
      {"enableAutoReconnect", false, nullptr, Success(true)},
      {"getOnDemandStatus", false, nullptr, Success(true)},
      {"disableAutoReconnectTemporarily", false, nullptr, Success(true)},
      {"getOnDemandStatus", false, nullptr, Success(false)},
      {"restoreUserAutoReconnectPreference", true, true, Success(true)},
      {"getOnDemandStatus", false, nullptr, Success(true)},
      {"disableAutoReconnect", false, nullptr, Success(true)},
      {"getOnDemandStatus", false, nullptr, Success(false)},
      // Node switching sets the flag before the configuration is refused.
      {"connectForNodeSwitching", true, kNotAConfig, save_failed},
      {"getOnDemandStatus", false, nullptr, Success(true)},
      {"disconnectForNodeSwitching", false, nullptr, Success(true)},
      {"getOnDemandStatus", false, nullptr, Success(false)},
      // List and map forms reach the store; an empty "config" is the store's to refuse.
      {"loadVPNPreference", true, json::array({kNotAConfig}), save_failed},
      {"loadVPNPreference",
       true,
       {{"config", kNotAConfig}, {"autoConfigureProxy", false}},
       save_failed},
      {"loadVPNPreference", true, {{"config", ""}}, save_failed},
      {"loadVPNPreference", true, json::array(), config_required},
      {"loadVPNPreference", true, json::array({7}), config_required},
      // A key of the wrong kind counts as missing.
      {"loadVPNPreference", true, {{"config", 5}}, config_required},
      {"setCapabilityOnPath", true, {{"path", false}}, Error("INVALID_ARGUMENT", "Path required")},
      {"getExecutableCapabilities",
       true,
       {{"path", json::array({"/bin/true"})}},
       Error("INVALID_ARGUMENT", "Path required")},
      {"restartFromInstallDir",
       true,
       {{"installDir", 1}},
       Error("INVALID_ARGUMENT", "installDir required")},
      // Without a connection: the argument checks first, then the state; "" is a valid tag.
      {"performUrlTest", false, nullptr,
       Error("INVALID_ARGUMENTS", "Arguments required for performUrlTest")},
      {"performUrlTest", true, json::object(), not_connected_url},
      {"performUrlTest", true, {{"selectorTag", ""}}, not_connected_url},
      {"performUrlTest", true, {{"timeout", "soon"}, {"testUrl", 5}}, not_connected_url},
      {"getAutoSelectorInfo", false, nullptr, not_connected_selector},
      {"getAutoSelectorInfo", true, {{"selectorTag", ""}}, not_connected_selector},
      {"getAutoSelectorInfo", true, 7, not_connected_selector},
      // Stops with nothing running.
      {"disconnect", false, nullptr, Success(true)},
      {"stopVPN", false, nullptr, Success(true)},
      {"refreshVPNStatus", false, nullptr, Success(true)},
      {"clearVPNPreference", false, nullptr, Success(true)},
      {"clearSystemProxy", false, nullptr, Success(true)},
      // Nothing stored: the failure is kept for "getStatus".
      {"doConnectVpn", false, nullptr, Error("EXCEPTION", "No saved configuration found")},
      {"getStatus", false, nullptr, Success("error: No saved configuration found")},
      {"isRunning", false, nullptr, Success(false)},
  };
  std::set<std::string> answered;
  for (const AnswerStep& step : steps) {
    EXPECT_EQ(Call(step.method, step.has_args ? &step.args : nullptr), step.answer)
        << step.method << " " << (step.has_args ? step.args.dump() : "without arguments");
    answered.insert(step.method);
  }
  // The table covers every method.
  EXPECT_EQ(answered, std::set<std::string>(kAllMethods.begin(), kAllMethods.end()));
  EXPECT_EQ(kAllMethods.size(), 34u);

  // The map form says which proxy flag it read; the list form says nothing.
  const std::string err = host_.Stderr();
  EXPECT_EQ(CountOf(err, korvane_test::Tagged(korvane::kDebugTag,
                                              "Received autoConfigureProxy setting: false\n")),
            1)
      << err;
  EXPECT_EQ(CountOf(err, korvane_test::Tagged(korvane::kDebugTag,
                                              "Received autoConfigureProxy setting: true\n")),
            1)
      << err;
  EXPECT_EQ(CountOf(err, korvane_test::Tagged(korvane::kDebugTag,
                                              "Received autoConfigureProxy setting: ")),
            2)
      << err;
  // The refused elevation (the file on disk is not the one running) and the refused grant say
  // so once each.
  EXPECT_EQ(CountOf(err, korvane_test::Tagged(korvane::kPlatformServiceTag, "Refusing to grant ") +
                             host_executable +
                             ": it is not the executable this host runs (changed on disk)\n"),
            1)
      << err;
  EXPECT_EQ(CountOf(err, korvane_test::Tagged(korvane::kPlatformServiceTag,
                                              "Refusing to set capability on unexpected path: ") +
                             host_executable + "\n"),
            1)
      << err;
  // The failed restart says so once; nothing was started from the install directory.
  EXPECT_EQ(CountOf(err, korvane_test::Tagged(korvane::kVPNManagerTag,
                                              "Restart child exited immediately (exec failed)\n")),
            1)
      << err;
  EXPECT_EQ(
      CountOf(host_.Stdout(), korvane_test::Tagged(korvane::kVPNManagerTag,
                                                   "Restarting from managed AppImage runtime")),
      0);

  // Unknown names, on both channels.
  for (const char* name : {"LoadVPNPreference", "getCoreVersion", "", "isRunning "}) {
    EXPECT_EQ(Call(name), "not implemented") << "vpn: '" << name << "'";
  }
  for (const char* name : {"getStatus", "getcoreversion", "loadVPNPreference"}) {
    EXPECT_EQ(bridge_.Call(kCore, name, nullptr, kTimeoutMs), "not implemented")
        << "core: " << name;
  }
  // The one core method: the engine's own version text.
  const std::string version = EngineVersion();
  EXPECT_NE(version, "unknown");
  EXPECT_EQ(bridge_.Call(kCore, "getCoreVersion", nullptr, kTimeoutMs), Success(version));

  // Every call got exactly one answer and nothing was sent on its own.
  bridge_.Drain(200);
  for (const auto& [id, count] : bridge_.reply_counts()) {
    EXPECT_EQ(count, 1) << "call " << id;
  }
  EXPECT_TRUE(bridge_.host_messages().empty());
}

TEST_F(VpnChannelE2ETest, ClearSystemProxySwitchesOffTheDesktopProxy) {
  StartHost();
  // The user's desktop has a proxy on.
  Gsettings({"set", "org.gnome.system.proxy", "mode", "manual"});
  ASSERT_EQ(Gsettings({"get", "org.gnome.system.proxy", "mode"}), "'manual'");

  EXPECT_EQ(Call("clearSystemProxy"), Success(true));
  EXPECT_EQ(Gsettings({"get", "org.gnome.system.proxy", "mode"}), "'none'");
  const std::string err = host_.Stderr();
  EXPECT_NE(
      err.find(korvane_test::Tagged(
          korvane::kInfoTag, "Clearing system proxy (defensive cleanup before TUN mode)...\n")),
      std::string::npos)
      << err;
  EXPECT_NE(err.find(korvane_test::Tagged(korvane::kSuccessTag, "System proxy cleared\n")),
            std::string::npos)
      << err;
}

TEST_F(VpnChannelE2ETest, EveryWrongArgumentKindGetsExactlyOneAnswer) {
  StartHost();
  // Methods that read their argument; all others ignore it.
  const std::set<std::string> with_arguments = {"loadVPNPreference",
                                                "connectForNodeSwitching",
                                                "setCapabilityOnPath",
                                                "getExecutableCapabilities",
                                                "restartFromInstallDir",
                                                "toggleAutoReconnect",
                                                "restoreUserAutoReconnectPreference",
                                                "performUrlTest",
                                                "getAutoSelectorInfo"};
  // All calls go out before any answer is read, as a busy UI sends them.
  std::map<uint32_t, std::string> calls;
  std::map<std::string, std::vector<uint32_t>> ids_by_method;
  for (const std::string& method : kAllMethods) {
    for (Kind kind : kAllKinds) {
      korvane::FlValuePtr args = Value(WrongValue(kind));
      const uint32_t id = bridge_.Send(kVpn, method, args.get());
      calls[id] = method + " with a " + KindName(kind);
      ids_by_method[method].push_back(id);
    }
  }
  for (const std::string& method : kAllMethods) {
    std::set<std::string> answers;
    for (uint32_t id : ids_by_method[method]) {
      const std::string answer = bridge_.WaitForReply(id, kTimeoutMs);
      EXPECT_EQ(answer.find("no reply"), std::string::npos) << calls[id] << ": " << answer;
      EXPECT_NE(answer, "not implemented") << calls[id];
      answers.insert(answer);
    }
    if (with_arguments.count(method) == 0) {
      EXPECT_EQ(answers.size(), 1u) << method << " answered differently by argument kind";
    }
  }
  // Late second answers would arrive now.
  bridge_.Drain(500);
  EXPECT_EQ(bridge_.reply_counts().size(), calls.size());
  for (const auto& [id, count] : bridge_.reply_counts()) {
    EXPECT_EQ(count, 1) << (calls.count(id) ? calls[id]
                                            : "an id never sent: " + std::to_string(id));
  }
  EXPECT_TRUE(bridge_.host_messages().empty());

  // The host lives on and still answers.
  EXPECT_TRUE(host_.IsHostRunning());
  EXPECT_EQ(Call("isRunning"), Success(false));
  EXPECT_EQ(Call("isAlwaysOnVpnEnabled"), Success(false));
  EXPECT_EQ(host_.Stderr().find("Failed to answer"), std::string::npos) << host_.Stderr();

  // And it still ends through the normal shut-down: exit status 0, nothing leaked or crashed.
  EXPECT_EQ(host_.StopHost(), 0) << host_.Stderr();
}

// Milliseconds since the epoch, as the host stamps its events.
int64_t NowMs() {
  return g_get_real_time() / 1000;
}

TEST_F(VpnChannelE2ETest, StateEventsReachOnlyAListenerAndTheLastErrorIsKept) {
  StartHost();
  // No listener: the state is logged and dropped.
  EXPECT_EQ(Call("refreshVPNStatus"), Success(true));
  bridge_.Drain(200);
  EXPECT_TRUE(bridge_.Events(kEvents).empty());
  std::string out = host_.Stdout();
  EXPECT_NE(out.find("SendStateUpdate called with state: disconnected\n"
                     "No active stream - Flutter may not be listening yet\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(CountOf(out, "No active stream - Flutter may not be listening yet"), 1) << out;
  EXPECT_EQ(CountOf(out, "Successfully sent VPN state update"), 0) << out;

  // A listener gets the state, stamped in milliseconds.
  EXPECT_EQ(bridge_.Call(kEvents, "listen", nullptr, kTimeoutMs), Success(nullptr));
  EXPECT_TRUE(host_.WaitForStdout("VPN event stream started\n", kTimeoutMs));
  const int64_t before = NowMs();
  EXPECT_EQ(Call("refreshVPNStatus"), Success(true));
  const int64_t after = NowMs();
  std::vector<std::string> events = bridge_.Events(kEvents);
  ASSERT_EQ(events.size(), 1u);
  json event = json::parse(events[0].substr(strlen("event ")));
  EXPECT_EQ(events[0].rfind("event {\"status\":\"vpn_disconnected\",\"timestamp\":", 0), 0u)
      << events[0];
  ASSERT_TRUE(event["timestamp"].is_number_integer()) << events[0];
  // A second of slack for clock steps; seconds or microseconds would be far off.
  EXPECT_GE(event["timestamp"].get<int64_t>(), before - 1000);
  EXPECT_LE(event["timestamp"].get<int64_t>(), after + 1000);
  EXPECT_TRUE(
      host_.WaitForStdout("Successfully sent VPN state update: vpn_disconnected\n", kTimeoutMs));

  // A failed reconnect with nothing stored: only "disconnected" is raised, and the failure is
  // what "getStatus" reports from now on.
  EXPECT_EQ(Call("doConnectVpn"), Error("EXCEPTION", "No saved configuration found"));
  events = bridge_.Events(kEvents);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].rfind("event {\"status\":\"vpn_disconnected\",\"timestamp\":", 0), 0u)
      << events[1];
  EXPECT_EQ(Call("getStatus"), Success("error: No saved configuration found"));
  EXPECT_EQ(Call("disconnect"), Success(true));
  EXPECT_EQ(Call("getStatus"), Success("error: No saved configuration found"));

  // A configuration the store keeps but the engine refuses: answered true at once, then the
  // failure comes as an error event between "connecting" and "disconnected".
  const std::string refused =
      R"({"log":{},"inbounds":[{"type":"no-such-inbound","tag":"x"}],"outbounds":[]})";
  const size_t before_load = bridge_.Events(kEvents).size();
  EXPECT_EQ(Call("loadVPNPreference", json::array({refused})), Success(true));
  bridge_.Drain(300);
  events = bridge_.Events(kEvents);
  ASSERT_EQ(events.size(), before_load + 3);
  events.erase(events.begin(), events.begin() + before_load);
  EXPECT_EQ(events[0].rfind("event {\"status\":\"vpn_connecting\",\"timestamp\":", 0), 0u)
      << events[0];
  EXPECT_EQ(
      events[1].rfind("event {\"status\":\"vpn_error\",\"error\":\"Failed to create service: ", 0),
      0u)
      << events[1];
  EXPECT_EQ(events[2].rfind("event {\"status\":\"vpn_disconnected\",\"timestamp\":", 0), 0u)
      << events[2];
  json error_event = json::parse(events[1].substr(strlen("event ")));
  const std::string failure = error_event["error"].get<std::string>();
  EXPECT_TRUE(error_event["timestamp"].is_number_integer());
  EXPECT_EQ(Call("getStatus"), Success("error: " + failure));
  EXPECT_EQ(Call("isRunning"), Success(false));
  EXPECT_NE(host_.Stderr().find(" - " + failure + "\n"), std::string::npos) << host_.Stderr();
  EXPECT_NE(host_.Stdout().find("Successfully sent VPN error: " + failure + "\n"),
            std::string::npos);

  // After cancel nothing more is sent.
  EXPECT_EQ(bridge_.Call(kEvents, "cancel", nullptr, kTimeoutMs), Success(nullptr));
  EXPECT_TRUE(host_.WaitForStdout("VPN event stream cancelled\n", kTimeoutMs));
  const size_t sent = bridge_.Events(kEvents).size();
  EXPECT_EQ(Call("refreshVPNStatus"), Success(true));
  bridge_.Drain(300);
  EXPECT_EQ(bridge_.Events(kEvents).size(), sent);
  out = host_.Stdout();
  EXPECT_EQ(CountOf(out, "No active stream - Flutter may not be listening yet"), 2) << out;
}

TEST_F(VpnChannelE2ETest, CrashOfThePreviousSessionIsReportedOnce) {
  // What an engine session that died leaves behind: the session-active marker, no clean-shutdown
  // marker, and its log of JSON and plain lines.
  const std::string dir = host_.config_home() + "/korvane";
  ASSERT_EQ(g_mkdir_with_parents(dir.c_str(), 0700), 0);
  {
    std::ofstream marker(dir + "/libbox_session_active");
    marker << "2026-01-02T03:04:05Z";
    std::ofstream log(dir + "/libbox_session.log");
    log << "{\"level\":\"info\",\"msg\":\"router started\",\"ts\":\"2026-01-02T03:04:05Z\"}\n"
        << "plain start-up line\n"
        << "{\"level\":\"error\",\"msg\":\"dial tcp 10.0.0.1:443: connection refused\","
           "\"ts\":\"2026-01-02T03:04:06Z\"}\n"
        << "goroutine 1 exiting\n";
  }
  StartHost();
  EXPECT_EQ(Call("checkForCrashLogs"),
            "success {\"summary\":\"dial tcp 10.0.0.1:443: connection refused\",\"logCount\":4,"
            "\"lastLogs\":[\"router started\",\"plain start-up line\","
            "\"dial tcp 10.0.0.1:443: connection refused\",\"goroutine 1 exiting\"]}");
  // Reported once: the files are gone.
  EXPECT_EQ(Call("checkForCrashLogs"), Success(nullptr));
  struct stat info;
  EXPECT_NE(stat((dir + "/libbox_session_active").c_str(), &info), 0);
  EXPECT_NE(stat((dir + "/libbox_session.log").c_str(), &info), 0);
  EXPECT_EQ(Call("getLibboxLogPath"), Success(dir + "/libbox_session.log"));
}

}  // namespace
}  // namespace korvane_test
