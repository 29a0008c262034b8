#include "engine/tun_offload.h"

#include <linux/if_tun.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace box {
namespace tun {

namespace {

// struct virtio_net_hdr and its constants; the kernel's header does not compile as C++.
struct VnetHeader {
  uint8_t flags;
  uint8_t gso_type;
  uint16_t hdr_len;
  uint16_t gso_size;
  uint16_t csum_start;
  uint16_t csum_offset;
};
static_assert(sizeof(VnetHeader) == kVnetHeaderSize, "the header the device is told of");

constexpr uint8_t kNeedsChecksum = 1;
constexpr uint8_t kDataValid = 2;
constexpr uint8_t kGsoNone = 0;
constexpr uint8_t kGsoTcpv4 = 1;
constexpr uint8_t kGsoTcpv6 = 4;

}  // namespace

bool EnableOffload(int device, std::string* error) {
  int size = static_cast<int>(kVnetHeaderSize);
  if (ioctl(device, TUNSETVNETHDRSZ, &size) != 0) {
    *error = std::string("set header size: ") + strerror(errno);
    return false;
  }
  // UDP segmentation stays off: its frames would need splitting here.
  const unsigned long offloads = TUN_F_CSUM | TUN_F_TSO4 | TUN_F_TSO6;
  if (ioctl(device, TUNSETOFFLOAD, offloads) != 0) {
    *error = std::string("set offload: ") + strerror(errno);
    return false;
  }
  return true;
}

bool AcceptFrame(uint8_t* header, Packet* packet, FrameOffload* offload) {
  // The device's byte order is the machine's (no TUNSETVNETLE/BE).
  VnetHeader vnet;
  memcpy(&vnet, header, sizeof(vnet));
  *offload = FrameOffload();
  // Data-valid only says the kernel checked the checksum already; it changes nothing here.
  if ((vnet.flags & ~(kNeedsChecksum | kDataValid)) != 0) {
    return false;
  }
  const bool partial = (vnet.flags & kNeedsChecksum) != 0;
  const bool tcp = packet->protocol == kProtocolTcp && !packet->fragment;
  if (vnet.gso_type != kGsoNone) {
    const uint8_t expected = packet->family == AF_INET ? kGsoTcpv4 : kGsoTcpv6;
    if (vnet.gso_type != expected || !tcp || !partial || vnet.gso_size == 0) {
      return false;
    }
    offload->segmented = true;
  } else if (vnet.gso_size != 0) {
    return false;
  }
  if (partial) {
    const bool udp = packet->protocol == kProtocolUdp && !packet->fragment;
    if ((!tcp && !udp) || vnet.csum_start != packet->ip_header ||
        vnet.csum_offset != (tcp ? 16 : 6)) {
      return false;
    }
  }
  packet->checksum_partial = partial;
  offload->checksum_partial = partial;
  vnet.flags = partial ? kNeedsChecksum : 0;
  memcpy(header, &vnet, sizeof(vnet));
  return true;
}

}  // namespace tun
}  // namespace box
