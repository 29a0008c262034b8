// korvane-install-runtime BUNDLE_DIR VERSION: installs a built bundle as the managed runtime's
// install directory $HOME/.local/share/Korvane/appimage-runtime/VERSION, with its manifest and
// a launcher carrying this session's values. Prints the install directory; exit status 0 on
// success, 1 when refused or failed (the reason on standard error), 2 on wrong usage.

#include <string.h>

#include "base/log.h"
#include "base/logger.h"
#include "platform/privileges/managed_runtime.h"
#include "tools/korvane-install-runtime/runtime_installer.h"

namespace {
constexpr korvane::Logger kLog(korvane::kNoTag);
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || strcmp(argv[1], "--help") == 0) {
    kLog.Error() << "usage: " << (argc > 0 ? argv[0] : "korvane-install-runtime")
                 << " BUNDLE_DIR VERSION";
    return 2;
  }
  korvane::RuntimeInstallRequest request;
  request.bundle_dir = argv[1];
  request.version = argv[2];
  request.root = korvane::ManagedRuntime::Root();
  request.launcher_values = korvane::LauncherValuesFromEnvironment();
  korvane::RuntimeInstallResult result = korvane::InstallRuntime(request);
  if (!result.ok) {
    kLog.Error() << "korvane-install-runtime: " << result.error;
    return 1;
  }
  kLog.Info() << result.install_dir.string();
  return 0;
}
