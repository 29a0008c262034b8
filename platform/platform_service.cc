#include "platform/platform_service.h"

#include <unistd.h>

#include "base/executable_path.h"
#include "base/log.h"
#include "base/logger.h"
#include "platform/command_runner.h"

namespace {
constexpr korvane::Logger kLog(korvane::kPlatformServiceTag);
}  // namespace

using korvane::ErrnoText;

void PlatformService::LogMessage(const char* tag, const char* message) {
  korvane::LogOut() << std::string("[") + (tag ? tag : "") + "] " + (message ? message : "");
}

int PlatformService::RunCommand(const std::string& program, const std::vector<std::string>& args) {
  const korvane::CommandResult result = korvane::CommandRunner::Run(program, args);
  if (result.spawn_error != 0) {
    kLog.Error() << "posix_spawnp failed for '" + program + "': " + ErrnoText(result.spawn_error);
  } else if (result.wait_error != 0) {
    kLog.Error() << "waitpid failed for '" + program + "' (pid " + std::to_string(result.pid) +
                        "): " + ErrnoText(result.wait_error);
  }
  return result.status;
}

bool PlatformService::IsRunningAsRoot() {
  return geteuid() == 0;
}

bool PlatformService::SetupSystemProxy(const std::string& /*host*/, int /*port*/) {
  return false;
}

bool PlatformService::ClearSystemProxy() {
  return false;
}

std::filesystem::path PlatformService::CanonicalizePath(const std::filesystem::path& path) {
  return korvane::CanonicalPath(path);
}
