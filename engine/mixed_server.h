// The mixed inbound's event loop: one thread, one epoll set, non-blocking sockets. It accepts
// clients, owns their sessions and gives them the loop's services (watching descriptors,
// deadlines, name resolution, logging, the route decision).
#ifndef ENGINE_MIXED_SERVER_H_
#define ENGINE_MIXED_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/mixed_fd.h"
#include "engine/mixed_inbound.h"
#include "engine/mixed_resolver.h"
#include "engine/udp_outbound.h"

namespace box {
namespace mixed {

class Session;

using Clock = std::chrono::steady_clock;

class MixedServer {
 public:
  // listener is bound and listening; address is its "host:port" text for the log; users empty
  // means no authentication.
  MixedServer(std::string tag,
              UniqueFd listener,
              std::string address,
              std::vector<MixedUser> users,
              LogFn log,
              RouteFn route);
  ~MixedServer();  // Stop()
  MixedServer(const MixedServer&) = delete;
  MixedServer& operator=(const MixedServer&) = delete;

  // Controlling thread, before Start: accepted connections are translated flows (mixed_inbound.h).
  void SetTranslation(TranslationFn translation, DnsHandoffFn dns_handoff, std::string type) {
    translation_ = std::move(translation);
    dns_handoff_ = std::move(dns_handoff);
    type_ = std::move(type);
  }
  // Controlling thread.
  bool Start(std::string* error);
  void Stop();

  // Event-loop thread only, for sessions.
  const std::string& tag() const { return tag_; }
  const std::string& type() const { return type_; }
  void Log(const char* level, const std::string& message) const;
  RoutePlan Route(const RouteRequest& request) const;
  // A translated flow routed to hijack-dns: its socket leaves the loop for the DNS answerer.
  // False, the socket untouched, when nobody takes it.
  bool HandOffDns(UniqueFd* client, const TranslatedFlow& flow);
  // Whether clients must authenticate, and whether these credentials name a configured user.
  bool RequiresAuth() const { return !users_.empty(); }
  bool Authenticate(std::string_view username, std::string_view password) const;
  // Adds a session's descriptor to the epoll set, edge-triggered for reading and writing.
  bool Watch(int fd, uint64_t key, int side);
  // The epoll set for a session's datagram sockets and UDP associations, level-triggered, under
  // Token(key, side).
  UdpLoop* udp_loop() { return &udp_loop_; }
  static uint64_t Token(uint64_t key, int side) {
    return (key << kSideBits) | static_cast<uint64_t>(side);
  }
  // Moves a session's deadline; nullopt clears it.
  void SetDeadline(uint64_t key,
                   std::optional<Clock::time_point>* current,
                   std::optional<Clock::time_point> next);
  void Resolve(uint64_t key, const std::string& host, uint16_t port);
  // The session has more to do than one turn allows; it is pumped again next iteration.
  void SchedulePump(uint64_t key) { pending_pumps_.push_back(key); }
  uint32_t NextConnectionId() { return static_cast<uint32_t>(random_()); }
  // Any thread: a tracked connection asked to be closed; the loop looks at its sessions.
  void RequestCloses() {
    close_requests_.store(true);
    Wake();
  }

 private:
  // Each session has up to four descriptors (or groups of them) in the epoll set.
  static constexpr int kSideBits = 2;
  static constexpr uint64_t kWakeKey = 0;
  static constexpr uint64_t kListenerKey = 1;

  void Run();
  void Accept();
  void HandleWake();
  void RunTimers();
  void RunPendingPumps();
  int NextTimeoutMs() const;
  void CloseSession(uint64_t key);
  void CloseRequested();
  void Wake();

  class EpollLoop : public UdpLoop {
   public:
    explicit EpollLoop(const UniqueFd* epoll) : epoll_(epoll) {}
    bool Watch(int fd, uint32_t events, uint64_t token) override;
    bool Modify(int fd, uint32_t events, uint64_t token) override;
    void Unwatch(int fd) override;

   private:
    const UniqueFd* const epoll_;
  };

  const std::string tag_;
  UniqueFd listener_;
  const std::string address_;
  const std::vector<MixedUser> users_;
  const LogFn log_;
  const RouteFn route_;
  TranslationFn translation_;
  DnsHandoffFn dns_handoff_;
  std::string type_ = "mixed";

  UniqueFd epoll_;
  EpollLoop udp_loop_{&epoll_};
  UniqueFd wake_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> close_requests_{false};
  bool started_ = false;
  bool stopped_ = false;
  std::unique_ptr<MixedResolver> resolver_;

  // Loop-thread state.
  std::unordered_map<uint64_t, std::unique_ptr<Session>> sessions_;
  uint64_t next_key_ = 1;
  std::set<std::pair<Clock::time_point, uint64_t>> deadlines_;
  std::vector<uint64_t> pending_pumps_;
  std::mt19937 random_;
  // Set while accepting is paused because the process ran out of descriptors.
  std::optional<Clock::time_point> accept_resume_;
};

}  // namespace mixed
}  // namespace box

#endif  // ENGINE_MIXED_SERVER_H_
