// A bundle without its engine library: the host keeps running, and every connect fails with the
// loader's reason, as the error event after the early answer and as the "EXCEPTION" answer.

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/support/tagged_line.h"

namespace korvane_test {
namespace {

namespace fs = std::filesystem;
using korvane_test::HostFixture;
using korvane_test::HostOptions;
using Events = std::vector<std::string>;

// A copy of the bundle in |dir| without lib/libbox.so. The executable is a hard link (the
// loader looks beside the path it was started from), everything else a symbolic link.
bool MakeBundleWithoutEngine(const fs::path& bundle, const fs::path& dir) {
  std::error_code error;
  fs::create_directories(dir / "lib", error);
  fs::create_hard_link(bundle / "korvane", dir / "korvane", error);
  if (error) {
    fs::copy_file(bundle / "korvane", dir / "korvane", error);
  }
  fs::create_directory_symlink(bundle / "data", dir / "data", error);
  for (const fs::directory_entry& entry : fs::directory_iterator(bundle / "lib")) {
    if (entry.path().filename().string().rfind("libbox", 0) != 0) {
      fs::create_symlink(entry.path(), dir / "lib" / entry.path().filename(), error);
    }
  }
  return !error && fs::exists(dir / "korvane") && !fs::exists(dir / "lib" / "libbox.so");
}

TEST(MissingEngineTest, ConnectsFailWithTheLoadErrorAndTheHostKeepsRunning) {
  const char* bundle = getenv("KORVANE_BUNDLE_DIR");
  ASSERT_NE(bundle, nullptr);
  HostFixture host;
  const fs::path copy = fs::path(host.dir()) / "bundle";
  ASSERT_TRUE(MakeBundleWithoutEngine(bundle, copy));

  HostOptions options;
  options.env = GnomeKeyfileEnvironment();
  options.executable = (copy / "korvane").string();
  std::string error;
  ASSERT_TRUE(host.Start(options, &error)) << error;
  std::unique_ptr<BridgeClient> client = host.Connect(&error);
  ASSERT_NE(client, nullptr) << error;
  Ui ui(std::move(client));
  ASSERT_TRUE(ui.Listen());

  const std::string config = MixedConfig(FreePort(), FreePort(), host.dir() + "/engine.log");
  ASSERT_TRUE(IsTrueResponse(ui.Load(config)));
  std::vector<std::string> errors;
  EXPECT_EQ(ui.EventsUntil({"vpn_disconnected"}, &errors),
            (Events{"vpn_connecting", "vpn_error", "vpn_disconnected"}));
  ASSERT_EQ(errors.size(), 1u);
  const std::string message = errors[0];
  printf("[missing engine] the user reads: %s\n", message.c_str());
  EXPECT_FALSE(message.empty());
  EXPECT_NE(message, "libbox not initialized - handle is null")
      << "the loader's own reason should reach the user";
  EXPECT_TRUE(host.WaitForStderr(
      korvane_test::Tagged(korvane::kVPNErrorTag, "libbox handle is null - libbox not initialized"),
      1000));
  EXPECT_EQ(StringResult(ui.Call("getStatus")), "error: " + message);

  EXPECT_TRUE(IsException(ui.Call("doConnectVpn"), message));
  EXPECT_EQ(ui.PendingEvents(), (Events{"vpn_connecting", "vpn_disconnected"}));
  EXPECT_FALSE(IsTrueResponse(ui.Call("isRunning")));
  EXPECT_EQ(GnomeSetting(host, "org.gnome.system.proxy", "mode"), "'none'");
  EXPECT_TRUE(host.IsHostRunning());
}

}  // namespace
}  // namespace korvane_test
