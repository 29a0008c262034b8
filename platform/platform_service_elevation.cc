// The elevation request for the running executable: the launcher beside it, then the grant.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <system_error>

#include "platform/elevated_helper.h"
#include "platform/file_io.h"
#include "platform/launcher_script.h"
#include "platform/platform_service.h"
#include "platform/platform_service_internal.h"

using platform_service_internal::PrintErr;
using platform_service_internal::PrintOut;

namespace {

constexpr char kDeletedSuffix[] = " (deleted)";

std::string Quoted(const std::filesystem::path& path) {
  std::ostringstream out;
  out << path;
  return out.str();
}

// The running executable; empty when /proc/self/exe cannot be read.
std::string ExecutablePath() {
  std::error_code error;
  std::string path = std::filesystem::read_symlink("/proc/self/exe", error).string();
  if (error) {
    return "";
  }
  const size_t suffix = sizeof(kDeletedSuffix) - 1;
  if (path.size() > suffix && path.compare(path.size() - suffix, suffix, kDeletedSuffix) == 0) {
    path.resize(path.size() - suffix);
  }
  return path;
}

// Rewrites the launcher (0755); false when it cannot be opened or written.
bool WriteLauncher(const std::filesystem::path& launcher, const std::string& text) {
  korvane::ScopedFd fd(open(launcher.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755));
  if (fd.get() < 0) {
    return false;
  }
  const bool written = korvane::WriteAll(fd.get(), text);
  fd.reset();
  // A failed mode change leaves a launcher /bin/sh can still run.
  (void)chmod(launcher.c_str(), 0755);
  return written;
}

}  // namespace

bool PlatformService::RequestElevatedPermissions() {
  const std::string executable = ExecutablePath();
  if (executable.empty()) {
    PrintErr("[PlatformService] Failed to get executable path");
    return false;
  }
  const std::filesystem::path dir = std::filesystem::path(executable).parent_path();
  const std::filesystem::path launcher = dir / korvane::kLauncherFileName;
  const std::string text = korvane::RenderLauncherScript(korvane::LauncherValuesFromEnvironment());
  if (WriteLauncher(launcher, text)) {
    PrintOut("[PlatformService] Created launcher script at " + Quoted(launcher));
  } else {
    PrintErr("[PlatformService] Failed to create launcher script at " + Quoted(launcher));
  }

  if (ElevatedHelper::ElevatedPatchelfAndSetcap(executable)) {
    PrintOut("[PlatformService] setcap succeeded. App restart required to pick up CAP_NET_ADMIN.");
    return true;
  }
  const std::filesystem::path wrapper = dir / korvane::kCapWrapperFileName;
  std::error_code error;
  const std::string tested =
      std::filesystem::exists(wrapper, error) ? wrapper.string() : executable;
  if (FileHasNetAdminCapability(tested)) {
    PrintOut("[PlatformService] CAP_NET_ADMIN present despite helper failure");
    return true;
  }
  return false;
}
