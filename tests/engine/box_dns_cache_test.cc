// The TUN DNS cache: answers live for their smallest TTL, come back with the asker's ID and the
// TTL that is left, match questions without regard to case, and the oldest entry goes first.
#include "engine/dns_cache.h"

#include <gtest/gtest.h>

#include <string>

namespace box {
namespace {

using Clock = DnsCache::Clock;

std::string Name(const std::string& dotted) {
  std::string out;
  size_t start = 0;
  while (start < dotted.size()) {
    size_t dot = dotted.find('.', start);
    if (dot == std::string::npos) {
      dot = dotted.size();
    }
    out.push_back(static_cast<char>(dot - start));
    out += dotted.substr(start, dot - start);
    start = dot + 1;
  }
  out.push_back('\0');
  return out;
}

std::string U16(int value) {
  return std::string{static_cast<char>(value >> 8), static_cast<char>(value & 0xff)};
}

std::string U32(uint32_t value) {
  return U16(static_cast<int>(value >> 16)) + U16(static_cast<int>(value & 0xffff));
}

std::string Query(int id, const std::string& name) {
  return U16(id) + U16(0x0100) + U16(1) + U16(0) + U16(0) + U16(0) + Name(name) + U16(1) + U16(1);
}

// An A answer with two records of the given TTLs, the second's name compressed.
std::string Response(int id, const std::string& name, uint32_t ttl1, uint32_t ttl2) {
  std::string message =
      U16(id) + U16(0x8180) + U16(1) + U16(2) + U16(0) + U16(0) + Name(name) + U16(1) + U16(1);
  message += Name(name) + U16(1) + U16(1) + U32(ttl1) + U16(4) + std::string("\x01\x02\x03\x04", 4);
  message +=
      U16(0xc00c) + U16(1) + U16(1) + U32(ttl2) + U16(4) + std::string("\x05\x06\x07\x08", 4);
  return message;
}

uint32_t TtlAt(const std::string& message, size_t at) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    value = (value << 8) | static_cast<uint8_t>(message[at + i]);
  }
  return value;
}

TEST(DnsCacheTest, AnswersWithTheAskersIdAndTheTtlLeftUntilTheShortestExpires) {
  DnsCache cache(16);
  const Clock::time_point start = Clock::now();
  const std::string response = Response(0x1111, "Origin.Lab", 300, 60);
  cache.Store(response, start);
  std::string answer;
  ASSERT_TRUE(cache.Find(Query(0x2222, "origin.lab"), start + std::chrono::seconds(20), &answer));
  EXPECT_EQ(answer.substr(0, 2), U16(0x2222));
  const size_t first_ttl = 12 + Name("origin.lab").size() + 4 + Name("origin.lab").size() + 4;
  const size_t second_ttl = first_ttl + 4 + 2 + 4 + 2 + 4;
  EXPECT_EQ(TtlAt(answer, first_ttl), 280u);
  EXPECT_EQ(TtlAt(answer, second_ttl), 40u);
  EXPECT_EQ(answer.substr(second_ttl + 4), response.substr(second_ttl + 4));
  // The 60 s record bounds the entry.
  EXPECT_FALSE(cache.Find(Query(3, "origin.lab"), start + std::chrono::seconds(60), &answer));
  EXPECT_EQ(cache.size(), 0u);
}

TEST(DnsCacheTest, KeepsOnlyUsableAnswersAndDropsTheLeastRecentlyUsed) {
  DnsCache cache(2);
  const Clock::time_point now = Clock::now();
  std::string answer;
  std::string failure = Response(1, "a.lab", 300, 300);
  failure[3] = static_cast<char>(0x82);  // SERVFAIL
  cache.Store(failure, now);
  cache.Store(Response(1, "zero.lab", 0, 300), now);
  EXPECT_EQ(cache.size(), 0u);

  cache.Store(Response(1, "a.lab", 300, 300), now);
  cache.Store(Response(1, "b.lab", 300, 300), now);
  ASSERT_TRUE(cache.Find(Query(1, "a.lab"), now, &answer));  // a is now the most recent
  cache.Store(Response(1, "c.lab", 300, 300), now);
  EXPECT_TRUE(cache.Find(Query(1, "a.lab"), now, &answer));
  EXPECT_FALSE(cache.Find(Query(1, "b.lab"), now, &answer));
  EXPECT_TRUE(cache.Find(Query(1, "c.lab"), now, &answer));
}

}  // namespace
}  // namespace box
