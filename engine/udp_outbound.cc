// The direct association and the factory; the proxy kinds are in udp_outbound_proxy.cc.
#include "engine/udp_outbound.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <deque>

#include "engine/dial_control.h"
#include "engine/mixed_address.h"
#include "engine/udp_outbound_lookups.h"
#include "engine/udp_outbound_proxy.h"
#include "engine/unique_fd.h"

namespace box {

namespace {

class DirectUdp : public UdpOutbound {
 public:
  DirectUdp(const OutboundLeaf& leaf, UdpLoop* loop, uint64_t token)
      : leaf_(leaf), loop_(loop), token_(token), lookups_(loop, token) {}
  ~DirectUdp() override {
    for (UniqueFd* fd : {&v4_, &v6_}) {
      if (fd->valid()) {
        loop_->Unwatch(fd->get());
      }
    }
  }

  bool Send(const std::string& host, uint16_t port, std::string_view payload) override {
    sockaddr_storage address{};
    switch (lookups_.Find(host, port, &address)) {
      case UdpLookups::State::kFailed:
        ++dropped_;
        return false;
      case UdpLookups::State::kPending:
        if (pending_.size() >= kMaxPending) {
          ++dropped_;
          return false;
        }
        pending_.push_back({host, port, std::string(payload)});
        return true;
      case UdpLookups::State::kDone:
        break;
    }
    return SendTo(address, payload);
  }

  bool OnReady(std::vector<Datagram>* received) override {
    if (lookups_.Collect()) {
      std::deque<Datagram> waiting;
      waiting.swap(pending_);
      for (Datagram& datagram : waiting) {
        Send(datagram.host, datagram.port, datagram.payload);
      }
    }
    for (UniqueFd* fd : {&v4_, &v6_}) {
      if (fd->valid()) {
        Receive(fd->get(), received);
      }
    }
    return error_.empty();
  }

  bool Tick(Clock::time_point) override { return error_.empty(); }

 private:
  bool SendTo(const sockaddr_storage& address, std::string_view payload) {
    const bool v6 = address.ss_family == AF_INET6;
    UniqueFd* fd = v6 ? &v6_ : &v4_;
    if (!fd->valid() && !Open(v6 ? AF_INET6 : AF_INET, fd)) {
      ++dropped_;
      return false;
    }
    socklen_t length = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (sendto(fd->get(), payload.data(), payload.size(), 0,
               reinterpret_cast<const sockaddr*>(&address), length) < 0) {
      // A full buffer or an unreachable destination loses this datagram only.
      ++dropped_;
      return false;
    }
    return true;
  }

  bool Open(int family, UniqueFd* fd) {
    fd->Reset(socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd->valid()) {
      // Another family may still work; only a missing IPv4 socket is fatal.
      if (family == AF_INET) {
        error_ = leaf_.name + ": socket: " + mixed::ErrnoText(errno);
      }
      return false;
    }
    if (family == AF_INET6) {
      int one = 1;
      setsockopt(fd->get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
    }
    std::string control_error;
    if (!ApplyDialControl(fd->get(), leaf_, &control_error)) {
      error_ = leaf_.name + ": " + control_error;
      fd->Reset();
      return false;
    }
    if (!loop_->Watch(fd->get(), EPOLLIN, token_)) {
      error_ = leaf_.name + ": epoll_ctl: " + mixed::ErrnoText(errno);
      fd->Reset();
      return false;
    }
    return true;
  }

  static void Receive(int fd, std::vector<Datagram>* received) {
    char buffer[65536];
    while (true) {
      sockaddr_storage from{};
      socklen_t length = sizeof(from);
      ssize_t count =
          recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (count < 0) {
        if (errno == EINTR) {
          continue;
        }
        return;  // EAGAIN, or an ICMP error reported for an earlier datagram
      }
      Datagram datagram;
      char text[INET6_ADDRSTRLEN] = {};
      if (from.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&from);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof(text));
        datagram.port = ntohs(v6->sin6_port);
      } else {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&from);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text));
        datagram.port = ntohs(v4->sin_port);
      }
      datagram.host = text;
      datagram.payload.assign(buffer, static_cast<size_t>(count));
      received->push_back(std::move(datagram));
    }
  }

  const OutboundLeaf leaf_;
  UdpLoop* const loop_;
  const uint64_t token_;
  UdpLookups lookups_;
  UniqueFd v4_;
  UniqueFd v6_;
  std::deque<Datagram> pending_;
};

}  // namespace

std::unique_ptr<UdpOutbound> UdpOutbound::Create(const OutboundLeaf& leaf,
                                                 UdpLoop* loop,
                                                 uint64_t token,
                                                 std::string* error) {
  std::unique_ptr<UdpOutbound> outbound;
  switch (leaf.kind) {
    case OutboundLeaf::Kind::kDirect:
      outbound = std::make_unique<DirectUdp>(leaf, loop, token);
      break;
    case OutboundLeaf::Kind::kShadowsocks:
      outbound = MakeShadowsocksUdp(leaf, loop, token);
      break;
    case OutboundLeaf::Kind::kSocks:
      outbound = MakeSocksUdp(leaf, loop, token);
      break;
    case OutboundLeaf::Kind::kBlock:
      *error = leaf.name + ": blocked";
      return nullptr;
    case OutboundLeaf::Kind::kHttp:
      *error = leaf.name + ": UDP is not supported";
      return nullptr;
  }
  if (!outbound->error().empty()) {
    *error = outbound->error();
    return nullptr;
  }
  return outbound;
}

}  // namespace box
