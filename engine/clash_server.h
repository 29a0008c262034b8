// The Clash API controller on experimental.clash_api.external_controller, served by
// libmicrohttpd with a thread per connection (delay tests block for up to their timeout).
#ifndef ENGINE_CLASH_SERVER_H_
#define ENGINE_CLASH_SERVER_H_

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "engine/clash_cors.h"
#include "engine/clash_router.h"
#include "engine/net_util.h"
#include "engine/outbound_manager.h"

struct MHD_Daemon;

namespace box {

// What the controller's long-lived streams wait on: they end when the server stops.
struct ClashStreams {
  std::mutex mutex;
  std::condition_variable stopped;
  bool stopping = false;
};

class ClashServer {
 public:
  // Binds the listening socket. On failure returns nullptr and sets *error to the engine's
  // text ("... listen tcp 127.0.0.1:9090: bind: address already in use").
  static std::unique_ptr<ClashServer> Create(const std::string& address,
                                             const ClashAccess& access,
                                             OutboundManager* outbounds,
                                             std::string* error);
  ~ClashServer();  // Stop()

  // Starts answering on the bound socket.
  bool Start(std::string* error);
  // Closes the socket and every connection; joins the server's threads. Idempotent.
  void Stop();

  // The bound address, "127.0.0.1:9090" (the real port when 0 was configured).
  const std::string& listen_address() const { return listen_address_; }

  // For the request handlers, on the server's threads.
  ClashRouter* router() { return router_.get(); }
  OutboundManager* outbounds() { return outbounds_; }
  ClashStreams* streams() { return &streams_; }

 private:
  ClashServer() = default;

  ClashAccess access_;
  OutboundManager* outbounds_ = nullptr;
  UniqueFd listen_fd_;  // handed to the daemon at Start
  std::string listen_address_;
  std::unique_ptr<ClashRouter> router_;
  MHD_Daemon* daemon_ = nullptr;
  ClashStreams streams_;
};

}  // namespace box

#endif  // ENGINE_CLASH_SERVER_H_
