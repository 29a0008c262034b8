// Relay throughput of the mixed inbound: one large HTTP download with curl through the inbound
// (HTTP proxy and SOCKS5) against the same download straight from the server, both on
// loopback, run alternately; prints each throughput and the ratio to the direct baseline.
// The inbound caps its send buffer towards a loopback client, which changes curl's cost per
// byte; the baseline's server caps its socket the same way, and the direct download with the
// autotuned buffer is printed beside it.
//
// Usage: engine_relay_throughput [--mib N] [--runs N]   (defaults: 1024 MiB, 3 runs each)
#include <arpa/inet.h>
#include <netinet/in.h>
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
#include <string>
#include <thread>
#include <vector>

#include "engine/mixed_inbound.h"

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
    const char* name;
    std::vector<std::string> args;
    int origin_send_buffer;  // the server's socket: towards curl when direct, else the relay
    bool relayed;            // through the inbound: held to the goal
    double best = 0;
    double cpu_total = 1e9;  // least CPU time of one download, all parties
  };
  std::vector<Mode> modes = {
      {"direct (baseline)", {"--noproxy", "*", url}, kLoopbackClientSendBuffer, false},
      {"direct, autotuned", {"--noproxy", "*", url}, 0, false},
      {"mixed, HTTP proxy", {"--proxy", "http://" + proxy, url}, 0, true},
      {"mixed, SOCKS5", {"--socks5", proxy, url}, 0, true},
  };
  // Alternating the modes spreads the machine's background load over all of them.
  for (int run = 0; run < runs; ++run) {
    for (Mode& mode : modes) {
      origin.set_send_buffer(mode.origin_send_buffer);
      double cpu_before = ProcessCpuSeconds();
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
      double relay_cpu = ProcessCpuSeconds() - cpu_before - server_cpu;
      if (speed < 0) {
        std::fprintf(stderr, "%s: download failed\n", mode.name);
        return 1;
      }
      std::printf("run %d  %-20s %8.1f MiB/s   CPU s per GiB: server %.2f, relay %.2f, curl %.2f\n",
                  run + 1, mode.name, speed / (1 << 20), server_cpu * 1024 / mib,
                  relay_cpu * 1024 / mib, curl_cpu * 1024 / mib);
      mode.cpu_total = std::min(mode.cpu_total, server_cpu + relay_cpu + curl_cpu);
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
  for (const Mode& mode : modes) {
    double ratio = mode.best / baseline;
    // On a machine whose cores are all busy, throughput follows the CPU time a download costs.
    std::printf(
        "  %-20s %8.1f MiB/s   ratio %.2f (to autotuned direct %.2f)   CPU-cost ratio %.2f\n",
        mode.name, mode.best / (1 << 20), ratio, mode.best / autotuned,
        modes[0].cpu_total / mode.cpu_total);
    if (mode.relayed) {
      met = met && ratio >= kGoal;
    }
  }
  std::printf("goal: ratio >= %.2f against the direct download: %s\n", kGoal,
              met ? "met" : "NOT met");
  return 0;
}
