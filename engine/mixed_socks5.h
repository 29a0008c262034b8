// SOCKS5 (RFC 1928) messages of the mixed inbound: no authentication or username/password
// (RFC 1929), CONNECT and UDP ASSOCIATE.
#ifndef ENGINE_MIXED_SOCKS5_H_
#define ENGINE_MIXED_SOCKS5_H_

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/mixed_address.h"

namespace box {
namespace mixed {

constexpr uint8_t kSocks5Version = 0x05;
constexpr uint8_t kSocks5MethodNoAuth = 0x00;
constexpr uint8_t kSocks5MethodUserPass = 0x02;
constexpr uint8_t kSocks5MethodNoneAcceptable = 0xff;
constexpr uint8_t kSocks5CommandConnect = 0x01;
constexpr uint8_t kSocks5CommandUdpAssociate = 0x03;
constexpr uint8_t kSocks5AddressIpv4 = 0x01;
constexpr uint8_t kSocks5AddressDomain = 0x03;
constexpr uint8_t kSocks5AddressIpv6 = 0x04;

// Reply codes.
constexpr uint8_t kSocks5Succeeded = 0x00;
constexpr uint8_t kSocks5GeneralFailure = 0x01;
constexpr uint8_t kSocks5NotAllowed = 0x02;
constexpr uint8_t kSocks5NetworkUnreachable = 0x03;
constexpr uint8_t kSocks5HostUnreachable = 0x04;
constexpr uint8_t kSocks5ConnectionRefused = 0x05;
constexpr uint8_t kSocks5CommandNotSupported = 0x07;
constexpr uint8_t kSocks5AddressTypeNotSupported = 0x08;

// The method-selection message: VER NMETHODS METHODS... On kDone *consumed is its length,
// *no_auth tells whether the client offers "no authentication" and *user_pass whether it offers
// username/password. kInvalid sets *error.
ParseStatus ParseSocks5Greeting(const uint8_t* data,
                                size_t size,
                                size_t* consumed,
                                bool* no_auth,
                                bool* user_pass,
                                std::string* error);

// The username/password request of RFC 1929: VER(1) ULEN UNAME PLEN PASSWD. kInvalid sets
// *error.
ParseStatus ParseSocks5UserPass(const uint8_t* data,
                                size_t size,
                                size_t* consumed,
                                std::string* username,
                                std::string* password,
                                std::string* error);

// The RFC 1929 status reply: VER(1) STATUS (0 = success).
std::string Socks5UserPassReply(bool success);

struct Socks5Request {
  uint8_t command = 0;
  std::string host;  // a domain name or an IP literal (IPv6 without brackets)
  uint16_t port = 0;
};

// The request: VER CMD RSV ATYP DST.ADDR DST.PORT. kInvalid sets *error and *reply_code, the
// code to answer before closing (command or address type not supported, general failure).
ParseStatus ParseSocks5Request(const uint8_t* data,
                               size_t size,
                               size_t* consumed,
                               Socks5Request* request,
                               uint8_t* reply_code,
                               std::string* error);

// "VER METHOD".
std::string Socks5MethodReply(uint8_t method);

// "VER REP RSV ATYP BND.ADDR BND.PORT"; bound may be null (0.0.0.0:0 then).
std::string Socks5Reply(uint8_t code, const sockaddr_storage* bound);

// The reply code for a failed outgoing connect's errno.
uint8_t Socks5ReplyForErrno(int error_number);

}  // namespace mixed
}  // namespace box

#endif  // ENGINE_MIXED_SOCKS5_H_
