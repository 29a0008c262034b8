#include "engine/connection_tracker.h"

#include <algorithm>
#include <cstdio>
#include <random>

namespace box {

std::string ConnectionTracker::NewId() {
  // A random (version 4) UUID, as the engine's controller names connections.
  static thread_local std::mt19937_64 random(std::random_device{}());
  uint64_t high = random();
  uint64_t low = random();
  high = (high & ~0xf000ULL) | 0x4000ULL;
  low = (low & ~(0xcULL << 60)) | (0x8ULL << 60);
  char text[40];
  snprintf(text, sizeof(text), "%08llx-%04llx-%04llx-%04llx-%012llx",
           static_cast<unsigned long long>(high >> 32),
           static_cast<unsigned long long>((high >> 16) & 0xffff),
           static_cast<unsigned long long>(high & 0xffff),
           static_cast<unsigned long long>(low >> 48),
           static_cast<unsigned long long>(low & 0xffffffffffffULL));
  return text;
}

std::shared_ptr<ConnectionHandle> ConnectionTracker::Open(const RouteRequest& request,
                                                          std::vector<std::string> chains,
                                                          std::string rule) {
  ConnectionHandle::Info info;
  info.id = NewId();
  info.request = request;
  info.chains = std::move(chains);
  info.rule = std::move(rule);
  info.start = std::chrono::system_clock::now();
  auto handle = std::make_shared<ConnectionHandle>(std::move(info), totals_);
  std::lock_guard<std::mutex> lock(mutex_);
  // Closed connections are dropped from time to time, so the map stays as large as the live set.
  if ((counter_ & 63) == 0) {
    for (auto it = connections_.begin(); it != connections_.end();) {
      it = it->second.expired() ? connections_.erase(it) : std::next(it);
    }
  }
  connections_.emplace(counter_++, handle);
  return handle;
}

std::vector<std::shared_ptr<ConnectionHandle>> ConnectionTracker::Live() {
  std::vector<std::shared_ptr<ConnectionHandle>> live;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (auto handle = it->second.lock()) {
      live.push_back(std::move(handle));
      ++it;
    } else {
      it = connections_.erase(it);
    }
  }
  return live;
}

size_t ConnectionTracker::CloseAll() {
  std::vector<std::shared_ptr<ConnectionHandle>> live = Live();
  for (const auto& handle : live) {
    handle->RequestClose();
  }
  return live.size();
}

bool ConnectionTracker::Close(const std::string& id) {
  for (const auto& handle : Live()) {
    if (handle->info().id == id) {
      handle->RequestClose();
      return true;
    }
  }
  return false;
}

size_t ConnectionTracker::CloseThrough(const std::string& tag) {
  size_t count = 0;
  for (const auto& handle : Live()) {
    const std::vector<std::string>& chains = handle->info().chains;
    if (std::find(chains.begin(), chains.end(), tag) != chains.end()) {
      handle->RequestClose();
      ++count;
    }
  }
  return count;
}

}  // namespace box
