#ifndef CONTROL_PANEL_PANEL_AUTOSTART_H_
#define CONTROL_PANEL_PANEL_AUTOSTART_H_

#include <string>

// Starting at login through the desktop's XDG autostart folder: an entry
// "$XDG_CONFIG_HOME/autostart/<application id>.desktop" (default ~/.config/autostart) that runs
// the executable now running. Main thread only.
class PanelAutostart {
 public:
  // Set in the environment of a start that should go to the tray (PanelStartGate).
  static constexpr char kMinimizedVariable[] = "KORVANE_START_MINIMIZED";

  // The entry's path for @app_id.
  static std::string Path(const std::string& app_id);
  // Whether a regular file is there.
  static bool IsEnabled(const std::string& app_id);
  // Writes the entry atomically with mode 0644, for @executable (started minimised when
  // @minimized). A symbolic link at the entry's path is refused, not followed or replaced.
  // False with one diagnostic line on failure.
  static bool Enable(const std::string& app_id, const std::string& executable, bool minimized);
  // Removes the entry; true when none is left (a link there is refused and left).
  static bool Disable(const std::string& app_id);

  // The entry's text.
  static std::string DesktopEntry(const std::string& executable, bool minimized);
  // The running executable's path ("" when the kernel does not say).
  static std::string RunningExecutable();
};

#endif  // CONTROL_PANEL_PANEL_AUTOSTART_H_
