// The on-disk proxy backup record: its text, its parser's strictness, where it lives and how it
// is written.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "base/file_util.h"
#include "platform/proxy_backup_file.h"
#include "platform/proxy_manager.h"

namespace {

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
  return record;
}

constexpr const char* kGnomeText =
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
  return ProxyBackupFile::Render(a) == ProxyBackupFile::Render(b) && a.desktop == b.desktop;
}

TEST(ProxyBackupRecordTest, RendersGnomeRecordExactly) {
  EXPECT_EQ(ProxyBackupFile::Render(GnomeRecord()), kGnomeText);
  std::optional<ProxyBackupRecord> parsed = ProxyBackupFile::Parse(kGnomeText);
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(SameRecord(*parsed, GnomeRecord()));
  EXPECT_EQ(parsed->settings.gnome_ignore_hosts, GnomeRecord().settings.gnome_ignore_hosts);
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
      {"other version", replace("backup 1", "backup 2")},
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
  void SetUp() override {
    char tmpl[] = "/tmp/proxy_backup_file_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    for (const char* name : {"XDG_CONFIG_HOME", "HOME"}) {
      const char* value = getenv(name);
      saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    exec(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string dir_;
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST_F(ProxyBackupFileTest, ConfigDirectoryFollowsTheEnvironment) {
  struct passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  const std::string pw_home = pw->pw_dir;
  struct Case {
    const char* xdg;   // nullptr: unset
    const char* home;  // nullptr: unset
    std::string expected;
  };
  const Case cases[] = {
      {"/x/cfg", "/h", "/x/cfg/korvane"},
      {"", "/h", "/h/.config/korvane"},
      {nullptr, "/h", "/h/.config/korvane"},
      {nullptr, nullptr, pw_home + "/.config/korvane"},
  };
  for (const Case& c : cases) {
    c.xdg ? setenv("XDG_CONFIG_HOME", c.xdg, 1) : unsetenv("XDG_CONFIG_HOME");
    c.home ? setenv("HOME", c.home, 1) : unsetenv("HOME");
    EXPECT_EQ(korvane::ConfigDirectory(), c.expected) << (c.xdg ? c.xdg : "(unset)");
    EXPECT_EQ(ProxyBackupFile::Path(), c.expected + "/proxy_settings.backup");
  }
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
