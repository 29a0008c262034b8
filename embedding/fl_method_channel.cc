#include "flutter_linux/fl_method_channel.h"

#include "fl_method_call_private.h"
#include "fl_method_channel_private.h"
#include "fl_method_codec_private.h"

struct _FlMethodChannel {
  GObject parent_instance;

  FlBinaryMessenger* messenger;
  gchar* name;
  FlMethodCodec* codec;

  // Set once the messenger dropped our registration (shut down, or another channel took the
  // name): then there is nothing to unregister.
  gboolean channel_closed;

  // The application's handler of incoming calls; NULL answers not-implemented.
  FlMethodChannelMethodCallHandler method_call_handler;
  gpointer method_call_handler_data;
  GDestroyNotify method_call_handler_destroy_notify;
};

G_DEFINE_TYPE(FlMethodChannel, fl_method_channel, G_TYPE_OBJECT)

// Answers @response_handle with an empty reply, reporting a failure once.
static void send_empty_reply(FlMethodChannel* self,
                             FlBinaryMessengerResponseHandle* response_handle) {
  g_autoptr(GError) error = nullptr;
  if (!fl_binary_messenger_send_response(self->messenger, response_handle, nullptr, &error)) {
    g_warning("Failed to send empty reply on channel %s: %s", self->name, error->message);
  }
}

// Called by the messenger for each message on the channel's name.
static void message_cb(FlBinaryMessenger* messenger,
                       const gchar* channel,
                       GBytes* message,
                       FlBinaryMessengerResponseHandle* response_handle,
                       gpointer user_data) {
  FlMethodChannel* self = FL_METHOD_CHANNEL(user_data);

  // A call that cannot be decoded or has no handler is still answered: an unanswered call
  // would leave the caller waiting forever.
  g_autofree gchar* method = nullptr;
  g_autoptr(FlValue) args = nullptr;
  g_autoptr(GError) error = nullptr;
  if (!fl_method_codec_decode_method_call(self->codec, message, &method, &args, &error)) {
    g_warning("Failed to decode method call on channel %s: %s", self->name, error->message);
    send_empty_reply(self, response_handle);
    return;
  }
  if (self->method_call_handler == nullptr) {
    send_empty_reply(self, response_handle);
    return;
  }
  g_autoptr(FlMethodCall) method_call = fl_method_call_new(method, args, self, response_handle);
  self->method_call_handler(self, method_call, self->method_call_handler_data);
}

// Called when the messenger drops the channel's registration.
static void channel_closed_cb(gpointer user_data) {
  FlMethodChannel* self = FL_METHOD_CHANNEL(user_data);
  self->channel_closed = TRUE;
  // The handler can never run again: release its data now.
  GDestroyNotify destroy_notify = self->method_call_handler_destroy_notify;
  gpointer data = self->method_call_handler_data;
  self->method_call_handler = nullptr;
  self->method_call_handler_data = nullptr;
  self->method_call_handler_destroy_notify = nullptr;
  if (destroy_notify != nullptr) {
    destroy_notify(data);
  }
}

// Called when the messenger has the reply to an invoke_method.
static void message_response_cb(GObject* object, GAsyncResult* result, gpointer user_data) {
  g_autoptr(GTask) task = G_TASK(user_data);
  g_task_return_pointer(task, g_object_ref(result), g_object_unref);
}

static void fl_method_channel_dispose(GObject* object) {
  FlMethodChannel* self = FL_METHOD_CHANNEL(object);
  if (!self->channel_closed && self->messenger != nullptr) {
    // Unregistering calls channel_closed_cb, which also releases the handler.
    fl_binary_messenger_set_message_handler_on_channel(self->messenger, self->name, nullptr,
                                                       nullptr, nullptr);
  }
  if (self->method_call_handler_destroy_notify != nullptr) {
    self->method_call_handler_destroy_notify(self->method_call_handler_data);
  }
  self->method_call_handler = nullptr;
  self->method_call_handler_data = nullptr;
  self->method_call_handler_destroy_notify = nullptr;
  g_clear_object(&self->messenger);
  g_clear_object(&self->codec);
  g_clear_pointer(&self->name, g_free);
  G_OBJECT_CLASS(fl_method_channel_parent_class)->dispose(object);
}

static void fl_method_channel_class_init(FlMethodChannelClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_method_channel_dispose;
}

static void fl_method_channel_init(FlMethodChannel* self) {}

FlMethodChannel* fl_method_channel_new(FlBinaryMessenger* messenger,
                                       const gchar* name,
                                       FlMethodCodec* codec) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), nullptr);
  g_return_val_if_fail(name != nullptr, nullptr);
  g_return_val_if_fail(FL_IS_METHOD_CODEC(codec), nullptr);
  FlMethodChannel* self = FL_METHOD_CHANNEL(g_object_new(fl_method_channel_get_type(), nullptr));
  self->messenger = FL_BINARY_MESSENGER(g_object_ref(messenger));
  self->name = g_strdup(name);
  self->codec = FL_METHOD_CODEC(g_object_ref(codec));
  // No reference: the registration lives exactly as long as the channel (dispose removes it).
  fl_binary_messenger_set_message_handler_on_channel(messenger, name, message_cb, self,
                                                     channel_closed_cb);
  return self;
}

void fl_method_channel_set_method_call_handler(FlMethodChannel* self,
                                               FlMethodChannelMethodCallHandler handler,
                                               gpointer user_data,
                                               GDestroyNotify destroy_notify) {
  g_return_if_fail(FL_IS_METHOD_CHANNEL(self));
  if (self->channel_closed) {
    if (handler != nullptr) {
      g_warning("Attempted to set a method call handler on closed channel %s", self->name);
    }
    if (destroy_notify != nullptr) {
      destroy_notify(user_data);
    }
    return;
  }
  GDestroyNotify old_destroy_notify = self->method_call_handler_destroy_notify;
  gpointer old_data = self->method_call_handler_data;
  self->method_call_handler = handler;
  self->method_call_handler_data = user_data;
  self->method_call_handler_destroy_notify = destroy_notify;
  if (old_destroy_notify != nullptr) {
    old_destroy_notify(old_data);
  }
}

void fl_method_channel_invoke_method(FlMethodChannel* self,
                                     const gchar* method,
                                     FlValue* args,
                                     GCancellable* cancellable,
                                     GAsyncReadyCallback callback,
                                     gpointer user_data) {
  g_return_if_fail(FL_IS_METHOD_CHANNEL(self));
  g_return_if_fail(method != nullptr);

  g_autoptr(GTask) task =
      callback != nullptr ? g_task_new(self, cancellable, callback, user_data) : nullptr;

  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) message = fl_method_codec_encode_method_call(self->codec, method, args, &error);
  if (message == nullptr) {
    if (task != nullptr) {
      g_task_return_error(task, static_cast<GError*>(g_steal_pointer(&error)));
    } else {
      g_warning("Failed to encode call to %s on channel %s: %s", method, self->name,
                error->message);
    }
    return;
  }

  // Decided before the task is handed over (argument evaluation order is unspecified).
  GAsyncReadyCallback response_cb = task != nullptr ? message_response_cb : nullptr;
  fl_binary_messenger_send_on_channel(self->messenger, self->name, message, cancellable,
                                      response_cb, g_steal_pointer(&task));
}

FlMethodResponse* fl_method_channel_invoke_method_finish(FlMethodChannel* self,
                                                         GAsyncResult* result,
                                                         GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CHANNEL(self), nullptr);
  g_return_val_if_fail(g_task_is_valid(result, self), nullptr);

  g_autoptr(GAsyncResult) message_result =
      static_cast<GAsyncResult*>(g_task_propagate_pointer(G_TASK(result), error));
  if (message_result == nullptr) {
    return nullptr;
  }
  g_autoptr(GBytes) response =
      fl_binary_messenger_send_on_channel_finish(self->messenger, message_result, error);
  if (response == nullptr) {
    return nullptr;
  }
  return fl_method_codec_decode_response(self->codec, response, error);
}

gboolean fl_method_channel_respond(FlMethodChannel* self,
                                   FlBinaryMessengerResponseHandle* response_handle,
                                   FlMethodResponse* response,
                                   GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CHANNEL(self), FALSE);
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER_RESPONSE_HANDLE(response_handle), FALSE);
  g_return_val_if_fail(FL_IS_METHOD_RESPONSE(response), FALSE);

  g_autoptr(GBytes) message = nullptr;
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    FlMethodSuccessResponse* success = FL_METHOD_SUCCESS_RESPONSE(response);
    message = fl_method_codec_encode_success_envelope(
        self->codec, fl_method_success_response_get_result(success), error);
    if (message == nullptr) {
      return FALSE;
    }
  } else if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* failure = FL_METHOD_ERROR_RESPONSE(response);
    message = fl_method_codec_encode_error_envelope(
        self->codec, fl_method_error_response_get_code(failure),
        fl_method_error_response_get_message(failure),
        fl_method_error_response_get_details(failure), error);
    if (message == nullptr) {
      return FALSE;
    }
  } else if (!FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response)) {
    g_set_error(error, FL_METHOD_RESPONSE_ERROR, FL_METHOD_RESPONSE_ERROR_FAILED,
                "Unknown response type %s", G_OBJECT_TYPE_NAME(response));
    return FALSE;
  }
  // Not-implemented is an empty reply (message stays NULL).
  return fl_binary_messenger_send_response(self->messenger, response_handle, message, error);
}
