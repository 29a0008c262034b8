// Privilege requests from the user interface. The two requests that start the elevated helper
// block for minutes (a password prompt), so each runs on its own detached worker thread and is
// answered on the main thread.

#include <exception>
#include <memory>
#include <string>
#include <thread>

#include "base/log.h"
#include "platform/platform_service.h"
#include "platform/privileges/elevation_environment.h"
#include "platform/privileges/granted_copy.h"
#include "vpn/vpn_manager.h"
#include "vpn/vpn_manager_responses.h"

namespace {

// Carried from the main thread to a worker and back through g_idle_add. Holds one reference on
// the call, dropped when the record is freed on the main thread.
struct PendingElevationResponse {
  explicit PendingElevationResponse(FlMethodCall* method_call)
      : call(FL_METHOD_CALL(g_object_ref(method_call))) {}
  ~PendingElevationResponse() { g_object_unref(call); }
  PendingElevationResponse(const PendingElevationResponse&) = delete;
  PendingElevationResponse& operator=(const PendingElevationResponse&) = delete;

  FlMethodCall* call;
  bool result = false;
};

// Main thread, once: answers the call with the worker's result and frees the record.
gboolean HandleElevationResponse(gpointer data) {
  std::unique_ptr<PendingElevationResponse> pending(static_cast<PendingElevationResponse*>(data));
  korvane::RespondBool(pending->call, pending->result);
  return G_SOURCE_REMOVE;
}

// Runs `work` on a detached thread and answers `call` with its result on the main thread. A
// failure of the standard exception family answers false; a thread that cannot start answers
// "EXCEPTION" at once (an exception must not reach the C code that delivered the call).
template <typename Work>
void RunElevationWorker(FlMethodCall* call, Work work) {
  auto pending = std::make_unique<PendingElevationResponse>(call);
  std::thread worker;
  try {
    worker = std::thread([pending = pending.get(), work = std::move(work)]() mutable {
      try {
        pending->result = work();
      } catch (const std::exception& e) {
        korvane::LogErr() << "[VPNManager] Elevation exception: " << e.what();
        pending->result = false;
      }
      g_idle_add(HandleElevationResponse, pending);
    });
  } catch (const std::exception& e) {
    pending.reset();
    korvane::RespondWorkerStartFailure(call, e);
    return;
  }
  // The worker owns the record from here.
  pending.release();
  worker.detach();
}

}  // namespace

bool VPNManager::CheckAdminPrivileges() {
  return PlatformService::HasNetworkCapabilities();
}

// The environment is copied here, on the main thread: the worker must not read it while the
// desktop-proxy code may change it.
void VPNManager::RequestAdminPrivileges(FlMethodCall* call) {
  RunElevationWorker(call, [environment = korvane::ElevationEnvironment::Capture()] {
    return PlatformService::RequestElevatedPermissions(environment);
  });
}

void VPNManager::SetCapabilityOnPath(const std::string& path, FlMethodCall* call) {
  RunElevationWorker(call, [path, environment = korvane::ElevationEnvironment::Capture()] {
    return PlatformService::SetCapabilityOnPath(path, environment);
  });
}

void VPNManager::GetExecutableCapabilities(const std::string& path, FlMethodCall* call) {
  g_autoptr(FlValue) result = fl_value_new_map();
  // The capability lives on the root-owned copy of an install, never on the user's file.
  const bool capable = PlatformService::FileHasNetAdminCapability(path) ||
                       !korvane::GrantedCopy::FindFor(path).empty();
  fl_value_set_string_take(result, "hasCapNetAdmin", fl_value_new_bool(capable));
  fl_value_set_string_take(result, "isManagedAppImagePath",
                           fl_value_new_bool(PlatformService::IsManagedAppImagePath(path)));
  g_autoptr(GError) error = nullptr;
  if (!fl_method_call_respond_success(call, result, &error)) {
    korvane::LogErr() << "[VPNManager] Failed to answer getExecutableCapabilities: "
                      << (error ? error->message : "unknown error");
  }
}
