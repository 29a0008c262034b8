// IP packets as the TUN device carries them (no packet information header): the fields the
// system stack reads, the address and port rewrites it makes with incrementally updated
// checksums (RFC 1624), and the packets it writes itself (UDP answers, ICMP echo replies).
// Pure functions; any thread.
#ifndef ENGINE_TUN_PACKET_H_
#define ENGINE_TUN_PACKET_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace box {
namespace tun {

constexpr uint8_t kProtocolIcmp = 1;
constexpr uint8_t kProtocolTcp = 6;
constexpr uint8_t kProtocolUdp = 17;
constexpr uint8_t kProtocolIcmpv6 = 58;

// An IPv4 or IPv6 address, compared bytewise; IPv4 uses the first four bytes.
struct IpAddress {
  int family = 0;  // AF_INET or AF_INET6; 0 when unset
  uint8_t bytes[16] = {};

  size_t size() const { return Size(family); }
  static size_t Size(int family);
  bool operator==(const IpAddress& other) const {
    return family == other.family && std::memcmp(bytes, other.bytes, 16) == 0;
  }
  bool operator!=(const IpAddress& other) const { return !(*this == other); }
  // "172.19.0.1", "fd00::1".
  std::string ToString() const;
  // Parses an IP literal; false when it is none.
  static bool Parse(const std::string& text, IpAddress* out);
  // This address plus one (172.19.0.1 -> 172.19.0.2).
  IpAddress Next() const;
  // Unicast an application may talk to: not unspecified, multicast, broadcast or link-local
  // multicast.
  bool IsGlobalUnicast() const;
};

// One parsed packet: where its transport header starts and what it says. Points into the
// caller's buffer.
struct Packet {
  uint8_t* data = nullptr;
  size_t size = 0;
  int family = 0;
  size_t ip_header = 0;  // length of the IP header(s) before the transport header
  uint8_t protocol = 0;
  IpAddress source;
  IpAddress destination;
  uint16_t source_port = 0;       // TCP and UDP
  uint16_t destination_port = 0;  // TCP and UDP
  bool fragment = false;          // an IPv4 fragment or an IPv6 fragment header
  // The transport checksum is left to the device (segmentation offload): its field holds the
  // pseudo-header sum, folded but not inverted, and the segment itself is not summed yet.
  bool checksum_partial = false;

  uint8_t* transport() const { return data + ip_header; }
  size_t transport_size() const { return size - ip_header; }
};

// Parses the IP header and, for TCP and UDP, the ports. False for anything malformed or
// truncated (a TCP or UDP packet must hold its whole header).
bool ParsePacket(uint8_t* data, size_t size, Packet* packet);

// The TCP flags byte, 0 when the packet is not TCP.
uint8_t TcpFlags(const Packet& packet);
constexpr uint8_t kTcpFin = 0x01;
constexpr uint8_t kTcpSyn = 0x02;
constexpr uint8_t kTcpRst = 0x04;
constexpr uint8_t kTcpAck = 0x10;

// Rewrites a TCP or UDP packet's addresses and ports in place, adjusting the IPv4 header
// checksum and the transport checksum incrementally (a partial one for the addresses only, in
// its non-inverted form). Addresses keep their family.
void RewritePacket(Packet* packet,
                   const IpAddress& source,
                   uint16_t source_port,
                   const IpAddress& destination,
                   uint16_t destination_port);

// Builds an IPv4 or IPv6 UDP packet with full checksums. Empty when the addresses' families
// differ or the payload does not fit in one packet.
std::string BuildUdpPacket(const IpAddress& source,
                           uint16_t source_port,
                           const IpAddress& destination,
                           uint16_t destination_port,
                           std::string_view payload);

// Turns an ICMP echo request (ICMPv6 for IPv6) into its reply in place: addresses swapped,
// type changed, checksums adjusted. False when the packet is no echo request.
bool MakeEchoReply(Packet* packet);

// The Internet checksum of `size` bytes, folded, not inverted, starting from `sum`.
uint32_t ChecksumAdd(uint32_t sum, const uint8_t* data, size_t size);
uint16_t ChecksumFold(uint32_t sum);

}  // namespace tun
}  // namespace box

#endif  // ENGINE_TUN_PACKET_H_
