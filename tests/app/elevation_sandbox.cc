#include "tests/app/elevation_sandbox.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <system_error>

namespace korvane {
namespace testing {

ElevationSandbox MakeElevationSandbox(const std::string& dir) {
  ElevationSandbox sandbox;
  const char* bundle = getenv("KORVANE_BUNDLE_DIR");
  if (bundle == nullptr || bundle[0] == '\0') {
    return sandbox;
  }
  const std::string copy = dir + "/bundle";
  const std::string bin = dir + "/standin-bin";
  std::error_code error;
  std::filesystem::create_directories(copy, error);
  std::filesystem::create_directories(bin, error);
  std::filesystem::copy_file(std::string(bundle) + "/korvane", copy + "/korvane",
                             std::filesystem::copy_options::overwrite_existing, error);
  if (error) {
    return sandbox;
  }
  std::filesystem::create_directory_symlink(std::string(bundle) + "/lib", copy + "/lib", error);
  std::filesystem::create_directory_symlink(std::string(bundle) + "/data", copy + "/data", error);

  sandbox.pkexec_log = dir + "/pkexec.log";
  sandbox.grant_file = dir + "/pkexec.grant";
  sandbox.hold_file = dir + "/pkexec.hold";
  sandbox.release_file = dir + "/pkexec.release";
  sandbox.exit_file = dir + "/pkexec.exit";
  const std::string pkexec = bin + "/pkexec";
  std::ofstream(pkexec) << "#!/bin/sh\n"
                        << "printf '%s\\n' \"$*\" >> '" << sandbox.pkexec_log << "'\n"
                        << "if [ -f '" << sandbox.grant_file << "' ]; then setcap cap_net_admin+ep "
                        << "\"$(cat '" << sandbox.grant_file << "')\"; fi\n"
                        << "if [ -f '" << sandbox.hold_file << "' ]; then\n"
                        << "  i=0\n"
                        << "  while [ ! -f '" << sandbox.release_file
                        << "' ] && [ $i -lt 6000 ]; do sleep 0.1; i=$((i+1)); done\n"
                        << "fi\n"
                        << "[ -f '" << sandbox.exit_file << "' ] && exit \"$(cat '"
                        << sandbox.exit_file << "')\"\n"
                        << "exit 1\n";
  chmod(pkexec.c_str(), 0755);
  const char* path = getenv("PATH");
  sandbox.path_env = bin + ":" + (path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin");
  sandbox.executable = copy + "/korvane";
  return sandbox;
}

}  // namespace testing
}  // namespace korvane
