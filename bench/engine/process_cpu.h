#ifndef BENCH_ENGINE_PROCESS_CPU_H_
#define BENCH_ENGINE_PROCESS_CPU_H_

#include <dirent.h>
#include <sys/types.h>

#include <fstream>
#include <string>

namespace korvane_bench {

// Seconds of CPU the kernel accounted to every thread of `pid` so far (0 when it is gone).
inline double CpuSeconds(pid_t pid) {
  double total = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) {
    return 0;
  }
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') {
      continue;
    }
    std::ifstream in(tasks + "/" + entry->d_name + "/schedstat");
    unsigned long long ns = 0;
    in >> ns;
    total += static_cast<double>(ns) / 1e9;
  }
  closedir(dir);
  return total;
}

}  // namespace korvane_bench

#endif  // BENCH_ENGINE_PROCESS_CPU_H_
