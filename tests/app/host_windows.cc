#include "tests/app/host_windows.h"

#include <glib.h>

#include <sstream>

namespace korvane_test {

std::string FindHostWindow(const HostFixture& host, int timeout_ms) {
  const gint64 deadline = g_get_monotonic_time() + timeout_ms * 1000LL;
  while (g_get_monotonic_time() < deadline) {
    std::istringstream ids(host.OutputWithHostEnvironment(
        {"xdotool", "search", "--onlyvisible", "--pid", std::to_string(host.host_pid())}));
    std::string id;
    if (ids >> id) {
      return id;
    }
    g_usleep(100 * 1000);
  }
  return "";
}

std::string WindowMapState(const HostFixture& host, const std::string& window) {
  const std::string info = host.OutputWithHostEnvironment({"xwininfo", "-id", window});
  const size_t at = info.find("Map State: ");
  return at == std::string::npos ? "<no window>"
                                 : info.substr(at + 11, info.find('\n', at) - at - 11);
}

bool WaitForMapState(const HostFixture& host,
                     const std::string& window,
                     const std::string& state,
                     int timeout_ms) {
  const gint64 deadline = g_get_monotonic_time() + timeout_ms * 1000LL;
  while (WindowMapState(host, window) != state && g_get_monotonic_time() < deadline) {
    g_usleep(50 * 1000);
  }
  return WindowMapState(host, window) == state;
}

}  // namespace korvane_test
