#ifndef VPN_OUTCOME_H_
#define VPN_OUTCOME_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What a service of the VPN controller hands back for a method call: a value, or an error code
// with its message. Only the channel layer (vpn/channel/) turns it into an answer. Any thread.
namespace korvane {

// A value of the answers the host gives: null, bool, 64-bit int, string, list, or a string-keyed
// map in insertion order (a list keeps its elements in values()).
class AnswerValue {
 public:
  enum class Kind { kNull, kBool, kInt, kString, kList, kMap };

  AnswerValue() = default;
  static AnswerValue OfBool(bool value);
  static AnswerValue OfInt(int64_t value);
  static AnswerValue OfString(std::string value);
  static AnswerValue OfList();
  static AnswerValue OfMap();
  // Adds an element to a list value; returns *this for chaining.
  AnswerValue& Append(AnswerValue value);
  // Adds a member to a map value; returns *this for chaining.
  AnswerValue& Set(std::string key, AnswerValue value);

  Kind kind() const { return kind_; }
  bool bool_value() const { return bool_; }
  int64_t int_value() const { return int_; }
  const std::string& string_value() const { return string_; }
  const std::vector<std::string>& keys() const { return keys_; }
  const std::vector<AnswerValue>& values() const { return values_; }

 private:
  Kind kind_ = Kind::kNull;
  bool bool_ = false;
  int64_t int_ = 0;
  std::string string_;
  std::vector<std::string> keys_;
  std::vector<AnswerValue> values_;
};

// The answer of one call: success with a value, or an error (code and message; no details).
struct Outcome {
  bool ok = true;
  AnswerValue value;
  std::string code;
  std::string message;

  static Outcome Ok(AnswerValue value = AnswerValue()) {
    Outcome outcome;
    outcome.value = std::move(value);
    return outcome;
  }
  static Outcome Ok(bool value) { return Ok(AnswerValue::OfBool(value)); }
  static Outcome Failure(std::string code, std::string message) {
    Outcome outcome;
    outcome.ok = false;
    outcome.code = std::move(code);
    outcome.message = std::move(message);
    return outcome;
  }
};

// An answer that comes later: `work` runs on a worker thread and its outcome is the answer;
// `abandon` (may be empty) runs on the calling thread instead when no worker could be started.
// When `now` holds an outcome, that is the answer at once and nothing runs.
struct Deferred {
  std::optional<Outcome> now;
  std::function<Outcome()> work;
  std::function<void()> abandon;
};

// The error code of the controller's failures of the standard exception family.
inline constexpr char kExceptionCode[] = "EXCEPTION";

}  // namespace korvane

#endif  // VPN_OUTCOME_H_
