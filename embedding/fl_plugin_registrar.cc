#include "flutter_linux/fl_plugin_registrar.h"

G_DEFINE_INTERFACE(FlPluginRegistrar, fl_plugin_registrar, G_TYPE_OBJECT)

static void fl_plugin_registrar_default_init(FlPluginRegistrarInterface*) {}

FlBinaryMessenger* fl_plugin_registrar_get_messenger(FlPluginRegistrar* self) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(self), nullptr);
  return FL_PLUGIN_REGISTRAR_GET_IFACE(self)->get_messenger(self);
}

FlTextureRegistrar* fl_plugin_registrar_get_texture_registrar(FlPluginRegistrar* self) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(self), nullptr);
  return FL_PLUGIN_REGISTRAR_GET_IFACE(self)->get_texture_registrar(self);
}

FlView* fl_plugin_registrar_get_view(FlPluginRegistrar* self) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(self), nullptr);
  return FL_PLUGIN_REGISTRAR_GET_IFACE(self)->get_view(self);
}
