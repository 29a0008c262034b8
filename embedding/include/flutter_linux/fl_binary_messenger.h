#ifndef FLUTTER_LINUX_FL_BINARY_MESSENGER_H_
#define FLUTTER_LINUX_FL_BINARY_MESSENGER_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <gio/gio.h>
#include <glib-object.h>
#include <gmodule.h>
#include <stdbool.h>
#include <stdint.h>

#include "fl_value.h"

G_BEGIN_DECLS

// The quark's name is historical; it is the domain of FlBinaryMessengerError.
#define FL_BINARY_MESSENGER_ERROR fl_binary_messenger_codec_error_quark()

typedef enum {
  // A response handle was answered a second time.
  FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED,
} FlBinaryMessengerError;

G_MODULE_EXPORT GQuark fl_binary_messenger_codec_error_quark(void) G_GNUC_CONST;

G_MODULE_EXPORT
G_DECLARE_INTERFACE(FlBinaryMessenger, fl_binary_messenger, FL, BINARY_MESSENGER, GObject)

/**
 * FlBinaryMessengerResponseHandle:
 *
 * Identifies one incoming message that is owed exactly one response. Implementations of
 * FlBinaryMessenger derive from it; dropping a handle unanswered is reported as a critical.
 */
G_MODULE_EXPORT
G_DECLARE_DERIVABLE_TYPE(FlBinaryMessengerResponseHandle,
                         fl_binary_messenger_response_handle,
                         FL,
                         BINARY_MESSENGER_RESPONSE_HANDLE,
                         GObject)

struct _FlBinaryMessengerResponseHandleClass {
  GObjectClass parent_class;
};

/**
 * FlBinaryMessengerMessageHandler:
 * @messenger: the messenger the message arrived on.
 * @channel: the channel name.
 * @message: the payload (transfer none); may be empty.
 * @response_handle: answer it exactly once with fl_binary_messenger_send_response (transfer
 *   none: ref it to answer after returning).
 * @user_data: as given to fl_binary_messenger_set_message_handler_on_channel.
 */
typedef void (*FlBinaryMessengerMessageHandler)(FlBinaryMessenger* messenger,
                                                const gchar* channel,
                                                GBytes* message,
                                                FlBinaryMessengerResponseHandle* response_handle,
                                                gpointer user_data);

struct _FlBinaryMessengerInterface {
  GTypeInterface parent_iface;

  void (*set_message_handler_on_channel)(FlBinaryMessenger* messenger,
                                         const gchar* channel,
                                         FlBinaryMessengerMessageHandler handler,
                                         gpointer user_data,
                                         GDestroyNotify destroy_notify);

  gboolean (*send_response)(FlBinaryMessenger* messenger,
                            FlBinaryMessengerResponseHandle* response_handle,
                            GBytes* response,
                            GError** error);

  void (*send_on_channel)(FlBinaryMessenger* messenger,
                          const gchar* channel,
                          GBytes* message,
                          GCancellable* cancellable,
                          GAsyncReadyCallback callback,
                          gpointer user_data);

  GBytes* (*send_on_channel_finish)(FlBinaryMessenger* messenger,
                                    GAsyncResult* result,
                                    GError** error);

  void (*resize_channel)(FlBinaryMessenger* messenger, const gchar* channel, int64_t new_size);

  void (*set_warns_on_channel_overflow)(FlBinaryMessenger* messenger,
                                        const gchar* channel,
                                        bool warns);

  void (*shutdown)(FlBinaryMessenger* messenger);
};

/**
 * fl_binary_messenger_set_message_handler_on_channel:
 *
 * Sets the one handler of @channel; NULL @handler removes it. Replacing or removing a handler,
 * and shutting the messenger down, call the previous @destroy_notify on its @user_data.
 * Main thread only.
 */
G_MODULE_EXPORT void fl_binary_messenger_set_message_handler_on_channel(
    FlBinaryMessenger* messenger,
    const gchar* channel,
    FlBinaryMessengerMessageHandler handler,
    gpointer user_data,
    GDestroyNotify destroy_notify);

/**
 * fl_binary_messenger_send_response:
 * @response: (allow-none): the reply; NULL sends an empty reply.
 *
 * Answers the message identified by @response_handle. A second answer fails with
 * FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED. Any thread.
 *
 * Returns: TRUE on success.
 */
G_MODULE_EXPORT gboolean
fl_binary_messenger_send_response(FlBinaryMessenger* messenger,
                                  FlBinaryMessengerResponseHandle* response_handle,
                                  GBytes* response,
                                  GError** error);

/**
 * fl_binary_messenger_send_on_channel:
 * @message: (allow-none): NULL sends an empty message.
 * @callback: (allow-none): called with the reply; NULL when no reply is wanted.
 *
 * Sends @message to the other side on @channel. Main thread only.
 */
G_MODULE_EXPORT void fl_binary_messenger_send_on_channel(FlBinaryMessenger* messenger,
                                                         const gchar* channel,
                                                         GBytes* message,
                                                         GCancellable* cancellable,
                                                         GAsyncReadyCallback callback,
                                                         gpointer user_data);

/**
 * fl_binary_messenger_send_on_channel_finish:
 *
 * Returns: (transfer full): the reply, or NULL with @error set.
 */
G_MODULE_EXPORT GBytes* fl_binary_messenger_send_on_channel_finish(FlBinaryMessenger* messenger,
                                                                   GAsyncResult* result,
                                                                   GError** error);

// Sets how many messages the other side buffers for @channel. Main thread only.
G_MODULE_EXPORT void fl_binary_messenger_resize_channel(FlBinaryMessenger* messenger,
                                                        const gchar* channel,
                                                        int64_t new_size);

// Sets whether the other side warns when @channel's buffer overflows. Main thread only.
G_MODULE_EXPORT void fl_binary_messenger_set_warns_on_channel_overflow(FlBinaryMessenger* messenger,
                                                                       const gchar* channel,
                                                                       bool warns);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_BINARY_MESSENGER_H_
