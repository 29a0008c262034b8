// The outbounds' protocol code on its own: Shadowsocks keys against the published vectors and a
// stream cut at every byte, the SOCKS5 and HTTP CONNECT client exchanges, and route rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/box_config.h"
#include "engine/proxy_client.h"
#include "engine/route_rules.h"
#include "engine/ss_aead.h"

namespace box {
namespace {

std::string Hex(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

// Password "foobar": the master keys and subkeys other implementations agree on.
TEST(ShadowsocksKeyTest, MatchesThePublishedVectors) {
  uint8_t master[32];
  ASSERT_TRUE(ss::DeriveMasterKey("foobar", 16, master));
  EXPECT_EQ(Hex(master, 16), "3858f62230ac3c915f300c664312c63f");
  ASSERT_TRUE(ss::DeriveMasterKey("foobar", 32, master));
  EXPECT_EQ(Hex(master, 32), "3858f62230ac3c915f300c664312c63f568378529614d22ddb49237d2f60bfdf");

  struct Case {
    const char* method;
    const char* subkey;  // salt 00 01 02 ...
  };
  const Case cases[] = {
      {"aes-128-gcm", "e59e945699e8699144c332b9e641ef65"},
      {"aes-256-gcm", "c4f0e9818348b2f30188d82b37a4cddc9f5ea531070ec67225160209faff573c"},
      {"chacha20-ietf-poly1305",
       "c4f0e9818348b2f30188d82b37a4cddc9f5ea531070ec67225160209faff573c"},
  };
  for (const Case& c : cases) {
    std::string error;
    auto key = ss::Key::Create(c.method, "foobar", &error);
    ASSERT_NE(key, nullptr) << error;
    uint8_t salt[32];
    for (int i = 0; i < 32; ++i) {
      salt[i] = static_cast<uint8_t>(i);
    }
    uint8_t subkey[32];
    ASSERT_TRUE(key->Subkey(salt, subkey));
    EXPECT_EQ(Hex(subkey, key->key_size()), c.subkey) << c.method;
  }
  std::string error;
  EXPECT_EQ(ss::Key::Create("xchacha20-ietf-poly1305", "x", &error), nullptr);
}

// A sealed stream opens to the same bytes however the receiver's reads cut it, chunks longer
// than the largest payload included; a flipped bit or another password fails it.
TEST(ShadowsocksStreamTest, OpensWhatWasSealedAtEveryCutAndRefusesTampering) {
  for (const char* method : {"aes-128-gcm", "aes-256-gcm", "chacha20-ietf-poly1305"}) {
    std::string error;
    auto key = ss::Key::Create(method, "pass", &error);
    ASSERT_NE(key, nullptr);
    std::string plain(40000, '\0');
    for (size_t i = 0; i < plain.size(); ++i) {
      plain[i] = static_cast<char>(i * 7 + i / 251);
    }
    ss::StreamSealer sealer(key);
    std::vector<uint8_t> wire(sealer.MaxOutput(plain.size()) + sealer.MaxOutput(5));
    size_t first =
        sealer.Seal(reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), wire.data());
    ASSERT_GT(first, plain.size());
    size_t second = sealer.Seal(reinterpret_cast<const uint8_t*>("tail!"), 5, wire.data() + first);
    wire.resize(first + second);
    const std::string expected = plain + "tail!";

    for (size_t step : {7u, 4096u, 70000u}) {
      ss::StreamOpener opener(key);
      std::string opened;
      std::vector<uint8_t> pending;
      for (size_t at = 0; at < wire.size(); at += step) {
        pending.insert(pending.end(), wire.begin() + at,
                       wire.begin() + std::min(wire.size(), at + step));
        std::vector<uint8_t> out(pending.size());
        size_t consumed = 0;
        size_t produced = 0;
        ASSERT_NE(
            opener.Open(pending.data(), pending.size(), &consumed, out.data(), &produced, &error),
            ss::StreamOpener::Status::kFailed)
            << method << " " << error;
        opened.append(reinterpret_cast<char*>(out.data()), produced);
        pending.erase(pending.begin(), pending.begin() + consumed);
      }
      EXPECT_TRUE(pending.empty()) << method << " step " << step;
      EXPECT_TRUE(opened == expected) << method << " step " << step;
    }

    std::vector<uint8_t> out(wire.size());
    size_t consumed = 0;
    size_t produced = 0;
    std::vector<uint8_t> tampered = wire;
    tampered[key->salt_size() + 40] ^= 1;
    EXPECT_EQ(ss::StreamOpener(key).Open(tampered.data(), tampered.size(), &consumed, out.data(),
                                         &produced, &error),
              ss::StreamOpener::Status::kFailed);
    auto other = ss::Key::Create(method, "another", &error);
    EXPECT_EQ(ss::StreamOpener(other).Open(wire.data(), wire.size(), &consumed, out.data(),
                                           &produced, &error),
              ss::StreamOpener::Status::kFailed);
    EXPECT_EQ(error, "decrypt: message authentication failed");

    std::string packet = ss::SealPacket(*key, "datagram");
    std::string back;
    EXPECT_TRUE(ss::OpenPacket(*key, packet, &back));
    EXPECT_EQ(back, "datagram");
    EXPECT_FALSE(ss::OpenPacket(*other, packet, &back));
  }
}

// Feeds the server's answer one byte at a time; returns the client's bytes after Start and
// the final status.
ProxyClient::Status Drive(ProxyClient* client,
                          const std::string& answer,
                          std::string* sent,
                          std::string* rest) {
  std::string input;
  for (char c : answer) {
    input += c;
    size_t consumed = 0;
    ProxyClient::Status status = client->Feed(input, &consumed, sent);
    input.erase(0, consumed);
    if (status != ProxyClient::Status::kIncomplete) {
      *rest = input;
      return status;
    }
  }
  return ProxyClient::Status::kIncomplete;
}

TEST(ProxyClientTest, SpeaksSocks5AndHttpConnectAndReportsRefusals) {
  struct Case {
    const char* what;
    ProxyClient::Kind kind;
    const char* username;
    std::string answer;
    ProxyClient::Status status;
    std::string sent;  // after the first message
    std::string error;
    uint8_t code;
  };
  const std::string request("\x05\x01\x00\x03\x0borigin.test\x01\xbb", 18);
  const std::string ok_reply("\x05\x00\x00\x01\x0a\x00\x00\x01\x04\x38", 10);
  const Case cases[] = {
      {"socks without accounts", ProxyClient::Kind::kSocks5, "",
       std::string("\x05\x00", 2) + ok_reply + "early", ProxyClient::Status::kDone, request, "", 0},
      {"socks with an account", ProxyClient::Kind::kSocks5, "ann",
       std::string("\x05\x02\x01\x00", 4) + ok_reply, ProxyClient::Status::kDone,
       std::string("\x01\x03"
                   "ann"
                   "\x02"
                   "pw",
                   8) +
           request,
       "", 0},
      {"socks wrong password", ProxyClient::Kind::kSocks5, "ann",
       std::string("\x05\x02\x01\x01", 4), ProxyClient::Status::kFailed,
       std::string("\x01\x03"
                   "ann"
                   "\x02"
                   "pw",
                   8),
       "socks5: authentication failed", 0x02},
      {"socks wants an account", ProxyClient::Kind::kSocks5, "", std::string("\x05\xff", 2),
       ProxyClient::Status::kFailed, "", "socks5: no acceptable authentication method", 0x02},
      {"socks target refused", ProxyClient::Kind::kSocks5, "",
       std::string("\x05\x00\x05\x05\x00\x01\0\0\0\0\0\0", 12), ProxyClient::Status::kFailed,
       request, "socks5: connection refused", 0x05},
      {"http established", ProxyClient::Kind::kHttpConnect, "",
       "HTTP/1.1 200 Connection established\r\nVia: x\r\n\r\nearly", ProxyClient::Status::kDone, "",
       "", 0},
      {"http refused", ProxyClient::Kind::kHttpConnect, "ann",
       "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", ProxyClient::Status::kFailed, "",
       "http: proxy refused: HTTP/1.1 407 Proxy Authentication Required", 0x02},
  };
  for (const Case& c : cases) {
    ProxyClient client(c.kind, c.username, "pw", "origin.test", 443);
    std::string first = client.Start();
    if (c.kind == ProxyClient::Kind::kHttpConnect) {
      std::string expected = "CONNECT origin.test:443 HTTP/1.1\r\nHost: origin.test:443\r\n";
      if (*c.username != '\0') {
        expected += "Proxy-Authorization: Basic YW5uOnB3\r\n";
      }
      EXPECT_EQ(first, expected + "\r\n") << c.what;
    }
    std::string sent;
    std::string rest;
    EXPECT_EQ(Drive(&client, c.answer, &sent, &rest), c.status) << c.what;
    EXPECT_EQ(sent, c.sent) << c.what;
    EXPECT_EQ(client.error(), c.error) << c.what;
    if (c.status == ProxyClient::Status::kFailed) {
      EXPECT_EQ(client.failure_code(), c.code) << c.what;
    }
  }
  // What follows the answer belongs to the tunnel, fed at once.
  ProxyClient client(ProxyClient::Kind::kHttpConnect, "", "", "::1", 80);
  EXPECT_EQ(client.Start(), "CONNECT [::1]:80 HTTP/1.1\r\nHost: [::1]:80\r\n\r\n");
  size_t consumed = 0;
  std::string sent;
  const std::string answer = "HTTP/1.0 200 OK\r\n\r\nearly";
  EXPECT_EQ(client.Feed(answer, &consumed, &sent), ProxyClient::Status::kDone);
  EXPECT_EQ(answer.substr(consumed), "early");
}

TEST(RouteRulesTest, FirstMatchWinsWithTheEngineSemantics) {
  Config config;
  std::string error;
  ASSERT_TRUE(ParseConfig(R"({
    "inbounds":[{"type":"mixed","tag":"in-a"},{"type":"mixed","tag":"in-b"}],
    "outbounds":[{"type":"direct","tag":"d"},{"type":"block","tag":"b"},
                 {"type":"direct","tag":"sfx"},{"type":"direct","tag":"dot"},
                 {"type":"direct","tag":"net"},{"type":"direct","tag":"v6"}],
    "route":{"rules":[
      {"inbound":"in-b","outbound":"b"},
      {"domain":"Exact.Test","port":[80,443],"outbound":"d"},
      {"domain_suffix":"example.com","outbound":"sfx"},
      {"domain_suffix":".dotted.org","outbound":"dot"},
      {"ip_cidr":["10.1.0.0/16","192.0.2.7"],"network":"tcp","outbound":"net"},
      {"ip_cidr":"2001:db8::/32","outbound":"v6"}],
     "final":"d"}})",
                          &config, &error))
      << error;
  struct Case {
    const char* inbound;
    const char* network;
    const char* host;
    uint16_t port;
    const char* outbound;  // "" when no rule matches
  };
  const Case cases[] = {
      {"in-b", "tcp", "anything", 1, "b"},  // the first rule wins over every later one
      {"in-a", "tcp", "exact.test", 443, "d"},
      {"in-a", "tcp", "EXACT.test.", 80, "d"},  // case and a trailing dot do not matter
      {"in-a", "tcp", "exact.test", 8080, ""},  // domain AND port
      {"in-a", "tcp", "sub.exact.test", 80, ""},
      {"in-a", "tcp", "example.com", 1, "sfx"},  // a suffix matches itself and its subdomains
      {"in-a", "tcp", "a.b.example.com", 1, "sfx"},
      {"in-a", "tcp", "badexample.com", 1, ""},
      {"in-a", "tcp", "dotted.org", 1, ""},  // a leading dot: subdomains only
      {"in-a", "tcp", "x.dotted.org", 1, "dot"},
      {"in-a", "tcp", "10.1.255.3", 1, "net"},
      {"in-a", "tcp", "10.2.0.1", 1, ""},
      {"in-a", "tcp", "192.0.2.7", 1, "net"},
      {"in-a", "udp", "192.0.2.7", 1, ""},  // network AND address
      {"in-a", "tcp", "2001:db8::1", 1, "v6"},
      {"in-a", "tcp", "10.1.0.0.example", 1, ""},  // a name never matches an address rule
  };
  for (const Case& c : cases) {
    RouteRequest request;
    request.inbound = c.inbound;
    request.network = c.network;
    request.host = c.host;
    request.port = c.port;
    const RouteRule* rule = MatchRules(config.rules, request);
    EXPECT_EQ(rule == nullptr ? "" : rule->outbound, c.outbound) << c.host << ":" << c.port;
  }
  EXPECT_EQ(config.rules[1].text, "domain=exact.test port=[80 443] => route(d)");
}

}  // namespace
}  // namespace box
