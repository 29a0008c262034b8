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

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// Four hexadecimal digits at `at`; -1 when they are not.
long ReadHex4(const std::string& text, size_t at) {
  if (at + 4 > text.size()) {
    return -1;
  }
  long value = 0;
  for (size_t i = at; i < at + 4; ++i) {
    const int digit = HexValue(text[i]);
    if (digit < 0) {
      return -1;
    }
    value = value * 16 + digit;
  }
  return value;
}

void AppendUtf8(unsigned long code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

size_t SkipSpace(const std::string& text, size_t at) {
  while (at < text.size() && IsSpace(text[at])) {
    ++at;
  }
  return at;
}

}  // namespace

std::optional<std::string> DecodeJsonString(const std::string& text, size_t at, size_t* end) {
  if (at >= text.size() || text[at] != '"') {
    return std::nullopt;
  }
  std::string out;
  for (size_t i = at + 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      *end = i + 1;
      return out;
    }
    if (static_cast<unsigned char>(c) < 0x20) {
      return std::nullopt;
    }
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (++i >= text.size()) {
      return std::nullopt;
    }
    switch (text[i]) {
      case '"':
      case '\\':
      case '/':
        out.push_back(text[i]);
        break;
      case 'b':
        out.push_back('\b');
        break;
      case 'f':
        out.push_back('\f');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'u': {
        long code = ReadHex4(text, i + 1);
        if (code < 0 || (code >= 0xDC00 && code <= 0xDFFF)) {
          return std::nullopt;
        }
        i += 4;
        if (code >= 0xD800 && code <= 0xDBFF) {
          // A high surrogate counts only with the low one after it.
          if (i + 2 >= text.size() || text[i + 1] != '\\' || text[i + 2] != 'u') {
            return std::nullopt;
          }
          const long low = ReadHex4(text, i + 3);
          if (low < 0xDC00 || low > 0xDFFF) {
            return std::nullopt;
          }
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          i += 6;
        }
        AppendUtf8(static_cast<unsigned long>(code), &out);
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<std::string> FindJsonObjectString(const std::string& text,
                                                const std::string& object_key,
                                                const std::string& key) {
  const std::string quoted = "\"" + object_key + "\"";
  size_t at = std::string::npos;
  for (size_t found = text.find(quoted); found != std::string::npos;
       found = text.find(quoted, found + 1)) {
    const size_t value = SkipColon(text, found + quoted.size());
    if (value != std::string::npos && value < text.size() && text[value] == '{') {
      at = value + 1;
      break;
    }
  }
  if (at == std::string::npos) {
    return std::nullopt;
  }
  // Depth 1 is the object's own members; a string read there while a key is due is a key.
  int depth = 1;
  bool key_due = true;
  while (at < text.size()) {
    const char c = text[at];
    if (c == '"') {
      size_t end = 0;
      std::optional<std::string> string = DecodeJsonString(text, at, &end);
      if (!string) {
        return std::nullopt;
      }
      at = end;
      if (depth != 1 || !key_due) {
        continue;
      }
      at = SkipColon(text, at);
      if (at == std::string::npos) {
        return std::nullopt;
      }
      if (*string == key) {
        return at < text.size() && text[at] == '"' ? DecodeJsonString(text, at, &end)
                                                   : std::nullopt;
      }
      key_due = false;
      continue;
    }
    if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (--depth == 0) {
        return std::nullopt;
      }
    } else if (c == ',' && depth == 1) {
      key_due = true;
    }
    at = SkipSpace(text, at + 1);
  }
  return std::nullopt;
}

}  // namespace korvane
