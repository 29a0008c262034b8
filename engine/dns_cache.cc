#include "engine/dns_cache.h"

#include <algorithm>
#include <cctype>

namespace box {

namespace {

constexpr size_t kHeader = 12;
constexpr uint16_t kTypeSoa = 6;
constexpr uint16_t kTypeOpt = 41;

uint16_t Get16(std::string_view data, size_t at) {
  return static_cast<uint16_t>((static_cast<uint8_t>(data[at]) << 8) |
                               static_cast<uint8_t>(data[at + 1]));
}

uint32_t Get32(std::string_view data, size_t at) {
  return (static_cast<uint32_t>(Get16(data, at)) << 16) | Get16(data, at + 2);
}

void Put32(std::string* data, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    (*data)[at + i] = static_cast<char>(value >> (24 - 8 * i));
  }
}

// The end of the name at `at` (compression pointers end it), 0 when malformed.
size_t SkipName(std::string_view data, size_t at) {
  while (at < data.size()) {
    const uint8_t length = static_cast<uint8_t>(data[at]);
    if (length == 0) {
      return at + 1;
    }
    if ((length & 0xc0) == 0xc0) {
      return at + 2 <= data.size() ? at + 2 : 0;
    }
    if ((length & 0xc0) != 0) {
      return 0;
    }
    at += 1 + length;
  }
  return 0;
}

}  // namespace

std::string DnsCache::QuestionKey(std::string_view message) {
  if (message.size() < kHeader || Get16(message, 4) == 0) {
    return std::string();
  }
  const size_t end = SkipName(message, kHeader);
  if (end == 0 || end + 4 > message.size() || (message[end - 1] != 0)) {
    return std::string();  // a question's name is never compressed
  }
  std::string key(message.substr(kHeader, end + 4 - kHeader));
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return key;
}

bool DnsCache::Find(std::string_view query, Clock::time_point now, std::string* answer) {
  auto found = by_key_.find(QuestionKey(query));
  if (found == by_key_.end()) {
    return false;
  }
  Entry& entry = *found->second;
  if (now >= entry.expires) {
    entries_.erase(found->second);
    by_key_.erase(found);
    return false;
  }
  entries_.splice(entries_.begin(), entries_, found->second);
  *answer = entry.response;
  (*answer)[0] = query[0];
  (*answer)[1] = query[1];
  const auto held = std::chrono::duration_cast<std::chrono::seconds>(now - entry.stored).count();
  for (size_t at : entry.ttl_offsets) {
    const uint32_t ttl = Get32(*answer, at);
    Put32(answer, at, ttl > held ? static_cast<uint32_t>(ttl - held) : 0);
  }
  return true;
}

void DnsCache::Store(std::string_view response, Clock::time_point now) {
  std::string key = QuestionKey(response);
  const uint8_t rcode = response.size() >= kHeader ? static_cast<uint8_t>(response[3]) & 0x0f : 0;
  if (key.empty() || capacity_ == 0 || (rcode != 0 && rcode != 3) ||
      (static_cast<uint8_t>(response[2]) & 0x02) != 0) {  // truncated answers are not kept
    return;
  }
  Entry entry;
  entry.key = key;
  entry.response = std::string(response);
  const uint16_t answers = Get16(response, 6);
  const size_t records = answers + Get16(response, 8) + Get16(response, 10);
  size_t at = kHeader + key.size();
  for (uint16_t q = 1; q < Get16(response, 4); ++q) {
    at = SkipName(response, at);
    if (at == 0) {
      return;
    }
    at += 4;
  }
  uint32_t lifetime = ~0u;
  for (size_t i = 0; i < records; ++i) {
    at = SkipName(response, at);
    if (at == 0 || at + 10 > response.size()) {
      return;
    }
    const uint16_t type = Get16(response, at);
    const uint32_t ttl = Get32(response, at + 4);
    const size_t end = at + 10 + Get16(response, at + 8);
    if (end > response.size()) {
      return;
    }
    if (type != kTypeOpt) {
      entry.ttl_offsets.push_back(at + 4);
      // Positive answers live as long as their shortest answer record; negative ones as long
      // as the SOA says.
      if ((answers > 0 && i < answers) || (answers == 0 && type == kTypeSoa)) {
        lifetime = std::min(lifetime, ttl);
      }
    }
    at = end;
  }
  if (lifetime == ~0u || lifetime == 0) {
    return;
  }
  entry.stored = now;
  entry.expires = now + std::chrono::seconds(lifetime);
  if (auto found = by_key_.find(key); found != by_key_.end()) {
    entries_.erase(found->second);
    by_key_.erase(found);
  }
  entries_.push_front(std::move(entry));
  by_key_[key] = entries_.begin();
  while (entries_.size() > capacity_) {
    by_key_.erase(entries_.back().key);
    entries_.pop_back();
  }
}

}  // namespace box
