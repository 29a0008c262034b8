// korvane-install-runtime BUNDLE_DIR VERSION: installs a built bundle as the managed runtime's
// install directory $HOME/.local/share/Korvane/appimage-runtime/VERSION, with its manifest and
// a launcher carrying this session's values. Prints the install directory; exit status 0 on
// success, 1 when refused or failed (the reason on standard error), 2 on wrong usage.

#include <stdio.h>
#include <string.h>

#include "platform/platform_service.h"
#include "tools/korvane-install-runtime/runtime_installer.h"

int main(int argc, char** argv) {
  if (argc != 3 || strcmp(argv[1], "--help") == 0) {
    fprintf(stderr, "usage: %s BUNDLE_DIR VERSION\n",
            argc > 0 ? argv[0] : "korvane-install-runtime");
    return 2;
  }
  korvane::RuntimeInstallRequest request;
  request.bundle_dir = argv[1];
  request.version = argv[2];
  request.root = PlatformService::ManagedRuntimeRoot();
  request.launcher_values = korvane::LauncherValuesFromEnvironment();
  korvane::RuntimeInstallResult result = korvane::InstallRuntime(request);
  if (!result.ok) {
    fprintf(stderr, "korvane-install-runtime: %s\n", result.error.c_str());
    return 1;
  }
  printf("%s\n", result.install_dir.c_str());
  return 0;
}
