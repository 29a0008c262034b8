#ifndef FLUTTER_LINUX_FL_EVENT_CHANNEL_H_
#define FLUTTER_LINUX_FL_EVENT_CHANNEL_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <gio/gio.h>
#include <glib-object.h>
#include <gmodule.h>

#include "fl_binary_messenger.h"
#include "fl_method_codec.h"
#include "fl_method_response.h"

G_BEGIN_DECLS

/**
 * FlEventChannel:
 *
 * A stream of events to the other side, started by its "listen" call and stopped by its
 * "cancel" call. Main thread only.
 */
G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlEventChannel, fl_event_channel, FL, EVENT_CHANNEL, GObject)

/**
 * FlEventChannelHandler:
 * @args: the arguments of the "listen" or "cancel" call (transfer none).
 *
 * Returns: (transfer full): NULL to accept the request, or an error response to refuse it.
 */
typedef FlMethodErrorResponse* (*FlEventChannelHandler)(FlEventChannel* channel,
                                                        FlValue* args,
                                                        gpointer user_data);

/**
 * fl_event_channel_new:
 *
 * Returns: (transfer full): a channel keeping references to @messenger and @codec.
 */
G_MODULE_EXPORT FlEventChannel* fl_event_channel_new(FlBinaryMessenger* messenger,
                                                     const gchar* name,
                                                     FlMethodCodec* codec);

/**
 * fl_event_channel_set_stream_handlers:
 * @listen_handler: (allow-none): runs on "listen".
 * @cancel_handler: (allow-none): runs on "cancel".
 *
 * The previous @destroy_notify is called on its @user_data.
 */
G_MODULE_EXPORT void fl_event_channel_set_stream_handlers(FlEventChannel* channel,
                                                          FlEventChannelHandler listen_handler,
                                                          FlEventChannelHandler cancel_handler,
                                                          gpointer user_data,
                                                          GDestroyNotify destroy_notify);

/**
 * fl_event_channel_send:
 * @event: the event (a null value for a null event).
 *
 * Returns: FALSE only if the event cannot be encoded (or the stream has ended).
 */
G_MODULE_EXPORT gboolean fl_event_channel_send(FlEventChannel* channel,
                                               FlValue* event,
                                               GCancellable* cancellable,
                                               GError** error);

// Sends an error event; @details may be NULL.
G_MODULE_EXPORT gboolean fl_event_channel_send_error(FlEventChannel* channel,
                                                     const gchar* code,
                                                     const gchar* message,
                                                     FlValue* details,
                                                     GCancellable* cancellable,
                                                     GError** error);

// Ends the stream; nothing may be sent afterwards.
G_MODULE_EXPORT gboolean fl_event_channel_send_end_of_stream(FlEventChannel* channel,
                                                             GCancellable* cancellable,
                                                             GError** error);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_EVENT_CHANNEL_H_
