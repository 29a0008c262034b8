#ifndef KORVANE_CLASH_JSON_SCAN_H_
#define KORVANE_CLASH_JSON_SCAN_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

// Key-and-value searches in the controller's JSON answers (and the engine configuration), found
// without parsing the text as a whole. Each does what the ECMAScript search in its comment would,
// in one linear pass: a recursive regular-expression engine can exhaust a worker's stack on a
// long answer. A number that does not fit an int is no value. Pure functions; any thread.
namespace korvane {

// "\"<key>\"\s*:\s*(-?\d+)" (the minus only when `allow_negative`), first match.
std::optional<int> FindJsonInt(const std::string& text,
                               const std::string& key,
                               bool allow_negative = true);

// "\"<key>\"\s*:\s*\"([^\"]*)\"", first match: the captured text, possibly empty. With
// `accept`, a match whose text it refuses does not count and the search goes on (for a fixed
// pattern inside the quotes).
std::optional<std::string> FindJsonString(
    const std::string& text,
    const std::string& key,
    const std::function<bool(const std::string&)>& accept = nullptr);

// The JSON string at text[at] (a double quote) with its escapes decoded (\uXXXX to UTF-8,
// surrogate pairs joined); *end is set after its closing quote. Nothing for a malformed string
// (an unknown escape, a lone surrogate, a raw control character, no closing quote).
std::optional<std::string> DecodeJsonString(const std::string& text, size_t at, size_t* end);

// The string value of `key` among the direct members of the first object written as
// "\"<object_key>\"\s*:\s*{", decoded. Strings and nested values are skipped as wholes, so a
// key inside a nested value or inside a string never matches. Nothing when the object or the key
// is missing, the value is not a string, or the text is malformed before the key.
std::optional<std::string> FindJsonObjectString(const std::string& text,
                                                const std::string& object_key,
                                                const std::string& key);

// One "key": number entry found by NextJsonMember.
struct JsonMember {
  std::string key;
  std::optional<int> value;  // no value when the digits do not fit an int
  size_t end = 0;            // where the match ended: the next search starts here
};

// The next match at or after `from` of "\"([^\"]+)\"\s*:\s*(\d+)", or with `node_keys` of
// "\"(node_\d+)\"\s*:\s*(\d+)". Nothing when there is no further match.
std::optional<JsonMember> NextJsonMember(const std::string& text, size_t from, bool node_keys);

// The member with the smallest value of at least 1 among successive NextJsonMember matches;
// ties go to the first; values that are below 1 or do not fit an int are skipped.
std::optional<JsonMember> BestJsonMember(const std::string& text, bool node_keys);

}  // namespace korvane

#endif  // KORVANE_CLASH_JSON_SCAN_H_
