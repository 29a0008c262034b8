// Relay throughput of the mixed inbound: one large HTTP download with curl through the inbound
// (HTTP proxy with an absolute URI, HTTP CONNECT and SOCKS5) against the same download straight
// from the server, all on loopback, run alternately; prints each throughput and the ratio to the
// direct baseline. Beside it, when installed, the proxies a user would pick instead, each
// started with a configuration written here: microsocks and dante-server (SOCKS5), tinyproxy
// (HTTP), v2ray (socks inbound, freedom outbound) and socat as a bare forward; their CPU time
// is that of the proxy's whole process tree.
// The inbound caps its send buffer towards a loopback client, which changes curl's cost per
// byte; the baseline's server caps its socket the same way, and the direct download with the
// autotuned buffer is printed beside it.
//
// Usage: engine_relay_throughput [--mib N] [--runs N]   (defaults: 1024 MiB, 3 runs each)
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/mixed_inbound.h"
#include "tests/support/loopback_ports.h"

extern char** environ;

namespace {

constexpr double kGoal = 0.7;
// The send buffer the mixed inbound sets on its socket to a loopback client
// (engine/mixed_session_dial.cc); 0 leaves the kernel's autotuning.
constexpr int kLoopbackClientSendBuffer = 256 * 1024;

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
double ProcessCpuSeconds() {
  return CpuSeconds(RUSAGE_SELF);
}
double ThreadCpuSeconds() {
  return CpuSeconds(RUSAGE_THREAD);
}

// CPU seconds of a process and every descendant (reaped children included), from /proc.
double TreeCpuSeconds(pid_t root) {
  std::map<pid_t, pid_t> parents;
  std::map<pid_t, double> cpu;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  DIR* proc = opendir("/proc");
  if (proc == nullptr) {
    return 0;
  }
  while (dirent* entry = readdir(proc)) {
    pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) {
      continue;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close_paren = text.rfind(')');
    if (close_paren == std::string::npos) {
      continue;
    }
    // Fields after the name: state ppid ... utime(14) stime(15) cutime(16) cstime(17).
    std::vector<std::string> fields;
    size_t at = close_paren + 2;
    while (at < text.size()) {
      size_t space = text.find(' ', at);
      fields.push_back(text.substr(at, space - at));
      if (space == std::string::npos) {
        break;
      }
      at = space + 1;
    }
    if (fields.size() < 15) {
      continue;
    }
    parents[pid] = static_cast<pid_t>(std::atoi(fields[1].c_str()));
    cpu[pid] = (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str()) +
                std::atof(fields[13].c_str()) + std::atof(fields[14].c_str())) /
               tick;
  }
  closedir(proc);
  double total = 0;
  for (const auto& [pid, seconds] : cpu) {
    for (pid_t at = pid; at > 1; at = parents.count(at) ? parents[at] : 0) {
      if (at == root) {
        total += seconds;
        break;
      }
    }
  }
  return total;
}

// The peers' process groups, for a benchmark stopped by a signal before its destructors run.
constexpr int kMaxPeers = 8;
volatile sig_atomic_t peer_groups_[kMaxPeers] = {};

void StopPeersAndExit(int signal_number) {
  for (int i = 0; i < kMaxPeers; ++i) {
    if (peer_groups_[i] > 0) {
      kill(-peer_groups_[i], SIGKILL);
    }
  }
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

// A proxy program run for the benchmark in its own process group, stopped when destroyed.
class PeerProxy {
 public:
  PeerProxy(std::string name, std::vector<std::string> argv) : name_(std::move(name)) {
    std::vector<char*> args;
    for (std::string& arg : argv) {
      args.push_back(arg.data());
    }
    args.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), environ) != 0) {
      pid_ = -1;
    }
    for (int i = 0; pid_ > 0 && i < kMaxPeers; ++i) {
      if (peer_groups_[i] == 0) {
        peer_groups_[i] = pid_;
        break;
      }
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  ~PeerProxy() {
    if (pid_ > 0) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      for (int i = 0; i < kMaxPeers; ++i) {
        if (peer_groups_[i] == pid_) {
          peer_groups_[i] = 0;
        }
      }
    }
  }
  pid_t pid() const { return pid_; }

 private:
  std::string name_;
  pid_t pid_ = -1;
};

bool IsInstalled(const std::string& program) {
  for (const char* dir : {"/usr/bin/", "/usr/sbin/", "/usr/local/bin/"}) {
    if (access((dir + program).c_str(), X_OK) == 0) {
      return true;
    }
  }
  return false;
}

// Waits until something accepts connections on 127.0.0.1:port.
bool WaitForPort(int port) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (korvane_test::IsListening(port)) {
      return true;
    }
    usleep(10000);
  }
  return false;
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  return static_cast<bool>(out);
}

// Serves every request with size bytes from one in-memory chunk.
class StreamingOrigin {
 public:
  explicit StreamingOrigin(uint64_t size) : size_(size), chunk_(1 << 20) {
    for (size_t i = 0; i < chunk_.size(); ++i) {
      chunk_[i] = static_cast<char>(i * 31 % 251);
    }
  }
  ~StreamingOrigin() {
    stopping_ = true;
    shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) {
      thread_.join();
    }
    close(listener_);
  }

  bool Start() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return false;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
    return true;
  }
  int port() const { return port_; }
  // CPU seconds the server thread has spent so far (read after a download has finished).
  double cpu_seconds() const { return cpu_seconds_.load(); }
  // Downloads fully served so far; the CPU time above includes each of them.
  int served() const { return served_.load(); }
  // The send buffer of the next downloads' sockets (0: autotuned). Set between downloads.
  void set_send_buffer(int bytes) { send_buffer_ = bytes; }

 private:
  // One download at a time is all the benchmark asks for.
  void Serve() {
    while (!stopping_) {
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) {
          continue;
        }
        return;
      }
      double cpu_start = ThreadCpuSeconds();
      const int send_buffer = send_buffer_.load();
      if (send_buffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof(send_buffer));
      }
      std::string head;
      char c;
      while (head.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) {
        head.push_back(c);
      }
      std::string response =
          "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
          "Content-Length: " +
          std::to_string(size_) + "\r\nConnection: close\r\n\r\n";
      bool ok = send(fd, response.data(), response.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(response.size());
      uint64_t left = size_;
      while (ok && left > 0) {
        size_t part = static_cast<size_t>(std::min<uint64_t>(left, chunk_.size()));
        ssize_t sent = send(fd, chunk_.data(), part, MSG_NOSIGNAL);
        if (sent <= 0) {
          break;
        }
        left -= static_cast<uint64_t>(sent);
      }
      close(fd);
      cpu_seconds_.store(cpu_seconds_.load() + ThreadCpuSeconds() - cpu_start);
      ++served_;
    }
  }

  const uint64_t size_;
  std::vector<char> chunk_;
  std::atomic<double> cpu_seconds_{0};
  std::atomic<int> served_{0};
  std::atomic<int> send_buffer_{0};
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
};

// Runs curl with the given arguments and the environment's proxy variables removed; returns
// the download speed in bytes per second, or a negative value on failure.
double CurlSpeed(const std::vector<std::string>& args, uint64_t expected_size, double* curl_cpu) {
  std::vector<std::string> storage = {
      "curl", "-s", "-S", "-o", "/dev/null", "-w", "%{speed_download} %{size_download}"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : storage) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string name(*entry, std::strcspn(*entry, "="));
    for (char& ch : name) {
      ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    if (name.find("proxy") == std::string::npos) {
      envp.push_back(*entry);
    }
  }
  envp.push_back(nullptr);
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) {
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, "curl", &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  std::string output;
  char buffer[256];
  ssize_t count;
  while ((count = read(pipe_fds[0], buffer, sizeof(buffer))) > 0) {
    output.append(buffer, static_cast<size_t>(count));
  }
  close(pipe_fds[0]);
  if (spawned != 0) {
    return -1;
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  *curl_cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  double speed = 0;
  unsigned long long size = 0;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      std::sscanf(output.c_str(), "%lf %llu", &speed, &size) != 2 || size != expected_size) {
    std::fprintf(stderr, "curl failed: %s\n", output.c_str());
    return -1;
  }
  return speed;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = 1024;
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--mib") == 0) {
      mib = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (std::strcmp(argv[i], "--runs") == 0) {
      runs = std::atoi(argv[i + 1]);
    }
  }
  const uint64_t size = mib << 20;
  StreamingOrigin origin(size);
  if (!origin.Start()) {
    std::fprintf(stderr, "cannot start the origin server\n");
    return 1;
  }
  std::string error;
  box::MixedInboundOptions options;
  options.tag = "mixed-in";
  auto inbound = box::MixedInbound::Create(options, nullptr, nullptr, &error);
  if (inbound == nullptr || !inbound->Start(&error)) {
    std::fprintf(stderr, "cannot start the mixed inbound: %s\n", error.c_str());
    return 1;
  }
  const std::string url = "http://127.0.0.1:" + std::to_string(origin.port()) + "/download";
  const std::string proxy = "127.0.0.1:" + std::to_string(inbound->port());
  struct Mode {
    std::string name;
    std::vector<std::string> args;
    int origin_send_buffer;  // the server's socket: towards curl when direct, else the relay
    bool relayed;            // through the inbound: held to the goal
    pid_t peer = 0;          // a peer proxy's process, whose tree's CPU time is the proxy's
    double best = 0;
    double cpu_total = 1e9;  // least CPU time of one download, all parties
    double proxy_cpu = 1e9;  // least CPU time of the proxy (relay or peer) for one download
  };
  std::vector<Mode> modes = {
      {"direct (baseline)", {"--noproxy", "*", url}, kLoopbackClientSendBuffer, false},
      {"direct, autotuned", {"--noproxy", "*", url}, 0, false},
      {"mixed, HTTP absolute URI", {"--proxy", "http://" + proxy, url}, 0, true},
      {"mixed, HTTP CONNECT", {"--proxytunnel", "--proxy", "http://" + proxy, url}, 0, true},
      {"mixed, SOCKS5", {"--socks5", proxy, url}, 0, true},
  };
  const size_t own_modes = modes.size();
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    signal(signal_number, StopPeersAndExit);
  }
  // The peers, each on a free port with its configuration in a private directory.
  char dir_pattern[] = "/tmp/korvane-relay-bench-XXXXXX";
  const std::string dir = mkdtemp(dir_pattern) != nullptr ? dir_pattern : "/tmp";
  std::vector<std::unique_ptr<PeerProxy>> peers;
  auto add_peer = [&](const std::string& name, const std::string& program,
                      std::vector<std::string> argv, int port, std::vector<std::string> curl_args) {
    if (!IsInstalled(program)) {
      std::printf("%s: not installed (scripts/setup installs it), skipped\n", program.c_str());
      return;
    }
    auto peer = std::make_unique<PeerProxy>(name, std::move(argv));
    if (peer->pid() <= 0 || !WaitForPort(port)) {
      std::printf("%s: did not start, skipped\n", program.c_str());
      return;
    }
    Mode mode{name, std::move(curl_args), 0, false};
    mode.peer = peer->pid();
    modes.push_back(std::move(mode));
    peers.push_back(std::move(peer));
  };
  const std::string origin_address = "127.0.0.1:" + std::to_string(origin.port());
  {
    int port = korvane_test::FreePort();
    add_peer("microsocks (SOCKS5)", "microsocks",
             {"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port)}, port,
             {"--socks5", "127.0.0.1:" + std::to_string(port), url});
  }
  {
    int port = korvane_test::FreePort();
    const std::string conf = dir + "/danted.conf";
    WriteText(conf, "logoutput: /dev/null\ninternal: 127.0.0.1 port = " + std::to_string(port) +
                        "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n"
                        "user.privileged: root\nuser.unprivileged: nobody\n"
                        "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                        "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n");
    add_peer("dante-server (SOCKS5)", "danted", {"danted", "-f", conf, "-p", dir + "/danted.pid"},
             port, {"--socks5", "127.0.0.1:" + std::to_string(port), url});
  }
  {
    int port = korvane_test::FreePort();
    const std::string conf = dir + "/tinyproxy.conf";
    WriteText(conf, "User nobody\nGroup nogroup\nPort " + std::to_string(port) +
                        "\nListen 127.0.0.1\nTimeout 600\nMaxClients 16\nAllow 127.0.0.1\n"
                        "DisableViaHeader Yes\nLogLevel Critical\n");
    add_peer("tinyproxy (HTTP absolute URI)", "tinyproxy", {"tinyproxy", "-d", "-c", conf}, port,
             {"--proxy", "http://127.0.0.1:" + std::to_string(port), url});
  }
  {
    int port = korvane_test::FreePort();
    const std::string conf = dir + "/v2ray.json";
    WriteText(conf,
              "{\"log\":{\"loglevel\":\"none\"},\"inbounds\":[{\"listen\":\"127.0.0.1\","
              "\"port\":" +
                  std::to_string(port) +
                  ",\"protocol\":\"socks\",\"settings\":{\"auth\":\"noauth\"}}],"
                  "\"outbounds\":[{\"protocol\":\"freedom\"}]}\n");
    add_peer("v2ray (socks in, freedom out)", "v2ray", {"v2ray", "-config", conf}, port,
             {"--socks5", "127.0.0.1:" + std::to_string(port), url});
  }
  {
    int port = korvane_test::FreePort();
    add_peer("socat (bare forward)", "socat",
             {"socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
              "TCP:" + origin_address},
             port, {"--noproxy", "*", "http://127.0.0.1:" + std::to_string(port) + "/download"});
  }
  // Alternating the modes spreads the machine's background load over all of them.
  for (int run = 0; run < runs; ++run) {
    for (Mode& mode : modes) {
      origin.set_send_buffer(mode.origin_send_buffer);
      double cpu_before = ProcessCpuSeconds();
      double peer_before = mode.peer > 0 ? TreeCpuSeconds(mode.peer) : 0;
      double server_before = origin.cpu_seconds();
      int served_before = origin.served();
      double curl_cpu = 0;
      double speed = CurlSpeed(mode.args, size, &curl_cpu);
      // curl may exit before the server thread has closed and counted its side.
      for (int wait = 0; wait < 5000 && origin.served() == served_before; ++wait) {
        usleep(1000);
      }
      double server_cpu = origin.cpu_seconds() - server_before;
      // What is left of the process's CPU time is the inbound's relay (the main thread only
      // waits for curl).
      double relay_cpu = mode.peer > 0 ? TreeCpuSeconds(mode.peer) - peer_before
                                       : ProcessCpuSeconds() - cpu_before - server_cpu;
      if (speed < 0) {
        std::fprintf(stderr, "%s: download failed\n", mode.name.c_str());
        return 1;
      }
      std::printf("run %d  %-30s %8.1f MiB/s   CPU s per GiB: server %.2f, proxy %.2f, curl %.2f\n",
                  run + 1, mode.name.c_str(), speed / (1 << 20), server_cpu * 1024 / mib,
                  relay_cpu * 1024 / mib, curl_cpu * 1024 / mib);
      mode.cpu_total = std::min(mode.cpu_total, server_cpu + relay_cpu + curl_cpu);
      mode.proxy_cpu = std::min(mode.proxy_cpu, relay_cpu);
      std::fflush(stdout);
      mode.best = std::max(mode.best, speed);
    }
  }
  std::printf(
      "\nrelay throughput, one %llu MiB HTTP download over loopback, best of %d;\n"
      "baseline: direct with the server's send buffer capped at %d KiB like the "
      "relay's:\n",
      static_cast<unsigned long long>(mib), runs, kLoopbackClientSendBuffer / 1024);
  double baseline = modes[0].best;
  double autotuned = modes[1].best;
  bool met = true;
  double slowest_own = 1e30, costliest_own = 0;
  for (const Mode& mode : modes) {
    double ratio = mode.best / baseline;
    char proxy_cpu[32] = "-";
    if (mode.relayed || mode.peer > 0) {
      std::snprintf(proxy_cpu, sizeof(proxy_cpu), "%.2f",
                    mode.proxy_cpu * 1024 / static_cast<double>(mib));
    }
    // On a machine whose cores are all busy, throughput follows the CPU time a download costs.
    std::printf(
        "  %-30s %8.1f MiB/s   ratio %.2f (to autotuned direct %.2f)   CPU-cost ratio %.2f   "
        "proxy CPU s/GiB %s\n",
        mode.name.c_str(), mode.best / (1 << 20), ratio, mode.best / autotuned,
        modes[0].cpu_total / mode.cpu_total, proxy_cpu);
    if (mode.relayed) {
      met = met && ratio >= kGoal;
      slowest_own = std::min(slowest_own, mode.best);
      costliest_own = std::max(costliest_own, mode.proxy_cpu);
    }
  }
  std::printf("goal: ratio >= %.2f against the direct download: %s\n", kGoal,
              met ? "met" : "NOT met");
  if (modes.size() > own_modes) {
    std::printf("\nmixed inbound against the peers (slowest of its paths, costliest in CPU):\n");
    bool ahead = true;
    for (size_t i = own_modes; i < modes.size(); ++i) {
      const Mode& peer = modes[i];
      std::printf("  %-30s throughput ratio %.2f   CPU-per-GiB ratio (peer / mixed) %.2f\n",
                  peer.name.c_str(), slowest_own / peer.best, peer.proxy_cpu / costliest_own);
      ahead = ahead && slowest_own >= peer.best && costliest_own <= peer.proxy_cpu;
    }
    std::printf("goal: ahead of every peer on throughput and CPU per GiB: %s\n",
                ahead ? "met" : "NOT met");
  }
  std::filesystem::remove_all(dir);
  return 0;
}
