#ifndef FLUTTER_LINUX_FL_TEXTURE_REGISTRAR_H_
#define FLUTTER_LINUX_FL_TEXTURE_REGISTRAR_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

#include "fl_texture.h"

G_BEGIN_DECLS

/**
 * FlTextureRegistrar:
 *
 * Where plug-ins register textures for the UI. Main thread only.
 */
G_MODULE_EXPORT
G_DECLARE_INTERFACE(FlTextureRegistrar, fl_texture_registrar, FL, TEXTURE_REGISTRAR, GObject)

struct _FlTextureRegistrarInterface {
  GTypeInterface parent_iface;

  gboolean (*register_texture)(FlTextureRegistrar* registrar, FlTexture* texture);

  gboolean (*mark_texture_frame_available)(FlTextureRegistrar* registrar, FlTexture* texture);

  gboolean (*unregister_texture)(FlTextureRegistrar* registrar, FlTexture* texture);
};

// Registers @texture (a reference is kept) and gives it an id. Returns TRUE on success.
G_MODULE_EXPORT gboolean fl_texture_registrar_register_texture(FlTextureRegistrar* registrar,
                                                               FlTexture* texture);

// Tells the UI a new frame of @texture is ready. Returns TRUE on success.
G_MODULE_EXPORT gboolean
fl_texture_registrar_mark_texture_frame_available(FlTextureRegistrar* registrar,
                                                  FlTexture* texture);

// Unregisters @texture and drops the registrar's reference. Returns TRUE on success.
G_MODULE_EXPORT gboolean fl_texture_registrar_unregister_texture(FlTextureRegistrar* registrar,
                                                                 FlTexture* texture);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_TEXTURE_REGISTRAR_H_
