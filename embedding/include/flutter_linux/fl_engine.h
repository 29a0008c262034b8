#ifndef FLUTTER_LINUX_FL_ENGINE_H_
#define FLUTTER_LINUX_FL_ENGINE_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

#include "fl_binary_messenger.h"
#include "fl_dart_project.h"
#include "fl_texture_registrar.h"

G_BEGIN_DECLS

/**
 * FlEngine:
 *
 * Runs the Dart side of a project and carries its platform messages. Main thread only.
 */
G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlEngine, fl_engine, FL, ENGINE, GObject)

/**
 * fl_engine_new:
 *
 * Returns: (transfer full): an engine for @project (not started; FlView starts its own).
 */
G_MODULE_EXPORT FlEngine* fl_engine_new(FlDartProject* project);

/**
 * fl_engine_new_headless:
 *
 * Returns: (transfer full): an engine for @project that renders nothing.
 */
G_MODULE_EXPORT FlEngine* fl_engine_new_headless(FlDartProject* project);

/**
 * fl_engine_start:
 *
 * Starts the engine. Returns: TRUE on success, else FALSE with @error set.
 */
G_MODULE_EXPORT gboolean fl_engine_start(FlEngine* engine, GError** error);

// Returns: (transfer none): the messenger carrying the engine's platform messages.
G_MODULE_EXPORT FlBinaryMessenger* fl_engine_get_binary_messenger(FlEngine* engine);

// Returns: (transfer none): where plug-ins register textures.
G_MODULE_EXPORT FlTextureRegistrar* fl_engine_get_texture_registrar(FlEngine* engine);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_ENGINE_H_
