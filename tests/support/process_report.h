#ifndef TESTS_SUPPORT_PROCESS_REPORT_H_
#define TESTS_SUPPORT_PROCESS_REPORT_H_

#include <sys/types.h>

#include <functional>
#include <string>

namespace korvane_test {

// What a process report picks processes by.
struct ProcessFacts {
  pid_t pid = 0;
  pid_t group = 0;
  uid_t uid = 0;
  std::string command;  // the short name, /proc/<pid>/comm
};

// Each process `wanted` picks, with its state, what the kernel has it wait on and every thread's
// user-space stack (when gdb is there to ask): the report of a process that never came up says
// where it stands. "  (none)" when nothing is picked.
std::string DescribeProcesses(const std::function<bool(const ProcessFacts&)>& wanted);

}  // namespace korvane_test

#endif  // TESTS_SUPPORT_PROCESS_REPORT_H_
