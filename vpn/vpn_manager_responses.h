#ifndef KORVANE_VPN_VPN_MANAGER_RESPONSES_H_
#define KORVANE_VPN_VPN_MANAGER_RESPONSES_H_

#include <flutter_linux/flutter_linux.h>

#include <string>

// Answers to method calls. Main thread only, like every channel object.
namespace korvane {

void RespondBool(FlMethodCall* call, bool value);
void RespondString(FlMethodCall* call, const std::string& value);
// Error details are always null.
void RespondError(FlMethodCall* call, const std::string& code, const std::string& message);
// An answer for an operation that this build does not serve yet: it must not pass for success.
void RespondNotAvailable(FlMethodCall* call, const std::string& method);
// Answers with an error unless the call was answered already (then nothing is sent).
void RespondErrorIfUnanswered(FlMethodCall* call,
                              const std::string& code,
                              const std::string& message);

}  // namespace korvane

#endif  // KORVANE_VPN_VPN_MANAGER_RESPONSES_H_
