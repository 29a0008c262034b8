#include "platform/command_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "base/scoped_fd.h"

namespace korvane {

namespace {

// posix_spawn's file actions, destroyed with their holder.
class FileActions {
 public:
  FileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~FileActions() {
    if (ok_) {
      posix_spawn_file_actions_destroy(&actions_);
    }
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  posix_spawn_file_actions_t* get() { return ok_ ? &actions_ : nullptr; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
};

// The strings are not copied: `args` must outlive the spawn.
std::vector<char*> ArgumentVector(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  return argv;
}

void ReadAll(int fd, std::string* out) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got > 0) {
      out->append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      return;
    }
  }
}

}  // namespace

CommandResult CommandRunner::Run(const std::string& program,
                                 const std::vector<std::string>& args,
                                 const CommandOptions& options) {
  CommandResult result;
  std::vector<char*> argv = ArgumentVector(args);

  FileActions actions;
  if (actions.get() == nullptr) {
    result.spawn_error = ENOMEM;
    return result;
  }
  ScopedFd read_end;
  ScopedFd write_end;
  if (options.capture_output) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      result.spawn_error = errno;
      return result;
    }
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    result.output = std::string();
    posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), 1);
  } else if (options.discard_output) {
    posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0);
  }
  if (options.discard_errors) {
    posix_spawn_file_actions_addopen(actions.get(), 2, "/dev/null", O_WRONLY, 0);
  }

  pid_t pid = 0;
  const int error =
      posix_spawnp(&pid, program.c_str(), actions.get(), nullptr, argv.data(), environ);
  write_end.reset();
  if (error != 0) {
    result.spawn_error = error;
    return result;
  }
  result.pid = pid;
  if (read_end.valid()) {
    ReadAll(read_end.get(), &*result.output);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) == -1) {
    result.wait_error = errno;
    return result;
  }
  // Ended by a signal (no stop is reported without WUNTRACED).
  if ((status & 0x7f) != 0) {
    return result;
  }
  result.status = (status >> 8) & 0xff;
  return result;
}

std::optional<std::string> CommandRunner::Capture(const std::vector<std::string>& args) {
  CommandOptions options;
  options.capture_output = true;
  return Run(args.at(0), args, options).output;
}

}  // namespace korvane
