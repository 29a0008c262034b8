#ifndef VPN_CHANNEL_ANSWER_H_
#define VPN_CHANNEL_ANSWER_H_

#include <flutter_linux/flutter_linux.h>

#include "vpn/outcome.h"

// How the channel layer answers method calls. Main thread only, like every channel object.
namespace korvane {

// The codec's value for `value`. Returns: (transfer full).
FlValue* ToFlValue(const AnswerValue& value);

// Sends `outcome` as the one answer to `call`; a lost answer is logged.
void Answer(FlMethodCall* call, const Outcome& outcome);

// Answers `call` as not implemented (no handler for its method).
void AnswerNotImplemented(FlMethodCall* call);

// Answers `call` with `deferred.now` at once, or runs `deferred.work` on a detached worker
// thread and answers with its outcome from the main loop. The call is kept alive until then. A
// worker that cannot be started answers "EXCEPTION" at once and runs `deferred.abandon`.
void AnswerLater(FlMethodCall* call, Deferred deferred);

}  // namespace korvane

#endif  // VPN_CHANNEL_ANSWER_H_
