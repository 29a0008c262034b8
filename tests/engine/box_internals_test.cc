// The engine's pure helpers: Go-compatible time, duration and error formats, URL and address
// splitting, percent-decoding and the controller's type names.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>

#include "engine/box_config.h"
#include "engine/clash_router.h"
#include "engine/delay_probe.h"
#include "engine/net_util.h"
#include "engine/outbound_manager.h"

namespace box {
namespace {

// Sets TZ for one test and restores it.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    old_ = had_ ? old : "";
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

std::chrono::system_clock::time_point At(long long seconds, long long nanos) {
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanos)));
}

TEST(BoxInternalsTest, HistoryTimesUseGoRfc3339Nano) {
  // 2025-05-01T02:00:00Z
  const long long base = 1746064800;
  struct Case {
    const char* zone;
    long long nanos;
    const char* expected;
  } cases[] = {
      {"CST-8", 123456789, "2025-05-01T10:00:00.123456789+08:00"},
      {"CST-8", 120000000, "2025-05-01T10:00:00.12+08:00"},  // trailing zeros dropped
      {"CST-8", 0, "2025-05-01T10:00:00+08:00"},             // no fraction at all
      {"UTC0", 5000, "2025-05-01T02:00:00.000005Z"},         // UTC is "Z"
      {"EST5", 0, "2025-04-30T21:00:00-05:00"},
      {"IST-5:30", 0, "2025-05-01T07:30:00+05:30"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zone);
    ScopedTimeZone zone(c.zone);
    EXPECT_EQ(FormatRfc3339Nano(At(base, c.nanos)), c.expected);
  }
}

TEST(BoxInternalsTest, DurationsParseLikeGo) {
  struct Case {
    const char* text;
    long long ms;
  } good[] = {{"3m", 180000}, {"1m30s", 90000}, {"500ms", 500},  {"1h", 3600000},
              {"1.5s", 1500}, {"0", 0},         {"30m", 1800000}};
  for (const Case& c : good) {
    long long ms = -1;
    EXPECT_TRUE(ParseDuration(c.text, &ms)) << c.text;
    EXPECT_EQ(ms, c.ms) << c.text;
  }
  for (const char* bad : {"", "5", "m", "3x", "1m30", "soon"}) {
    long long ms = -1;
    EXPECT_FALSE(ParseDuration(bad, &ms)) << bad;
  }
}

TEST(BoxInternalsTest, SyntaxErrorPositionsCountFromOne) {
  // The offset counts the offending byte; a newline as offending byte ends its row (column 0).
  EXPECT_EQ(DescribeSyntaxError("d", 1, "x"), "x: row 1, column 1");
  EXPECT_EQ(DescribeSyntaxError("{\n  }", 5, "x"), "x: row 2, column 3");
  EXPECT_EQ(DescribeSyntaxError("{\"a\":\"\n", 7, "x"), "x: row 2, column 0");
  EXPECT_EQ(DescribeSyntaxError("", 0, "x"), "x: row 1, column 0");
}

TEST(BoxInternalsTest, UrlsAndAddressesSplit) {
  struct Case {
    const char* url;
    bool ok;
    const char* host;
    int port;
  } cases[] = {
      {"https://www.gstatic.com/generate_204", true, "www.gstatic.com", 443},
      {"http://127.0.0.1:8080/x?y=1", true, "127.0.0.1", 8080},
      {"https://[::1]:9443/", true, "::1", 9443},
      {"https://[::1]/", true, "::1", 443},
      {"https://user:pw@example.org:8443", true, "example.org", 8443},
      {"ftp://example.org/", false, "", 0},
      {"https://", false, "", 0},
      {"example.org", false, "", 0},
  };
  for (const Case& c : cases) {
    std::string host;
    int port = 0;
    EXPECT_EQ(SplitUrl(c.url, &host, &port), c.ok) << c.url;
    if (c.ok) {
      EXPECT_EQ(host, c.host) << c.url;
      EXPECT_EQ(port, c.port) << c.url;
    }
  }
  std::string host;
  int port = 0;
  EXPECT_TRUE(SplitHostPort("[fe80::1]:9090", &host, &port));
  EXPECT_EQ(JoinHostPort(host, port), "[fe80::1]:9090");
  EXPECT_TRUE(SplitHostPort(":9090", &host, &port));
  EXPECT_EQ(host, "");
  EXPECT_FALSE(SplitHostPort("127.0.0.1", &host, &port));
  EXPECT_FALSE(SplitHostPort("127.0.0.1:65536", &host, &port));
  EXPECT_FALSE(SplitHostPort("::1:9090", &host, &port));
}

TEST(BoxInternalsTest, SystemErrorTextsAreLowerCase) {
  EXPECT_EQ(ErrnoText(EPERM), "operation not permitted");
  EXPECT_EQ(ErrnoText(EADDRINUSE), "address already in use");
  EXPECT_EQ(ErrnoText(ENOENT), "no such file or directory");
}

TEST(BoxInternalsTest, PathSegmentsAndQueriesDecode) {
  struct Case {
    const char* text;
    bool query;
    bool ok;
    const char* decoded;
  } cases[] = {
      {"US%20West%2F1", false, true, "US West/1"},
      {"%E6%9D%B1%E4%BA%AC", false, true, "\xE6\x9D\xB1\xE4\xBA\xAC"},
      {"a+b", false, true, "a+b"},  // '+' is literal in a path
      {"a+b", true, true, "a b"},   // and a space in a query
      {"100%25", false, true, "100%"},
      {"%2", false, false, ""},
      {"%zz", false, false, ""},
  };
  for (const Case& c : cases) {
    std::string decoded;
    EXPECT_EQ(ClashRouter::Unescape(c.text, c.query, &decoded), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(decoded, c.decoded) << c.text;
    }
  }
}

TEST(BoxInternalsTest, ControllerTypeNames) {
  struct Case {
    const char* type;
    const char* name;
  } cases[] = {{"selector", "Selector"},   {"urltest", "URLTest"}, {"direct", "Direct"},
               {"block", "Reject"},        {"socks", "SOCKS"},     {"hysteria2", "Hysteria2"},
               {"wireguard", "WireGuard"}, {"anytls", "AnyTLS"},   {"naive", "Unknown"}};
  for (const Case& c : cases) {
    EXPECT_EQ(DisplayType(c.type), c.name) << c.type;
  }
}

}  // namespace
}  // namespace box
