#ifndef TESTS_APP_HOST_WINDOWS_H_
#define TESTS_APP_HOST_WINDOWS_H_

#include <string>

#include "tests/support/host_fixture.h"

namespace korvane_test {

// The host's mapped top-level window (xdotool on its display), or "" when none appears within
// |timeout_ms|.
std::string FindHostWindow(const HostFixture& host, int timeout_ms);

// The window's "Map State" as xwininfo reports it ("IsViewable", "IsUnMapped", ...), or
// "<no window>".
std::string WindowMapState(const HostFixture& host, const std::string& window);

// Waits until the window's map state is |state|; false when it is not within |timeout_ms|.
bool WaitForMapState(const HostFixture& host,
                     const std::string& window,
                     const std::string& state,
                     int timeout_ms);

}  // namespace korvane_test

#endif  // TESTS_APP_HOST_WINDOWS_H_
