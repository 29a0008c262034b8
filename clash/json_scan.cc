#include "clash/json_scan.h"

#include <climits>
#include <stdexcept>

namespace korvane {

namespace {

// Trivially destructible: a worker may still scan while the process exits.
constexpr char kNodePrefix[] = "node_";
constexpr size_t kNodePrefixLength = sizeof(kNodePrefix) - 1;

// ECMAScript \s on narrow text.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// \s*:\s* at `at`; the position after it, or npos.
size_t SkipColon(const std::string& text, size_t at) {
  while (at < text.size() && IsSpace(text[at])) {
    ++at;
  }
  if (at >= text.size() || text[at] != ':') {
    return std::string::npos;
  }
  ++at;
  while (at < text.size() && IsSpace(text[at])) {
    ++at;
  }
  return at;
}

// -?\d+ at `at` (greedy); the position after the digits, or npos.
size_t ScanNumber(const std::string& text, size_t at, bool allow_negative) {
  size_t end = at;
  if (allow_negative && end < text.size() && text[end] == '-') {
    ++end;
  }
  const size_t digits = end;
  while (end < text.size() && IsDigit(text[end])) {
    ++end;
  }
  return end == digits ? std::string::npos : end;
}

std::optional<int> ToInt(const std::string& digits) {
  try {
    return std::stoi(digits);
  } catch (const std::out_of_range&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<int> FindJsonInt(const std::string& text,
                               const std::string& key,
                               bool allow_negative) {
  const std::string quoted = "\"" + key + "\"";
  for (size_t at = text.find(quoted); at != std::string::npos; at = text.find(quoted, at + 1)) {
    const size_t number = SkipColon(text, at + quoted.size());
    if (number == std::string::npos) {
      continue;
    }
    const size_t end = ScanNumber(text, number, allow_negative);
    if (end != std::string::npos) {
      return ToInt(text.substr(number, end - number));
    }
  }
  return std::nullopt;
}

std::optional<std::string> FindJsonString(const std::string& text,
                                          const std::string& key,
                                          const std::function<bool(const std::string&)>& accept) {
  const std::string quoted = "\"" + key + "\"";
  for (size_t at = text.find(quoted); at != std::string::npos; at = text.find(quoted, at + 1)) {
    const size_t value = SkipColon(text, at + quoted.size());
    if (value == std::string::npos || value >= text.size() || text[value] != '"') {
      continue;
    }
    const size_t close = text.find('"', value + 1);
    if (close == std::string::npos) {
      // No closing quote anywhere after: no later occurrence can match either.
      return std::nullopt;
    }
    std::string found = text.substr(value + 1, close - value - 1);
    if (accept && !accept(found)) {
      continue;
    }
    return found;
  }
  return std::nullopt;
}

std::optional<JsonMember> NextJsonMember(const std::string& text, size_t from, bool node_keys) {
  for (size_t open = text.find('"', from); open != std::string::npos;
       open = text.find('"', open + 1)) {
    const size_t key_start = open + 1;
    size_t key_end = key_start;
    if (node_keys) {
      if (text.compare(key_start, kNodePrefixLength, kNodePrefix) != 0) {
        continue;
      }
      const size_t digits = key_start + kNodePrefixLength;
      key_end = digits;
      while (key_end < text.size() && IsDigit(text[key_end])) {
        ++key_end;
      }
      if (key_end == digits || key_end >= text.size() || text[key_end] != '"') {
        continue;
      }
    } else {
      key_end = text.find('"', key_start);
      if (key_end == std::string::npos) {
        return std::nullopt;
      }
      if (key_end == key_start) {
        continue;  // "" has no key; the closing quote may open the next one
      }
    }
    const size_t number = SkipColon(text, key_end + 1);
    if (number == std::string::npos) {
      continue;
    }
    const size_t end = ScanNumber(text, number, false);
    if (end == std::string::npos) {
      continue;
    }
    JsonMember member;
    member.key = text.substr(key_start, key_end - key_start);
    member.value = ToInt(text.substr(number, end - number));
    member.end = end;
    return member;
  }
  return std::nullopt;
}

std::optional<JsonMember> BestJsonMember(const std::string& text, bool node_keys) {
  std::optional<JsonMember> best;
  int best_value = INT_MAX;
  size_t from = 0;
  while (std::optional<JsonMember> member = NextJsonMember(text, from, node_keys)) {
    from = member->end;
    if (!member->value || *member->value < 1) {
      continue;
    }
    if (*member->value < best_value) {
      best_value = *member->value;
      best = std::move(member);
    }
  }
  return best;
}

}  // namespace korvane
