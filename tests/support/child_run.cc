#include "tests/support/child_run.h"

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <iostream>

namespace korvane_test {

namespace {

// The whole content of a memory file from its start.
std::string ReadBack(int fd) {
  std::string text;
  char buffer[4096];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = pread(fd, buffer, sizeof buffer, offset);
    if (n <= 0) {
      return text;
    }
    text.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
}

}  // namespace

ChildRun RunInChild(const std::function<int()>& body, std::chrono::milliseconds limit) {
  ChildRun run;
  const int out = memfd_create("child-out", MFD_CLOEXEC);
  const int err = memfd_create("child-err", MFD_CLOEXEC);
  std::cout.flush();
  std::cerr.flush();
  fflush(nullptr);
  const pid_t pid = (out < 0 || err < 0) ? -1 : fork();
  if (pid == 0) {
    if (dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) {
      _exit(126);
    }
    // Nothing may unwind out of the child into the test framework's own flow.
    int code = 125;
    try {
      code = body();
    } catch (const std::exception& e) {
      std::cerr << "uncaught exception: " << e.what() << std::endl;
    } catch (...) {
      std::cerr << "uncaught exception" << std::endl;
    }
    std::cout.flush();
    std::cerr.flush();
    fflush(nullptr);
    _exit(code);
  }
  if (pid > 0) {
    // Wait for the child's end itself, not for a time.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    struct pollfd ready = {pidfd, POLLIN, 0};
    run.finished = pidfd >= 0 && poll(&ready, 1, static_cast<int>(limit.count())) == 1;
    if (!run.finished) {
      kill(pid, SIGKILL);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
      run.status = WEXITSTATUS(status);
    }
    if (pidfd >= 0) {
      close(pidfd);
    }
    run.out = ReadBack(out);
    run.err = ReadBack(err);
  }
  if (out >= 0) {
    close(out);
  }
  if (err >= 0) {
    close(err);
  }
  return run;
}

}  // namespace korvane_test
