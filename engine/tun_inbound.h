// The "tun" inbound: creates the interface through /dev/net/tun, with TCP segmentation and
// checksum offload where the kernel allows it (tun_offload.h; without, one packet per frame and
// a warning at start), configures its addresses, MTU and link state, and carries what enters it
// through the system stack (tun_stack.h). Any thread, one owner.
#ifndef ENGINE_TUN_INBOUND_H_
#define ENGINE_TUN_INBOUND_H_

#include <memory>
#include <string>

#include "engine/box_config.h"
#include "engine/net_util.h"
#include "engine/tun_route.h"
#include "engine/tun_stack.h"

namespace box {

class TunInbound {
 public:
  // Creates and configures the interface. On failure returns nullptr and sets *error to
  // "configure tun interface: operation not permitted" and the like (the caller adds the
  // component prefix); nothing is left behind.
  static std::unique_ptr<TunInbound> Create(const InboundOptions& options, std::string* error);
  ~TunInbound();  // closes the device, which deletes the interface

  const std::string& interface_name() const { return interface_name_; }

  // Starts carrying packets: the system stack on the first IPv4 address and the first IPv6 one
  // (if any), then auto_route's routes and rules; `dns` carries the stack's DNS fields. *error
  // as "need one more IPv4 address in first prefix for system stack".
  bool Start(const std::string& tag,
             LogFn log,
             RouteFn route,
             TunStack::Options dns,
             std::string* error);
  // Removes the rules and stops carrying packets (the interface stays until destruction).
  // Idempotent.
  void Stop();

 private:
  TunInbound() = default;

  UniqueFd device_;
  std::string interface_name_;
  bool vnet_header_ = false;  // frames carry a virtio-net header
  std::string offload_note_;  // why offload is off; empty when it is on
  tun::IpAddress address_;    // the first IPv4 address; unset without one
  int prefix_ = 0;
  tun::IpAddress address6_;  // the first IPv6 address; unset without one
  int prefix6_ = 0;
  std::unique_ptr<TunStack> stack_;
  bool auto_route_ = false;
  TunRoutes::Options route_options_;
  TunRoutes routes_;
};

}  // namespace box

#endif  // ENGINE_TUN_INBOUND_H_
