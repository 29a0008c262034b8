#ifndef VPN_VPN_MANAGER_RESPONSES_H_
#define VPN_VPN_MANAGER_RESPONSES_H_

#include <flutter_linux/flutter_linux.h>

#include <exception>
#include <string>

// Answers to method calls. Main thread only, like every channel object.
namespace korvane {

// Responses for the dispatcher to send. Returns: (transfer full).
FlMethodResponse* BoolResponse(bool value);
FlMethodResponse* StringResponse(const std::string& value);
// Error details are always null.
FlMethodResponse* ErrorResponse(const std::string& code, const std::string& message);

// Sends `response` (transfer none) as the one answer to `call`; a failure is logged.
void Respond(FlMethodCall* call, FlMethodResponse* response);

// For the operations whose interface takes the call and answers it themselves.
void RespondBool(FlMethodCall* call, bool value);
void RespondError(FlMethodCall* call, const std::string& code, const std::string& message);

// Answers a call whose worker thread could not be started ("EXCEPTION"), and says so on standard
// error. The caller has freed what the worker would have owned.
void RespondWorkerStartFailure(FlMethodCall* call, const std::exception& failure);

}  // namespace korvane

#endif  // VPN_VPN_MANAGER_RESPONSES_H_
