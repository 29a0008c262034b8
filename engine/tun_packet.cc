#include "engine/tun_packet.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace box {
namespace tun {

namespace {

constexpr size_t kIpv4MinHeader = 20;
constexpr size_t kIpv6Header = 40;
constexpr size_t kTcpMinHeader = 20;
constexpr size_t kUdpHeader = 8;
constexpr uint8_t kIpv6Fragment = 44;

uint16_t Read16(const uint8_t* at) {
  return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

void Write16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value & 0xff);
}

// RFC 1624 eqn. 3: HC' = ~(~HC + ~m + m'), over 16-bit words of the old and new bytes.
void UpdateChecksum(uint8_t* checksum,
                    const uint8_t* old_bytes,
                    const uint8_t* new_bytes,
                    size_t size) {
  uint32_t sum = static_cast<uint16_t>(~Read16(checksum));
  for (size_t i = 0; i + 1 < size; i += 2) {
    sum += static_cast<uint16_t>(~Read16(old_bytes + i));
    sum += Read16(new_bytes + i);
  }
  Write16(checksum, static_cast<uint16_t>(~ChecksumFold(sum)));
}

// The same for a partial checksum, which holds a plain sum: P' = P + ~m + m'.
void UpdatePartialChecksum(uint8_t* checksum,
                           const uint8_t* old_bytes,
                           const uint8_t* new_bytes,
                           size_t size) {
  uint32_t sum = Read16(checksum);
  for (size_t i = 0; i + 1 < size; i += 2) {
    sum += static_cast<uint16_t>(~Read16(old_bytes + i));
    sum += Read16(new_bytes + i);
  }
  Write16(checksum, ChecksumFold(sum));
}

// The pseudo-header sum of RFC 768 / RFC 8200 section 8.1.
uint32_t PseudoHeader(const IpAddress& source,
                      const IpAddress& destination,
                      uint8_t protocol,
                      size_t length) {
  uint32_t sum = ChecksumAdd(0, source.bytes, source.size());
  sum = ChecksumAdd(sum, destination.bytes, destination.size());
  sum += protocol;
  sum += static_cast<uint32_t>(length & 0xffff);
  sum += static_cast<uint32_t>(length >> 16);
  return sum;
}

}  // namespace

size_t IpAddress::Size(int family) {
  return family == AF_INET ? 4 : (family == AF_INET6 ? 16 : 0);
}

std::string IpAddress::ToString() const {
  char text[INET6_ADDRSTRLEN] = {};
  if (family == 0 || inet_ntop(family, bytes, text, sizeof(text)) == nullptr) {
    return std::string();
  }
  return text;
}

bool IpAddress::Parse(const std::string& text, IpAddress* out) {
  IpAddress address;
  if (inet_pton(AF_INET, text.c_str(), address.bytes) == 1) {
    address.family = AF_INET;
  } else if (inet_pton(AF_INET6, text.c_str(), address.bytes) == 1) {
    address.family = AF_INET6;
  } else {
    return false;
  }
  *out = address;
  return true;
}

IpAddress IpAddress::Next() const {
  IpAddress next = *this;
  for (size_t i = size(); i-- > 0;) {
    if (++next.bytes[i] != 0) {
      break;
    }
  }
  return next;
}

bool IpAddress::IsGlobalUnicast() const {
  if (family == AF_INET) {
    const bool unspecified = bytes[0] == 0;
    const bool multicast = (bytes[0] & 0xf0) == 0xe0;
    const bool broadcast = bytes[0] == 255 && bytes[1] == 255 && bytes[2] == 255 && bytes[3] == 255;
    return !unspecified && !multicast && !broadcast;
  }
  if (family == AF_INET6) {
    static const uint8_t kZero[16] = {};
    const bool unspecified = std::memcmp(bytes, kZero, 16) == 0;
    const bool multicast = bytes[0] == 0xff;
    return !unspecified && !multicast;
  }
  return false;
}

bool ParsePacket(uint8_t* data, size_t size, Packet* packet) {
  *packet = Packet();
  if (size < 1) {
    return false;
  }
  packet->data = data;
  packet->size = size;
  const int version = data[0] >> 4;
  if (version == 4) {
    if (size < kIpv4MinHeader) {
      return false;
    }
    const size_t header = static_cast<size_t>(data[0] & 0x0f) * 4;
    const size_t total = Read16(data + 2);
    if (header < kIpv4MinHeader || total < header || total > size) {
      return false;
    }
    packet->size = total;  // a device read never carries more, but trailing bytes are not ours
    packet->family = AF_INET;
    packet->ip_header = header;
    packet->protocol = data[9];
    packet->source.family = AF_INET;
    std::memcpy(packet->source.bytes, data + 12, 4);
    packet->destination.family = AF_INET;
    std::memcpy(packet->destination.bytes, data + 16, 4);
    const uint16_t fragment = Read16(data + 6);
    packet->fragment = (fragment & 0x3fff) != 0;  // more fragments, or an offset
  } else if (version == 6) {
    if (size < kIpv6Header) {
      return false;
    }
    const size_t total = kIpv6Header + Read16(data + 4);
    if (total > size) {
      return false;
    }
    packet->size = total;
    packet->family = AF_INET6;
    packet->ip_header = kIpv6Header;
    packet->protocol = data[6];
    packet->source.family = AF_INET6;
    std::memcpy(packet->source.bytes, data + 8, 16);
    packet->destination.family = AF_INET6;
    std::memcpy(packet->destination.bytes, data + 24, 16);
    // Extension headers other than a fragment header are not followed: such packets are not
    // TCP or UDP to us.
    packet->fragment = packet->protocol == kIpv6Fragment;
  } else {
    return false;
  }
  if (packet->fragment) {
    return true;
  }
  const size_t transport = packet->size - packet->ip_header;
  const uint8_t* at = data + packet->ip_header;
  if (packet->protocol == kProtocolTcp) {
    if (transport < kTcpMinHeader || static_cast<size_t>(at[12] >> 4) * 4 > transport) {
      return false;
    }
  } else if (packet->protocol == kProtocolUdp) {
    if (transport < kUdpHeader || Read16(at + 4) < kUdpHeader || Read16(at + 4) > transport) {
      return false;
    }
  } else {
    return true;
  }
  packet->source_port = Read16(at);
  packet->destination_port = Read16(at + 2);
  return true;
}

uint8_t TcpFlags(const Packet& packet) {
  if (packet.protocol != kProtocolTcp || packet.fragment) {
    return 0;
  }
  return packet.transport()[13];
}

void RewritePacket(Packet* packet,
                   const IpAddress& source,
                   uint16_t source_port,
                   const IpAddress& destination,
                   uint16_t destination_port) {
  uint8_t* data = packet->data;
  uint8_t* transport = packet->transport();
  const size_t address_size = packet->source.size();
  uint8_t* source_at = data + (packet->family == AF_INET ? 12 : 8);
  uint8_t* destination_at = data + (packet->family == AF_INET ? 16 : 24);
  uint8_t* checksum = packet->protocol == kProtocolTcp ? transport + 16 : transport + 6;
  // A UDP checksum of zero means "none" over IPv4 and stays so.
  const bool has_checksum = packet->protocol == kProtocolTcp || packet->family == AF_INET6 ||
                            packet->checksum_partial || Read16(checksum) != 0;

  uint8_t old_ports[4];
  std::memcpy(old_ports, transport, 4);
  uint8_t new_ports[4];
  Write16(new_ports, source_port);
  Write16(new_ports + 2, destination_port);
  if (packet->checksum_partial) {
    // Only the pseudo-header is in the sum; the device adds the segment, ports included.
    UpdatePartialChecksum(checksum, source_at, source.bytes, address_size);
    UpdatePartialChecksum(checksum, destination_at, destination.bytes, address_size);
  } else if (has_checksum) {
    // The addresses are in the pseudo-header, the ports in the segment itself.
    UpdateChecksum(checksum, source_at, source.bytes, address_size);
    UpdateChecksum(checksum, destination_at, destination.bytes, address_size);
    UpdateChecksum(checksum, old_ports, new_ports, 4);
    if (packet->protocol == kProtocolUdp && Read16(checksum) == 0) {
      Write16(checksum, 0xffff);
    }
  }
  if (packet->family == AF_INET) {
    UpdateChecksum(data + 10, source_at, source.bytes, 4);
    UpdateChecksum(data + 10, destination_at, destination.bytes, 4);
  }
  std::memcpy(source_at, source.bytes, address_size);
  std::memcpy(destination_at, destination.bytes, address_size);
  std::memcpy(transport, new_ports, 4);
  packet->source = source;
  packet->destination = destination;
  packet->source_port = source_port;
  packet->destination_port = destination_port;
}

std::string BuildUdpPacket(const IpAddress& source,
                           uint16_t source_port,
                           const IpAddress& destination,
                           uint16_t destination_port,
                           std::string_view payload) {
  if (source.family != destination.family || source.family == 0) {
    return std::string();
  }
  const size_t header = source.family == AF_INET ? kIpv4MinHeader : kIpv6Header;
  const size_t udp_length = kUdpHeader + payload.size();
  if (udp_length > 0xffff || (source.family == AF_INET && header + udp_length > 0xffff)) {
    return std::string();
  }
  std::string packet(header + udp_length, '\0');
  auto* data = reinterpret_cast<uint8_t*>(packet.data());
  if (source.family == AF_INET) {
    data[0] = 0x45;
    Write16(data + 2, static_cast<uint16_t>(packet.size()));
    data[6] = 0x40;  // don't fragment
    data[8] = 64;
    data[9] = kProtocolUdp;
    std::memcpy(data + 12, source.bytes, 4);
    std::memcpy(data + 16, destination.bytes, 4);
    Write16(data + 10, static_cast<uint16_t>(~ChecksumFold(ChecksumAdd(0, data, header))));
  } else {
    data[0] = 0x60;
    Write16(data + 4, static_cast<uint16_t>(udp_length));
    data[6] = kProtocolUdp;
    data[7] = 64;
    std::memcpy(data + 8, source.bytes, 16);
    std::memcpy(data + 24, destination.bytes, 16);
  }
  uint8_t* udp = data + header;
  Write16(udp, source_port);
  Write16(udp + 2, destination_port);
  Write16(udp + 4, static_cast<uint16_t>(udp_length));
  std::memcpy(udp + kUdpHeader, payload.data(), payload.size());
  uint32_t sum = PseudoHeader(source, destination, kProtocolUdp, udp_length);
  uint16_t checksum = static_cast<uint16_t>(~ChecksumFold(ChecksumAdd(sum, udp, udp_length)));
  Write16(udp + 6, checksum == 0 ? 0xffff : checksum);
  return packet;
}

bool MakeEchoReply(Packet* packet) {
  if (packet->fragment) {
    return false;
  }
  const bool v4 = packet->family == AF_INET && packet->protocol == kProtocolIcmp;
  const bool v6 = packet->family == AF_INET6 && packet->protocol == kProtocolIcmpv6;
  if ((!v4 && !v6) || packet->transport_size() < 8) {
    return false;
  }
  uint8_t* icmp = packet->transport();
  const uint8_t request = v4 ? 8 : 128;
  const uint8_t reply = v4 ? 0 : 129;
  if (icmp[0] != request) {
    return false;
  }
  // The type byte shares a word with the code; the swapped addresses leave the ICMPv6
  // pseudo-header sum unchanged.
  uint8_t old_word[2] = {icmp[0], icmp[1]};
  icmp[0] = reply;
  UpdateChecksum(icmp + 2, old_word, icmp, 2);
  const IpAddress source = packet->source;
  const IpAddress destination = packet->destination;
  uint8_t* data = packet->data;
  const size_t address_size = source.size();
  std::memcpy(data + (v4 ? 12 : 8), destination.bytes, address_size);
  std::memcpy(data + (v4 ? 16 : 24), source.bytes, address_size);
  packet->source = destination;
  packet->destination = source;
  return true;
}

uint32_t ChecksumAdd(uint32_t sum, const uint8_t* data, size_t size) {
  size_t i = 0;
  for (; i + 1 < size; i += 2) {
    sum += Read16(data + i);
  }
  if (i < size) {
    sum += static_cast<uint32_t>(data[i]) << 8;
  }
  return sum;
}

uint16_t ChecksumFold(uint32_t sum) {
  while (sum >> 16) {
    sum = (sum & 0xffff) + (sum >> 16);
  }
  return static_cast<uint16_t>(sum);
}

}  // namespace tun
}  // namespace box
