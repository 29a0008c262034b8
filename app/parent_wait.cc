#include "app/parent_wait.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/log.h"
#include "base/logger.h"

namespace {
constexpr korvane::Logger kLog(korvane::kKorvaneTag);
}  // namespace

namespace korvane {

namespace {

constexpr char kWaitForParentPrefix[] = "--wait-for-parent-pid=";
constexpr int kWaitSteps = 100;
constexpr auto kWaitStep = std::chrono::milliseconds(100);

}  // namespace

long TakeWaitForParentArgument(int* argc, char** argv) {
  const size_t prefix_length = strlen(kWaitForParentPrefix);
  for (int i = 1; i < *argc; ++i) {
    if (strncmp(argv[i], kWaitForParentPrefix, prefix_length) != 0) {
      continue;
    }
    const long pid = strtol(argv[i] + prefix_length, nullptr, 10);
    for (int j = i; j < *argc; ++j) {
      argv[j] = argv[j + 1];
    }
    --*argc;
    return pid;
  }
  return 0;
}

void WaitForParentExit(long parent_pid) {
  if (parent_pid < 1) {
    return;
  }
  kLog.Info() << "Waiting for parent process " << parent_pid << " to exit...";
  for (int step = 0; step < kWaitSteps && getppid() == parent_pid; ++step) {
    std::this_thread::sleep_for(kWaitStep);
  }
  kLog.Info() << "Parent process exited. Starting new instance.";
}

}  // namespace korvane
