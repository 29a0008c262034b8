#ifndef FLUTTER_LINUX_FL_VIEW_H_
#define FLUTTER_LINUX_FL_VIEW_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <gmodule.h>
#include <gtk/gtk.h>

#include "fl_dart_project.h"
#include "fl_engine.h"

G_BEGIN_DECLS

/**
 * FlView:
 *
 * The widget showing the Dart UI. It implements FlPluginRegistry and emits "first-frame" once
 * the first frame is shown. Main thread only.
 */
G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlView, fl_view, FL, VIEW, GtkBox)

/**
 * fl_view_new:
 *
 * Returns: (transfer floating): a new view running its own engine for @project.
 */
G_MODULE_EXPORT FlView* fl_view_new(FlDartProject* project);

// Returns: (transfer none): the engine of the view.
G_MODULE_EXPORT FlEngine* fl_view_get_engine(FlView* view);

// Sets the color drawn behind the UI.
G_MODULE_EXPORT void fl_view_set_background_color(FlView* view, const GdkRGBA* color);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_VIEW_H_
