// The engine's DNS answer cache: least recently used, keyed by the question (name compared
// without case, type, class). An entry lives for the smallest TTL of its records (the SOA's for
// a negative answer), and a served answer carries the remaining TTLs and the asker's ID. One
// thread.
#ifndef ENGINE_DNS_CACHE_H_
#define ENGINE_DNS_CACHE_H_

#include <chrono>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace box {

class DnsCache {
 public:
  using Clock = std::chrono::steady_clock;

  explicit DnsCache(size_t capacity) : capacity_(capacity) {}

  // The cache key of a query's or response's first question; empty when the message is
  // malformed or asks no question.
  static std::string QuestionKey(std::string_view message);

  // The answer to `query`, if a live one is held: its ID is the query's, its TTLs what is left.
  bool Find(std::string_view query, Clock::time_point now, std::string* answer);
  // Keeps a NOERROR or NXDOMAIN response that gives a lifetime; others are not kept.
  void Store(std::string_view response, Clock::time_point now);

  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    std::string key;
    std::string response;
    std::vector<size_t> ttl_offsets;  // where each record's TTL is, OPT records left out
    Clock::time_point stored;
    Clock::time_point expires;
  };

  const size_t capacity_;
  std::list<Entry> entries_;  // most recently used first
  std::unordered_map<std::string, std::list<Entry>::iterator> by_key_;
};

}  // namespace box

#endif  // ENGINE_DNS_CACHE_H_
