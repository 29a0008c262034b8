// The elevated helper with the real sudo, setcap, patchelf, setpriv and tar inside private mount
// namespaces: the grant of a root-owned copy for an ordinary user, the attacks a process of the
// same user could try around it, the pkexec fallback, hostile paths and user names, and the
// waits that follow a helper.

#include "platform/privileges/elevated_helper.h"
#include "base/logger.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/executable_path.h"
#include "base/sha256.h"
#include "platform/platform_service.h"
#include "platform/privileges/elevation_script.h"
#include "platform/privileges/granted_copy.h"
#include "platform/privileges/sealed_askpass.h"
#include "tests/platform/elevation_test_support.h"
#include "tests/platform/namespace_helper.h"

namespace {

using korvane::GrantedCopy;
using korvane_test::CommandOutput;
using korvane_test::FileExists;
using korvane_test::GetCap;
using korvane_test::Isolation;
using korvane_test::kTestHome;
using korvane_test::kTestPassword;
using korvane_test::kTestUid;
using korvane_test::ReadFile;
using korvane_test::RunAs;
using korvane_test::RunIsolated;
using korvane_test::StandInCalls;
using korvane_test::WriteFile;
using korvane_test::WriteScript;

constexpr char kRulePath[] = "/etc/polkit-1/rules.d/90-korvane-resolved.rules";
constexpr char kApp[] = "/tmp/kvhome/app";
// A root-owned setuid-root file: what an attacker would like root to change.
constexpr char kSetuidTarget[] = "/tmp/suid-target";
// CAP_NET_ADMIN (bit 12) alone, as /proc/<pid>/status shows it.
constexpr char kCapEffNetAdmin[] = "CapEff:\t0000000000001000";

class ElevatedHelperTest : public ::testing::Test {
 protected:
  void TearDown() override { ElevatedHelper::ResetForTesting(); }
};

// The environment of a session of the test user (PATH as the isolated child has it: the
// stand-ins first).
std::vector<std::pair<std::string, std::string>> UserSession() {
  return {{"HOME", kTestHome},
          {"USER", korvane_test::kTestUser},
          {"XDG_RUNTIME_DIR", std::string(kTestHome) + "/run"}};
}

// The granted copy's directory for an install directory of the test user's.
std::string GrantedDir(const std::string& install_dir, uid_t uid = kTestUid) {
  return GrantedCopy::DirectoryFor(PlatformService::CanonicalizePath(install_dir), uid).string();
}

// Grants the executable at `path` as `uid` with `env`, vouching for its current digest.
int GrantAs(uid_t uid,
            const std::vector<std::pair<std::string, std::string>>& env,
            const std::string& path,
            std::string* out,
            std::string* err) {
  const std::string digest = Sha256::FileHex(path);
  return RunAs(
      uid, env,
      [&] {
        GrantRequest request;
        request.path = path;
        request.binary = korvane::CanonicalPath(request.path);
        request.binary_sha256 = digest;
        return ElevatedHelper::ElevatedPatchelfAndSetcap(request,
                                                         korvane::ElevationEnvironment::Capture())
                   ? 0
                   : 1;
      },
      out, err);
}

// The test user with sudo rights, a password helper that answers per `zenity_body`, a pkexec
// that only records, a runtime directory, and an install directory at kApp whose korvane is the
// grant probe (it loads lib/libkorvane_grant_probe.so and prints its capabilities).
void PrepareUserInstall(const std::string& zenity_body) {
  korvane_test::AddTestUser();
  korvane_test::PrivateUsrLocalBin();
  WriteScript("/usr/local/bin/zenity", "#!/bin/sh\n" + zenity_body);
  korvane_test::InstallPkexec("exit 1");
  korvane_test::MakeInstallDir(kApp, "", kTestUid);
  std::filesystem::copy_file(KORVANE_GRANT_PROBE, std::string(kApp) + "/korvane",
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(KORVANE_GRANT_PROBE_LIB,
                             std::string(kApp) + "/lib/libkorvane_grant_probe.so");
  for (const char* entry : {"/korvane", "/lib/libkorvane_grant_probe.so"}) {
    ASSERT_EQ(chown((std::string(kApp) + entry).c_str(), kTestUid, kTestUid), 0);
  }
  std::filesystem::create_directories("/tmp/kvhome/run");
  ASSERT_EQ(chown("/tmp/kvhome/run", kTestUid, kTestUid), 0);
  ASSERT_EQ(chmod("/tmp/kvhome/run", 0700), 0);
  // What an attacker would like root to write through.
  std::filesystem::copy_file("/bin/true", kSetuidTarget);
  ASSERT_EQ(chmod(kSetuidTarget, 04755), 0);
}

std::string Answer(const char* password) {
  return std::string("echo '") + password + "'\n";
}

// Runs `program` as `uid` and returns its standard output.
std::string OutputAs(uid_t uid, const std::string& program, int* code = nullptr) {
  std::string out;
  std::string err;
  const int status = RunAs(
      uid, {},
      [&] {
        execl(program.c_str(), program.c_str(), nullptr);
        return 126;
      },
      &out, &err);
  if (code != nullptr) {
    *code = status;
  }
  return out + err;
}

struct FileFacts {
  uid_t uid;
  gid_t gid;
  mode_t mode;
};

FileFacts Facts(const std::string& path) {
  struct stat info = {};
  EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
  return {info.st_uid, info.st_gid, info.st_mode & 07777};
}

TEST_F(ElevatedHelperTest, OrdinaryUserGetsARootOwnedCopyGrantedThroughSudo) {
  RunIsolated(Isolation(), [] {
    PrepareUserInstall(Answer(kTestPassword));
    const std::string before = korvane_test::TreeSnapshot(kTestHome);
    const std::string granted = GrantedDir(kApp);
    std::string out;
    std::string err;
    EXPECT_EQ(GrantAs(kTestUid, UserSession(), std::string(kApp) + "/korvane", &out, &err), 0)
        << out << err;
    EXPECT_EQ(out, std::string(korvane::kPlatformServiceTag) +
                       " Running elevated patchelf+setcap\n" +
                       std::string(korvane::kPlatformServiceTag) +
                       "   binary:  \"/tmp/kvhome/app/korvane\"\n" +
                       std::string(korvane::kPlatformServiceTag) + "   wrapper: (not found)\n" +
                       std::string(korvane::kPlatformServiceTag) + "   rpath:   \"" + granted +
                       "/lib\"\n" + std::string(korvane::kPlatformServiceTag) +
                       " Trying sudo -A fallback (askpass: /usr/local/bin/zenity)\n"
                       "korvane-cap-wrapper not found, using main binary (tray may not work)\n");

    // The copy: root's, executable by the user's group only, its run path root's lib/.
    EXPECT_EQ(GetCap(granted + "/korvane"), granted + "/korvane cap_net_admin=ep");
    EXPECT_EQ(CommandOutput("patchelf --print-rpath " + granted + "/korvane"), granted + "/lib");
    const FileFacts copy = Facts(granted + "/korvane");
    EXPECT_EQ(copy.uid, 0u);
    EXPECT_EQ(copy.gid, kTestUid);
    EXPECT_EQ(copy.mode, 0750u);
    const FileFacts user_dir = Facts(std::filesystem::path(granted).parent_path().string());
    EXPECT_EQ(user_dir.uid, 0u);
    EXPECT_EQ(user_dir.gid, kTestUid);
    EXPECT_EQ(user_dir.mode, 0750u);
    for (const std::string& entry :
         {granted, granted + "/lib", granted + "/data", granted + "/lib/libkorvane_grant_probe.so",
          granted + "/data/icudtl.dat"}) {
      const FileFacts facts = Facts(entry);
      EXPECT_EQ(facts.uid, 0u) << entry;
      EXPECT_EQ(facts.mode & 022, 0u) << entry;
    }
    EXPECT_EQ(ReadFile(granted + "/sha256"),
              Sha256::FileHex(std::string(kApp) + "/korvane") + "\n");
    EXPECT_EQ(ReadFile(granted + "/source"), kApp);

    // The user's files are as they were: no capability, no new run path, nothing left behind.
    EXPECT_EQ(korvane_test::TreeSnapshot(kTestHome), before);
    EXPECT_EQ(GetCap(std::string(kApp) + "/korvane"), "");
    // The polkit rule is whole as soon as the call returns.
    const std::string rule = ReadFile(kRulePath);
    EXPECT_NE(rule.find("      subject.user == \"kvtest\" &&\n"), std::string::npos) << rule;
    EXPECT_EQ(rule.substr(rule.size() - 4), "});\n");
    EXPECT_TRUE(StandInCalls().empty());

    // The user runs the copy with the capability; another user cannot run it at all.
    EXPECT_EQ(OutputAs(kTestUid, granted + "/korvane"),
              std::string("library: genuine\n") + kCapEffNetAdmin + "\n");
    int code = 0;
    OutputAs(65534, granted + "/korvane", &code);
    EXPECT_EQ(code, 126);
  });
}

TEST_F(ElevatedHelperTest, ExecutableSwappedForALinkDuringThePromptGrantsNothing) {
  RunIsolated(Isolation(), [] {
    // While the prompt is open, a process of the user's puts a link to a setuid-root file where
    // the executable was.
    PrepareUserInstall(
        "rm -f /tmp/kvhome/app/korvane\n"
        "ln -s /tmp/suid-target /tmp/kvhome/app/korvane\n" +
        Answer(kTestPassword));
    const std::string target_before = Sha256::FileHex(kSetuidTarget);
    std::string out;
    std::string err;
    EXPECT_EQ(GrantAs(kTestUid, UserSession(), std::string(kApp) + "/korvane", &out, &err), 1);
    EXPECT_NE(err.find("korvane-grant: the install holds something other than files and "
                       "directories: korvane\n"),
              std::string::npos)
        << err;
    // Root changed nothing through the link.
    EXPECT_EQ(Sha256::FileHex(kSetuidTarget), target_before);
    EXPECT_EQ(CommandOutput("patchelf --print-rpath /tmp/suid-target"), "");
    EXPECT_EQ(GetCap(kSetuidTarget), "");
    EXPECT_EQ(Facts(kSetuidTarget).mode, 04755u);
    EXPECT_FALSE(FileExists(GrantedDir(kApp)));
    // Nothing half-made is left in the user's directory of grants.
    EXPECT_EQ(
        korvane_test::ListDirectory(std::filesystem::path(GrantedDir(kApp)).parent_path().string()),
        std::vector<std::string>());
  });
}

TEST_F(ElevatedHelperTest, FilesOfTheUserRewrittenDuringThePromptRunNowhere) {
  RunIsolated(Isolation(), [] {
    // At the first prompt a process of the user's rewrites every file of the user's that
    // appeared since the request began (a script root would run, a password-helper wrapper sudo
    // runs again at the next prompt), then answers wrongly; the second prompt answers rightly.
    PrepareUserInstall(
        "n=$(cat /tmp/kvhome/prompts 2>/dev/null || echo 0); n=$((n+1))\n"
        "echo $n > /tmp/kvhome/prompts\n"
        "if [ $n -eq 1 ]; then\n"
        "  find /tmp -xdev -user 4000 -type f -newer /tmp/kvhome/start ! -name prompts "
        "2>/dev/null |\n"
        "  while read -r f; do\n"
        "    printf '#!/bin/sh\\nid -u >> /tmp/pwned\\necho %s\\n' '" +
        std::string(kTestPassword) +
        "' > \"$f\"\n"
        "  done\n"
        "  echo wrong\n"
        "else\n"
        "  " +
        Answer(kTestPassword) + "fi\n");
    WriteFile("/tmp/kvhome/start", "");
    ASSERT_EQ(chown("/tmp/kvhome/start", kTestUid, kTestUid), 0);
    sleep(1);  // -newer compares whole seconds on some file systems
    std::string out;
    std::string err;
    EXPECT_EQ(GrantAs(kTestUid, UserSession(), std::string(kApp) + "/korvane", &out, &err), 0)
        << out << err;
    EXPECT_EQ(ReadFile("/tmp/kvhome/prompts"), "2\n");
    EXPECT_FALSE(FileExists("/tmp/pwned")) << ReadFile("/tmp/pwned");
    EXPECT_EQ(GetCap(GrantedDir(kApp) + "/korvane"),
              GrantedDir(kApp) + "/korvane cap_net_admin=ep");
  });
}

TEST_F(ElevatedHelperTest, LinkPlantedBesideABusyExecutableIsNeverFollowed) {
  RunIsolated(Isolation(), [] {
    PrepareUserInstall(Answer(kTestPassword));
    // The executable is running (busy), and a link waits where a copy of it could be made.
    std::filesystem::copy_file("/bin/sleep", std::string(kApp) + "/korvane",
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(symlink(kSetuidTarget, "/tmp/kvhome/app/korvane.setcap_tmp"), 0);
    const pid_t busy = fork();
    ASSERT_NE(busy, -1);
    if (busy == 0) {
      execl("/tmp/kvhome/app/korvane", "korvane", "100", nullptr);
      _exit(127);
    }
    const std::string target_before = Sha256::FileHex(kSetuidTarget);
    std::string out;
    std::string err;
    EXPECT_EQ(GrantAs(kTestUid, UserSession(), std::string(kApp) + "/korvane", &out, &err), 0)
        << out << err;
    kill(busy, SIGKILL);
    waitpid(busy, nullptr, 0);
    EXPECT_EQ(Sha256::FileHex(kSetuidTarget), target_before);
    EXPECT_EQ(CommandOutput("patchelf --print-rpath /tmp/suid-target"), "");
    EXPECT_EQ(GetCap(kSetuidTarget), "");
  });
}

TEST_F(ElevatedHelperTest, TheUsersPathReachesNoProgramRootRuns) {
  RunIsolated(Isolation(), [] {
    PrepareUserInstall(Answer(kTestPassword));
    // A sudoers without secure_path keeps the user's PATH for the command.
    WriteFile("/etc/sudoers",
              "Defaults env_reset\nroot ALL=(ALL:ALL) ALL\n@includedir /etc/sudoers.d\n", 0440);
    // Programs of the same names early in the user's PATH note who ran them.
    const std::string bin = "/tmp/kvhome/bin";
    std::filesystem::create_directories(bin);
    for (const char* name : {"cat",    "cp",    "mv",  "rm",        "chmod",   "chown",    "find",
                             "mktemp", "mkdir", "tar", "sha256sum", "setpriv", "patchelf", "setcap",
                             "printf", "id",    "env", "sh",        "dash",    "bash"}) {
      WriteScript(bin + "/" + name, std::string("#!/bin/sh\n/usr/bin/id -u >> /tmp/ran-") + name +
                                        "\nPATH=/usr/sbin:/usr/bin:/sbin:/bin exec " + name +
                                        " \"$@\"\n");
    }
    ASSERT_EQ(system("chown -R 4000:4000 /tmp/kvhome/bin"), 0);
    auto session = UserSession();
    session.push_back({"PATH", bin + ":" + getenv("PATH")});
    std::string out;
    std::string err;
    EXPECT_EQ(GrantAs(kTestUid, session, std::string(kApp) + "/korvane", &out, &err), 0)
        << out << err;
    for (const std::string& ran : korvane_test::ListDirectory("/tmp")) {
      if (ran.rfind("ran-", 0) == 0) {
        EXPECT_EQ(ReadFile("/tmp/" + ran).find("0\n"), std::string::npos) << ran << " ran as root";
      }
    }
  });
}

TEST_F(ElevatedHelperTest, LibraryPlantedInTheUsersLibAfterTheGrantIsNeverLoaded) {
  RunIsolated(Isolation(), [] {
    PrepareUserInstall(Answer(kTestPassword));
    std::string out;
    std::string err;
    ASSERT_EQ(GrantAs(kTestUid, UserSession(), std::string(kApp) + "/korvane", &out, &err), 0)
        << out << err;
    // The user's lib/ is the user's to change: an attacker replaces the library there.
    std::filesystem::copy_file(KORVANE_GRANT_PROBE_EVIL_LIB,
                               std::string(kApp) + "/lib/libkorvane_grant_probe.so",
                               std::filesystem::copy_options::overwrite_existing);
    // The capable program (the copy the launcher runs) still loads root's library.
    EXPECT_EQ(OutputAs(kTestUid, GrantedDir(kApp) + "/korvane"),
              std::string("library: genuine\n") + kCapEffNetAdmin + "\n");
    EXPECT_FALSE(FileExists("/tmp/injected")) << ReadFile("/tmp/injected");
    // And the user's own executable carries nothing.
    EXPECT_EQ(OutputAs(kTestUid, std::string(kApp) + "/korvane"),
              "library: injected\nCapEff:\t0000000000000000\n");
  });
}

TEST_F(ElevatedHelperTest, SealedAskpassCannotBeChangedByTheUser) {
  RunIsolated(Isolation(), [] {
    korvane_test::AddTestUser();
    std::string out;
    std::string err;
    const int code = RunAs(
        kTestUid, {},
        [] {
          korvane::SealedAskpass askpass;
          if (!askpass.Start("#!/bin/sh\necho sealed\n")) {
            return 1;
          }
          // Another process of the user's can run it but not change it.
          const pid_t pid = fork();
          if (pid == 0) {
            FILE* file = fopen(askpass.path().c_str(), "w");
            const bool wrote =
                file != nullptr && fputs("#!/bin/sh\necho mine\n", file) >= 0 && fflush(file) == 0;
            _exit(wrote ? 1 : 0);
          }
          int status = 0;
          waitpid(pid, &status, 0);
          printf("%s|%d\n", CommandOutput(askpass.path()).c_str(), WEXITSTATUS(status));
          return 0;
        },
        &out, &err);
    EXPECT_EQ(code, 0) << err;
    EXPECT_EQ(out, "sealed|0\n");
  });
}

TEST_F(ElevatedHelperTest, FallsBackToPkexecWhenSudoFails) {
  RunIsolated(Isolation(), [] {
    // The user mistypes: sudo gives up.
    PrepareUserInstall("echo wrong-password\n");
    korvane_test::InstallPkexec("exit 3");
    std::string out;
    std::string err;
    EXPECT_EQ(GrantAs(kTestUid, UserSession(), std::string(kApp) + "/korvane", &out, &err), 1);
    EXPECT_NE(out.find(std::string(korvane::kPlatformServiceTag) +
                       " Trying sudo -A fallback (askpass: "
                       "/usr/local/bin/zenity)\n[PlatformService] Trying pkexec...\n"),
              std::string::npos)
        << out;
    EXPECT_NE(err.find(std::string(korvane::kPlatformServiceTag) +
                       " sudo -A elevation helper failed with exit code 1\n" +
                       std::string(korvane::kPlatformServiceTag) +
                       " sudo -A failed; trying pkexec fallback\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(std::string(korvane::kPlatformServiceTag) +
                       " pkexec elevation helper failed with exit code 3\n"),
              std::string::npos)
        << err;
    // pkexec got the command as arguments: no file of the user's is run as root.
    const std::vector<std::string> calls = StandInCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], "pkexec /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin /bin/sh -c");
    EXPECT_EQ(ReadFile("/tmp/pkexec-script").rfind("set -eu\numask 022\n", 0), 0u);
    EXPECT_FALSE(FileExists(GrantedDir(kApp)));
  });
}

TEST_F(ElevatedHelperTest, HostilePathsReachTheCommandOnlyAsQuotedValues) {
  RunIsolated(Isolation(), [] {
    korvane_test::PrivateUsrLocalBin();
    // As root, pkexec runs the command for real.
    korvane_test::InstallPkexec("exec \"$@\"");
    const std::vector<std::string> names = {
        "it's", "$(touch pwned)", "a`touch pwned`b", "new\nline", "two words", "';touch pwned;'",
    };
    ASSERT_EQ(chdir("/tmp"), 0);
    setenv("HOME", "/tmp/roothome", 1);
    for (const std::string& name : names) {
      SCOPED_TRACE(name);
      const std::string dir = "/tmp/inj/" + name;
      korvane_test::MakeInstallDir(dir);
      const std::string before = korvane_test::TreeSnapshot("/tmp/inj");
      GrantRequest request;
      request.path = dir + "/korvane";
      request.binary = korvane::CanonicalPath(request.path);
      request.binary_sha256 = Sha256::FileHex(request.path);
      korvane_test::Output output = korvane_test::CaptureOutput([&] {
        EXPECT_TRUE(ElevatedHelper::ElevatedPatchelfAndSetcap(
            request, korvane::ElevationEnvironment::Capture()));
      });
      const std::string granted = GrantedDir(dir, 0);
      EXPECT_EQ(GetCap(granted + "/korvane"), granted + "/korvane cap_net_admin=ep");
      EXPECT_EQ(ReadFile(granted + "/source"), dir);
      EXPECT_EQ(korvane_test::TreeSnapshot("/tmp/inj"), before);
      EXPECT_NE(ReadFile("/tmp/pkexec-script").find("SRC=" + korvane::ShellQuote(dir) + "\n"),
                std::string::npos);
      EXPECT_NE(output.out.find(std::string(korvane::kPlatformServiceTag) + " Trying pkexec...\n"),
                std::string::npos);
    }
    EXPECT_EQ(CommandOutput("find / -xdev -name pwned 2>/dev/null"), "");
  });
}

TEST_F(ElevatedHelperTest, UserNameFromTheEnvironmentGoesIntoTheRuleOnlyWhenItIsALoginName) {
  RunIsolated(Isolation(), [] {
    korvane_test::PrivateUsrLocalBin();
    // A user without a password entry: the name comes from USER. pkexec only records.
    korvane_test::InstallPkexec("exit 1");
    const uid_t kNoEntry = 4242;
    ASSERT_EQ(CommandOutput("getent passwd 4242"), "");
    const std::string dir = "/tmp/u/app";
    korvane_test::MakeInstallDir(dir, "", kNoEntry);
    struct Case {
      std::string user;
      bool rule;
    };
    const Case cases[] = {
        {"alice", true},
        {"a\"b", false},
        {"x\nPOLKIT_EOF\ntouch /tmp/pwned\ncat <<'POLKIT_EOF'", false},
        {"POLKIT_EOF", true},
        {"q'uote", false},
        {"", false},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.user);
      unlink("/tmp/pkexec-script");
      std::string out;
      std::string err;
      GrantAs(kNoEntry, {{"HOME", "/tmp/u"}, {"USER", c.user}}, dir + "/korvane", &out, &err);
      const std::string script = ReadFile("/tmp/pkexec-script");
      ASSERT_FALSE(script.empty()) << err;
      EXPECT_EQ(script.find("POLKIT_EOF") != std::string::npos, c.rule) << script;
      if (c.rule) {
        EXPECT_NE(script.find("subject.user == \"" + c.user + "\" &&"), std::string::npos);
      }
      const bool said = err.find(std::string(korvane::kPlatformServiceTag) +
                                 " Leaving out the polkit rule: the user name "
                                 "is not a plain login name\n") != std::string::npos;
      EXPECT_EQ(said, !c.rule && !c.user.empty()) << err;
    }
    EXPECT_FALSE(FileExists("/tmp/pwned"));
  });
}

TEST_F(ElevatedHelperTest, PolkitRuleIsWholeWhenTheGrantReturns) {
  RunIsolated(Isolation(), [] {
    korvane_test::PrivateUsrLocalBin();
    korvane_test::InstallPkexec("exec \"$@\"");
    setenv("HOME", "/tmp/roothome", 1);
    // Writing the rule takes a while after the capability is on the copy.
    std::filesystem::copy_file("/usr/bin/cat", "/tmp/real-cat");
    WriteScript("/tmp/slow-cat", "#!/bin/sh\nsleep 2\nexec /tmp/real-cat \"$@\"\n");
    ASSERT_EQ(mount("/tmp/slow-cat", "/usr/bin/cat", nullptr, MS_BIND, nullptr), 0);
    korvane_test::MakeInstallDir("/tmp/r");
    GrantRequest request;
    request.path = "/tmp/r/korvane";
    request.binary = korvane::CanonicalPath(request.path);
    request.binary_sha256 = Sha256::FileHex(request.path);
    korvane_test::Output output = korvane_test::CaptureOutput([&] {
      EXPECT_TRUE(ElevatedHelper::ElevatedPatchelfAndSetcap(
          request, korvane::ElevationEnvironment::Capture()));
    });
    const std::string rule = ReadFile(kRulePath);
    ASSERT_GE(rule.size(), 4u) << output.out << output.err;
    EXPECT_EQ(rule.substr(rule.size() - 4), "});\n");
    EXPECT_NE(rule.find("subject.user == \"root\""), std::string::npos);
  });
}

TEST_F(ElevatedHelperTest, RefusalsStartNothingAndWriteNothing) {
  RunIsolated(Isolation(), [] {
    korvane_test::PrivateUsrLocalBin();
    korvane_test::InstallPkexec("exec \"$@\"");
    setenv("HOME", "/tmp/roothome", 1);
    korvane_test::MakeInstallDir("/tmp/nolib");
    std::filesystem::remove("/tmp/nolib/lib");
    korvane_test::MakeInstallDir("/tmp/linklib");
    std::filesystem::remove("/tmp/linklib/lib");
    std::filesystem::create_directories("/tmp/open");
    ASSERT_EQ(chmod("/tmp/open", 0777), 0);
    ASSERT_EQ(symlink("/tmp/open", "/tmp/linklib/lib"), 0);
    ASSERT_EQ(symlink("loop", "/tmp/loop"), 0);
    korvane_test::MakeInstallDir("/tmp/ok");
    struct Case {
      const char* path;
      const char* hide;
      std::string err;
    };
    const Case cases[] = {
        {"/tmp/nolib/korvane", nullptr,
         std::string(korvane::kPlatformServiceTag) +
             " lib directory missing: \"/tmp/nolib/lib\"\n"},
        // A lib that is a link to a directory anybody can write.
        {"/tmp/linklib/korvane", nullptr,
         std::string(korvane::kPlatformServiceTag) +
             " lib directory missing: \"/tmp/linklib/lib\"\n"},
        {"/tmp/loop/korvane", nullptr,
         std::string(korvane::kPlatformServiceTag) +
             " Cannot resolve binary for elevated ops: /tmp/loop/korvane\n"},
        {"/tmp/ok/korvane", "/usr/sbin/setcap",
         std::string(korvane::kPlatformServiceTag) + " setcap not found\n"},
        // The copy cannot start with the capability without its own run path.
        {"/tmp/ok/korvane", "/usr/bin/patchelf",
         std::string(korvane::kPlatformServiceTag) + " patchelf not found\n"},
        {"/tmp/ok/korvane", "/usr/bin/setpriv",
         std::string(korvane::kPlatformServiceTag) + " setpriv not found\n"},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.err);
      if (c.hide != nullptr) {
        korvane_test::HideProgram(c.hide);
      }
      GrantRequest request;
      request.path = c.path;
      request.binary = korvane::CanonicalPath(request.path);
      request.binary_sha256 = std::string(64, 'a');
      korvane_test::Output output = korvane_test::CaptureOutput([&] {
        EXPECT_FALSE(ElevatedHelper::ElevatedPatchelfAndSetcap(
            request, korvane::ElevationEnvironment::Capture()));
      });
      EXPECT_EQ(output.err, c.err);
      EXPECT_EQ(output.out, "");
      if (c.hide != nullptr) {
        ASSERT_EQ(umount(c.hide), 0);
      }
    }
    EXPECT_TRUE(StandInCalls().empty());
    EXPECT_FALSE(FileExists("/var/lib/korvane"));
  });
}

// A granted directory in place for `sha256` (made by hand, as root's command would).
std::string FakeGrant(const std::string& sha256) {
  const std::string dir = std::string(korvane::kGrantedRoot) + "/0/fake";
  std::filesystem::create_directories(dir);
  std::filesystem::copy_file("/bin/true", dir + "/korvane",
                             std::filesystem::copy_options::overwrite_existing);
  WriteFile(dir + "/sha256", sha256 + "\n");
  EXPECT_EQ(system(("setcap cap_net_admin+ep " + dir + "/korvane").c_str()), 0);
  return dir;
}

pid_t StartShell(const std::string& script) {
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", script.c_str(), nullptr);
    _exit(127);
  }
  return pid;
}

// A child whose standard output is a pipe, as the helpers are started.
pid_t StartShellWithOutput(const std::string& script, int* output_fd) {
  int fds[2];
  if (pipe(fds) != 0) {
    return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    execl("/bin/sh", "sh", "-c", script.c_str(), nullptr);
    _exit(127);
  }
  close(fds[1]);
  *output_fd = fds[0];
  return pid;
}

bool Reaped(pid_t pid) {
  return waitpid(pid, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

TEST_F(ElevatedHelperTest, WaitFollowsTheHelperAndItsLastLine) {
  RunIsolated(Isolation(), [] {
    const std::string sha = std::string(64, 'b');
    const std::string none = std::string(korvane::kGrantedRoot) + "/0/none";
    ElevatedHelper::SetWaitRoundsForTesting(20, 20, 10);

    // A helper that never exits is terminated when the (shortened) wait is over.
    pid_t pid = StartShell("exec sleep 1000");
    bool granted = true;
    korvane_test::Output output = korvane_test::CaptureOutput(
        [&] { granted = ElevatedHelper::WaitForSetcapOrCapability(pid, -1, none, sha, "test"); });
    EXPECT_FALSE(granted);
    EXPECT_EQ(output.err, std::string(korvane::kPlatformServiceTag) +
                              " test timed out waiting for helper completion or capability\n");
    EXPECT_TRUE(Reaped(pid));

    // The capability on the copy does not end the helper early: root's command may still be
    // writing the polkit rule. Only the wait's end does.
    const std::string grant = FakeGrant(sha);
    pid = StartShell("exec sleep 1000");
    output = korvane_test::CaptureOutput(
        [&] { granted = ElevatedHelper::WaitForSetcapOrCapability(pid, -1, grant, sha, "early"); });
    EXPECT_TRUE(granted);
    EXPECT_EQ(output.err, std::string(korvane::kPlatformServiceTag) +
                              " early timed out waiting for helper completion or capability\n");
    EXPECT_EQ(output.out, "");

    // Once the command's last line came, a lingering helper is ended after a short grace.
    ElevatedHelper::SetWaitRoundsForTesting(1800, 20, 10);
    int output_fd = -1;
    pid = StartShellWithOutput(
        std::string("echo step one; echo '") + korvane::kGrantDoneLine + "'; exec sleep 1000",
        &output_fd);
    output = korvane_test::CaptureOutput([&] {
      granted = ElevatedHelper::WaitForSetcapOrCapability(pid, output_fd, grant, sha, "done");
    });
    close(output_fd);
    EXPECT_TRUE(granted);
    EXPECT_EQ(output.out, "step one\n" + std::string(korvane::kPlatformServiceTag) +
                              " done observed CAP_NET_ADMIN on disk before helper exit\n");
    EXPECT_TRUE(Reaped(pid));

    // Exit codes and signals, with the output relayed.
    struct Case {
      std::string script;
      std::string grant_dir;
      bool granted;
      const char* out;
      std::string err;
    };
    const Case cases[] = {
        {"echo said; exit 5", grant, false, "said\n",
         std::string(korvane::kPlatformServiceTag) + " code helper failed with exit code 5\n"},
        {"kill -KILL $$", grant, false, "",
         std::string(korvane::kPlatformServiceTag) + " code helper failed with exit code -1\n"},
        {"printf 'no newline'; exit 0", none, false, "no newline\n",
         std::string(korvane::kPlatformServiceTag) +
             " code helper exited successfully but capability verification failed "
             "for /var/lib/korvane/granted/0/none/korvane\n"},
        {"exit 0", grant, true, "", ""},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.script);
      pid = StartShellWithOutput(c.script, &output_fd);
      output = korvane_test::CaptureOutput([&] {
        granted =
            ElevatedHelper::WaitForSetcapOrCapability(pid, output_fd, c.grant_dir, sha, "code");
      });
      close(output_fd);
      EXPECT_EQ(granted, c.granted);
      EXPECT_EQ(output.out, c.out);
      EXPECT_EQ(output.err, c.err);
    }
    // A grant of another digest is not this grant.
    pid = StartShell("exit 0");
    output = korvane_test::CaptureOutput([&] {
      granted =
          ElevatedHelper::WaitForSetcapOrCapability(pid, -1, grant, std::string(64, 'c'), "other");
    });
    EXPECT_FALSE(granted);
    // A pid that is no child of ours.
    output = korvane_test::CaptureOutput([&] {
      granted = ElevatedHelper::WaitForSetcapOrCapability(1, -1, grant, sha, "stranger");
    });
    EXPECT_FALSE(granted);
    EXPECT_EQ(output.err, std::string(korvane::kPlatformServiceTag) +
                              " waitpid failed for stranger: No child processes\n");
  });
}

TEST_F(ElevatedHelperTest, HelperOfAnotherUserIsAbandonedAndStillReaped) {
  RunIsolated(Isolation(), [] {
    ElevatedHelper::SetWaitRoundsForTesting(10, 5, 5);
    int hold[2];
    ASSERT_EQ(pipe(hold), 0);
    // A helper running as another user, as a root-owned sudo would be.
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
      close(hold[1]);
      dup2(hold[0], 0);
      if (setresgid(4300, 4300, 4300) != 0 || setresuid(4300, 4300, 4300) != 0) {
        _exit(126);
      }
      // Ends when the test closes its end of the pipe.
      execl("/bin/sh", "sh", "-c", "read x", nullptr);
      _exit(127);
    }
    close(hold[0]);
    // The waiting process is an ordinary user that cannot signal the helper.
    ASSERT_EQ(setresgid(65534, 65534, 65534), 0);
    ASSERT_EQ(setresuid(65534, 65534, 65534), 0);
    korvane_test::Output output =
        korvane_test::CaptureOutput([&] { ElevatedHelper::TerminateHelperProcess(pid); });
    const std::string id = std::to_string(pid);
    EXPECT_EQ(output.err,
              std::string(korvane::kPlatformServiceTag) + " Failed to SIGTERM helper pid " + id +
                  ": Operation not permitted\n" + std::string(korvane::kPlatformServiceTag) +
                  " Failed to SIGKILL helper pid " + id + ": Operation not permitted\n" +
                  std::string(korvane::kPlatformServiceTag) + " Abandoning unreapable helper pid " +
                  id + " (likely root-owned)\n");
    // When it ends by itself it is reaped: no zombie stays behind.
    close(hold[1]);
    bool gone = false;
    for (int round = 0; round < 300 && !gone; ++round) {
      gone = kill(pid, 0) == -1 && errno == ESRCH;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(gone) << "the helper was left a zombie";
  });
}

TEST_F(ElevatedHelperTest, FindAskpassTakesTheFirstInstalledHelper) {
  RunIsolated(Isolation(), [] {
    korvane_test::PrivateUsrLocalBin();
    EXPECT_EQ(ElevatedHelper::FindAskpass(), "");
    WriteScript("/usr/local/bin/Xdialog", "#!/bin/sh\n");
    EXPECT_EQ(ElevatedHelper::FindAskpass(), "/usr/local/bin/Xdialog");
    WriteScript("/usr/local/bin/yad", "#!/bin/sh\n");
    EXPECT_EQ(ElevatedHelper::FindAskpass(), "/usr/local/bin/yad");
    // Present but not executable: passed over.
    WriteFile("/usr/local/bin/zenity", "#!/bin/sh\n", 0644);
    EXPECT_EQ(ElevatedHelper::FindAskpass(), "/usr/local/bin/yad");
  });
}

}  // namespace
