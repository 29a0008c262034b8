// SOCKS5 UDP ASSOCIATE (RFC 1928 section 7) on the mixed inbound: a datagram socket on the
// address the client reached us on, each client datagram unwrapped and sent through the
// outbound, each answer wrapped and sent back. The association lives as long as its control
// connection, or until it has been idle for the UDP timeout.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "engine/mixed_session.h"
#include "engine/mixed_socks5.h"
#include "engine/udp_outbound_proxy.h"

namespace box {
namespace mixed {

namespace {

constexpr auto kUdpTimeout = std::chrono::minutes(5);
constexpr auto kUdpTick = std::chrono::seconds(1);

socklen_t Length(const sockaddr_storage& address) {
  return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// Whether two socket addresses name the same host (ports aside).
bool SameHost(const sockaddr_storage& a, const sockaddr_storage& b) {
  if (a.ss_family != b.ss_family) {
    return false;
  }
  if (a.ss_family == AF_INET) {
    return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
  }
  return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                     &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr, 16) == 0;
}

}  // namespace

bool Session::StartUdpAssociate() {
  sockaddr_storage local{};
  socklen_t length = sizeof(local);
  if (getsockname(client_.fd.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    LogRefusal("socks5: getsockname: " + ErrnoText(errno));
    return Fail(Socks5Reply(kSocks5GeneralFailure, nullptr));
  }
  // The kernel picks the port; the address is the one the client reached us on.
  if (local.ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&local)->sin_port = 0;
  } else {
    reinterpret_cast<sockaddr_in6*>(&local)->sin6_port = 0;
  }
  udp_socket_.Reset(socket(local.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  length = sizeof(local);
  if (!udp_socket_.valid() ||
      bind(udp_socket_.get(), reinterpret_cast<const sockaddr*>(&local), Length(local)) != 0 ||
      getsockname(udp_socket_.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      !server_->udp_loop()->Watch(udp_socket_.get(), EPOLLIN,
                                  MixedServer::Token(key_, kUdpClientSide))) {
    LogRefusal("socks5: udp associate: " + ErrnoText(errno));
    udp_socket_.Reset();
    return Fail(Socks5Reply(kSocks5GeneralFailure, nullptr));
  }
  server_->Log("INFO", Prefix() + InboundName() + ": inbound packet connection from " +
                           FormatSockaddr(peer_) + " at " + FormatSockaddr(local));
  to_client_.Append(Socks5Reply(kSocks5Succeeded, &local));
  state_ = State::kUdpAssociate;
  udp_active_ = Clock::now();
  server_->SetDeadline(key_, &deadline_, Clock::now() + kUdpTick);
  return true;
}

bool Session::UdpControl() {
  bool progress = false;
  if (!Flush(&client_, &to_client_, &progress)) {
    return false;
  }
  // Nothing more is expected on the control connection; its end ends the association.
  char scratch[512];
  while (client_.readable) {
    ssize_t count = recv(client_.fd.get(), scratch, sizeof(scratch), 0);
    if (count == 0) {
      return false;
    }
    if (count < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        client_.readable = false;
      } else if (errno != EINTR) {
        return false;
      }
    }
  }
  return true;
}

bool Session::OpenUdpOutbound(const std::string& host, uint16_t port) {
  target_ = FormatHostPort(host, port);
  server_->Log("INFO", Prefix() + InboundName() + ": inbound packet connection to " + target_);
  plan_ = server_->Route(MakeRouteRequest("udp", host, port));
  if (plan_.refusal.empty() && plan_.hijack_dns) {
    plan_.refusal = "dns: hijack is served on the tun inbound only";
  }
  std::string error = plan_.refusal;
  if (error.empty()) {
    udp_outbound_ = UdpOutbound::Create(plan_.leaf, server_->udp_loop(),
                                        MixedServer::Token(key_, kUdpOutboundSide), &error);
  }
  if (!udp_outbound_) {
    server_->Log("ERROR", Prefix() + "connection: open outbound packet connection: " + error);
    return false;
  }
  if (plan_.handle) {
    MixedServer* server = server_;
    plan_.handle->SetWaker([server] { server->RequestCloses(); });
    if (plan_.handle->close_requested()) {
      server_->RequestCloses();
    }
  }
  return true;
}

bool Session::OnUdpClient() {
  char buffer[65536];
  while (true) {
    sockaddr_storage from{};
    socklen_t length = sizeof(from);
    ssize_t count = recvfrom(udp_socket_.get(), buffer, sizeof(buffer), 0,
                             reinterpret_cast<sockaddr*>(&from), &length);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return true;
    }
    // Only the host that holds the control connection may use the association.
    Datagram datagram;
    if (!SameHost(from, peer_) ||
        !ParseSocks5Udp(std::string_view(buffer, static_cast<size_t>(count)), &datagram)) {
      ++udp_dropped_;
      continue;
    }
    udp_client_ = from;
    udp_active_ = Clock::now();
    if (!udp_outbound_ && !OpenUdpOutbound(datagram.host, datagram.port)) {
      return false;
    }
    if (udp_outbound_->Send(datagram.host, datagram.port, datagram.payload) && plan_.handle) {
      plan_.handle->AddUpload(datagram.payload.size());
    }
    if (!udp_outbound_->error().empty()) {
      server_->Log("ERROR", Prefix() + "connection: " + udp_outbound_->error());
      return false;
    }
  }
}

bool Session::OnUdpOutbound() {
  if (!udp_outbound_) {
    return true;
  }
  std::vector<Datagram> received;
  const bool alive = udp_outbound_->OnReady(&received);
  for (const Datagram& datagram : received) {
    std::string packet = Socks5UdpHeader(datagram.host, datagram.port);
    if (packet.empty() || udp_client_.ss_family == 0) {
      continue;
    }
    packet += datagram.payload;
    if (sendto(udp_socket_.get(), packet.data(), packet.size(), 0,
               reinterpret_cast<const sockaddr*>(&udp_client_), Length(udp_client_)) < 0) {
      ++udp_dropped_;
    } else if (plan_.handle) {
      plan_.handle->AddDownload(datagram.payload.size());
    }
  }
  if (!received.empty()) {
    udp_active_ = Clock::now();
  }
  if (!alive) {
    server_->Log("ERROR", Prefix() + "connection: " + udp_outbound_->error());
    return false;
  }
  return true;
}

bool Session::UdpTick() {
  const Clock::time_point now = Clock::now();
  if (udp_outbound_ && !udp_outbound_->Tick(now)) {
    server_->Log("ERROR", Prefix() + "connection: " + udp_outbound_->error());
    return false;
  }
  if (now - udp_active_ >= kUdpTimeout) {
    server_->Log("INFO", Prefix() + "connection: packet connection idle, closed");
    return false;
  }
  server_->SetDeadline(key_, &deadline_, now + kUdpTick);
  return true;
}

}  // namespace mixed
}  // namespace box
