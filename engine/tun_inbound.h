// The "tun" inbound: creates the interface through /dev/net/tun and configures its addresses,
// MTU and link state. It does not route packets (the log says so). Any thread, one owner.
#ifndef ENGINE_TUN_INBOUND_H_
#define ENGINE_TUN_INBOUND_H_

#include <memory>
#include <string>

#include "engine/box_config.h"
#include "engine/net_util.h"

namespace box {

class TunInbound {
 public:
  // Creates and configures the interface. On failure returns nullptr and sets *error to
  // "configure tun interface: operation not permitted" and the like (the caller adds the
  // component prefix); nothing is left behind.
  static std::unique_ptr<TunInbound> Create(const InboundOptions& options, std::string* error);
  ~TunInbound();  // closes the device, which deletes the interface

  const std::string& interface_name() const { return interface_name_; }

 private:
  TunInbound() = default;

  UniqueFd device_;
  std::string interface_name_;
};

}  // namespace box

#endif  // ENGINE_TUN_INBOUND_H_
