#ifndef PLATFORM_COMMAND_RUNNER_H_
#define PLATFORM_COMMAND_RUNNER_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

// The host's one way to run a program and wait for it: spawned without a shell, arguments as a
// vector, so no outside text is ever read by a shell. PlatformService::RunCommand is built on
// it. Any thread; keeps no state and waits only for the child it started.
namespace korvane {

struct CommandOptions {
  // Standard output (or error) to /dev/null instead of the host's own.
  bool discard_output = false;
  bool discard_errors = false;
  // Standard output read into CommandResult::output (discard_output is then ignored).
  bool capture_output = false;
};

struct CommandResult {
  // The exit status 0-255; -1 when the program could not be started or waited for, or was
  // ended by a signal.
  int status = -1;
  pid_t pid = -1;
  // errno of a failed start (0: it started), and of a failed wait (0: it was waited for).
  int spawn_error = 0;
  int wait_error = 0;
  // With capture_output: everything the program wrote to standard output (empty when it could
  // not be started); no value when the pipe could not be made.
  std::optional<std::string> output;
};

class CommandRunner {
 public:
  // Spawns `program` (looked up on PATH) with `args` as its argument vector (element 0 is the
  // name the child sees) and the process's environment, and waits for it. Writes nothing.
  static CommandResult Run(const std::string& program,
                           const std::vector<std::string>& args,
                           const CommandOptions& options = CommandOptions());
  // Run with the output captured; the output, or no value when the pipe could not be made.
  static std::optional<std::string> Capture(const std::vector<std::string>& args);
};

}  // namespace korvane

#endif  // PLATFORM_COMMAND_RUNNER_H_
