#ifndef FLUTTER_LINUX_FL_DART_PROJECT_H_
#define FLUTTER_LINUX_FL_DART_PROJECT_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

G_BEGIN_DECLS

/**
 * FlDartProject:
 *
 * Where the Dart application lives: data/flutter_assets/, data/icudtl.dat and lib/libapp.so
 * beside the executable.
 */
G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlDartProject, fl_dart_project, FL, DART_PROJECT, GObject)

/**
 * fl_dart_project_new:
 *
 * Returns: (transfer full): a project with paths resolved relative to the executable's
 * directory.
 */
G_MODULE_EXPORT FlDartProject* fl_dart_project_new();

// Stores a copy (g_strdupv) of the NULL-terminated @argv passed to the Dart entry point.
G_MODULE_EXPORT void fl_dart_project_set_dart_entrypoint_arguments(FlDartProject* project,
                                                                   char** argv);

// Returns: (transfer none): the entry-point arguments, NULL-terminated (NULL if never set).
G_MODULE_EXPORT gchar** fl_dart_project_get_dart_entrypoint_arguments(FlDartProject* project);

// Returns: (transfer none): absolute path of lib/libapp.so.
G_MODULE_EXPORT const gchar* fl_dart_project_get_aot_library_path(FlDartProject* project);

// Returns: (transfer none): absolute path of data/flutter_assets.
G_MODULE_EXPORT const gchar* fl_dart_project_get_assets_path(FlDartProject* project);

// Returns: (transfer none): absolute path of data/icudtl.dat.
G_MODULE_EXPORT const gchar* fl_dart_project_get_icu_data_path(FlDartProject* project);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_DART_PROJECT_H_
