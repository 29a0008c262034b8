#ifndef PLUGINS_WINDOW_MANAGER_INCLUDE_WINDOW_MANAGER_WINDOW_MANAGER_PLUGIN_H_
#define PLUGINS_WINDOW_MANAGER_INCLUDE_WINDOW_MANAGER_WINDOW_MANAGER_PLUGIN_H_

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

#ifdef FLUTTER_PLUGIN_IMPL
#define FLUTTER_PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define FLUTTER_PLUGIN_EXPORT
#endif

// Registers the plug-in's channels with the registrar's messenger.
FLUTTER_PLUGIN_EXPORT void window_manager_plugin_register_with_registrar(
    FlPluginRegistrar* registrar);

G_END_DECLS

#endif  // PLUGINS_WINDOW_MANAGER_INCLUDE_WINDOW_MANAGER_WINDOW_MANAGER_PLUGIN_H_
