#include "fl_bridge_messenger.h"

#include <gio/gio.h>
#include <string.h>
#include <unistd.h>

#include <deque>
#include <mutex>

#include "fl_binary_messenger_private.h"
#include "fl_method_codec_private.h"
#include "fl_ui_bridge.h"
#include "flutter_linux/fl_standard_message_codec.h"
#include "flutter_linux/fl_standard_method_codec.h"

namespace {

// The hello reports this protocol version.
constexpr int64_t kProtocolVersion = 1;

// Characters of an event kept for display.
constexpr glong kMaxEventText = 160;
// The key of an event map that says when it happened, in milliseconds since the epoch.
constexpr char kTimestampKey[] = "timestamp";

// Replies to the in-process UI are routed by this connection number, which the bridge never
// hands out (it counts up from 1).
constexpr guint64 kUiConnection = G_MAXUINT64;

constexpr char kListenMethod[] = "listen";
constexpr char kCancelMethod[] = "cancel";

// One message handler and what it was registered with.
struct Handler {
  FlBinaryMessengerMessageHandler handler;
  gpointer user_data;
  GDestroyNotify destroy_notify;
};

// Pending sends without a callback are kept as NULL.
void task_free(gpointer data) {
  if (data != nullptr) {
    g_object_unref(data);
  }
}

void handler_free(gpointer data) {
  Handler* handler = static_cast<Handler*>(data);
  if (handler->destroy_notify != nullptr) {
    handler->destroy_notify(handler->user_data);
  }
  g_free(handler);
}

// A handler of the in-process UI and what it was registered with.
struct UiHandler {
  FlBridgeMessengerUiHandler handler;
  gpointer user_data;
  GDestroyNotify destroy_notify;
};

void ui_handler_free(gpointer data) {
  UiHandler* handler = static_cast<UiHandler*>(data);
  if (handler->destroy_notify != nullptr) {
    handler->destroy_notify(handler->user_data);
  }
  g_free(handler);
}

// A message from the host waiting to be delivered to the in-process UI.
struct UiDelivery {
  gchar* channel;
  GBytes* message;
  // Waits for the UI's reply; NULL for fire-and-forget sends.
  GTask* task;
};

void ui_delivery_free(gpointer data) {
  UiDelivery* delivery = static_cast<UiDelivery*>(data);
  g_free(delivery->channel);
  g_clear_pointer(&delivery->message, g_bytes_unref);
  g_clear_object(&delivery->task);
  g_free(delivery);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Response handle: names the message (connection and frame id) an answer belongs to.

G_DECLARE_FINAL_TYPE(FlBridgeResponseHandle,
                     fl_bridge_response_handle,
                     FL,
                     BRIDGE_RESPONSE_HANDLE,
                     FlBinaryMessengerResponseHandle)

struct _FlBridgeResponseHandle {
  FlBinaryMessengerResponseHandle parent_instance;

  // Weak: the messenger may be gone by the time a late handle is dropped.
  FlBridgeMessenger* messenger;
  guint64 connection;
  guint32 id;
};

G_DEFINE_TYPE(FlBridgeResponseHandle,
              fl_bridge_response_handle,
              fl_binary_messenger_response_handle_get_type())

static void send_reply(FlBridgeMessenger* self, guint64 connection, guint32 id, GBytes* payload);

static void fl_bridge_response_handle_dispose(GObject* object) {
  FlBridgeResponseHandle* self = FL_BRIDGE_RESPONSE_HANDLE(object);
  FlBinaryMessengerResponseHandle* handle = FL_BINARY_MESSENGER_RESPONSE_HANDLE(object);
  if (!fl_binary_messenger_response_handle_is_responded(handle)) {
    // Report the fault as the real embedding does (once, whoever notices first), then answer
    // empty so the UI is not left waiting.
    fl_binary_messenger_response_handle_check_responded(handle);
    if (fl_binary_messenger_response_handle_mark_responded(handle, nullptr) &&
        self->messenger != nullptr) {
      send_reply(self->messenger, self->connection, self->id, nullptr);
    }
  }
  if (self->messenger != nullptr) {
    g_object_remove_weak_pointer(G_OBJECT(self->messenger),
                                 reinterpret_cast<gpointer*>(&self->messenger));
    self->messenger = nullptr;
  }
  G_OBJECT_CLASS(fl_bridge_response_handle_parent_class)->dispose(object);
}

static void fl_bridge_response_handle_class_init(FlBridgeResponseHandleClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_bridge_response_handle_dispose;
}

static void fl_bridge_response_handle_init(FlBridgeResponseHandle*) {}

static FlBridgeResponseHandle* fl_bridge_response_handle_new(FlBridgeMessenger* messenger,
                                                             guint64 connection,
                                                             guint32 id) {
  FlBridgeResponseHandle* self =
      FL_BRIDGE_RESPONSE_HANDLE(g_object_new(fl_bridge_response_handle_get_type(), nullptr));
  self->messenger = messenger;
  g_object_add_weak_pointer(G_OBJECT(messenger), reinterpret_cast<gpointer*>(&self->messenger));
  self->connection = connection;
  self->id = id;
  return self;
}

// ---------------------------------------------------------------------------------------------
// The messenger.

struct ReplyData;

// Answers handed over from other threads, oldest first; guarded by its own mutex.
struct CrossThreadReplies {
  std::mutex mutex;
  std::deque<ReplyData*> queue;
};

struct _FlBridgeMessenger {
  GObject parent_instance;

  FlUiBridge* bridge;
  // Codec used to read the calls on channels (listen/cancel bookkeeping, payload checks).
  FlMethodCodec* codec;
  // Arguments reported in the hello.
  gchar** entrypoint_args;
  // Channel name -> Handler.
  GHashTable* handlers;
  // Frame id -> GTask waiting for the UI's reply (NULL for fire-and-forget sends).
  GHashTable* pending;
  // Channel name -> FlValue arguments of the "listen" that opened a stream on it.
  GHashTable* listening;
  // Recent events as text, oldest first.
  GPtrArray* recent_events;
  // The in-process UI: channel name -> UiHandler, frame id -> GTask waiting for the host's
  // reply, the next id, and the host's messages not delivered yet (with the source that
  // delivers them).
  GHashTable* ui_handlers;
  GHashTable* ui_pending;
  guint32 next_ui_id;
  GQueue* ui_deliveries;
  guint ui_delivery_source;
  // The thread that created the messenger: the one running the main loop.
  GThread* main_thread;
  gboolean shut_down;
  // Answers given on other threads, waiting for the main loop, and the one source (made on the
  // main thread) that they wake. A mutex of our own orders the records for the thread checker,
  // which cannot see GLib's locks.
  CrossThreadReplies* cross_thread_replies;
  GSource* reply_source;
};

enum { SIGNAL_STATE_CHANGED, LAST_SIGNAL };
static guint fl_bridge_messenger_signals[LAST_SIGNAL];

static void fl_bridge_messenger_iface_init(FlBinaryMessengerInterface* iface);

G_DEFINE_TYPE_WITH_CODE(FlBridgeMessenger,
                        fl_bridge_messenger,
                        G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_binary_messenger_get_type(),
                                              fl_bridge_messenger_iface_init))

static void emit_state_changed(FlBridgeMessenger* self) {
  g_signal_emit(self, fl_bridge_messenger_signals[SIGNAL_STATE_CHANGED], 0);
}

static void send_reply(FlBridgeMessenger* self, guint64 connection, guint32 id, GBytes* payload) {
  if (connection == kUiConnection) {
    gpointer task = nullptr;
    if (g_hash_table_steal_extended(self->ui_pending, GUINT_TO_POINTER(id), nullptr, &task)) {
      g_task_return_pointer(G_TASK(task),
                            payload != nullptr ? g_bytes_ref(payload) : g_bytes_new(nullptr, 0),
                            reinterpret_cast<GDestroyNotify>(g_bytes_unref));
      g_object_unref(task);
    }
    return;
  }
  if (self->bridge != nullptr) {
    fl_ui_bridge_send_reply(self->bridge, connection, id, payload);
  }
}

// Fails every task of @pending (frame id -> GTask or NULL) still waiting for a reply.
static void fail_tasks(GHashTable* pending, const gchar* reason) {
  GHashTableIter iter;
  gpointer value;
  g_autoptr(GPtrArray) tasks = g_ptr_array_new_with_free_func(g_object_unref);
  g_hash_table_iter_init(&iter, pending);
  while (g_hash_table_iter_next(&iter, nullptr, &value)) {
    if (value != nullptr) {
      g_ptr_array_add(tasks, value);
    }
    g_hash_table_iter_steal(&iter);
  }
  for (guint i = 0; i < tasks->len; i++) {
    g_task_return_new_error(G_TASK(g_ptr_array_index(tasks, i)), G_IO_ERROR,
                            G_IO_ERROR_CONNECTION_CLOSED, "%s", reason);
  }
}

// Fails every send to the bridge client still waiting for a reply.
static void fail_pending(FlBridgeMessenger* self, const gchar* reason) {
  fail_tasks(self->pending, reason);
}

// Runs the handler of @channel for a message, or answers empty when there is none.
static void dispatch(FlBridgeMessenger* self,
                     guint64 connection,
                     guint32 id,
                     const gchar* channel,
                     GBytes* payload) {
  Handler* handler = static_cast<Handler*>(g_hash_table_lookup(self->handlers, channel));
  if (handler == nullptr || handler->handler == nullptr) {
    // Nobody serves this channel: the UI reads an empty reply as not implemented.
    send_reply(self, connection, id, nullptr);
    return;
  }
  g_autoptr(FlBridgeResponseHandle) handle = fl_bridge_response_handle_new(self, connection, id);
  // Keep the handler's data alive even if it replaces itself while running.
  FlBinaryMessengerMessageHandler function = handler->handler;
  gpointer user_data = handler->user_data;
  function(FL_BINARY_MESSENGER(self), channel, payload, FL_BINARY_MESSENGER_RESPONSE_HANDLE(handle),
           user_data);
}

// The client has gone: its open event streams count as cancelled.
static void cancel_streams(FlBridgeMessenger* self, guint64 connection) {
  g_autoptr(GHashTable) listening = self->listening;
  self->listening =
      g_hash_table_new_full(g_str_hash, g_str_equal, g_free, (GDestroyNotify)fl_value_unref);
  GHashTableIter iter;
  gpointer key;
  gpointer value;
  g_hash_table_iter_init(&iter, listening);
  while (g_hash_table_iter_next(&iter, &key, &value)) {
    const gchar* channel = static_cast<const gchar*>(key);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GBytes) call = fl_method_codec_encode_method_call(
        self->codec, kCancelMethod, static_cast<FlValue*>(value), &error);
    if (call == nullptr) {
      g_printerr("[UI bridge] cannot cancel the stream on %s: %s\n", channel, error->message);
      continue;
    }
    // The answer goes to a connection that no longer exists and is dropped.
    dispatch(self, connection, 0, channel, call);
  }
}

static GBytes* build_hello_cb(FlUiBridge* bridge, gpointer user_data) {
  FlBridgeMessenger* self = FL_BRIDGE_MESSENGER(user_data);
  (void)bridge;
  g_autoptr(FlValue) hello = fl_value_new_map();
  fl_value_set_string_take(hello, "protocol", fl_value_new_int(kProtocolVersion));
  fl_value_set_string_take(hello, "pid", fl_value_new_int(getpid()));
  GApplication* application = g_application_get_default();
  const gchar* application_id =
      application != nullptr ? g_application_get_application_id(application) : nullptr;
  if (application_id == nullptr) {
    application_id = g_get_prgname();
  }
  fl_value_set_string_take(hello, "application",
                           fl_value_new_string(application_id != nullptr ? application_id : ""));
  FlValue* args = fl_value_new_list();
  for (gchar** arg = self->entrypoint_args; arg != nullptr && *arg != nullptr; arg++) {
    fl_value_append_take(args, fl_value_new_string(*arg));
  }
  fl_value_set_string_take(hello, "entrypointArguments", args);
  g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
  g_autoptr(GError) error = nullptr;
  GBytes* payload = fl_message_codec_encode_message(FL_MESSAGE_CODEC(codec), hello, &error);
  if (payload == nullptr) {
    g_printerr("[UI bridge] cannot encode the hello: %s\n", error->message);
  }
  return payload;
}

static void on_message_cb(FlUiBridge* bridge,
                          guint64 connection,
                          guint32 id,
                          const gchar* channel,
                          GBytes* payload,
                          gpointer user_data) {
  FlBridgeMessenger* self = FL_BRIDGE_MESSENGER(user_data);
  g_autofree gchar* method = nullptr;
  g_autoptr(FlValue) args = nullptr;
  g_autoptr(GError) error = nullptr;
  if (!fl_method_codec_decode_method_call(self->codec, payload, &method, &args, &error)) {
    g_autofree gchar* reason =
        g_strdup_printf("undecodable payload on %s: %s", channel, error->message);
    fl_ui_bridge_close_client(bridge, reason);
    return;
  }
  if (g_strcmp0(method, kListenMethod) == 0) {
    g_hash_table_insert(self->listening, g_strdup(channel), fl_value_ref(args));
  } else if (g_strcmp0(method, kCancelMethod) == 0) {
    g_hash_table_remove(self->listening, channel);
  }
  g_autoptr(FlBridgeMessenger) keep = FL_BRIDGE_MESSENGER(g_object_ref(self));
  dispatch(self, connection, id, channel, payload);
}

static void on_reply_cb(FlUiBridge* bridge,
                        guint64 connection,
                        guint32 id,
                        GBytes* payload,
                        gpointer user_data) {
  FlBridgeMessenger* self = FL_BRIDGE_MESSENGER(user_data);
  (void)connection;
  if (g_bytes_get_size(payload) > 0) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlMethodResponse) response =
        fl_method_codec_decode_response(self->codec, payload, &error);
    if (response == nullptr) {
      g_autofree gchar* reason =
          g_strdup_printf("undecodable reply payload (id %u): %s", id, error->message);
      fl_ui_bridge_close_client(bridge, reason);
      return;
    }
  }
  gpointer task = nullptr;
  if (!g_hash_table_steal_extended(self->pending, GUINT_TO_POINTER(id), nullptr, &task)) {
    // A reply nobody waits for (unknown id): nothing to deliver.
    return;
  }
  if (task != nullptr) {
    g_task_return_pointer(G_TASK(task), g_bytes_ref(payload),
                          reinterpret_cast<GDestroyNotify>(g_bytes_unref));
    g_object_unref(task);
  }
}

static void on_client_changed_cb(FlUiBridge* bridge,
                                 guint64 connection,
                                 gboolean connected,
                                 gpointer user_data) {
  FlBridgeMessenger* self = FL_BRIDGE_MESSENGER(user_data);
  (void)bridge;
  g_autoptr(FlBridgeMessenger) keep = FL_BRIDGE_MESSENGER(g_object_ref(self));
  if (!connected) {
    fail_pending(self, "The UI connection was closed");
    cancel_streams(self, connection);
  }
  emit_state_changed(self);
}

// Local wall-clock time of @unix_ms as "HH:MM:SS".
static gchar* wall_clock_text(gint64 unix_ms) {
  g_autoptr(GDateTime) time = g_date_time_new_from_unix_local(unix_ms / 1000);
  return time != nullptr ? g_date_time_format(time, "%H:%M:%S") : g_strdup("--:--:--");
}

// An event's value as text for a person. A map's "timestamp" (milliseconds since the epoch)
// says when it happened: it goes to @time_ms instead of the text.
static gchar* event_value_text(FlValue* value, gint64* time_ms) {
  if (fl_value_get_type(value) != FL_VALUE_TYPE_MAP) {
    return fl_value_to_string(value);
  }
  g_autoptr(FlValue) shown = fl_value_new_map();
  for (size_t i = 0; i < fl_value_get_length(value); i++) {
    FlValue* key = fl_value_get_map_key(value, i);
    FlValue* entry = fl_value_get_map_value(value, i);
    if (fl_value_get_type(key) == FL_VALUE_TYPE_STRING &&
        g_strcmp0(fl_value_get_string(key), kTimestampKey) == 0 &&
        fl_value_get_type(entry) == FL_VALUE_TYPE_INT) {
      *time_ms = fl_value_get_int(entry);
      continue;
    }
    fl_value_set(shown, key, entry);
  }
  return fl_value_to_string(shown);
}

// Keeps the text of an event sent to the UI for the view, with the local time it happened.
static void record_event(FlBridgeMessenger* self, const gchar* channel, GBytes* message) {
  gint64 time_ms = g_get_real_time() / 1000;
  g_autofree gchar* text = nullptr;
  if (message == nullptr || g_bytes_get_size(message) == 0) {
    text = g_strdup("end of stream");
  } else {
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlMethodResponse) response =
        fl_method_codec_decode_response(self->codec, message, &error);
    if (response == nullptr) {
      text = g_strdup_printf("(undecodable: %s)", error->message);
    } else if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
      text = event_value_text(
          fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response)), &time_ms);
    } else if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
      FlMethodErrorResponse* error_response = FL_METHOD_ERROR_RESPONSE(response);
      const gchar* error_message = fl_method_error_response_get_message(error_response);
      text = g_strdup_printf("error %s: %s", fl_method_error_response_get_code(error_response),
                             error_message != nullptr ? error_message : "");
    } else {
      text = g_strdup("end of stream");
    }
  }
  if (!g_utf8_validate(text, -1, nullptr)) {
    gchar* valid = g_utf8_make_valid(text, -1);
    g_free(text);
    text = valid;
  }
  // A line on the screen, not a dump: long events are cut.
  if (g_utf8_validate(text, -1, nullptr) && g_utf8_strlen(text, -1) > kMaxEventText) {
    g_autofree gchar* head = g_utf8_substring(text, 0, kMaxEventText);
    g_free(text);
    text = g_strconcat(head, "\u2026", nullptr);
  }
  g_autofree gchar* clock = wall_clock_text(time_ms);
  g_ptr_array_add(self->recent_events, g_strdup_printf("%s  %s: %s", clock, channel, text));
  while (self->recent_events->len > FL_BRIDGE_MESSENGER_RECENT_EVENTS) {
    g_ptr_array_remove_index(self->recent_events, 0);
  }
  emit_state_changed(self);
}

static void set_message_handler_on_channel(FlBinaryMessenger* messenger,
                                           const gchar* channel,
                                           FlBinaryMessengerMessageHandler handler,
                                           gpointer user_data,
                                           GDestroyNotify destroy_notify) {
  FlBridgeMessenger* self = FL_BRIDGE_MESSENGER(messenger);
  // Take the old handler out before its destroy_notify runs: that may call back in here.
  gpointer old_key = nullptr;
  gpointer old = nullptr;
  if (g_hash_table_steal_extended(self->handlers, channel, &old_key, &old)) {
    g_free(old_key);
  }
  if (handler != nullptr && !self->shut_down) {
    Handler* entry = g_new0(Handler, 1);
    entry->handler = handler;
    entry->user_data = user_data;
    entry->destroy_notify = destroy_notify;
    g_hash_table_insert(self->handlers, g_strdup(channel), entry);
  } else if (handler != nullptr && destroy_notify != nullptr) {
    // Nothing is delivered after shut-down; release the data at once.
    destroy_notify(user_data);
  }
  if (old != nullptr) {
    handler_free(old);
  }
}

// Answers from other threads are carried to the main context.
struct ReplyData {
  FlBridgeMessenger* messenger;
  guint64 connection;
  guint32 id;
  GBytes* payload;
};

static void reply_data_free(ReplyData* data) {
  g_object_unref(data->messenger);
  if (data->payload != nullptr) {
    g_bytes_unref(data->payload);
  }
  g_free(data);
}

// Sends, on the main thread, every answer handed over by other threads, in their order.
static gboolean send_cross_thread_replies_cb(gpointer user_data) {
  FlBridgeMessenger* self = FL_BRIDGE_MESSENGER(user_data);
  std::deque<ReplyData*> replies;
  {
    std::lock_guard<std::mutex> lock(self->cross_thread_replies->mutex);
    replies.swap(self->cross_thread_replies->queue);
  }
  for (ReplyData* data : replies) {
    send_reply(data->messenger, data->connection, data->id, data->payload);
    reply_data_free(data);
  }
  return G_SOURCE_CONTINUE;
}

// Dispatches once per wake-up: the source sleeps again until the next answer sets it ready.
static gboolean reply_source_dispatch(GSource* source, GSourceFunc callback, gpointer user_data) {
  g_source_set_ready_time(source, -1);
  return callback(user_data);
}

static GSourceFuncs reply_source_funcs = {nullptr, nullptr, reply_source_dispatch,
                                          nullptr, nullptr, nullptr};

static gboolean send_response(FlBinaryMessenger* messenger,
                              FlBinaryMessengerResponseHandle* response_handle,
                              GBytes* response,
                              GError** error) {
  FlBridgeMessenger* self = FL_BRIDGE_MESSENGER(messenger);
  g_return_val_if_fail(FL_IS_BRIDGE_RESPONSE_HANDLE(response_handle), FALSE);
  if (!fl_binary_messenger_response_handle_mark_responded(response_handle, error)) {
    return FALSE;
  }
  FlBridgeResponseHandle* handle = FL_BRIDGE_RESPONSE_HANDLE(response_handle);
  if (g_thread_self() == self->main_thread) {
    send_reply(self, handle->connection, handle->id, response);
    return TRUE;
  }
  // From another thread the answer is carried to the main loop; the bridge is not shared.
  ReplyData* data = g_new0(ReplyData, 1);
  data->messenger = FL_BRIDGE_MESSENGER(g_object_ref(self));
  data->connection = handle->connection;
  data->id = handle->id;
  data->payload = response != nullptr ? g_bytes_ref(response) : nullptr;
  {
    std::lock_guard<std::mutex> lock(self->cross_thread_replies->mutex);
    self->cross_thread_replies->queue.push_back(data);
  }
  g_source_set_ready_time(self->reply_source, 0);
  return TRUE;
}

// Delivers the host's messages queued for the in-process UI, in order.
static gboolean deliver_to_ui_cb(gpointer user_data) {
  FlBridgeMessenger* self = FL_BRIDGE_MESSENGER(user_data);
  g_autoptr(FlBridgeMessenger) keep = FL_BRIDGE_MESSENGER(g_object_ref(self));
  self->ui_delivery_source = 0;
  UiDelivery* delivery;
  while ((delivery = static_cast<UiDelivery*>(g_queue_pop_head(self->ui_deliveries))) != nullptr) {
    // Looked up now: the UI may have stopped listening since the message was queued.
    UiHandler* handler =
        static_cast<UiHandler*>(g_hash_table_lookup(self->ui_handlers, delivery->channel));
    g_autoptr(GBytes) reply = nullptr;
    if (handler != nullptr) {
      reply = handler->handler(self, delivery->channel, delivery->message, handler->user_data);
    }
    if (delivery->task != nullptr) {
      g_task_return_pointer(delivery->task,
                            reply != nullptr ? g_bytes_ref(reply) : g_bytes_new(nullptr, 0),
                            reinterpret_cast<GDestroyNotify>(g_bytes_unref));
    }
    ui_delivery_free(delivery);
  }
  return G_SOURCE_REMOVE;
}

// Queues a message for the in-process UI when it handles @channel. Returns FALSE when it
// does not.
static gboolean queue_ui_delivery(FlBridgeMessenger* self,
                                  const gchar* channel,
                                  GBytes* message,
                                  GTask* task) {
  if (self->shut_down || !g_hash_table_contains(self->ui_handlers, channel)) {
    return FALSE;
  }
  UiDelivery* delivery = g_new0(UiDelivery, 1);
  delivery->channel = g_strdup(channel);
  delivery->message = message != nullptr ? g_bytes_ref(message) : nullptr;
  delivery->task = task != nullptr ? G_TASK(g_object_ref(task)) : nullptr;
  g_queue_push_tail(self->ui_deliveries, delivery);
  if (self->ui_delivery_source == 0) {
    self->ui_delivery_source = g_idle_add_full(G_PRIORITY_DEFAULT, deliver_to_ui_cb, self, nullptr);
  }
  return TRUE;
}

static void send_on_channel(FlBinaryMessenger* messenger,
                            const gchar* channel,
                            GBytes* message,
                            GCancellable* cancellable,
                            GAsyncReadyCallback callback,
                            gpointer user_data) {
  FlBridgeMessenger* self = FL_BRIDGE_MESSENGER(messenger);
  g_autoptr(GTask) task =
      callback != nullptr ? g_task_new(self, cancellable, callback, user_data) : nullptr;
  // Kind, id, channel name length, channel name: the UI refuses frames beyond the limit.
  gsize frame_size = 7 + strlen(channel) + (message != nullptr ? g_bytes_get_size(message) : 0);
  if (frame_size > FL_UI_BRIDGE_MAX_FRAME) {
    if (task != nullptr) {
      g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_MESSAGE_TOO_LARGE,
                              "A message of %" G_GSIZE_FORMAT " bytes on %s exceeds the limit",
                              frame_size, channel);
    }
    return;
  }
  guint32 id = 0;
  if (self->bridge == nullptr || !fl_ui_bridge_send_message(self->bridge, channel, message, &id)) {
    if (queue_ui_delivery(self, channel, message, task)) {
      // The in-process UI's events are the host's as much as a client's are.
      record_event(self, channel, message);
      return;
    }
    if (task != nullptr) {
      g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_NOT_CONNECTED,
                              "No UI is connected to receive a message on %s", channel);
    }
    return;
  }
  g_hash_table_insert(self->pending, GUINT_TO_POINTER(id),
                      task != nullptr ? g_object_ref(task) : nullptr);
  if (g_hash_table_contains(self->listening, channel)) {
    record_event(self, channel, message);
  }
}

static GBytes* send_on_channel_finish(FlBinaryMessenger* messenger,
                                      GAsyncResult* result,
                                      GError** error) {
  g_return_val_if_fail(g_task_is_valid(result, messenger), nullptr);
  return static_cast<GBytes*>(g_task_propagate_pointer(G_TASK(result), error));
}

// The UI side has no channel buffers to resize or warn about.
static void resize_channel(FlBinaryMessenger* messenger, const gchar* channel, int64_t new_size) {
  (void)messenger;
  (void)channel;
  (void)new_size;
}

static void set_warns_on_channel_overflow(FlBinaryMessenger* messenger,
                                          const gchar* channel,
                                          bool warns) {
  (void)messenger;
  (void)channel;
  (void)warns;
}

static void shutdown_messenger(FlBinaryMessenger* messenger) {
  FlBridgeMessenger* self = FL_BRIDGE_MESSENGER(messenger);
  if (self->shut_down) {
    return;
  }
  self->shut_down = TRUE;
  if (self->bridge != nullptr) {
    // Stopping ends the connection, which fails pending sends and cancels open streams while
    // the handlers are still there to hear it.
    fl_ui_bridge_stop(self->bridge);
  }
  fail_pending(self, "The messenger was shut down");
  fail_tasks(self->ui_pending, "The messenger was shut down");
  g_clear_handle_id(&self->ui_delivery_source, g_source_remove);
  UiDelivery* delivery;
  while ((delivery = static_cast<UiDelivery*>(g_queue_pop_head(self->ui_deliveries))) != nullptr) {
    if (delivery->task != nullptr) {
      g_task_return_new_error(delivery->task, G_IO_ERROR, G_IO_ERROR_CLOSED,
                              "The messenger was shut down");
    }
    ui_delivery_free(delivery);
  }
  g_hash_table_remove_all(self->ui_handlers);
  g_autoptr(GHashTable) handlers = self->handlers;
  self->handlers = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, handler_free);
  g_hash_table_remove_all(handlers);
}

static void fl_bridge_messenger_iface_init(FlBinaryMessengerInterface* iface) {
  iface->set_message_handler_on_channel = set_message_handler_on_channel;
  iface->send_response = send_response;
  iface->send_on_channel = send_on_channel;
  iface->send_on_channel_finish = send_on_channel_finish;
  iface->resize_channel = resize_channel;
  iface->set_warns_on_channel_overflow = set_warns_on_channel_overflow;
  iface->shutdown = shutdown_messenger;
}

static void fl_bridge_messenger_dispose(GObject* object) {
  FlBridgeMessenger* self = FL_BRIDGE_MESSENGER(object);
  shutdown_messenger(FL_BINARY_MESSENGER(self));
  g_clear_object(&self->bridge);
  G_OBJECT_CLASS(fl_bridge_messenger_parent_class)->dispose(object);
}

static void fl_bridge_messenger_finalize(GObject* object) {
  FlBridgeMessenger* self = FL_BRIDGE_MESSENGER(object);
  g_clear_object(&self->codec);
  g_clear_pointer(&self->entrypoint_args, g_strfreev);
  g_clear_pointer(&self->handlers, g_hash_table_unref);
  g_clear_pointer(&self->pending, g_hash_table_unref);
  g_clear_pointer(&self->listening, g_hash_table_unref);
  g_clear_pointer(&self->recent_events, g_ptr_array_unref);
  g_clear_pointer(&self->ui_handlers, g_hash_table_unref);
  g_clear_pointer(&self->ui_pending, g_hash_table_unref);
  if (self->ui_deliveries != nullptr) {
    g_queue_free_full(self->ui_deliveries, ui_delivery_free);
    self->ui_deliveries = nullptr;
  }
  // Every waiting answer holds a reference, so none is left once finalizing.
  g_source_destroy(self->reply_source);
  g_clear_pointer(&self->reply_source, g_source_unref);
  delete self->cross_thread_replies;
  self->cross_thread_replies = nullptr;
  G_OBJECT_CLASS(fl_bridge_messenger_parent_class)->finalize(object);
}

static void fl_bridge_messenger_class_init(FlBridgeMessengerClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_bridge_messenger_dispose;
  G_OBJECT_CLASS(klass)->finalize = fl_bridge_messenger_finalize;
  fl_bridge_messenger_signals[SIGNAL_STATE_CHANGED] =
      g_signal_new("state-changed", fl_bridge_messenger_get_type(), G_SIGNAL_RUN_LAST, 0, nullptr,
                   nullptr, nullptr, G_TYPE_NONE, 0);
}

static void fl_bridge_messenger_init(FlBridgeMessenger* self) {
  self->codec = FL_METHOD_CODEC(fl_standard_method_codec_new());
  self->handlers = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, handler_free);
  self->pending = g_hash_table_new_full(g_direct_hash, g_direct_equal, nullptr, task_free);
  self->listening =
      g_hash_table_new_full(g_str_hash, g_str_equal, g_free, (GDestroyNotify)fl_value_unref);
  self->recent_events = g_ptr_array_new_with_free_func(g_free);
  self->ui_handlers = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, ui_handler_free);
  self->ui_pending = g_hash_table_new_full(g_direct_hash, g_direct_equal, nullptr, task_free);
  self->next_ui_id = 1;
  self->ui_deliveries = g_queue_new();
  self->main_thread = g_thread_self();
  self->cross_thread_replies = new CrossThreadReplies();
  self->reply_source = g_source_new(&reply_source_funcs, sizeof(GSource));
  g_source_set_priority(self->reply_source, G_PRIORITY_DEFAULT);
  g_source_set_callback(self->reply_source, send_cross_thread_replies_cb, self, nullptr);
  g_source_set_ready_time(self->reply_source, -1);
  g_source_attach(self->reply_source, nullptr);
}

FlBridgeMessenger* fl_bridge_messenger_new() {
  return FL_BRIDGE_MESSENGER(g_object_new(fl_bridge_messenger_get_type(), nullptr));
}

gboolean fl_bridge_messenger_start(FlBridgeMessenger* self,
                                   const gchar* socket_path,
                                   gchar** entrypoint_args,
                                   GError** error) {
  g_return_val_if_fail(FL_IS_BRIDGE_MESSENGER(self), FALSE);
  g_return_val_if_fail(self->bridge == nullptr, FALSE);
  g_return_val_if_fail(!self->shut_down, FALSE);
  static const FlUiBridgeCallbacks callbacks = {build_hello_cb, on_message_cb, on_reply_cb,
                                                on_client_changed_cb};
  g_clear_pointer(&self->entrypoint_args, g_strfreev);
  self->entrypoint_args = g_strdupv(entrypoint_args);
  g_autoptr(FlUiBridge) bridge = fl_ui_bridge_new(&callbacks, self);
  if (!fl_ui_bridge_start(bridge, socket_path, error)) {
    return FALSE;
  }
  self->bridge = FL_UI_BRIDGE(g_steal_pointer(&bridge));
  emit_state_changed(self);
  return TRUE;
}

const gchar* fl_bridge_messenger_get_socket_path(FlBridgeMessenger* self) {
  g_return_val_if_fail(FL_IS_BRIDGE_MESSENGER(self), nullptr);
  return self->bridge != nullptr ? fl_ui_bridge_get_socket_path(self->bridge) : nullptr;
}

gboolean fl_bridge_messenger_has_client(FlBridgeMessenger* self) {
  g_return_val_if_fail(FL_IS_BRIDGE_MESSENGER(self), FALSE);
  return self->bridge != nullptr && fl_ui_bridge_get_connection(self->bridge) != 0;
}

GPtrArray* fl_bridge_messenger_get_recent_events(FlBridgeMessenger* self) {
  g_return_val_if_fail(FL_IS_BRIDGE_MESSENGER(self), nullptr);
  return self->recent_events;
}

void fl_bridge_messenger_set_ui_handler(FlBridgeMessenger* self,
                                        const gchar* channel,
                                        FlBridgeMessengerUiHandler handler,
                                        gpointer user_data,
                                        GDestroyNotify destroy_notify) {
  g_return_if_fail(FL_IS_BRIDGE_MESSENGER(self));
  g_return_if_fail(channel != nullptr);
  // Take the old handler out before its destroy_notify runs: that may call back in here.
  gpointer old_key = nullptr;
  gpointer old = nullptr;
  if (g_hash_table_steal_extended(self->ui_handlers, channel, &old_key, &old)) {
    g_free(old_key);
  }
  if (handler != nullptr && !self->shut_down) {
    UiHandler* entry = g_new0(UiHandler, 1);
    entry->handler = handler;
    entry->user_data = user_data;
    entry->destroy_notify = destroy_notify;
    g_hash_table_insert(self->ui_handlers, g_strdup(channel), entry);
  } else if (handler != nullptr && destroy_notify != nullptr) {
    destroy_notify(user_data);
  }
  if (old != nullptr) {
    ui_handler_free(old);
  }
}

void fl_bridge_messenger_send_from_ui(FlBridgeMessenger* self,
                                      const gchar* channel,
                                      GBytes* message,
                                      GCancellable* cancellable,
                                      GAsyncReadyCallback callback,
                                      gpointer user_data) {
  g_return_if_fail(FL_IS_BRIDGE_MESSENGER(self));
  g_return_if_fail(channel != nullptr);
  g_autoptr(GTask) task = g_task_new(self, cancellable, callback, user_data);
  if (self->shut_down) {
    g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_CLOSED, "The messenger was shut down");
    return;
  }
  guint32 id = self->next_ui_id++;
  if (self->next_ui_id == 0) {
    self->next_ui_id = 1;
  }
  g_hash_table_insert(self->ui_pending, GUINT_TO_POINTER(id), g_object_ref(task));
  g_autoptr(GBytes) payload = message != nullptr ? g_bytes_ref(message) : g_bytes_new(nullptr, 0);
  g_autoptr(FlBridgeMessenger) keep = FL_BRIDGE_MESSENGER(g_object_ref(self));
  // Handled at once, as a client's frame is: the host sees the UI's messages in the order sent.
  dispatch(self, kUiConnection, id, channel, payload);
}

GBytes* fl_bridge_messenger_send_from_ui_finish(FlBridgeMessenger* self,
                                                GAsyncResult* result,
                                                GError** error) {
  g_return_val_if_fail(g_task_is_valid(result, self), nullptr);
  return static_cast<GBytes*>(g_task_propagate_pointer(G_TASK(result), error));
}
