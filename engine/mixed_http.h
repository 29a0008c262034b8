// HTTP proxy requests of the mixed inbound: CONNECT tunnels and absolute-URI requests.
#ifndef ENGINE_MIXED_HTTP_H_
#define ENGINE_MIXED_HTTP_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/mixed_address.h"

namespace box {
namespace mixed {

constexpr char kHttpConnectEstablished[] = "HTTP/1.1 200 Connection established\r\n\r\n";

struct HttpProxyRequest {
  bool is_connect = false;
  std::string host;  // without brackets
  uint16_t port = 0;
  // For an absolute-URI request, the head to send to the origin server: the request line in
  // origin form, the client's headers without the proxy's hop-by-hop ones, a Host header and
  // "Connection: close" (the relay is one request per connection). Empty for CONNECT.
  std::string forward_head;
  // The first Proxy-Authorization header's value; never forwarded.
  std::string proxy_authorization;
};

// Parses the request head at the start of data. kIncomplete until the blank line arrives;
// on kDone *consumed is the head's length (a body, or a tunnel's first bytes, may follow).
// kInvalid sets *error.
ParseStatus ParseHttpProxyRequest(std::string_view data,
                                  size_t* consumed,
                                  HttpProxyRequest* request,
                                  std::string* error);

// A complete response with a plain-text body that closes the connection. `extra_headers` are
// whole header lines, each ending in CRLF.
std::string HttpResponse(int status,
                         std::string_view reason,
                         std::string_view body,
                         std::string_view extra_headers = {});

// The 407 answer to a client that gave no or wrong credentials.
std::string HttpProxyAuthRequired();

// The username and password of a "Basic <base64 of user:password>" header value. False when it
// is not that shape.
bool ParseBasicCredentials(std::string_view value, std::string* username, std::string* password);

}  // namespace mixed
}  // namespace box

#endif  // ENGINE_MIXED_HTTP_H_
