#ifndef EMBEDDING_FL_METHOD_CODEC_PRIVATE_H_
#define EMBEDDING_FL_METHOD_CODEC_PRIVATE_H_

#include "flutter_linux/fl_method_codec.h"
#include "flutter_linux/fl_method_response.h"
#include "flutter_linux/fl_value.h"

G_BEGIN_DECLS

// Returns: (transfer full): the encoding of a call to @name with @args (NULL: none), or NULL
// with @error set.
GBytes* fl_method_codec_encode_method_call(FlMethodCodec* codec,
                                           const gchar* name,
                                           FlValue* args,
                                           GError** error);

// Decodes a call into @name (transfer full, g_free) and @args (transfer full, never NULL).
gboolean fl_method_codec_decode_method_call(FlMethodCodec* codec,
                                            GBytes* message,
                                            gchar** name,
                                            FlValue** args,
                                            GError** error);

// Returns: (transfer full): the encoding of a success with @result (NULL: null).
GBytes* fl_method_codec_encode_success_envelope(FlMethodCodec* codec,
                                                FlValue* result,
                                                GError** error);

// Returns: (transfer full): the encoding of an error; @message and @details may be NULL.
GBytes* fl_method_codec_encode_error_envelope(FlMethodCodec* codec,
                                              const gchar* code,
                                              const gchar* message,
                                              FlValue* details,
                                              GError** error);

// Returns: (transfer full): the response in @message (empty: not-implemented), or NULL with
// @error set.
FlMethodResponse* fl_method_codec_decode_response(FlMethodCodec* codec,
                                                  GBytes* message,
                                                  GError** error);

G_END_DECLS

#endif  // EMBEDDING_FL_METHOD_CODEC_PRIVATE_H_
