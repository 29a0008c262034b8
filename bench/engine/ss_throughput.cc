// Shadowsocks client throughput: the engine's mixed inbound with a shadowsocks outbound against
// ss-local (shadowsocks-libev's client), both as SOCKS5 proxies in front of the same ss-server,
// per AEAD method, all on loopback. A raw TCP origin in this process sends (download) or takes
// (upload) N bytes through each client; the table shows each client's throughput and the CPU
// seconds its process spent per GiB moved, and the ratio of the two. Each client runs in a
// process of its own (the engine's inbound in a forked child), measured by the run time the
// kernel accounts to all of its threads. The runs alternate between the clients.
//
// Usage: engine_ss_throughput [--mib N] [--runs N]   (defaults: 1024 MiB, 3 runs; best run shown)
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/engine/process_cpu.h"
#include "engine/mixed_inbound.h"
#include "engine/outbound_plan.h"
#include "engine/ss_aead.h"
#include "tests/support/loopback_ports.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr char kPassword[] = "bench-password";
constexpr size_t kBlock = 256 * 1024;

using korvane_bench::CpuSeconds;

pid_t Spawn(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

bool WaitForPort(int port) {
  for (int i = 0; i < 500; ++i) {
    if (korvane_test::IsListening(port)) {
      return true;
    }
    usleep(10000);
  }
  return false;
}

void Stop(pid_t pid) {
  if (pid > 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
}

// The engine's mixed inbound with every connection routed to one shadowsocks outbound, in a
// child process. Returns its pid; *port is where it listens.
pid_t StartEngineClient(const std::string& method, int server_port, int port) {
  pid_t pid = fork();
  if (pid != 0) {
    return pid;
  }
  std::string error;
  box::OutboundLeaf leaf;
  leaf.kind = box::OutboundLeaf::Kind::kShadowsocks;
  leaf.name = "outbound/shadowsocks[bench]";
  leaf.server = "127.0.0.1";
  leaf.server_port = static_cast<uint16_t>(server_port);
  leaf.key = box::ss::Key::Create(method, kPassword, &error);
  box::MixedInboundOptions options;
  options.tag = "mixed-in";
  options.listen_port = port;
  auto inbound = box::MixedInbound::Create(
      options, nullptr,
      [leaf](const box::RouteRequest&) {
        box::RoutePlan plan;
        plan.leaf = leaf;
        return plan;
      },
      &error);
  if (!inbound || !leaf.key || !inbound->Start(&error)) {
    _exit(1);
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  int signal_number = 0;
  sigwait(&set, &signal_number);
  inbound->Stop();
  _exit(0);
}

// The origin: each connection sends one byte 'D' or 'U' and an 8-byte size; 'D' gets that
// many bytes, 'U' sends them and gets one byte back once all arrived.
class Origin {
 public:
  Origin() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    port_ = korvane_test::FreePort();
    sockaddr_in address = korvane_test::Loopback(port_);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd_, 16) != 0) {
      port_ = -1;
      return;
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~Origin() {
    stopping_ = true;
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  int port() const { return port_; }

 private:
  void Run() {
    std::vector<char> block(kBlock, 'x');
    while (!stopping_) {
      int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        continue;
      }
      char header[9];
      size_t got = 0;
      while (got < sizeof(header)) {
        ssize_t n = recv(client, header + got, sizeof(header) - got, 0);
        if (n <= 0) {
          break;
        }
        got += static_cast<size_t>(n);
      }
      uint64_t size = 0;
      memcpy(&size, header + 1, 8);
      if (got == sizeof(header) && header[0] == 'D') {
        for (uint64_t sent = 0; sent < size;) {
          ssize_t n =
              send(client, block.data(), std::min<uint64_t>(kBlock, size - sent), MSG_NOSIGNAL);
          if (n <= 0) {
            break;
          }
          sent += static_cast<uint64_t>(n);
        }
      } else if (got == sizeof(header) && header[0] == 'U') {
        uint64_t received = 0;
        while (received < size) {
          ssize_t n = recv(client, block.data(), kBlock, 0);
          if (n <= 0) {
            break;
          }
          received += static_cast<uint64_t>(n);
        }
        send(client, "k", 1, MSG_NOSIGNAL);
      }
      close(client);
    }
  }

  int fd_ = -1;
  int port_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// One transfer of `size` bytes through the SOCKS5 proxy on proxy_port; seconds, or -1.
double Transfer(int proxy_port, int origin_port, bool download, uint64_t size) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in proxy = korvane_test::Loopback(proxy_port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&proxy), sizeof(proxy)) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  std::string hello("\x05\x01\x00", 3);
  std::string request("\x05\x01\x00\x01\x7f\x00\x00\x01", 8);
  request.push_back(static_cast<char>(origin_port >> 8));
  request.push_back(static_cast<char>(origin_port & 0xff));
  char reply[16];
  if (send(fd, hello.data(), hello.size(), 0) != 3 || recv(fd, reply, 2, MSG_WAITALL) != 2 ||
      send(fd, request.data(), request.size(), 0) != 10 || recv(fd, reply, 10, MSG_WAITALL) != 10 ||
      reply[1] != 0) {
    close(fd);
    return -1;
  }
  char header[9];
  header[0] = download ? 'D' : 'U';
  memcpy(header + 1, &size, 8);
  std::vector<char> block(kBlock, 'y');
  const auto start = Clock::now();
  bool ok = send(fd, header, sizeof(header), 0) == sizeof(header);
  uint64_t moved = 0;
  while (ok && moved < size) {
    ssize_t n =
        download ? recv(fd, block.data(), kBlock, 0)
                 : send(fd, block.data(), std::min<uint64_t>(kBlock, size - moved), MSG_NOSIGNAL);
    if (n <= 0) {
      ok = false;
      break;
    }
    moved += static_cast<uint64_t>(n);
  }
  if (ok && !download) {
    ok = recv(fd, reply, 1, MSG_WAITALL) == 1;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  close(fd);
  return ok ? seconds : -1;
}

struct Result {
  double best_mib_s = 0;
  double cpu_per_gib = 0;  // of the run with the best throughput
};

void Measure(pid_t client,
             int port,
             int origin_port,
             bool download,
             uint64_t size,
             Result* result) {
  const double cpu_before = CpuSeconds(client);
  const double seconds = Transfer(port, origin_port, download, size);
  const double cpu = CpuSeconds(client) - cpu_before;
  if (seconds <= 0) {
    return;
  }
  const double mib_s = static_cast<double>(size) / (1 << 20) / seconds;
  if (mib_s > result->best_mib_s) {
    result->best_mib_s = mib_s;
    result->cpu_per_gib = cpu / (static_cast<double>(size) / (1ULL << 30));
  }
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  uint64_t mib = 1024;
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--mib") == 0) {
      mib = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (strcmp(argv[i], "--runs") == 0) {
      runs = std::atoi(argv[i + 1]);
    }
  }
  const uint64_t size = mib << 20;
  const char* methods[] = {"aes-128-gcm", "aes-256-gcm", "chacha20-ietf-poly1305"};

  // The engine's clients are forked before any thread of this process starts.
  struct Setup {
    const char* method;
    int server_port;
    int engine_port;
    int local_port;
    pid_t server = -1;
    pid_t engine = -1;
    pid_t local = -1;
  };
  std::vector<Setup> setups;
  for (const char* method : methods) {
    Setup setup{method, korvane_test::FreePort(), korvane_test::FreePort(),
                korvane_test::FreePort()};
    setup.engine = StartEngineClient(method, setup.server_port, setup.engine_port);
    setups.push_back(setup);
  }
  bool ready = true;
  for (Setup& setup : setups) {
    setup.server = Spawn({"ss-server", "-s", "127.0.0.1", "-p", std::to_string(setup.server_port),
                          "-k", kPassword, "-m", setup.method, "--no-delay"});
    setup.local = Spawn({"ss-local", "-s", "127.0.0.1", "-p", std::to_string(setup.server_port),
                         "-b", "127.0.0.1", "-l", std::to_string(setup.local_port), "-k", kPassword,
                         "-m", setup.method, "--no-delay"});
    ready = ready && setup.server > 0 && setup.local > 0 && WaitForPort(setup.server_port) &&
            WaitForPort(setup.local_port) && WaitForPort(setup.engine_port);
  }
  Origin origin;
  if (!ready || origin.port() <= 0) {
    std::printf("ss-server, ss-local (shadowsocks-libev) or the engine's client did not start\n");
    for (Setup& setup : setups) {
      Stop(setup.local);
      Stop(setup.server);
      Stop(setup.engine);
    }
    return 1;
  }

  std::printf("Shadowsocks clients, %llu MiB per transfer, best of %d, loopback\n",
              static_cast<unsigned long long>(mib), runs);
  std::printf("%-24s %-9s %12s %12s %14s %14s %8s %8s\n", "method", "direction", "engine MiB/s",
              "ss-local MiB/s", "engine CPU s/GiB", "ss-local CPU s/GiB", "speed x", "CPU x");
  bool ahead = true;
  for (Setup& setup : setups) {
    for (bool download : {true, false}) {
      Result engine;
      Result local;
      for (int run = 0; run < runs; ++run) {
        Measure(setup.engine, setup.engine_port, origin.port(), download, size, &engine);
        Measure(setup.local, setup.local_port, origin.port(), download, size, &local);
      }
      const double speed = local.best_mib_s > 0 ? engine.best_mib_s / local.best_mib_s : 0;
      const double cpu = engine.cpu_per_gib > 0 ? local.cpu_per_gib / engine.cpu_per_gib : 0;
      ahead = ahead && speed > 1 && cpu > 1;
      std::printf("%-24s %-9s %12.0f %14.0f %16.2f %18.2f %8.2f %8.2f\n", setup.method,
                  download ? "download" : "upload", engine.best_mib_s, local.best_mib_s,
                  engine.cpu_per_gib, local.cpu_per_gib, speed, cpu);
    }
  }
  std::printf("(speed x: engine over ss-local; CPU x: ss-local's CPU per GiB over the engine's)\n");
  std::printf("engine ahead on both for every method and direction: %s\n", ahead ? "yes" : "no");
  for (Setup& setup : setups) {
    Stop(setup.local);
    Stop(setup.server);
    Stop(setup.engine);
  }
  return 0;
}
