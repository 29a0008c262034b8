#include "vpn/vpn_manager_responses.h"

#include <iostream>

namespace korvane {

namespace {

constexpr char kNotAvailable[] = "NOT_AVAILABLE";

// Logs a failed answer; a lost answer leaves the UI waiting, so it must be seen.
void ReportRespondFailure(FlMethodCall* call, GError* error) {
  std::cerr << "[VPNManager] Failed to answer " << fl_method_call_get_name(call) << ": "
            << (error ? error->message : "unknown error") << std::endl;
}

}  // namespace

void RespondBool(FlMethodCall* call, bool value) {
  g_autoptr(FlValue) result = fl_value_new_bool(value);
  g_autoptr(GError) error = nullptr;
  if (!fl_method_call_respond_success(call, result, &error)) {
    ReportRespondFailure(call, error);
  }
}

void RespondString(FlMethodCall* call, const std::string& value) {
  g_autoptr(FlValue) result = fl_value_new_string(value.c_str());
  g_autoptr(GError) error = nullptr;
  if (!fl_method_call_respond_success(call, result, &error)) {
    ReportRespondFailure(call, error);
  }
}

void RespondError(FlMethodCall* call, const std::string& code, const std::string& message) {
  g_autoptr(GError) error = nullptr;
  if (!fl_method_call_respond_error(call, code.c_str(), message.c_str(), nullptr, &error)) {
    ReportRespondFailure(call, error);
  }
}

void RespondNotAvailable(FlMethodCall* call, const std::string& method) {
  RespondError(call, kNotAvailable, method + " is not available in this build yet");
}

void RespondErrorIfUnanswered(FlMethodCall* call,
                              const std::string& code,
                              const std::string& message) {
  g_autoptr(GError) error = nullptr;
  fl_method_call_respond_error(call, code.c_str(), message.c_str(), nullptr, &error);
}

}  // namespace korvane
