#ifndef FLUTTER_LINUX_FL_STANDARD_MESSAGE_CODEC_H_
#define FLUTTER_LINUX_FL_STANDARD_MESSAGE_CODEC_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <gmodule.h>
#include <stdint.h>

#include "fl_message_codec.h"

G_BEGIN_DECLS

G_MODULE_EXPORT
G_DECLARE_DERIVABLE_TYPE(FlStandardMessageCodec,
                         fl_standard_message_codec,
                         FL,
                         STANDARD_MESSAGE_CODEC,
                         FlMessageCodec)

/**
 * FlStandardMessageCodec:
 *
 * The codec Dart's StandardMessageCodec speaks. Subclasses add custom types (type bytes 128
 * and up) by overriding write_value for FL_VALUE_TYPE_CUSTOM and read_value_of_type, and
 * chaining up for everything else.
 */
struct _FlStandardMessageCodecClass {
  FlMessageCodecClass parent_class;

  // Appends the type byte and payload of @value to @buffer.
  gboolean (*write_value)(FlStandardMessageCodec* codec,
                          GByteArray* buffer,
                          FlValue* value,
                          GError** error);

  // Reads the payload of a value whose type byte @type was just read; @offset is advanced.
  FlValue* (*read_value_of_type)(FlStandardMessageCodec* codec,
                                 GBytes* buffer,
                                 size_t* offset,
                                 int type,
                                 GError** error);
};

/**
 * fl_standard_message_codec_new:
 *
 * Returns: (transfer full): a new codec.
 */
G_MODULE_EXPORT FlStandardMessageCodec* fl_standard_message_codec_new();

// Appends a size field (1, 3 or 5 bytes) to @buffer.
G_MODULE_EXPORT void fl_standard_message_codec_write_size(FlStandardMessageCodec* codec,
                                                          GByteArray* buffer,
                                                          uint32_t size);

// Reads a size field at *@offset, advancing it; FALSE with OUT_OF_DATA when truncated.
G_MODULE_EXPORT gboolean fl_standard_message_codec_read_size(FlStandardMessageCodec* codec,
                                                             GBytes* buffer,
                                                             size_t* offset,
                                                             uint32_t* value,
                                                             GError** error);

// Appends the full encoding (type byte included) of @value (NULL is null) to @buffer.
G_MODULE_EXPORT gboolean fl_standard_message_codec_write_value(FlStandardMessageCodec* codec,
                                                               GByteArray* buffer,
                                                               FlValue* value,
                                                               GError** error);

// Reads one full value at *@offset, advancing it. Returns: (transfer full) or NULL on error.
G_MODULE_EXPORT FlValue* fl_standard_message_codec_read_value(FlStandardMessageCodec* codec,
                                                              GBytes* buffer,
                                                              size_t* offset,
                                                              GError** error);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_STANDARD_MESSAGE_CODEC_H_
