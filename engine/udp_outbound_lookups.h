// Name lookups for one UDP association, on a worker thread of its own so the event loop never
// waits for a resolver. Results arrive through an eventfd watched under the association's
// token; each name is looked up once for the association's life.
#ifndef ENGINE_UDP_OUTBOUND_LOOKUPS_H_
#define ENGINE_UDP_OUTBOUND_LOOKUPS_H_

#include <sys/socket.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "engine/udp_outbound.h"
#include "engine/unique_fd.h"

namespace box {

class UdpLookups {
 public:
  enum class State { kPending, kDone, kFailed };

  UdpLookups(UdpLoop* loop, uint64_t token) : loop_(loop), token_(token) {}
  ~UdpLookups();  // joins the worker (waits for a lookup in flight)
  UdpLookups(const UdpLookups&) = delete;
  UdpLookups& operator=(const UdpLookups&) = delete;

  // The address of host:port: an IP literal at once, a name once its lookup finished (the first
  // call starts it). kFailed for a name that does not resolve or a worker that cannot start.
  State Find(const std::string& host, uint16_t port, sockaddr_storage* address);
  // The token fired: takes the finished lookups. True when any came in.
  bool Collect();

 private:
  bool StartWorker();
  void Worker();

  UdpLoop* const loop_;
  const uint64_t token_;
  UniqueFd event_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<std::string> queue_;                                 // under mutex_
  std::map<std::string, std::optional<sockaddr_storage>> done_;   // under mutex_
  bool stopping_ = false;                                         // under mutex_
  std::map<std::string, std::optional<sockaddr_storage>> cache_;  // loop thread
  std::map<std::string, bool> asked_;                             // loop thread
  bool worker_failed_ = false;
};

}  // namespace box

#endif  // ENGINE_UDP_OUTBOUND_LOOKUPS_H_
