#ifndef TOOLS_KORVANE_INSTALL_RUNTIME_RUNTIME_INSTALLER_H_
#define TOOLS_KORVANE_INSTALL_RUNTIME_RUNTIME_INSTALLER_H_

#include <filesystem>
#include <string>

#include "platform/privileges/launcher_script.h"
#include "platform/privileges/managed_runtime.h"

// Installs a built bundle as one versioned install directory of the managed runtime, the copy
// of the application kept below the user's home that the host may grant the network
// capability to and restart into.
namespace korvane {

struct RuntimeInstallRequest {
  // A built bundle: korvane, lib/, data/ with data/icudtl.dat (korvane, lib and data no links),
  // perhaps korvane-cap-wrapper. Links below are copied as the files they lead to, which must be
  // inside the bundle.
  std::filesystem::path bundle_dir;
  // The install directory's name below the root: letters, digits, '.', '_', '+' and '-', not
  // "." or "..", at most 64 characters.
  std::string version;
  // The managed runtime root (ManagedRuntime::Root()).
  std::filesystem::path root;
  // What the launcher in the install directory restores.
  LauncherValues launcher_values;
};

struct RuntimeInstallResult {
  bool ok = false;
  std::filesystem::path install_dir;
  // Why the install was refused or failed (one line).
  std::string error;
};

// Whether `version` may name an install directory.
bool IsValidRuntimeVersion(const std::string& version);

// Copies the bundle into a temporary directory beside the final one (no write bit for group or
// others anywhere, no setuid, setgid or sticky bit), writes manifest.json (with the SHA-256 of
// the copied korvane and of a copied korvane-cap-wrapper) and korvane-launch.sh, syncs everything
// and renames it into place (exchanging it with an earlier install of that version, which is then
// removed). An install whose korvane is running is refused. On failure nothing is left behind and
// an earlier install stays as it was.
RuntimeInstallResult InstallRuntime(const RuntimeInstallRequest& request);

}  // namespace korvane

#endif  // TOOLS_KORVANE_INSTALL_RUNTIME_RUNTIME_INSTALLER_H_
