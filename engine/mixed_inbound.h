// The "mixed" inbound: an HTTP and SOCKS5 proxy on one port, with optional user accounts, that
// relays each connection through the outbound its route chooses.
#ifndef ENGINE_MIXED_INBOUND_H_
#define ENGINE_MIXED_INBOUND_H_

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/outbound_plan.h"
#include "engine/unique_fd.h"

namespace box {

struct MixedUser {
  std::string username;
  std::string password;
};

// A TCP flow the TUN inbound's system stack translated to the listener: its real ends.
struct TranslatedFlow {
  std::string source_ip;
  uint16_t source_port = 0;
  std::string destination_ip;
  uint16_t destination_port = 0;
};

// Any thread. False when the accepted peer is no live translation.
using TranslationFn = std::function<bool(const sockaddr_storage& peer, TranslatedFlow* flow)>;
// Called on the listener's thread with a translated flow whose route is hijack-dns: the accepted
// socket goes to whoever answers DNS over TCP, and the listener forgets it.
using DnsHandoffFn = std::function<void(UniqueFd client, const TranslatedFlow& flow)>;

struct MixedInboundOptions {
  std::string tag;
  std::string listen = "127.0.0.1";
  int listen_port = 0;
  // When not empty, every client must name one of these: SOCKS5 username/password (RFC 1929)
  // or HTTP Basic Proxy-Authorization.
  std::vector<MixedUser> users;
  // Set by the TUN inbound's system stack: the listener then accepts translated flows, not
  // proxy clients, and each goes straight to its route ("inbound/<type>[tag]" in the log).
  TranslationFn translation;
  // With translation: where hijacked DNS connections go; unset, they are refused with a reset.
  DnsHandoffFn dns_handoff;
  std::string type = "mixed";
};

using LogFn = std::function<void(const std::string& level /*"INFO","WARN","ERROR",...*/,
                                 const std::string& message)>;

// Start, Stop and the destructor are called from one controlling thread. LogFn and RouteFn are
// called on the inbound's own event-loop thread, so they must be safe to call from any thread.
class MixedInbound {
 public:
  // Binds the listening socket. On failure returns nullptr and sets *error to e.g.
  // "listen tcp 127.0.0.1:2080: bind: address already in use".
  static std::unique_ptr<MixedInbound> Create(const MixedInboundOptions& options,
                                              LogFn log,
                                              RouteFn route,
                                              std::string* error);
  bool Start(std::string* error);  // starts serving (its own event-loop thread)
  void Stop();                     // closes every socket and joins its thread; idempotent
  int port() const;                // actual bound port (useful with listen_port 0)
  ~MixedInbound();                 // Stop()

 private:
  struct Impl;
  explicit MixedInbound(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace box

#endif  // ENGINE_MIXED_INBOUND_H_
