// Privilege requests from the user interface. The two requests that start the elevated helper
// block for minutes (a password prompt), so each answers later, from a worker thread.

#include <exception>
#include <string>

#include "base/logger.h"
#include "platform/elevation_environment.h"
#include "platform/granted_copy.h"
#include "platform/platform_service.h"
#include "vpn/vpn_manager.h"

namespace {

using korvane::Deferred;
using korvane::Outcome;

constexpr korvane::Logger kLog(korvane::kVPNManagerTag);

// Worker thread: the answer of an elevation request; a failure of the standard exception
// family answers false.
template <typename Request>
Deferred ElevationWork(Request request) {
  Deferred deferred;
  deferred.work = [request = std::move(request)]() mutable {
    try {
      return Outcome::Ok(request());
    } catch (const std::exception& e) {
      kLog.Error() << "Elevation exception: " << e.what();
      return Outcome::Ok(false);
    }
  };
  return deferred;
}

}  // namespace

bool VPNManager::CheckAdminPrivileges() {
  return PlatformService::HasNetworkCapabilities();
}

// The environment is copied here, on the main thread: the worker must not read it while the
// desktop-proxy code may change it.
Deferred VPNManager::RequestAdminPrivileges() {
  return ElevationWork([environment = korvane::ElevationEnvironment::Capture()] {
    return PlatformService::RequestElevatedPermissions(environment);
  });
}

Deferred VPNManager::SetCapabilityOnPath(const std::string& path) {
  return ElevationWork([path, environment = korvane::ElevationEnvironment::Capture()] {
    return PlatformService::SetCapabilityOnPath(path, environment);
  });
}

Outcome VPNManager::GetExecutableCapabilities(const std::string& path) {
  // The capability lives on the root-owned copy of an install, never on the user's file.
  const bool capable = PlatformService::FileHasNetAdminCapability(path) ||
                       !korvane::GrantedCopy::FindFor(path).empty();
  return Outcome::Ok(
      korvane::AnswerValue::OfMap()
          .Set("hasCapNetAdmin", korvane::AnswerValue::OfBool(capable))
          .Set("isManagedAppImagePath",
               korvane::AnswerValue::OfBool(PlatformService::IsManagedAppImagePath(path))));
}
