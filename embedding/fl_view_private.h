#ifndef EMBEDDING_FL_VIEW_PRIVATE_H_
#define EMBEDDING_FL_VIEW_PRIVATE_H_

#include <gtk/gtk.h>

#include "fl_bridge_messenger.h"

G_BEGIN_DECLS

// A stand-in for the Dart UI that works in-process: given the engine's messenger, returns
// (transfer floating) the widget to show in a new view, or NULL for none.
typedef GtkWidget* (*FlViewUiFactory)(FlBridgeMessenger* messenger);

// Registers the stand-in every FlView created from now on shows (NULL: none). The view knows
// nothing of what it shows; whoever carries a stand-in registers it, at load or before the first
// view. Main thread only (or before any thread but the first runs).
void fl_view_set_ui_factory(FlViewUiFactory factory);

G_END_DECLS

#endif  // EMBEDDING_FL_VIEW_PRIVATE_H_
