// The elevation request for the running executable: the launcher beside it, then the grant.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <system_error>

#include "base/executable_path.h"
#include "base/file_util.h"
#include "base/log.h"
#include "base/logger.h"
#include "base/sha256.h"
#include "platform/platform_service.h"
#include "platform/privileges/elevated_helper.h"
#include "platform/privileges/granted_copy.h"
#include "platform/privileges/launcher_script.h"
#include "platform/privileges/managed_runtime.h"

namespace {

constexpr korvane::Logger kLog(korvane::kPlatformServiceTag);

std::string Quoted(const std::filesystem::path& path) {
  std::ostringstream out;
  out << path;
  return out.str();
}

// The running executable; empty when /proc/self/exe cannot be read.
std::string ExecutablePath() {
  std::error_code error;
  const std::string path =
      std::filesystem::read_symlink(korvane::kSelfExecutableLink, error).string();
  if (error) {
    return "";
  }
  return korvane::WithoutDeletedSuffix(path);
}

// The user's executable to grant and the digest this host vouches for: the file it runs, or,
// when it runs from a granted copy (whose run path root changed), the install that copy was
// made from and the digest recorded with it.
struct GrantSubject {
  std::string executable;
  std::string sha256;
};

GrantSubject SubjectOf(const std::string& running) {
  const std::filesystem::path dir = std::filesystem::path(running).parent_path();
  if (korvane::GrantedCopy::IsBelowRoot(PlatformService::CanonicalizePath(dir))) {
    return {(korvane::GrantedCopy::RecordedSource(dir) / korvane::kExecutableFileName).string(),
            korvane::GrantedCopy::RecordedSha256(dir)};
  }
  return {running, Sha256::FileHex(korvane::kSelfExecutableLink)};
}

// Puts the launcher in place whole (written beside it, then renamed), so a full disk leaves the
// earlier launcher or none, never a part of one.
bool WriteLauncher(const std::filesystem::path& launcher, const std::string& text) {
  korvane::ReplaceOptions options;
  options.mode = 0755;
  return korvane::ReplaceFile(launcher.string(), text, options).ok();
}

}  // namespace

bool PlatformService::RequestElevatedPermissions() {
  return RequestElevatedPermissions(korvane::ElevationEnvironment::Capture());
}

bool PlatformService::RequestElevatedPermissions(const korvane::ElevationEnvironment& environment) {
  const std::string running = ExecutablePath();
  if (running.empty()) {
    kLog.Error() << "Failed to get executable path";
    return false;
  }
  const GrantSubject subject = SubjectOf(running);
  const std::filesystem::path dir = std::filesystem::path(subject.executable).parent_path();
  const std::filesystem::path canonical_dir = CanonicalizePath(dir);
  const std::filesystem::path granted_dir =
      canonical_dir.empty() ? std::filesystem::path()
                            : korvane::GrantedCopy::DirectoryFor(canonical_dir, getuid());
  const std::filesystem::path launcher = dir / korvane::kLauncherFileName;
  const std::string text =
      korvane::RenderLauncherScript(korvane::LauncherValuesFrom(environment), granted_dir.string());
  if (WriteLauncher(launcher, text)) {
    kLog.Info() << "Created launcher script at " + Quoted(launcher);
  } else {
    kLog.Error() << "Failed to create launcher script at " + Quoted(launcher);
  }

  bool granted = false;
  if (subject.sha256.empty() || Sha256::FileHex(subject.executable) != subject.sha256) {
    kLog.Error() << "Refusing to grant " + subject.executable +
                        ": it is not the executable this host runs (changed on disk)";
  } else {
    GrantRequest request;
    request.path = subject.executable;
    request.binary = korvane::CanonicalPath(subject.executable);
    request.binary_sha256 = subject.sha256;
    request.wrapper_sha256 = korvane::CoveredWrapperDigest(dir);
    granted = ElevatedHelper::ElevatedPatchelfAndSetcap(request, environment);
  }
  if (granted) {
    kLog.Info() << "setcap succeeded. App restart required to pick up CAP_NET_ADMIN.";
    return true;
  }
  // What a restart would run: a grant of the file at the path as it is now.
  if (!korvane::GrantedCopy::FindFor(subject.executable).empty()) {
    kLog.Info() << "CAP_NET_ADMIN present despite helper failure";
    return true;
  }
  return false;
}
