// TUN path throughput. First table: a download from a server in another network namespace,
// over the namespace's plain route, against the same download with the server's network
// routed into the engine's TUN (system stack, direct outbound bound to the link). Second
// table: a download from the lab's origin, reachable only through a danted, through the TUN
// with a socks outbound against redsocks (fed by an nftables redirect) to the same danted.
// curl downloads into /dev/null; the tables show throughput and the CPU seconds per GiB of the
// engine's process (a forked child) or redsocks', and of curl, measured by the run time the
// kernel accounts to all of a process's threads. The runs alternate between the paths. Needs root
// (private network namespaces; nothing outside them is touched). Run from the build directory (it
// starts tests/support/lab_origin).
//
// Usage: engine_tun_throughput [--mib N] [--runs N] [--mtu N]
//   (defaults: 1024 MiB, 3 runs, best shown; the TUN's MTU is the engine's default unless given)
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench/engine/process_cpu.h"
#include "engine/service.h"
#include "tests/support/net_lab.h"
#include "tests/support/shell_command.h"

namespace {

using Clock = std::chrono::steady_clock;

using korvane_bench::CpuSeconds;

// The engine with `config`, in a child process that stops it on SIGTERM.
pid_t StartEngine(const std::string& config) {
  int ready[2];
  if (pipe(ready) != 0) {
    return -1;
  }
  pid_t pid = fork();
  if (pid != 0) {
    close(ready[1]);
    char byte = 0;
    const bool started = read(ready[0], &byte, 1) == 1 && byte == 'y';
    close(ready[0]);
    if (!started && pid > 0) {
      waitpid(pid, nullptr, 0);
      return -1;
    }
    return pid;
  }
  close(ready[0]);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  std::string error;
  auto service = box::Service::Create(config, "/tmp", &error);
  const bool started = service && service->Start(&error);
  if (!started) {
    fprintf(stderr, "engine: %s\n", error.c_str());
  }
  ssize_t ignored = write(ready[1], started ? "y" : "n", 1);
  (void)ignored;
  if (!started) {
    _exit(1);
  }
  int signal_number = 0;
  sigwait(&set, &signal_number);
  service->Stop();
  _exit(0);
}

struct Run {
  double mib_per_s = 0;
  double curl_cpu = 0;  // seconds
};

// curl downloads `bytes` from url into /dev/null; false when it failed.
bool Download(const std::string& url, size_t bytes, Run* run) {
  const auto begin = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    execlp("curl", "curl", "-sS", "--max-time", "600", "-o", "/dev/null", url.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  run->mib_per_s = static_cast<double>(bytes) / (1 << 20) / seconds;
  run->curl_cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

pid_t Spawn(const std::vector<std::string>& argv) {
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
      args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int Shell(const std::string& command) {
  std::string output;
  const int status = korvane_test::RunShellCommand(command, &output);
  if (status != 0) {
    fprintf(stderr, "%s: %s", command.c_str(), output.c_str());
  }
  return status;
}

int main(int argc, char** argv) {
  size_t mib = 1024;
  int runs = 3;
  int mtu = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--mib") == 0) {
      mib = static_cast<size_t>(std::atoi(argv[i + 1]));
    } else if (std::strcmp(argv[i], "--runs") == 0) {
      runs = std::atoi(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--mtu") == 0) {
      mtu = std::atoi(argv[i + 1]);
    }
  }
  if (geteuid() != 0) {
    fprintf(stderr, "needs root for private network namespaces\n");
    return 2;
  }
  std::string error;
  if (!korvane_test::NetLab::EnterPrivateNetwork(&error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  korvane_test::NetLab lab;
  const korvane_test::NetLab::Host* server = nullptr;
  if (!lab.Start(&error) || (server = lab.AddHost("srv", &error)) == nullptr) {
    fprintf(stderr, "lab: %s\n", error.c_str());
    return 1;
  }
  constexpr int kPort = 9001;
  if (lab.Run(*server, {korvane_test::NetLab::OriginProgram(), "serve", std::to_string(kPort), "0"},
              "origin") < 0 ||
      !lab.WaitForPort(server->address, kPort)) {
    fprintf(stderr, "origin did not start: %s\n", lab.Log("origin").c_str());
    return 1;
  }
  const size_t bytes = mib << 20;
  const std::string url =
      "http://" + server->address + ":" + std::to_string(kPort) + "/bytes/" + std::to_string(bytes);
  const std::string network = "198.18." + std::to_string(server->index) + ".0/24";
  nlohmann::json config = {
      {"log", {{"level", "warn"}}},
      {"inbounds",
       {{{"type", "tun"},
         {"tag", "tun-in"},
         {"interface_name", "bench-tun0"},
         {"address", {"172.19.0.1/30"}},
         {"auto_route", true},
         {"route_address", {network}}}}},
      {"outbounds", {{{"type", "direct"}, {"tag", "direct"}}}},
      {"route",
       {{"final", "direct"}, {"default_interface", "lab" + std::to_string(server->index)}}}};
  if (mtu > 0) {
    config["inbounds"][0]["mtu"] = mtu;
  }

  Run best_plain;
  Run best_tun;
  double best_engine_cpu = 0;
  for (int r = 0; r < runs; ++r) {
    Run plain;
    if (!Download(url, bytes, &plain)) {
      fprintf(stderr, "plain download failed\n");
      return 1;
    }
    if (plain.mib_per_s > best_plain.mib_per_s) {
      best_plain = plain;
    }
    pid_t engine = StartEngine(config.dump());
    if (engine < 0) {
      return 1;
    }
    const double before = CpuSeconds(engine);
    Run tun;
    const bool ok = Download(url, bytes, &tun);
    const double engine_cpu = CpuSeconds(engine) - before;
    kill(engine, SIGTERM);
    waitpid(engine, nullptr, 0);
    if (!ok) {
      fprintf(stderr, "download through the TUN failed\n");
      return 1;
    }
    if (tun.mib_per_s > best_tun.mib_per_s) {
      best_tun = tun;
      best_engine_cpu = engine_cpu;
    }
  }
  const double gib = static_cast<double>(bytes) / (1 << 30);
  printf("| path | MiB/s | engine CPU s/GiB | curl CPU s/GiB |\n");
  printf("|---|---|---|---|\n");
  printf("| plain route | %.0f | - | %.2f |\n", best_plain.mib_per_s, best_plain.curl_cpu / gib);
  printf("| TUN, direct | %.0f | %.2f | %.2f |\n", best_tun.mib_per_s, best_engine_cpu / gib,
         best_tun.curl_cpu / gib);
  printf("TUN / plain throughput: %.2f (%zu MiB, best of %d)\n\n",
         best_tun.mib_per_s / best_plain.mib_per_s, mib, runs);

  // The socks comparison: the origin only through danted.
  const korvane_test::NetLab::Host* dante = lab.AddHost("dante", &error);
  if (dante == nullptr || lab.StartDante(*dante, 1080, "benchuser", "bench-pass") < 0) {
    fprintf(stderr, "danted did not start: %s\n", error.c_str());
    return 1;
  }
  const std::string origin_url = std::string("http://") + korvane_test::NetLab::kOrigin + ":" +
                                 std::to_string(korvane_test::NetLab::kOriginPortBase) + "/bytes/" +
                                 std::to_string(bytes);
  nlohmann::json socks_config = config;
  socks_config["inbounds"][0].erase("route_address");
  socks_config["outbounds"] = {{{"type", "socks"},
                                {"tag", "dante"},
                                {"server", dante->address},
                                {"server_port", 1080},
                                {"username", "benchuser"},
                                {"password", "bench-pass"}}};
  socks_config["route"] = {{"final", "dante"}};
  const std::string redsocks_conf = lab.dir() + "/redsocks.conf";
  {
    std::ofstream out(redsocks_conf);
    out << "base { log_debug = off; log_info = off; daemon = off; redirector = iptables; }\n"
        << "redsocks { local_ip = 127.0.0.1; local_port = 12345; ip = " << dante->address
        << "; port = 1080; type = socks5; login = \"benchuser\"; password = \"bench-pass\"; }\n";
  }
  Run best_redsocks;
  Run best_socks_tun;
  double best_redsocks_cpu = 0;
  double best_socks_engine_cpu = 0;
  for (int r = 0; r < runs; ++r) {
    pid_t redsocks = Spawn({"redsocks", "-c", redsocks_conf});
    if (redsocks < 0 || !lab.WaitForPort("127.0.0.1", 12345) ||
        // A local connect needs a route before the output hook can redirect it.
        Shell("ip route add 198.19.0.0/24 via " + dante->address) != 0 ||
        Shell("nft add table ip korvane_bench && nft add chain ip korvane_bench out "
              "'{ type nat hook output priority -100; }' && nft add rule ip korvane_bench out "
              "ip daddr 198.19.0.0/24 tcp dport " +
              std::to_string(korvane_test::NetLab::kOriginPortBase) + " redirect to :12345") != 0) {
      fprintf(stderr, "redsocks path did not come up\n");
      return 1;
    }
    double before = CpuSeconds(redsocks);
    Run red;
    bool ok = Download(origin_url, bytes, &red);
    const double redsocks_cpu = CpuSeconds(redsocks) - before;
    Shell("nft delete table ip korvane_bench");
    Shell("ip route del 198.19.0.0/24");
    kill(redsocks, SIGTERM);
    waitpid(redsocks, nullptr, 0);
    if (!ok) {
      fprintf(stderr, "download through redsocks failed\n");
      return 1;
    }
    if (red.mib_per_s > best_redsocks.mib_per_s) {
      best_redsocks = red;
      best_redsocks_cpu = redsocks_cpu;
    }
    pid_t engine = StartEngine(socks_config.dump());
    if (engine < 0) {
      return 1;
    }
    before = CpuSeconds(engine);
    Run tun;
    ok = Download(origin_url, bytes, &tun);
    const double engine_cpu = CpuSeconds(engine) - before;
    kill(engine, SIGTERM);
    waitpid(engine, nullptr, 0);
    if (!ok) {
      fprintf(stderr, "download through the TUN and danted failed\n");
      return 1;
    }
    if (tun.mib_per_s > best_socks_tun.mib_per_s) {
      best_socks_tun = tun;
      best_socks_engine_cpu = engine_cpu;
    }
  }
  printf("| path to danted | MiB/s | proxy CPU s/GiB | curl CPU s/GiB |\n");
  printf("|---|---|---|---|\n");
  printf("| redsocks | %.0f | %.2f | %.2f |\n", best_redsocks.mib_per_s, best_redsocks_cpu / gib,
         best_redsocks.curl_cpu / gib);
  printf("| TUN, socks | %.0f | %.2f | %.2f |\n", best_socks_tun.mib_per_s,
         best_socks_engine_cpu / gib, best_socks_tun.curl_cpu / gib);
  printf("TUN / redsocks: throughput %.2f, CPU per GiB %.2f\n",
         best_socks_tun.mib_per_s / best_redsocks.mib_per_s,
         best_redsocks_cpu / best_socks_engine_cpu);
  return 0;
}
