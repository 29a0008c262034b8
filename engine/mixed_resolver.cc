#include "engine/mixed_resolver.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

namespace box {
namespace mixed {

MixedResolver::MixedResolver(std::function<void()> wake) : wake_(std::move(wake)) {}

MixedResolver::~MixedResolver() {
  Stop();
}

void MixedResolver::Resolve(uint64_t token, const std::string& host, uint16_t port) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) {
    return;
  }
  requests_.push_back(Request{token, host, port});
  // Workers start on demand: an inbound that only sees IP addresses never starts one.
  if (idle_ < requests_.size() && threads_.size() < kMaxThreads) {
    threads_.emplace_back(&MixedResolver::WorkerLoop, this);
    ++idle_;
  }
  queued_.notify_one();
}

std::vector<MixedResolver::Result> MixedResolver::TakeResults() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Result> results;
  results.swap(results_);
  return results;
}

void MixedResolver::Stop() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    requests_.clear();
    threads.swap(threads_);
  }
  queued_.notify_all();
  for (std::thread& thread : threads) {
    thread.join();
  }
}

void MixedResolver::WorkerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    queued_.wait(lock, [this] { return stopping_ || !requests_.empty(); });
    if (stopping_) {
      return;
    }
    Request request = std::move(requests_.front());
    requests_.pop_front();
    --idle_;
    lock.unlock();
    Result result = Lookup(request);
    lock.lock();
    ++idle_;
    if (stopping_) {
      return;
    }
    results_.push_back(std::move(result));
    lock.unlock();
    wake_();
    lock.lock();
  }
}

MixedResolver::Result MixedResolver::Lookup(const Request& request) {
  Result result;
  result.token = request.token;
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  // No AI_ADDRCONFIG: in a namespace with only loopback it would hide "localhost".
  addrinfo* list = nullptr;
  int status = getaddrinfo(request.host.c_str(), nullptr, &hints, &list);
  if (status != 0) {
    if (status == EAI_NONAME || status == EAI_NODATA || status == EAI_FAIL) {
      result.error = "lookup " + request.host + ": no such host";
    } else {
      result.error = "lookup " + request.host + ": " + gai_strerror(status);
    }
    return result;
  }
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    sockaddr_storage address;
    std::memset(&address, 0, sizeof(address));
    if (entry->ai_family == AF_INET && entry->ai_addrlen <= sizeof(address)) {
      std::memcpy(&address, entry->ai_addr, entry->ai_addrlen);
      reinterpret_cast<sockaddr_in*>(&address)->sin_port = htons(request.port);
    } else if (entry->ai_family == AF_INET6 && entry->ai_addrlen <= sizeof(address)) {
      std::memcpy(&address, entry->ai_addr, entry->ai_addrlen);
      reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = htons(request.port);
    } else {
      continue;
    }
    result.addresses.push_back(address);
  }
  freeaddrinfo(list);
  if (result.addresses.empty()) {
    result.error = "lookup " + request.host + ": no such host";
  }
  return result;
}

}  // namespace mixed
}  // namespace box
