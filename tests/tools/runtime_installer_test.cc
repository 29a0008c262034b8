// korvane-install-runtime run as a user runs it, on small bundles in a private HOME: the install
// directory's layout, the manifest's digests against sha256sum, the launcher against the host's
// own renderer, replacing a stopped install, refusing a running one, links and modes that could
// let others change the install, and failures that leave nothing behind.

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform_service.h"
#include "platform/privileges/granted_copy.h"
#include "platform/privileges/launcher_script.h"
#include "tests/support/test_files.h"
#include "tools/korvane-install-runtime/runtime_installer.h"

namespace korvane_test {
namespace {

namespace fs = std::filesystem;

// WriteFile with the missing directories above `path` created first.
void WriteTreeFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
  fs::create_directories(fs::path(path).parent_path());
  WriteFile(path, text, mode);
}

mode_t Mode(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// A mode as octal text, for readable comparisons.
std::string Octal(mode_t mode) {
  char text[16];
  snprintf(text, sizeof text, "0%o", static_cast<unsigned>(mode));
  return text;
}

struct InstallerRun {
  int status = -1;
  std::string out;
  std::string err;
};

// The installer with exactly `env` as its environment.
InstallerRun RunInstaller(const std::vector<std::string>& args,
                          const std::vector<std::string>& env) {
  std::vector<const gchar*> argv = {KORVANE_INSTALL_RUNTIME};
  for (const std::string& arg : args) {
    argv.push_back(arg.c_str());
  }
  argv.push_back(nullptr);
  std::vector<const gchar*> envp;
  for (const std::string& entry : env) {
    envp.push_back(entry.c_str());
  }
  envp.push_back(nullptr);
  InstallerRun run;
  gchar* out = nullptr;
  gchar* err = nullptr;
  gint status = 0;
  if (g_spawn_sync(nullptr, const_cast<gchar**>(argv.data()), const_cast<gchar**>(envp.data()),
                   G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err, &status, nullptr)) {
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = out != nullptr ? out : "";
    run.err = err != nullptr ? err : "";
  }
  g_free(out);
  g_free(err);
  return run;
}

std::string Sha256Sum(const std::string& path) {
  gchar* out = nullptr;
  const gchar* argv[] = {"sha256sum", path.c_str(), nullptr};
  g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
               &out, nullptr, nullptr, nullptr);
  std::string text = out != nullptr ? out : "";
  g_free(out);
  return text.substr(0, text.find(' '));
}

// Every entry below `dir`: relative path, then "link:" target, "dir" or "mode:content".
std::set<std::string> Tree(const std::string& dir) {
  std::set<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = entry.path().lexically_relative(dir).string();
    if (entry.is_symlink()) {
      entries.insert(name + " link:" + fs::read_symlink(entry.path()).string());
    } else if (entry.is_directory()) {
      entries.insert(name + " dir " + std::to_string(Mode(entry.path().string())));
    } else {
      entries.insert(name + " " + std::to_string(Mode(entry.path().string())) + ":" +
                     ReadFile(entry.path().string()));
    }
  }
  return entries;
}

class RuntimeInstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = dir_.File("home");
    root_ = home_ + "/.local/share/Korvane/appimage-runtime";
    bundle_ = dir_.File("bundle");
    fs::create_directories(home_);
    // A bundle of a released app's shape; its korvane is a real program the tests can run.
    fs::create_directories(bundle_);
    fs::copy_file("/bin/sleep", bundle_ + "/korvane", ec_);
    WriteTreeFile(bundle_ + "/lib/libflutter_linux_gtk.so", "flutter engine", 0755);
    WriteTreeFile(bundle_ + "/lib/libbox.so", "engine library");
    fs::create_symlink("libbox.so", bundle_ + "/lib/libbox-link.so");
    WriteTreeFile(bundle_ + "/data/icudtl.dat", "");
    WriteTreeFile(bundle_ + "/data/flutter_assets/AssetManifest.json", "{}\n", 0600);
    // A launcher of another session in the bundle is replaced by this session's.
    WriteTreeFile(bundle_ + "/korvane-launch.sh", "#!/bin/sh\nexit 3\n", 0755);
  }

  void TearDown() override {
    if (running_ > 0) {
      kill(running_, SIGKILL);
      waitpid(running_, nullptr, 0);
    }
  }

  // A session's environment with HOME in the test directory.
  std::vector<std::string> Env() const {
    return {"HOME=" + home_,
            "PATH=/usr/bin:/bin",
            "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus",
            "DISPLAY=:7",
            "XDG_RUNTIME_DIR=/run/user/1000",
            "XDG_SESSION_TYPE=it's x11",
            "XDG_CURRENT_DESKTOP=GNOME"};
  }

  korvane::LauncherValues SessionValues() const {
    korvane::LauncherValues values;
    values.dbus_session_bus_address = "unix:path=/run/user/1000/bus";
    values.display = ":7";
    values.xdg_runtime_dir = "/run/user/1000";
    values.xdg_session_type = "it's x11";
    values.xdg_current_desktop = "GNOME";
    return values;
  }

  TempDir dir_{"korvane-installer"};
  std::string home_;
  std::string root_;
  std::string bundle_;
  pid_t running_ = -1;
  std::error_code ec_;
};

TEST_F(RuntimeInstallerTest, InstallsTheBundleWithItsManifestAndThisSessionsLauncher) {
  InstallerRun run = RunInstaller({bundle_, "1.4.0"}, Env());
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string installed = root_ + "/1.4.0";
  EXPECT_EQ(run.out, installed + "\n");
  EXPECT_EQ(run.err, "");

  // The bundle, file by file with its modes, its link as the file it leads to, plus the two
  // generated files.
  std::set<std::string> expected = Tree(bundle_);
  expected.erase("korvane-launch.sh 493:#!/bin/sh\nexit 3\n");
  ASSERT_EQ(expected.erase("lib/libbox-link.so link:libbox.so"), 1u);
  expected.insert("lib/libbox-link.so 420:engine library");
  // It runs the root-owned copy once one is granted for this install directory.
  const std::string launcher = korvane::RenderLauncherScript(
      SessionValues(),
      korvane::GrantedCopy::DirectoryFor(std::filesystem::canonical(installed), getuid()).string());
  const std::string sha256 = Sha256Sum(installed + "/korvane");
  ASSERT_EQ(sha256.size(), 64u);
  EXPECT_EQ(sha256, Sha256Sum("/bin/sleep"));
  const std::string manifest =
      "{\n"
      "  \"name\": \"Korvane\",\n"
      "  \"version\": \"1.4.0\",\n"
      "  \"binarySha256\": \"" +
      sha256 + "\"\n}\n";
  expected.insert("korvane-launch.sh 493:" + launcher);
  expected.insert("manifest.json 420:" + manifest);
  EXPECT_EQ(Tree(installed), expected);
  EXPECT_EQ(korvane::RenderRuntimeManifest("1.4.0", sha256), manifest);
  EXPECT_EQ(Mode(installed), 0755u);
  // Nothing else in the root: no temporary directory is left.
  EXPECT_EQ(ListDirectory(root_), std::vector<std::string>{"1.4.0"});

  // What the host checks before it restarts into it or grants it.
  ScopedEnv home("HOME", home_.c_str());
  EXPECT_TRUE(PlatformService::IsManagedAppImagePath(installed));
  EXPECT_TRUE(PlatformService::IsManagedAppImagePath(installed + "/korvane"));

  // The installed launcher starts the installed executable with its arguments.
  const std::string installed_launcher = installed + "/korvane-launch.sh";
  const gchar* argv[] = {installed_launcher.c_str(), "0", nullptr};
  gint status = -1;
  ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr,
                           nullptr, nullptr, nullptr, &status, nullptr));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(RuntimeInstallerTest, ReinstallingReplacesAStoppedInstallAndRefusesARunningOne) {
  ASSERT_EQ(RunInstaller({bundle_, "2.0"}, Env()).status, 0);
  const std::string installed = root_ + "/2.0";

  // A new build of the same version replaces the whole install, manifest included.
  fs::copy_file("/bin/true", bundle_ + "/korvane", fs::copy_options::overwrite_existing);
  fs::remove(bundle_ + "/lib/libbox-link.so");
  InstallerRun run = RunInstaller({bundle_, "2.0"}, Env());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(installed + "/korvane"), ReadFile("/bin/true"));
  EXPECT_FALSE(fs::exists(installed + "/lib/libbox-link.so"));
  EXPECT_NE(ReadFile(installed + "/manifest.json").find(Sha256Sum("/bin/true")), std::string::npos);
  EXPECT_EQ(ListDirectory(root_), std::vector<std::string>{"2.0"});

  // While the installed korvane runs, the install stays as it is.
  fs::copy_file("/bin/sleep", installed + "/korvane.run", fs::copy_options::none);
  fs::rename(installed + "/korvane.run", installed + "/korvane");
  const std::string before = ReadFile(installed + "/korvane");
  const std::string manifest_before = ReadFile(installed + "/manifest.json");
  running_ = fork();
  ASSERT_NE(running_, -1);
  if (running_ == 0) {
    execl((installed + "/korvane").c_str(), "korvane", "600", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Until the exec has happened the process is not yet the install's.
  const std::string exe = "/proc/" + std::to_string(running_) + "/exe";
  for (int i = 0; i < 3000 && fs::read_symlink(exe, ec_).string() != installed + "/korvane"; ++i) {
    g_usleep(10 * 1000);
  }
  ASSERT_EQ(fs::read_symlink(exe, ec_).string(), installed + "/korvane");
  fs::copy_file("/bin/sleep", bundle_ + "/korvane", fs::copy_options::overwrite_existing);
  run = RunInstaller({bundle_, "2.0"}, Env());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "korvane-install-runtime: refusing to overwrite a running installation: " +
                         installed + " (pid " + std::to_string(running_) + ")\n");
  EXPECT_EQ(ReadFile(installed + "/korvane"), before);
  EXPECT_EQ(ReadFile(installed + "/manifest.json"), manifest_before);
  // Another version beside it is fine.
  EXPECT_EQ(RunInstaller({bundle_, "2.1"}, Env()).status, 0);
  std::vector<std::string> names = ListDirectory(root_);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
            (std::set<std::string>{"2.0", "2.1"}));
}

TEST_F(RuntimeInstallerTest, AFailedCopyLeavesNothingBehindAndTheEarlierInstallIntact) {
  ASSERT_EQ(RunInstaller({bundle_, "3.0"}, Env()).status, 0);
  const std::set<std::string> earlier = Tree(root_ + "/3.0");

  // Something that is no file, directory or link stops the copy half-way.
  ASSERT_EQ(mkfifo((bundle_ + "/data/pipe").c_str(), 0600), 0);
  for (const char* version : {"3.0", "3.1"}) {
    SCOPED_TRACE(version);
    InstallerRun run = RunInstaller({bundle_, version}, Env());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("not a file, directory or link: " + bundle_ + "/data/pipe"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(ListDirectory(root_), std::vector<std::string>{"3.0"});
  }
  EXPECT_EQ(Tree(root_ + "/3.0"), earlier);
}

TEST_F(RuntimeInstallerTest, BadInputIsRefusedBeforeAnythingIsWritten) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status;
    std::string err;
  };
  const std::string invalid_version =
      "korvane-install-runtime: invalid version name (letters, digits, '.', '_', '+', '-'; not . "
      "or ..)\n";
  std::vector<Case> cases;
  for (const char* version : {"", ".", "..", "a/b", "../x", "v\n1", "v 1", "-"}) {
    // "-" is a valid name; the rest are not.
    const bool valid = std::string(version) == "-";
    if (!valid) {
      cases.push_back({version, {bundle_, version}, Env(), 1, invalid_version});
    }
  }
  cases.push_back({"65 characters", {bundle_, std::string(65, 'v')}, Env(), 1, invalid_version});
  std::vector<std::string> no_home = Env();
  no_home.erase(no_home.begin());
  cases.push_back(
      {"no HOME",
       {bundle_, "1.0"},
       no_home,
       1,
       "korvane-install-runtime: no managed runtime root (HOME unset or not absolute)\n"});
  std::vector<std::string> relative_home = Env();
  relative_home[0] = "HOME=home";
  cases.push_back(
      {"relative HOME",
       {bundle_, "1.0"},
       relative_home,
       1,
       "korvane-install-runtime: no managed runtime root (HOME unset or not absolute)\n"});
  cases.push_back({"no bundle",
                   {dir_.File("nothing"), "1.0"},
                   Env(),
                   1,
                   "korvane-install-runtime: not a built bundle: " + dir_.path() +
                       "/nothing/korvane is no regular file\n"});
  cases.push_back({"usage", {bundle_}, Env(), 2, ""});
  for (const Case& c : cases) {
    InstallerRun run = RunInstaller(c.args, c.env);
    EXPECT_EQ(run.status, c.status) << c.what;
    if (!c.err.empty()) {
      EXPECT_EQ(run.err, c.err) << c.what;
    }
    EXPECT_FALSE(fs::exists(home_ + "/.local")) << c.what;
  }

  // A bundle without data/icudtl.dat.
  fs::remove(bundle_ + "/data/icudtl.dat");
  InstallerRun run = RunInstaller({bundle_, "1.0"}, Env());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "korvane-install-runtime: not a built bundle: " + bundle_ +
                         "/data/icudtl.dat is no regular file\n");
  EXPECT_FALSE(fs::exists(home_ + "/.local"));
}

// korvane, lib and data (and a capability wrapper) must be themselves: a link would carry on
// into the install and lead it to files that others may change, here a world-writable
// directory elsewhere.
TEST_F(RuntimeInstallerTest, LinksInPlaceOfTheExecutableOrItsDirectoriesAreRefused) {
  const std::string elsewhere = dir_.File("elsewhere");
  fs::create_directories(elsewhere);
  fs::copy_file("/bin/true", elsewhere + "/korvane");
  WriteTreeFile(elsewhere + "/lib/libflutter_linux_gtk.so", "planted", 0755);
  WriteTreeFile(elsewhere + "/data/icudtl.dat", "");
  ASSERT_EQ(chmod((elsewhere + "/lib").c_str(), 0777), 0);
  ASSERT_EQ(chmod((elsewhere + "/data").c_str(), 0777), 0);
  const std::pair<const char*, const char*> links[] = {
      {"korvane", "korvane"},
      {"lib", "lib"},
      {"data", "data"},
      {"korvane-cap-wrapper", "korvane"},
  };
  for (const auto& [name, target] : links) {
    SCOPED_TRACE(name);
    const std::string entry = bundle_ + "/" + name;
    const bool present = fs::exists(entry);
    if (present) {
      fs::rename(entry, entry + ".real");
    }
    fs::create_symlink(elsewhere + "/" + target, entry);
    InstallerRun run = RunInstaller({bundle_, "1.0"}, Env());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "korvane-install-runtime: not a built bundle: " + entry + " is a symbolic link\n");
    EXPECT_FALSE(fs::exists(root_ + "/1.0"));
    fs::remove(entry);
    if (present) {
      fs::rename(entry + ".real", entry);
    }
  }
}

// Below them, a link is copied as the regular file it leads to, and only when that file is
// inside the bundle (the first test copies one); anything else stops the install.
TEST_F(RuntimeInstallerTest, DeeperLinksMustLeadToARegularFileInsideTheBundle) {
  const std::string outside = dir_.File("outside.so");
  WriteFile(outside, "someone else's library", 0666);
  const std::string canonical_outside = fs::canonical(outside).string();
  const std::string canonical_bundle = fs::canonical(bundle_).string();
  struct Case {
    const char* link;
    std::string target;
    std::string reason;
  };
  const Case cases[] = {
      {"lib/outside.so", outside, "it leads out of the bundle to " + canonical_outside},
      {"data/flutter_assets/outside.so", "../../../outside.so",
       "it leads out of the bundle to " + canonical_outside},
      {"extra", "/etc", "it leads out of the bundle to /etc"},
      {"lib/assets", "../data", "it leads to no regular file (" + canonical_bundle + "/data)"},
      {"lib/gone.so", "gone", "cannot follow it: No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link);
    const std::string link = bundle_ + "/" + c.link;
    fs::create_symlink(c.target, link);
    InstallerRun run = RunInstaller({bundle_, "1.0"}, Env());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "korvane-install-runtime: refusing the link " + link + ": " + c.reason + "\n");
    EXPECT_EQ(ListDirectory(root_), std::vector<std::string>{}) << "something was left behind";
    fs::remove(link);
  }
}

// No write bit for group or others anywhere in the install and no setuid, setgid or sticky bit,
// whatever the bundle had: the capability may be granted to what the install holds.
TEST_F(RuntimeInstallerTest, TheInstallIsWritableByItsOwnerAlone) {
  WriteTreeFile(bundle_ + "/lib/helper", "#!/bin/sh\n", 0771);
  WriteTreeFile(bundle_ + "/data/shared/table.bin", "table", 0666);
  const std::pair<const char*, mode_t> bundle_modes[] = {
      {"korvane", 06777}, {"lib", 01777},        {"lib/libbox.so", 0666},
      {"data", 02777},    {"data/shared", 0777}, {"data/icudtl.dat", 0622},
  };
  for (const auto& [name, mode] : bundle_modes) {
    ASSERT_EQ(chmod((bundle_ + "/" + name).c_str(), mode), 0) << name;
  }
  InstallerRun run = RunInstaller({bundle_, "4.0"}, Env());
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string installed = root_ + "/4.0";

  const std::pair<const char*, mode_t> installed_modes[] = {
      {"", 0755},
      {"korvane", 0755},
      {"lib", 0755},
      {"lib/libbox.so", 0644},
      {"lib/helper", 0751},
      {"lib/libbox-link.so", 0644},
      {"data", 0755},
      {"data/shared", 0755},
      {"data/shared/table.bin", 0644},
      {"data/icudtl.dat", 0600},
      {"data/flutter_assets/AssetManifest.json", 0600},
      {"manifest.json", 0644},
      {"korvane-launch.sh", 0755},
  };
  for (const auto& [name, mode] : installed_modes) {
    EXPECT_EQ(Octal(Mode(installed + "/" + name)), Octal(mode)) << name;
  }
  for (const auto& entry : fs::recursive_directory_iterator(installed)) {
    EXPECT_EQ(Octal(Mode(entry.path().string()) & 07022), "00") << entry.path();
  }
}

// A capability wrapper's digest is recorded beside the executable's, each member on its own line.
TEST_F(RuntimeInstallerTest, AWrapperInTheBundleHasItsDigestInTheManifest) {
  fs::copy_file("/bin/true", bundle_ + "/korvane-cap-wrapper");
  InstallerRun run = RunInstaller({bundle_, "5.0"}, Env());
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string installed = root_ + "/5.0";
  const std::string binary_sha256 = Sha256Sum(installed + "/korvane");
  const std::string wrapper_sha256 = Sha256Sum(installed + "/korvane-cap-wrapper");
  EXPECT_EQ(wrapper_sha256, Sha256Sum("/bin/true"));
  EXPECT_EQ(Octal(Mode(installed + "/korvane-cap-wrapper")), "0755");
  const std::string manifest =
      "{\n"
      "  \"name\": \"Korvane\",\n"
      "  \"version\": \"5.0\",\n"
      "  \"binarySha256\": \"" +
      binary_sha256 +
      "\",\n"
      "  \"capWrapperSha256\": \"" +
      wrapper_sha256 + "\"\n}\n";
  EXPECT_EQ(ReadFile(installed + "/manifest.json"), manifest);
  EXPECT_EQ(korvane::RenderRuntimeManifest("5.0", binary_sha256, wrapper_sha256), manifest);
}

}  // namespace
}  // namespace korvane_test
