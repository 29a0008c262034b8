#ifndef FLUTTER_LINUX_FL_METHOD_CHANNEL_H_
#define FLUTTER_LINUX_FL_METHOD_CHANNEL_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <gio/gio.h>
#include <glib-object.h>
#include <gmodule.h>

#include "fl_binary_messenger.h"
#include "fl_method_call.h"
#include "fl_method_codec.h"
#include "fl_method_response.h"

G_BEGIN_DECLS

/**
 * FlMethodChannel:
 *
 * Method calls in both directions on one named channel. Registers on the messenger when
 * created and unregisters when disposed. Main thread only.
 */
G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlMethodChannel, fl_method_channel, FL, METHOD_CHANNEL, GObject)

/**
 * FlMethodChannelMethodCallHandler:
 * @method_call: the call (transfer none: ref it to answer after returning).
 */
typedef void (*FlMethodChannelMethodCallHandler)(FlMethodChannel* channel,
                                                 FlMethodCall* method_call,
                                                 gpointer user_data);

/**
 * fl_method_channel_new:
 *
 * Returns: (transfer full): a channel keeping references to @messenger and @codec.
 */
G_MODULE_EXPORT FlMethodChannel* fl_method_channel_new(FlBinaryMessenger* messenger,
                                                       const gchar* name,
                                                       FlMethodCodec* codec);

/**
 * fl_method_channel_set_method_call_handler:
 *
 * Sets the handler of incoming calls (NULL removes it: calls are then answered not-implemented).
 * The previous @destroy_notify is called on its @user_data.
 */
G_MODULE_EXPORT void fl_method_channel_set_method_call_handler(
    FlMethodChannel* channel,
    FlMethodChannelMethodCallHandler handler,
    gpointer user_data,
    GDestroyNotify destroy_notify);

/**
 * fl_method_channel_invoke_method:
 * @args: (allow-none): the arguments.
 * @callback: (allow-none): called with the response; NULL when none is wanted.
 *
 * Calls @method on the other side.
 */
G_MODULE_EXPORT void fl_method_channel_invoke_method(FlMethodChannel* channel,
                                                     const gchar* method,
                                                     FlValue* args,
                                                     GCancellable* cancellable,
                                                     GAsyncReadyCallback callback,
                                                     gpointer user_data);

/**
 * fl_method_channel_invoke_method_finish:
 *
 * Returns: (transfer full): the response (an empty reply gives not-implemented), or NULL with
 * @error set.
 */
G_MODULE_EXPORT FlMethodResponse* fl_method_channel_invoke_method_finish(FlMethodChannel* channel,
                                                                         GAsyncResult* result,
                                                                         GError** error);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_METHOD_CHANNEL_H_
