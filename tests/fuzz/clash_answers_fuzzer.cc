// The scanners of the controller's answers and of the engine configuration over arbitrary text:
// a selector's "now", the "delay" of a tag, a group's table of delays, the URL test's
// "proxy-main"/"proxy" and the controller address. Besides surviving any text, each scanner
// finds what the regular expression in its comment finds (checked against std::regex on inputs
// short enough for its recursion), the best member of a table is a real member with the least
// positive delay, and an encoded tag decodes back to itself.
//
// Input: a key on the first line, the answer after it.

#include <climits>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <string_view>

#include "clash/clash_api_client.h"
#include "clash/clash_queries.h"
#include "clash/json_scan.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using korvane::fuzz::SplitOnce;

// std::regex recurses once a character: keep the oracle to short texts.
constexpr size_t kOracleMaxText = 1024;
constexpr size_t kOracleMaxKey = 64;

// The keys the host asks for, besides the one the input brings.
constexpr const char* kHostKeys[] = {"now", "delay", "proxy-main", "proxy", "external_controller"};

std::optional<int> ToInt(const std::string& digits) {
  try {
    return std::stoi(digits);
  } catch (const std::out_of_range&) {
    return std::nullopt;
  }
}

// Keys the oracle can write into a pattern as they are.
bool IsPlainKey(const std::string& key) {
  if (key.size() > kOracleMaxKey) {
    return false;
  }
  for (const char c : key) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-';
    if (!plain) {
      return false;
    }
  }
  return true;
}

// Compiling a pattern costs far more than a search: the first few (the host's keys come first)
// are kept; the others are compiled each time, into one slot valid until the next call.
const std::regex& Pattern(const std::string& source) {
  constexpr size_t kKept = 32;
  static std::map<std::string, std::regex> kept;
  static std::regex scratch;
  auto found = kept.find(source);
  if (found != kept.end()) {
    return found->second;
  }
  if (kept.size() < kKept) {
    return kept.emplace(source, std::regex(source)).first->second;
  }
  scratch = std::regex(source);
  return scratch;
}

std::optional<int> RegexInt(const std::string& text, const std::string& key, bool negative) {
  const std::regex& pattern =
      Pattern("\"" + key + "\"\\s*:\\s*(" + (negative ? "-?" : "") + "\\d+)");
  std::smatch match;
  if (!std::regex_search(text, match, pattern)) {
    return std::nullopt;
  }
  return ToInt(match[1].str());
}

std::optional<std::string> RegexString(const std::string& text, const std::string& key) {
  const std::regex& pattern = Pattern("\"" + key + "\"\\s*:\\s*\"([^\"]*)\"");
  std::smatch match;
  if (!std::regex_search(text, match, pattern)) {
    return std::nullopt;
  }
  return match[1].str();
}

// Every member of a delay table as the ECMAScript iteration finds them, against NextJsonMember.
void CheckMembers(const std::string& text, bool node_keys) {
  const std::regex& pattern =
      Pattern(node_keys ? "\"(node_\\d+)\"\\s*:\\s*(\\d+)" : "\"([^\"]+)\"\\s*:\\s*(\\d+)");
  size_t from = 0;
  std::optional<korvane::JsonMember> best;
  for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it) {
    std::optional<korvane::JsonMember> member = korvane::NextJsonMember(text, from, node_keys);
    FUZZ_CHECK(member.has_value());
    FUZZ_CHECK(member->key == (*it)[1].str());
    FUZZ_CHECK(member->value == ToInt((*it)[2].str()));
    FUZZ_CHECK(member->end == static_cast<size_t>(it->position(0) + it->length(0)));
    from = member->end;
    // The scan starts from INT_MAX: a member at exactly INT_MAX is never taken.
    if (member->value && *member->value >= 1 && *member->value < INT_MAX &&
        (!best || *member->value < *best->value)) {
      best = member;
    }
  }
  FUZZ_CHECK(!korvane::NextJsonMember(text, from, node_keys).has_value());
  std::optional<korvane::JsonMember> found = korvane::BestJsonMember(text, node_keys);
  FUZZ_CHECK(found.has_value() == best.has_value());
  if (found) {
    FUZZ_CHECK(found->key == best->key && found->value == best->value && found->end == best->end);
  }
}

// What the host reads from any text, checked for what holds on every input.
void CheckProperties(const std::string& text, const std::string& key) {
  for (const bool node_keys : {false, true}) {
    std::optional<korvane::JsonMember> best = korvane::BestJsonMember(text, node_keys);
    if (best) {
      FUZZ_CHECK(best->value.has_value() && *best->value >= 1);
      FUZZ_CHECK(!best->key.empty() && best->end <= text.size());
      FUZZ_CHECK(best->key.find('"') == std::string::npos);
    }
  }
  const int latency = ClashApiClient::parseUrlTestResponse(text);
  FUZZ_CHECK(latency >= -1);
  if (std::optional<int> port = korvane::ExtractClashApiPort(text)) {
    FUZZ_CHECK(*port >= 0);
  }
  // A secret never carries a byte that could end its header line.
  for (const char c : korvane::ExtractClashApiSecret(text)) {
    FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
  }
  if (std::optional<std::string> now = korvane::FindJsonString(text, key)) {
    FUZZ_CHECK(now->find('"') == std::string::npos);
    FUZZ_CHECK(text.find(*now) != std::string::npos);
  }
  // An encoded tag is one path segment that decodes back to the tag.
  const std::string encoded = korvane::EncodeClashPathSegment(key);
  std::string decoded;
  for (size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    FUZZ_CHECK(c != '/' && c != '?' && c != '#' && c != ' ');
    if (c == '%') {
      FUZZ_CHECK(i + 2 < encoded.size());
      decoded += static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      decoded += c;
    }
  }
  FUZZ_CHECK(decoded == key);
}

void CheckAgainstRegex(const std::string& text, const std::string& key) {
  FUZZ_CHECK(korvane::FindJsonInt(text, key, true) == RegexInt(text, key, true));
  FUZZ_CHECK(korvane::FindJsonInt(text, key, false) == RegexInt(text, key, false));
  FUZZ_CHECK(korvane::FindJsonString(text, key) == RegexString(text, key));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view head;
  std::string_view tail;
  SplitOnce(std::string_view(reinterpret_cast<const char*>(data), size), "\n", &head, &tail);
  const std::string key(head);
  const std::string text(tail);

  CheckProperties(text, key);
  if (text.size() > kOracleMaxText) {
    return 0;
  }
  for (const char* host_key : kHostKeys) {
    CheckAgainstRegex(text, host_key);
  }
  if (IsPlainKey(key)) {
    CheckAgainstRegex(text, key);
  }
  const std::optional<int> main_latency = RegexInt(text, "proxy-main", false);
  const std::optional<int> latency = main_latency ? main_latency : RegexInt(text, "proxy", false);
  FUZZ_CHECK(ClashApiClient::parseUrlTestResponse(text) == latency.value_or(-1));
  CheckMembers(text, false);
  CheckMembers(text, true);
  return 0;
}
