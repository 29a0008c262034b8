// The method table of "com.quorandel.korvane/vpn" and the core channel in-process, on a mock
// messenger that plays the Dart side: each method's argument rules, fixed and inline answers,
// and the hand-over to the operations that answer themselves; every call answered exactly once.
// The real executable's wiring of the same channels is covered end to end in tests/app.

#include <errno.h>
#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/mount.h>

#include <filesystem>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/libbox_interface.h"
#include "core/libbox_log_buffer.h"
#include "platform/desktop_proxy/proxy_manager.h"
#include "platform/privileges/elevated_helper.h"
#include "tests/platform/elevation_test_support.h"
#include "tests/platform/namespace_helper.h"
#include "tests/support/mock_messenger.h"
#include "tests/support/tagged_line.h"
#include "tests/support/test_files.h"
#include "tests/vpn/vpn_channel_fixture.h"
#include "vpn/vpn_channels.h"
#include "vpn/vpn_manager.h"

namespace korvane_test {
namespace {

using korvane::kCoreChannelName;
using korvane::kVpnChannelName;

// Builds an argument value (transfer full); nullptr: no arguments.
using ArgsFn = std::function<FlValue*()>;

FlValue* NoArgs() {
  return nullptr;
}
FlValue* Int(int64_t value) {
  return fl_value_new_int(value);
}
FlValue* Bool(bool value) {
  return fl_value_new_bool(value);
}
FlValue* String(const char* value) {
  return fl_value_new_string(value);
}
// A map of string keys to values; `value` is taken.
FlValue* Map(std::initializer_list<std::pair<const char*, FlValue*>> entries) {
  FlValue* map = fl_value_new_map();
  for (const auto& entry : entries) {
    fl_value_set_string_take(map, entry.first, entry.second);
  }
  return map;
}
FlValue* List(std::initializer_list<FlValue*> items) {
  FlValue* list = fl_value_new_list();
  for (FlValue* item : items) {
    fl_value_append_take(list, item);
  }
  return list;
}

using VPNManagerDispatchTest = VpnChannelTest;

struct Row {
  const char* method;
  ArgsFn args;
  const char* expected;
};

// Every value kind of the codec that a method may be sent.
enum class Kind { kNone, kNull, kBool, kInt, kFloat, kString, kList, kMap };
constexpr Kind kAllKinds[] = {Kind::kNone,  Kind::kNull,   Kind::kBool, Kind::kInt,
                              Kind::kFloat, Kind::kString, Kind::kList, Kind::kMap};

// A value of `kind` that no method accepts as it is (an empty list, a map without the keys).
FlValue* WrongValue(Kind kind) {
  switch (kind) {
    case Kind::kNone:
      return nullptr;
    case Kind::kNull:
      return fl_value_new_null();
    case Kind::kBool:
      return fl_value_new_bool(true);
    case Kind::kInt:
      return fl_value_new_int(7);
    case Kind::kFloat:
      return fl_value_new_float(1.5);
    case Kind::kString:
      return fl_value_new_string("x");
    case Kind::kList:
      return fl_value_new_list();
    case Kind::kMap:
      return fl_value_new_map();
  }
  return nullptr;
}

// Which kinds a method refuses, and how.
struct ArgumentRule {
  const char* method;
  std::vector<Kind> refused;
  const char* answer;
};

TEST_F(VPNManagerDispatchTest, EveryWrongArgumentKindIsRefused) {
  const std::vector<Kind> all_but_map = {Kind::kNone,  Kind::kNull,   Kind::kBool, Kind::kInt,
                                         Kind::kFloat, Kind::kString, Kind::kList};
  const std::vector<Kind> all_but_bool = {Kind::kNone,   Kind::kNull, Kind::kInt, Kind::kFloat,
                                          Kind::kString, Kind::kList, Kind::kMap};
  const std::vector<Kind> all(std::begin(kAllKinds), std::end(kAllKinds));
  const ArgumentRule rules[] = {
      {"loadVPNPreference", all, "error INVALID_ARGUMENT: Config required"},
      {"connectForNodeSwitching",
       {Kind::kNone, Kind::kNull, Kind::kBool, Kind::kInt, Kind::kFloat, Kind::kList, Kind::kMap},
       "error INVALID_ARGUMENT: Config required"},
      {"setCapabilityOnPath", all_but_map, "error INVALID_ARGUMENT: Map required"},
      {"setCapabilityOnPath", {Kind::kMap}, "error INVALID_ARGUMENT: Path required"},
      {"getExecutableCapabilities", all_but_map, "error INVALID_ARGUMENT: Map required"},
      {"getExecutableCapabilities", {Kind::kMap}, "error INVALID_ARGUMENT: Path required"},
      {"restartFromInstallDir", all_but_map, "error INVALID_ARGUMENT: Map required"},
      {"restartFromInstallDir", {Kind::kMap}, "error INVALID_ARGUMENT: installDir required"},
      {"toggleAutoReconnect", all_but_bool, "error INVALID_ARGUMENT: Boolean required"},
      {"restoreUserAutoReconnectPreference", all_but_bool,
       "error INVALID_ARGUMENT: Boolean required"},
      {"performUrlTest", all_but_map,
       "error INVALID_ARGUMENTS: Arguments required for performUrlTest"},
  };
  for (const ArgumentRule& rule : rules) {
    for (Kind kind : rule.refused) {
      EXPECT_EQ(Call(kVpnChannelName, rule.method, WrongValue(kind)), rule.answer)
          << rule.method << " with kind " << static_cast<int>(kind);
    }
  }
}

TEST_F(VPNManagerDispatchTest, ArgumentRulesAreCheckedBeforeAnythingRuns) {
  const Row rows[] = {
      // "loadVPNPreference": a list whose first element is a string, or a map with "config".
      {"loadVPNPreference", NoArgs, "error INVALID_ARGUMENT: Config required"},
      {"loadVPNPreference", [] { return Int(1); }, "error INVALID_ARGUMENT: Config required"},
      {"loadVPNPreference", [] { return List({}); }, "error INVALID_ARGUMENT: Config required"},
      {"loadVPNPreference", [] { return List({Int(1)}); },
       "error INVALID_ARGUMENT: Config required"},
      {"loadVPNPreference",
       [] {
         return Map({{"config", Int(1)}});
       },
       "error INVALID_ARGUMENT: Config required"},
      {"loadVPNPreference",
       [] {
         return Map({{"other", String("{}")}});
       },
       "error INVALID_ARGUMENT: Config required"},
      // "connectForNodeSwitching" takes the bare string, not a map.
      {"connectForNodeSwitching",
       [] {
         return Map({{"config", String("{}")}});
       },
       "error INVALID_ARGUMENT: Config required"},
      {"connectForNodeSwitching", NoArgs, "error INVALID_ARGUMENT: Config required"},
      // Map with a string "path" / "installDir".
      {"setCapabilityOnPath", NoArgs, "error INVALID_ARGUMENT: Map required"},
      {"setCapabilityOnPath", [] { return String("/x"); }, "error INVALID_ARGUMENT: Map required"},
      {"setCapabilityOnPath",
       [] {
         return Map({{"path", Int(3)}});
       },
       "error INVALID_ARGUMENT: Path required"},
      {"getExecutableCapabilities", [] { return Map({}); },
       "error INVALID_ARGUMENT: Path required"},
      {"getExecutableCapabilities", [] { return List({}); },
       "error INVALID_ARGUMENT: Map required"},
      {"restartFromInstallDir",
       [] {
         return Map({{"path", String("/x")}});
       },
       "error INVALID_ARGUMENT: installDir required"},
      {"restartFromInstallDir", NoArgs, "error INVALID_ARGUMENT: Map required"},
      // An install directory outside the managed runtime, or not a plain absolute path, is
      // refused before anything is started.
      {"restartFromInstallDir",
       [] {
         return Map({{"installDir", String("/tmp")}});
       },
       "error INVALID_ARGUMENT: installDir must be inside the managed AppImage runtime root"},
      {"restartFromInstallDir",
       [] {
         return Map({{"installDir", String("relative/runtime")}});
       },
       "error INVALID_ARGUMENT: installDir must be inside the managed AppImage runtime root"},
      // A bool argument.
      {"toggleAutoReconnect", [] { return Int(1); }, "error INVALID_ARGUMENT: Boolean required"},
      {"toggleAutoReconnect", NoArgs, "error INVALID_ARGUMENT: Boolean required"},
      {"restoreUserAutoReconnectPreference", [] { return String("true"); },
       "error INVALID_ARGUMENT: Boolean required"},
      // "performUrlTest" checks the argument kind before the connection state.
      {"performUrlTest", NoArgs, "error INVALID_ARGUMENTS: Arguments required for performUrlTest"},
      {"performUrlTest", [] { return Map({}); },
       "error VPN_NOT_CONNECTED: VPN must be connected to perform URL test"},
      {"getAutoSelectorInfo", NoArgs,
       "error VPN_NOT_CONNECTED: VPN must be connected to get auto selector info"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Call(kVpnChannelName, row.method, row.args()), row.expected) << row.method;
  }
  // None of the refused calls got as far as the store.
  EXPECT_EQ(ListDirectory(dir_.File("config/korvane")), std::vector<std::string>{});
}

TEST_F(VPNManagerDispatchTest, FixedAndInlineAnswers) {
  const std::string config_dir = dir_.File("config/korvane");
  const Row rows[] = {
      {"isRunning", NoArgs, "success false"},
      {"getStatus", NoArgs, "success disconnected"},
      {"isobtainedNecessaryPermissions", NoArgs, "success true"},
      {"isBatteryOptimizationIgnored", NoArgs, "success true"},
      {"requestBatteryOptimizationExemption", NoArgs, "success true"},
      {"isAlwaysOnVpnEnabled", NoArgs, "success false"},
      {"openVpnSettings", NoArgs, "success true"},
      {"checkForStuckState", NoArgs, "success false"},
      {"checkForCrashLogs", NoArgs, "success null"},
      // Unknown names, and the names of the other channel, are not implemented.
      {"getCoreVersion", NoArgs, "not implemented"},
      {"IsRunning", NoArgs, "not implemented"},
      {"", NoArgs, "not implemented"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Call(kVpnChannelName, row.method, row.args()), row.expected) << row.method;
  }
  EXPECT_EQ(Call(kVpnChannelName, "getAppGroupDirectory", nullptr), "success " + config_dir);
  EXPECT_EQ(Call(kVpnChannelName, "getLibboxLogPath", nullptr),
            "success " + config_dir + "/libbox_session.log");
  EXPECT_EQ(Call(kVpnChannelName, "checkAdminPrivileges", nullptr),
            geteuid() == 0 ? "success true" : "success false");
  // Nothing was set, so the environment proxy had nothing to clear.
  EXPECT_EQ(Call(kVpnChannelName, "clearSystemProxy", nullptr), "success true");

  EXPECT_EQ(Call(kCoreChannelName, "getCoreVersion", nullptr), "success unknown");
  EXPECT_EQ(Call(kCoreChannelName, "isRunning", nullptr), "not implemented");
}

TEST_F(VPNManagerDispatchTest, OperationsThatTakeTheCallAnswerOnce) {
  // The auto-reconnect flag, written by each operation and read back.
  const Row rows[] = {
      {"getOnDemandStatus", NoArgs, "success true"},
      {"toggleAutoReconnect", [] { return Bool(false); }, "success true"},
      {"getOnDemandStatus", NoArgs, "success false"},
      {"enableAutoReconnect", NoArgs, "success true"},
      {"getOnDemandStatus", NoArgs, "success true"},
      {"disableAutoReconnectTemporarily", NoArgs, "success true"},
      {"getOnDemandStatus", NoArgs, "success false"},
      {"restoreUserAutoReconnectPreference", [] { return Bool(true); }, "success true"},
      {"getOnDemandStatus", NoArgs, "success true"},
      {"disableAutoReconnect", NoArgs, "success true"},
      {"getOnDemandStatus", NoArgs, "success false"},
      // The connection controller without an engine or a stored configuration.
      {"refreshVPNStatus", NoArgs, "success true"},
      {"clearVPNPreference", NoArgs, "success true"},
      {"doConnectVpn", NoArgs, "error EXCEPTION: No saved configuration found"},
      {"getStatus", NoArgs, "success error: No saved configuration found"},
      {"disconnect", NoArgs, "success true"},
      {"stopVPN", NoArgs, "success true"},
      {"disconnectForNodeSwitching", NoArgs, "success true"},
      {"isRunning", NoArgs, "success false"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Call(kVpnChannelName, row.method, row.args()), row.expected) << row.method;
  }
}

// A failure inside an upkeep operation answers "EXCEPTION" with its text, once; what the
// operation wrote before it failed stays written.
TEST_F(VPNManagerDispatchTest, UpkeepFailuresAnswerException) {
  const char* failure = "error EXCEPTION: settings store unreachable";
  VPNManager::SetUpkeepFaultForTesting(
      [] { throw std::runtime_error("settings store unreachable"); });
  const Row failing[] = {
      {"disableAutoReconnect", NoArgs, failure},
      {"restoreUserAutoReconnectPreference", [] { return Bool(true); }, failure},
      {"getOnDemandStatus", NoArgs, failure},
      {"refreshVPNStatus", NoArgs, failure},
      {"clearVPNPreference", NoArgs, failure},
      {"checkForStuckState", NoArgs, failure},
  };
  for (const Row& row : failing) {
    EXPECT_EQ(Call(kVpnChannelName, row.method, row.args()), row.expected) << row.method;
  }
  VPNManager::SetUpkeepFaultForTesting(nullptr);
  // The restore wrote its value before it failed.
  EXPECT_EQ(Call(kVpnChannelName, "getOnDemandStatus", nullptr), "success true");
  EXPECT_EQ(Call(kVpnChannelName, "checkForStuckState", nullptr), "success false");
}

// A crash check after a failed start: the start opened a session of its own, which moved the
// log of an earlier crashed session aside; the check reports that crash once, and leaves the
// failed start's session, still open, until a stop ends it.
TEST_F(VPNManagerDispatchTest, CrashCheckAfterAFailedStart) {
  const std::string dir = dir_.File("config/korvane");
  ASSERT_EQ(g_mkdir_with_parents(dir.c_str(), 0700), 0);
  WriteFile(dir + "/libbox_session_active", "2026-01-02T03:04:05Z", 0600);
  WriteFile(dir + "/libbox_session.log",
            "{\"level\":\"info\",\"msg\":\"router started\"}\n"
            "{\"level\":\"fatal\",\"msg\":\"start service: bind: address already in use\"}\n",
            0600);
  // No engine is loaded: the start fails after the answer.
  const char* config = R"({"log":{},"inbounds":[],"outbounds":[]})";
  EXPECT_EQ(Call(kVpnChannelName, "loadVPNPreference", List({String(config)})), "success true");
  EXPECT_EQ(Call(kVpnChannelName, "getStatus", nullptr),
            "success error: libbox not initialized - handle is null");
  EXPECT_EQ(Call(kVpnChannelName, "checkForCrashLogs", nullptr),
            "success {summary: start service: bind: address already in use, logCount: 2, "
            "lastLogs: [router started, start service: bind: address already in use]}");
  EXPECT_EQ(Call(kVpnChannelName, "checkForCrashLogs", nullptr), "success null");
  EXPECT_FALSE(FileExists(dir + "/libbox_last_crash.log"));
  EXPECT_TRUE(FileExists(dir + "/libbox_session_active"));
  EXPECT_FALSE(FileExists(dir + "/libbox_clean_shutdown"));
  // The stop ends the failed start's session cleanly: nothing is left to report.
  EXPECT_EQ(Call(kVpnChannelName, "disconnect", nullptr), "success true");
  EXPECT_EQ(Call(kVpnChannelName, "checkForCrashLogs", nullptr), "success null");
  EXPECT_EQ(ListDirectory(dir), std::vector<std::string>{"vpn_config.dat"});
}

// Lays a recording stand-in over the machine's `path` when there is one: running it appends
// "machine's PATH FIRST-ARGUMENT" to the stand-in call log and fails.
void CoverMachineProgram(const std::string& path) {
  if (!FileExists(path)) {
    return;
  }
  const std::string cover =
      std::string(kStandInDir) + "/cover-" + std::filesystem::path(path).filename().string();
  WriteScript(cover, "#!/bin/sh\nprintf '%s\\n' \"machine's " + path + " $1\" >> " + kStandInDir +
                         "/calls\nexit 1\n");
  ASSERT_EQ(mount(cover.c_str(), path.c_str(), nullptr, MS_BIND, nullptr), 0)
      << path << ": " << strerror(errno);
}

// The elevation methods run for real, inside a private mount namespace: the test binary's
// directory is a private copy (the launcher and the grant's lib/ land there), /usr/local/bin is
// empty, a recording pkexec that refuses comes first on PATH, and the machine's own sudo and
// pkexec are covered by recording stand-ins, so no real one can start from here.
TEST_F(VPNManagerDispatchTest, ElevationMethodsReachOnlyStandIns) {
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe");
  const std::string launcher = (executable.parent_path() / "korvane-launch.sh").string();
  const bool launcher_was_there = FileExists(launcher);
  RunIsolated(Isolation(), [&] {
    const std::string dir = executable.parent_path().string();
    ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", MS_NODEV, "mode=0755"), 0) << strerror(errno);
    std::filesystem::copy_file("/proc/self/exe", executable);
    std::filesystem::permissions(executable, std::filesystem::perms(0755));
    std::filesystem::create_directory(dir + "/lib");
    PrivateUsrLocalBin();
    InstallPkexec("exit 1");
    CoverMachineProgram("/usr/bin/sudo");
    CoverMachineProgram("/usr/bin/pkexec");
    const bool tries_sudo = !ElevatedHelper::FindAskpass().empty();

    std::string answer;
    const Output request =
        CaptureOutput([&] { answer = Call(kVpnChannelName, "requestAdminPrivileges", nullptr); });
    EXPECT_EQ(answer, "success false");
    EXPECT_NE(request.err.find(korvane_test::Tagged(
                  korvane::kPlatformServiceTag, "pkexec elevation helper failed with exit code 1")),
              std::string::npos)
        << request.err;
    EXPECT_TRUE(FileExists(dir + "/korvane-launch.sh"));
    std::vector<std::string> expected;
    if (tries_sudo) {
      expected.push_back("machine's /usr/bin/sudo -A");
    }
    expected.push_back("pkexec /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin /bin/sh -c");
    EXPECT_EQ(StandInCalls(), expected);

    // A path outside the managed runtime is refused before any helper.
    ClearStandInCalls();
    EXPECT_EQ(Call(kVpnChannelName, "setCapabilityOnPath", Map({{"path", String("/bin/true")}})),
              "success false");
    EXPECT_EQ(StandInCalls(), std::vector<std::string>{});
  });
  // The machine's copy of the directory got no launcher from this test.
  EXPECT_EQ(FileExists(launcher), launcher_was_there);
}

TEST_F(VPNManagerDispatchTest, LoadAnswersTrueBeforeTheStartFailsOnTheEventStream) {
  const char* config = R"({"log":{},"inbounds":[],"outbounds":[]})";
  // A list argument (proxy flag true) and a map with the flag; neither engine is loaded, so the
  // start fails after the answer and the store keeps the configuration.
  EXPECT_EQ(Call(kVpnChannelName, "loadVPNPreference", List({String(config)})), "success true");
  EXPECT_EQ(Call(kVpnChannelName, "loadVPNPreference",
                 Map({{"config", String(config)}, {"autoConfigureProxy", String("no")}})),
            "success true");
  EXPECT_EQ(Call(kVpnChannelName, "connectForNodeSwitching", String(config)), "success true");
  EXPECT_EQ(Call(kVpnChannelName, "isRunning", nullptr), "success false");
  EXPECT_FALSE(ReadFile(dir_.File("config/korvane/vpn_config.dat")).empty());
}

}  // namespace
}  // namespace korvane_test
