#ifndef KORVANE_PLATFORM_LAUNCHER_SCRIPT_H_
#define KORVANE_PLATFORM_LAUNCHER_SCRIPT_H_

#include <string>

// The launcher written beside the executable: a pure renderer of its text and the collection of
// the session values it carries. Writing the file is the caller's business. Any thread.
namespace korvane {

// File names beside the executable.
inline constexpr char kLauncherFileName[] = "korvane-launch.sh";
inline constexpr char kCapWrapperFileName[] = "korvane-cap-wrapper";

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

// The launcher's whole text: the library preflight, one export line per non-empty value (quoted
// so that the exported value is exactly the given one), then the wrapper or the executable
// beside it, with the launcher's own arguments.
std::string RenderLauncherScript(const LauncherValues& values);

}  // namespace korvane

#endif  // KORVANE_PLATFORM_LAUNCHER_SCRIPT_H_
