#include "tests/platform/namespace_helper.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/support/kept_paths.h"

namespace korvane_test {
namespace {

// Exit status of a child whose namespaces could not be made: the test is skipped, or fails when
// running as root, where they must work.
constexpr int kUnavailableExit = 77;
constexpr int kSetupFailedExit = 2;
constexpr char kOverlayUpper[] = "/tmp/.etc-upper";
constexpr char kOverlayWork[] = "/tmp/.etc-work";
constexpr char kEtcCopy[] = "/tmp/.etc-copy";
constexpr char kVarLibUpper[] = "/tmp/.var-lib-upper";
constexpr char kVarLibWork[] = "/tmp/.var-lib-work";

[[noreturn]] void ExitChild(int code) {
  fflush(nullptr);
  std::cout.flush();
  std::cerr.flush();
  // Reaps what killed grandchildren left behind (this process is their subreaper).
  while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
  }
  _exit(code);
}

[[noreturn]] void FailSetup(const std::string& what) {
  fprintf(stderr, "isolated child set-up failed: %s: %s\n", what.c_str(), strerror(errno));
  ExitChild(kSetupFailedExit);
}

bool RunQuiet(const std::string& command) {
  return system((command + " >/dev/null 2>&1").c_str()) == 0;
}

void MountTmpfs(const char* target, const char* options) {
  if (mount("tmpfs", target, "tmpfs", MS_NOSUID | MS_NODEV, options) != 0) {
    FailSetup(std::string("tmpfs on ") + target);
  }
}

// A writable copy of /etc: an overlay over the machine's /etc, or a full copy on a tmpfs where
// overlays are not available.
void MountPrivateEtc() {
  mkdir(kOverlayUpper, 0755);
  mkdir(kOverlayWork, 0755);
  std::string options =
      std::string("lowerdir=/etc,upperdir=") + kOverlayUpper + ",workdir=" + kOverlayWork;
  if (mount("overlay", "/etc", "overlay", 0, options.c_str()) == 0) {
    return;
  }
  mkdir(kEtcCopy, 0755);
  std::error_code error;
  std::filesystem::copy(
      "/etc", kEtcCopy,
      std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks,
      error);
  if (error || mount(kEtcCopy, "/etc", nullptr, MS_BIND, nullptr) != 0) {
    FailSetup("writable copy of /etc");
  }
}

// A writable /var/lib over the machine's (granted copies are made below it): an overlay, or an
// empty tmpfs where overlays are not available.
void MountPrivateVarLib() {
  mkdir(kVarLibUpper, 0755);
  mkdir(kVarLibWork, 0755);
  std::string options =
      std::string("lowerdir=/var/lib,upperdir=") + kVarLibUpper + ",workdir=" + kVarLibWork;
  if (mount("overlay", "/var/lib", "overlay", 0, options.c_str()) != 0) {
    MountTmpfs("/var/lib", "mode=0755");
  }
}

std::string StandInScript(const std::string& program) {
  std::string dir = kStandInDir;
  return "#!/bin/sh\n"
         "d=" +
         dir +
         "\n"
         "line=" +
         program +
         "\n"
         "for a in \"$@\"; do line=\"$line $a\"; done\n"
         "printf '%s\\n' \"$line\" >> \"$d/calls\"\n"
         "key=\"$d/" +
         program +
         ".$1\"\n"
         "if [ $# -gt 0 ] && [ -f \"$key.out\" ]; then cat \"$key.out\"; fi\n"
         "if [ $# -gt 0 ] && [ -f \"$key.exit\" ]; then exit \"$(cat \"$key.exit\")\"; fi\n"
         "if [ -f \"$d/" +
         program + ".exit\" ]; then exit \"$(cat \"$d/" + program +
         ".exit\")\"; fi\n"
         "exit 0\n";
}

void InstallStandIns() {
  std::string dir = kStandInDir;
  if (mkdir(dir.c_str(), 0777) != 0 || mkdir((dir + "/bin").c_str(), 0755) != 0) {
    FailSetup("stand-in directory");
  }
  chmod(dir.c_str(), 0777);
  WriteFile(dir + "/calls", "", 0666);
  for (const std::string& program : kStandInPrograms) {
    WriteFile(dir + "/bin/" + program, StandInScript(program), 0755);
  }
  const char* path = getenv("PATH");
  std::string new_path = dir + "/bin:" + (path ? path : "/usr/sbin:/usr/bin:/sbin:/bin");
  setenv("PATH", new_path.c_str(), 1);
}

void SetUpNetwork(const std::vector<TestInterface>& interfaces) {
  if (!RunQuiet("ip link set lo up")) {
    FailSetup("ip link set lo up");
  }
  for (const TestInterface& interface : interfaces) {
    if (!RunQuiet("ip tuntap add dev " + interface.name + " mode tun")) {
      FailSetup("ip tuntap add dev " + interface.name);
    }
    if (!interface.ipv4_cidr.empty() &&
        !RunQuiet("ip addr add " + interface.ipv4_cidr + " dev " + interface.name)) {
      FailSetup("ip addr add " + interface.ipv4_cidr);
    }
  }
}

[[noreturn]] void ChildMain(const Isolation& isolation, const std::function<void()>& body) {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
    fprintf(stderr, "private namespaces unavailable: %s\n", strerror(errno));
    ExitChild(kUnavailableExit);
  }
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    FailSetup("private /");
  }
  // The checkout and the build stay where they are, even below a directory mounted over here.
  KeptPaths kept;
  MountTmpfs("/tmp", "mode=1777");
  MountPrivateEtc();
  MountPrivateVarLib();
  MountTmpfs("/run", "mode=0755");
  std::string kept_error;
  if (!kept.Restore(&kept_error)) {
    FailSetup(kept_error);
  }
  if (isolation.systemd_resolved) {
    std::error_code error;
    std::filesystem::create_directories("/run/systemd/resolve", error);
    WriteFile("/run/systemd/resolve/resolv.conf", "nameserver 127.0.0.53\n");
  }
  if (isolation.resolv_conf) {
    unlink("/etc/resolv.conf");
    WriteFile("/etc/resolv.conf", *isolation.resolv_conf);
  } else {
    unlink("/etc/resolv.conf");
  }
  SetUpNetwork(isolation.interfaces);
  InstallStandIns();

  // An exception must not reach gtest in the child, which would go on to run other tests here.
  try {
    body();
  } catch (const std::exception& error) {
    ADD_FAILURE() << "exception in the isolated child: " << error.what();
  } catch (...) {
    ADD_FAILURE() << "exception in the isolated child";
  }
  ExitChild(::testing::Test::HasFailure() ? 1 : 0);
}

std::string ReadDescriptor(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof(buffer))) > 0) {
    text.append(buffer, static_cast<size_t>(got));
  }
  return text;
}

std::string StandInFile(const std::string& program,
                        const std::string& first_arg,
                        const char* suffix) {
  std::string name = first_arg.empty() ? program : program + "." + first_arg;
  return std::string(kStandInDir) + "/" + name + suffix;
}

}  // namespace

void RunIsolated(const Isolation& isolation, const std::function<void()>& body) {
  fflush(nullptr);
  std::cout.flush();
  std::cerr.flush();
  pid_t pid = fork();
  ASSERT_NE(pid, -1) << strerror(errno);
  if (pid == 0) {
    ChildMain(isolation, body);
  }
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited == -1 && errno == EINTR);
  ASSERT_EQ(waited, pid) << strerror(errno);
  if (WIFEXITED(status) && WEXITSTATUS(status) == kUnavailableExit) {
    if (geteuid() == 0) {
      ADD_FAILURE() << "private mount and network namespaces refused although running as root";
      return;
    }
    GTEST_SKIP() << "needs root for private mount and network namespaces";
  }
  if (WIFSIGNALED(status)) {
    ADD_FAILURE() << "isolated child ended by signal " << WTERMSIG(status);
  } else if (WEXITSTATUS(status) == kSetupFailedExit) {
    ADD_FAILURE() << "isolated child could not set up its namespaces (see its output)";
  } else if (WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "isolated child reported failures (see above)";
  }
}

Output CaptureOutput(const std::function<void()>& fn) {
  fflush(nullptr);
  std::cout.flush();
  std::cerr.flush();
  int out_fd = memfd_create("captured-out", MFD_CLOEXEC);
  int err_fd = memfd_create("captured-err", MFD_CLOEXEC);
  int saved_out = dup(1);
  int saved_err = dup(2);
  dup2(out_fd, 1);
  dup2(err_fd, 2);
  fn();
  fflush(nullptr);
  std::cout.flush();
  std::cerr.flush();
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_out);
  close(saved_err);
  Output output{ReadDescriptor(out_fd), ReadDescriptor(err_fd)};
  close(out_fd);
  close(err_fd);
  return output;
}

bool FileExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

void SetStandInExit(const std::string& program, const std::string& first_arg, int code) {
  WriteFile(StandInFile(program, first_arg, ".exit"), std::to_string(code) + "\n");
}

void SetStandInOutput(const std::string& program,
                      const std::string& first_arg,
                      const std::string& text) {
  WriteFile(StandInFile(program, first_arg, ".out"), text);
}

std::vector<std::string> StandInCalls() {
  std::vector<std::string> calls;
  std::istringstream in(ReadFile(std::string(kStandInDir) + "/calls"));
  std::string line;
  while (std::getline(in, line)) {
    calls.push_back(line);
  }
  return calls;
}

void ClearStandInCalls() {
  WriteFile(std::string(kStandInDir) + "/calls", "", 0666);
}

bool DropPrivileges() {
  const uid_t kNobody = 65534;
  return setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
         setresuid(kNobody, kNobody, kNobody) == 0 && geteuid() == kNobody;
}

}  // namespace korvane_test
