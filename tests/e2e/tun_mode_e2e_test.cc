// TUN mode as an ordinary user lives it. The test's network namespace is the machine: its only
// way to the lab's origin is the route the engine's auto_route sets into its interface, and the
// shadowsocks node is the only way out of the tunnel. An unprivileged user (in the host's own
// /etc, with the real sudo and a password helper) installs and starts the runtime, asks for
// network access, the host restarts through its launcher with the capability, and korvanectl
// connects examples/tun.json switched to the shadowsocks node; curl reaches the origin through
// it. Then the host is killed; the next start finds the user's proxy and the resolver as they
// were (a TUN connection changes neither) with no record of a change left behind, and after a
// new grant, connect and disconnect the routing is as it was and the origin out of reach.
//
// The successors outlive the host by design: this process is their subreaper.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/e2e/e2e_support.h"
#include "tests/support/bundle_copy.h"
#include "tests/support/net_lab.h"
#include "tests/support/process_report.h"
#include "tests/support/shell_command.h"
#include "tests/support/test_files.h"

namespace korvane_test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr uid_t kUid = 4000;
constexpr char kUser[] = "kvtun";
constexpr char kPassword[] = "kv-tun-pass";
constexpr char kSsPassword[] = "ss-lab-pass";
constexpr char kSsMethod[] = "chacha20-ietf-poly1305";
constexpr int kSsPort = 8388;
constexpr int kTimeoutMs = 60000;
constexpr char kHttpSchema[] = "org.gnome.system.proxy.http";
constexpr char kProxySchema[] = "org.gnome.system.proxy";

std::string BuildFile(const std::string& relative) {
  const char* build = getenv("KORVANE_BUILD_DIR");
  return std::string(build != nullptr ? build : ".") + "/" + relative;
}

// The routing a disconnect must leave as it found it.
std::string Routing() {
  std::string rules;
  std::string routes;
  RunShellCommand("ip rule show; ip -6 rule show", &rules);
  // Link-local routes come and go with the lab's links, whatever the engine does.
  RunShellCommand("ip route show table all | grep -v fe80::", &routes);
  return rules + routes;
}

// CapEff of a process has CAP_NET_ADMIN (bit 12).
bool HasNetAdmin(pid_t pid) {
  std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("CapEff:", 0) == 0) {
      return (std::stoull(line.substr(7), nullptr, 16) >> 12) & 1;
    }
  }
  return false;
}

uid_t ProcessUid(pid_t pid) {
  struct stat info;
  return stat(("/proc/" + std::to_string(pid)).c_str(), &info) == 0 ? info.st_uid : 0;
}

bool ProcessGone(pid_t pid, int timeout_ms) {
  const gint64 deadline = g_get_monotonic_time() + timeout_ms * 1000LL;
  for (;;) {
    int status = 0;
    waitpid(pid, &status, WNOHANG);
    if (kill(pid, 0) != 0) {
      return true;
    }
    if (g_get_monotonic_time() >= deadline) {
      return false;
    }
    g_usleep(20 * 1000);
  }
}

std::vector<std::string> Statuses(const std::string& out) {
  std::vector<std::string> statuses;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    json parsed = json::parse(line, nullptr, false);
    if (parsed.is_object() && parsed.contains("status")) {
      statuses.push_back(parsed["status"]);
    }
  }
  return statuses;
}

class TunModeE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root for the private namespaces and the ordinary user";
    }
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    std::string error;
    ASSERT_TRUE(NetLab::EnterPrivateNetwork(&error)) << error;
    ASSERT_TRUE(lab_.Start(&error)) << error;
    ss_ = lab_.AddHost("ss", &error);
    ASSERT_NE(ss_, nullptr) << error;
    ASSERT_GT(lab_.StartShadowsocks(*ss_, kSsPort, kSsMethod, kSsPassword), 0)
        << lab_.Log("ss-ss-server");
  }

  void TearDown() override {
    for (pid_t pid : successors_) {
      kill(pid, SIGKILL);
      ProcessGone(pid, kTimeoutMs);
    }
  }

  // The user's copies of what it runs (the checkout may be closed to it), its private /etc
  // entries and password helper, set up by `start` as root in the host's own mount namespace
  // before it becomes the user.
  void PrepareUser() {
    tools_ = host_.dir() + "/tools";
    work_ = host_.dir() + "/work";
    for (const std::string& dir : {tools_, work_, work_ + "/examples"}) {
      ASSERT_TRUE(fs::create_directories(dir));
    }
    for (const char* tool :
         {"tools/korvanectl/korvanectl", "tools/korvane-install-runtime/korvane-install-runtime"}) {
      const std::string target = tools_ + "/" + fs::path(tool).filename().string();
      fs::copy_file(BuildFile(tool), target);
      chmod(target.c_str(), 0755);
    }
    // korvanectl's run path names the build tree, which the user may not reach: its copy finds
    // the embedding's library beside itself.
    fs::copy_file(BuildFile("bundle/lib/libflutter_linux_gtk.so"),
                  tools_ + "/libflutter_linux_gtk.so");
    chmod((tools_ + "/libflutter_linux_gtk.so").c_str(), 0755);
    std::string patched;
    ASSERT_EQ(RunShellCommand(
                  "patchelf --set-rpath '$ORIGIN' " + ShellQuote(tools_ + "/korvanectl") + " 2>&1",
                  &patched),
              0)
        << patched;
    std::string error;
    const std::string korvane = CopyBundleExecutable(host_.dir() + "/bundle", &error);
    ASSERT_NE(korvane, "") << error;
    bundle_ = fs::path(korvane).parent_path().string();
    const std::string start = host_.dir() + "/start-as-user";
    WriteFile(start,
              std::string("#!/bin/sh\nset -e\n") + "if ! grep -q '^" + kUser +
                  ":' /etc/passwd; then\n"
                  "  echo '" +
                  kUser + ":x:4000:4000::" + host_.home() +
                  ":/bin/sh' >> /etc/passwd\n"
                  "  echo '" +
                  kUser +
                  ":x:4000:' >> /etc/group\n"
                  "  echo \"" +
                  kUser + ":$(openssl passwd -6 " + kPassword +
                  "):19000:0:99999:7:::\" >> /etc/shadow\n"
                  "  printf 'Defaults:" +
                  kUser + " lecture=never, !syslog\\n" + kUser +
                  " ALL=(ALL:ALL) ALL\\n' > /etc/sudoers.d/" + kUser +
                  "\n"
                  "  chmod 0440 /etc/sudoers.d/" +
                  kUser +
                  "\n"
                  "fi\n"
                  // The password helper sudo -A asks: the first the host looks for.
                  "printf '#!/bin/sh\\necho " +
                  kPassword + "\\n' > " + host_.dir() +
                  "/askpass\n"
                  "chmod 0755 " +
                  host_.dir() +
                  "/askpass\n"
                  "mkdir -p /usr/local/bin\n"
                  "mount -t tmpfs -o mode=0755 none /usr/local/bin\n"
                  "cp " +
                  host_.dir() +
                  "/askpass /usr/local/bin/zenity\n"
                  "[ -e /usr/bin/zenity ] && mount --bind /usr/local/bin/zenity /usr/bin/zenity\n"
                  // The device node as distributions ship it (open to all; the capability decides).
                  "mount -t tmpfs -o mode=0755 none /dev/net\n"
                  "mknod -m 0666 /dev/net/tun c 10 200\n"
                  "exec setpriv --reuid=4000 --regid=4000 --clear-groups --inh-caps=-all \"$@\"\n",
              0755);
    for (const auto& entry : fs::recursive_directory_iterator(host_.dir())) {
      lchown(entry.path().c_str(), kUid, kUid);
    }
    chown(host_.dir().c_str(), kUid, kUid);
  }

  // Runs `command` (a shell line) as the user in the work directory with the host's
  // environment and the user's tools first on PATH.
  int AsUser(const std::string& command, std::string* out) const {
    const std::string script = "cd " + ShellQuote(work_) + " && PATH=" + ShellQuote(tools_) +
                               ":$PATH exec setpriv --reuid=4000 --regid=4000 --clear-groups "
                               "--inh-caps=-all sh -c " +
                               ShellQuote(command) + " 2>" + ShellQuote(work_ + "/stderr");
    return host_.RunWithHostEnvironment({"sh", "-c", script}, out);
  }

  json Call(const std::string& method) {
    std::string out;
    const int status = AsUser("korvanectl call " + method + " --timeout 120", &out);
    EXPECT_EQ(status, 0) << method << ": " << out << ReadFile(work_ + "/stderr");
    return json::parse(out, nullptr, false);
  }

  // The pid in the hello of whoever serves the bridge now, once it is not `old`.
  pid_t WaitForNewHost(pid_t old) {
    const gint64 deadline = g_get_monotonic_time() + kTimeoutMs * 1000LL;
    while (g_get_monotonic_time() < deadline) {
      std::string out;
      if (AsUser("korvanectl hello", &out) == 0) {
        json hello = json::parse(out, nullptr, false);
        if (hello.is_object() && hello.value("pid", 0) > 0 && hello.value("pid", 0) != old) {
          successors_.push_back(hello.value("pid", 0));
          return hello.value("pid", 0);
        }
      }
      g_usleep(100 * 1000);
    }
    fprintf(stderr, "no new host after pid %d:\n%s", static_cast<int>(old),
            UserProcesses().c_str());
    return -1;
  }

  // The user's processes and the display server, with what each waits on.
  static std::string UserProcesses() {
    return DescribeProcesses([](const ProcessFacts& process) {
      return process.uid == kUid || process.command == "Xvfb";
    });
  }

  // Asks for network access, restarts into the granted copy; the new host's pid.
  pid_t GrantAndRestart(pid_t old) {
    EXPECT_EQ(Call("requestAdminPrivileges"), (json{{"ok", true}, {"value", true}}))
        << host_.Stderr();
    EXPECT_EQ(Call("restartApp"), (json{{"ok", true}, {"value", true}})) << host_.Stderr();
    return WaitForNewHost(old);
  }

  // examples/tun.json with its proxy group leading to the shadowsocks node, the machine's
  // routes into the interface, and a free controller port.
  void WriteTunConfig() {
    json config = json::parse(ReadFile(SourceFile("examples/tun.json")));
    config["inbounds"][0]["auto_route"] = true;
    config["inbounds"][0]["address"] = json::array({"172.19.0.1/30"});
    config["outbounds"][0]["outbounds"] = json::array({"ss"});
    config["outbounds"].push_back({{"type", "shadowsocks"},
                                   {"tag", "ss"},
                                   {"server", ss_->address},
                                   {"server_port", kSsPort},
                                   {"method", kSsMethod},
                                   {"password", kSsPassword}});
    config["experimental"]["clash_api"]["external_controller"] =
        "127.0.0.1:" + std::to_string(FreePort());
    const std::string path = work_ + "/examples/tun.json";
    WriteFile(path, config.dump(2));
    chown(path.c_str(), kUid, kUid);
  }

  std::string SourceFile(const std::string& name) const {
    const char* source = getenv("KORVANE_SOURCE_DIR");
    return std::string(source != nullptr ? source : ".") + "/" + name;
  }

  void Connect() {
    std::string out;
    const int status = AsUser(
        "korvanectl call loadVPNPreference --field config=@examples/tun.json --until "
        "vpn_connected,vpn_disconnected --timeout 120",
        &out);
    ASSERT_EQ(status, 0) << out << ReadFile(work_ + "/stderr") << host_.Stderr();
    ASSERT_FALSE(Statuses(out).empty()) << out;
    ASSERT_EQ(Statuses(out).back(), "vpn_connected") << out;
  }

  // What the origin saw, fetched by the user's curl.
  std::string WhoAmI() {
    std::string out;
    AsUser(std::string("curl -sS --max-time 30 http://") + NetLab::kOrigin + ":" +
               std::to_string(NetLab::kOriginPortBase) + "/whoami",
           &out);
    return out;
  }

  NetLab lab_;
  const NetLab::Host* ss_ = nullptr;
  // Declared after the lab: the host goes before the namespaces.
  HostFixture host_;
  std::string tools_;
  std::string work_;
  std::string bundle_;
  std::vector<pid_t> successors_;
};

TEST_F(TunModeE2ETest, AnOrdinaryUserGrantsConnectsThroughTheTunnelAndRecoversFromACrash) {
  for (const std::string& dir :
       {host_.dir(), host_.home(), host_.config_home(), host_.runtime_dir(), host_.dir() + "/data",
        host_.dir() + "/cache"}) {
    ASSERT_EQ(chown(dir.c_str(), kUid, kUid), 0) << dir;
  }
  ASSERT_NO_FATAL_FAILURE(PrepareUser());
  const std::string routing_before = Routing();
  // Nothing reaches the origin but the tunnel.
  ASSERT_EQ(WhoAmI(), "");

  // The user installs the runtime and starts the installed one, in a mount namespace of its
  // own host.
  std::string installed;
  ASSERT_EQ(RunShellCommand("cd " + ShellQuote(work_) + " && HOME=" + ShellQuote(host_.home()) +
                                " setpriv --reuid=4000 --regid=4000 --clear-groups " +
                                ShellQuote(tools_ + "/korvane-install-runtime") + " " +
                                ShellQuote(bundle_) + " 1.0.0-tun",
                            &installed),
            0)
      << installed;
  while (!installed.empty() && installed.back() == '\n') {
    installed.pop_back();
  }
  installed = installed.substr(installed.rfind('\n') + 1);
  HostOptions options;
  options.window_manager = "";
  options.private_system = true;
  options.env = GnomeKeyfileEnvironment();
  options.executable = "/bin/sh";
  options.args = {host_.dir() + "/start-as-user", installed + "/korvane"};
  std::string error;
  ASSERT_TRUE(host_.Start(options, &error)) << error;
  const pid_t first = host_.host_pid();
  EXPECT_EQ(ProcessUid(first), kUid);
  EXPECT_EQ(Call("checkAdminPrivileges"), (json{{"ok", true}, {"value", false}}));

  // The user's desktop proxy before anything connects.
  std::string out;
  ASSERT_EQ(
      AsUser(std::string("gsettings set ") + kHttpSchema + " host proxy.corp && gsettings set " +
                 kHttpSchema + " port 3128 && gsettings set " + kProxySchema + " mode manual",
             &out),
      0)
      << out << ReadFile(work_ + "/stderr");

  // The grant through sudo -A, and the restart through the launcher into the granted copy.
  const pid_t granted = GrantAndRestart(first);
  ASSERT_GT(granted, 0) << host_.Stdout() << host_.Stderr();
  EXPECT_NE(host_.WaitForHostExit(kTimeoutMs), -1);
  EXPECT_EQ(ProcessUid(granted), kUid);
  EXPECT_TRUE(HasNetAdmin(granted));
  EXPECT_EQ(Call("checkAdminPrivileges"), (json{{"ok", true}, {"value", true}}));

  // Connected through korvanectl: the user's curl reaches the origin through the shadowsocks
  // node, the only way there.
  const std::string resolver =
      ReadFile("/proc/" + std::to_string(granted) + "/root/etc/resolv.conf");
  ASSERT_NO_FATAL_FAILURE(WriteTunConfig());
  ASSERT_NO_FATAL_FAILURE(Connect());
  EXPECT_EQ(WhoAmI(), ss_->egress);
  // TUN mode leaves the desktop's proxy and the resolver to the user.
  EXPECT_EQ(GnomeSetting(host_, kProxySchema, "mode"), "'manual'");

  // The crash: nothing of the stop runs.
  ASSERT_EQ(kill(granted, SIGKILL), 0);
  ASSERT_TRUE(ProcessGone(granted, kTimeoutMs));
  // Its policy rules outlive it, for the next run to clear.
  EXPECT_NE(Routing(), routing_before);

  // The next start finds the user's proxy and the machine's resolver as they were, with no
  // record of a change left to repair.
  ASSERT_TRUE(host_.RestartHost(&error)) << error;
  EXPECT_EQ(GnomeSetting(host_, kProxySchema, "mode"), "'manual'");
  EXPECT_EQ(GnomeSetting(host_, kHttpSchema, "host"), "'proxy.corp'");
  EXPECT_EQ(ReadFile(host_.HostPath("/etc/resolv.conf")), resolver);
  EXPECT_FALSE(fs::exists(host_.HostPath("/etc/resolv.conf.korvane.lock")));
  EXPECT_FALSE(fs::exists(host_.config_home() + "/korvane/proxy_settings.backup"));

  // Connected again (stale rules of the killed run go), then disconnected: routing as before.
  const pid_t again = GrantAndRestart(host_.host_pid());
  ASSERT_GT(again, 0) << host_.Stdout() << host_.Stderr() << UserProcesses();
  ASSERT_NO_FATAL_FAILURE(Connect());
  EXPECT_EQ(WhoAmI(), ss_->egress);
  EXPECT_EQ(AsUser("korvanectl call disconnect --until vpn_disconnected --timeout 120", &out), 0)
      << out;
  EXPECT_EQ(Routing(), routing_before);
  EXPECT_EQ(WhoAmI(), "");
}

}  // namespace
}  // namespace korvane_test
