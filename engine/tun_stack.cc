#include "engine/tun_stack.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "engine/mixed_address.h"
#include "engine/tun_offload.h"

namespace box {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxEvents = 64;
// An IP packet, or a segmentation offload frame (at most 64 KiB and headers), and its header.
constexpr size_t kMaxFrame = tun::kVnetHeaderSize + 65536 + 256;
// Translated TCP ports: the kernel's ephemeral range is left alone, so no translated flow can
// collide with a socket of the machine's own on the NAT address.
constexpr uint16_t kFirstPort = 10000;
constexpr uint16_t kPortCount = 22000;
// A reset flow's translation stays for the retransmissions around it.
constexpr auto kResetLinger = std::chrono::seconds(10);

// A UDP session's source address as a map key: its bytes, 4 or 16 of them.
std::string AddressKey(const tun::IpAddress& address) {
  return std::string(reinterpret_cast<const char*>(address.bytes), address.size());
}

}  // namespace

struct TunStack::UdpSession {
  tun::IpAddress source;
  uint16_t source_port = 0;
  std::unique_ptr<UdpOutbound> outbound;
  std::shared_ptr<ConnectionHandle> handle;
  Clock::time_point last_active;
};

bool TunStack::FlowKey::operator<(const FlowKey& other) const {
  static_assert(sizeof(FlowKey) == 38, "a padding byte would take part in the comparison");
  return std::memcmp(this, &other, sizeof(FlowKey)) < 0;
}

TunStack::TunStack(int device, Options options, LogFn log, RouteFn route)
    : device_(device),
      options_(std::move(options)),
      log_(std::move(log)),
      route_(std::move(route)),
      packet_buffer_(kMaxFrame),
      dns_cache_(options_.dns_cache_capacity) {}

TunStack::~TunStack() {
  Stop();
}

bool TunStack::StartSide(const tun::IpAddress& address, Side* side, std::string* error) {
  MixedInboundOptions listen;
  listen.tag = options_.tag;
  listen.type = "tun";
  listen.listen = address.ToString();
  listen.listen_port = 0;
  listen.translation = [this](const sockaddr_storage& peer, TranslatedFlow* flow) {
    return Translate(peer, flow);
  };
  listen.dns_handoff = [this](UniqueFd client, const TranslatedFlow&) {
    HandOver(std::move(client));
  };
  side->listener = MixedInbound::Create(listen, log_, route_, error);
  if (!side->listener) {
    return false;
  }
  side->address = address;
  side->nat_address = address.Next();
  side->listener_port = static_cast<uint16_t>(side->listener->port());
  return true;
}

const TunStack::Side* TunStack::SideOf(int family) const {
  const Side* side = family == AF_INET ? &v4_ : (family == AF_INET6 ? &v6_ : nullptr);
  return side != nullptr && side->listener ? side : nullptr;
}

bool TunStack::Start(std::string* error) {
  if (!StartSide(options_.address, &v4_, error) ||
      (options_.address6.family == AF_INET6 && !StartSide(options_.address6, &v6_, error))) {
    return false;
  }
  epoll_.Reset(epoll_create1(EPOLL_CLOEXEC));
  wake_.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!epoll_.valid() || !wake_.valid() || !Watch(wake_.get(), EPOLLIN, kWakeToken) ||
      !Watch(device_, EPOLLIN, kDeviceToken)) {
    *error = "epoll: " + mixed::ErrnoText(errno);
    return false;
  }
  if (!v4_.listener->Start(error) || (v6_.listener && !v6_.listener->Start(error))) {
    return false;
  }
  started_ = true;
  next_tick_ = Clock::now() + std::chrono::seconds(1);
  thread_ = std::thread(&TunStack::Run, this);
  return true;
}

void TunStack::Stop() {
  if (stopped_) {
    return;
  }
  stopped_ = true;
  if (thread_.joinable()) {
    stopping_.store(true);
    uint64_t one = 1;
    ssize_t ignored = write(wake_.get(), &one, sizeof(one));
    (void)ignored;
    thread_.join();
  }
  udp_sessions_.clear();
  dns_upstream_.reset();
  for (Side* side : {&v4_, &v6_}) {
    if (side->listener) {
      side->listener->Stop();
    }
  }
  dns_tcp_.clear();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handed_over_.clear();
  }
  if (started_ && log_) {
    log_("INFO",
         "inbound/tun[" + options_.tag + "]: " + std::to_string(dropped()) + " packet(s) dropped");
    if (options_.vnet_header) {
      log_("INFO", "inbound/tun[" + options_.tag + "]: " + std::to_string(offload_frames()) +
                       " offload frame(s)");
    }
  }
}

bool TunStack::Watch(int fd, uint32_t events, uint64_t token) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = token;
  return epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

bool TunStack::Modify(int fd, uint32_t events, uint64_t token) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = token;
  return epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) == 0;
}

void TunStack::Unwatch(int fd) {
  epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

void TunStack::Run() {
  epoll_event events[kMaxEvents];
  while (!stopping_.load()) {
    int count = epoll_wait(epoll_.get(), events, kMaxEvents, 1000);
    for (int i = 0; i < count; ++i) {
      const uint64_t token = events[i].data.u64;
      if (token == kDeviceToken) {
        ReadDevice();
      } else if (token == kDnsToken) {
        OnDnsReady();
      } else if (token == kWakeToken) {
        TakeHandedOver();
      } else if (dns_tcp_.count(token) != 0) {
        OnDnsTcp(token, events[i].events);
      } else {
        OnUdpReady(token);
      }
    }
    if (Clock::now() >= next_tick_) {
      Tick();
      next_tick_ = Clock::now() + std::chrono::seconds(1);
    }
  }
}

void TunStack::ReadDevice() {
  std::vector<uint8_t>& buffer = packet_buffer_;
  const size_t header = options_.vnet_header ? tun::kVnetHeaderSize : 0;
  // A bounded batch, so UDP answers and ticks get their turn under a flood.
  for (int batch = 0; batch < 256; ++batch) {
    ssize_t count = read(device_, buffer.data(), buffer.size());
    if (count <= 0) {
      return;
    }
    if (static_cast<size_t>(count) < header) {
      Drop();
      continue;
    }
    tun::Packet packet;
    tun::FrameOffload offload;
    if (!tun::ParsePacket(buffer.data() + header, static_cast<size_t>(count) - header, &packet) ||
        SideOf(packet.family) == nullptr || packet.fragment ||
        (header != 0 && !tun::AcceptFrame(buffer.data(), &packet, &offload))) {
      Drop();
      continue;
    }
    if (offload.segmented) {
      offload_frames_.fetch_add(1, std::memory_order_relaxed);
    }
    if (packet.protocol == tun::kProtocolTcp) {
      HandleTcp(&packet);
    } else if (packet.protocol == tun::kProtocolUdp) {
      HandleUdp(&packet);
    } else {
      Drop();
    }
  }
}

void TunStack::WritePacket(const uint8_t* data, size_t size) {
  static const uint8_t kNoOffload[tun::kVnetHeaderSize] = {};
  iovec parts[2] = {{const_cast<uint8_t*>(kNoOffload), tun::kVnetHeaderSize},
                    {const_cast<uint8_t*>(data), size}};
  const int first = options_.vnet_header ? 0 : 1;
  const size_t total = size + (options_.vnet_header ? tun::kVnetHeaderSize : 0);
  // The device queue is the kernel's; a full one loses this packet, counted.
  if (writev(device_, parts + first, 2 - first) != static_cast<ssize_t>(total)) {
    Drop();
  }
}

void TunStack::WriteBack(const tun::Packet& packet) {
  // The header sits right before the packet in the read buffer.
  const size_t header = options_.vnet_header ? tun::kVnetHeaderSize : 0;
  const size_t total = packet.size + header;
  if (write(device_, packet.data - header, total) != static_cast<ssize_t>(total)) {
    Drop();
  }
}

void TunStack::HandleTcp(tun::Packet* packet) {
  const Clock::time_point now = Clock::now();
  const uint8_t flags = tun::TcpFlags(*packet);
  const Side& side = *SideOf(packet->family);
  const size_t address_size = packet->source.size();
  if (packet->source == side.address && packet->source_port == side.listener_port &&
      packet->destination == side.nat_address) {
    // The listener answering a translated flow: back to its real ends.
    FlowKey key;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = tcp_entries_.find(packet->destination_port);
      if (found == tcp_entries_.end() || found->second.key.family != packet->family) {
        Drop();
        return;
      }
      found->second.last_seen = now;
      found->second.reset = found->second.reset || (flags & tun::kTcpRst) != 0;
      key = found->second.key;
    }
    tun::IpAddress source;
    source.family = packet->family;
    std::memcpy(source.bytes, key.destination, address_size);
    tun::IpAddress destination;
    destination.family = packet->family;
    std::memcpy(destination.bytes, key.source, address_size);
    tun::RewritePacket(packet, source, key.destination_port, destination, key.source_port);
    WriteBack(*packet);
    return;
  }
  if (!packet->destination.IsGlobalUnicast() || packet->destination == side.address) {
    Drop();
    return;
  }
  FlowKey key{};
  key.family = static_cast<uint8_t>(packet->family);
  std::memcpy(key.source, packet->source.bytes, address_size);
  key.source_port = packet->source_port;
  std::memcpy(key.destination, packet->destination.bytes, address_size);
  key.destination_port = packet->destination_port;
  uint16_t port = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = tcp_ports_.find(key);
    if (found != tcp_ports_.end()) {
      port = found->second;
      TcpEntry& entry = tcp_entries_[port];
      entry.last_seen = now;
      entry.reset = entry.reset || (flags & tun::kTcpRst) != 0;
    } else if ((flags & tun::kTcpSyn) && !(flags & tun::kTcpAck)) {
      // A new flow: the next free translated port.
      for (uint32_t tried = 0; tried < kPortCount && port == 0; ++tried) {
        uint16_t candidate = static_cast<uint16_t>(kFirstPort + next_port_);
        next_port_ = static_cast<uint16_t>((next_port_ + 1) % kPortCount);
        if (tcp_entries_.count(candidate) == 0) {
          port = candidate;
        }
      }
      if (port != 0) {
        tcp_ports_[key] = port;
        tcp_entries_[port] = TcpEntry{key, now, false};
      }
    }
  }
  if (port == 0) {
    Drop();  // a segment of no known flow, or every port in use
    return;
  }
  tun::RewritePacket(packet, side.nat_address, port, side.address, side.listener_port);
  WriteBack(*packet);
}

bool TunStack::Translate(const sockaddr_storage& peer, TranslatedFlow* flow) {
  // Sides are set before the listeners start and never change, so any thread may read them.
  const Side* side = SideOf(peer.ss_family);
  if (side == nullptr) {
    return false;
  }
  const void* address = nullptr;
  uint16_t port = 0;
  if (peer.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(peer);
    address = &v4.sin_addr;
    port = ntohs(v4.sin_port);
  } else {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(peer);
    address = &v6.sin6_addr;
    port = ntohs(v6.sin6_port);
  }
  if (std::memcmp(address, side->nat_address.bytes, side->nat_address.size()) != 0) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = tcp_entries_.find(port);
  if (found == tcp_entries_.end() || found->second.key.family != peer.ss_family) {
    return false;
  }
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(peer.ss_family, found->second.key.source, text, sizeof(text));
  flow->source_ip = text;
  flow->source_port = found->second.key.source_port;
  inet_ntop(peer.ss_family, found->second.key.destination, text, sizeof(text));
  flow->destination_ip = text;
  flow->destination_port = found->second.key.destination_port;
  return true;
}

void TunStack::HandleUdp(tun::Packet* packet) {
  if (!packet->destination.IsGlobalUnicast()) {
    Drop();
    return;
  }
  const uint8_t* udp = packet->transport();
  const size_t length = static_cast<size_t>((udp[4] << 8) | udp[5]);
  std::string_view payload(reinterpret_cast<const char*>(udp) + 8, length - 8);
  const std::string destination = packet->destination.ToString();
  if (packet->destination_port == 53) {
    RouteRequest request;
    request.inbound = options_.tag;
    request.inbound_type = "tun";
    request.network = "udp";
    request.host = destination;
    request.port = 53;
    request.source_ip = packet->source.ToString();
    request.source_port = packet->source_port;
    if (route_ && route_(request).hijack_dns) {
      HandleDns(*packet, payload);
      return;
    }
  }
  const auto source_key = std::make_pair(AddressKey(packet->source), packet->source_port);
  uint64_t token = 0;
  if (auto found = udp_by_source_.find(source_key); found != udp_by_source_.end()) {
    token = found->second;
  } else {
    RouteRequest request;
    request.inbound = options_.tag;
    request.inbound_type = "tun";
    request.network = "udp";
    request.host = destination;
    request.port = packet->destination_port;
    request.source_ip = packet->source.ToString();
    request.source_port = packet->source_port;
    RoutePlan plan = route_ ? route_(request) : RoutePlan();
    const std::string flow = mixed::FormatHostPort(request.source_ip, request.source_port) +
                             " -> " + mixed::FormatHostPort(destination, request.port);
    std::string error = plan.refusal;
    auto session = std::make_unique<UdpSession>();
    token = next_token_++;
    if (error.empty()) {
      session->outbound = UdpOutbound::Create(plan.leaf, this, token, &error);
    }
    if (!session->outbound) {
      if (log_) {
        log_("ERROR", "inbound/tun[" + options_.tag + "]: " + flow +
                          ": open outbound packet connection: " + error);
      }
      Drop();
      return;
    }
    if (log_) {
      log_("INFO", "inbound/tun[" + options_.tag + "]: inbound packet connection " + flow);
    }
    session->source = packet->source;
    session->source_port = packet->source_port;
    session->handle = plan.handle;
    udp_by_source_[source_key] = token;
    udp_sessions_[token] = std::move(session);
  }
  UdpSession& session = *udp_sessions_.at(token);
  session.last_active = Clock::now();
  if (session.outbound->Send(destination, packet->destination_port, payload)) {
    if (session.handle) {
      session.handle->AddUpload(payload.size());
    }
  } else {
    Drop();
  }
  if (!session.outbound->error().empty()) {
    CloseUdp(token, session.outbound->error());
  }
}

void TunStack::OnUdpReady(uint64_t token) {
  auto found = udp_sessions_.find(token);
  if (found == udp_sessions_.end()) {
    return;
  }
  UdpSession& session = *found->second;
  std::vector<Datagram> received;
  const bool alive = session.outbound->OnReady(&received);
  for (const Datagram& datagram : received) {
    tun::IpAddress from;
    if (!tun::IpAddress::Parse(datagram.host, &from) || from.family != session.source.family) {
      Drop();
      continue;
    }
    std::string packet = tun::BuildUdpPacket(from, datagram.port, session.source,
                                             session.source_port, datagram.payload);
    if (packet.empty()) {
      Drop();
      continue;
    }
    WritePacket(reinterpret_cast<const uint8_t*>(packet.data()), packet.size());
    if (session.handle) {
      session.handle->AddDownload(datagram.payload.size());
    }
    session.last_active = Clock::now();
  }
  if (!alive) {
    CloseUdp(token, session.outbound->error());
  }
}

void TunStack::CloseUdp(uint64_t token, const std::string& why) {
  auto found = udp_sessions_.find(token);
  if (found == udp_sessions_.end()) {
    return;
  }
  if (log_ && !why.empty()) {
    log_("ERROR", "inbound/tun[" + options_.tag + "]: packet connection: " + why);
  }
  Drop(found->second->outbound->dropped());
  udp_by_source_.erase(
      std::make_pair(AddressKey(found->second->source), found->second->source_port));
  udp_sessions_.erase(found);
}

void TunStack::Tick() {
  const Clock::time_point now = Clock::now();
  TickDns(now);
  std::vector<std::pair<uint64_t, std::string>> ended;
  for (auto& [token, session] : udp_sessions_) {
    if (!session->outbound->Tick(now)) {
      ended.emplace_back(token, session->outbound->error());
    } else if (now - session->last_active >= options_.udp_timeout ||
               (session->handle && session->handle->close_requested())) {
      ended.emplace_back(token, std::string());
    }
  }
  for (const auto& [token, why] : ended) {
    CloseUdp(token, why);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = tcp_entries_.begin(); it != tcp_entries_.end();) {
    const auto idle = now - it->second.last_seen;
    if (idle >= options_.tcp_idle_timeout || (it->second.reset && idle >= kResetLinger)) {
      tcp_ports_.erase(it->second.key);
      it = tcp_entries_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace box
