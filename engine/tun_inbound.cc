#include "engine/tun_inbound.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "engine/tun_offload.h"

namespace box {
namespace {

// Desktop Linux default when the configuration gives none.
constexpr int kDefaultMtu = 65535;

// The kernel's in6_ifreq; its header clashes with the C library's netinet/in.h.
struct Ipv6Request {
  in6_addr address;
  uint32_t prefix_length;
  int interface_index;
};

ifreq NamedRequest(const std::string& name) {
  ifreq request{};
  strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  return request;
}

// Each step returns the errno of the failing call, 0 on success.
int SetIpv4Address(const std::string& name, const TunAddress& address) {
  UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) {
    return errno;
  }
  ifreq request = NamedRequest(name);
  auto* in = reinterpret_cast<sockaddr_in*>(&request.ifr_addr);
  in->sin_family = AF_INET;
  memcpy(&in->sin_addr, address.bytes, 4);
  if (ioctl(sock.get(), SIOCSIFADDR, &request) != 0) {
    return errno;
  }
  request = NamedRequest(name);
  auto* mask = reinterpret_cast<sockaddr_in*>(&request.ifr_netmask);
  mask->sin_family = AF_INET;
  mask->sin_addr.s_addr = address.prefix == 0 ? 0 : htonl(~uint32_t{0} << (32 - address.prefix));
  if (ioctl(sock.get(), SIOCSIFNETMASK, &request) != 0) {
    return errno;
  }
  return 0;
}

int SetIpv6Address(int index, const TunAddress& address) {
  UniqueFd sock(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) {
    return errno;
  }
  Ipv6Request request{};
  memcpy(&request.address, address.bytes, 16);
  request.prefix_length = static_cast<uint32_t>(address.prefix);
  request.interface_index = index;
  if (ioctl(sock.get(), SIOCSIFADDR, &request) != 0) {
    return errno;
  }
  return 0;
}

int SetMtuAndUp(const std::string& name, int mtu) {
  UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) {
    return errno;
  }
  ifreq request = NamedRequest(name);
  request.ifr_mtu = mtu;
  if (ioctl(sock.get(), SIOCSIFMTU, &request) != 0) {
    return errno;
  }
  request = NamedRequest(name);
  if (ioctl(sock.get(), SIOCGIFFLAGS, &request) != 0) {
    return errno;
  }
  request.ifr_flags |= IFF_UP;
  if (ioctl(sock.get(), SIOCSIFFLAGS, &request) != 0) {
    return errno;
  }
  return 0;
}

}  // namespace

std::unique_ptr<TunInbound> TunInbound::Create(const InboundOptions& options, std::string* error) {
  const std::string prefix = "configure tun interface: ";
  std::unique_ptr<TunInbound> tun(new TunInbound());
  tun->device_.Reset(open("/dev/net/tun", O_RDWR | O_CLOEXEC));
  if (!tun->device_.valid()) {
    *error = prefix + "open /dev/net/tun: " + ErrnoText(errno);
    return nullptr;
  }
  // Frames with a virtio-net header where the kernel offers it, for segmentation offload.
  unsigned int features = 0;
  const bool vnet =
      ioctl(tun->device_.get(), TUNGETFEATURES, &features) == 0 && (features & IFF_VNET_HDR) != 0;
  ifreq request{};
  request.ifr_flags = static_cast<short>(IFF_TUN | IFF_NO_PI | (vnet ? IFF_VNET_HDR : 0));
  if (!options.interface_name.empty()) {
    if (options.interface_name.size() >= IFNAMSIZ) {
      *error = prefix + "interface name too long: " + options.interface_name;
      return nullptr;
    }
    strncpy(request.ifr_name, options.interface_name.c_str(), IFNAMSIZ - 1);
  } else {
    strncpy(request.ifr_name, "tun%d", IFNAMSIZ - 1);
  }
  // Not persistent: closing the device deletes the interface.
  if (ioctl(tun->device_.get(), TUNSETIFF, &request) != 0) {
    *error = prefix + ErrnoText(errno);
    return nullptr;
  }
  tun->interface_name_ = request.ifr_name;
  tun->vnet_header_ = vnet;
  if (!vnet) {
    tun->offload_note_ = "device has no virtio-net header";
  } else if (!tun::EnableOffload(tun->device_.get(), &tun->offload_note_)) {
    // Still framed with the header, all zero: every packet as without offload.
    tun->offload_note_ = "device refused offload: " + tun->offload_note_;
  }
  tun->auto_route_ = options.auto_route;
  tun->route_options_.interface_name = tun->interface_name_;
  tun->route_options_.table = options.table_index;
  tun->route_options_.rule_index = options.rule_index;
  tun->route_options_.strict_route = options.strict_route;
  tun->route_options_.route_address = options.route_address;
  tun->route_options_.route_exclude_address = options.route_exclude_address;
  int index = static_cast<int>(if_nametoindex(tun->interface_name_.c_str()));
  for (const TunAddress& address : options.address) {
    if (address.family == AF_INET && tun->address_.family == 0) {
      tun->address_.family = AF_INET;
      memcpy(tun->address_.bytes, address.bytes, 4);
      tun->prefix_ = address.prefix;
      tun->route_options_.address = address;
    }
    if (address.family == AF_INET6 && tun->address6_.family == 0) {
      tun->address6_.family = AF_INET6;
      memcpy(tun->address6_.bytes, address.bytes, 16);
      tun->prefix6_ = address.prefix;
      tun->route_options_.address6 = address;
    }
    int err = address.family == AF_INET ? SetIpv4Address(tun->interface_name_, address)
                                        : SetIpv6Address(index, address);
    if (err != 0) {
      *error = prefix + "add address " + address.text + ": " + ErrnoText(err);
      return nullptr;
    }
  }
  int err = SetMtuAndUp(tun->interface_name_, options.mtu > 0 ? options.mtu : kDefaultMtu);
  if (err != 0) {
    *error = prefix + ErrnoText(err);
    return nullptr;
  }
  return tun;
}

bool TunInbound::Start(const std::string& tag,
                       LogFn log,
                       RouteFn route,
                       TunStack::Options dns,
                       std::string* error) {
  // The stack needs the address after the interface's own in the same prefix, and not the
  // prefix's broadcast address.
  uint32_t address = 0;
  memcpy(&address, address_.bytes, 4);
  const uint32_t host_bits = prefix_ >= 32 ? 0 : (~uint32_t{0} >> prefix_);
  const uint32_t next = ntohl(address) + 1;
  if (address_.family == 0 || prefix_ > 30 || (next & host_bits) == 0 ||
      (next & host_bits) == host_bits) {
    *error = "need one more IPv4 address in first prefix for system stack";
    return false;
  }
  // The same for IPv6, when there is an IPv6 address: the next one, not past the prefix.
  if (address6_.family == AF_INET6) {
    const tun::IpAddress next6 = address6_.Next();
    bool inside = prefix6_ <= 126;
    for (int bit = 0; inside && bit < prefix6_; ++bit) {
      const int mask = 0x80 >> (bit % 8);
      inside = (address6_.bytes[bit / 8] & mask) == (next6.bytes[bit / 8] & mask);
    }
    if (!inside) {
      *error = "need one more IPv6 address in first prefix for system stack";
      return false;
    }
  }
  int flags = fcntl(device_.get(), F_GETFL);
  if (flags < 0 || fcntl(device_.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    *error = "configure tun interface: " + ErrnoText(errno);
    return false;
  }
  TunStack::Options options = std::move(dns);
  options.tag = tag;
  options.address = address_;
  options.address6 = address6_;
  options.vnet_header = vnet_header_;
  if (!offload_note_.empty() && log) {
    log("WARN", "inbound/tun[" + tag + "]: no segmentation offload (" + offload_note_ +
                    "), one packet per system call");
  }
  stack_ = std::make_unique<TunStack>(device_.get(), options, std::move(log), std::move(route));
  if (!stack_->Start(error)) {
    stack_.reset();
    return false;
  }
  if (auto_route_ && !routes_.Install(route_options_, error)) {
    stack_.reset();
    return false;
  }
  return true;
}

void TunInbound::Stop() {
  routes_.Remove();
  if (stack_) {
    stack_->Stop();
  }
}

TunInbound::~TunInbound() {
  stack_.reset();
}

}  // namespace box
