#include "flutter_linux/fl_binary_messenger.h"

#include "fl_binary_messenger_private.h"

G_DEFINE_QUARK(fl_binary_messenger_codec_error_quark, fl_binary_messenger_codec_error)

G_DEFINE_INTERFACE(FlBinaryMessenger, fl_binary_messenger, G_TYPE_OBJECT)

static void fl_binary_messenger_default_init(FlBinaryMessengerInterface* iface) {}

typedef struct {
  // Set once by the first answer; atomic because answers may come from any thread.
  gint responded;
  // Set once the missing answer has been reported, so it is reported once.
  gint reported;
} FlBinaryMessengerResponseHandlePrivate;

G_DEFINE_ABSTRACT_TYPE_WITH_PRIVATE(FlBinaryMessengerResponseHandle,
                                    fl_binary_messenger_response_handle,
                                    G_TYPE_OBJECT)

static void fl_binary_messenger_response_handle_class_init(
    FlBinaryMessengerResponseHandleClass* klass) {}

static void fl_binary_messenger_response_handle_init(FlBinaryMessengerResponseHandle* self) {}

gboolean fl_binary_messenger_response_handle_mark_responded(FlBinaryMessengerResponseHandle* self,
                                                            GError** error) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER_RESPONSE_HANDLE(self), FALSE);
  FlBinaryMessengerResponseHandlePrivate* priv =
      static_cast<FlBinaryMessengerResponseHandlePrivate*>(
          fl_binary_messenger_response_handle_get_instance_private(self));
  if (!g_atomic_int_compare_and_exchange(&priv->responded, 0, 1)) {
    g_set_error(error, FL_BINARY_MESSENGER_ERROR, FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED,
                "Attempted to respond to a message that is already responded to");
    return FALSE;
  }
  return TRUE;
}

gboolean fl_binary_messenger_response_handle_is_responded(FlBinaryMessengerResponseHandle* self) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER_RESPONSE_HANDLE(self), FALSE);
  FlBinaryMessengerResponseHandlePrivate* priv =
      static_cast<FlBinaryMessengerResponseHandlePrivate*>(
          fl_binary_messenger_response_handle_get_instance_private(self));
  return g_atomic_int_get(&priv->responded) != 0;
}

void fl_binary_messenger_response_handle_check_responded(FlBinaryMessengerResponseHandle* self) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER_RESPONSE_HANDLE(self));
  FlBinaryMessengerResponseHandlePrivate* priv =
      static_cast<FlBinaryMessengerResponseHandlePrivate*>(
          fl_binary_messenger_response_handle_get_instance_private(self));
  if (g_atomic_int_get(&priv->responded) == 0 &&
      g_atomic_int_compare_and_exchange(&priv->reported, 0, 1)) {
    g_critical("FlBinaryMessengerResponseHandle was not responded to");
  }
}

void fl_binary_messenger_set_message_handler_on_channel(FlBinaryMessenger* self,
                                                        const gchar* channel,
                                                        FlBinaryMessengerMessageHandler handler,
                                                        gpointer user_data,
                                                        GDestroyNotify destroy_notify) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER(self));
  g_return_if_fail(channel != nullptr);
  FL_BINARY_MESSENGER_GET_IFACE(self)->set_message_handler_on_channel(self, channel, handler,
                                                                      user_data, destroy_notify);
}

gboolean fl_binary_messenger_send_response(FlBinaryMessenger* self,
                                           FlBinaryMessengerResponseHandle* response_handle,
                                           GBytes* response,
                                           GError** error) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(self), FALSE);
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER_RESPONSE_HANDLE(response_handle), FALSE);
  return FL_BINARY_MESSENGER_GET_IFACE(self)->send_response(self, response_handle, response, error);
}

void fl_binary_messenger_send_on_channel(FlBinaryMessenger* self,
                                         const gchar* channel,
                                         GBytes* message,
                                         GCancellable* cancellable,
                                         GAsyncReadyCallback callback,
                                         gpointer user_data) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER(self));
  g_return_if_fail(channel != nullptr);
  FL_BINARY_MESSENGER_GET_IFACE(self)->send_on_channel(self, channel, message, cancellable,
                                                       callback, user_data);
}

GBytes* fl_binary_messenger_send_on_channel_finish(FlBinaryMessenger* self,
                                                   GAsyncResult* result,
                                                   GError** error) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(self), nullptr);
  return FL_BINARY_MESSENGER_GET_IFACE(self)->send_on_channel_finish(self, result, error);
}

void fl_binary_messenger_resize_channel(FlBinaryMessenger* self,
                                        const gchar* channel,
                                        int64_t new_size) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER(self));
  g_return_if_fail(channel != nullptr);
  FlBinaryMessengerInterface* iface = FL_BINARY_MESSENGER_GET_IFACE(self);
  if (iface->resize_channel != nullptr) {
    iface->resize_channel(self, channel, new_size);
  }
}

void fl_binary_messenger_set_warns_on_channel_overflow(FlBinaryMessenger* self,
                                                       const gchar* channel,
                                                       bool warns) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER(self));
  g_return_if_fail(channel != nullptr);
  FlBinaryMessengerInterface* iface = FL_BINARY_MESSENGER_GET_IFACE(self);
  if (iface->set_warns_on_channel_overflow != nullptr) {
    iface->set_warns_on_channel_overflow(self, channel, warns);
  }
}

void fl_binary_messenger_shutdown(FlBinaryMessenger* self) {
  g_return_if_fail(FL_IS_BINARY_MESSENGER(self));
  FlBinaryMessengerInterface* iface = FL_BINARY_MESSENGER_GET_IFACE(self);
  if (iface->shutdown != nullptr) {
    iface->shutdown(self);
  }
}
