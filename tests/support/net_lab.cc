#include "tests/support/net_lab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tests/support/shell_command.h"

namespace korvane_test {
namespace {

using Clock = std::chrono::steady_clock;

bool WaitExit(pid_t pid, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < deadline) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

}  // namespace

bool NetLab::EnterPrivateNetwork(std::string* error) {
  static bool entered = false;
  if (entered) {
    return true;
  }
  if (unshare(CLONE_NEWNET) != 0) {
    *error = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
    return false;
  }
  std::string output;
  if (RunShellCommand("ip link set lo up", &output) != 0) {
    *error = "ip link set lo up: " + output;
    return false;
  }
  entered = true;
  return true;
}

std::string NetLab::OriginProgram() {
  const char* build = getenv("KORVANE_BUILD_DIR");
  return std::string(build == nullptr ? "." : build) + "/tests/support/lab_origin";
}

NetLab::NetLab() : dir_("korvane-lab") {
  // Daemons that drop their privileges still write their logs and pid files here.
  chmod(dir_.path().c_str(), 0777);
}

NetLab::~NetLab() {
  Stop();
}

pid_t NetLab::SpawnHolder(pid_t* member, std::string* error) {
  // The holder makes network and PID namespaces; its child is the PID namespace's first
  // process, so when the holder goes (with the test, at the latest) every process ever started
  // in the namespace goes too, daemons' own children included.
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    *error = "pipe2 failed";
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    pid_t init = -1;
    if (unshare(CLONE_NEWNET | CLONE_NEWPID) == 0) {
      init = fork();
      if (init == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        while (true) {
          // Reaps whatever ends in the namespace.
          if (wait(nullptr) < 0) {
            pause();
          }
        }
      }
    }
    if (write(ready[1], &init, sizeof(init)) != sizeof(init) || init <= 0) {
      _exit(1);
    }
    while (true) {
      pause();
    }
  }
  close(ready[1]);
  pid_t init = -1;
  bool started = pid > 0 && read(ready[0], &init, sizeof(init)) == sizeof(init) && init > 0;
  close(ready[0]);
  if (!started) {
    *error = "cannot create network and PID namespaces";
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    return -1;
  }
  *member = init;
  return pid;
}

bool NetLab::Ip(const std::string& arguments, pid_t in_namespace_of, std::string* error) {
  std::string command =
      in_namespace_of > 0 ? "nsenter -t " + std::to_string(in_namespace_of) + " -n ip " + arguments
                          : "ip " + arguments;
  std::string output;
  if (RunShellCommand(command, &output) != 0) {
    *error = command + ": " + output;
    return false;
  }
  return true;
}

bool NetLab::Start(std::string* error) {
  origin_holder_ = SpawnHolder(&origin_member_, error);
  if (origin_holder_ < 0) {
    return false;
  }
  if (!Ip("link set lo up", origin_member_, error) ||
      !Ip("link add br0 type bridge", origin_member_, error) ||
      !Ip(std::string("addr add ") + kOrigin + "/16 dev br0", origin_member_, error) ||
      !Ip("link set br0 up", origin_member_, error)) {
    return false;
  }
  std::string ports;
  for (int i = 0; i < kOriginPortCount; ++i) {
    ports += (i == 0 ? "" : ",") + std::to_string(kOriginPortBase + i);
  }
  Host origin;
  origin.name = "origin";
  origin.holder = origin_holder_;
  origin.member = origin_member_;
  if (Run(origin, {OriginProgram(), "serve", ports, std::to_string(kOriginUdpPort)}, "origin") <
      0) {
    *error = "cannot start the origin";
    return false;
  }
  // The origin is up once its log says so.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Log("origin").find("ready") == std::string::npos) {
    if (Clock::now() > deadline) {
      *error = "the origin did not start: " + Log("origin");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

const NetLab::Host* NetLab::AddHost(const std::string& name, std::string* error) {
  // Indexes are never reused within a process: a namespace let go of a moment ago may still
  // hold its side of an old link.
  static int next_index = 0;
  hosts_.push_back(std::make_unique<Host>());
  Host* host = hosts_.back().get();
  host->name = name;
  host->index = ++next_index;
  const std::string n = std::to_string(host->index);
  host->address = "198.18." + n + ".2";
  host->egress = "198.19.0." + std::to_string(10 + host->index);
  host->holder = SpawnHolder(&host->member, error);
  if (host->holder < 0) {
    return nullptr;
  }
  const std::string pid = std::to_string(host->member);
  const std::string origin = std::to_string(origin_member_);
  if (!Ip("link add lab" + n + " type veth peer name eth0 netns " + pid, 0, error) ||
      !Ip("addr add 198.18." + n + ".1/24 dev lab" + n, 0, error) ||
      !Ip("link set lab" + n + " up", 0, error) || !Ip("link set lo up", host->member, error) ||
      !Ip("addr add " + host->address + "/24 dev eth0", host->member, error) ||
      !Ip("link set eth0 up", host->member, error) ||
      !Ip("link add eth1 type veth peer name o" + n + " netns " + origin, host->member, error) ||
      !Ip("addr add " + host->egress + "/16 dev eth1", host->member, error) ||
      !Ip("link set eth1 up", host->member, error) ||
      !Ip("link set o" + n + " master br0", origin_member_, error) ||
      !Ip("link set o" + n + " up", origin_member_, error)) {
    return nullptr;
  }
  return host;
}

pid_t NetLab::Run(const Host& host,
                  const std::vector<std::string>& argv,
                  const std::string& log_name,
                  const std::vector<std::pair<std::string, std::string>>& binds) {
  // Everything the children need is made before fork: they only make system calls after it.
  const std::string net_path = "/proc/" + std::to_string(host.member) + "/ns/net";
  const std::string pid_path = "/proc/" + std::to_string(host.member) + "/ns/pid";
  const std::string log_path = dir_.File(log_name + ".log");
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    return -1;
  }
  // The child enters the host's namespaces and forks the program into them (a PID namespace
  // takes only new children), tells its pid, and waits for it.
  pid_t waiter = fork();
  if (waiter == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int net = open(net_path.c_str(), O_RDONLY | O_CLOEXEC);
    int pids = open(pid_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (net < 0 || pids < 0 || setns(net, CLONE_NEWNET) != 0 || setns(pids, CLONE_NEWPID) != 0) {
      _exit(126);
    }
    pid_t program = fork();
    if (program == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (!binds.empty()) {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
          _exit(126);
        }
        for (const auto& bind : binds) {
          if (mount(bind.first.c_str(), bind.second.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            _exit(126);
          }
        }
      }
      int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (log >= 0) {
        dup2(log, 1);
        dup2(log, 2);
      }
      int null = open("/dev/null", O_RDONLY);
      if (null >= 0) {
        dup2(null, 0);
      }
      execvp(args[0], args.data());
      _exit(127);
    }
    if (write(report[1], &program, sizeof(program)) != sizeof(program) || program < 0) {
      _exit(126);
    }
    int status = 0;
    waitpid(program, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128);
  }
  close(report[1]);
  pid_t program = -1;
  if (waiter < 0 || read(report[0], &program, sizeof(program)) != sizeof(program) || program <= 0) {
    close(report[0]);
    if (waiter > 0) {
      waitpid(waiter, nullptr, 0);
    }
    return -1;
  }
  close(report[0]);
  processes_.emplace_back(program, waiter);
  return program;
}

void NetLab::Kill(pid_t pid) {
  auto it =
      std::find_if(processes_.begin(), processes_.end(),
                   [pid](const std::pair<pid_t, pid_t>& entry) { return entry.first == pid; });
  if (it == processes_.end()) {
    return;
  }
  const pid_t waiter = it->second;
  processes_.erase(it);
  kill(pid, SIGTERM);
  if (!WaitExit(waiter, 3000)) {
    kill(pid, SIGKILL);
    waitpid(waiter, nullptr, 0);
  }
}

bool NetLab::WaitForPort(const std::string& address, int port, int timeout_ms) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &target.sin_addr);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < deadline) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof(target)) == 0;
    close(fd);
    if (ok) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

pid_t NetLab::StartShadowsocks(const Host& host,
                               int port,
                               const std::string& method,
                               const std::string& password) {
  const std::string name = host.name + "-ss-server";
  pid_t pid = Run(host,
                  {"ss-server", "-s", host.address, "-p", std::to_string(port), "-k", password,
                   "-m", method, "-u", "-b", host.egress, "--no-delay"},
                  name);
  return pid > 0 && WaitForPort(host.address, port) ? pid : -1;
}

pid_t NetLab::StartDante(const Host& host,
                         int port,
                         const std::string& user,
                         const std::string& password) {
  const std::string name = host.name + "-danted";
  // danted checks "username" against the system's password files: private copies with the
  // lab's account are bound over them for the daemon alone.
  std::string hash;
  if (RunShellCommand("openssl passwd -6 '" + password + "'", &hash) != 0) {
    return -1;
  }
  hash.erase(hash.find_last_not_of("\n") + 1);
  const std::string passwd = dir_.File(name + ".passwd");
  const std::string shadow = dir_.File(name + ".shadow");
  WriteFile(passwd, ReadFile("/etc/passwd") + user + ":x:4242:4242::/nonexistent:/bin/false\n");
  WriteFile(shadow, ReadFile("/etc/shadow") + user + ":" + hash + ":19000:0:99999:7:::\n", 0640);
  const std::string conf = dir_.File(name + ".conf");
  WriteFile(conf, "logoutput: stderr\ninternal: " + host.address +
                      " port = " + std::to_string(port) + "\nexternal: " + host.egress +
                      "\nclientmethod: none\nsocksmethod: username\n"
                      "user.privileged: root\nuser.unprivileged: nobody\n"
                      "client pass { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n"
                      "socks pass { from: 0.0.0.0/0 to: 0.0.0.0/0 "
                      "command: connect udpassociate udpreply }\n");
  pid_t pid = Run(host, {"danted", "-f", conf, "-p", dir_.File(name + ".pid")}, name,
                  {{passwd, "/etc/passwd"}, {shadow, "/etc/shadow"}});
  return pid > 0 && WaitForPort(host.address, port) ? pid : -1;
}

pid_t NetLab::StartTinyproxy(const Host& host,
                             int port,
                             const std::string& user,
                             const std::string& password,
                             const std::string& listen) {
  const std::string name = host.name + "-tinyproxy";
  const std::string address = listen.empty() ? host.address : listen;
  const std::string conf = dir_.File(name + ".conf");
  WriteFile(conf, "User nobody\nGroup nogroup\nPort " + std::to_string(port) + "\nListen " +
                      address + "\nBind " + host.egress +
                      "\nTimeout 60\nMaxClients 64\nDisableViaHeader Yes\nLogLevel Info\n"
                      "BasicAuth " +
                      user + " " + password + "\n");
  pid_t pid = Run(host, {"tinyproxy", "-d", "-c", conf}, name);
  if (pid <= 0) {
    return -1;
  }
  // A listener on the host's loopback is checked from inside its namespace.
  if (!listen.empty()) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::string output;
    while (Clock::now() < deadline) {
      RunShellCommand("nsenter -t " + std::to_string(host.holder) +
                          " -n ss -Hltn 'sport = :" + std::to_string(port) + "'",
                      &output);
      if (output.find("LISTEN") != std::string::npos) {
        return pid;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  return WaitForPort(host.address, port) ? pid : -1;
}

pid_t NetLab::StartDelay(const Host& host,
                         int port,
                         const std::string& target,
                         int target_port,
                         int delay_ms) {
  pid_t pid = Run(host,
                  {OriginProgram(), "delay", host.address + ":" + std::to_string(port),
                   target + ":" + std::to_string(target_port), std::to_string(delay_ms)},
                  host.name + "-delay");
  return pid > 0 && WaitForPort(host.address, port) ? pid : -1;
}

std::string NetLab::Log(const std::string& log_name) const {
  return ReadFile(dir_.File(log_name + ".log"));
}

void NetLab::Stop() {
  while (!processes_.empty()) {
    Kill(processes_.back().first);
  }
  for (const auto& host : hosts_) {
    if (host->holder > 0) {
      kill(host->holder, SIGKILL);
      waitpid(host->holder, nullptr, 0);
    }
  }
  hosts_.clear();
  if (origin_holder_ > 0) {
    kill(origin_holder_, SIGKILL);
    waitpid(origin_holder_, nullptr, 0);
    origin_holder_ = -1;
  }
}

}  // namespace korvane_test
