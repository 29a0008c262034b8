#include "engine/udp_outbound_proxy.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <deque>

#include "engine/dial_control.h"
#include "engine/mixed_address.h"
#include "engine/proxy_client.h"
#include "engine/ss_aead.h"
#include "engine/udp_outbound_lookups.h"
#include "engine/unique_fd.h"

namespace box {

namespace {

socklen_t AddressLength(const sockaddr_storage& address) {
  return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// A socket of `type` to `address` with the leaf's dial control, watched for `events`. Datagram
// sockets are connected at once; a stream socket's connect may still be in progress.
bool OpenSocket(const OutboundLeaf& leaf,
                int type,
                const sockaddr_storage& address,
                UdpLoop* loop,
                uint32_t events,
                uint64_t token,
                UniqueFd* fd,
                std::string* error) {
  const std::string target = mixed::FormatSockaddr(address);
  const char* network = type == SOCK_STREAM ? "dial tcp " : "dial udp ";
  fd->Reset(socket(address.ss_family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd->valid()) {
    *error = leaf.name + ": " + network + target + ": " + mixed::ErrnoText(errno);
    return false;
  }
  std::string control_error;
  if (!ApplyDialControl(fd->get(), leaf, &control_error)) {
    *error = leaf.name + ": " + network + target + ": " + control_error;
    fd->Reset();
    return false;
  }
  if (type == SOCK_STREAM) {
    int one = 1;
    setsockopt(fd->get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  }
  if (connect(fd->get(), reinterpret_cast<const sockaddr*>(&address), AddressLength(address)) !=
          0 &&
      errno != EINPROGRESS) {
    *error = leaf.name + ": " + network + target + ": " + mixed::ErrnoText(errno);
    fd->Reset();
    return false;
  }
  if (!loop->Watch(fd->get(), events, token)) {
    *error = leaf.name + ": epoll_ctl: " + mixed::ErrnoText(errno);
    fd->Reset();
    return false;
  }
  return true;
}

// Reads every datagram waiting on a connected socket.
template <typename Handle>
void ReceiveAll(int fd, Handle handle) {
  char buffer[65536];
  while (true) {
    ssize_t count = recv(fd, buffer, sizeof(buffer), 0);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;  // EAGAIN, or an ICMP error reported for an earlier datagram
    }
    handle(std::string_view(buffer, static_cast<size_t>(count)));
  }
}

// What both proxy kinds share: the server's address looked up off the loop, datagrams queued
// until the relay is ready.
class ProxyUdp : public UdpOutbound {
 public:
  ProxyUdp(const OutboundLeaf& leaf, UdpLoop* loop, uint64_t token)
      : leaf_(leaf), loop_(loop), token_(token), lookups_(loop, token) {}

  bool Send(const std::string& host, uint16_t port, std::string_view payload) override {
    if (!error_.empty()) {
      ++dropped_;
      return false;
    }
    if (!ready_) {
      if (pending_.size() >= kMaxPending) {
        ++dropped_;
        return false;
      }
      pending_.push_back({host, port, std::string(payload)});
      return true;
    }
    return SendReady(host, port, payload);
  }

 protected:
  virtual bool SendReady(const std::string& host, uint16_t port, std::string_view payload) = 0;
  // The server's address is known.
  virtual void Connect() = 0;

  // Looks the server up; Connect() once it is known.
  void Resolve() {
    switch (lookups_.Find(leaf_.server, leaf_.server_port, &server_address_)) {
      case UdpLookups::State::kDone:
        resolved_ = true;
        Connect();
        break;
      case UdpLookups::State::kFailed:
        error_ = leaf_.name + ": lookup " + leaf_.server + ": no such host";
        break;
      case UdpLookups::State::kPending:
        break;
    }
  }
  // The token fired while the server's name was being looked up.
  void CollectLookup() {
    if (!resolved_ && error_.empty() && lookups_.Collect()) {
      Resolve();
    }
  }
  void BecomeReady() {
    ready_ = true;
    std::deque<Datagram> waiting;
    waiting.swap(pending_);
    for (Datagram& datagram : waiting) {
      SendReady(datagram.host, datagram.port, datagram.payload);
    }
  }
  bool SendPacket(int fd, std::string_view packet) {
    if (send(fd, packet.data(), packet.size(), 0) < 0) {
      ++dropped_;
      return false;
    }
    return true;
  }

  const OutboundLeaf leaf_;
  UdpLoop* const loop_;
  const uint64_t token_;
  UdpLookups lookups_;
  sockaddr_storage server_address_{};
  bool resolved_ = false;
  bool ready_ = false;
  std::deque<Datagram> pending_;
};

class ShadowsocksUdp : public ProxyUdp {
 public:
  using ProxyUdp::ProxyUdp;
  ~ShadowsocksUdp() override {
    if (fd_.valid()) {
      loop_->Unwatch(fd_.get());
    }
  }
  void Begin() { Resolve(); }

  bool OnReady(std::vector<Datagram>* received) override {
    CollectLookup();
    if (fd_.valid()) {
      ReceiveAll(fd_.get(), [&](std::string_view packet) {
        std::string plaintext;
        Datagram datagram;
        size_t header = 0;
        if (!ss::OpenPacket(*leaf_.key, packet, &plaintext) ||
            (header = ss::DecodeAddress(plaintext, &datagram.host, &datagram.port)) == 0) {
          ++dropped_;  // not sealed with our key: nothing the server sent
          return;
        }
        datagram.payload = plaintext.substr(header);
        received->push_back(std::move(datagram));
      });
    }
    return error_.empty();
  }
  bool Tick(Clock::time_point) override { return error_.empty(); }

 protected:
  void Connect() override {
    if (OpenSocket(leaf_, SOCK_DGRAM, server_address_, loop_, EPOLLIN, token_, &fd_, &error_)) {
      BecomeReady();
    }
  }
  bool SendReady(const std::string& host, uint16_t port, std::string_view payload) override {
    std::string plaintext = ss::EncodeAddress(host, port);
    if (plaintext.empty()) {
      ++dropped_;
      return false;
    }
    plaintext.append(payload);
    std::string packet = ss::SealPacket(*leaf_.key, plaintext);
    if (packet.empty()) {
      ++dropped_;
      return false;
    }
    return SendPacket(fd_.get(), packet);
  }

 private:
  UniqueFd fd_;
};

class SocksUdp : public ProxyUdp {
 public:
  SocksUdp(const OutboundLeaf& leaf, UdpLoop* loop, uint64_t token)
      : ProxyUdp(leaf, loop, token),
        client_(ProxyClient::Kind::kSocks5UdpAssociate, leaf.username, leaf.password, "0.0.0.0", 0),
        deadline_(Clock::now() + leaf.connect_timeout) {}
  ~SocksUdp() override {
    for (UniqueFd* fd : {&control_, &relay_}) {
      if (fd->valid()) {
        loop_->Unwatch(fd->get());
      }
    }
  }
  void Begin() { Resolve(); }

  bool OnReady(std::vector<Datagram>* received) override {
    CollectLookup();
    if (control_.valid() && error_.empty()) {
      Control();
    }
    if (relay_.valid() && error_.empty()) {
      ReceiveAll(relay_.get(), [&](std::string_view packet) {
        Datagram datagram;
        if (!ParseSocks5Udp(packet, &datagram)) {
          ++dropped_;
          return;
        }
        received->push_back(std::move(datagram));
      });
    }
    return error_.empty();
  }

  bool Tick(Clock::time_point now) override {
    if (error_.empty() && !ready_ && now >= deadline_) {
      error_ = leaf_.name + ": handshake with " + mixed::FormatSockaddr(server_address_) +
               ": i/o timeout";
    }
    return error_.empty();
  }

 protected:
  void Connect() override {
    connecting_ = OpenSocket(leaf_, SOCK_STREAM, server_address_, loop_, EPOLLOUT, token_,
                             &control_, &error_);
  }
  bool SendReady(const std::string& host, uint16_t port, std::string_view payload) override {
    std::string packet = Socks5UdpHeader(host, port);
    if (packet.empty()) {
      ++dropped_;
      return false;
    }
    packet.append(payload);
    return SendPacket(relay_.get(), packet);
  }

 private:
  // The control connection: its connect, the handshake, then only its end matters.
  void Control() {
    const std::string server = mixed::FormatSockaddr(server_address_);
    if (connecting_) {
      pollfd probe{control_.get(), POLLOUT, 0};
      if (poll(&probe, 1, 0) <= 0) {
        return;
      }
      int socket_error = 0;
      socklen_t length = sizeof(socket_error);
      getsockopt(control_.get(), SOL_SOCKET, SO_ERROR, &socket_error, &length);
      if (socket_error != 0) {
        error_ = leaf_.name + ": dial tcp " + server + ": " + mixed::ErrnoText(socket_error);
        return;
      }
      connecting_ = false;
      output_ = client_.Start();
    }
    while (!output_.empty()) {
      ssize_t sent = send(control_.get(), output_.data(), output_.size(), MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR) {
          continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
          error_ = leaf_.name + ": write " + server + ": " + mixed::ErrnoText(errno);
          return;
        }
        break;
      }
      output_.erase(0, static_cast<size_t>(sent));
    }
    loop_->Modify(control_.get(), output_.empty() ? EPOLLIN : EPOLLIN | EPOLLOUT, token_);
    char buffer[512];
    while (true) {
      ssize_t count = recv(control_.get(), buffer, sizeof(buffer), 0);
      if (count == 0) {
        error_ = leaf_.name + ": " + server + " closed the association";
        return;
      }
      if (count < 0) {
        if (errno == EINTR) {
          continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
          error_ = leaf_.name + ": read " + server + ": " + mixed::ErrnoText(errno);
        }
        return;
      }
      if (ready_) {
        continue;  // nothing more is expected on it
      }
      input_.append(buffer, static_cast<size_t>(count));
      size_t consumed = 0;
      std::string send;
      ProxyClient::Status status = client_.Feed(input_, &consumed, &send);
      input_.erase(0, consumed);
      output_ += send;
      if (status == ProxyClient::Status::kFailed) {
        error_ = leaf_.name + ": " + client_.error();
        return;
      }
      if (status == ProxyClient::Status::kDone) {
        OpenRelay();
        return;
      }
      if (!output_.empty()) {
        Control();  // the credentials go out now
        return;
      }
    }
  }

  void OpenRelay() {
    sockaddr_storage relay{};
    // A server that names no address means "where you reached me".
    if (!mixed::ParseIpLiteral(client_.bound_host(), client_.bound_port(), &relay)) {
      error_ = leaf_.name + ": socks5: unusable relay address " + client_.bound_host();
      return;
    }
    bool unspecified =
        relay.ss_family == AF_INET
            ? reinterpret_cast<sockaddr_in*>(&relay)->sin_addr.s_addr == 0
            : IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<sockaddr_in6*>(&relay)->sin6_addr);
    if (unspecified) {
      relay = server_address_;
      if (relay.ss_family == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&relay)->sin_port = htons(client_.bound_port());
      } else {
        reinterpret_cast<sockaddr_in6*>(&relay)->sin6_port = htons(client_.bound_port());
      }
    }
    if (OpenSocket(leaf_, SOCK_DGRAM, relay, loop_, EPOLLIN, token_, &relay_, &error_)) {
      BecomeReady();
    }
  }

  ProxyClient client_;
  const Clock::time_point deadline_;
  UniqueFd control_;
  UniqueFd relay_;
  bool connecting_ = false;
  std::string input_;
  std::string output_;
};

}  // namespace

std::unique_ptr<UdpOutbound> MakeShadowsocksUdp(const OutboundLeaf& leaf,
                                                UdpLoop* loop,
                                                uint64_t token) {
  auto outbound = std::make_unique<ShadowsocksUdp>(leaf, loop, token);
  outbound->Begin();
  return outbound;
}

std::unique_ptr<UdpOutbound> MakeSocksUdp(const OutboundLeaf& leaf, UdpLoop* loop, uint64_t token) {
  auto outbound = std::make_unique<SocksUdp>(leaf, loop, token);
  outbound->Begin();
  return outbound;
}

std::string Socks5UdpHeader(const std::string& host, uint16_t port) {
  std::string address = ss::EncodeAddress(host, port);
  return address.empty() ? address : std::string(3, '\0') + address;
}

bool ParseSocks5Udp(std::string_view packet, Datagram* datagram) {
  if (packet.size() < 4 || packet[0] != 0 || packet[1] != 0 || packet[2] != 0) {
    return false;
  }
  size_t header = ss::DecodeAddress(packet.substr(3), &datagram->host, &datagram->port);
  if (header == 0) {
    return false;
  }
  datagram->payload.assign(packet.substr(3 + header));
  return true;
}

}  // namespace box
