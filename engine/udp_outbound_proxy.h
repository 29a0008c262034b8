// The UDP associations through a proxy server: the Shadowsocks UDP relay and SOCKS5 UDP
// ASSOCIATE. Made through UdpOutbound::Create; a failure to start is in error().
#ifndef ENGINE_UDP_OUTBOUND_PROXY_H_
#define ENGINE_UDP_OUTBOUND_PROXY_H_

#include <memory>

#include "engine/udp_outbound.h"

namespace box {

std::unique_ptr<UdpOutbound> MakeShadowsocksUdp(const OutboundLeaf& leaf,
                                                UdpLoop* loop,
                                                uint64_t token);
std::unique_ptr<UdpOutbound> MakeSocksUdp(const OutboundLeaf& leaf, UdpLoop* loop, uint64_t token);

// The SOCKS5 UDP request header RSV(2) FRAG(1) and the address: what SOCKS5 puts before each
// datagram's payload. Empty when the host cannot be encoded.
std::string Socks5UdpHeader(const std::string& host, uint16_t port);
// Parses a SOCKS5 UDP datagram. False when it is malformed or a fragment (FRAG != 0, which is
// not supported and dropped as RFC 1928 allows).
bool ParseSocks5Udp(std::string_view packet, Datagram* datagram);

}  // namespace box

#endif  // ENGINE_UDP_OUTBOUND_PROXY_H_
