// What an inbound asks the router for each new connection, and what it gets back: the concrete
// outbound that carries the connection (everything the event loop needs to open it) and the
// handle through which the controller lists, counts and closes it. Inbounds hand TCP streams to
// the event loop with this plan whatever accepted them.
#ifndef ENGINE_OUTBOUND_PLAN_H_
#define ENGINE_OUTBOUND_PLAN_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/ss_aead.h"

namespace box {

// The connection as the route sees it.
struct RouteRequest {
  std::string inbound;       // the inbound's tag ("mixed-in")
  std::string inbound_type;  // "mixed"
  std::string network;       // "tcp" or "udp"
  std::string host;          // the requested host: a name or an IP literal
  uint16_t port = 0;
  std::string source_ip;
  uint16_t source_port = 0;
};

// A concrete outbound, as the event loop opens it.
struct OutboundLeaf {
  enum class Kind { kDirect, kBlock, kSocks, kHttp, kShadowsocks };
  Kind kind = Kind::kDirect;
  std::string name;  // "outbound/socks[hk-01]"; "" for the engine's implicit direct
  std::string server;
  uint16_t server_port = 0;
  std::string username;
  std::string password;
  std::shared_ptr<const ss::Key> key;  // shadowsocks
  std::chrono::milliseconds connect_timeout{5000};
  // Shadowsocks: a server that stays silent this long after the client spoke is taken for a
  // wrong key or an unreachable target (the protocol has no other way to tell).
  std::chrono::milliseconds first_answer_timeout{10000};
  // Keeps the outbound's own sockets off a TUN's routes: bound to this interface index (0:
  // none) and given this SO_MARK (0: none). Filled per connection from the route's
  // auto_detect_interface / default_interface / default_mark and the outbound's bind_interface
  // / routing_mark (dial_control.h applies them).
  int bind_interface = 0;
  uint32_t routing_mark = 0;
};

// Totals of every connection of a service, for the controller's traffic figures.
struct TrafficTotals {
  std::atomic<uint64_t> upload{0};
  std::atomic<uint64_t> download{0};
  // Packets a TUN inbound could not carry (a full queue, no flow, a protocol it does not carry).
  std::atomic<uint64_t> dropped_packets{0};
};

// One live connection, shared by the loop that carries it and the controller. Any thread.
class ConnectionHandle {
 public:
  struct Info {
    std::string id;
    RouteRequest request;
    std::vector<std::string> chains;  // the matched outbound first, the leaf last
    std::string rule;
    std::chrono::system_clock::time_point start;
  };

  ConnectionHandle(Info info, std::shared_ptr<TrafficTotals> totals)
      : info_(std::move(info)), totals_(std::move(totals)) {}

  const Info& info() const { return info_; }
  uint64_t upload() const { return upload_.load(std::memory_order_relaxed); }
  uint64_t download() const { return download_.load(std::memory_order_relaxed); }
  void AddUpload(uint64_t bytes) {
    upload_.fetch_add(bytes, std::memory_order_relaxed);
    if (totals_) {
      totals_->upload.fetch_add(bytes, std::memory_order_relaxed);
    }
  }
  void AddDownload(uint64_t bytes) {
    download_.fetch_add(bytes, std::memory_order_relaxed);
    if (totals_) {
      totals_->download.fetch_add(bytes, std::memory_order_relaxed);
    }
  }

  // Asks the carrying loop to close the connection (it resets both sides).
  void RequestClose() {
    close_requested_.store(true);
    std::lock_guard<std::mutex> lock(mutex_);
    if (waker_) {
      waker_();
    }
  }
  bool close_requested() const { return close_requested_.load(); }
  // The carrying loop: how to reach it, until it lets go of the connection (nullptr).
  void SetWaker(std::function<void()> waker) {
    std::lock_guard<std::mutex> lock(mutex_);
    waker_ = std::move(waker);
  }

 private:
  const Info info_;
  const std::shared_ptr<TrafficTotals> totals_;
  std::atomic<uint64_t> upload_{0};
  std::atomic<uint64_t> download_{0};
  std::atomic<bool> close_requested_{false};
  std::mutex mutex_;
  std::function<void()> waker_;
};

struct RoutePlan {
  std::string refusal;  // not empty: the connection is refused, for this reason
  // A DNS query's flow (route action hijack-dns): the engine's own DNS answers it, no outbound
  // is opened.
  bool hijack_dns = false;
  OutboundLeaf leaf;
  std::shared_ptr<ConnectionHandle> handle;  // null when nothing tracks connections
};

// Called on the inbound's event-loop thread for every new connection; must be safe from any
// thread. An empty function routes everything through the implicit direct outbound.
using RouteFn = std::function<RoutePlan(const RouteRequest&)>;

}  // namespace box

#endif  // ENGINE_OUTBOUND_PLAN_H_
