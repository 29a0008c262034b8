#include "engine/net_util.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

namespace box {

std::string ErrnoText(int err) {
  char buffer[256];
  // The GNU strerror_r returns a pointer that may or may not be the buffer.
  std::string text = strerror_r(err, buffer, sizeof(buffer));
  if (!text.empty() && text.size() > 1 && !std::isupper(static_cast<unsigned char>(text[1]))) {
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  }
  return text;
}

bool SplitHostPort(const std::string& text, std::string* host, int* port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    return false;
  }
  std::string h = text.substr(0, colon);
  std::string p = text.substr(colon + 1);
  if (!h.empty() && h.front() == '[') {
    if (h.size() < 2 || h.back() != ']') {
      return false;
    }
    h = h.substr(1, h.size() - 2);
  } else if (h.find(':') != std::string::npos) {
    return false;
  }
  if (p.empty() || p.size() > 5) {
    return false;
  }
  int value = 0;
  for (char c : p) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + (c - '0');
  }
  if (value > 65535) {
    return false;
  }
  *host = h;
  *port = value;
  return true;
}

std::string JoinHostPort(const std::string& host, int port) {
  if (host.find(':') != std::string::npos) {
    return "[" + host + "]:" + std::to_string(port);
  }
  return host + ":" + std::to_string(port);
}

UniqueFd ListenTcp(const std::string& host,
                   int port,
                   int* bound_port,
                   std::string* error,
                   bool listen_now) {
  const std::string prefix = "listen tcp " + JoinHostPort(host, port) + ": ";
  sockaddr_storage address{};
  socklen_t length = 0;
  if (host.empty()) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_any;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof(*in6);
  } else {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* result = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &result);
    if (rc != 0 || result == nullptr) {
      *error = prefix + "lookup " + host + ": " + gai_strerror(rc);
      return UniqueFd();
    }
    memcpy(&address, result->ai_addr, result->ai_addrlen);
    length = result->ai_addrlen;
    freeaddrinfo(result);
    if (address.ss_family == AF_INET) {
      reinterpret_cast<sockaddr_in*>(&address)->sin_port = htons(static_cast<uint16_t>(port));
    } else {
      reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = htons(static_cast<uint16_t>(port));
    }
  }
  UniqueFd fd(socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    *error = prefix + "socket: " + ErrnoText(errno);
    return UniqueFd();
  }
  int one = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    *error = prefix + "bind: " + ErrnoText(errno);
    return UniqueFd();
  }
  if (listen_now && listen(fd.get(), SOMAXCONN) != 0) {
    *error = prefix + "listen: " + ErrnoText(errno);
    return UniqueFd();
  }
  sockaddr_storage bound{};
  socklen_t bound_length = sizeof(bound);
  getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &bound_length);
  *bound_port =
      ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                       : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  return fd;
}

}  // namespace box
