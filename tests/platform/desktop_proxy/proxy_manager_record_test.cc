// The on-disk proxy backup record: its text, its parser's strictness, where it lives and how it
// is written.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "base/file_util.h"
#include "platform/desktop_proxy/proxy_backup_file.h"
#include "platform/desktop_proxy/proxy_manager.h"
#include "tests/support/test_files.h"

namespace {

using korvane_test::ScopedEnv;
using korvane_test::TempDir;

ProxyBackupRecord GnomeRecord() {
  ProxyBackupRecord record;
  record.desktop = ProxyManager::kDesktopGnome;
  record.settings.gnome_mode = "'manual'";
  record.settings.gnome_http_host = "'proxy.corp'";
  record.settings.gnome_http_port = "8080";
  record.settings.gnome_https_host = "''";
  record.settings.gnome_https_port = "0";
  record.settings.gnome_socks_host = "''";
  record.settings.gnome_socks_port = "0";
  record.settings.gnome_ignore_hosts = "['localhost', \"o'brien\\\\corp\"]";
  record.owner = {4242, 987654321};
  record.port = 7890;
  return record;
}

constexpr const char* kGnomeText =
    "korvane-proxy-backup 2\n"
    "owner=4242 987654321\n"
    "port=7890\n"
    "desktop=gnome\n"
    "gnome_mode='manual'\n"
    "gnome_http_host='proxy.corp'\n"
    "gnome_http_port=8080\n"
    "gnome_https_host=''\n"
    "gnome_https_port=0\n"
    "gnome_socks_host=''\n"
    "gnome_socks_port=0\n"
    "gnome_ignore_hosts=['localhost', \"o'brien\\\\\\\\corp\"]\n";

// As earlier versions wrote it: no owner and no port.
constexpr const char* kGnomeTextVersion1 =
    "korvane-proxy-backup 1\n"
    "desktop=gnome\n"
    "gnome_mode='manual'\n"
    "gnome_http_host='proxy.corp'\n"
    "gnome_http_port=8080\n"
    "gnome_https_host=''\n"
    "gnome_https_port=0\n"
    "gnome_socks_host=''\n"
    "gnome_socks_port=0\n"
    "gnome_ignore_hosts=['localhost', \"o'brien\\\\\\\\corp\"]\n";

ProxyBackupRecord KdeRecord() {
  ProxyBackupRecord record;
  record.desktop = ProxyManager::kDesktopKde;
  record.settings.kde_proxy_type = "1\n";
  record.settings.kde_http_proxy = "http://proxy.corp 8080\n";
  record.settings.kde_https_proxy = "";
  record.settings.kde_socks_proxy = "a\\b=c\n";
  record.settings.kde_no_proxy_for = "localhost, o'brien.corp\n";
  return record;
}

bool SameRecord(const ProxyBackupRecord& a, const ProxyBackupRecord& b) {
  return ProxyBackupFile::Render(a) == ProxyBackupFile::Render(b) && a.desktop == b.desktop &&
         a.owner.pid == b.owner.pid && a.owner.start_time == b.owner.start_time && a.port == b.port;
}

TEST(ProxyBackupRecordTest, RendersGnomeRecordExactly) {
  EXPECT_EQ(ProxyBackupFile::Render(GnomeRecord()), kGnomeText);
  std::optional<ProxyBackupRecord> parsed = ProxyBackupFile::Parse(kGnomeText);
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(SameRecord(*parsed, GnomeRecord()));
  EXPECT_EQ(parsed->settings.gnome_ignore_hosts, GnomeRecord().settings.gnome_ignore_hosts);
}

// A record left by an earlier version reads with an unknown owner (taken as gone) and an
// unknown port.
TEST(ProxyBackupRecordTest, ReadsVersion1RecordsWithoutOwnerAndPort) {
  std::optional<ProxyBackupRecord> parsed = ProxyBackupFile::Parse(kGnomeTextVersion1);
  ASSERT_TRUE(parsed);
  ProxyBackupRecord expected = GnomeRecord();
  expected.owner = ProxyRecordOwner();
  expected.port = 0;
  EXPECT_TRUE(SameRecord(*parsed, expected));
  EXPECT_FALSE(ProxyBackupFile::IsRunning(parsed->owner));
}

// Only the process that wrote a record, alive, counts as its running owner.
TEST(ProxyBackupRecordTest, OwnerRunsOnlyWhileThatVeryProcessLives) {
  ProxyRecordOwner self = ProxyBackupFile::CurrentProcess();
  ASSERT_EQ(self.pid, getpid());
  ASSERT_GT(self.start_time, 0u);
  EXPECT_TRUE(ProxyBackupFile::IsRunning(self));
  EXPECT_TRUE(ProxyBackupFile::IsCurrentProcess(self));

  pid_t exited = fork();
  ASSERT_GE(exited, 0);
  if (exited == 0) {
    _exit(0);
  }
  // Exited but not waited for yet: a zombie is gone all the same.
  ProxyRecordOwner zombie = {exited, 0};
  for (int tries = 0; tries < 6000; ++tries) {
    std::ifstream stat("/proc/" + std::to_string(exited) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t paren = text.rfind(')');
    if (paren != std::string::npos && text.compare(paren, 4, ") Z ") == 0) {
      std::istringstream fields(text.substr(paren + 2));
      std::string field;
      for (int i = 3; i <= 22 && fields >> field; ++i) {
        if (i == 22) {
          zombie.start_time = std::stoull(field);
        }
      }
      break;
    }
    usleep(10000);
  }
  ASSERT_GT(zombie.start_time, 0u) << "the child never became a zombie";
  EXPECT_FALSE(ProxyBackupFile::IsRunning(zombie));
  ASSERT_EQ(waitpid(exited, nullptr, 0), exited);

  struct Case {
    const char* name;
    ProxyRecordOwner owner;
  };
  const Case gone[] = {
      {"unknown", {0, 0}},
      {"this id, another start: the id was given again", {self.pid, self.start_time + 1}},
      {"exited and waited for", zombie},
      {"no such process", {4194304, self.start_time}},
  };
  for (const Case& c : gone) {
    EXPECT_FALSE(ProxyBackupFile::IsRunning(c.owner)) << c.name;
    EXPECT_FALSE(ProxyBackupFile::IsCurrentProcess(c.owner)) << c.name;
  }
}

TEST(ProxyBackupRecordTest, KdeValuesWithNewlinesAndBackslashesSurviveARoundTrip) {
  std::string text = ProxyBackupFile::Render(KdeRecord());
  EXPECT_EQ(text.find("kde_socks_proxy=a\\\\b=c\\n\n"), text.find("kde_socks_proxy")) << text;
  std::optional<ProxyBackupRecord> parsed = ProxyBackupFile::Parse(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->desktop, ProxyManager::kDesktopKde);
  EXPECT_EQ(parsed->settings.kde_proxy_type, "1\n");
  EXPECT_EQ(parsed->settings.kde_https_proxy, "");
  EXPECT_EQ(parsed->settings.kde_socks_proxy, "a\\b=c\n");
  EXPECT_EQ(parsed->settings.kde_no_proxy_for, "localhost, o'brien.corp\n");
}

// Every damaged variant of a good record is refused as a whole.
TEST(ProxyBackupRecordTest, RefusesAnythingButACompleteRecord) {
  const std::string good = kGnomeText;
  auto replace = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::map<std::string, std::string> cases = {
      {"empty", ""},
      {"no final newline", good.substr(0, good.size() - 1)},
      {"other version", replace("backup 2", "backup 3")},
      {"version 1 with an owner", replace("backup 2", "backup 1")},
      {"owner missing", replace("owner=4242 987654321\n", "")},
      {"owner without start time", replace("owner=4242 987654321", "owner=4242")},
      {"owner not a number", replace("owner=4242", "owner=-4242")},
      {"port missing", replace("port=7890\n", "")},
      {"port out of range", replace("port=7890", "port=65536")},
      {"port not a number", replace("port=7890", "port=7890x")},
      {"unknown desktop", replace("desktop=gnome", "desktop=xfce")},
      {"field missing", replace("gnome_socks_port=0\n", "")},
      {"field twice", replace("gnome_socks_port=0", "gnome_socks_host=''")},
      {"unknown field", replace("gnome_socks_port", "gnome_socks_portx")},
      {"KDE field in a GNOME record", replace("gnome_socks_port=0", "kde_proxy_type=0")},
      {"line without =", replace("gnome_socks_port=0", "gnome_socks_port")},
      {"empty GNOME value", replace("gnome_socks_port=0", "gnome_socks_port=")},
      {"newline in a GNOME value", replace("gnome_socks_port=0", "gnome_socks_port=0\\n")},
      {"unknown escape", replace("gnome_socks_port=0", "gnome_socks_port=\\x")},
      {"dangling backslash", replace("gnome_socks_port=0", "gnome_socks_port=0\\")},
      {"extra line", good + "gnome_mode='none'\n"},
  };
  ASSERT_TRUE(ProxyBackupFile::Parse(good));
  for (const auto& [name, text] : cases) {
    EXPECT_FALSE(ProxyBackupFile::Parse(text)) << name;
  }
}

class ProxyBackupFileTest : public ::testing::Test {
 protected:
  TempDir temp_{"proxy_backup_file_test"};
  const std::string dir_ = temp_.path();
  // Tests set these freely; they come back when the test ends.
  ScopedEnv xdg_config_home_{"XDG_CONFIG_HOME", nullptr};
  ScopedEnv home_{"HOME", (temp_.path() + "/home").c_str()};
};

// The rule for the directory itself is base's (tests/base/file_util_test.cc).
TEST_F(ProxyBackupFileTest, LivesInTheConfigurationDirectory) {
  setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
  EXPECT_EQ(ProxyBackupFile::Path(), "/x/cfg/korvane/proxy_settings.backup");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(ProxyBackupFile::Path(), korvane::ConfigDirectory() + "/proxy_settings.backup");
}

TEST_F(ProxyBackupFileTest, WritesA0600FileInA0700DirectoryAndReadsItBack) {
  setenv("XDG_CONFIG_HOME", (dir_ + "/deep/config").c_str(), 1);
  EXPECT_FALSE(ProxyBackupFile::Exists());
  EXPECT_FALSE(ProxyBackupFile::Read());

  ASSERT_TRUE(ProxyBackupFile::Write(KdeRecord()));
  struct stat st;
  ASSERT_EQ(stat(ProxyBackupFile::Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(stat(korvane::ConfigDirectory().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  std::ifstream in(ProxyBackupFile::Path());
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), ProxyBackupFile::Render(KdeRecord()));
  EXPECT_EQ(access((ProxyBackupFile::Path() + ".tmp").c_str(), F_OK), -1);

  // A second write replaces the first.
  ASSERT_TRUE(ProxyBackupFile::Write(GnomeRecord()));
  std::optional<ProxyBackupRecord> read = ProxyBackupFile::Read();
  ASSERT_TRUE(read);
  EXPECT_TRUE(SameRecord(*read, GnomeRecord()));

  EXPECT_TRUE(ProxyBackupFile::Remove());
  EXPECT_FALSE(ProxyBackupFile::Exists());
  EXPECT_TRUE(ProxyBackupFile::Remove());
}

TEST_F(ProxyBackupFileTest, WriteFailsWithOneLineWhenTheDirectoryCannotBeMade) {
  std::string blocker = dir_ + "/file";
  std::ofstream(blocker) << "x";
  setenv("XDG_CONFIG_HOME", blocker.c_str(), 1);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(ProxyBackupFile::Write(GnomeRecord()));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

}  // namespace
