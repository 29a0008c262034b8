// Address helpers shared by the mixed inbound's protocol parsers and its dialer.
#ifndef ENGINE_MIXED_ADDRESS_H_
#define ENGINE_MIXED_ADDRESS_H_

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace box {
namespace mixed {

// Result of an incremental parse over bytes received so far.
enum class ParseStatus { kIncomplete, kDone, kInvalid };

// "host:port", "[v6]:port", or "host" alone when default_port is non-zero. The host comes back
// without brackets. False for an empty host, a bad port or characters no host name contains.
bool ParseHostPort(std::string_view authority,
                   uint16_t default_port,
                   std::string* host,
                   uint16_t* port);

// "example.com:80", "127.0.0.1:80", "[::1]:80".
std::string FormatHostPort(const std::string& host, uint16_t port);

// The numeric address of a socket address, formatted as above.
std::string FormatSockaddr(const sockaddr_storage& address);

// The system's text for an errno value, lower-cased at the start the way the engine's other
// messages read ("address already in use", "connection refused").
std::string ErrnoText(int error_number);

// Whether host is an IPv4 or IPv6 literal; fills address (port set) when it is.
bool ParseIpLiteral(const std::string& host, uint16_t port, sockaddr_storage* address);

}  // namespace mixed
}  // namespace box

#endif  // ENGINE_MIXED_ADDRESS_H_
