// ProxyManager against the real gsettings (keyfile backend) and kwriteconfig5/kreadconfig5, all
// under a private HOME and XDG_CONFIG_HOME, with fake pgrep and recording wrappers on PATH.
#ifndef KORVANE_TESTING
#define KORVANE_TESTING
#endif

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/command_runner.h"
#include "platform/desktop_proxy/desktop_proxy_change.h"
#include "platform/desktop_proxy/proxy_backup_file.h"
#include "platform/desktop_proxy/proxy_manager.h"
#include "tests/support/test_files.h"

namespace korvane_test {
namespace {

constexpr const char* kGnomeKeys[] = {
    "org.gnome.system.proxy mode",       "org.gnome.system.proxy.http host",
    "org.gnome.system.proxy.http port",  "org.gnome.system.proxy.https host",
    "org.gnome.system.proxy.https port", "org.gnome.system.proxy.socks host",
    "org.gnome.system.proxy.socks port", "org.gnome.system.proxy ignore-hosts"};

constexpr const char* kKdeKeys[] = {"ProxyType", "httpProxy", "httpsProxy", "socksProxy",
                                    "NoProxyFor"};

// What `command` writes to standard output (its errors stay on ours).
std::string Stdout(const std::string& command) {
  return korvane::CommandRunner::Capture({"/bin/sh", "-c", command}).value_or("");
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

int CountContaining(const std::string& text, const std::string& needle) {
  int count = 0;
  for (const std::string& line : Lines(text)) {
    count += line.find(needle) != std::string::npos ? 1 : 0;
  }
  return count;
}

class ProxyManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"/home", "/config", "/bin", "/running"}) {
      ASSERT_EQ(mkdir((dir_ + sub).c_str(), 0700), 0);
    }
    log_ = dir_ + "/calls.log";
    const char* path = getenv("PATH");
    real_path_ = path != nullptr ? path : "/usr/bin:/bin";
    Set("HOME", dir_ + "/home");
    Set("XDG_CONFIG_HOME", dir_ + "/config");
    Set("GSETTINGS_BACKEND", "keyfile");
    // A bus that is not there: dbus-send fails at once and reaches no real session.
    Set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir_ + "/no-bus");
    Set("PATH", dir_ + "/bin:" + real_path_);
    for (const char* name :
         {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_SESSION_VERSION", "http_proxy",
          "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"}) {
      env_.push_back(std::make_unique<ScopedEnv>(name, nullptr));
    }
    // The process probes see only what a test puts into running/.
    WriteScript("pgrep",
                "echo \"pgrep $*\" >> '" + log_ + "'\n[ -e '" + dir_ + "/running/'\"$1\" ]\n");
    ProxyManager::ResetForTesting();
  }

  void TearDown() override { ProxyManager::ResetForTesting(); }

  // Sets a variable for this test only (every variable a test changes goes through env_).
  void Set(const char* name, const std::string& value) {
    env_.push_back(std::make_unique<ScopedEnv>(name, value.c_str()));
  }

  void WriteScript(const std::string& name, const std::string& body, const std::string& dir = "") {
    std::string path = (dir.empty() ? dir_ + "/bin" : dir) + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
  }

  // A wrapper that logs its arguments and runs the real program.
  void RecordCalls(const std::string& name, const std::string& real) {
    WriteScript(name, "echo \"" + name + " $*\" >> '" + log_ + "'\nexec " + real + " \"$@\"\n");
  }

  std::string Calls() { return ReadFile(log_); }
  void ClearCalls() { unlink(log_.c_str()); }

  static void Run(const std::string& command) { ASSERT_EQ(system(command.c_str()), 0) << command; }

  static std::string GnomeGet(const std::string& key) {
    std::string out = Stdout("gsettings get " + key);
    return out.substr(0, out.find('\n'));
  }
  static std::vector<std::string> GnomeState() {
    std::vector<std::string> state;
    for (const char* key : kGnomeKeys) {
      state.push_back(GnomeGet(key));
    }
    return state;
  }
  static std::string KdeGet(const std::string& key) {
    return Stdout("/usr/bin/kreadconfig5 --file kioslaverc --group 'Proxy Settings' --key " + key);
  }
  static std::vector<std::string> KdeState() {
    std::vector<std::string> state;
    for (const char* key : kKdeKeys) {
      state.push_back(KdeGet(key));
    }
    return state;
  }
  std::string Kioslaverc() { return ReadFile(dir_ + "/config/kioslaverc"); }

  static void ExpectGnomePointsAt(const std::string& port) {
    EXPECT_EQ(GnomeGet("org.gnome.system.proxy mode"), "'manual'");
    for (const char* kind : {"http", "https", "socks"}) {
      std::string schema = std::string("org.gnome.system.proxy.") + kind;
      EXPECT_EQ(GnomeGet(schema + " host"), "'127.0.0.1'") << kind;
      EXPECT_EQ(GnomeGet(schema + " port"), port) << kind;
    }
    EXPECT_EQ(GnomeGet("org.gnome.system.proxy ignore-hosts"),
              "['localhost', '127.0.0.0/8', '::1']");
  }
  static void ExpectKdePointsAt(const std::string& port) {
    EXPECT_EQ(KdeGet("ProxyType"), "1\n");
    for (const char* key : {"httpProxy", "httpsProxy", "socksProxy"}) {
      EXPECT_EQ(KdeGet(key), "127.0.0.1 " + port + "\n") << key;
    }
    EXPECT_EQ(KdeGet("NoProxyFor"), "localhost,127.0.0.1\n");
  }

  // Another instance: a forked child that enables the proxy on `port` and then waits to be
  // killed. Its id, or -1 when the enable did not succeed.
  static pid_t EnableInChild(int port) {
    int ready[2];
    if (pipe(ready) != 0) {
      return -1;
    }
    pid_t child = fork();
    if (child == 0) {
      close(ready[0]);
      char ok = ProxyManager::EnableSystemProxy("127.0.0.1", port) ? '1' : '0';
      (void)!write(ready[1], &ok, 1);
      for (;;) {
        pause();
      }
    }
    close(ready[1]);
    char ok = 0;
    ssize_t got = child > 0 ? read(ready[0], &ok, 1) : -1;
    close(ready[0]);
    if (child > 0 && (got != 1 || ok != '1')) {
      KillChild(child);
      return -1;
    }
    return child;
  }
  static void KillChild(pid_t child) {
    if (child > 0 && kill(child, SIGKILL) == 0) {
      waitpid(child, nullptr, 0);
    }
  }

  TempDir temp_{"proxy_manager_test"};
  const std::string dir_ = temp_.path();
  std::string log_;
  std::string real_path_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

// A record file mode, or -1 when there is none.
int RecordMode() {
  struct stat st;
  return stat(ProxyBackupFile::Path().c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777)
                                                         : -1;
}

// --- Restoring the user's own settings -------------------------------------------------------

struct RestoreCase {
  const char* name;
  const char* setup;  // shell commands that give the user's settings before the enable
  bool restored;      // false: the saved values are our own proxy, so disable leaves it off
};
void PrintTo(const RestoreCase& c, std::ostream* os) {
  *os << c.name;
}

class GnomeRestoreTest : public ProxyManagerTest,
                         public ::testing::WithParamInterface<RestoreCase> {};

TEST_P(GnomeRestoreTest, EnablePointsAtUsAndDisablePutsTheUserSettingsBack) {
  setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  Run(std::string("true; ") + GetParam().setup);
  std::vector<std::string> before = GnomeState();

  ASSERT_TRUE(ProxyManager::EnableSystemProxy("127.0.0.1", 7890));
  ExpectGnomePointsAt("7890");
  EXPECT_EQ(RecordMode(), 0600);

  ASSERT_TRUE(ProxyManager::DisableSystemProxy());
  if (GetParam().restored) {
    EXPECT_EQ(GnomeState(), before);
  } else {
    EXPECT_EQ(GnomeGet("org.gnome.system.proxy mode"), "'none'");
  }
  EXPECT_EQ(RecordMode(), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases,
    GnomeRestoreTest,
    ::testing::Values(RestoreCase{"ModeNone", "gsettings set org.gnome.system.proxy mode none",
                                  true},
                      RestoreCase{"WorkplaceProxy",
                                  "gsettings set org.gnome.system.proxy mode manual && "
                                  "gsettings set org.gnome.system.proxy.http host proxy.corp && "
                                  "gsettings set org.gnome.system.proxy.http port 8080 && "
                                  "gsettings set org.gnome.system.proxy.https host proxy.corp && "
                                  "gsettings set org.gnome.system.proxy.https port 8443 && "
                                  "gsettings set org.gnome.system.proxy ignore-hosts "
                                  "\"['localhost', \\\"o'brien.corp\\\"]\"",
                                  true},
                      RestoreCase{"OwnProxyLeftByEarlierRun",
                                  "gsettings set org.gnome.system.proxy mode manual && "
                                  "gsettings set org.gnome.system.proxy.http host 127.0.0.1 && "
                                  "gsettings set org.gnome.system.proxy.http port 7890",
                                  false},
                      // Not our port: the user's own local proxy, which comes back.
                      RestoreCase{"UserProxyOnLoopback",
                                  "gsettings set org.gnome.system.proxy mode manual && "
                                  "gsettings set org.gnome.system.proxy.http host 127.0.0.1 && "
                                  "gsettings set org.gnome.system.proxy.http port 7000",
                                  true}),
    [](const auto& info) { return std::string(info.param.name); });

class KdeRestoreTest : public ProxyManagerTest,
                       public ::testing::WithParamInterface<RestoreCase> {};

TEST_P(KdeRestoreTest, EnablePointsAtUsAndDisablePutsTheUserSettingsBack) {
  setenv("XDG_CURRENT_DESKTOP", "KDE", 1);
  Run(std::string("true; ") + GetParam().setup);
  std::vector<std::string> before = KdeState();
  std::string file_before = Kioslaverc();

  ASSERT_TRUE(ProxyManager::EnableSystemProxy("127.0.0.1", 7890));
  ExpectKdePointsAt("7890");
  EXPECT_EQ(RecordMode(), 0600);

  ASSERT_TRUE(ProxyManager::DisableSystemProxy());
  if (GetParam().restored) {
    EXPECT_EQ(KdeState(), before);
    EXPECT_EQ(Kioslaverc(), file_before);
  } else {
    EXPECT_EQ(KdeGet("ProxyType"), "0\n");
  }
  EXPECT_EQ(RecordMode(), -1);
}

#define KWRITE "kwriteconfig5 --file kioslaverc --group 'Proxy Settings' --key "
INSTANTIATE_TEST_SUITE_P(
    Cases,
    KdeRestoreTest,
    ::testing::Values(
        RestoreCase{"NothingSet", "", true},
        RestoreCase{"WorkplaceProxy",
                    KWRITE "ProxyType 1 && " KWRITE "httpProxy 'http://proxy.corp 8080' && " KWRITE
                           "httpsProxy 'http://proxy.corp 8443' && " KWRITE
                           "NoProxyFor \"localhost,o'brien.corp\"",
                    true},
        RestoreCase{"OwnProxyLeftByEarlierRun",
                    KWRITE "ProxyType 1 && " KWRITE "httpProxy '127.0.0.1 7890'", false},
        RestoreCase{"UserProxyOnLoopback",
                    KWRITE "ProxyType 1 && " KWRITE "httpProxy '127.0.0.1 7000'", true}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Crash repair ------------------------------------------------------------------------------

struct DesktopCase {
  const char* name;
  const char* desktop;  // XDG_CURRENT_DESKTOP
  const char* setup;
};
void PrintTo(const DesktopCase& c, std::ostream* os) {
  *os << c.name;
}

class CrashRepairTest : public ProxyManagerTest, public ::testing::WithParamInterface<DesktopCase> {
 protected:
  std::vector<std::string> State() {
    return std::string(GetParam().desktop) == "GNOME" ? GnomeState() : KdeState();
  }
};

TEST_P(CrashRepairTest, StartAfterAKilledRunPutsTheDesktopBack) {
  setenv("XDG_CURRENT_DESKTOP", GetParam().desktop, 1);
  Run(std::string("true; ") + GetParam().setup);
  std::vector<std::string> before = State();

  pid_t child = EnableInChild(7890);
  ASSERT_GT(child, 0);
  // Killed on every way out, so a failed assertion leaves no child behind.
  struct Reaper {
    pid_t pid;
    ~Reaper() { KillChild(pid); }
  } reaper{child};
  std::vector<std::string> connected = State();
  ASSERT_NE(connected, before) << "the run did not change the desktop";

  // A second launch while the first is still connected leaves its proxy and record alone.
  EXPECT_TRUE(ProxyManager::RepairAfterCrash());
  EXPECT_EQ(State(), connected);
  EXPECT_EQ(RecordMode(), 0600);

  KillChild(child);
  reaper.pid = 0;
  EXPECT_TRUE(ProxyManager::RepairAfterCrash());
  EXPECT_EQ(State(), before);
  EXPECT_EQ(RecordMode(), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Desktops,
    CrashRepairTest,
    ::testing::Values(DesktopCase{"Gnome", "GNOME",
                                  "gsettings set org.gnome.system.proxy mode manual && "
                                  "gsettings set org.gnome.system.proxy.http host proxy.corp && "
                                  "gsettings set org.gnome.system.proxy.http port 3128"},
                      DesktopCase{"Kde", "KDE",
                                  KWRITE "ProxyType 1 && " KWRITE
                                         "httpProxy 'http://proxy.corp 3128'"}),
    [](const auto& info) { return std::string(info.param.name); });

// Two launches connected at once: the second one's stop gives the desktop back to the first,
// whose record keeps the user's own settings for its stop or its crash.
TEST_F(ProxyManagerTest, ASecondInstanceLeavesTheFirstOnesProxyAndRecord) {
  setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  Run("gsettings set org.gnome.system.proxy mode manual && "
      "gsettings set org.gnome.system.proxy.http host proxy.corp && "
      "gsettings set org.gnome.system.proxy.http port 3128");
  std::vector<std::string> before = GnomeState();
  pid_t first = EnableInChild(7890);
  ASSERT_GT(first, 0);
  struct Reaper {
    pid_t pid;
    ~Reaper() { KillChild(pid); }
  } reaper{first};
  std::string first_record = ReadFile(ProxyBackupFile::Path());
  std::vector<std::string> first_state = GnomeState();

  ASSERT_TRUE(ProxyManager::EnableSystemProxy("127.0.0.1", 7891));
  ExpectGnomePointsAt("7891");
  EXPECT_EQ(ReadFile(ProxyBackupFile::Path()), first_record);
  ASSERT_TRUE(ProxyManager::DisableSystemProxy());
  EXPECT_EQ(GnomeState(), first_state);
  EXPECT_EQ(ReadFile(ProxyBackupFile::Path()), first_record);

  KillChild(first);
  reaper.pid = 0;
  EXPECT_TRUE(ProxyManager::RepairAfterCrash());
  EXPECT_EQ(GnomeState(), before);
  EXPECT_EQ(RecordMode(), -1);
}

TEST_F(ProxyManagerTest, AFailedDisableKeepsTheUserSettingsForTheNextCycle) {
  setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  Run("gsettings set org.gnome.system.proxy mode manual && "
      "gsettings set org.gnome.system.proxy.http host proxy.corp");
  std::vector<std::string> before = GnomeState();
  ASSERT_TRUE(ProxyManager::EnableSystemProxy("127.0.0.1", 7890));
  WriteScript("gsettings", "exit 1\n");
  EXPECT_FALSE(ProxyManager::DisableSystemProxy());
  ASSERT_EQ(unlink((dir_ + "/bin/gsettings").c_str()), 0);

  // The next cycle backs up our own proxy, which must not replace the user's settings.
  ASSERT_TRUE(ProxyManager::EnableSystemProxy("127.0.0.1", 7891));
  ASSERT_TRUE(ProxyManager::DisableSystemProxy());
  EXPECT_EQ(GnomeState(), before);
  EXPECT_EQ(RecordMode(), -1);
}

TEST_F(ProxyManagerTest, UnparseableRecordIsNotUsedAndTheProxyIsSwitchedOff) {
  setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  Run("gsettings set org.gnome.system.proxy mode manual && "
      "gsettings set org.gnome.system.proxy.http host 127.0.0.1");
  Run("mkdir -p \"$XDG_CONFIG_HOME/korvane\"");
  // Parses as far as the mode, whose value would inject a command if it were used.
  std::ofstream(ProxyBackupFile::Path())
      << "korvane-proxy-backup 1\ndesktop=gnome\ngnome_mode='x'; touch " << dir_ << "/pwned\n";
  RecordCalls("gsettings", "/usr/bin/gsettings");

  EXPECT_TRUE(ProxyManager::RepairAfterCrash());
  EXPECT_EQ(Calls(), "gsettings set org.gnome.system.proxy mode none\n");
  EXPECT_EQ(GnomeGet("org.gnome.system.proxy mode"), "'none'");
  EXPECT_EQ(RecordMode(), -1);
  EXPECT_NE(access((dir_ + "/pwned").c_str(), F_OK), 0);
}

// A record whose writer is gone is repaired; the port it holds tells our own proxy (left off)
// from the user's own proxy on the loopback address (restored).
TEST_F(ProxyManagerTest, RepairOfARecordWhoseWriterIsGone) {
  struct Case {
    const char* name;
    ProxyRecordOwner owner;
    int port;           // 0: a record of an earlier version
    const char* saved;  // the saved http port, on 127.0.0.1
    bool restored;
  };
  const ProxyRecordOwner self = ProxyBackupFile::CurrentProcess();
  const Case cases[] = {
      {"user's loopback proxy", {}, 7890, "7000", true},
      {"our own proxy", {}, 7890, "7890", false},
      {"earlier version: any loopback proxy is ours", {}, 0, "7000", false},
      {"our id given again to another process",
       {self.pid, self.start_time + 1},
       7890,
       "7000",
       true},
  };
  setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Run("gsettings set org.gnome.system.proxy mode manual && "
        "gsettings set org.gnome.system.proxy.http host 127.0.0.1 && "
        "gsettings set org.gnome.system.proxy.http port 7890");
    ProxyBackupRecord record;
    record.desktop = ProxyManager::kDesktopGnome;
    record.owner = c.owner;
    record.port = c.port;
    record.settings.gnome_mode = "'manual'";
    record.settings.gnome_http_host = "'127.0.0.1'";
    record.settings.gnome_http_port = c.saved;
    for (auto field : {&ProxySettings::gnome_https_host, &ProxySettings::gnome_socks_host}) {
      record.settings.*field = "''";
    }
    for (auto field : {&ProxySettings::gnome_https_port, &ProxySettings::gnome_socks_port}) {
      record.settings.*field = "0";
    }
    record.settings.gnome_ignore_hosts = "['localhost']";
    ASSERT_TRUE(ProxyBackupFile::Write(record));

    EXPECT_TRUE(ProxyManager::RepairAfterCrash());
    EXPECT_EQ(GnomeGet("org.gnome.system.proxy mode"), c.restored ? "'manual'" : "'none'");
    if (c.restored) {
      EXPECT_EQ(GnomeGet("org.gnome.system.proxy.http port"), c.saved);
    }
    EXPECT_EQ(RecordMode(), -1);
  }
}

TEST_F(ProxyManagerTest, RepairWithoutARecordTouchesNothing) {
  setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  RecordCalls("gsettings", "/usr/bin/gsettings");
  EXPECT_TRUE(ProxyManager::RepairAfterCrash());
  EXPECT_EQ(Calls(), "");
}

// --- Command sequencing ----------------------------------------------------------------------

TEST_F(ProxyManagerTest, GnomeEnableStopsAtTheFirstFailingCommand) {
  setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  // Reads work, every write fails.
  WriteScript("gsettings", "echo \"gsettings $*\" >> '" + log_ +
                               "'\n[ \"$1\" = get ] && exec /usr/bin/gsettings \"$@\"\nexit 1\n");

  EXPECT_FALSE(ProxyManager::EnableSystemProxy("127.0.0.1", 7890));
  EXPECT_EQ(CountContaining(Calls(), "gsettings set"), 1) << Calls();
  EXPECT_EQ(CountContaining(Calls(), "gsettings set org.gnome.system.proxy mode manual"), 1);
  // The record was on disk before that first change.
  EXPECT_EQ(RecordMode(), 0600);
}

class BackupOnceTest : public ProxyManagerTest,
                       public ::testing::WithParamInterface<DesktopCase> {};

TEST_P(BackupOnceTest, BackupReadsRunAtTheFirstEnableOfEachCycle) {
  bool gnome = std::string(GetParam().desktop) == "GNOME";
  setenv("XDG_CURRENT_DESKTOP", GetParam().desktop, 1);
  RecordCalls(gnome ? "gsettings" : "kreadconfig5",
              gnome ? "/usr/bin/gsettings" : "/usr/bin/kreadconfig5");
  const std::string read = gnome ? "gsettings get" : "kreadconfig5 ";
  const int per_backup = gnome ? 8 : 5;

  ASSERT_TRUE(ProxyManager::EnableSystemProxy("127.0.0.1", 7890));
  EXPECT_EQ(CountContaining(Calls(), read), per_backup);
  ASSERT_TRUE(ProxyManager::EnableSystemProxy("127.0.0.1", 7891));
  EXPECT_EQ(CountContaining(Calls(), read), per_backup);
  ASSERT_TRUE(ProxyManager::DisableSystemProxy());
  EXPECT_EQ(CountContaining(Calls(), read), per_backup);
  ASSERT_TRUE(ProxyManager::EnableSystemProxy("127.0.0.1", 7892));
  EXPECT_EQ(CountContaining(Calls(), read), 2 * per_backup);
}

INSTANTIATE_TEST_SUITE_P(Desktops,
                         BackupOnceTest,
                         ::testing::Values(DesktopCase{"Gnome", "GNOME", ""},
                                           DesktopCase{"Kde", "KDE", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProxyManagerTest, DisableWithoutEnableStillSwitchesTheDesktopOff) {
  setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  Run("gsettings set org.gnome.system.proxy mode manual");
  EXPECT_TRUE(ProxyManager::DisableSystemProxy());
  EXPECT_EQ(GnomeGet("org.gnome.system.proxy mode"), "'none'");
}

// The holder of one connection's change: dropped, it puts the user's settings back; restored
// early, dropping it changes nothing more.
TEST_F(ProxyManagerTest, ADesktopProxyChangeIsUndoneOnceByItsHolder) {
  setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  Run("gsettings set org.gnome.system.proxy mode manual && "
      "gsettings set org.gnome.system.proxy.http host proxy.corp && "
      "gsettings set org.gnome.system.proxy.http port 8080");
  const std::vector<std::string> before = GnomeState();
  RecordCalls("gsettings", "/usr/bin/gsettings");
  const std::string switch_off = "gsettings set org.gnome.system.proxy mode none";
  for (bool restore_first : {false, true}) {
    SCOPED_TRACE(restore_first ? "restored, then dropped" : "dropped");
    ClearCalls();
    bool enabled = false;
    std::unique_ptr<DesktopProxyChange> change =
        DesktopProxyChange::Apply("127.0.0.1", 7890, &enabled);
    ASSERT_TRUE(enabled);
    ExpectGnomePointsAt("7890");
    if (restore_first) {
      EXPECT_TRUE(change->Restore());
      EXPECT_EQ(GnomeState(), before);
    }
    change.reset();
    EXPECT_EQ(GnomeState(), before);
    EXPECT_EQ(CountContaining(Calls(), switch_off), 1) << Calls();
    EXPECT_EQ(RecordMode(), -1);
  }
}

// --- Desktop detection -------------------------------------------------------------------------

struct DetectCase {
  const char* current_desktop;  // nullptr: unset
  const char* session;          // nullptr: unset
  std::vector<const char*> running;
  int expected;
  bool probes;  // whether pgrep must have been asked
};
void PrintTo(const DetectCase& c, std::ostream* os) {
  *os << (c.current_desktop ? c.current_desktop : "(unset)") << " / "
      << (c.session ? c.session : "(unset)");
}

class DetectTest : public ProxyManagerTest, public ::testing::WithParamInterface<DetectCase> {};

TEST_P(DetectTest, VariablesFirstThenProcessProbes) {
  const DetectCase& c = GetParam();
  if (c.current_desktop) {
    setenv("XDG_CURRENT_DESKTOP", c.current_desktop, 1);
  }
  if (c.session) {
    setenv("DESKTOP_SESSION", c.session, 1);
  }
  for (const char* process : c.running) {
    std::ofstream(dir_ + "/running/" + process);
  }
  EXPECT_EQ(ProxyManager::DetectDesktopEnvironment(), c.expected);
  EXPECT_EQ(!Calls().empty(), c.probes) << Calls();
}

INSTANTIATE_TEST_SUITE_P(
    Cases,
    DetectTest,
    ::testing::Values(
        // Variables: any letter case, one of several colon-separated names, "plasma".
        DetectCase{"GNOME", nullptr, {}, ProxyManager::kDesktopGnome, false},
        DetectCase{"gNoMe", nullptr, {}, ProxyManager::kDesktopGnome, false},
        DetectCase{"ubuntu:GNOME", nullptr, {}, ProxyManager::kDesktopGnome, false},
        DetectCase{"KDE", nullptr, {"gnome-shell"}, ProxyManager::kDesktopKde, false},
        DetectCase{"X-Generic:kde", nullptr, {}, ProxyManager::kDesktopKde, false},
        DetectCase{"Plasma", nullptr, {}, ProxyManager::kDesktopKde, false},
        // A name that is neither falls through to DESKTOP_SESSION.
        DetectCase{"XFCE", "gnome-xorg", {}, ProxyManager::kDesktopGnome, false},
        DetectCase{"Unity", "plasmawayland", {}, ProxyManager::kDesktopKde, false},
        // Then the process probes, gnome-shell first.
        DetectCase{nullptr, nullptr, {"gnome-shell"}, ProxyManager::kDesktopGnome, true},
        DetectCase{"XFCE", "xfce", {"plasmashell"}, ProxyManager::kDesktopKde, true},
        DetectCase{"", "", {"plasmashell", "gnome-shell"}, ProxyManager::kDesktopGnome, true},
        DetectCase{"LXQt", nullptr, {}, ProxyManager::kDesktopOther, true}));

// --- Plasma 6 tools ----------------------------------------------------------------------------

struct ToolCase {
  const char* name;
  const char* session_version;  // nullptr: unset
  bool only_plasma6_on_path;
  bool expect_plasma6;
};
void PrintTo(const ToolCase& c, std::ostream* os) {
  *os << c.name;
}

class PlasmaToolTest : public ProxyManagerTest, public ::testing::WithParamInterface<ToolCase> {};

TEST_P(PlasmaToolTest, ChoosesTheToolsOfThePlasmaVersion) {
  const ToolCase& c = GetParam();
  setenv("XDG_CURRENT_DESKTOP", "KDE", 1);
  if (c.session_version) {
    setenv("KDE_SESSION_VERSION", c.session_version, 1);
  }
  // The Plasma 6 tools are stand-ins that record and run the 5 ones by absolute path.
  std::string six_dir = dir_ + "/bin6";
  ASSERT_EQ(mkdir(six_dir.c_str(), 0700), 0);
  for (const char* tool : {"kwriteconfig", "kreadconfig"}) {
    WriteScript(std::string(tool) + "6",
                "echo \"" + std::string(tool) + "6 $*\" >> '" + log_ + "'\nexec /usr/bin/" + tool +
                    "5 \"$@\"\n",
                six_dir);
  }
  setenv("PATH", (c.only_plasma6_on_path ? six_dir : six_dir + ":" + real_path_).c_str(), 1);
  std::vector<std::string> before = KdeState();

  EXPECT_EQ(ProxyManager::KdeWriteTool(), c.expect_plasma6 ? "kwriteconfig6" : "kwriteconfig5");
  EXPECT_EQ(ProxyManager::KdeReadTool(), c.expect_plasma6 ? "kreadconfig6" : "kreadconfig5");
  ASSERT_TRUE(ProxyManager::EnableSystemProxy("127.0.0.1", 7890));
  ExpectKdePointsAt("7890");
  ASSERT_TRUE(ProxyManager::DisableSystemProxy());
  EXPECT_EQ(KdeState(), before);
  // Backup reads, the enable writes and the disable writes all went through one tool pair.
  int calls = CountContaining(Calls(), "config6 --file kioslaverc");
  if (c.expect_plasma6) {
    EXPECT_EQ(CountContaining(Calls(), "kreadconfig6"), 5);
    EXPECT_GE(CountContaining(Calls(), "kwriteconfig6"), 6);
  } else {
    EXPECT_EQ(calls, 0) << Calls();
  }
}

INSTANTIATE_TEST_SUITE_P(Cases,
                         PlasmaToolTest,
                         ::testing::Values(ToolCase{"Session6", "6", false, true},
                                           ToolCase{"Only6Installed", nullptr, true, true},
                                           ToolCase{"Session5", "5", false, false},
                                           ToolCase{"NoVersionBothInstalled", nullptr, false,
                                                    false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Other desktops ----------------------------------------------------------------------------

struct EnvironmentCase {
  const char* host;
  const char* url;
};
void PrintTo(const EnvironmentCase& c, std::ostream* os) {
  *os << c.host;
}

class EnvironmentProxyTest : public ProxyManagerTest,
                             public ::testing::WithParamInterface<EnvironmentCase> {};

TEST_P(EnvironmentProxyTest, EnableSetsTheSixVariablesAndDisableRemovesThem) {
  setenv("XDG_CURRENT_DESKTOP", "XFCE", 1);
  ASSERT_TRUE(ProxyManager::EnableSystemProxy(GetParam().host, 7890));
  const std::string url = GetParam().url;
  const std::map<std::string, std::string> expected = {{"http_proxy", url},
                                                       {"HTTP_PROXY", url},
                                                       {"https_proxy", url},
                                                       {"HTTPS_PROXY", url},
                                                       {"no_proxy", "localhost,127.0.0.1"},
                                                       {"NO_PROXY", "localhost,127.0.0.1"}};
  for (const auto& [name, value] : expected) {
    ASSERT_NE(getenv(name.c_str()), nullptr) << name;
    EXPECT_EQ(getenv(name.c_str()), value) << name;
  }
  // Programs started afterwards inherit them.
  EXPECT_EQ(Stdout("printenv HTTPS_PROXY"), url + "\n");
  EXPECT_EQ(RecordMode(), -1);

  ASSERT_TRUE(ProxyManager::DisableSystemProxy());
  for (const auto& entry : expected) {
    EXPECT_EQ(getenv(entry.first.c_str()), nullptr) << entry.first;
  }
  EXPECT_EQ(Stdout("printenv HTTPS_PROXY"), "");
}

INSTANTIATE_TEST_SUITE_P(Hosts,
                         EnvironmentProxyTest,
                         ::testing::Values(EnvironmentCase{"127.0.0.1", "http://127.0.0.1:7890"},
                                           EnvironmentCase{"::1", "http://[::1]:7890"}));

// --- Refused input -----------------------------------------------------------------------------

struct RefusalCase {
  const char* host;
  int port;
};
void PrintTo(const RefusalCase& c, std::ostream* os) {
  *os << c.host << " port " << c.port;
}

class RefusalTest : public ProxyManagerTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, RefusesWithOneLineAndRunsNothing) {
  setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
  RecordCalls("gsettings", "/usr/bin/gsettings");
  ::testing::internal::CaptureStderr();
  bool enabled = ProxyManager::EnableSystemProxy(GetParam().host, GetParam().port);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(enabled);
  EXPECT_EQ(Lines(err).size(), 1u) << err;
  EXPECT_EQ(Calls(), "");
  EXPECT_EQ(RecordMode(), -1);
  EXPECT_EQ(GnomeGet("org.gnome.system.proxy mode"), "'none'");
}

INSTANTIATE_TEST_SUITE_P(Cases,
                         RefusalTest,
                         ::testing::Values(RefusalCase{"127.0.0.1; rm -rf /", 7890},
                                           RefusalCase{"127.0.0.1' && touch x '", 7890},
                                           RefusalCase{"localhost", 7890},
                                           RefusalCase{"", 7890},
                                           RefusalCase{"127.0.0.1", 0},
                                           RefusalCase{"127.0.0.1", 70000},
                                           RefusalCase{"127.0.0.1", -1}));

}  // namespace
}  // namespace korvane_test
