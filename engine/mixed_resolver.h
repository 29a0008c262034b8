// Name resolution for the mixed inbound's dialer on a few worker threads, so one slow lookup
// does not stall the event loop's other connections.
#ifndef ENGINE_MIXED_RESOLVER_H_
#define ENGINE_MIXED_RESOLVER_H_

#include <sys/socket.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace box {
namespace mixed {

class MixedResolver {
 public:
  struct Result {
    uint64_t token = 0;
    std::vector<sockaddr_storage> addresses;  // ports set
    std::string error;                        // "lookup example.invalid: no such host"
  };

  // wake is called on a worker thread after a result is queued.
  explicit MixedResolver(std::function<void()> wake);
  ~MixedResolver();  // Stop()
  MixedResolver(const MixedResolver&) = delete;
  MixedResolver& operator=(const MixedResolver&) = delete;

  // Any thread. Queues a lookup; its result comes back from TakeResults under token.
  void Resolve(uint64_t token, const std::string& host, uint16_t port);
  // Any thread. The results finished so far.
  std::vector<Result> TakeResults();
  // Drops queued lookups and joins the workers (waits for lookups in flight). Idempotent.
  void Stop();

 private:
  struct Request {
    uint64_t token;
    std::string host;
    uint16_t port;
  };
  static constexpr size_t kMaxThreads = 4;

  void WorkerLoop();
  static Result Lookup(const Request& request);

  std::function<void()> wake_;
  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<Request> requests_;
  std::vector<Result> results_;
  std::vector<std::thread> threads_;
  size_t idle_ = 0;
  bool stopping_ = false;
};

}  // namespace mixed
}  // namespace box

#endif  // ENGINE_MIXED_RESOLVER_H_
