#include "engine/udp_outbound_lookups.h"

#include <netdb.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>

#include "engine/mixed_address.h"

namespace box {

UdpLookups::~UdpLookups() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
  if (event_.valid()) {
    loop_->Unwatch(event_.get());
  }
}

UdpLookups::State UdpLookups::Find(const std::string& host,
                                   uint16_t port,
                                   sockaddr_storage* address) {
  if (mixed::ParseIpLiteral(host, port, address)) {
    return State::kDone;
  }
  if (auto found = cache_.find(host); found != cache_.end()) {
    if (!found->second.has_value()) {
      return State::kFailed;
    }
    *address = *found->second;
    if (address->ss_family == AF_INET) {
      reinterpret_cast<sockaddr_in*>(address)->sin_port = htons(port);
    } else {
      reinterpret_cast<sockaddr_in6*>(address)->sin6_port = htons(port);
    }
    return State::kDone;
  }
  if (asked_.count(host) == 0) {
    if (!StartWorker()) {
      return State::kFailed;
    }
    asked_[host] = true;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(host);
    }
    queued_.notify_one();
  }
  return State::kPending;
}

bool UdpLookups::Collect() {
  if (!event_.valid()) {
    return false;
  }
  uint64_t value = 0;
  ssize_t ignored = read(event_.get(), &value, sizeof(value));
  (void)ignored;
  std::map<std::string, std::optional<sockaddr_storage>> done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done.swap(done_);
  }
  for (auto& [name, address] : done) {
    cache_[name] = address;
  }
  return !done.empty();
}

bool UdpLookups::StartWorker() {
  if (thread_.joinable()) {
    return true;
  }
  if (worker_failed_) {
    return false;
  }
  event_.Reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!event_.valid() || !loop_->Watch(event_.get(), EPOLLIN, token_)) {
    event_.Reset();
    worker_failed_ = true;
    return false;
  }
  thread_ = std::thread(&UdpLookups::Worker, this);
  return true;
}

void UdpLookups::Worker() {
  while (true) {
    std::string name;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) {
        return;
      }
      name = std::move(queue_.front());
      queue_.pop_front();
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    std::optional<sockaddr_storage> result;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &list) == 0) {
      // The first IPv4 answer when there is one: IPv6 may have no route here.
      const addrinfo* chosen = list;
      for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET) {
          chosen = entry;
          break;
        }
      }
      if (chosen != nullptr && chosen->ai_addrlen <= sizeof(sockaddr_storage)) {
        sockaddr_storage address{};
        std::memcpy(&address, chosen->ai_addr, chosen->ai_addrlen);
        result = address;
      }
      freeaddrinfo(list);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_[name] = result;
    }
    uint64_t one = 1;
    ssize_t ignored = write(event_.get(), &one, sizeof(one));
    (void)ignored;
  }
}

}  // namespace box
