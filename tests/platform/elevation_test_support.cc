#include "tests/platform/elevation_test_support.h"

#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "base/sha256.h"
#include "platform/privileges/elevation_script.h"
#include "tests/platform/namespace_helper.h"
#include "tests/support/kept_paths.h"

namespace korvane_test {

namespace {

void AppendLine(const std::string& path, const std::string& line) {
  std::ofstream(path, std::ios::app) << line << "\n";
}

void Require(bool ok, const std::string& what) {
  if (!ok) {
    throw std::runtime_error("elevation test set-up failed: " + what);
  }
}

// Mounts a tmpfs over `target`, keeping the checkout and the build reachable below it.
void MountTmpfsKeepingCheckout(const char* target, unsigned long flags, const char* options) {
  KeptPaths kept;
  Require(mount("tmpfs", target, "tmpfs", flags, options) == 0, std::string("tmpfs on ") + target);
  std::string error;
  Require(kept.Restore(&error), error);
}

}  // namespace

std::string CommandOutput(const std::string& command) {
  std::string text;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return text;
  }
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
    text.append(buffer, got);
  }
  pclose(pipe);
  while (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
}

void AddTestUser() {
  const std::string uid = std::to_string(kTestUid);
  const std::string hash = CommandOutput(std::string("openssl passwd -6 ") + kTestPassword);
  Require(hash.rfind("$6$", 0) == 0, "openssl passwd");
  AppendLine("/etc/passwd",
             std::string(kTestUser) + ":x:" + uid + ":" + uid + "::" + kTestHome + ":/bin/sh");
  AppendLine("/etc/group", std::string(kTestUser) + ":x:" + uid + ":");
  AppendLine("/etc/shadow", std::string(kTestUser) + ":" + hash + ":19000:0:99999:7:::");
  chmod("/etc/shadow", 0640);
  const std::string sudoers = std::string("/etc/sudoers.d/") + kTestUser;
  WriteFile(sudoers,
            std::string("Defaults:") + kTestUser + " lecture=never, !mail_badpass, !syslog\n" +
                kTestUser + " ALL=(ALL:ALL) ALL\n",
            0440);
  Require(chown(sudoers.c_str(), 0, 0) == 0, "sudoers owner");
  // sudo keeps per-user state here; it stays private.
  if (std::filesystem::exists("/var/lib/sudo")) {
    MountTmpfsKeepingCheckout("/var/lib/sudo", MS_NOSUID | MS_NODEV, "mode=0711");
  }
  std::filesystem::create_directories(kTestHome);
  Require(chown(kTestHome, kTestUid, kTestUid) == 0, "home owner");
  chmod(kTestHome, 0755);
}

void PrivateUsrLocalBin() {
  std::filesystem::create_directories("/usr/local/bin");
  MountTmpfsKeepingCheckout("/usr/local/bin", MS_NODEV, "mode=0755");
}

void WriteScript(const std::string& path, const std::string& body) {
  WriteFile(path, body, 0755);
}

void HideProgram(const std::string& path) {
  const std::string empty = "/tmp/.hidden-program";
  WriteFile(empty, "", 0644);
  Require(mount(empty.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0, "hide " + path);
}

void InstallPkexec(const std::string& body) {
  // The command after "-c" goes to /tmp/pkexec-script; the log line has the words before it.
  WriteScript(std::string(kStandInDir) + "/bin/pkexec",
              "#!/bin/sh\n"
              "line=pkexec\n"
              "next=\n"
              "for a in \"$@\"; do\n"
              "  if [ -n \"$next\" ]; then printf '%s' \"$a\" > /tmp/pkexec-script; break; fi\n"
              "  line=\"$line $a\"\n"
              "  if [ \"$a\" = -c ]; then next=1; fi\n"
              "done\n"
              "printf '%s\\n' \"$line\" >> " +
                  std::string(kStandInDir) + "/calls\n" + body + "\n");
}

void MakeInstallDir(const std::string& dir, const std::string& manifest, uid_t uid) {
  std::filesystem::create_directories(dir + "/lib");
  std::filesystem::create_directories(dir + "/data");
  WriteFile(dir + "/data/icudtl.dat", "icu");
  std::filesystem::copy_file("/bin/true", dir + "/korvane",
                             std::filesystem::copy_options::overwrite_existing);
  chmod((dir + "/korvane").c_str(), 0755);
  if (!manifest.empty()) {
    WriteFile(dir + "/manifest.json", manifest);
  }
  if (uid != 0) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
      Require(lchown(entry.path().c_str(), uid, uid) == 0, "owner of " + entry.path().string());
    }
    Require(chown(dir.c_str(), uid, uid) == 0, "owner of " + dir);
  }
}

int RunAs(uid_t uid,
          const std::vector<std::pair<std::string, std::string>>& env,
          const std::function<int()>& fn,
          std::string* out,
          std::string* err) {
  const std::string out_path = "/tmp/.run-as-out";
  const std::string err_path = "/tmp/.run-as-err";
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    FILE* out_file = freopen(out_path.c_str(), "w", stdout);
    FILE* err_file = freopen(err_path.c_str(), "w", stderr);
    if (out_file == nullptr || err_file == nullptr || chdir("/tmp") != 0) {
      _exit(120);
    }
    if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
        setresuid(uid, uid, uid) != 0) {
      _exit(121);
    }
    for (const auto& [name, value] : env) {
      if (value == kUnset) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    const int code = fn();
    fflush(nullptr);
    _exit(code);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
  }
  *out = ReadFile(out_path);
  *err = ReadFile(err_path);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string GetCap(const std::string& path) {
  return CommandOutput("getcap " + korvane::ShellQuote(path) + " 2>/dev/null");
}

std::string TreeSnapshot(const std::string& dir) {
  std::vector<std::string> lines;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, error);
       it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (error) {
      break;
    }
    std::string line = it->path().string();
    if (it->is_regular_file()) {
      line += " " + Sha256::FileHex(it->path().string());
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\n";
  }
  return text;
}

}  // namespace korvane_test
