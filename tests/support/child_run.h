#ifndef TESTS_SUPPORT_CHILD_RUN_H_
#define TESTS_SUPPORT_CHILD_RUN_H_

#include <chrono>
#include <functional>
#include <string>

// Runs code in a forked child, for code that may hang (or must run with other credentials or
// limits) without taking the test process with it. Test thread only.
namespace korvane_test {

struct ChildRun {
  // False when the child had not ended within the limit (it was killed and reaped).
  bool finished = false;
  // The exit status; -1 when the child did not exit normally.
  int status = -1;
  // What the child wrote on its standard output and standard error.
  std::string out;
  std::string err;
};

// Forks, runs `body` in the child and exits it with body's result (no exit handlers run; 125
// when body throws). Waits for the child to end, up to `limit`.
ChildRun RunInChild(const std::function<int()>& body,
                    std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace korvane_test

#endif  // TESTS_SUPPORT_CHILD_RUN_H_
