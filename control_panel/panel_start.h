#ifndef CONTROL_PANEL_PANEL_START_H_
#define CONTROL_PANEL_PANEL_START_H_

#include <gtk/gtk.h>

// How the panel's window starts: in the tray (not mapped at all) when the user asked for it
// and a tray is there to bring it back, and the options for it in the panel.
class PanelStart {
 public:
  // The settings key of "Start minimised".
  static constexpr char kMinimizedKey[] = "start-minimized";

  // Holds back the first showing of the application's window when the start should go to the
  // tray: "Start minimised" is set (or PanelAutostart::kMinimizedVariable is "1"), @panel_enabled
  // says a panel (and so its tray item) will be made, and a tray watcher is on the session bus.
  // Without a watcher the window shows: hidden, nothing could bring it back. Installed once, at
  // load, before the application makes its window; the hold ends when the main loop first runs,
  // so a later show (the tray's, a second launch's) shows the window.
  static void InstallGate(bool (*panel_enabled)());
  // The "Start minimised" and "Start at login" checks (transfer floating). Each change is
  // written as "[Panel] KEY: TEXT" and kept: the first in the panel's settings, the second as the
  // autostart entry itself (PanelAutostart), which follows the first while it exists.
  static GtkWidget* NewOptions();
};

#endif  // CONTROL_PANEL_PANEL_START_H_
