#include "tests/support/main_loop.h"

#include <glib.h>

namespace korvane_test {

bool IterateMainLoopUntil(const std::function<bool()>& condition, int timeout_ms) {
  const gint64 deadline = g_get_monotonic_time() + timeout_ms * 1000LL;
  while (!condition()) {
    if (g_get_monotonic_time() > deadline) {
      return false;
    }
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(1000);
  }
  return true;
}

}  // namespace korvane_test
