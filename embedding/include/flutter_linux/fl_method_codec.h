#ifndef FLUTTER_LINUX_FL_METHOD_CODEC_H_
#define FLUTTER_LINUX_FL_METHOD_CODEC_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

#include "fl_method_response.h"
#include "fl_value.h"

G_BEGIN_DECLS

G_MODULE_EXPORT
G_DECLARE_DERIVABLE_TYPE(FlMethodCodec, fl_method_codec, FL, METHOD_CODEC, GObject)

/**
 * FlMethodCodec:
 *
 * Abstract: encodes method calls and their response envelopes. Channels use it through
 * private wrappers; applications only choose the codec.
 */
struct _FlMethodCodecClass {
  GObjectClass parent_class;

  // Returns the encoding of a call to @name with @args (may be NULL), or NULL with @error set.
  GBytes* (*encode_method_call)(FlMethodCodec* codec,
                                const gchar* name,
                                FlValue* args,
                                GError** error);

  // Sets @name (transfer full, g_free) and @args (transfer full, never NULL) or fails.
  gboolean (*decode_method_call)(FlMethodCodec* codec,
                                 GBytes* message,
                                 gchar** name,
                                 FlValue** args,
                                 GError** error);

  // Returns the encoding of a success with @result (may be NULL), or NULL with @error set.
  GBytes* (*encode_success_envelope)(FlMethodCodec* codec, FlValue* result, GError** error);

  // Returns the encoding of an error; @message and @details may be NULL.
  GBytes* (*encode_error_envelope)(FlMethodCodec* codec,
                                   const gchar* code,
                                   const gchar* message,
                                   FlValue* details,
                                   GError** error);

  // Returns the response in @message (transfer full) or NULL with @error set.
  FlMethodResponse* (*decode_response)(FlMethodCodec* codec, GBytes* message, GError** error);
};

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_METHOD_CODEC_H_
