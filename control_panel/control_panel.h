#ifndef CONTROL_PANEL_CONTROL_PANEL_H_
#define CONTROL_PANEL_CONTROL_PANEL_H_

#include <gtk/gtk.h>

#include "fl_bridge_messenger.h"

// A small native control panel that stands in for the Dart UI inside FlView, so that a person
// can use the host from its own window: connection state, the last action's error, core
// version, one button that connects with a configuration file or disconnects, desktop proxy,
// latency, crash report and network privileges (a restart is asked for first), and while a
// connection runs its nodes (PanelNodes), the engine's log (PanelLog) and its traffic
// (PanelTraffic). It speaks to the host
// only through @messenger, as the Dart UI would, and only while no bridge client is attached (see
// PanelHandOver); to the engine it speaks through the controller of the configuration it connected
// with, as a UI does.
//
// Every change it shows is also written to standard output as one line, "[Panel] KEY: TEXT",
// so what the window shows can be followed from outside.

// Returns: (transfer floating): the panel's widget, which owns the panel; NULL when the
// environment variable KORVANE_CONTROL_PANEL is "0" (for scripts that play the UI from the
// start). Main thread only.
GtkWidget* control_panel_new(FlBridgeMessenger* messenger);

#endif  // CONTROL_PANEL_CONTROL_PANEL_H_
