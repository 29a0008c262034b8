#ifndef EMBEDDING_FL_ENGINE_REGISTRAR_H_
#define EMBEDDING_FL_ENGINE_REGISTRAR_H_

#include "flutter_linux/fl_engine.h"
#include "flutter_linux/fl_plugin_registrar.h"
#include "flutter_linux/fl_view.h"

G_BEGIN_DECLS

// The registrar a plug-in gets from FlEngine or FlView: the engine's messenger and texture
// registrar, and the view (NULL for an engine without one). Main thread only.
G_DECLARE_FINAL_TYPE(FlEngineRegistrar, fl_engine_registrar, FL, ENGINE_REGISTRAR, GObject)

// Returns: (transfer full): a registrar for @engine (referenced) and @view (weak, may be NULL).
FlEngineRegistrar* fl_engine_registrar_new(FlEngine* engine, FlView* view);

G_END_DECLS

#endif  // EMBEDDING_FL_ENGINE_REGISTRAR_H_
