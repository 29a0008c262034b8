// The privilege methods of the real korvane executable over the UI bridge: the capability
// report, the elevation request answered from its worker while other methods keep being
// answered, and the grant's refusals. The host runs from a copy of the bundle's executable and
// reaches only a stand-in pkexec, so no root script runs and the machine's /etc is untouched.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/logger.h"
#include "base/sha256.h"
#include "platform/privileges/granted_copy.h"
#include "platform/privileges/launcher_script.h"
#include "tests/app/elevation_sandbox.h"
#include "tests/app/raw_bridge.h"
#include "tests/support/host_fixture.h"
#include "tools/korvanectl/value_json.h"
#include "vpn/vpn_channels.h"

namespace {

using korvane_test::ElevationSandbox;
using korvane_test::HostFixture;
using korvane_test::HostOptions;
using korvane_test::RawBridge;
using nlohmann::json;

constexpr int kTimeoutMs = 20000;
constexpr const char* kVpn = korvane::kVpnChannelName;

std::string Success(const json& value) {
  return "success " + value.dump();
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void Touch(const std::string& path, const std::string& content = "") {
  std::ofstream(path, std::ios::binary) << content;
}

bool WaitForFile(const std::string& path, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (access(path.c_str(), F_OK) == 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// The value of NAME in the host's environment ("" when unset).
std::string HostEnv(const HostFixture& host, const std::string& name) {
  for (const std::string& entry : host.host_environment()) {
    if (entry.rfind(name + "=", 0) == 0) {
      return entry.substr(name.size() + 1);
    }
  }
  return "";
}

class PrivilegeMethodsE2ETest : public ::testing::Test {
 protected:
  void StartHost() {
    sandbox_ = korvane_test::MakeElevationSandbox(host_.dir());
    ASSERT_FALSE(sandbox_.executable.empty()) << sandbox_.error;
    HostOptions options;
    options.window_manager = "";
    options.executable = sandbox_.executable;
    options.private_system = true;
    options.env = {{"PATH", sandbox_.path_env},
                   {"XDG_SESSION_TYPE", "x11"},
                   {"XDG_CURRENT_DESKTOP", "it's KDE"}};
    std::string error;
    ASSERT_TRUE(host_.Start(options, &error)) << error;
    ASSERT_TRUE(bridge_.Connect(host_.socket_path(), kTimeoutMs, &error)) << error;
  }

  std::string Call(const std::string& method, const json& args = nullptr) {
    korvane::FlValuePtr value = korvane::JsonToValue(args);
    return bridge_.Call(kVpn, method, args.is_null() ? nullptr : value.get(), kTimeoutMs);
  }

  HostFixture host_;
  RawBridge bridge_;
  ElevationSandbox sandbox_;
};

TEST_F(PrivilegeMethodsE2ETest, ExecutableCapabilitiesReportTheFileAndTheRuntime) {
  StartHost();
  const std::string runtime = host_.home() + "/.local/share/Korvane/appimage-runtime";
  std::filesystem::create_directories(runtime + "/v1");
  std::filesystem::create_directories(host_.dir() + "/outside");
  const std::string managed = runtime + "/v1/korvane";
  const std::string outside = host_.dir() + "/outside/korvane";
  std::filesystem::copy_file("/bin/true", managed);
  std::filesystem::copy_file("/bin/true", outside);
  std::filesystem::copy_file("/bin/true", runtime + "/v1/permitted-only");
  ASSERT_EQ(system(("setcap cap_net_admin+ep " + managed).c_str()), 0);
  ASSERT_EQ(system(("setcap cap_net_admin+p " + runtime + "/v1/permitted-only").c_str()), 0);

  struct Case {
    std::string path;
    bool capable;
    bool managed;
  };
  const std::vector<Case> cases = {
      {managed, true, true},
      {runtime + "/v1/permitted-only", false, true},
      {runtime + "/v1/missing", false, true},
      {runtime, false, true},
      {outside, false, false},
      {host_.dir() + "/no-such-file", false, false},
      {"", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Call("getExecutableCapabilities", {{"path", c.path}}),
              Success({{"hasCapNetAdmin", c.capable}, {"isManagedAppImagePath", c.managed}}))
        << c.path;
  }
  ASSERT_EQ(system(("setcap cap_net_admin+eip " + outside).c_str()), 0);
  EXPECT_EQ(Call("getExecutableCapabilities", {{"path", outside}}),
            Success({{"hasCapNetAdmin", true}, {"isManagedAppImagePath", false}}));
  // Root needs no capability to be allowed.
  EXPECT_EQ(Call("checkAdminPrivileges"), Success(geteuid() == 0));
}

TEST_F(PrivilegeMethodsE2ETest, ElevationAnswersLaterAndOtherMethodsMeanwhile) {
  StartHost();
  // The password prompt stays open until the test releases it.
  Touch(sandbox_.hold_file);
  const uint32_t request = bridge_.Send(kVpn, "requestAdminPrivileges", nullptr);
  ASSERT_TRUE(WaitForFile(sandbox_.pkexec_log, kTimeoutMs)) << host_.Stderr();

  // The main thread keeps answering.
  EXPECT_EQ(Call("getStatus"), Success("disconnected"));
  EXPECT_EQ(Call("isRunning"), Success(false));
  EXPECT_EQ(Call("getExecutableCapabilities", {{"path", sandbox_.executable}}),
            Success({{"hasCapNetAdmin", false}, {"isManagedAppImagePath", false}}));
  EXPECT_EQ(Call("setCapabilityOnPath", {{"path", sandbox_.executable}}), Success(false));
  bridge_.Drain(300);
  EXPECT_EQ(bridge_.reply_counts().count(request), 0u) << "answered before the helper ended";

  // pkexec was given root's command as arguments, not a file of the user's to run.
  EXPECT_EQ(ReadText(sandbox_.pkexec_log),
            "/usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin /bin/sh -c\n");

  // The launcher beside the executable carries the host's session.
  korvane::LauncherValues values;
  values.dbus_session_bus_address = HostEnv(host_, "DBUS_SESSION_BUS_ADDRESS");
  values.display = HostEnv(host_, "DISPLAY");
  values.wayland_display = HostEnv(host_, "WAYLAND_DISPLAY");
  values.xdg_runtime_dir = HostEnv(host_, "XDG_RUNTIME_DIR");
  values.xdg_session_type = HostEnv(host_, "XDG_SESSION_TYPE");
  values.xdg_data_dirs = HostEnv(host_, "XDG_DATA_DIRS");
  values.xdg_current_desktop = HostEnv(host_, "XDG_CURRENT_DESKTOP");
  const std::string launcher = host_.dir() + "/bundle/korvane-launch.sh";
  const std::string granted_dir = korvane::GrantedCopy::DirectoryFor(
                                      std::filesystem::canonical(host_.dir() + "/bundle"), getuid())
                                      .string();
  EXPECT_EQ(ReadText(launcher), korvane::RenderLauncherScript(values, granted_dir));
  struct stat info;
  ASSERT_EQ(stat(launcher.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0755u);

  // The user gives up: the answer is false, not an error.
  Touch(sandbox_.exit_file, "126\n");
  Touch(sandbox_.release_file);
  EXPECT_EQ(bridge_.WaitForReply(request, kTimeoutMs), Success(false));
  const std::string err = host_.Stderr();
  EXPECT_NE(err.find(std::string(korvane::kPlatformServiceTag) +
                     " pkexec elevation helper failed with exit code 126\n"),
            std::string::npos)
      << err;
  EXPECT_NE(host_.Stdout().find(std::string(korvane::kPlatformServiceTag) +
                                " Created launcher script at \"" + launcher + "\"\n"),
            std::string::npos);
  // No script was written anywhere of the user's.
  EXPECT_FALSE(std::filesystem::exists(host_.runtime_dir() + "/korvane-helper-scripts"));
  EXPECT_FALSE(std::filesystem::exists(host_.home() + "/.cache/korvane"));

  // A second request, whose helper runs root's command: true, and the restart hint.
  std::filesystem::remove(sandbox_.hold_file);
  Touch(sandbox_.grant_file);
  EXPECT_EQ(Call("requestAdminPrivileges"), Success(true));
  EXPECT_TRUE(
      host_.WaitForStdout(std::string(korvane::kPlatformServiceTag) +
                              " setcap succeeded. App restart required to pick up CAP_NET_ADMIN.\n",
                          kTimeoutMs));
  EXPECT_EQ(Call("getExecutableCapabilities", {{"path", sandbox_.executable}}),
            Success({{"hasCapNetAdmin", true}, {"isManagedAppImagePath", false}}));
  // The capability is on root's copy in the host's /var/lib, not on the user's file.
  const std::string copy = host_.HostPath(granted_dir + "/korvane");
  EXPECT_EQ(host_.OutputWithHostEnvironment({"getcap", copy}), copy + " cap_net_admin=ep\n");
  EXPECT_EQ(host_.OutputWithHostEnvironment({"getcap", sandbox_.executable}), "");
  // Root's command wrote the polkit rule into the host's own /etc, never the machine's.
  const std::string rule = "/etc/polkit-1/rules.d/90-korvane-resolved.rules";
  EXPECT_TRUE(std::filesystem::exists(host_.HostPath(rule)));
  EXPECT_FALSE(std::filesystem::exists(rule));

  // The executable replaced on disk while the host runs ("/proc/self/exe" now ends in
  // " (deleted)"): the launcher goes to the path without the suffix, but the new file is not
  // what this host runs, so it is not granted.
  std::filesystem::remove(launcher);
  std::filesystem::remove(sandbox_.executable);
  std::filesystem::copy_file("/bin/true", sandbox_.executable);
  EXPECT_EQ(Call("requestAdminPrivileges"), Success(false));
  EXPECT_EQ(ReadText(launcher), korvane::RenderLauncherScript(values, granted_dir));
  EXPECT_TRUE(host_.WaitForStderr(std::string(korvane::kPlatformServiceTag) +
                                      " Refusing to grant " + sandbox_.executable +
                                      ": it is not the executable this host runs (changed on "
                                      "disk)\n",
                                  kTimeoutMs));
  EXPECT_EQ(Call("getExecutableCapabilities", {{"path", sandbox_.executable}}),
            Success({{"hasCapNetAdmin", false}, {"isManagedAppImagePath", false}}));

  // Exactly one answer per call.
  bridge_.Drain(200);
  for (const auto& [id, count] : bridge_.reply_counts()) {
    EXPECT_EQ(count, 1) << "call " << id;
  }
}

TEST_F(PrivilegeMethodsE2ETest, GrantRefusesBeforeAnyHelperAndRunsOneForAMatchingDigest) {
  StartHost();
  const std::string dir = host_.home() + "/.local/share/Korvane/appimage-runtime/v3";
  std::filesystem::create_directories(dir + "/lib");
  std::filesystem::create_directories(dir + "/data");
  Touch(dir + "/data/icudtl.dat", "icu");
  std::filesystem::copy_file("/bin/true", dir + "/korvane");
  Touch(dir + "/manifest.json", "{\"binarySha256\": \"" + std::string(64, '0') + "\"}\n");

  // Refused: a wrong digest, a path outside, a wrapper. No helper starts.
  EXPECT_EQ(Call("setCapabilityOnPath", {{"path", dir + "/korvane"}}), Success(false));
  EXPECT_EQ(Call("setCapabilityOnPath", {{"path", "/bin/true"}}), Success(false));
  EXPECT_EQ(Call("setCapabilityOnPath", {{"path", ""}}), Success(false));
  const std::string err = host_.Stderr();
  EXPECT_NE(err.find(std::string(korvane::kPlatformServiceTag) + " Binary hash mismatch!\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find(std::string(korvane::kPlatformServiceTag) +
                     " Refusing to set capability on unexpected path: /bin/true\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find(std::string(korvane::kPlatformServiceTag) +
                     " Refusing to set capability on empty path\n"),
            std::string::npos)
      << err;
  EXPECT_FALSE(std::filesystem::exists(sandbox_.pkexec_log));

  // The matching digest reaches the helper, which grants.
  Touch(dir + "/manifest.json",
        "{\n  \"binarySha256\": \"" + Sha256::FileHex(dir + "/korvane") + "\"\n}\n");
  Touch(sandbox_.grant_file);
  EXPECT_EQ(Call("setCapabilityOnPath", {{"path", dir + "/korvane"}}), Success(true));
  EXPECT_TRUE(std::filesystem::exists(sandbox_.pkexec_log));
  EXPECT_EQ(Call("getExecutableCapabilities", {{"path", dir + "/korvane"}}),
            Success({{"hasCapNetAdmin", true}, {"isManagedAppImagePath", true}}));
}

}  // namespace
