#include "engine/proxy_client.h"

#include <arpa/inet.h>

#include "engine/ss_aead.h"

namespace box {
namespace {

constexpr uint8_t kVersion = 0x05;
constexpr uint8_t kNoAuth = 0x00;
constexpr uint8_t kUserPass = 0x02;
constexpr uint8_t kGeneralFailure = 0x01;
constexpr uint8_t kNotAllowed = 0x02;
// A proxy's CONNECT answer head is short; anything longer is not one.
constexpr size_t kMaxHttpHead = 16 * 1024;

std::string SocksReplyText(uint8_t code) {
  switch (code) {
    case 0x01:
      return "general SOCKS server failure";
    case 0x02:
      return "connection not allowed by ruleset";
    case 0x03:
      return "network unreachable";
    case 0x04:
      return "host unreachable";
    case 0x05:
      return "connection refused";
    case 0x06:
      return "TTL expired";
    case 0x07:
      return "command not supported";
    case 0x08:
      return "address type not supported";
    default:
      return "unknown reply " + std::to_string(code);
  }
}

}  // namespace

std::string Base64Encode(std::string_view input) {
  static const char kTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  auto byte = [&](size_t at) { return static_cast<unsigned>(static_cast<uint8_t>(input[at])); };
  for (; i + 2 < input.size(); i += 3) {
    unsigned v = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
    out += {kTable[v >> 18], kTable[(v >> 12) & 63], kTable[(v >> 6) & 63], kTable[v & 63]};
  }
  if (i + 1 == input.size()) {
    unsigned v = byte(i) << 16;
    out += {kTable[v >> 18], kTable[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == input.size()) {
    unsigned v = (byte(i) << 16) | (byte(i + 1) << 8);
    out += {kTable[v >> 18], kTable[(v >> 12) & 63], kTable[(v >> 6) & 63], '='};
  }
  return out;
}

ProxyClient::ProxyClient(Kind kind,
                         std::string username,
                         std::string password,
                         std::string host,
                         uint16_t port,
                         bool greeting_only)
    : kind_(kind),
      username_(std::move(username)),
      password_(std::move(password)),
      host_(std::move(host)),
      port_(port),
      greeting_only_(greeting_only) {}

ProxyClient::Status ProxyClient::Fail(const std::string& error, uint8_t code) {
  error_ = error;
  failure_code_ = code;
  step_ = Step::kDone;
  return Status::kFailed;
}

std::string ProxyClient::Start() {
  if (kind_ != Kind::kHttpConnect) {
    step_ = Step::kSocksMethod;
    // With credentials both methods are offered: a server without accounts may still answer.
    return username_.empty() ? std::string{static_cast<char>(kVersion), 1, kNoAuth}
                             : std::string{static_cast<char>(kVersion), 2, kNoAuth, kUserPass};
  }
  step_ = Step::kHttpHead;
  std::string authority = host_.find(':') != std::string::npos
                              ? "[" + host_ + "]:" + std::to_string(port_)
                              : host_ + ":" + std::to_string(port_);
  std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
  if (!username_.empty()) {
    request += "Proxy-Authorization: Basic " + Base64Encode(username_ + ":" + password_) + "\r\n";
  }
  return request + "\r\n";
}

std::string ProxyClient::Socks5Request() const {
  constexpr char kConnect = 0x01;
  constexpr char kUdpAssociate = 0x03;
  std::string request{static_cast<char>(kVersion),
                      kind_ == Kind::kSocks5UdpAssociate ? kUdpAssociate : kConnect, 0x00};
  uint8_t address[16];
  if (inet_pton(AF_INET, host_.c_str(), address) == 1) {
    request.push_back(0x01);
    request.append(reinterpret_cast<const char*>(address), 4);
  } else if (inet_pton(AF_INET6, host_.c_str(), address) == 1) {
    request.push_back(0x04);
    request.append(reinterpret_cast<const char*>(address), 16);
  } else {
    request.push_back(0x03);
    request.push_back(static_cast<char>(host_.size()));
    request += host_;
  }
  request.push_back(static_cast<char>(port_ >> 8));
  request.push_back(static_cast<char>(port_ & 0xff));
  return request;
}

ProxyClient::Status ProxyClient::Feed(std::string_view data, size_t* consumed, std::string* send) {
  *consumed = 0;
  while (true) {
    std::string_view rest = data.substr(*consumed);
    const auto* bytes = reinterpret_cast<const uint8_t*>(rest.data());
    switch (step_) {
      case Step::kSocksMethod: {
        if (rest.size() < 2) {
          return Status::kIncomplete;
        }
        *consumed += 2;
        if (bytes[0] != kVersion) {
          return Fail("socks5: unexpected version " + std::to_string(bytes[0]), kGeneralFailure);
        }
        if (bytes[1] == kUserPass && !username_.empty()) {
          if (username_.size() > 255 || password_.size() > 255) {
            return Fail("socks5: username or password longer than 255 bytes", kGeneralFailure);
          }
          std::string auth{0x01, static_cast<char>(username_.size())};
          auth += username_;
          auth.push_back(static_cast<char>(password_.size()));
          auth += password_;
          *send += auth;
          step_ = Step::kSocksAuth;
        } else if (bytes[1] == kNoAuth) {
          if (greeting_only_) {
            step_ = Step::kDone;
            return Status::kDone;
          }
          *send += Socks5Request();
          step_ = Step::kSocksReply;
        } else {
          return Fail("socks5: no acceptable authentication method", kNotAllowed);
        }
        break;
      }
      case Step::kSocksAuth: {
        if (rest.size() < 2) {
          return Status::kIncomplete;
        }
        *consumed += 2;
        if (bytes[1] != 0x00) {
          return Fail("socks5: authentication failed", kNotAllowed);
        }
        if (greeting_only_) {
          step_ = Step::kDone;
          return Status::kDone;
        }
        *send += Socks5Request();
        step_ = Step::kSocksReply;
        break;
      }
      case Step::kSocksReply: {
        if (rest.size() < 5) {
          return Status::kIncomplete;
        }
        if (bytes[0] != kVersion) {
          return Fail("socks5: unexpected version " + std::to_string(bytes[0]), kGeneralFailure);
        }
        if (bytes[1] != 0x00) {
          return Fail("socks5: " + SocksReplyText(bytes[1]), bytes[1]);
        }
        size_t length = 0;
        switch (bytes[3]) {
          case 0x01:
            length = 4 + 4 + 2;
            break;
          case 0x04:
            length = 4 + 16 + 2;
            break;
          case 0x03:
            length = 4 + 1 + bytes[4] + 2;
            break;
          default:
            return Fail("socks5: unexpected address type " + std::to_string(bytes[3]),
                        kGeneralFailure);
        }
        if (rest.size() < length) {
          return Status::kIncomplete;
        }
        ss::DecodeAddress(rest.substr(3, length - 3), &bound_host_, &bound_port_);
        *consumed += length;
        step_ = Step::kDone;
        return Status::kDone;
      }
      case Step::kHttpHead: {
        size_t end = rest.find("\r\n\r\n");
        if (end == std::string_view::npos) {
          if (rest.size() > kMaxHttpHead) {
            return Fail("http: response head too long", kGeneralFailure);
          }
          return Status::kIncomplete;
        }
        std::string_view line = rest.substr(0, rest.find("\r\n"));
        // "HTTP/1.1 200 Connection established"
        size_t space = line.find(' ');
        if (line.substr(0, 5) != "HTTP/" || space == std::string_view::npos ||
            line.size() < space + 4) {
          return Fail("http: malformed response: " + std::string(line.substr(0, 80)),
                      kGeneralFailure);
        }
        if (line[space + 1] != '2') {
          return Fail("http: proxy refused: " + std::string(line.substr(0, 120)), kNotAllowed);
        }
        *consumed += end + 4;
        step_ = Step::kDone;
        return Status::kDone;
      }
      case Step::kDone:
        return Status::kDone;
    }
  }
}

}  // namespace box
