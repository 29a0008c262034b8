// The TUN inbound's "system" stack, over IPv4 and, when the device has an IPv6 address, IPv6:
// the kernel's own TCP terminates every TCP flow. A SYN from the device to D:dp from S:sp is
// rewritten to come from (address + 1):n and go to the stack's listener on address:l (the
// device's address of the packet's family), and written back into the device; the listener's
// answers leave through the device towards (address + 1):n and are rewritten back to come from
// D:dp and go to S:sp. One NAT table holds the flows of both families. Each listener is a
// mixed-inbound event loop in translation mode, so every accepted flow is routed and relayed
// like any proxied connection. UDP is user space: one session per source address and port, its
// datagrams sent through the routed outbound's UDP association and the answers written to the
// device as UDP packets. Checksums are updated incrementally.
//
// Hijacked DNS (route action hijack-dns) is answered here, over UDP and over TCP alike: the
// listener hands a hijacked TCP flow's socket over, and its length-prefixed queries (any number
// per connection) take the same path as datagrams to port 53 — the cache, or the name server
// through its outbound (tun_stack_dns.cc).
//
// One thread reads and writes the device: with the device's offloads, a translated TCP frame is
// rewritten and written back with its header unchanged, however many segments it holds, and
// the packets made here go out with a zero header and full checksums. A packet the device cannot
// take, or a datagram the outbound cannot take, is a counted drop (dropped(), and a log line at
// stop). Other protocols, fragments, ICMP and ICMPv6 (echo requests too), and IPv6 without an IPv6
// address are dropped and counted as well.
#ifndef ENGINE_TUN_STACK_H_
#define ENGINE_TUN_STACK_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/dns_cache.h"
#include "engine/mixed_inbound.h"
#include "engine/outbound_plan.h"
#include "engine/tun_packet.h"
#include "engine/udp_outbound.h"
#include "engine/unique_fd.h"

namespace box {

class TunStack : public UdpLoop {
 public:
  struct Options {
    std::string tag;
    tun::IpAddress address;   // the device's first IPv4 address
    tun::IpAddress address6;  // its first IPv6 address; unset: IPv6 packets are dropped
    // Frames carry a virtio-net header (tun_offload.h): TCP comes in up to 64 KiB frames with
    // partial checksums and goes back the same way, one system call each.
    bool vnet_header = false;
    std::chrono::seconds udp_timeout{300};
    std::chrono::seconds tcp_idle_timeout{600};
    // Hijacked DNS (route action hijack-dns, UDP or TCP): the name server and the plan of
    // the outbound that reaches it; no server leaves hijacked queries unanswered (counted).
    std::string dns_server;
    uint16_t dns_port = 53;
    std::function<RoutePlan()> dns_plan;
    size_t dns_cache_capacity = 1024;  // 0: no cache
    // The service's totals, where drops are counted for the controller too (may be null).
    std::shared_ptr<TrafficTotals> totals;
  };

  // device: the open TUN descriptor, owned by the caller and kept open until Stop().
  TunStack(int device, Options options, LogFn log, RouteFn route);
  ~TunStack() override;  // Stop()
  TunStack(const TunStack&) = delete;
  TunStack& operator=(const TunStack&) = delete;

  // Starts the listener and the device thread. *error as "listen tcp 172.19.0.1:0: ...".
  bool Start(std::string* error);
  void Stop();  // idempotent; logs the drop and offload frame counts

  uint64_t dropped() const { return dropped_.load(); }
  // Frames read holding more than one segment (segmentation offload).
  uint64_t offload_frames() const { return offload_frames_.load(); }

  // UdpLoop, device thread only.
  bool Watch(int fd, uint32_t events, uint64_t token) override;
  bool Modify(int fd, uint32_t events, uint64_t token) override;
  void Unwatch(int fd) override;

 private:
  // Compared bytewise: no padding, every byte set.
  struct FlowKey {
    uint16_t source_port;
    uint16_t destination_port;
    uint8_t family;  // AF_INET or AF_INET6; IPv4 uses the first four address bytes
    uint8_t unused;
    uint8_t source[16];
    uint8_t destination[16];
    bool operator<(const FlowKey& other) const;
  };
  // The listener of one address family and the addresses its translated flows use.
  struct Side {
    tun::IpAddress address;      // the device's, where the listener is
    tun::IpAddress nat_address;  // address + 1, where translated flows come from
    std::unique_ptr<MixedInbound> listener;
    uint16_t listener_port = 0;
  };
  struct TcpEntry {
    FlowKey key;
    std::chrono::steady_clock::time_point last_seen;
    bool reset = false;
  };
  struct UdpSession;
  // A hijacked DNS-over-TCP connection, on the device thread.
  struct DnsTcpConnection {
    UniqueFd fd;
    std::string input;   // the start of the next message
    std::string output;  // length-prefixed answers not yet taken by the socket
    size_t waiting = 0;  // its queries at the name server
    bool read_closed = false;
    uint32_t events = 0;  // what the epoll set watches for
    std::chrono::steady_clock::time_point last_active;
  };
  // Who asked a hijacked query: a datagram's ends, or a DNS-over-TCP connection's token.
  struct DnsQuery {
    tun::IpAddress client;
    uint16_t client_port = 0;
    tun::IpAddress server;   // where the client sent it
    uint64_t tcp_token = 0;  // not 0: the answer goes to this connection
    uint16_t original_id = 0;
    std::chrono::steady_clock::time_point sent;
  };

  static constexpr uint64_t kWakeToken = 0;
  static constexpr uint64_t kDeviceToken = 1;
  static constexpr uint64_t kDnsToken = 2;

  void Run();
  void ReadDevice();
  void HandleTcp(tun::Packet* packet);
  void HandleUdp(tun::Packet* packet);
  void OnUdpReady(uint64_t token);
  void Tick();
  // A packet made here.
  void WritePacket(const uint8_t* data, size_t size);
  // A packet read from the device and rewritten in place, with the header it came with.
  void WriteBack(const tun::Packet& packet);
  void Drop(uint64_t count = 1) {
    dropped_.fetch_add(count, std::memory_order_relaxed);
    if (options_.totals) {
      options_.totals->dropped_packets.fetch_add(count, std::memory_order_relaxed);
    }
  }
  bool StartSide(const tun::IpAddress& address, Side* side, std::string* error);
  const Side* SideOf(int family) const;
  bool Translate(const sockaddr_storage& peer, TranslatedFlow* flow);
  void CloseUdp(uint64_t token, const std::string& why);
  // Hijacked DNS (tun_stack_dns.cc). A query is answered from the cache or sent to the name
  // server; false when it can be neither.
  void HandleDns(const tun::Packet& packet, std::string_view query);
  bool Resolve(std::string_view query, DnsQuery asker);
  void Deliver(const DnsQuery& asker, std::string_view message);
  void OnDnsReady();
  void TickDns(std::chrono::steady_clock::time_point now);
  // Listener thread: a hijacked TCP flow's socket, queued for the device thread.
  void HandOver(UniqueFd client);
  void TakeHandedOver();  // device thread, on a wake
  void OnDnsTcp(uint64_t token, uint32_t events);
  bool ReadDnsTcp(uint64_t token, DnsTcpConnection* connection);
  bool FlushDnsTcp(uint64_t token, DnsTcpConnection* connection);
  void CloseDnsTcp(uint64_t token);

  const int device_;
  const Options options_;
  const LogFn log_;
  const RouteFn route_;
  std::vector<uint8_t> packet_buffer_;  // device thread
  Side v4_;
  Side v6_;  // no listener without an IPv6 address
  UniqueFd epoll_;
  UniqueFd wake_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> offload_frames_{0};
  bool started_ = false;
  bool stopped_ = false;

  // TCP translations: read by the listener's thread, so under mutex_.
  std::mutex mutex_;
  std::map<FlowKey, uint16_t> tcp_ports_;
  std::unordered_map<uint16_t, TcpEntry> tcp_entries_;  // by translated port
  uint16_t next_port_ = 0;
  std::vector<UniqueFd> handed_over_;  // hijacked DNS connections not yet taken

  // Device thread.
  std::map<std::pair<std::string, uint16_t>, uint64_t> udp_by_source_;  // address bytes, port
  std::unordered_map<uint64_t, std::unique_ptr<UdpSession>> udp_sessions_;
  uint64_t next_token_ = 3;
  DnsCache dns_cache_;
  std::unique_ptr<UdpOutbound> dns_upstream_;
  std::unordered_map<uint16_t, DnsQuery> dns_pending_;  // by the ID sent upstream
  uint16_t next_dns_id_ = 0;
  std::unordered_map<uint64_t, std::unique_ptr<DnsTcpConnection>> dns_tcp_;
  std::chrono::steady_clock::time_point next_tick_;
};

}  // namespace box

#endif  // ENGINE_TUN_STACK_H_
