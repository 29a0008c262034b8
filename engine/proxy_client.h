// The client side of the proxy protocols an outbound speaks before its stream carries the
// connection: SOCKS5 (RFC 1928, username/password of RFC 1929) and HTTP CONNECT (Basic
// credentials). Pure byte handling, no sockets: the event loop and the blocking delay probe both
// drive it. One thread at a time.
#ifndef ENGINE_PROXY_CLIENT_H_
#define ENGINE_PROXY_CLIENT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace box {

class ProxyClient {
 public:
  // kSocks5UdpAssociate asks for a UDP relay instead of a stream; `host`:`port` is then the
  // address the client will send from (0.0.0.0:0 when unknown) and bound_host()/bound_port()
  // give the relay's address once done.
  enum class Kind { kSocks5, kSocks5UdpAssociate, kHttpConnect };
  enum class Status { kIncomplete, kDone, kFailed };

  // `host`:`port` is the target the proxy is asked to reach. With `greeting_only`, a SOCKS5
  // exchange ends once the server accepted the method (and the credentials, when there are
  // any) without asking for a target: what a delay probe measures.
  ProxyClient(Kind kind,
              std::string username,
              std::string password,
              std::string host,
              uint16_t port,
              bool greeting_only = false);

  // The bytes to send first.
  std::string Start();
  // Consumes what it can of the server's bytes so far. Each call may add bytes to *send. On
  // kDone, bytes of `data` after *consumed already belong to the tunnel. kFailed sets error().
  Status Feed(std::string_view data, size_t* consumed, std::string* send);

  const std::string& error() const { return error_; }
  // The server's BND.ADDR and BND.PORT from its SOCKS5 reply.
  const std::string& bound_host() const { return bound_host_; }
  uint16_t bound_port() const { return bound_port_; }
  // The SOCKS5 reply code that tells our own client why: the server's own failure code, or
  // "general failure" when the exchange itself went wrong.
  uint8_t failure_code() const { return failure_code_; }

 private:
  enum class Step { kSocksMethod, kSocksAuth, kSocksReply, kHttpHead, kDone };

  Status Fail(const std::string& error, uint8_t code);
  std::string Socks5Request() const;

  const Kind kind_;
  const std::string username_;
  const std::string password_;
  const std::string host_;
  const uint16_t port_;
  const bool greeting_only_;
  Step step_ = Step::kDone;
  std::string error_;
  uint8_t failure_code_ = 0x01;
  std::string bound_host_;
  uint16_t bound_port_ = 0;
};

// Standard Base64 with padding.
std::string Base64Encode(std::string_view input);

}  // namespace box

#endif  // ENGINE_PROXY_CLIENT_H_
