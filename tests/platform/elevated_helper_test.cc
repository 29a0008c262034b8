// The elevated helper with the real sudo, setcap, getcap and patchelf inside private mount
// namespaces: the grant for an ordinary user, the pkexec fallback, hostile paths and user names,
// the helper directory rules, and the waits that end a helper.

#include "platform/elevated_helper.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/elevation_script.h"
#include "tests/platform/elevation_test_support.h"
#include "tests/platform/namespace_helper.h"

namespace {

using korvane_test::CommandOutput;
using korvane_test::FileExists;
using korvane_test::GetCap;
using korvane_test::Isolation;
using korvane_test::kTestHome;
using korvane_test::kTestUid;
using korvane_test::kTestUser;
using korvane_test::ReadFile;
using korvane_test::RunAs;
using korvane_test::RunIsolated;
using korvane_test::StandInCalls;

constexpr char kRulePath[] = "/etc/polkit-1/rules.d/90-korvane-resolved.rules";

// The host returns once the capability is on disk; the root script, which it may not be able to
// signal, writes the polkit rule after that. Waits for the whole rule (or gives up after 30 s).
std::string WaitForWholeRule() {
  std::string rule;
  for (int round = 0; round < 300; ++round) {
    rule = korvane_test::FileExists(kRulePath) ? korvane_test::ReadFile(kRulePath) : "";
    if (rule.size() >= 4 && rule.compare(rule.size() - 4, 4, "});\n") == 0) {
      break;
    }
    usleep(100 * 1000);
  }
  return rule;
}

// A tree snapshot without the line of `path`.
std::string WithoutEntry(std::string snapshot, const std::string& path) {
  const std::string prefix = path + " ";
  const size_t at = snapshot.find(prefix);
  if (at != std::string::npos) {
    snapshot.erase(at, snapshot.find('\n', at + prefix.size()) - at + 1);
  }
  return snapshot;
}

class ElevatedHelperTest : public ::testing::Test {
 protected:
  void TearDown() override { ElevatedHelper::ResetForTesting(); }
};

// The environment of a session of the test user.
std::vector<std::pair<std::string, std::string>> UserSession() {
  return {{"HOME", kTestHome},
          {"USER", kTestUser},
          {"XDG_RUNTIME_DIR", std::string(kTestHome) + "/run"},
          {"TMPDIR", "/tmp"}};
}

std::vector<std::string> HelperScriptsLeft() {
  std::vector<std::string> left;
  for (const char* dir :
       {"/tmp/kvhome/run/korvane-helper-scripts", "/tmp/kvhome/.cache/korvane/helper-scripts",
        "/tmp/roothome/.cache/korvane/helper-scripts", "/tmp/korvane-0-helper-scripts",
        "/tmp/korvane-4000-helper-scripts"}) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
      left.push_back(entry.path().string());
    }
  }
  return left;
}

TEST_F(ElevatedHelperTest, OrdinaryUserGetsTheGrantThroughSudo) {
  RunIsolated(Isolation(), [] {
    korvane_test::AddTestUser();
    korvane_test::PrivateUsrLocalBin();
    // A password helper where the host looks for one; it answers the user's password.
    korvane_test::WriteScript("/usr/local/bin/zenity", std::string("#!/bin/sh\necho '") +
                                                           korvane_test::kTestPassword + "'\n");
    korvane_test::InstallPkexec("exit 1");
    // A copy of the bundle's executable, owned by the user.
    const std::string dir = "/tmp/kvhome/bundle";
    korvane_test::MakeInstallDir(dir, "", kTestUid);
    std::filesystem::copy_file(std::string(getenv("KORVANE_BUNDLE_DIR")) + "/korvane",
                               dir + "/korvane", std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(chown((dir + "/korvane").c_str(), kTestUid, kTestUid), 0);
    std::filesystem::create_directories("/tmp/kvhome/run");
    ASSERT_EQ(chown("/tmp/kvhome/run", kTestUid, kTestUid), 0);
    ASSERT_EQ(chmod("/tmp/kvhome/run", 0700), 0);

    std::string out;
    std::string err;
    const int granted = RunAs(
        kTestUid, UserSession(),
        [&] { return ElevatedHelper::ElevatedPatchelfAndSetcap(dir + "/korvane") ? 0 : 1; }, &out,
        &err);
    EXPECT_EQ(granted, 0) << out << err;
    // Then the script's own words, and the wait may see the capability before sudo ends.
    EXPECT_EQ(
        out.rfind("[PlatformService] Running elevated patchelf+setcap\n"
                  "[PlatformService]   binary:  \"" +
                      dir +
                      "/korvane\"\n"
                      "[PlatformService]   wrapper: (not found)\n"
                      "[PlatformService]   rpath:   \"" +
                      dir +
                      "/lib\"\n"
                      "[PlatformService] Trying sudo -A fallback (askpass: /usr/local/bin/zenity)\n"
                      "korvane-cap-wrapper not found, using main binary (tray may not work)\n",
                  0),
        0u)
        << out;
    EXPECT_EQ(GetCap(dir + "/korvane"), dir + "/korvane cap_net_admin=ep");
    EXPECT_EQ(CommandOutput("patchelf --print-rpath " + dir + "/korvane"), dir + "/lib");
    const std::string rule = WaitForWholeRule();
    EXPECT_NE(rule.find("      subject.user == \"kvtest\" &&\n"), std::string::npos) << rule;
    EXPECT_EQ(rule.rfind("polkit.addRule(function(action, subject) {\n", 0), 0u) << rule;
    // pkexec was not needed, and nothing of the run is left.
    EXPECT_TRUE(StandInCalls().empty());
    EXPECT_TRUE(HelperScriptsLeft().empty());
    EXPECT_FALSE(FileExists(dir + "/korvane.setcap_tmp"));
  });
}

TEST_F(ElevatedHelperTest, FallsBackToPkexecWhenSudoFails) {
  RunIsolated(Isolation(), [] {
    korvane_test::AddTestUser();
    korvane_test::PrivateUsrLocalBin();
    // The user mistypes: sudo gives up.
    korvane_test::WriteScript("/usr/local/bin/kdialog", "#!/bin/sh\necho wrong-password\n");
    korvane_test::InstallPkexec("exit 3");
    const std::string dir = "/tmp/kvhome/app";
    korvane_test::MakeInstallDir(dir, "", kTestUid);
    std::filesystem::create_directories("/tmp/kvhome/run");
    ASSERT_EQ(chown("/tmp/kvhome/run", kTestUid, kTestUid), 0);

    std::string out;
    std::string err;
    const int granted = RunAs(
        kTestUid, UserSession(),
        [&] { return ElevatedHelper::ElevatedPatchelfAndSetcap(dir + "/korvane") ? 0 : 1; }, &out,
        &err);
    EXPECT_EQ(granted, 1);
    EXPECT_NE(out.find("[PlatformService] Trying sudo -A fallback (askpass: "
                       "/usr/local/bin/kdialog)\n[PlatformService] Trying pkexec...\n"),
              std::string::npos)
        << out;
    EXPECT_NE(err.find("[PlatformService] sudo -A elevation helper failed with exit code 1\n"
                       "[PlatformService] sudo -A failed; trying pkexec fallback\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("[PlatformService] pkexec elevation helper failed with exit code 3\n"),
              std::string::npos)
        << err;
    // pkexec got the elevation script itself, in the private directory.
    const std::vector<std::string> calls = StandInCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].rfind("pkexec /tmp/kvhome/run/korvane-helper-scripts/elevate.", 0), 0u)
        << calls[0];
    EXPECT_EQ(
        ReadFile("/tmp/pkexec-script")
            .rfind("#!/bin/sh\nset -e\nBINARY='" + dir + "/korvane'; SETCAP='/usr/sbin/setcap'; ",
                   0),
        0u);
    EXPECT_EQ(GetCap(dir + "/korvane"), "");
    EXPECT_TRUE(HelperScriptsLeft().empty());
  });
}

TEST_F(ElevatedHelperTest, HostilePathsReachTheScriptOnlyAsQuotedValues) {
  RunIsolated(Isolation(), [] {
    korvane_test::PrivateUsrLocalBin();
    // As root, pkexec runs the script for real.
    korvane_test::InstallPkexec("exec /bin/sh \"$1\"");
    const std::vector<std::string> names = {
        "it's", "$(touch pwned)", "a`touch pwned`b", "new\nline", "two words", "';touch pwned;'",
    };
    ASSERT_EQ(chdir("/tmp"), 0);
    setenv("HOME", "/tmp/roothome", 1);
    setenv("XDG_RUNTIME_DIR", "/tmp/root-run", 1);
    for (const std::string& name : names) {
      SCOPED_TRACE(name);
      const std::string dir = "/tmp/inj/" + name;
      korvane_test::MakeInstallDir(dir);
      const std::string before_tmp = korvane_test::TreeSnapshot("/tmp/inj");
      const std::string before_etc = korvane_test::TreeSnapshot("/etc/polkit-1");
      korvane_test::ClearStandInCalls();
      korvane_test::Output output = korvane_test::CaptureOutput(
          [&] { EXPECT_TRUE(ElevatedHelper::ElevatedPatchelfAndSetcap(dir + "/korvane")); });
      const std::string binary = dir + "/korvane";
      EXPECT_EQ(GetCap(binary), binary + " cap_net_admin=ep");
      EXPECT_EQ(CommandOutput("patchelf --print-rpath " + korvane::ShellQuote(binary)),
                dir + "/lib");
      // Only the executable changed below the install directories, and only the rule in /etc.
      const std::string after_tmp = korvane_test::TreeSnapshot("/tmp/inj");
      EXPECT_NE(after_tmp, before_tmp);
      EXPECT_EQ(WithoutEntry(after_tmp, binary), WithoutEntry(before_tmp, binary));
      const std::string after_etc = korvane_test::TreeSnapshot("/etc/polkit-1");
      EXPECT_EQ(WithoutEntry(after_etc, kRulePath), WithoutEntry(before_etc, kRulePath));
      EXPECT_NE(WaitForWholeRule().find("subject.user == \"root\""), std::string::npos);
      // The script carried the path single-quoted.
      EXPECT_NE(ReadFile("/tmp/pkexec-script").find("BINARY=" + korvane::ShellQuote(binary) + "; "),
                std::string::npos);
      EXPECT_NE(output.out.find("[PlatformService] Trying pkexec...\n"), std::string::npos);
    }
    EXPECT_FALSE(FileExists("/tmp/pwned"));
    EXPECT_FALSE(FileExists("/pwned"));
    EXPECT_EQ(CommandOutput("find /tmp /etc/polkit-1 -name pwned"), "");
    EXPECT_TRUE(HelperScriptsLeft().empty());
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
    std::filesystem::create_directories("/tmp/u/home");
    ASSERT_EQ(chown("/tmp/u/home", kNoEntry, kNoEntry), 0);
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
      RunAs(
          kNoEntry,
          {{"HOME", "/tmp/u/home"}, {"USER", c.user}, {"XDG_RUNTIME_DIR", korvane_test::kUnset}},
          [&] { return ElevatedHelper::ElevatedPatchelfAndSetcap(dir + "/korvane") ? 0 : 1; }, &out,
          &err);
      const std::string script = ReadFile("/tmp/pkexec-script");
      ASSERT_FALSE(script.empty()) << err;
      EXPECT_EQ(script.find("POLKIT_EOF") != std::string::npos, c.rule) << script;
      if (c.rule) {
        EXPECT_NE(script.find("subject.user == \"" + c.user + "\" &&"), std::string::npos);
      }
      const bool said = err.find(
                            "[PlatformService] Leaving out the polkit rule: the user name "
                            "is not a plain login name\n") != std::string::npos;
      EXPECT_EQ(said, !c.rule && !c.user.empty()) << err;
    }
    EXPECT_FALSE(FileExists("/tmp/pwned"));
  });
}

TEST_F(ElevatedHelperTest, ScriptShapesFollowWhatIsInstalled) {
  RunIsolated(Isolation(), [] {
    korvane_test::PrivateUsrLocalBin();
    korvane_test::InstallPkexec("exec /bin/sh \"$1\"");
    setenv("HOME", "/tmp/roothome", 1);
    unsetenv("XDG_RUNTIME_DIR");

    // An executable wrapper: it gets the capability, the binary loses its own.
    korvane_test::MakeInstallDir("/tmp/w");
    std::filesystem::copy_file("/bin/true", "/tmp/w/korvane-cap-wrapper");
    ASSERT_EQ(system("setcap cap_net_admin+ep /tmp/w/korvane"), 0);
    korvane_test::Output wrapped = korvane_test::CaptureOutput(
        [] { EXPECT_TRUE(ElevatedHelper::ElevatedPatchelfAndSetcap("/tmp/w/korvane")); });
    EXPECT_EQ(GetCap("/tmp/w/korvane-cap-wrapper"), "/tmp/w/korvane-cap-wrapper cap_net_admin=eip");
    EXPECT_EQ(GetCap("/tmp/w/korvane"), "");
    EXPECT_NE(wrapped.out.find("[PlatformService]   wrapper: \"/tmp/w/korvane-cap-wrapper\"\n"),
              std::string::npos)
        << wrapped.out;

    // A wrapper that is a regular file but not executable: the binary gets the capability while
    // the wrapper is tested, so the grant fails.
    korvane_test::MakeInstallDir("/tmp/n");
    korvane_test::WriteFile("/tmp/n/korvane-cap-wrapper", "not a program", 0644);
    bool granted = true;
    korvane_test::Output unusable = korvane_test::CaptureOutput(
        [&] { granted = ElevatedHelper::ElevatedPatchelfAndSetcap("/tmp/n/korvane"); });
    EXPECT_FALSE(granted);
    EXPECT_EQ(GetCap("/tmp/n/korvane"), "/tmp/n/korvane cap_net_admin=ep");
    EXPECT_NE(unusable.err.find("[PlatformService] pkexec elevation helper exited successfully but "
                                "capability verification failed for /tmp/n/korvane-cap-wrapper\n"),
              std::string::npos)
        << unusable.err;

    // No patchelf: no run path segment, the capability is still granted.
    korvane_test::HideProgram("/usr/bin/patchelf");
    korvane_test::MakeInstallDir("/tmp/p");
    korvane_test::Output plain = korvane_test::CaptureOutput(
        [] { EXPECT_TRUE(ElevatedHelper::ElevatedPatchelfAndSetcap("/tmp/p/korvane")); });
    EXPECT_NE(plain.out.find("korvane-cap-wrapper not found, using main binary (tray may not "
                             "work)\n"),
              std::string::npos)
        << plain.out;
    EXPECT_EQ(ReadFile("/tmp/pkexec-script").find("PATCHELF"), std::string::npos);
    EXPECT_EQ(GetCap("/tmp/p/korvane"), "/tmp/p/korvane cap_net_admin=ep");
    EXPECT_EQ(CommandOutput("readelf -d /tmp/p/korvane | grep -c -E 'RPATH|RUNPATH'"), "0");
    EXPECT_TRUE(HelperScriptsLeft().empty());
  });
}

TEST_F(ElevatedHelperTest, RefusalsStartNothingAndWriteNothing) {
  RunIsolated(Isolation(), [] {
    korvane_test::PrivateUsrLocalBin();
    korvane_test::InstallPkexec("exec /bin/sh \"$1\"");
    setenv("HOME", "/tmp/roothome", 1);
    setenv("XDG_RUNTIME_DIR", "/tmp/rr", 1);
    korvane_test::MakeInstallDir("/tmp/nolib");
    std::filesystem::remove("/tmp/nolib/lib");
    ASSERT_EQ(symlink("loop", "/tmp/loop"), 0);
    struct Case {
      const char* path;
      const char* err;
    };
    const Case cases[] = {
        {"/tmp/nolib/korvane", "[PlatformService] lib directory missing: \"/tmp/nolib/lib\"\n"},
        {"/tmp/loop/korvane",
         "[PlatformService] Cannot resolve binary for elevated ops: /tmp/loop/korvane\n"},
    };
    for (const Case& c : cases) {
      korvane_test::Output output = korvane_test::CaptureOutput(
          [&] { EXPECT_FALSE(ElevatedHelper::ElevatedPatchelfAndSetcap(c.path)); });
      EXPECT_EQ(output.err, c.err);
      EXPECT_EQ(output.out, "");
    }
    // Without setcap anywhere.
    korvane_test::MakeInstallDir("/tmp/ok");
    korvane_test::HideProgram("/usr/sbin/setcap");
    korvane_test::Output output = korvane_test::CaptureOutput(
        [] { EXPECT_FALSE(ElevatedHelper::ElevatedPatchelfAndSetcap("/tmp/ok/korvane")); });
    EXPECT_EQ(output.err, "[PlatformService] setcap not found\n");
    EXPECT_TRUE(StandInCalls().empty());
    EXPECT_FALSE(FileExists("/tmp/rr"));
    EXPECT_EQ(GetCap("/tmp/ok/korvane"), "");
  });
}

TEST_F(ElevatedHelperTest, HelperDirectoryRules) {
  RunIsolated(Isolation(), [] {
    korvane_test::AddTestUser();
    // A private directory of the user's, and runtime directories that must not be used.
    std::filesystem::create_directories("/tmp/kvhome/private");
    ASSERT_EQ(chown("/tmp/kvhome/private", kTestUid, kTestUid), 0);
    ASSERT_EQ(chmod("/tmp/kvhome/private", 0700), 0);
    std::filesystem::create_directories("/tmp/other/korvane-helper-scripts");
    ASSERT_EQ(chown("/tmp/other/korvane-helper-scripts", 65534, 65534), 0);
    ASSERT_EQ(chmod("/tmp/other/korvane-helper-scripts", 0777), 0);
    std::filesystem::create_directories("/tmp/foreign");
    ASSERT_EQ(chown("/tmp/foreign", 65534, 65534), 0);
    ASSERT_EQ(chmod("/tmp/foreign", 0777), 0);
    std::filesystem::create_directories("/tmp/shared");
    ASSERT_EQ(chown("/tmp/shared", kTestUid, kTestUid), 0);
    ASSERT_EQ(chmod("/tmp/shared", 0770), 0);

    const std::string next = "/tmp/kvhome/.cache/korvane/helper-scripts/probe.";
    struct Case {
      const char* what;
      std::string runtime_dir;
      std::string err;
    };
    const Case cases[] = {
        // Someone else's directory: the user cannot make it private.
        {"owned by someone else", "/tmp/other",
         "[PlatformService] Failed to chmod helper directory "
         "\"/tmp/other/korvane-helper-scripts\": Operation not permitted\n"},
        // A runtime directory of someone else's that lets anybody in: the owner could swap the
        // candidate between the check and the run.
        {"runtime directory of someone else", "/tmp/foreign",
         "[PlatformService] Refusing unsafe helper directory: "
         "\"/tmp/foreign/korvane-helper-scripts\"\n"},
        // The candidate itself is a link to a private directory.
        {"symbolic link", "/tmp/kvhome/linked-parent",
         "[PlatformService] Refusing unsafe helper directory: "
         "\"/tmp/kvhome/linked-parent/korvane-helper-scripts\"\n"},
        // Its parent lets the group rename it.
        {"group-writable parent", "/tmp/shared",
         "[PlatformService] Refusing unsafe helper directory: "
         "\"/tmp/shared/korvane-helper-scripts\"\n"},
        // Not creatable at all.
        {"root's directory", "/root",
         "[PlatformService] Failed to create helper directory "
         "\"/root/korvane-helper-scripts\": Permission denied\n"},
    };
    std::filesystem::create_directories("/tmp/kvhome/linked-parent");
    ASSERT_EQ(chown("/tmp/kvhome/linked-parent", kTestUid, kTestUid), 0);
    ASSERT_EQ(symlink("/tmp/kvhome/private", "/tmp/kvhome/linked-parent/korvane-helper-scripts"),
              0);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      std::string out;
      std::string err;
      const int code = RunAs(
          kTestUid, {{"HOME", kTestHome}, {"XDG_RUNTIME_DIR", c.runtime_dir}},
          [&] {
            const std::string written =
                ElevatedHelper::WritePrivateHelperScript("probe", "#!/bin/sh\necho hi\n");
            printf("%s", written.c_str());
            return written.empty() ? 1 : 0;
          },
          &out, &err);
      EXPECT_EQ(code, 0);
      EXPECT_EQ(err, c.err);
      // The next candidate took the script: private, the user's, exactly the content.
      EXPECT_EQ(out.rfind(next, 0), 0u) << out;
      struct stat info;
      ASSERT_EQ(lstat(out.c_str(), &info), 0);
      EXPECT_EQ(info.st_uid, kTestUid);
      EXPECT_EQ(info.st_mode & 07777, 0700u);
      EXPECT_TRUE(S_ISREG(info.st_mode));
      EXPECT_EQ(ReadFile(out), "#!/bin/sh\necho hi\n");
      ASSERT_EQ(lstat("/tmp/kvhome/.cache/korvane/helper-scripts", &info), 0);
      EXPECT_EQ(info.st_mode & 07777, 0700u);
      unlink(out.c_str());
    }
    // The link's target was not touched, and the foreign directory kept its mode.
    struct stat info;
    ASSERT_EQ(stat("/tmp/other/korvane-helper-scripts", &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0777u);
    EXPECT_TRUE(std::filesystem::is_empty("/tmp/kvhome/private"));

    // As root a directory of another owner can be chmodded, but is still not root's own.
    setenv("XDG_RUNTIME_DIR", "/tmp/other", 1);
    setenv("HOME", "/tmp/roothome", 1);
    korvane_test::Output root = korvane_test::CaptureOutput([] {
      const std::string written = ElevatedHelper::WritePrivateHelperScript("probe", "x");
      EXPECT_EQ(written.rfind("/tmp/roothome/.cache/korvane/helper-scripts/probe.", 0), 0u)
          << written;
      unlink(written.c_str());
    });
    EXPECT_EQ(root.err,
              "[PlatformService] Refusing unsafe helper directory: "
              "\"/tmp/other/korvane-helper-scripts\"\n");
  });
}

TEST_F(ElevatedHelperTest, WaitEndsHelpersThatDoNotFinish) {
  RunIsolated(Isolation(), [] {
    ElevatedHelper::SetWaitRoundsForTesting(20, 20, 10);
    korvane_test::MakeInstallDir("/tmp/t");

    // A helper that never exits is terminated when the (shortened) wait is over.
    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
      execl("/bin/sleep", "sleep", "1000", nullptr);
      _exit(127);
    }
    const auto start = std::chrono::steady_clock::now();
    bool granted = true;
    korvane_test::Output output = korvane_test::CaptureOutput([&] {
      granted = ElevatedHelper::WaitForSetcapOrCapability(pid, "/tmp/t/korvane", "test");
    });
    EXPECT_FALSE(granted);
    EXPECT_EQ(output.err,
              "[PlatformService] test timed out waiting for helper completion or capability\n");
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1) << "the helper was not reaped";
    // Twenty rounds and the reaping, far below the product's three minutes.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));

    // The capability appearing ends the wait at once, and the helper with it.
    pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
      execl("/bin/sh", "sh", "-c", "setcap cap_net_admin+ep /tmp/t/korvane; exec sleep 1000",
            nullptr);
      _exit(127);
    }
    ElevatedHelper::SetWaitRoundsForTesting(1800, 20, 10);
    output = korvane_test::CaptureOutput([&] {
      granted = ElevatedHelper::WaitForSetcapOrCapability(pid, "/tmp/t/korvane", "early");
    });
    EXPECT_TRUE(granted);
    EXPECT_EQ(output.out,
              "[PlatformService] early observed CAP_NET_ADMIN on disk before helper exit\n");
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);

    // Exit codes and signals.
    struct Case {
      const char* script;
      bool granted;
      const char* err;
    };
    ASSERT_EQ(system("setcap -r /tmp/t/korvane"), 0);
    const Case cases[] = {
        {"exit 5", false, "[PlatformService] code helper failed with exit code 5\n"},
        {"kill -KILL $$", false, "[PlatformService] code helper failed with exit code -1\n"},
        {"exit 0", false,
         "[PlatformService] code helper exited successfully but capability verification failed "
         "for /tmp/t/korvane\n"},
        {"setcap cap_net_admin+p /tmp/t/korvane; exit 0", false,
         "[PlatformService] code helper exited successfully but capability verification failed "
         "for /tmp/t/korvane\n"},
    };
    for (const Case& c : cases) {
      pid = fork();
      ASSERT_NE(pid, -1);
      if (pid == 0) {
        execl("/bin/sh", "sh", "-c", c.script, nullptr);
        _exit(127);
      }
      output = korvane_test::CaptureOutput([&] {
        granted = ElevatedHelper::WaitForSetcapOrCapability(pid, "/tmp/t/korvane", "code");
      });
      EXPECT_EQ(granted, c.granted) << c.script;
      EXPECT_EQ(output.err, c.err) << c.script;
    }
    // A pid that is no child of ours.
    output = korvane_test::CaptureOutput([&] {
      granted = ElevatedHelper::WaitForSetcapOrCapability(1, "/tmp/t/korvane", "stranger");
    });
    EXPECT_FALSE(granted);
    EXPECT_EQ(output.err, "[PlatformService] waitpid failed for stranger: No child processes\n");
  });
}

TEST_F(ElevatedHelperTest, HelperOfAnotherUserIsAbandoned) {
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
    EXPECT_EQ(output.err, "[PlatformService] Failed to SIGTERM helper pid " + id +
                              ": Operation not permitted\n"
                              "[PlatformService] Failed to SIGKILL helper pid " +
                              id +
                              ": Operation not permitted\n"
                              "[PlatformService] Abandoning unreapable helper pid " +
                              id + " (likely root-owned)\n");
    close(hold[1]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
  });
}

TEST_F(ElevatedHelperTest, FindAskpassTakesTheFirstInstalledHelper) {
  RunIsolated(Isolation(), [] {
    korvane_test::PrivateUsrLocalBin();
    EXPECT_EQ(ElevatedHelper::FindAskpass(), "");
    korvane_test::WriteScript("/usr/local/bin/Xdialog", "#!/bin/sh\n");
    EXPECT_EQ(ElevatedHelper::FindAskpass(), "/usr/local/bin/Xdialog");
    korvane_test::WriteScript("/usr/local/bin/yad", "#!/bin/sh\n");
    EXPECT_EQ(ElevatedHelper::FindAskpass(), "/usr/local/bin/yad");
    // Present but not executable: passed over.
    korvane_test::WriteFile("/usr/local/bin/zenity", "#!/bin/sh\n", 0644);
    EXPECT_EQ(ElevatedHelper::FindAskpass(), "/usr/local/bin/yad");
  });
}

}  // namespace
