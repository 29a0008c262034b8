#include "vpn/outcome.h"

namespace korvane {

AnswerValue AnswerValue::OfBool(bool value) {
  AnswerValue result;
  result.kind_ = Kind::kBool;
  result.bool_ = value;
  return result;
}

AnswerValue AnswerValue::OfInt(int64_t value) {
  AnswerValue result;
  result.kind_ = Kind::kInt;
  result.int_ = value;
  return result;
}

AnswerValue AnswerValue::OfString(std::string value) {
  AnswerValue result;
  result.kind_ = Kind::kString;
  result.string_ = std::move(value);
  return result;
}

AnswerValue AnswerValue::OfList() {
  AnswerValue result;
  result.kind_ = Kind::kList;
  return result;
}

AnswerValue& AnswerValue::Append(AnswerValue value) {
  values_.push_back(std::move(value));
  return *this;
}

AnswerValue AnswerValue::OfMap() {
  AnswerValue result;
  result.kind_ = Kind::kMap;
  return result;
}

AnswerValue& AnswerValue::Set(std::string key, AnswerValue value) {
  keys_.push_back(std::move(key));
  values_.push_back(std::move(value));
  return *this;
}

}  // namespace korvane
