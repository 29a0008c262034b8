#include "tests/support/process_report.h"

#include <glib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "tests/support/test_files.h"

namespace korvane_test {

namespace {

// Every thread's user-space stack of process `pid`.
std::string ThreadStacks(const std::string& pid) {
  gchar* out = nullptr;
  const gchar* argv[] = {
      "timeout", "60", "gdb", "-p", pid.c_str(), "-batch", "-nx", "-ex", "thread apply all bt 30",
      nullptr};
  if (!g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr,
                    static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL),
                    nullptr, nullptr, &out, nullptr, nullptr, nullptr)) {
    return "";
  }
  std::string frames;
  std::istringstream lines(out != nullptr ? out : "");
  g_free(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("#", 0) == 0 || line.rfind("Thread ", 0) == 0) {
      frames += "    " + line + "\n";
    }
  }
  return frames;
}

}  // namespace

std::string DescribeProcesses(const std::function<bool(const ProcessFacts&)>& wanted) {
  std::string report;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    const std::string dir = entry.path().string();
    const std::string stat = ReadFile(dir + "/stat");
    const size_t comm_end = stat.rfind(')');
    struct stat owner;
    if (comm_end == std::string::npos || ::stat(dir.c_str(), &owner) != 0) {
      continue;
    }
    // After the command: state, ppid, pgrp.
    char state = '?';
    int ppid = 0;
    int group = 0;
    if (sscanf(stat.c_str() + comm_end + 1, " %c %d %d", &state, &ppid, &group) != 3) {
      continue;
    }
    ProcessFacts facts;
    facts.pid = std::stoi(name);
    facts.group = group;
    facts.uid = owner.st_uid;
    facts.command = ReadFile(dir + "/comm");
    if (!facts.command.empty() && facts.command.back() == '\n') {
      facts.command.pop_back();
    }
    if (!wanted(facts)) {
      continue;
    }
    std::string command = ReadFile(dir + "/cmdline");
    std::replace(command.begin(), command.end(), '\0', ' ');
    report += "  pid " + name + " ppid " + std::to_string(ppid) + " state " + state + " wchan " +
              ReadFile(dir + "/wchan") + ": " + command + "\n" + ReadFile(dir + "/stack") +
              ThreadStacks(name);
  }
  return report.empty() ? "  (none)\n" : report;
}

}  // namespace korvane_test
