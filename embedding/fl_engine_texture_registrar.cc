#include "fl_engine_texture_registrar.h"

struct _FlEngineTextureRegistrar {
  GObject parent_instance;

  // Texture id -> FlTexture (a reference each).
  GHashTable* textures;
  int64_t next_id;
};

static void fl_engine_texture_registrar_iface_init(FlTextureRegistrarInterface* iface);

G_DEFINE_TYPE_WITH_CODE(FlEngineTextureRegistrar,
                        fl_engine_texture_registrar,
                        G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_texture_registrar_get_type(),
                                              fl_engine_texture_registrar_iface_init))

static gboolean register_texture(FlTextureRegistrar* registrar, FlTexture* texture) {
  FlEngineTextureRegistrar* self = FL_ENGINE_TEXTURE_REGISTRAR(registrar);
  int64_t id = self->next_id++;
  FL_TEXTURE_GET_IFACE(texture)->set_id(texture, id);
  g_hash_table_insert(self->textures, g_memdup2(&id, sizeof(id)), g_object_ref(texture));
  return TRUE;
}

static gboolean mark_texture_frame_available(FlTextureRegistrar* registrar, FlTexture* texture) {
  FlEngineTextureRegistrar* self = FL_ENGINE_TEXTURE_REGISTRAR(registrar);
  int64_t id = fl_texture_get_id(texture);
  return g_hash_table_lookup(self->textures, &id) == texture;
}

static gboolean unregister_texture(FlTextureRegistrar* registrar, FlTexture* texture) {
  FlEngineTextureRegistrar* self = FL_ENGINE_TEXTURE_REGISTRAR(registrar);
  int64_t id = fl_texture_get_id(texture);
  if (g_hash_table_lookup(self->textures, &id) != texture) {
    return FALSE;
  }
  return g_hash_table_remove(self->textures, &id);
}

static void fl_engine_texture_registrar_iface_init(FlTextureRegistrarInterface* iface) {
  iface->register_texture = register_texture;
  iface->mark_texture_frame_available = mark_texture_frame_available;
  iface->unregister_texture = unregister_texture;
}

static void fl_engine_texture_registrar_dispose(GObject* object) {
  FlEngineTextureRegistrar* self = FL_ENGINE_TEXTURE_REGISTRAR(object);
  g_clear_pointer(&self->textures, g_hash_table_unref);
  G_OBJECT_CLASS(fl_engine_texture_registrar_parent_class)->dispose(object);
}

static void fl_engine_texture_registrar_class_init(FlEngineTextureRegistrarClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_engine_texture_registrar_dispose;
}

static void fl_engine_texture_registrar_init(FlEngineTextureRegistrar* self) {
  self->textures = g_hash_table_new_full(g_int64_hash, g_int64_equal, g_free, g_object_unref);
  self->next_id = 1;
}

FlEngineTextureRegistrar* fl_engine_texture_registrar_new() {
  return FL_ENGINE_TEXTURE_REGISTRAR(g_object_new(fl_engine_texture_registrar_get_type(), nullptr));
}
