#ifndef PLATFORM_PRIVILEGES_LAUNCHER_SCRIPT_H_
#define PLATFORM_PRIVILEGES_LAUNCHER_SCRIPT_H_

#include <string>

#include "platform/privileges/elevation_environment.h"

// The launcher written beside the executable: a pure renderer of its text and the collection of
// the session values it carries. Writing the file is the caller's business. Any thread.
namespace korvane {

// The session values the launcher restores (a program started from a file with capabilities
// loses them); empty means unset, and its export line is left out.
struct LauncherValues {
  std::string dbus_session_bus_address;
  std::string display;
  std::string wayland_display;
  std::string xdg_runtime_dir;
  std::string xdg_session_type;
  std::string xdg_data_dirs;
  std::string xdg_current_desktop;
};

// The current values of DBUS_SESSION_BUS_ADDRESS, DISPLAY, WAYLAND_DISPLAY, XDG_RUNTIME_DIR,
// XDG_SESSION_TYPE, XDG_DATA_DIRS and XDG_CURRENT_DESKTOP.
LauncherValues LauncherValuesFromEnvironment();
// The same values from a copy of the environment (for worker threads).
LauncherValues LauncherValuesFrom(const ElevationEnvironment& environment);

// The launcher's whole text: the library preflight, one export line per non-empty value (quoted
// so that the exported value is exactly the given one), then, with the launcher's own
// arguments, the granted copy in `granted_dir` while it is a copy of the korvane beside the
// launcher, else the wrapper or the executable beside it. No variable that makes the program
// load code is exported. An empty `granted_dir` leaves the granted copy out.
std::string RenderLauncherScript(const LauncherValues& values, const std::string& granted_dir = "");

}  // namespace korvane

#endif  // PLATFORM_PRIVILEGES_LAUNCHER_SCRIPT_H_
