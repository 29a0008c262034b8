#ifndef FLUTTER_LINUX_FL_MESSAGE_CODEC_H_
#define FLUTTER_LINUX_FL_MESSAGE_CODEC_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

#include "fl_value.h"

G_BEGIN_DECLS

#define FL_MESSAGE_CODEC_ERROR fl_message_codec_error_quark()

typedef enum {
  FL_MESSAGE_CODEC_ERROR_FAILED,
  // The message ended before a complete value was read.
  FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA,
  // Bytes remained after the value.
  FL_MESSAGE_CODEC_ERROR_ADDITIONAL_DATA,
  // The value (or the type byte read) is not one the codec handles.
  FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE,
} FlMessageCodecError;

G_MODULE_EXPORT GQuark fl_message_codec_error_quark(void) G_GNUC_CONST;

G_MODULE_EXPORT
G_DECLARE_DERIVABLE_TYPE(FlMessageCodec, fl_message_codec, FL, MESSAGE_CODEC, GObject)

/**
 * FlMessageCodec:
 *
 * Abstract: turns one FlValue into bytes and back.
 */
struct _FlMessageCodecClass {
  GObjectClass parent_class;

  // Returns the encoding of @message (transfer full) or NULL with @error set.
  GBytes* (*encode_message)(FlMessageCodec* codec, FlValue* message, GError** error);

  // Returns the value in @message (transfer full) or NULL with @error set.
  FlValue* (*decode_message)(FlMessageCodec* codec, GBytes* message, GError** error);
};

/**
 * fl_message_codec_encode_message:
 * @message: (allow-none): NULL encodes a null value.
 *
 * Returns: (transfer full): the bytes, or NULL with @error set.
 */
G_MODULE_EXPORT GBytes* fl_message_codec_encode_message(FlMessageCodec* codec,
                                                        FlValue* message,
                                                        GError** error);

/**
 * fl_message_codec_decode_message:
 *
 * Returns: (transfer full): the value, or NULL with @error set.
 */
G_MODULE_EXPORT FlValue* fl_message_codec_decode_message(FlMessageCodec* codec,
                                                         GBytes* message,
                                                         GError** error);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_MESSAGE_CODEC_H_
