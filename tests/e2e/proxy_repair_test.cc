// A host killed while connected leaves the GNOME desktop pointing at its dead mixed inbound; the
// next start puts the user's own proxy settings back before the UI can ask for anything. The
// bundle's korvane with the reference engine, settings in the fixture's keyfile.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <memory>
#include <string>
#include <vector>

#include "base/logger.h"
#include "tests/e2e/e2e_support.h"

namespace korvane_test {
namespace {

using Events = std::vector<std::string>;

constexpr char kProxySchema[] = "org.gnome.system.proxy";
constexpr char kHttpSchema[] = "org.gnome.system.proxy.http";

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

TEST(ProxyRepairTest, StartAfterAKilledConnectedRunPutsTheUsersProxyBack) {
  HostFixture host;
  HostOptions options;
  options.env = GnomeKeyfileEnvironment();
  std::string error;
  ASSERT_TRUE(host.Start(options, &error)) << error;
  const std::string record = host.config_home() + "/korvane/proxy_settings.backup";

  // The user's own proxy before the connection.
  for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
           {"gsettings", "set", kHttpSchema, "host", "proxy.corp"},
           {"gsettings", "set", kHttpSchema, "port", "3128"},
           {"gsettings", "set", kProxySchema, "mode", "manual"},
       }) {
    ASSERT_EQ(host.RunWithHostEnvironment(command), 0);
  }

  {
    std::unique_ptr<BridgeClient> client = host.Connect(&error);
    ASSERT_NE(client, nullptr) << error;
    Ui ui(std::move(client));
    ASSERT_TRUE(ui.Listen());
    const int port = FreePort();
    ASSERT_TRUE(IsTrueResponse(ui.Load(MixedConfig(port, FreePort(), host.dir() + "/engine.log"))));
    ASSERT_EQ(ui.EventsUntil({"vpn_connected", "vpn_disconnected"}),
              (Events{"vpn_connecting", "vpn_connected"}));
    ASSERT_EQ(GnomeSetting(host, kHttpSchema, "host"), "'127.0.0.1'");
    ASSERT_EQ(GnomeSetting(host, kHttpSchema, "port"), std::to_string(port));
    ASSERT_TRUE(Exists(record));
  }

  // The crash: no stop runs, so the desktop keeps pointing at the dead inbound.
  ASSERT_EQ(kill(host.host_pid(), SIGKILL), 0);
  int status = host.WaitForHostExit(kCallTimeoutMs);
  ASSERT_NE(status, -1) << "the killed host did not exit";
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  ASSERT_EQ(GnomeSetting(host, kHttpSchema, "host"), "'127.0.0.1'");

  ASSERT_TRUE(host.RestartHost(&error)) << error;
  EXPECT_TRUE(host.WaitForStderr(std::string(korvane::kProxyManagerTag) + " System proxy repaired",
                                 kCallTimeoutMs))
      << host.Stderr();
  EXPECT_EQ(GnomeSetting(host, kProxySchema, "mode"), "'manual'");
  EXPECT_EQ(GnomeSetting(host, kHttpSchema, "host"), "'proxy.corp'");
  EXPECT_EQ(GnomeSetting(host, kHttpSchema, "port"), "3128");
  EXPECT_FALSE(Exists(record));
}

}  // namespace
}  // namespace korvane_test
