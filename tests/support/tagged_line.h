#ifndef TESTS_SUPPORT_TAGGED_LINE_H_
#define TESTS_SUPPORT_TAGGED_LINE_H_

#include <string>

#include "base/logger.h"

// A host line as its logger writes it: one of base/logger.h's tag constants, a space, the
// text. Tests build the lines they look for with it, so a tag is spelled in one place.
namespace korvane_test {

inline std::string Tagged(const char* tag, const std::string& text) {
  return std::string(tag) + " " + text;
}

}  // namespace korvane_test

#endif  // TESTS_SUPPORT_TAGGED_LINE_H_
