#include "platform/privileges/sealed_askpass.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/file_util.h"
#include "base/log.h"
#include "base/logger.h"

namespace {
constexpr korvane::Logger kLog(korvane::kPlatformServiceTag);
}  // namespace

namespace korvane {

namespace {

// Descriptors are moved this high before the fork so that the holder can place them on 0 and 1
// whatever the host had open there.
constexpr int kHighDescriptor = 10;

// Drops every capability (effective, permitted, inheritable) with the raw system call: the only
// kind of call allowed between fork and the end of the holder.
void DropCapabilities() {
  struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  struct __user_cap_data_struct data[2] = {};
  syscall(SYS_capset, &header, data);
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
}

void CloseFrom(int first) {
  if (syscall(SYS_close_range, first, ~0U, 0) != 0) {
    for (int fd = first; fd < 65536; ++fd) {
      close(fd);
    }
  }
}

// The holder: the memory file on 0, the pipe it waits on at 1, nothing else; reachable by the
// user (dumpable, no capabilities) until the pipe's writer closes it. Says it is ready on
// `ready_fd` once /proc/<pid>/fd/0 is the memory file.
[[noreturn]] void RunHolder(int memfd, int wait_fd, int ready_fd) {
  if (dup2(memfd, 0) != 0 || dup2(wait_fd, 1) != 1 || dup2(ready_fd, 2) != 2) {
    _exit(1);
  }
  CloseFrom(3);
  DropCapabilities();
  prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
  const char ready = 'r';
  if (write(2, &ready, 1) != 1) {
    _exit(1);
  }
  close(2);
  char byte;
  while (read(1, &byte, 1) == -1 && errno == EINTR) {
  }
  _exit(0);
}

}  // namespace

SealedAskpass::~SealedAskpass() {
  release_.reset();
  if (holder_ > 0) {
    while (waitpid(holder_, nullptr, 0) == -1 && errno == EINTR) {
    }
  }
}

bool SealedAskpass::Start(const std::string& text) {
  ScopedFd memfd(memfd_create("korvane-askpass", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!memfd.valid() || !WriteAll(memfd.get(), text) || fchmod(memfd.get(), 0500) != 0 ||
      fcntl(memfd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) !=
          0) {
    const int error = errno;
    kLog.Error() << "Failed to seal the password-helper wrapper: " << ErrnoText(error);
    return false;
  }
  int pipe_fds[2];
  int ready_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    const int error = errno;
    kLog.Error() << "Failed to start the password-helper holder: " << ErrnoText(error);
    return false;
  }
  ScopedFd wait_end(pipe_fds[0]);
  release_.reset(pipe_fds[1]);
  if (pipe2(ready_fds, O_CLOEXEC) != 0) {
    const int error = errno;
    kLog.Error() << "Failed to start the password-helper holder: " << ErrnoText(error);
    release_.reset();
    return false;
  }
  ScopedFd ready_read(ready_fds[0]);
  ScopedFd ready_write(ready_fds[1]);
  ScopedFd high_memfd(fcntl(memfd.get(), F_DUPFD_CLOEXEC, kHighDescriptor));
  ScopedFd high_wait(fcntl(wait_end.get(), F_DUPFD_CLOEXEC, kHighDescriptor));
  ScopedFd high_ready(fcntl(ready_write.get(), F_DUPFD_CLOEXEC, kHighDescriptor));
  if (!high_memfd.valid() || !high_wait.valid() || !high_ready.valid()) {
    const int error = errno;
    kLog.Error() << "Failed to start the password-helper holder: " << ErrnoText(error);
    release_.reset();
    return false;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    RunHolder(high_memfd.get(), high_wait.get(), high_ready.get());
  }
  if (pid < 0) {
    const int error = errno;
    kLog.Error() << "Failed to start the password-helper holder: " << ErrnoText(error);
    release_.reset();
    return false;
  }
  holder_ = pid;
  high_ready.reset();
  ready_write.reset();
  char ready = 0;
  ssize_t got;
  do {
    got = read(ready_read.get(), &ready, 1);
  } while (got == -1 && errno == EINTR);
  if (got != 1) {
    kLog.Error() << "Failed to start the password-helper holder: it ended early";
    return false;
  }
  path_ = "/proc/" + std::to_string(pid) + "/fd/0";
  return true;
}

}  // namespace korvane
