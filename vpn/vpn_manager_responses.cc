#include "vpn/vpn_manager_responses.h"

#include "base/log.h"

namespace korvane {

namespace {

constexpr char kException[] = "EXCEPTION";
constexpr char kWorkerStartFailed[] = "Failed to start worker thread: ";

}  // namespace

FlMethodResponse* BoolResponse(bool value) {
  g_autoptr(FlValue) result = fl_value_new_bool(value);
  return FL_METHOD_RESPONSE(fl_method_success_response_new(result));
}

FlMethodResponse* StringResponse(const std::string& value) {
  g_autoptr(FlValue) result = fl_value_new_string(value.c_str());
  return FL_METHOD_RESPONSE(fl_method_success_response_new(result));
}

FlMethodResponse* ErrorResponse(const std::string& code, const std::string& message) {
  return FL_METHOD_RESPONSE(fl_method_error_response_new(code.c_str(), message.c_str(), nullptr));
}

void Respond(FlMethodCall* call, FlMethodResponse* response) {
  g_autoptr(GError) error = nullptr;
  if (!fl_method_call_respond(call, response, &error)) {
    // A lost answer leaves the UI waiting, so it must be seen.
    LogErr() << "[VPNManager] Failed to answer " << fl_method_call_get_name(call) << ": "
             << (error ? error->message : "unknown error");
  }
}

void RespondBool(FlMethodCall* call, bool value) {
  g_autoptr(FlMethodResponse) response = BoolResponse(value);
  Respond(call, response);
}

void RespondError(FlMethodCall* call, const std::string& code, const std::string& message) {
  g_autoptr(FlMethodResponse) response = ErrorResponse(code, message);
  Respond(call, response);
}

void RespondWorkerStartFailure(FlMethodCall* call, const std::exception& failure) {
  const std::string message = kWorkerStartFailed + std::string(failure.what());
  LogErr() << "[VPNManager] " << fl_method_call_get_name(call) << ": " << message;
  RespondError(call, kException, message);
}

}  // namespace korvane
