#ifndef TESTS_APP_ELEVATION_SANDBOX_H_
#define TESTS_APP_ELEVATION_SANDBOX_H_

#include <string>

namespace korvane_test {

// What a host started by an end-to-end test needs so that its privilege requests touch only the
// test's files: a copy of the bundle (so that the launcher is written beside the copy), and a
// stand-in pkexec first on PATH. Start the host with HostOptions::private_system: the stand-in
// may run root's command for real, and what it writes must land in the host's own /etc and
// /var/lib.
//
// The stand-in appends its words up to "-c" to `pkexec_log`; when `hold_file` exists it waits
// for `release_file`; when `grant_file` exists it runs the command it was given (as the test's
// root) and exits with its status; otherwise it exits with the code in `exit_file` (1 when
// absent).
struct ElevationSandbox {
  // Why no sandbox could be made (empty executable).
  std::string error;
  std::string executable;
  std::string path_env;
  std::string pkexec_log;
  std::string grant_file;
  std::string hold_file;
  std::string release_file;
  std::string exit_file;
};

// Creates the sandbox in `dir` (which must exist); empty executable and the reason on failure.
// It refuses where a password helper is installed: the host would then try the machine's own
// sudo, which lives at a fixed path no stand-in on PATH replaces.
ElevationSandbox MakeElevationSandbox(const std::string& dir);

}  // namespace korvane_test

#endif  // TESTS_APP_ELEVATION_SANDBOX_H_
