#ifndef TESTS_SUPPORT_MAIN_LOOP_H_
#define TESTS_SUPPORT_MAIN_LOOP_H_

#include <functional>

// Serving the default GLib main context from a test. Test thread only.
namespace korvane_test {

// Serves the main context until `condition` holds; false when `timeout_ms` passed first.
bool IterateMainLoopUntil(const std::function<bool()>& condition, int timeout_ms);

}  // namespace korvane_test

#endif  // TESTS_SUPPORT_MAIN_LOOP_H_
