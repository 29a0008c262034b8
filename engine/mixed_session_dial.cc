// Opening a session's outbound: a non-blocking connect to each resolved address in turn (the
// target's for direct, the proxy server's otherwise), then the outbound's own start.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

#include "engine/dial_control.h"
#include "engine/mixed_http.h"
#include "engine/mixed_session.h"
#include "engine/mixed_socks5.h"

namespace box {
namespace mixed {

namespace {

// What the kernel may queue towards a client on this machine: a loopback round trip takes
// microseconds, so this still keeps the client fed at memory speed.
constexpr int kLoopbackClientSendBuffer = 256 * 1024;

socklen_t AddressLength(const sockaddr_storage& address) {
  return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

bool IsLoopback(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
  }
  if (address.ss_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
  }
  return false;
}

}  // namespace

void Session::DropUpstream() {
  upstream_ = Endpoint();
}

bool Session::DialNext() {
  state_ = State::kConnecting;
  while (next_address_ < addresses_.size()) {
    const sockaddr_storage& address = addresses_[next_address_++];
    dialing_ = FormatSockaddr(address);
    UniqueFd fd(socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
      int error_number = errno;
      if (first_error_.empty()) {
        first_error_ = "dial tcp " + dialing_ + ": socket: " + ErrnoText(error_number);
        first_errno_ = error_number;
      }
      continue;
    }
    std::string control_error;
    if (!ApplyDialControl(fd.get(), plan_.leaf, &control_error)) {
      if (first_error_.empty()) {
        first_error_ = "dial tcp " + dialing_ + ": " + control_error;
        first_errno_ = EPERM;
      }
      continue;
    }
    int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    int result =
        connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), AddressLength(address));
    int error_number = errno;
    if (result != 0 && error_number != EINPROGRESS) {
      if (first_error_.empty()) {
        first_error_ = "dial tcp " + dialing_ + ": connect: " + ErrnoText(error_number);
        first_errno_ = error_number;
      }
      continue;
    }
    upstream_ = Endpoint();
    upstream_.fd = std::move(fd);
    if (!server_->Watch(upstream_.fd.get(), key_, kUpstreamSide)) {
      return false;
    }
    if (result == 0) {
      return OnConnected();
    }
    server_->SetDeadline(key_, &deadline_, Clock::now() + plan_.leaf.connect_timeout);
    return true;
  }
  return DialFailed();
}

bool Session::CheckConnect() {
  int error_number = 0;
  socklen_t length = sizeof(error_number);
  if (getsockopt(upstream_.fd.get(), SOL_SOCKET, SO_ERROR, &error_number, &length) != 0) {
    error_number = errno;
  }
  if (error_number == 0) {
    sockaddr_storage peer;
    socklen_t peer_length = sizeof(peer);
    if (getpeername(upstream_.fd.get(), reinterpret_cast<sockaddr*>(&peer), &peer_length) != 0 &&
        errno == ENOTCONN) {
      // Still connecting: the readiness was not about this connect.
      upstream_.writable = false;
      return true;
    }
    return OnConnected();
  }
  if (first_error_.empty()) {
    first_error_ = "dial tcp " + dialing_ + ": connect: " + ErrnoText(error_number);
    first_errno_ = error_number;
  }
  server_->SetDeadline(key_, &deadline_, std::nullopt);
  DropUpstream();
  return DialNext();
}

std::string Session::OutboundPrefix() const {
  return plan_.leaf.name.empty() || plan_.leaf.kind == OutboundLeaf::Kind::kDirect
             ? std::string()
             : plan_.leaf.name + ": ";
}

bool Session::OutboundFailed(const std::string& reason, int error_number, uint8_t socks_code) {
  (void)error_number;
  server_->SetDeadline(key_, &deadline_, std::nullopt);
  const std::string text = OutboundPrefix() + reason;
  server_->Log("ERROR", Prefix() + "connection: open outbound connection: " + text);
  if (protocol_ == Protocol::kSocks5) {
    return Fail(Socks5Reply(socks_code, nullptr));
  }
  return Fail(HttpResponse(502, "Bad Gateway", text + "\n"));
}

bool Session::DialFailed() {
  return OutboundFailed(first_error_, first_errno_, Socks5ReplyForErrno(first_errno_));
}

bool Session::OnConnected() {
  server_->SetDeadline(key_, &deadline_, std::nullopt);
  if (IsLoopback(peer_)) {
    // Left to autotuning, the send buffer grows to megabytes that all sit unread in the
    // client's receive queue; by the time the client copies them out they have left the CPU
    // caches, which doubles its cost per byte. A small fixed buffer keeps the bytes warm.
    setsockopt(client_.fd.get(), SOL_SOCKET, SO_SNDBUF, &kLoopbackClientSendBuffer,
               sizeof(kLoopbackClientSendBuffer));
  }
  // What the client sent with its request (a forwarded request head, a tunnel's first bytes)
  // is its first upload.
  if (!to_upstream_.empty()) {
    Count(&client_, to_upstream_.size());
  }
  switch (plan_.leaf.kind) {
    case OutboundLeaf::Kind::kSocks:
    case OutboundLeaf::Kind::kHttp:
      return StartProxyHandshake();
    case OutboundLeaf::Kind::kShadowsocks:
      return StartShadowsocks();
    default:
      return OnTunnelOpen(std::string_view());
  }
}

bool Session::OnTunnelOpen(std::string_view early) {
  state_ = State::kRelay;
  if (protocol_ == Protocol::kSocks5) {
    sockaddr_storage bound;
    socklen_t length = sizeof(bound);
    if (getsockname(upstream_.fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
      bound.ss_family = AF_UNSPEC;
    }
    to_client_.Append(Socks5Reply(kSocks5Succeeded, &bound));
  } else if (protocol_ == Protocol::kHttpConnect) {
    to_client_.Append(kHttpConnectEstablished);
  }
  if (!early.empty()) {
    to_client_.Append(early);
    Count(&upstream_, early.size());
  }
  return Relay();
}

}  // namespace mixed
}  // namespace box
