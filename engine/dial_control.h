// What every socket an outbound opens gets before it connects or sends: the interface binding
// and the mark that keep the engine's own traffic out of a TUN's routes. Any thread.
#ifndef ENGINE_DIAL_CONTROL_H_
#define ENGINE_DIAL_CONTROL_H_

#include <string>

#include "engine/outbound_plan.h"

namespace box {

// Applies leaf.bind_interface (SO_BINDTOIFINDEX) and leaf.routing_mark (SO_MARK) to fd. False
// with *error ("bind to interface 3: operation not permitted") when the system refuses.
bool ApplyDialControl(int fd, const OutboundLeaf& leaf, std::string* error);

}  // namespace box

#endif  // ENGINE_DIAL_CONTROL_H_
