// A UDP association through one concrete outbound: datagrams to any destination leave through
// it and the answers come back with the address they came from.
//   direct       one UDP socket, sendto() each destination (names resolved off the loop)
//   shadowsocks  one UDP socket to the server, each datagram sealed as
//                [salt][sealed address || payload][tag]
//   socks        a SOCKS5 UDP ASSOCIATE: the TCP control connection (kept open; its end ends the
//                association) and a UDP socket to the relay address the server names
// Non-blocking and driven by the event loop that owns it (one thread): the association watches
// its own descriptors through UdpLoop under the owner's token, and the owner calls OnReady when
// the token fires and Tick at least once a second.
#ifndef ENGINE_UDP_OUTBOUND_H_
#define ENGINE_UDP_OUTBOUND_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/outbound_plan.h"

namespace box {

// One datagram and the far side's address: an IP literal (IPv6 without brackets), or a name
// for what a client asks to send.
struct Datagram {
  std::string host;
  uint16_t port = 0;
  std::string payload;
};

// How an association reaches the loop that owns it. Level-triggered.
class UdpLoop {
 public:
  virtual ~UdpLoop() = default;
  // Watches fd for `events` (EPOLLIN, EPOLLOUT) and reports them under `token`.
  virtual bool Watch(int fd, uint32_t events, uint64_t token) = 0;
  virtual bool Modify(int fd, uint32_t events, uint64_t token) = 0;
  // Stops watching fd (before it is closed).
  virtual void Unwatch(int fd) = 0;
};

class UdpOutbound {
 public:
  using Clock = std::chrono::steady_clock;

  // Datagrams waiting while the association is being set up (a SOCKS5 handshake, a name being
  // resolved); more are dropped and counted.
  static constexpr size_t kMaxPending = 128;

  // Opens the association for `leaf` (direct, socks, shadowsocks). Nullptr with *error for a
  // kind that carries no UDP ("outbound/http[x]: UDP is not supported") or a socket the system
  // refuses. Every descriptor is watched through `loop` under `token` from now until
  // destruction; every socket gets the leaf's dial control (dial_control.h).
  static std::unique_ptr<UdpOutbound> Create(const OutboundLeaf& leaf,
                                             UdpLoop* loop,
                                             uint64_t token,
                                             std::string* error);
  virtual ~UdpOutbound() = default;

  // Sends one datagram, or queues it while the association is being set up. False when it was
  // dropped (queue or socket buffer full, a destination that cannot be encoded): dropped()
  // counts it.
  virtual bool Send(const std::string& host, uint16_t port, std::string_view payload) = 0;
  // The owner's token fired: reads everything waiting and appends the datagrams received to
  // *received. False when the association has failed for good (error() says why).
  virtual bool OnReady(std::vector<Datagram>* received) = 0;
  // Handshake deadlines. False when the association has failed for good.
  virtual bool Tick(Clock::time_point now) = 0;

  const std::string& error() const { return error_; }
  uint64_t dropped() const { return dropped_; }

 protected:
  std::string error_;
  uint64_t dropped_ = 0;
};

}  // namespace box

#endif  // ENGINE_UDP_OUTBOUND_H_
