#ifndef FLUTTER_LINUX_FL_PLUGIN_REGISTRY_H_
#define FLUTTER_LINUX_FL_PLUGIN_REGISTRY_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

#include "fl_plugin_registrar.h"

G_BEGIN_DECLS

/**
 * FlPluginRegistry:
 *
 * Hands out one registrar per plug-in (FlView implements it).
 */
G_MODULE_EXPORT
G_DECLARE_INTERFACE(FlPluginRegistry, fl_plugin_registry, FL, PLUGIN_REGISTRY, GObject)

struct _FlPluginRegistryInterface {
  GTypeInterface parent_iface;

  FlPluginRegistrar* (*get_registrar_for_plugin)(FlPluginRegistry* registry, const gchar* name);
};

/**
 * fl_plugin_registry_get_registrar_for_plugin:
 * @name: the plug-in's class name.
 *
 * Returns: (transfer full): a registrar for the plug-in.
 */
G_MODULE_EXPORT FlPluginRegistrar* fl_plugin_registry_get_registrar_for_plugin(
    FlPluginRegistry* registry,
    const gchar* name);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_PLUGIN_REGISTRY_H_
