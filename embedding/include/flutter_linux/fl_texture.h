#ifndef FLUTTER_LINUX_FL_TEXTURE_H_
#define FLUTTER_LINUX_FL_TEXTURE_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>
#include <stdint.h>

G_BEGIN_DECLS

/**
 * FlTexture:
 *
 * A texture a plug-in shares with the UI, identified by an id once registered.
 */
G_MODULE_EXPORT
G_DECLARE_INTERFACE(FlTexture, fl_texture, FL, TEXTURE, GObject)

struct _FlTextureInterface {
  GTypeInterface g_iface;

  // Stores the id given by the registrar.
  void (*set_id)(FlTexture* texture, int64_t id);

  // Returns the id given by the registrar.
  int64_t (*get_id)(FlTexture* texture);
};

// Returns the id of a registered texture.
G_MODULE_EXPORT int64_t fl_texture_get_id(FlTexture* texture);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_TEXTURE_H_
