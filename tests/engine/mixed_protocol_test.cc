// The mixed inbound's pure parts: request parsing and rewriting, credentials, addresses, log
// ages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/mixed_address.h"
#include "engine/mixed_http.h"
#include "engine/mixed_session.h"
#include "engine/mixed_socks5.h"

namespace box {
namespace mixed {
namespace {

TEST(MixedHttpTest, RequestsAreParsedAndRewritten) {
  struct Case {
    const char* name;
    std::string request;
    ParseStatus status;
    bool is_connect;
    std::string host;
    uint16_t port;
    std::string forward_head;  // or the error for kInvalid
  };
  const std::vector<Case> cases = {
      // Absolute URIs become origin form; proxy hop headers go, Connection becomes close.
      {"absolute URI",
       "GET http://example.com:8080/a/b?q=1 HTTP/1.1\r\nHost: example.com:8080\r\n"
       "Proxy-Connection: Keep-Alive\r\nProxy-Authorization: Basic eA==\r\n"
       "Connection: keep-alive\r\nKeep-Alive: 5\r\nAccept: */*\r\n\r\n",
       ParseStatus::kDone, false, "example.com", 8080,
       "GET /a/b?q=1 HTTP/1.1\r\nHost: example.com:8080\r\nAccept: */*\r\n"
       "Connection: close\r\n\r\n"},
      {"no path, default port, Host added", "HEAD http://Example.org HTTP/1.0\r\n\r\n",
       ParseStatus::kDone, false, "Example.org", 80,
       "HEAD / HTTP/1.0\r\nHost: Example.org\r\nConnection: close\r\n\r\n"},
      {"query without path, fragment dropped", "GET http://h?x=1#frag HTTP/1.1\n\n",
       ParseStatus::kDone, false, "h", 80,
       "GET /?x=1 HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"},
      {"IPv6 literal", "GET http://[::1]:81/ HTTP/1.1\r\n\r\n", ParseStatus::kDone, false, "::1",
       81, "GET / HTTP/1.1\r\nHost: [::1]:81\r\nConnection: close\r\n\r\n"},
      {"websocket upgrade kept",
       "GET http://h/ws HTTP/1.1\r\nConnection: keep-alive, Upgrade\r\n"
       "Upgrade: websocket\r\n\r\n",
       ParseStatus::kDone, false, "h", 80,
       "GET /ws HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n"},
      // CONNECT takes an authority with a port.
      {"CONNECT", "CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n",
       ParseStatus::kDone, true, "example.com", 443, ""},
      {"CONNECT IPv6", "CONNECT [2001:db8::1]:443 HTTP/1.1\r\n\r\n", ParseStatus::kDone, true,
       "2001:db8::1", 443, ""},
      // Heads still arriving.
      {"partial", "GET http://h/ HTTP/1.1\r\nHost: h\r\n", ParseStatus::kIncomplete, false, "", 0,
       ""},
      // Malformed requests.
      {"no version", "GET http://h/\r\n\r\n", ParseStatus::kInvalid, false, "", 0,
       "http: malformed request line"},
      {"HTTP/2 line", "GET http://h/ HTTP/2.0\r\n\r\n", ParseStatus::kInvalid, false, "", 0,
       "http: malformed request line"},
      {"origin form", "GET / HTTP/1.1\r\n\r\n", ParseStatus::kInvalid, false, "", 0,
       "http: request target is not an absolute http URI"},
      {"https scheme", "GET https://h/ HTTP/1.1\r\n\r\n", ParseStatus::kInvalid, false, "", 0,
       "http: request target is not an absolute http URI"},
      {"user info", "GET http://u:p@h/ HTTP/1.1\r\n\r\n", ParseStatus::kInvalid, false, "", 0,
       "http: malformed request URI"},
      {"bad port", "GET http://h:99999/ HTTP/1.1\r\n\r\n", ParseStatus::kInvalid, false, "", 0,
       "http: malformed request URI"},
      {"CONNECT without port", "CONNECT h HTTP/1.1\r\n\r\n", ParseStatus::kInvalid, false, "", 0,
       "http: malformed CONNECT target"},
      {"header without colon", "GET http://h/ HTTP/1.1\r\nBroken\r\n\r\n", ParseStatus::kInvalid,
       false, "", 0, "http: malformed header line"},
      {"folded header", "GET http://h/ HTTP/1.1\r\nA: b\r\n c\r\n\r\n", ParseStatus::kInvalid,
       false, "", 0, "http: malformed header line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string body = "BODY";
    std::string data = c.request + body;
    HttpProxyRequest request;
    size_t consumed = 0;
    std::string error;
    ParseStatus status = ParseHttpProxyRequest(data, &consumed, &request, &error);
    ASSERT_EQ(status, c.status) << error;
    if (status == ParseStatus::kInvalid) {
      EXPECT_EQ(error, c.forward_head);
    } else if (status == ParseStatus::kDone) {
      EXPECT_EQ(consumed, c.request.size());
      EXPECT_EQ(request.is_connect, c.is_connect);
      EXPECT_EQ(request.host, c.host);
      EXPECT_EQ(request.port, c.port);
      EXPECT_EQ(request.forward_head, c.forward_head);
    }
  }
}

TEST(MixedSocks5Test, RequestsAreParsedWithTheirReplyCodes) {
  struct Case {
    const char* name;
    std::string bytes;
    ParseStatus status;
    std::string host;
    uint16_t port;
    uint8_t reply_code;  // for kInvalid
  };
  const std::vector<Case> cases = {
      {"IPv4", std::string("\x05\x01\x00\x01\x0a\x00\x00\x02\x01\xbb", 10), ParseStatus::kDone,
       "10.0.0.2", 443, 0},
      {"IPv6",
       std::string("\x05\x01\x00\x04", 4) + std::string(15, '\0') + std::string("\x01\x00\x50", 3),
       ParseStatus::kDone, "::1", 80, 0},
      {"domain",
       std::string("\x05\x01\x00\x03\x0b", 5) + "example.com" + std::string("\x00\x50", 2),
       ParseStatus::kDone, "example.com", 80, 0},
      {"domain still arriving", std::string("\x05\x01\x00\x03\x0b", 5) + "exam",
       ParseStatus::kIncomplete, "", 0, 0},
      {"BIND", std::string("\x05\x02\x00\x01", 4), ParseStatus::kInvalid, "", 0,
       kSocks5CommandNotSupported},
      {"address type 2", std::string("\x05\x01\x00\x02", 4), ParseStatus::kInvalid, "", 0,
       kSocks5AddressTypeNotSupported},
      {"empty domain", std::string("\x05\x01\x00\x03\x00\x00\x50", 7), ParseStatus::kInvalid, "", 0,
       kSocks5GeneralFailure},
      {"NUL in domain",
       std::string("\x05\x01\x00\x03\x03"
                   "a\0b"
                   "\x00\x50",
                   10),
       ParseStatus::kInvalid, "", 0, kSocks5GeneralFailure},
      {"version 4", std::string("\x04\x01\x00\x01", 4), ParseStatus::kInvalid, "", 0,
       kSocks5GeneralFailure},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Socks5Request request;
    size_t consumed = 0;
    uint8_t reply_code = 0xee;
    std::string error;
    ParseStatus status =
        ParseSocks5Request(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(),
                           &consumed, &request, &reply_code, &error);
    ASSERT_EQ(status, c.status);
    if (status == ParseStatus::kDone) {
      EXPECT_EQ(consumed, c.bytes.size());
      EXPECT_EQ(request.host, c.host);
      EXPECT_EQ(request.port, c.port);
    } else if (status == ParseStatus::kInvalid) {
      EXPECT_EQ(reply_code, c.reply_code);
      EXPECT_FALSE(error.empty());
    }
  }
}

// Credentials: HTTP Basic values and the RFC 1929 request, as they arrive.
TEST(MixedAuthTest, CredentialsAreParsed) {
  struct BasicCase {
    const char* value;
    bool ok;
    std::string username;
    std::string password;
  };
  const BasicCase basic[] = {
      {"Basic YW5uOnBhOnNz", true, "ann", "pa:ss"},  // the password keeps its colons
      {"basic  YW5uOg==", true, "ann", ""},
      {"Basic OnB3", true, "", "pw"},
      {"Basic YW5u", false, "", ""},        // no colon
      {"Bearer YW5uOnB3", false, "", ""},   // another scheme
      {"Basic YW5u*OnB3", false, "", ""},   // not Base64
      {"Basic YW5uOg==YQ", false, "", ""},  // data after the padding
      {"", false, "", ""},
  };
  for (const BasicCase& c : basic) {
    std::string username;
    std::string password;
    EXPECT_EQ(ParseBasicCredentials(c.value, &username, &password), c.ok) << c.value;
    if (c.ok) {
      EXPECT_EQ(username, c.username) << c.value;
      EXPECT_EQ(password, c.password) << c.value;
    }
  }

  const std::string request(
      "\x01\x03"
      "ann"
      "\x02"
      "pw"
      "rest",
      12);
  for (size_t cut = 0; cut < 8; ++cut) {
    size_t consumed = 0;
    std::string username;
    std::string password;
    std::string error;
    EXPECT_EQ(ParseSocks5UserPass(reinterpret_cast<const uint8_t*>(request.data()), cut, &consumed,
                                  &username, &password, &error),
              ParseStatus::kIncomplete)
        << cut;
  }
  size_t consumed = 0;
  std::string username;
  std::string password;
  std::string error;
  ASSERT_EQ(ParseSocks5UserPass(reinterpret_cast<const uint8_t*>(request.data()), request.size(),
                                &consumed, &username, &password, &error),
            ParseStatus::kDone);
  EXPECT_EQ(consumed, 8u);
  EXPECT_EQ(username, "ann");
  EXPECT_EQ(password, "pw");
  const uint8_t wrong_version[] = {0x05, 0x00, 0x00};
  EXPECT_EQ(ParseSocks5UserPass(wrong_version, sizeof(wrong_version), &consumed, &username,
                                &password, &error),
            ParseStatus::kInvalid);
  EXPECT_EQ(error, "socks5: unsupported authentication version 5");
}

TEST(MixedAddressTest, HostPortAndAgeFormats) {
  struct HostCase {
    const char* authority;
    bool ok;
    const char* host;
    uint16_t port;
  };
  const std::vector<HostCase> hosts = {
      {"example.com:80", true, "example.com", 80},
      {"[::1]:8080", true, "::1", 8080},
      {"example.com", true, "example.com", 1},
      {"::1:80", false, "", 0},
      {"[::1]x", false, "", 0},
      {"host:0", false, "", 0},
      {"host:65536", false, "", 0},
      {":80", false, "", 0},
      {"bad host:80", false, "", 0},
      {"[127.0.0.1]:80", false, "", 0},
  };
  for (const HostCase& c : hosts) {
    SCOPED_TRACE(c.authority);
    std::string host;
    uint16_t port = 0;
    ASSERT_EQ(ParseHostPort(c.authority, 1, &host, &port), c.ok);
    if (c.ok) {
      EXPECT_EQ(host, c.host);
      EXPECT_EQ(port, c.port);
      EXPECT_EQ(FormatHostPort(host, port), std::string(c.authority).find(':') == std::string::npos
                                                ? std::string(c.authority) + ":1"
                                                : std::string(c.authority));
    }
  }

  using std::chrono::milliseconds;
  struct AgeCase {
    long long ms;
    const char* text;
  };
  const std::vector<AgeCase> ages = {
      {0, "0ms"},      {12, "12ms"},   {999, "999ms"},    {1000, "1s"},     {1250, "1.25s"},
      {5020, "5.02s"}, {5200, "5.2s"}, {59990, "59.99s"}, {125000, "2m5s"}, {3725000, "1h2m5s"},
  };
  for (const AgeCase& c : ages) {
    EXPECT_EQ(FormatAge(milliseconds(c.ms)), c.text);
  }

  EXPECT_EQ(ErrnoText(ECONNREFUSED), "connection refused");
  EXPECT_EQ(ErrnoText(EADDRINUSE), "address already in use");
}

}  // namespace
}  // namespace mixed
}  // namespace box
