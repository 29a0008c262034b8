// The system stack's packet rewrites: after every rewrite the IPv4 header and transport
// checksums must equal a full recomputation, or the kernel drops the packet.
#include "engine/tun_packet.h"

#include "engine/tun_offload.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <string>
#include <vector>

namespace box {
namespace tun {
namespace {

IpAddress Ip(const std::string& text) {
  IpAddress address;
  EXPECT_TRUE(IpAddress::Parse(text, &address)) << text;
  return address;
}

uint16_t Get16(const uint8_t* at) {
  return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

// Whether the packet's checksums verify in full (a correct checksum sums to 0xffff).
void ExpectChecksumsValid(const std::string& bytes, const std::string& what) {
  std::vector<uint8_t> data(bytes.begin(), bytes.end());
  Packet packet;
  ASSERT_TRUE(ParsePacket(data.data(), data.size(), &packet)) << what;
  if (packet.family == AF_INET) {
    EXPECT_EQ(ChecksumFold(ChecksumAdd(0, data.data(), packet.ip_header)), 0xffff) << what;
  }
  const size_t length = packet.transport_size();
  uint32_t sum = ChecksumAdd(0, packet.source.bytes, packet.source.size());
  sum = ChecksumAdd(sum, packet.destination.bytes, packet.destination.size());
  sum += packet.protocol;
  sum += static_cast<uint32_t>(length);
  sum = ChecksumAdd(sum, packet.transport(), length);
  EXPECT_EQ(ChecksumFold(sum), 0xffff) << what;
}

// A TCP segment with valid checksums: odd payload length, so the trailing byte is covered.
std::string TcpPacket(const IpAddress& source,
                      uint16_t sport,
                      const IpAddress& destination,
                      uint16_t dport,
                      const std::string& payload) {
  // Built as UDP, then turned into TCP with a recomputed checksum.
  std::string udp = BuildUdpPacket(source, sport, destination, dport, std::string(12, 'x'));
  const size_t header = source.family == AF_INET ? 20 : 40;
  std::string packet = udp.substr(0, header) + std::string(20, '\0') + payload;
  auto* data = reinterpret_cast<uint8_t*>(packet.data());
  if (source.family == AF_INET) {
    data[2] = static_cast<uint8_t>(packet.size() >> 8);
    data[3] = static_cast<uint8_t>(packet.size());
    data[9] = kProtocolTcp;
    data[10] = data[11] = 0;
    uint16_t ip = static_cast<uint16_t>(~ChecksumFold(ChecksumAdd(0, data, header)));
    data[10] = static_cast<uint8_t>(ip >> 8);
    data[11] = static_cast<uint8_t>(ip);
  } else {
    const size_t length = packet.size() - header;
    data[4] = static_cast<uint8_t>(length >> 8);
    data[5] = static_cast<uint8_t>(length);
    data[6] = kProtocolTcp;
  }
  uint8_t* tcp = data + header;
  tcp[0] = static_cast<uint8_t>(sport >> 8);
  tcp[1] = static_cast<uint8_t>(sport);
  tcp[2] = static_cast<uint8_t>(dport >> 8);
  tcp[3] = static_cast<uint8_t>(dport);
  tcp[4] = 0x12;  // sequence number bytes, so the sum is not trivial
  tcp[9] = 0x77;
  tcp[12] = 5 << 4;
  tcp[13] = kTcpSyn;
  const size_t length = packet.size() - header;
  uint32_t sum = ChecksumAdd(0, source.bytes, source.size());
  sum = ChecksumAdd(sum, destination.bytes, destination.size());
  sum += kProtocolTcp + static_cast<uint32_t>(length);
  uint16_t checksum = static_cast<uint16_t>(~ChecksumFold(ChecksumAdd(sum, tcp, length)));
  tcp[16] = static_cast<uint8_t>(checksum >> 8);
  tcp[17] = static_cast<uint8_t>(checksum);
  return packet;
}

// The pseudo-header sum of a parsed packet, folded: what a partial checksum field holds.
uint16_t PseudoHeaderSum(const Packet& packet) {
  uint32_t sum = ChecksumAdd(0, packet.source.bytes, packet.source.size());
  sum = ChecksumAdd(sum, packet.destination.bytes, packet.destination.size());
  sum += packet.protocol + static_cast<uint32_t>(packet.transport_size());
  return ChecksumFold(sum);
}

// Rewrites in both checksum forms: full (the checksum verifies) and partial, as segmentation
// offload frames come (the field holds the plain pseudo-header sum and the device sums the
// segment). After a partial rewrite the field must equal the sum recomputed from scratch, and
// completing it as the device does must give a packet that verifies.
TEST(TunPacketTest, RewritesKeepEveryChecksumValid) {
  struct Case {
    const char* name;
    std::string packet;
    IpAddress source;
    IpAddress destination;
  };
  const std::vector<Case> cases = {
      {"tcp v4", TcpPacket(Ip("172.19.0.1"), 40000, Ip("198.19.0.1"), 80, "hello"),
       Ip("172.19.0.2"), Ip("172.19.0.1")},
      {"tcp v4 carries", TcpPacket(Ip("255.255.255.254"), 65535, Ip("1.2.3.4"), 1, "abc"),
       Ip("0.0.0.1"), Ip("254.255.255.255")},
      {"udp v4", BuildUdpPacket(Ip("172.19.0.1"), 5353, Ip("8.8.8.8"), 53, "query!!"),
       Ip("10.0.0.9"), Ip("172.19.0.1")},
      {"tcp v6", TcpPacket(Ip("fdfe::1"), 40000, Ip("2001:db8::1"), 443, "x"), Ip("fdfe::2"),
       Ip("fdfe::1")},
      {"udp v6", BuildUdpPacket(Ip("fdfe::1"), 1, Ip("2001:db8::ffff"), 65535, "payload"),
       Ip("::1"), Ip("fdfe::1")},
  };
  for (const Case& c : cases) {
    for (bool partial : {false, true}) {
      const std::string name = std::string(c.name) + (partial ? " partial" : " full");
      ExpectChecksumsValid(c.packet, name + " as built");
      std::vector<uint8_t> data(c.packet.begin(), c.packet.end());
      Packet packet;
      ASSERT_TRUE(ParsePacket(data.data(), data.size(), &packet)) << name;
      uint8_t* field = packet.transport() + (packet.protocol == kProtocolTcp ? 16 : 6);
      if (partial) {
        const uint16_t sum = PseudoHeaderSum(packet);
        field[0] = static_cast<uint8_t>(sum >> 8);
        field[1] = static_cast<uint8_t>(sum);
        packet.checksum_partial = true;
      }
      RewritePacket(&packet, c.source, 12345, c.destination, 54321);
      Packet parsed;
      ASSERT_TRUE(ParsePacket(data.data(), data.size(), &parsed));
      EXPECT_EQ(parsed.source, c.source) << name;
      EXPECT_EQ(parsed.destination, c.destination) << name;
      EXPECT_EQ(parsed.source_port, 12345) << name;
      EXPECT_EQ(parsed.destination_port, 54321) << name;
      if (partial) {
        EXPECT_EQ(Get16(field), PseudoHeaderSum(parsed)) << name;
        const uint16_t complete = static_cast<uint16_t>(
            ~ChecksumFold(ChecksumAdd(0, parsed.transport(), parsed.transport_size())));
        field[0] = static_cast<uint8_t>(complete >> 8);
        field[1] = static_cast<uint8_t>(complete);
      }
      ExpectChecksumsValid(std::string(data.begin(), data.end()), name + " rewritten");
    }
  }
}

TEST(TunPacketTest, RefusesTruncatedAndMarksFragments) {
  std::string udp = BuildUdpPacket(Ip("172.19.0.1"), 1, Ip("1.1.1.1"), 2, "abcdef");
  std::vector<uint8_t> data(udp.begin(), udp.end());
  Packet packet;
  EXPECT_FALSE(ParsePacket(data.data(), 25, &packet));  // shorter than its total length
  data[6] = 0x20;                                       // more fragments
  ASSERT_TRUE(ParsePacket(data.data(), data.size(), &packet));
  EXPECT_TRUE(packet.fragment);
  EXPECT_EQ(Get16(data.data() + 2), data.size());
}

// A device frame's virtio-net header, in the machine's byte order as the device writes it.
struct Header {
  uint8_t flags;
  uint8_t gso_type;
  uint16_t hdr_len;
  uint16_t gso_size;
  uint16_t csum_start;
  uint16_t csum_offset;
};

// Only frames the stack rewrites correctly are accepted: anything else must be dropped rather
// than forwarded with a wrong checksum or a segmentation the kernel would redo wrongly.
TEST(TunPacketTest, AcceptsOnlyFramesItCanRewrite) {
  const std::string tcp4 = TcpPacket(Ip("172.19.0.1"), 1, Ip("1.1.1.1"), 2, std::string(100, 'a'));
  const std::string tcp6 = TcpPacket(Ip("fdfe::1"), 1, Ip("2001:db8::1"), 2, "b");
  const std::string udp4 = BuildUdpPacket(Ip("172.19.0.1"), 1, Ip("1.1.1.1"), 2, "c");
  struct Case {
    const char* name;
    const std::string* packet;
    Header header;
    bool accepted;
    bool partial;
    bool segmented;
  };
  const std::vector<Case> cases = {
      {"plain", &tcp4, {0, 0, 0, 0, 0, 0}, true, false, false},
      {"checked already", &tcp4, {2, 0, 0, 0, 0, 0}, true, false, false},
      {"partial tcp", &tcp4, {1, 0, 54, 0, 20, 16}, true, true, false},
      {"partial udp", &udp4, {1, 0, 28, 0, 20, 6}, true, true, false},
      {"tso v4", &tcp4, {1, 1, 54, 40, 20, 16}, true, true, true},
      {"tso v6", &tcp6, {1, 4, 74, 40, 40, 16}, true, true, true},
      {"tso v4 on v6", &tcp6, {1, 1, 74, 40, 40, 16}, false, false, false},
      {"tso v6 on v4", &tcp4, {1, 4, 54, 40, 20, 16}, false, false, false},
      {"tso of udp", &udp4, {1, 3, 28, 40, 20, 6}, false, false, false},
      {"tso with ecn", &tcp4, {1, 0x81, 54, 40, 20, 16}, false, false, false},
      {"tso, full checksum", &tcp4, {0, 1, 54, 40, 0, 0}, false, false, false},
      {"tso, no segment size", &tcp4, {1, 1, 54, 0, 20, 16}, false, false, false},
      {"segment size alone", &tcp4, {0, 0, 0, 40, 0, 0}, false, false, false},
      {"partial elsewhere", &tcp4, {1, 0, 54, 0, 20, 6}, false, false, false},
      {"partial from ip", &tcp4, {1, 0, 54, 0, 0, 10}, false, false, false},
      {"unknown flag", &tcp4, {4, 0, 0, 0, 0, 0}, false, false, false},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> data(c.packet->begin(), c.packet->end());
    Packet packet;
    ASSERT_TRUE(ParsePacket(data.data(), data.size(), &packet)) << c.name;
    uint8_t header[kVnetHeaderSize];
    static_assert(sizeof(Header) == kVnetHeaderSize, "");
    std::memcpy(header, &c.header, sizeof(header));
    FrameOffload offload;
    EXPECT_EQ(AcceptFrame(header, &packet, &offload), c.accepted) << c.name;
    if (c.accepted) {
      EXPECT_EQ(packet.checksum_partial, c.partial) << c.name;
      EXPECT_EQ(offload.segmented, c.segmented) << c.name;
      Header written;
      std::memcpy(&written, header, sizeof(written));
      // Written back: the segmentation kept, only the partial-checksum flag.
      EXPECT_EQ(written.flags, c.partial ? 1 : 0) << c.name;
      EXPECT_EQ(written.gso_type, c.header.gso_type) << c.name;
      EXPECT_EQ(written.gso_size, c.header.gso_size) << c.name;
    }
  }
}

}  // namespace
}  // namespace tun
}  // namespace box
