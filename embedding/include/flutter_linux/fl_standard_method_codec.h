#ifndef FLUTTER_LINUX_FL_STANDARD_METHOD_CODEC_H_
#define FLUTTER_LINUX_FL_STANDARD_METHOD_CODEC_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <gmodule.h>

#include "fl_method_codec.h"
#include "fl_standard_message_codec.h"

G_BEGIN_DECLS

G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlStandardMethodCodec,
                     fl_standard_method_codec,
                     FL,
                     STANDARD_METHOD_CODEC,
                     FlMethodCodec)

/**
 * fl_standard_method_codec_new:
 *
 * Returns: (transfer full): a method codec over a new FlStandardMessageCodec.
 */
G_MODULE_EXPORT FlStandardMethodCodec* fl_standard_method_codec_new();

/**
 * fl_standard_method_codec_new_with_message_codec:
 * @message_codec: the codec for values (a reference is kept), e.g. one with custom types.
 *
 * Returns: (transfer full): a new method codec.
 */
G_MODULE_EXPORT FlStandardMethodCodec* fl_standard_method_codec_new_with_message_codec(
    FlStandardMessageCodec* message_codec);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_STANDARD_METHOD_CODEC_H_
