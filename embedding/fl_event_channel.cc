#include "flutter_linux/fl_event_channel.h"

#include "fl_method_codec_private.h"

// Methods the other side calls to start and stop the stream.
constexpr char kListenMethod[] = "listen";
constexpr char kCancelMethod[] = "cancel";
// Error code of a call that is neither.
constexpr char kUnknownRequestCode[] = "error";

struct _FlEventChannel {
  GObject parent_instance;

  FlBinaryMessenger* messenger;
  gchar* name;
  FlMethodCodec* codec;

  // Set once the messenger dropped our registration: nothing to unregister.
  gboolean channel_closed;
  // Set by end of stream until the next accepted "listen": nothing may be sent meanwhile.
  gboolean stream_ended;

  FlEventChannelHandler listen_handler;
  FlEventChannelHandler cancel_handler;
  gpointer handler_data;
  GDestroyNotify handler_data_destroy_notify;
};

G_DEFINE_TYPE(FlEventChannel, fl_event_channel, G_TYPE_OBJECT)

// Drops the stream handlers, releasing their data.
static void remove_handlers(FlEventChannel* self) {
  GDestroyNotify destroy_notify = self->handler_data_destroy_notify;
  gpointer data = self->handler_data;
  self->listen_handler = nullptr;
  self->cancel_handler = nullptr;
  self->handler_data = nullptr;
  self->handler_data_destroy_notify = nullptr;
  if (destroy_notify != nullptr) {
    destroy_notify(data);
  }
}

// Sends @response (NULL: empty) to @response_handle, reporting a failure once.
static void send_reply(FlEventChannel* self,
                       FlBinaryMessengerResponseHandle* response_handle,
                       GBytes* response) {
  g_autoptr(GError) error = nullptr;
  if (!fl_binary_messenger_send_response(self->messenger, response_handle, response, &error)) {
    g_warning("Failed to answer on event channel %s: %s", self->name, error->message);
  }
}

// Runs @handler (may be NULL) and encodes its verdict: success-null or its error.
static GBytes* run_handler(FlEventChannel* self,
                           FlEventChannelHandler handler,
                           FlValue* args,
                           gboolean* accepted,
                           GError** error) {
  g_autoptr(FlMethodErrorResponse) refusal =
      handler != nullptr ? handler(self, args, self->handler_data) : nullptr;
  *accepted = refusal == nullptr;
  if (refusal == nullptr) {
    return fl_method_codec_encode_success_envelope(self->codec, nullptr, error);
  }
  return fl_method_codec_encode_error_envelope(
      self->codec, fl_method_error_response_get_code(refusal),
      fl_method_error_response_get_message(refusal), fl_method_error_response_get_details(refusal),
      error);
}

// Called by the messenger for each "listen" or "cancel" call from the other side.
static void message_cb(FlBinaryMessenger* messenger,
                       const gchar* channel,
                       GBytes* message,
                       FlBinaryMessengerResponseHandle* response_handle,
                       gpointer user_data) {
  FlEventChannel* self = FL_EVENT_CHANNEL(user_data);

  g_autofree gchar* method = nullptr;
  g_autoptr(FlValue) args = nullptr;
  g_autoptr(GError) error = nullptr;
  if (!fl_method_codec_decode_method_call(self->codec, message, &method, &args, &error)) {
    g_warning("Failed to decode call on event channel %s: %s", self->name, error->message);
    send_reply(self, response_handle, nullptr);
    return;
  }

  g_autoptr(GBytes) response = nullptr;
  gboolean accepted = FALSE;
  if (g_strcmp0(method, kListenMethod) == 0) {
    response = run_handler(self, self->listen_handler, args, &accepted, &error);
    if (accepted) {
      self->stream_ended = FALSE;
    }
  } else if (g_strcmp0(method, kCancelMethod) == 0) {
    response = run_handler(self, self->cancel_handler, args, &accepted, &error);
  } else {
    g_autofree gchar* text = g_strdup_printf("Unknown event channel request '%s'", method);
    response = fl_method_codec_encode_error_envelope(self->codec, kUnknownRequestCode, text,
                                                     nullptr, &error);
  }
  if (response == nullptr) {
    // Only an unencodable error detail gets here; the caller still gets an answer.
    g_warning("Failed to encode answer to %s on event channel %s: %s", method, self->name,
              error->message);
  }
  send_reply(self, response_handle, response);
}

// Called when the messenger drops the channel's registration.
static void channel_closed_cb(gpointer user_data) {
  FlEventChannel* self = FL_EVENT_CHANNEL(user_data);
  self->channel_closed = TRUE;
  remove_handlers(self);
}

// Sends an event message built by the codec, unless the stream has ended.
static gboolean send_event(FlEventChannel* self,
                           GBytes* message,
                           GCancellable* cancellable,
                           GError** error) {
  if (message == nullptr) {
    return FALSE;
  }
  fl_binary_messenger_send_on_channel(self->messenger, self->name, message, cancellable, nullptr,
                                      nullptr);
  return TRUE;
}

// Fails with G_IO_ERROR_CLOSED after end of stream.
static gboolean check_stream_open(FlEventChannel* self, GError** error) {
  if (self->stream_ended) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_CLOSED, "Event stream on %s has ended", self->name);
    return FALSE;
  }
  return TRUE;
}

static void fl_event_channel_dispose(GObject* object) {
  FlEventChannel* self = FL_EVENT_CHANNEL(object);
  if (!self->channel_closed && self->messenger != nullptr) {
    fl_binary_messenger_set_message_handler_on_channel(self->messenger, self->name, nullptr,
                                                       nullptr, nullptr);
  }
  remove_handlers(self);
  g_clear_object(&self->messenger);
  g_clear_object(&self->codec);
  g_clear_pointer(&self->name, g_free);
  G_OBJECT_CLASS(fl_event_channel_parent_class)->dispose(object);
}

static void fl_event_channel_class_init(FlEventChannelClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_event_channel_dispose;
}

static void fl_event_channel_init(FlEventChannel* self) {}

FlEventChannel* fl_event_channel_new(FlBinaryMessenger* messenger,
                                     const gchar* name,
                                     FlMethodCodec* codec) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), nullptr);
  g_return_val_if_fail(name != nullptr, nullptr);
  g_return_val_if_fail(FL_IS_METHOD_CODEC(codec), nullptr);
  FlEventChannel* self = FL_EVENT_CHANNEL(g_object_new(fl_event_channel_get_type(), nullptr));
  self->messenger = FL_BINARY_MESSENGER(g_object_ref(messenger));
  self->name = g_strdup(name);
  self->codec = FL_METHOD_CODEC(g_object_ref(codec));
  // No reference: the registration lives exactly as long as the channel (dispose removes it).
  fl_binary_messenger_set_message_handler_on_channel(messenger, name, message_cb, self,
                                                     channel_closed_cb);
  return self;
}

void fl_event_channel_set_stream_handlers(FlEventChannel* self,
                                          FlEventChannelHandler listen_handler,
                                          FlEventChannelHandler cancel_handler,
                                          gpointer user_data,
                                          GDestroyNotify destroy_notify) {
  g_return_if_fail(FL_IS_EVENT_CHANNEL(self));
  remove_handlers(self);
  if (self->channel_closed) {
    if (listen_handler != nullptr || cancel_handler != nullptr) {
      g_warning("Attempted to set stream handlers on closed event channel %s", self->name);
    }
    if (destroy_notify != nullptr) {
      destroy_notify(user_data);
    }
    return;
  }
  self->listen_handler = listen_handler;
  self->cancel_handler = cancel_handler;
  self->handler_data = user_data;
  self->handler_data_destroy_notify = destroy_notify;
}

gboolean fl_event_channel_send(FlEventChannel* self,
                               FlValue* event,
                               GCancellable* cancellable,
                               GError** error) {
  g_return_val_if_fail(FL_IS_EVENT_CHANNEL(self), FALSE);
  g_return_val_if_fail(event != nullptr, FALSE);
  if (!check_stream_open(self, error)) {
    return FALSE;
  }
  g_autoptr(GBytes) message = fl_method_codec_encode_success_envelope(self->codec, event, error);
  return send_event(self, message, cancellable, error);
}

gboolean fl_event_channel_send_error(FlEventChannel* self,
                                     const gchar* code,
                                     const gchar* message,
                                     FlValue* details,
                                     GCancellable* cancellable,
                                     GError** error) {
  g_return_val_if_fail(FL_IS_EVENT_CHANNEL(self), FALSE);
  g_return_val_if_fail(code != nullptr, FALSE);
  g_return_val_if_fail(message != nullptr, FALSE);
  if (!check_stream_open(self, error)) {
    return FALSE;
  }
  g_autoptr(GBytes) data =
      fl_method_codec_encode_error_envelope(self->codec, code, message, details, error);
  return send_event(self, data, cancellable, error);
}

gboolean fl_event_channel_send_end_of_stream(FlEventChannel* self,
                                             GCancellable* cancellable,
                                             GError** error) {
  g_return_val_if_fail(FL_IS_EVENT_CHANNEL(self), FALSE);
  // Ending an ended stream changes nothing and must not send a second end.
  if (self->stream_ended) {
    return TRUE;
  }
  self->stream_ended = TRUE;
  fl_binary_messenger_send_on_channel(self->messenger, self->name, nullptr, cancellable, nullptr,
                                      nullptr);
  return TRUE;
}
