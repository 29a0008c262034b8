#include "engine/dial_control.h"

#include <sys/socket.h>

#include <cerrno>

#include "engine/mixed_address.h"

namespace box {

bool ApplyDialControl(int fd, const OutboundLeaf& leaf, std::string* error) {
  if (leaf.bind_interface > 0) {
    int index = leaf.bind_interface;
    if (setsockopt(fd, SOL_SOCKET, SO_BINDTOIFINDEX, &index, sizeof(index)) != 0) {
      *error = "bind to interface " + std::to_string(index) + ": " + mixed::ErrnoText(errno);
      return false;
    }
  }
  if (leaf.routing_mark != 0) {
    unsigned mark = leaf.routing_mark;
    if (setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof(mark)) != 0) {
      *error = "set mark " + std::to_string(mark) + ": " + mixed::ErrnoText(errno);
      return false;
    }
  }
  return true;
}

}  // namespace box
