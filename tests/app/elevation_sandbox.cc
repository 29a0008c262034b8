#include "tests/app/elevation_sandbox.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/privileges/elevated_helper.h"
#include "tests/support/bundle_copy.h"

namespace korvane_test {

ElevationSandbox MakeElevationSandbox(const std::string& dir) {
  ElevationSandbox sandbox;
  const std::string askpass = ElevatedHelper::FindAskpass();
  if (!askpass.empty()) {
    sandbox.error =
        "the host would start the machine's sudo: a password helper is installed at " + askpass;
    return sandbox;
  }
  const char* bundle = getenv("KORVANE_BUNDLE_DIR");
  if (bundle == nullptr || bundle[0] == '\0') {
    sandbox.error = "KORVANE_BUNDLE_DIR is not set";
    return sandbox;
  }
  const std::string bin = dir + "/standin-bin";
  std::string copy_error;
  const std::string executable = CopyBundleExecutable(dir + "/bundle", &copy_error);
  if (executable.empty()) {
    sandbox.error = copy_error;
    return sandbox;
  }
  std::error_code error;
  std::filesystem::create_directories(bin, error);

  sandbox.pkexec_log = dir + "/pkexec.log";
  sandbox.grant_file = dir + "/pkexec.grant";
  sandbox.hold_file = dir + "/pkexec.hold";
  sandbox.release_file = dir + "/pkexec.release";
  sandbox.exit_file = dir + "/pkexec.exit";
  const std::string pkexec = bin + "/pkexec";
  std::ofstream(pkexec)
      << "#!/bin/sh\n"
      << "words=\n"
      << "for a in \"$@\"; do words=\"$words $a\"; [ \"$a\" = -c ] && break; done\n"
      << "printf '%s\\n' \"${words# }\" >> '" << sandbox.pkexec_log << "'\n"
      << "if [ -f '" << sandbox.hold_file << "' ]; then\n"
      << "  i=0\n"
      << "  while [ ! -f '" << sandbox.release_file
      << "' ] && [ $i -lt 6000 ]; do sleep 0.1; i=$((i+1)); done\n"
      << "fi\n"
      << "if [ -f '" << sandbox.grant_file << "' ]; then exec \"$@\"; fi\n"
      << "[ -f '" << sandbox.exit_file << "' ] && exit \"$(cat '" << sandbox.exit_file << "')\"\n"
      << "exit 1\n";
  chmod(pkexec.c_str(), 0755);
  const char* path = getenv("PATH");
  sandbox.path_env = bin + ":" + (path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin");
  sandbox.executable = executable;
  return sandbox;
}

}  // namespace korvane_test
