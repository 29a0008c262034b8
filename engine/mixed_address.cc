#include "engine/mixed_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <cstring>

namespace box {
namespace mixed {

namespace {

// Host names, IPv4 literals and the inside of IPv6 brackets (zone ids included).
bool IsHostCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' ||
         c == ':' || c == '%';
}

bool ParsePort(std::string_view text, uint16_t* port) {
  if (text.empty() || text.size() > 5) {
    return false;
  }
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) {
    return false;
  }
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

bool ParseHostPort(std::string_view authority,
                   uint16_t default_port,
                   std::string* host,
                   uint16_t* port) {
  std::string_view host_part;
  std::string_view port_part;
  bool has_port = false;
  if (!authority.empty() && authority.front() == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) {
      return false;
    }
    host_part = authority.substr(1, close - 1);
    std::string_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') {
        return false;
      }
      port_part = rest.substr(1);
      has_port = true;
    }
    if (host_part.find(':') == std::string_view::npos) {
      return false;
    }
  } else {
    size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
      host_part = authority.substr(0, colon);
      port_part = authority.substr(colon + 1);
      has_port = true;
      // A bare IPv6 address without brackets is ambiguous.
      if (host_part.find(':') != std::string_view::npos) {
        return false;
      }
    } else {
      host_part = authority;
    }
  }
  if (host_part.empty() || host_part.size() > 255) {
    return false;
  }
  for (char c : host_part) {
    if (!IsHostCharacter(c)) {
      return false;
    }
  }
  if (has_port) {
    if (!ParsePort(port_part, port)) {
      return false;
    }
  } else {
    if (default_port == 0) {
      return false;
    }
    *port = default_port;
  }
  host->assign(host_part.data(), host_part.size());
  return true;
}

std::string FormatHostPort(const std::string& host, uint16_t port) {
  if (host.find(':') != std::string::npos) {
    return "[" + host + "]:" + std::to_string(port);
  }
  return host + ":" + std::to_string(port);
}

std::string FormatSockaddr(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text));
    return FormatHostPort(text, ntohs(v4->sin_port));
  }
  if (address.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof(text));
    return FormatHostPort(text, ntohs(v6->sin6_port));
  }
  return "unknown";
}

std::string ErrnoText(int error_number) {
  std::string text = strerror(error_number);
  if (!text.empty() && text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
      std::islower(static_cast<unsigned char>(text[1]))) {
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  }
  return text;
}

bool ParseIpLiteral(const std::string& host, uint16_t port, sockaddr_storage* address) {
  std::memset(address, 0, sizeof(*address));
  auto* v4 = reinterpret_cast<sockaddr_in*>(address);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(address);
  if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    return true;
  }
  std::memset(address, 0, sizeof(*address));
  return false;
}

}  // namespace mixed
}  // namespace box
