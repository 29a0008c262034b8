// Small socket helpers shared by the engine's components. Any thread.
#ifndef ENGINE_NET_UTIL_H_
#define ENGINE_NET_UTIL_H_

#include <string>

#include "engine/unique_fd.h"

namespace box {

// The system's text for an errno value in the engine's style: "address already in use".
std::string ErrnoText(int err);

// "127.0.0.1:9090" or "[::1]:9090" into host and port (0-65535). False on any other shape.
bool SplitHostPort(const std::string& text, std::string* host, int* port);

// The inverse of SplitHostPort: brackets around an IPv6 host.
std::string JoinHostPort(const std::string& host, int port);

// Binds a TCP socket on host:port (an address, "localhost" or empty for every interface) and,
// unless `listen_now` is false, listens on it. Returns the descriptor and the bound port; on
// failure an invalid descriptor and *error as
// "listen tcp 127.0.0.1:9090: bind: address already in use".
UniqueFd ListenTcp(const std::string& host,
                   int port,
                   int* bound_port,
                   std::string* error,
                   bool listen_now = true);

}  // namespace box

#endif  // ENGINE_NET_UTIL_H_
