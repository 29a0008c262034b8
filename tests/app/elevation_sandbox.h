#ifndef TESTS_APP_ELEVATION_SANDBOX_H_
#define TESTS_APP_ELEVATION_SANDBOX_H_

#include <string>

namespace korvane {
namespace testing {

// What a host started by an end-to-end test needs so that its privilege requests touch only the
// test's directory: a copy of the bundle's executable (lib and data linked to the bundle's), so
// that the launcher is written beside the copy, and a stand-in pkexec first on PATH (no root
// script ever runs: the machine's /etc is never reached).
//
// The stand-in appends its arguments to `pkexec_log`; when `grant_file` exists it gives the path
// named in it cap_net_admin+ep with the real setcap; when `hold_file` exists it waits for
// `release_file`; then it exits with the code in `exit_file` (1 when absent).
struct ElevationSandbox {
  std::string executable;
  std::string path_env;
  std::string pkexec_log;
  std::string grant_file;
  std::string hold_file;
  std::string release_file;
  std::string exit_file;
};

// Creates the sandbox in `dir` (which must exist); empty executable on failure.
ElevationSandbox MakeElevationSandbox(const std::string& dir);

}  // namespace testing
}  // namespace korvane

#endif  // TESTS_APP_ELEVATION_SANDBOX_H_
