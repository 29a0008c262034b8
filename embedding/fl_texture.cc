#include "flutter_linux/fl_texture.h"

G_DEFINE_INTERFACE(FlTexture, fl_texture, G_TYPE_OBJECT)

static void fl_texture_default_init(FlTextureInterface*) {}

int64_t fl_texture_get_id(FlTexture* self) {
  g_return_val_if_fail(FL_IS_TEXTURE(self), -1);
  return FL_TEXTURE_GET_IFACE(self)->get_id(self);
}
