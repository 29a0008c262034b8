#include "fl_engine_registrar.h"

struct _FlEngineRegistrar {
  GObject parent_instance;

  FlEngine* engine;
  // Weak: a plug-in may keep its registrar longer than the view lives.
  FlView* view;
};

static void fl_engine_registrar_iface_init(FlPluginRegistrarInterface* iface);

G_DEFINE_TYPE_WITH_CODE(FlEngineRegistrar,
                        fl_engine_registrar,
                        G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_plugin_registrar_get_type(),
                                              fl_engine_registrar_iface_init))

static FlBinaryMessenger* get_messenger(FlPluginRegistrar* registrar) {
  return fl_engine_get_binary_messenger(FL_ENGINE_REGISTRAR(registrar)->engine);
}

static FlTextureRegistrar* get_texture_registrar(FlPluginRegistrar* registrar) {
  return fl_engine_get_texture_registrar(FL_ENGINE_REGISTRAR(registrar)->engine);
}

static FlView* get_view(FlPluginRegistrar* registrar) {
  return FL_ENGINE_REGISTRAR(registrar)->view;
}

static void fl_engine_registrar_iface_init(FlPluginRegistrarInterface* iface) {
  iface->get_messenger = get_messenger;
  iface->get_texture_registrar = get_texture_registrar;
  iface->get_view = get_view;
}

static void fl_engine_registrar_dispose(GObject* object) {
  FlEngineRegistrar* self = FL_ENGINE_REGISTRAR(object);
  if (self->view != nullptr) {
    g_object_remove_weak_pointer(G_OBJECT(self->view), reinterpret_cast<gpointer*>(&self->view));
    self->view = nullptr;
  }
  g_clear_object(&self->engine);
  G_OBJECT_CLASS(fl_engine_registrar_parent_class)->dispose(object);
}

static void fl_engine_registrar_class_init(FlEngineRegistrarClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_engine_registrar_dispose;
}

static void fl_engine_registrar_init(FlEngineRegistrar*) {}

FlEngineRegistrar* fl_engine_registrar_new(FlEngine* engine, FlView* view) {
  g_return_val_if_fail(FL_IS_ENGINE(engine), nullptr);
  FlEngineRegistrar* self =
      FL_ENGINE_REGISTRAR(g_object_new(fl_engine_registrar_get_type(), nullptr));
  self->engine = FL_ENGINE(g_object_ref(engine));
  self->view = view;
  if (view != nullptr) {
    g_object_add_weak_pointer(G_OBJECT(view), reinterpret_cast<gpointer*>(&self->view));
  }
  return self;
}
