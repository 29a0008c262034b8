// Hijacked DNS of the TUN inbound's system stack: datagrams to port 53 and DNS over TCP
// (RFC 7766: each message after its 2-byte big-endian length), both answered from the cache or
// by the configured name server through its outbound.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "engine/tun_stack.h"

namespace box {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kDnsTimeout = std::chrono::seconds(5);
constexpr size_t kMaxPendingQueries = 4096;
// DNS over TCP: a connection with nothing outstanding is closed after this long, as servers
// do; few are open at once; a client that stops reading its answers is cut off.
constexpr auto kDnsTcpIdle = std::chrono::seconds(10);
constexpr size_t kMaxDnsTcpConnections = 256;
constexpr size_t kMaxDnsTcpOutput = 1 << 20;

// A message's ID, or a TCP message's length prefix.
uint16_t BigEndian16(std::string_view bytes) {
  return static_cast<uint16_t>((static_cast<uint8_t>(bytes[0]) << 8) |
                               static_cast<uint8_t>(bytes[1]));
}

void SetBigEndian16(std::string* message, uint16_t id) {
  (*message)[0] = static_cast<char>(id >> 8);
  (*message)[1] = static_cast<char>(id & 0xff);
}

}  // namespace

void TunStack::HandleDns(const tun::Packet& packet, std::string_view query) {
  DnsQuery asker;
  asker.client = packet.source;
  asker.client_port = packet.source_port;
  asker.server = packet.destination;
  if (!Resolve(query, asker)) {
    Drop();  // the client retries or gives up
  }
}

bool TunStack::Resolve(std::string_view query, DnsQuery asker) {
  const Clock::time_point now = Clock::now();
  if (query.size() < 12 || DnsCache::QuestionKey(query).empty()) {
    return false;
  }
  std::string answer;
  if (dns_cache_.Find(query, now, &answer)) {
    Deliver(asker, answer);
    return true;
  }
  if (!dns_upstream_ && options_.dns_plan) {
    RoutePlan plan = options_.dns_plan();
    std::string error = plan.refusal;
    if (error.empty()) {
      dns_upstream_ = UdpOutbound::Create(plan.leaf, this, kDnsToken, &error);
    }
    if (!dns_upstream_ && log_) {
      log_("ERROR", "dns: exchange with " + options_.dns_server + ": " + error);
    }
  }
  if (!dns_upstream_ || dns_pending_.size() >= kMaxPendingQueries) {
    return false;
  }
  // The upstream ID is ours, so answers to different clients with the same ID do not mix.
  uint16_t id = 0;
  for (int tried = 0; tried < 65536; ++tried) {
    id = next_dns_id_++;
    if (dns_pending_.count(id) == 0) {
      break;
    }
  }
  asker.original_id = BigEndian16(query);
  asker.sent = now;
  std::string forwarded(query);
  SetBigEndian16(&forwarded, id);
  if (!dns_upstream_->Send(options_.dns_server, options_.dns_port, forwarded)) {
    return false;
  }
  dns_pending_[id] = asker;
  if (asker.tcp_token != 0) {
    if (auto found = dns_tcp_.find(asker.tcp_token); found != dns_tcp_.end()) {
      ++found->second->waiting;
    }
  }
  return true;
}

void TunStack::Deliver(const DnsQuery& asker, std::string_view message) {
  if (asker.tcp_token == 0) {
    std::string packet =
        tun::BuildUdpPacket(asker.server, 53, asker.client, asker.client_port, message);
    if (packet.empty()) {
      Drop();
      return;
    }
    WritePacket(reinterpret_cast<const uint8_t*>(packet.data()), packet.size());
    return;
  }
  auto found = dns_tcp_.find(asker.tcp_token);
  if (found == dns_tcp_.end()) {
    return;  // the client has gone
  }
  DnsTcpConnection& connection = *found->second;
  connection.output.push_back(static_cast<char>(message.size() >> 8));
  connection.output.push_back(static_cast<char>(message.size() & 0xff));
  connection.output.append(message);
  connection.last_active = Clock::now();
  if (!FlushDnsTcp(asker.tcp_token, &connection)) {
    CloseDnsTcp(asker.tcp_token);
  }
}

void TunStack::OnDnsReady() {
  if (!dns_upstream_) {
    return;
  }
  std::vector<Datagram> received;
  const bool alive = dns_upstream_->OnReady(&received);
  const Clock::time_point now = Clock::now();
  for (Datagram& datagram : received) {
    std::string& message = datagram.payload;
    if (message.size() < 12) {
      continue;
    }
    auto found = dns_pending_.find(BigEndian16(message));
    if (found == dns_pending_.end()) {
      continue;
    }
    const DnsQuery asker = found->second;
    dns_pending_.erase(found);
    SetBigEndian16(&message, asker.original_id);
    dns_cache_.Store(message, now);
    if (asker.tcp_token != 0) {
      if (auto connection = dns_tcp_.find(asker.tcp_token); connection != dns_tcp_.end()) {
        --connection->second->waiting;
      }
    }
    Deliver(asker, message);
  }
  if (!alive) {
    if (log_) {
      log_("ERROR", "dns: exchange with " + options_.dns_server + ": " + dns_upstream_->error());
    }
    dns_upstream_.reset();
  }
}

void TunStack::TickDns(Clock::time_point now) {
  for (auto it = dns_pending_.begin(); it != dns_pending_.end();) {
    if (now - it->second.sent >= kDnsTimeout) {
      Drop();  // no answer came: the client retries or gives up
      if (auto found = dns_tcp_.find(it->second.tcp_token); found != dns_tcp_.end()) {
        --found->second->waiting;
      }
      it = dns_pending_.erase(it);
    } else {
      ++it;
    }
  }
  if (dns_upstream_ && !dns_upstream_->Tick(now)) {
    if (log_) {
      log_("ERROR", "dns: exchange with " + options_.dns_server + ": " + dns_upstream_->error());
    }
    dns_upstream_.reset();
  }
  std::vector<uint64_t> idle;
  for (const auto& [token, connection] : dns_tcp_) {
    if (connection->waiting == 0 && connection->output.empty() &&
        now - connection->last_active >= kDnsTcpIdle) {
      idle.push_back(token);
    }
  }
  for (uint64_t token : idle) {
    CloseDnsTcp(token);
  }
}

void TunStack::HandOver(UniqueFd client) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handed_over_.push_back(std::move(client));
  }
  uint64_t one = 1;
  ssize_t ignored = write(wake_.get(), &one, sizeof(one));
  (void)ignored;
}

void TunStack::TakeHandedOver() {
  uint64_t value = 0;
  ssize_t ignored = read(wake_.get(), &value, sizeof(value));
  (void)ignored;
  std::vector<UniqueFd> taken;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(handed_over_);
  }
  for (UniqueFd& fd : taken) {
    if (dns_tcp_.size() >= kMaxDnsTcpConnections) {
      Drop();  // closed unanswered; the client retries
      continue;
    }
    auto connection = std::make_unique<DnsTcpConnection>();
    const uint64_t token = next_token_++;
    connection->events = EPOLLIN;
    if (!Watch(fd.get(), connection->events, token)) {
      Drop();
      continue;
    }
    connection->fd = std::move(fd);
    connection->last_active = Clock::now();
    dns_tcp_[token] = std::move(connection);
  }
}

void TunStack::OnDnsTcp(uint64_t token, uint32_t events) {
  DnsTcpConnection* connection = dns_tcp_.at(token).get();
  // A reset, or both directions shut: nothing more can be answered.
  if (events & (EPOLLERR | EPOLLHUP)) {
    CloseDnsTcp(token);
    return;
  }
  if ((events & EPOLLIN) && !connection->read_closed && !ReadDnsTcp(token, connection)) {
    CloseDnsTcp(token);
    return;
  }
  // Answering a query may have closed the connection.
  auto found = dns_tcp_.find(token);
  if (found == dns_tcp_.end()) {
    return;
  }
  connection = found->second.get();
  if (!FlushDnsTcp(token, connection) ||
      (connection->read_closed && connection->waiting == 0 && connection->output.empty())) {
    CloseDnsTcp(token);
  }
}

bool TunStack::ReadDnsTcp(uint64_t token, DnsTcpConnection* connection) {
  char buffer[4096];
  while (true) {
    ssize_t count = read(connection->fd.get(), buffer, sizeof(buffer));
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    }
    if (count <= 0) {
      connection->read_closed = true;  // no more queries; the outstanding ones are answered
      break;
    }
    connection->input.append(buffer, static_cast<size_t>(count));
    connection->last_active = Clock::now();
  }
  size_t used = 0;
  while (connection->input.size() - used >= 2) {
    const size_t length = BigEndian16(std::string_view(connection->input).substr(used, 2));
    if (connection->input.size() - used - 2 < length) {
      break;
    }
    DnsQuery asker;
    asker.tcp_token = token;
    if (!Resolve(std::string_view(connection->input).substr(used + 2, length), asker)) {
      Drop();
      return false;  // a malformed query, or no way to the name server: the client retries
    }
    used += 2 + length;
    if (dns_tcp_.count(token) == 0) {
      return true;  // a cached answer could not be written and ended the connection
    }
  }
  connection->input.erase(0, used);
  if (connection->read_closed) {
    connection->events &= ~static_cast<uint32_t>(EPOLLIN);
    Modify(connection->fd.get(), connection->events, token);
  }
  return true;
}

bool TunStack::FlushDnsTcp(uint64_t token, DnsTcpConnection* connection) {
  while (!connection->output.empty()) {
    ssize_t count = send(connection->fd.get(), connection->output.data(), connection->output.size(),
                         MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    }
    if (count <= 0) {
      return false;
    }
    connection->output.erase(0, static_cast<size_t>(count));
  }
  if (connection->output.size() > kMaxDnsTcpOutput) {
    return false;
  }
  const uint32_t events = (connection->events & ~static_cast<uint32_t>(EPOLLOUT)) |
                          (connection->output.empty() ? 0u : static_cast<uint32_t>(EPOLLOUT));
  if (events != connection->events) {
    connection->events = events;
    Modify(connection->fd.get(), events, token);
  }
  return true;
}

void TunStack::CloseDnsTcp(uint64_t token) {
  auto found = dns_tcp_.find(token);
  if (found == dns_tcp_.end()) {
    return;
  }
  Unwatch(found->second->fd.get());
  dns_tcp_.erase(found);
}

}  // namespace box
