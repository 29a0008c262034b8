#include "flutter_linux/fl_engine.h"

#include "fl_binary_messenger_private.h"
#include "fl_bridge_messenger.h"
#include "fl_engine_registrar.h"
#include "fl_engine_texture_registrar.h"
#include "fl_ui_bridge.h"
#include "flutter_linux/fl_plugin_registry.h"

// There is no Dart VM here: "running" the project means serving its platform messages to the
// UI client that connects over the UI bridge.
struct _FlEngine {
  GObject parent_instance;

  FlDartProject* project;
  FlBridgeMessenger* messenger;
  FlEngineTextureRegistrar* texture_registrar;
  // Whether the engine renders into a view (kept for parity; nothing is rendered).
  gboolean headless;
  gboolean started;
};

static void fl_engine_plugin_registry_iface_init(FlPluginRegistryInterface* iface);

G_DEFINE_TYPE_WITH_CODE(FlEngine,
                        fl_engine,
                        G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_plugin_registry_get_type(),
                                              fl_engine_plugin_registry_iface_init))

static FlPluginRegistrar* get_registrar_for_plugin(FlPluginRegistry* registry, const gchar* name) {
  (void)name;
  return FL_PLUGIN_REGISTRAR(fl_engine_registrar_new(FL_ENGINE(registry), nullptr));
}

static void fl_engine_plugin_registry_iface_init(FlPluginRegistryInterface* iface) {
  iface->get_registrar_for_plugin = get_registrar_for_plugin;
}

static void fl_engine_dispose(GObject* object) {
  FlEngine* self = FL_ENGINE(object);
  if (self->messenger != nullptr) {
    // Handlers hear their destroy_notify now, while the engine still exists.
    fl_binary_messenger_shutdown(FL_BINARY_MESSENGER(self->messenger));
  }
  g_clear_object(&self->messenger);
  g_clear_object(&self->texture_registrar);
  g_clear_object(&self->project);
  G_OBJECT_CLASS(fl_engine_parent_class)->dispose(object);
}

static void fl_engine_class_init(FlEngineClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_engine_dispose;
}

static void fl_engine_init(FlEngine* self) {
  self->messenger = fl_bridge_messenger_new();
  self->texture_registrar = fl_engine_texture_registrar_new();
}

static FlEngine* engine_new(FlDartProject* project, gboolean headless) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(project), nullptr);
  FlEngine* self = FL_ENGINE(g_object_new(fl_engine_get_type(), nullptr));
  self->project = FL_DART_PROJECT(g_object_ref(project));
  self->headless = headless;
  return self;
}

FlEngine* fl_engine_new(FlDartProject* project) {
  return engine_new(project, FALSE);
}

FlEngine* fl_engine_new_headless(FlDartProject* project) {
  return engine_new(project, TRUE);
}

gboolean fl_engine_start(FlEngine* self, GError** error) {
  g_return_val_if_fail(FL_IS_ENGINE(self), FALSE);
  if (self->started) {
    return TRUE;
  }
  g_autofree gchar* socket_path = fl_ui_bridge_default_socket_path();
  if (!fl_bridge_messenger_start(self->messenger, socket_path,
                                 fl_dart_project_get_dart_entrypoint_arguments(self->project),
                                 error)) {
    return FALSE;
  }
  self->started = TRUE;
  return TRUE;
}

FlBinaryMessenger* fl_engine_get_binary_messenger(FlEngine* self) {
  g_return_val_if_fail(FL_IS_ENGINE(self), nullptr);
  return FL_BINARY_MESSENGER(self->messenger);
}

FlTextureRegistrar* fl_engine_get_texture_registrar(FlEngine* self) {
  g_return_val_if_fail(FL_IS_ENGINE(self), nullptr);
  return FL_TEXTURE_REGISTRAR(self->texture_registrar);
}
