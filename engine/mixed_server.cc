#include "engine/mixed_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>

#include "engine/mixed_address.h"
#include "engine/mixed_session.h"

namespace box {
namespace mixed {

namespace {

constexpr int kMaxEvents = 128;
// Pause before accepting again after the process ran out of descriptors.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

bool ConstantTimeEquals(std::string_view a, std::string_view b) {
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  }
  return difference == 0;
}

}  // namespace

MixedServer::MixedServer(std::string tag,
                         UniqueFd listener,
                         std::string address,
                         std::vector<MixedUser> users,
                         LogFn log,
                         RouteFn route)
    : tag_(std::move(tag)),
      listener_(std::move(listener)),
      address_(std::move(address)),
      users_(std::move(users)),
      log_(std::move(log)),
      route_(std::move(route)),
      random_(std::random_device{}()) {}

MixedServer::~MixedServer() {
  Stop();
}

void MixedServer::Log(const char* level, const std::string& message) const {
  if (log_) {
    log_(level, message);
  }
}

bool MixedServer::Authenticate(std::string_view username, std::string_view password) const {
  // Every account is compared in full, so the time taken does not tell how much matched.
  bool found = false;
  for (const MixedUser& user : users_) {
    found |=
        ConstantTimeEquals(user.username, username) & ConstantTimeEquals(user.password, password);
  }
  return found;
}

RoutePlan MixedServer::Route(const RouteRequest& request) const {
  return route_ ? route_(request) : RoutePlan();
}

bool MixedServer::HandOffDns(UniqueFd* client, const TranslatedFlow& flow) {
  if (!dns_handoff_) {
    return false;
  }
  epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, client->get(), nullptr);
  dns_handoff_(std::move(*client), flow);
  return true;
}

bool MixedServer::Start(std::string* error) {
  if (started_ || stopped_) {
    *error =
        "inbound/" + type_ + "[" + tag_ + "]: " + (stopped_ ? "already closed" : "already started");
    return false;
  }
  epoll_.Reset(epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_.valid()) {
    *error = "epoll_create1: " + ErrnoText(errno);
    return false;
  }
  wake_.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake_.valid()) {
    *error = "eventfd: " + ErrnoText(errno);
    epoll_.Reset();
    return false;
  }
  epoll_event wake_event{};
  wake_event.events = EPOLLIN;
  wake_event.data.u64 = kWakeKey;
  epoll_event listen_event{};
  // Level-triggered: a backlog left after a pause is picked up on the next turn.
  listen_event.events = EPOLLIN;
  listen_event.data.u64 = kListenerKey;
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &wake_event) != 0 ||
      epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, listener_.get(), &listen_event) != 0) {
    *error = "epoll_ctl: " + ErrnoText(errno);
    wake_.Reset();
    epoll_.Reset();
    return false;
  }
  resolver_ = std::make_unique<MixedResolver>([this] { Wake(); });
  started_ = true;
  thread_ = std::thread(&MixedServer::Run, this);
  Log("INFO", "inbound/" + type_ + "[" + tag_ + "]: tcp server started at " + address_);
  return true;
}

void MixedServer::Stop() {
  if (stopped_) {
    return;
  }
  stopped_ = true;
  if (thread_.joinable()) {
    stopping_.store(true);
    Wake();
    thread_.join();
  }
  // Workers may still write to the wake descriptor until they are joined.
  resolver_.reset();
  listener_.Reset();
  wake_.Reset();
  epoll_.Reset();
}

void MixedServer::Wake() {
  uint64_t one = 1;
  // A full counter already means "wake up".
  ssize_t ignored = write(wake_.get(), &one, sizeof(one));
  (void)ignored;
}

bool MixedServer::Watch(int fd, uint64_t key, int side) {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  event.data.u64 = Token(key, side);
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
    Log("ERROR", "inbound/mixed[" + tag_ + "]: epoll_ctl: " + ErrnoText(errno));
    return false;
  }
  return true;
}

bool MixedServer::EpollLoop::Watch(int fd, uint32_t events, uint64_t token) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = token;
  return epoll_ctl(epoll_->get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

bool MixedServer::EpollLoop::Modify(int fd, uint32_t events, uint64_t token) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = token;
  return epoll_ctl(epoll_->get(), EPOLL_CTL_MOD, fd, &event) == 0;
}

void MixedServer::EpollLoop::Unwatch(int fd) {
  epoll_ctl(epoll_->get(), EPOLL_CTL_DEL, fd, nullptr);
}

void MixedServer::SetDeadline(uint64_t key,
                              std::optional<Clock::time_point>* current,
                              std::optional<Clock::time_point> next) {
  if (current->has_value()) {
    deadlines_.erase({**current, key});
  }
  *current = next;
  if (next.has_value()) {
    deadlines_.insert({*next, key});
  }
}

void MixedServer::Resolve(uint64_t key, const std::string& host, uint16_t port) {
  resolver_->Resolve(key, host, port);
}

int MixedServer::NextTimeoutMs() const {
  if (!pending_pumps_.empty()) {
    return 0;
  }
  std::optional<Clock::time_point> next;
  if (!deadlines_.empty()) {
    next = deadlines_.begin()->first;
  }
  if (accept_resume_.has_value() && (!next.has_value() || *accept_resume_ < *next)) {
    next = accept_resume_;
  }
  if (!next.has_value()) {
    return -1;
  }
  auto remaining = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
  return remaining < 0 ? 0 : static_cast<int>(remaining);
}

void MixedServer::Run() {
  epoll_event events[kMaxEvents];
  while (!stopping_.load()) {
    int count = epoll_wait(epoll_.get(), events, kMaxEvents, NextTimeoutMs());
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      Log("ERROR", "inbound/mixed[" + tag_ + "]: epoll_wait: " + ErrnoText(errno));
      break;
    }
    for (int i = 0; i < count; ++i) {
      uint64_t data = events[i].data.u64;
      if (data == kWakeKey) {
        HandleWake();
        continue;
      }
      if (data == kListenerKey) {
        Accept();
        continue;
      }
      uint64_t key = data >> kSideBits;
      auto found = sessions_.find(key);
      if (found == sessions_.end()) {
        continue;  // closed earlier in this batch
      }
      if (!found->second->OnEvent(static_cast<int>(data & ((1u << kSideBits) - 1)),
                                  events[i].events)) {
        CloseSession(key);
      }
    }
    RunPendingPumps();
    RunTimers();
  }
  // Closing every session's sockets ends its clients' connections.
  for (auto& entry : sessions_) {
    entry.second.reset();
  }
  sessions_.clear();
  deadlines_.clear();
  pending_pumps_.clear();
}

void MixedServer::Accept() {
  while (true) {
    sockaddr_storage peer{};
    socklen_t length = sizeof(peer);
    int fd = accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      int error_number = errno;
      if (error_number == EINTR || error_number == ECONNABORTED) {
        continue;
      }
      if (error_number == EMFILE || error_number == ENFILE || error_number == ENOBUFS ||
          error_number == ENOMEM) {
        Log("ERROR", "inbound/mixed[" + tag_ + "]: accept: " + ErrnoText(error_number));
        epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, listener_.get(), nullptr);
        accept_resume_ = Clock::now() + kAcceptPause;
      }
      return;
    }
    UniqueFd client(fd);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    uint64_t key = next_key_++;
    auto session = std::make_unique<Session>(this, key, std::move(client), peer);
    if (!Watch(fd, key, Session::kClientSide)) {
      continue;
    }
    if (!translation_) {
      session->Begin();
    }
    Session* started = session.get();
    sessions_.emplace(key, std::move(session));
    if (translation_) {
      TranslatedFlow flow;
      if (!translation_(peer, &flow)) {
        Log("ERROR",
            "inbound/" + type_ + "[" + tag_ + "]: no translated flow for " + FormatSockaddr(peer));
        started->Abort();
        CloseSession(key);
      } else if (!started->BeginTranslated(flow)) {
        CloseSession(key);
      }
    }
  }
}

void MixedServer::HandleWake() {
  uint64_t value = 0;
  ssize_t ignored = read(wake_.get(), &value, sizeof(value));
  (void)ignored;
  if (stopping_.load()) {
    return;
  }
  if (close_requests_.exchange(false)) {
    CloseRequested();
  }
  for (MixedResolver::Result& result : resolver_->TakeResults()) {
    auto found = sessions_.find(result.token);
    if (found == sessions_.end()) {
      continue;
    }
    if (!found->second->OnResolved(std::move(result))) {
      CloseSession(found->first);
    }
  }
}

void MixedServer::RunPendingPumps() {
  std::vector<uint64_t> keys;
  keys.swap(pending_pumps_);
  for (uint64_t key : keys) {
    auto found = sessions_.find(key);
    if (found != sessions_.end() && !found->second->Pump()) {
      CloseSession(key);
    }
  }
}

void MixedServer::RunTimers() {
  Clock::time_point now = Clock::now();
  if (accept_resume_.has_value() && *accept_resume_ <= now) {
    accept_resume_.reset();
    epoll_event listen_event{};
    listen_event.events = EPOLLIN;
    listen_event.data.u64 = kListenerKey;
    epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, listener_.get(), &listen_event);
  }
  while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
    uint64_t key = deadlines_.begin()->second;
    deadlines_.erase(deadlines_.begin());
    auto found = sessions_.find(key);
    if (found == sessions_.end()) {
      continue;
    }
    // The entry is gone from the set already; the session forgets it before reacting.
    found->second->deadline()->reset();
    if (!found->second->OnDeadline()) {
      CloseSession(key);
    }
  }
}

void MixedServer::CloseRequested() {
  std::vector<uint64_t> keys;
  for (auto& [key, session] : sessions_) {
    if (session->close_requested()) {
      keys.push_back(key);
    }
  }
  for (uint64_t key : keys) {
    sessions_.at(key)->Interrupt();
    CloseSession(key);
  }
}

void MixedServer::CloseSession(uint64_t key) {
  auto found = sessions_.find(key);
  if (found == sessions_.end()) {
    return;
  }
  SetDeadline(key, found->second->deadline(), std::nullopt);
  sessions_.erase(found);
}

}  // namespace mixed
}  // namespace box
