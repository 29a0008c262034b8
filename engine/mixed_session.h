// One client connection of the mixed inbound: the SOCKS5 or HTTP proxy handshake (with the
// inbound's users, when it has any), the route's outbound (a direct dial, or a dial to a proxy
// server and its handshake), then the relay of bytes both ways, sealed and opened on the way
// for a Shadowsocks server. Lives on the event-loop thread only; every entry point returns false
// when the session is finished and must be destroyed.
#ifndef ENGINE_MIXED_SESSION_H_
#define ENGINE_MIXED_SESSION_H_

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/mixed_fd.h"
#include "engine/mixed_resolver.h"
#include "engine/mixed_server.h"
#include "engine/outbound_plan.h"
#include "engine/proxy_client.h"
#include "engine/ss_aead.h"
#include "engine/udp_outbound.h"

namespace box {
namespace mixed {

class Session {
 public:
  static constexpr int kClientSide = 0;
  static constexpr int kUpstreamSide = 1;
  // A UDP association: the socket the client sends its datagrams to, and the outbound's.
  static constexpr int kUdpClientSide = 2;
  static constexpr int kUdpOutboundSide = 3;

  Session(MixedServer* server, uint64_t key, UniqueFd client, const sockaddr_storage& peer);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void Begin();
  // A flow the TUN's system stack translated: no handshake, straight to its outbound.
  bool BeginTranslated(const TranslatedFlow& flow);
  // Makes the close a reset on both sides.
  bool Abort();
  bool OnEvent(int side, uint32_t events);
  bool OnResolved(MixedResolver::Result result);
  bool OnDeadline();
  bool Pump();
  std::optional<Clock::time_point>* deadline() { return &deadline_; }
  // The controller asked for this connection to be closed.
  bool close_requested() const { return plan_.handle && plan_.handle->close_requested(); }
  // Logs the interruption and makes the close a reset on both sides.
  void Interrupt();

 private:
  enum class State {
    kSniff,
    kSocksGreeting,
    kSocksAuth,
    kSocksRequest,
    kHttpHead,
    kResolving,
    kConnecting,
    kProxyHandshake,
    kRelay,
    kFailing,
    kUdpAssociate,
  };
  enum class Protocol { kUnknown, kSocks5, kHttpConnect, kHttpForward, kTranslated };

  // One socket with its edge-triggered readiness not yet used up.
  struct Endpoint {
    UniqueFd fd;
    bool readable = false;
    bool writable = false;
    bool eof = false;
    bool write_shut = false;
    int read_error = 0;  // errno that ended reading instead of an orderly end of stream
  };

  // Handshake (mixed_session.cc).
  bool ReadHandshake();
  bool Handshake();
  bool OpenOutbound(const std::string& host, uint16_t port);
  RouteRequest MakeRouteRequest(const char* network, const std::string& host, uint16_t port) const;
  bool Fail(const std::string& reply);
  // Logs a refused handshake with the client's address.
  void LogRefusal(const std::string& reason);
  bool Failing();

  // Dialing (mixed_session_dial.cc).
  bool DialNext();
  bool CheckConnect();
  bool DialFailed();
  bool OnConnected();
  // The outbound carries the connection now; `early` came from it already.
  bool OnTunnelOpen(std::string_view early);
  void DropUpstream();
  // The outbound's name and a colon, for log lines and replies; "" for the implicit direct.
  std::string OutboundPrefix() const;
  // Ends a session whose outbound could not be opened: one error line, the protocol's error.
  bool OutboundFailed(const std::string& reason, int error_number, uint8_t socks_code);

  // Proxy outbounds (mixed_session_proxy.cc).
  bool StartProxyHandshake();
  bool ProxyHandshake();
  bool StartShadowsocks();
  bool SendSealed(bool* progress);
  bool SealTransfer(bool* progress);
  bool OpenTransfer(bool* progress);
  // The Shadowsocks server ended the stream before any answer came back.
  bool NoAnswer(const std::string& reason);

  // Relay (mixed_session_relay.cc).
  bool Relay();
  bool Transfer(Endpoint* from,
                RelayBuffer* buffer,
                SplicePipe* pipe,
                Endpoint* to,
                bool* progress);
  bool SpliceTransfer(Endpoint* from, SplicePipe* pipe, Endpoint* to, bool* progress);
  bool Flush(Endpoint* to, RelayBuffer* buffer, bool* progress);
  void ReadFailed(Endpoint* from, int error_number);
  bool WriteFailed(Endpoint* to, int error_number);
  bool PassOnReset();
  void Count(const Endpoint* from, size_t bytes);

  // UDP ASSOCIATE (mixed_session_udp.cc): the control connection stays open and idle; each
  // client datagram goes out through the outbound the first one was routed to.
  bool StartUdpAssociate();
  bool UdpControl();
  bool OnUdpClient();
  bool OnUdpOutbound();
  bool UdpTick();
  bool OpenUdpOutbound(const std::string& host, uint16_t port);

  // "[<id> <age>] " of this connection's log lines.
  std::string Prefix() const;
  std::string InboundName() const;

  MixedServer* const server_;
  const uint64_t key_;
  const uint32_t id_;
  const Clock::time_point started_;
  const sockaddr_storage peer_;
  State state_ = State::kSniff;
  Protocol protocol_ = Protocol::kUnknown;
  Endpoint client_;
  Endpoint upstream_;
  RelayBuffer to_upstream_;
  RelayBuffer to_client_;
  SplicePipe to_upstream_pipe_;
  SplicePipe to_client_pipe_;
  std::optional<Clock::time_point> deadline_;
  // The endpoint that gets a reset once the bytes queued towards it are delivered, because its
  // peer's stream ended in an error rather than an orderly close.
  Endpoint* resetting_ = nullptr;
  Clock::time_point reset_by_;

  RoutePlan plan_;
  std::string target_;  // "host:port" as the client asked
  std::string target_host_;
  uint16_t target_port_ = 0;
  // A SOCKS5 or HTTP proxy server's handshake and the bytes it sent that were not used yet.
  std::unique_ptr<ProxyClient> proxy_;
  std::string proxy_input_;
  std::string proxy_output_;
  // A Shadowsocks server's stream: client bytes sealed into sealed_, the server's bytes
  // collected in opened_ until a chunk is whole.
  std::unique_ptr<ss::StreamSealer> sealer_;
  std::unique_ptr<ss::StreamOpener> opener_;
  ByteQueue sealed_;
  ByteQueue opened_;
  uint64_t downloaded_ = 0;       // bytes that came back from the outbound
  uint64_t uploaded_ = 0;         // bytes the client sent after its handshake
  bool awaiting_answer_ = false;  // a Shadowsocks server's first answer is being waited for
  std::vector<sockaddr_storage> addresses_;
  size_t next_address_ = 0;
  std::string dialing_;  // the address being dialled
  std::string first_error_;
  int first_errno_ = 0;
  TranslatedFlow translated_;
  // UDP ASSOCIATE.
  UniqueFd udp_socket_;
  sockaddr_storage udp_client_{};  // where the client's datagrams come from; unset until one
  std::unique_ptr<UdpOutbound> udp_outbound_;
  Clock::time_point udp_active_;
  uint64_t udp_dropped_ = 0;  // client datagrams that could not be used
};

// Formats an age the way the engine's log does: "12ms", "1.25s", "2m5s".
std::string FormatAge(Clock::duration age);

}  // namespace mixed
}  // namespace box

#endif  // ENGINE_MIXED_SESSION_H_
