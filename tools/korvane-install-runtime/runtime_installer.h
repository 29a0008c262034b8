#ifndef TOOLS_KORVANE_INSTALL_RUNTIME_RUNTIME_INSTALLER_H_
#define TOOLS_KORVANE_INSTALL_RUNTIME_RUNTIME_INSTALLER_H_

#include <filesystem>
#include <string>

#include "platform/launcher_script.h"

// Installs a built bundle as one versioned install directory of the managed runtime, the copy
// of the application kept below the user's home that the host may grant the network
// capability to and restart into.
namespace korvane {

struct RuntimeInstallRequest {
  // A built bundle: korvane, lib/, data/ with data/icudtl.dat.
  std::filesystem::path bundle_dir;
  // The install directory's name below the root: letters, digits, '.', '_', '+' and '-', not
  // "." or "..", at most 64 characters.
  std::string version;
  // The managed runtime root (PlatformService::ManagedRuntimeRoot()).
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

// The text of manifest.json: one member per line.
std::string RenderRuntimeManifest(const std::string& version, const std::string& binary_sha256);

// Copies the bundle into a temporary directory beside the final one, writes manifest.json (with
// the SHA-256 of the copied korvane) and korvane-launch.sh, syncs everything and renames it into
// place (exchanging it with an earlier install of that version, which is then removed). An
// install whose korvane is running is refused. On failure nothing is left behind and an earlier
// install stays as it was.
RuntimeInstallResult InstallRuntime(const RuntimeInstallRequest& request);

}  // namespace korvane

#endif  // TOOLS_KORVANE_INSTALL_RUNTIME_RUNTIME_INSTALLER_H_
