#include "engine/mixed_socks5.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

namespace box {
namespace mixed {

ParseStatus ParseSocks5Greeting(const uint8_t* data,
                                size_t size,
                                size_t* consumed,
                                bool* no_auth,
                                bool* user_pass,
                                std::string* error) {
  if (size < 2) {
    return ParseStatus::kIncomplete;
  }
  if (data[0] != kSocks5Version) {
    *error = "socks5: unsupported version " + std::to_string(data[0]);
    return ParseStatus::kInvalid;
  }
  size_t methods = data[1];
  if (methods == 0) {
    *error = "socks5: no authentication methods offered";
    return ParseStatus::kInvalid;
  }
  if (size < 2 + methods) {
    return ParseStatus::kIncomplete;
  }
  *no_auth = false;
  *user_pass = false;
  for (size_t i = 0; i < methods; ++i) {
    *no_auth = *no_auth || data[2 + i] == kSocks5MethodNoAuth;
    *user_pass = *user_pass || data[2 + i] == kSocks5MethodUserPass;
  }
  *consumed = 2 + methods;
  return ParseStatus::kDone;
}

ParseStatus ParseSocks5UserPass(const uint8_t* data,
                                size_t size,
                                size_t* consumed,
                                std::string* username,
                                std::string* password,
                                std::string* error) {
  constexpr uint8_t kUserPassVersion = 0x01;
  if (size < 2) {
    return ParseStatus::kIncomplete;
  }
  if (data[0] != kUserPassVersion) {
    *error = "socks5: unsupported authentication version " + std::to_string(data[0]);
    return ParseStatus::kInvalid;
  }
  size_t user_end = 2 + data[1];
  if (size < user_end + 1) {
    return ParseStatus::kIncomplete;
  }
  size_t password_end = user_end + 1 + data[user_end];
  if (size < password_end) {
    return ParseStatus::kIncomplete;
  }
  username->assign(reinterpret_cast<const char*>(data + 2), data[1]);
  password->assign(reinterpret_cast<const char*>(data + user_end + 1), data[user_end]);
  *consumed = password_end;
  return ParseStatus::kDone;
}

std::string Socks5UserPassReply(bool success) {
  return std::string{0x01, static_cast<char>(success ? 0x00 : 0x01)};
}

ParseStatus ParseSocks5Request(const uint8_t* data,
                               size_t size,
                               size_t* consumed,
                               Socks5Request* request,
                               uint8_t* reply_code,
                               std::string* error) {
  if (size < 4) {
    return ParseStatus::kIncomplete;
  }
  if (data[0] != kSocks5Version) {
    *reply_code = kSocks5GeneralFailure;
    *error = "socks5: unsupported version " + std::to_string(data[0]);
    return ParseStatus::kInvalid;
  }
  if (data[1] != kSocks5CommandConnect && data[1] != kSocks5CommandUdpAssociate) {
    *reply_code = kSocks5CommandNotSupported;
    *error = "socks5: unsupported command " + std::to_string(data[1]);
    return ParseStatus::kInvalid;
  }
  size_t address_end = 0;
  switch (data[3]) {
    case kSocks5AddressIpv4:
      address_end = 4 + 4;
      break;
    case kSocks5AddressIpv6:
      address_end = 4 + 16;
      break;
    case kSocks5AddressDomain:
      if (size < 5) {
        return ParseStatus::kIncomplete;
      }
      if (data[4] == 0) {
        *reply_code = kSocks5GeneralFailure;
        *error = "socks5: empty domain name";
        return ParseStatus::kInvalid;
      }
      address_end = 5 + data[4];
      break;
    default:
      *reply_code = kSocks5AddressTypeNotSupported;
      *error = "socks5: unsupported address type " + std::to_string(data[3]);
      return ParseStatus::kInvalid;
  }
  if (size < address_end + 2) {
    return ParseStatus::kIncomplete;
  }
  char text[INET6_ADDRSTRLEN] = {};
  if (data[3] == kSocks5AddressIpv4) {
    inet_ntop(AF_INET, data + 4, text, sizeof(text));
    request->host = text;
  } else if (data[3] == kSocks5AddressIpv6) {
    inet_ntop(AF_INET6, data + 4, text, sizeof(text));
    request->host = text;
  } else {
    request->host.assign(reinterpret_cast<const char*>(data + 5), data[4]);
    for (char c : request->host) {
      // A name with a NUL or a control character cannot be resolved and must not reach logs.
      if (static_cast<unsigned char>(c) < 0x21 || c == 0x7f) {
        *reply_code = kSocks5GeneralFailure;
        *error = "socks5: invalid domain name";
        return ParseStatus::kInvalid;
      }
    }
  }
  request->command = data[1];
  request->port = static_cast<uint16_t>((data[address_end] << 8) | data[address_end + 1]);
  *consumed = address_end + 2;
  return ParseStatus::kDone;
}

std::string Socks5MethodReply(uint8_t method) {
  return std::string{static_cast<char>(kSocks5Version), static_cast<char>(method)};
}

std::string Socks5Reply(uint8_t code, const sockaddr_storage* bound) {
  std::string reply{static_cast<char>(kSocks5Version), static_cast<char>(code), 0};
  if (bound != nullptr && bound->ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(bound);
    reply.push_back(static_cast<char>(kSocks5AddressIpv6));
    reply.append(reinterpret_cast<const char*>(&v6->sin6_addr), 16);
    reply.append(reinterpret_cast<const char*>(&v6->sin6_port), 2);
  } else if (bound != nullptr && bound->ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(bound);
    reply.push_back(static_cast<char>(kSocks5AddressIpv4));
    reply.append(reinterpret_cast<const char*>(&v4->sin_addr), 4);
    reply.append(reinterpret_cast<const char*>(&v4->sin_port), 2);
  } else {
    reply.push_back(static_cast<char>(kSocks5AddressIpv4));
    reply.append(6, '\0');
  }
  return reply;
}

uint8_t Socks5ReplyForErrno(int error_number) {
  switch (error_number) {
    case ECONNREFUSED:
      return kSocks5ConnectionRefused;
    case ENETUNREACH:
      return kSocks5NetworkUnreachable;
    case EHOSTUNREACH:
    case ETIMEDOUT:
      return kSocks5HostUnreachable;
    default:
      return kSocks5GeneralFailure;
  }
}

}  // namespace mixed
}  // namespace box
