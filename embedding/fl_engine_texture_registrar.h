#ifndef EMBEDDING_FL_ENGINE_TEXTURE_REGISTRAR_H_
#define EMBEDDING_FL_ENGINE_TEXTURE_REGISTRAR_H_

#include "flutter_linux/fl_texture_registrar.h"

G_BEGIN_DECLS

// The engine's texture registrar. Nothing is rendered here, so it only hands out ids and keeps
// the registered textures alive until they are unregistered. Main thread only.
G_DECLARE_FINAL_TYPE(FlEngineTextureRegistrar,
                     fl_engine_texture_registrar,
                     FL,
                     ENGINE_TEXTURE_REGISTRAR,
                     GObject)

// Returns: (transfer full): an empty registrar.
FlEngineTextureRegistrar* fl_engine_texture_registrar_new();

G_END_DECLS

#endif  // EMBEDDING_FL_ENGINE_TEXTURE_REGISTRAR_H_
