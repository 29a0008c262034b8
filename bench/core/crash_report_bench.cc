// Crash-report time and peak memory for large engine logs, beside `wc -l` on the same file.
//
//   crash_report_bench [SIZE_MIB ...]      default: 10 100 1024
//   crash_report_bench --generate FILE SIZE_MIB [noerr]    (for profiling)
//   crash_report_bench --summarize FILE
//
// For each size the benchmark writes an engine-like log (JSON and plain lines, a few warnings
// and errors) into a private temporary directory, then runs, each in a fresh process:
//   - `wc -l FILE` (the baseline: reading the file at the speed of the disk cache);
//   - the crash check of a crashed session whose log is that file (markers as the host leaves
//     them); the report is built while streaming the file;
//   - for sizes up to 100 MiB, the whole-list algorithm (every entry in memory, then the summary),
//     to show what streaming saves.
// Times are the best of three runs, measured from process start to exit for both the baseline
// and the crash check. Peak memory is the child's VmHWM.
//
// A last row repeats the middle size with no error-level entry at all, so every line is also
// searched for the error patterns (the slowest case).

#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "core/libbox_log_buffer.h"

extern char** environ;

namespace {

constexpr int kRuns = 3;

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

long PeakRssKib() {
  FILE* status = fopen("/proc/self/status", "re");
  if (!status) {
    return -1;
  }
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof(line), status)) {
    if (strncmp(line, "VmHWM:", 6) == 0) {
      kib = strtol(line + 6, nullptr, 10);
    }
  }
  fclose(status);
  return kib;
}

// Writes an engine-like log of about `bytes` bytes.
void GenerateLog(const std::string& path, uint64_t bytes, bool with_errors) {
  FILE* out = fopen(path.c_str(), "we");
  if (!out) {
    perror("log file");
    exit(1);
  }
  setvbuf(out, nullptr, _IOFBF, 1 << 20);
  std::mt19937 random(42);
  const char* hosts[] = {"example.com:443", "203.0.113.7:8443", "cdn.example.net:443",
                         "[2001:db8::1]:443", "api.example.org:80"};
  // Every template takes the host, then a number.
  const char* json_messages[] = {
      "inbound/mixed[mixed-in]: inbound connection to %s from 127.0.0.1:%u",
      "outbound/vless[proxy]: outbound connection to %s (connection %u)",
      "router: match %s => route(proxy) by rule %u",
      "dns: exchanged %s A 300 \\\"ok\\\" (%u ms)",
      "outbound/direct[direct]: outbound packet connection to %s id %u",
      "router: found process path for %s: /usr/lib/firefox/firefox (%u)",
  };
  const char* plain_messages[] = {
      "+0000 2026-01-01 10:00:00 INFO inbound/tun[tun-in]: inbound connection to %s [%u 0ms]",
      "+0000 2026-01-01 10:00:00 DEBUG dns: lookup succeed for %s [%u 2ms]",
      "+0000 2026-01-01 10:00:00 WARN outbound/hysteria2[hy2]: slow handshake %s [%u 31ms]",
  };
  const char* errors[] = {
      "dial tcp %s: connect: connection refused (%u)",
      "outbound/vless[proxy]: open connection to %s: i/o timeout (%u)",
  };
  char message[512];
  uint64_t written = 0;
  unsigned seq = 0;
  while (written < bytes) {
    ++seq;
    const char* host = hosts[random() % 5];
    unsigned pick = random() % 1000;
    int n;
    if (with_errors && pick == 0) {
      snprintf(message, sizeof(message), errors[random() % 2], host, seq);
      n = fprintf(out,
                  "{\"level\":\"error\",\"ts\":\"2026-01-01T10:00:00.%09uZ\",\"msg\":\"%s\"}\n",
                  seq, message);
    } else if (pick < 700) {
      snprintf(message, sizeof(message), json_messages[random() % 6], host, seq);
      const char* level = pick < 40 ? "warn" : pick < 200 ? "debug" : "info";
      n = fprintf(out, "{\"level\":\"%s\",\"ts\":\"2026-01-01T10:00:00.%09uZ\",\"msg\":\"%s\"}\n",
                  level, seq, message);
    } else if (pick < 990) {
      snprintf(message, sizeof(message), plain_messages[random() % 3], host, seq);
      n = fprintf(out, "%s\n", message);
    } else {
      n = fprintf(out, "\n");
    }
    written += n > 0 ? static_cast<uint64_t>(n) : 0;
  }
  if (fclose(out) != 0) {
    perror("log file");
    exit(1);
  }
}

struct ChildResult {
  double seconds = 0;  // process start to exit, seen by the parent
  double cpu = 0;      // user + system time of the child
  std::string output;  // what the child printed
};

// Runs argv in a fresh process with `env_extra` added; returns its wall time and output.
ChildResult RunChild(const std::vector<std::string>& args, const std::string& env_extra = "") {
  int fds[2];
  if (pipe(fds) != 0) {
    perror("pipe");
    exit(1);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  std::vector<char*> argv;
  for (const std::string& a : args) {
    argv.push_back(const_cast<char*>(a.c_str()));
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) {
    if (env_extra.empty() || strncmp(*e, env_extra.c_str(), env_extra.find('=') + 1) != 0) {
      envp.push_back(*e);
    }
  }
  if (!env_extra.empty()) {
    envp.push_back(const_cast<char*>(env_extra.c_str()));
  }
  envp.push_back(nullptr);
  ChildResult result;
  double start = Now();
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
    perror("spawn");
    exit(1);
  }
  close(fds[1]);
  char buffer[4096];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof(buffer))) > 0) {
    result.output.append(buffer, n);
  }
  close(fds[0]);
  int status = 0;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  result.seconds = Now() - start;
  result.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
               usage.ru_stime.tv_usec / 1e6;
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "child %s failed\n", args[0].c_str());
    exit(1);
  }
  return result;
}

std::string SelfPath() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) {
    perror("/proc/self/exe");
    exit(1);
  }
  return std::string(path, n);
}

// Lays out a crashed session whose log is `log` (hard-linked, so the check's deletion leaves
// the original), and returns the value for XDG_CONFIG_HOME.
std::string PrepareCrashedSession(const std::string& dir, const std::string& log, int run) {
  std::string config = dir + "/config-" + std::to_string(run);
  std::string base = config + "/korvane";
  mkdir(config.c_str(), 0700);
  mkdir(base.c_str(), 0700);
  LibboxLogBuffer::writeMarkerSync(base + "/libbox_session_active");
  std::string session = base + "/libbox_session.log";
  unlink(session.c_str());
  if (link(log.c_str(), session.c_str()) != 0) {
    perror("link");
    exit(1);
  }
  return config;
}

int ChildCheck() {
  double start = Now();
  std::optional<CrashLogResult> report = LibboxLogBuffer::checkForCrashLogs();
  double seconds = Now() - start;
  if (!report) {
    fprintf(stderr, "no crash report\n");
    return 1;
  }
  printf("%.6f %ld %d %zu\n", seconds, PeakRssKib(), report->logCount, report->summary.size());
  return 0;
}

int ChildWholeList(const char* path) {
  double start = Now();
  std::vector<LogEntry> entries = LibboxLogBuffer::parseLogFile(path);
  std::string summary = LibboxLogBuffer::extractErrorSummary(entries);
  double seconds = Now() - start;
  printf("%.6f %ld %zu %zu\n", seconds, PeakRssKib(), entries.size(), summary.size());
  return 0;
}

int ChildIdle() {
  printf("0 %ld 0 0\n", PeakRssKib());
  return 0;
}

struct Measure {
  double wall = 1e9;    // best parent-side wall time
  double cpu = 1e9;     // best user + system time
  double inside = 1e9;  // best child-side time of the work alone
  long peak_kib = 0;    // largest VmHWM over the runs
  long count = 0;
};

void Absorb(Measure& m, const ChildResult& r) {
  double inside = 0;
  long peak = 0;
  long count = 0;
  size_t summary = 0;
  sscanf(r.output.c_str(), "%lf %ld %ld %zu", &inside, &peak, &count, &summary);
  m.wall = std::min(m.wall, r.seconds);
  m.cpu = std::min(m.cpu, r.cpu);
  m.inside = std::min(m.inside, inside);
  m.peak_kib = std::max(m.peak_kib, peak);
  m.count = count;
}

void RunSize(const std::string& self, const std::string& dir, uint64_t mib, bool with_errors) {
  std::string log = dir + "/engine-" + std::to_string(mib) + (with_errors ? "" : "-noerr") + ".log";
  double gen_start = Now();
  GenerateLog(log, mib << 20, with_errors);
  double gen_seconds = Now() - gen_start;

  RunChild({"wc", "-l", log});  // warms the page cache for everyone
  Measure wc;
  for (int run = 0; run < kRuns; ++run) {
    ChildResult r = RunChild({"wc", "-l", log});
    wc.wall = std::min(wc.wall, r.seconds);
    wc.cpu = std::min(wc.cpu, r.cpu);
  }
  Measure check;
  for (int run = 0; run < kRuns; ++run) {
    std::string config = PrepareCrashedSession(dir, log, run);
    Absorb(check, RunChild({self, "--child-check"}, "XDG_CONFIG_HOME=" + config));
  }
  Measure whole;
  bool have_whole = mib <= 100;
  if (have_whole) {
    for (int run = 0; run < kRuns; ++run) {
      Absorb(whole, RunChild({self, "--child-whole", log}));
    }
  }
  printf(
      "%6llu MiB%s %9ld entries | wall: wc -l %6.3f s, check %6.3f s = %5.2fx | cpu: wc -l "
      "%6.3f s, check %6.3f s = %5.2fx | peak %5.1f MiB",
      static_cast<unsigned long long>(mib), with_errors ? "      " : " noerr", check.count, wc.wall,
      check.wall, check.wall / wc.wall, wc.cpu, check.cpu, check.cpu / std::max(wc.cpu, 1e-3),
      check.peak_kib / 1024.0);
  if (have_whole) {
    printf(" | whole list %6.3f s, peak %6.1f MiB", whole.inside, whole.peak_kib / 1024.0);
  }
  printf("  (generated in %.1f s)\n", gen_seconds);
  fflush(stdout);
  unlink(log.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "--child-check") == 0) {
    return ChildCheck();
  }
  if (argc >= 3 && strcmp(argv[1], "--child-whole") == 0) {
    return ChildWholeList(argv[2]);
  }
  if (argc >= 2 && strcmp(argv[1], "--child-idle") == 0) {
    return ChildIdle();
  }
  // For profiling: write one log, or summarise one in this process.
  if (argc >= 4 && strcmp(argv[1], "--generate") == 0) {
    GenerateLog(argv[2], strtoull(argv[3], nullptr, 10) << 20, argc < 5);
    return 0;
  }
  if (argc >= 3 && strcmp(argv[1], "--summarize") == 0) {
    double start = Now();
    CrashLogResult report = LibboxLogBuffer::summarizeLogFile(argv[2]);
    printf("%.3f s, %d entries, summary: %s\n", Now() - start, report.logCount,
           report.summary.c_str());
    return 0;
  }
  std::vector<uint64_t> sizes;
  for (int i = 1; i < argc; ++i) {
    sizes.push_back(strtoull(argv[i], nullptr, 10));
  }
  if (sizes.empty()) {
    sizes = {10, 100, 1024};
  }

  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/korvane-crash-bench-XXXXXX";
  if (!mkdtemp(&pattern[0])) {
    perror("mkdtemp");
    return 1;
  }
  std::string dir = pattern;
  std::string self = SelfPath();

  Measure idle;
  Absorb(idle, RunChild({self, "--child-idle"}));
  printf(
      "crash report vs wc -l (best of %d, each in a fresh process); idle process peak %.1f MiB\n",
      kRuns, idle.peak_kib / 1024.0);
  for (uint64_t mib : sizes) {
    RunSize(self, dir, mib, true);
  }
  // Worst case: no error-level entry, so every line is searched for the patterns.
  RunSize(self, dir, sizes[sizes.size() / 2], false);

  std::string command = "rm -rf '" + dir + "'";
  return system(command.c_str()) == 0 ? 0 : 1;
}
