#include "tests/support/mock_messenger.h"

#include <string.h>

#include <map>
#include <mutex>

namespace {

// Longest a test waits for the code under test before giving up (a safety net, not a timing
// expectation).
constexpr gint64 kWaitLimitUs = 10 * G_USEC_PER_SEC;

constexpr uint8_t kEnvelopeSuccess = 0x00;
constexpr uint8_t kEnvelopeError = 0x01;

// What the mock knows about one message it delivered.
struct CallRecord {
  // Answers attempted, accepted or not.
  int response_count = 0;
  // Set by the first accepted answer (copied into reply).
  bool replied = false;
  GBytes* reply = nullptr;
  // Set when the handle was freed unanswered: no reply will ever come.
  bool dropped = false;
  FlMockReplyCallback callback = nullptr;
  gpointer user_data = nullptr;
};

struct Handler {
  FlBinaryMessengerMessageHandler handler = nullptr;
  gpointer user_data = nullptr;
  GDestroyNotify destroy_notify = nullptr;
};

void bytes_unref(GBytes* bytes) {
  if (bytes != nullptr) {
    g_bytes_unref(bytes);
  }
}

std::shared_ptr<GBytes> share_bytes(GBytes* bytes) {
  return std::shared_ptr<GBytes>(bytes, bytes_unref);
}

GBytes* empty_bytes() {
  return g_bytes_new(nullptr, 0);
}

}  // namespace

// State touched by answers from other threads lives behind the mutex.
struct MockState {
  std::mutex mutex;
  guint next_call_id = 1;
  std::map<guint, CallRecord> calls;
  std::map<std::string, Handler> handlers;
  std::map<std::string, std::vector<std::shared_ptr<GBytes>>> messages;
  std::map<std::string, std::shared_ptr<GBytes>> dart_replies;
  // Answers are lost without a reason (fl_mock_binary_messenger_set_answers_lost).
  bool answers_lost = false;
};

struct _FlMockBinaryMessenger {
  GObject parent_instance;

  // Where replies are delivered and waits iterate.
  GMainContext* context;
  MockState* state;
};

static void fl_mock_binary_messenger_iface_init(FlBinaryMessengerInterface* iface);

G_DEFINE_TYPE_WITH_CODE(FlMockBinaryMessenger,
                        fl_mock_binary_messenger,
                        G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_binary_messenger_get_type(),
                                              fl_mock_binary_messenger_iface_init))

// The handle of one delivered message.
G_DECLARE_FINAL_TYPE(FlMockResponseHandle,
                     fl_mock_response_handle,
                     FL,
                     MOCK_RESPONSE_HANDLE,
                     FlBinaryMessengerResponseHandle)

struct _FlMockResponseHandle {
  FlBinaryMessengerResponseHandle parent_instance;

  FlMockBinaryMessenger* messenger;
  guint call_id;
  // Set atomically by the first answer (answers may come from any thread).
  gint responded;
};

G_DEFINE_TYPE(FlMockResponseHandle,
              fl_mock_response_handle,
              fl_binary_messenger_response_handle_get_type())

static void fl_mock_response_handle_dispose(GObject* object) {
  FlMockResponseHandle* self = FL_MOCK_RESPONSE_HANDLE(object);
  if (self->messenger != nullptr) {
    if (!g_atomic_int_get(&self->responded)) {
      {
        std::lock_guard<std::mutex> lock(self->messenger->state->mutex);
        self->messenger->state->calls[self->call_id].dropped = true;
      }
      g_critical("FlBinaryMessengerResponseHandle was not responded to");
    }
    g_clear_object(&self->messenger);
  }
  G_OBJECT_CLASS(fl_mock_response_handle_parent_class)->dispose(object);
}

static void fl_mock_response_handle_class_init(FlMockResponseHandleClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_mock_response_handle_dispose;
}

static void fl_mock_response_handle_init(FlMockResponseHandle*) {}

namespace {

struct Delivery {
  FlMockBinaryMessenger* messenger;
  guint call_id;
};

// Runs on the main context: hands a reply to the callback of its call.
gboolean deliver_reply_cb(gpointer user_data) {
  Delivery* delivery = static_cast<Delivery*>(user_data);
  MockState* state = delivery->messenger->state;
  FlMockReplyCallback callback = nullptr;
  gpointer callback_data = nullptr;
  GBytes* reply = nullptr;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    CallRecord& record = state->calls[delivery->call_id];
    callback = record.callback;
    callback_data = record.user_data;
    record.callback = nullptr;
    reply = record.reply != nullptr ? g_bytes_ref(record.reply) : nullptr;
  }
  if (callback != nullptr && reply != nullptr) {
    callback(reply, callback_data);
  }
  bytes_unref(reply);
  return G_SOURCE_REMOVE;
}

void delivery_free(gpointer user_data) {
  Delivery* delivery = static_cast<Delivery*>(user_data);
  g_object_unref(delivery->messenger);
  delete delivery;
}

// Records the first answer of @call_id and schedules its delivery on the main context.
void complete_call(FlMockBinaryMessenger* self, guint call_id, GBytes* reply) {
  {
    std::lock_guard<std::mutex> lock(self->state->mutex);
    CallRecord& record = self->state->calls[call_id];
    record.replied = true;
    record.reply = reply != nullptr ? g_bytes_ref(reply) : empty_bytes();
  }
  GSource* source = g_idle_source_new();
  g_source_set_callback(source, deliver_reply_cb,
                        new Delivery{FL_MOCK_BINARY_MESSENGER(g_object_ref(self)), call_id},
                        delivery_free);
  g_source_attach(source, self->context);
  g_source_unref(source);
  g_main_context_wakeup(self->context);
}

void drop_handler(Handler handler) {
  if (handler.destroy_notify != nullptr) {
    handler.destroy_notify(handler.user_data);
  }
}

// Encodes a standard method call: the name as a string value, then the arguments.
GBytes* encode_method_call(const gchar* method, FlValue* args) {
  g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
  g_autoptr(GByteArray) buffer = g_byte_array_new();
  g_autoptr(FlValue) name = fl_value_new_string(method);
  g_autoptr(GError) error = nullptr;
  if (!fl_standard_message_codec_write_value(codec, buffer, name, &error) ||
      !fl_standard_message_codec_write_value(codec, buffer, args, &error)) {
    g_error("Mock messenger cannot encode call %s: %s", method, error->message);
  }
  return g_byte_array_free_to_bytes(static_cast<GByteArray*>(g_steal_pointer(&buffer)));
}

// Reads one value at *@offset; fills @error on failure.
FlValue* read_value(FlStandardMessageCodec* codec,
                    GBytes* message,
                    size_t* offset,
                    GError** error) {
  return fl_standard_message_codec_read_value(codec, message, offset, error);
}

// Decodes a standard envelope: success, error or (empty) nothing, like the Dart side does.
// Returns: (transfer full) the response, or NULL with @error set.
FlMethodResponse* decode_envelope(GBytes* message, GError** error) {
  size_t length = g_bytes_get_size(message);
  if (length == 0) {
    return FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  }
  g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
  uint8_t envelope = static_cast<const uint8_t*>(g_bytes_get_data(message, nullptr))[0];
  size_t offset = 1;
  g_autoptr(FlMethodResponse) response = nullptr;
  if (envelope == kEnvelopeSuccess) {
    g_autoptr(FlValue) result = read_value(codec, message, &offset, error);
    if (result == nullptr) {
      return nullptr;
    }
    response = FL_METHOD_RESPONSE(fl_method_success_response_new(result));
  } else if (envelope == kEnvelopeError) {
    g_autoptr(FlValue) code = read_value(codec, message, &offset, error);
    if (code == nullptr) {
      return nullptr;
    }
    g_autoptr(FlValue) text = read_value(codec, message, &offset, error);
    if (text == nullptr) {
      return nullptr;
    }
    g_autoptr(FlValue) details = read_value(codec, message, &offset, error);
    if (details == nullptr) {
      return nullptr;
    }
    if (fl_value_get_type(code) != FL_VALUE_TYPE_STRING ||
        (fl_value_get_type(text) != FL_VALUE_TYPE_STRING &&
         fl_value_get_type(text) != FL_VALUE_TYPE_NULL)) {
      g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                  "Mock messenger: malformed error envelope");
      return nullptr;
    }
    response = FL_METHOD_RESPONSE(fl_method_error_response_new(
        fl_value_get_string(code),
        fl_value_get_type(text) == FL_VALUE_TYPE_STRING ? fl_value_get_string(text) : nullptr,
        fl_value_get_type(details) == FL_VALUE_TYPE_NULL ? nullptr : details));
  } else {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Mock messenger: unknown envelope %02x", envelope);
    return nullptr;
  }
  if (offset != length) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Mock messenger: %zu bytes after the envelope", length - offset);
    return nullptr;
  }
  return static_cast<FlMethodResponse*>(g_steal_pointer(&response));
}

struct MethodCallbackData {
  FlMockMethodResponseCallback callback;
  gpointer user_data;
};

void method_reply_cb(GBytes* reply, gpointer user_data) {
  std::unique_ptr<MethodCallbackData> data(static_cast<MethodCallbackData*>(user_data));
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlMethodResponse) response = decode_envelope(reply, &error);
  data->callback(response, error, data->user_data);
}

}  // namespace

MockValuePtr fl_mock_value_take(FlValue* value) {
  return MockValuePtr(value, [](FlValue* v) {
    if (v != nullptr) {
      fl_value_unref(v);
    }
  });
}

namespace {

// " error <code>[: <message>][ <details>]" without the leading space.
std::string error_to_string(const std::string& code,
                            const std::optional<std::string>& message,
                            FlValue* details) {
  std::string text = "error " + code;
  if (message) {
    text += ": " + *message;
  }
  if (details != nullptr) {
    g_autofree gchar* rendered = fl_value_to_string(details);
    text += std::string(" ") + rendered;
  }
  return text;
}

}  // namespace

std::string fl_mock_response_to_string(FlMethodResponse* response) {
  if (response == nullptr) {
    return "none";
  }
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    g_autofree gchar* text = fl_value_to_string(
        fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response)));
    return std::string("success ") + text;
  }
  if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* failure = FL_METHOD_ERROR_RESPONSE(response);
    const gchar* message = fl_method_error_response_get_message(failure);
    return error_to_string(fl_method_error_response_get_code(failure),
                           message != nullptr ? std::optional<std::string>(message) : std::nullopt,
                           fl_method_error_response_get_details(failure));
  }
  return "not implemented";
}

std::string fl_mock_event_to_string(const FlMockEvent& event) {
  switch (event.kind) {
    case FlMockEventKind::kValue: {
      g_autofree gchar* text = fl_value_to_string(event.value.get());
      return std::string("value ") + text;
    }
    case FlMockEventKind::kError:
      return error_to_string(event.code, event.message, event.details.get());
    case FlMockEventKind::kEndOfStream:
      return "end";
    case FlMockEventKind::kUndecodable:
      break;
  }
  return "undecodable";
}

// The messenger interface, as the code under test sees it.

static void mock_set_message_handler_on_channel(FlBinaryMessenger* messenger,
                                                const gchar* channel,
                                                FlBinaryMessengerMessageHandler handler,
                                                gpointer user_data,
                                                GDestroyNotify destroy_notify) {
  FlMockBinaryMessenger* self = FL_MOCK_BINARY_MESSENGER(messenger);
  Handler old;
  {
    std::lock_guard<std::mutex> lock(self->state->mutex);
    auto it = self->state->handlers.find(channel);
    if (it != self->state->handlers.end()) {
      old = it->second;
      self->state->handlers.erase(it);
    }
    if (handler != nullptr) {
      self->state->handlers[channel] = Handler{handler, user_data, destroy_notify};
    }
  }
  // Outside the lock: the notify may call back into the messenger.
  drop_handler(old);
}

static gboolean mock_send_response(FlBinaryMessenger* messenger,
                                   FlBinaryMessengerResponseHandle* response_handle,
                                   GBytes* response,
                                   GError** error) {
  FlMockBinaryMessenger* self = FL_MOCK_BINARY_MESSENGER(messenger);
  g_return_val_if_fail(FL_IS_MOCK_RESPONSE_HANDLE(response_handle), FALSE);
  FlMockResponseHandle* handle = FL_MOCK_RESPONSE_HANDLE(response_handle);
  bool lost;
  {
    std::lock_guard<std::mutex> lock(self->state->mutex);
    self->state->calls[handle->call_id].response_count++;
    lost = self->state->answers_lost;
  }
  if (!g_atomic_int_compare_and_exchange(&handle->responded, 0, 1)) {
    g_set_error(error, FL_BINARY_MESSENGER_ERROR, FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED,
                "Attempted to respond to a message that is already responded to");
    return FALSE;
  }
  if (lost) {
    // Allowed by the interface, if unkind: a failure that leaves the GError unset.
    return FALSE;
  }
  complete_call(self, handle->call_id, response);
  return TRUE;
}

static void mock_send_on_channel(FlBinaryMessenger* messenger,
                                 const gchar* channel,
                                 GBytes* message,
                                 GCancellable* cancellable,
                                 GAsyncReadyCallback callback,
                                 gpointer user_data) {
  FlMockBinaryMessenger* self = FL_MOCK_BINARY_MESSENGER(messenger);
  std::shared_ptr<GBytes> reply;
  {
    std::lock_guard<std::mutex> lock(self->state->mutex);
    self->state->messages[channel].push_back(
        share_bytes(message != nullptr ? g_bytes_ref(message) : empty_bytes()));
    auto it = self->state->dart_replies.find(channel);
    if (it != self->state->dart_replies.end()) {
      reply = it->second;
    }
  }
  if (callback == nullptr) {
    return;
  }
  g_autoptr(GTask) task = g_task_new(self, cancellable, callback, user_data);
  g_task_return_pointer(task, reply ? g_bytes_ref(reply.get()) : empty_bytes(),
                        reinterpret_cast<GDestroyNotify>(g_bytes_unref));
}

static GBytes* mock_send_on_channel_finish(FlBinaryMessenger* messenger,
                                           GAsyncResult* result,
                                           GError** error) {
  g_return_val_if_fail(g_task_is_valid(result, messenger), nullptr);
  return static_cast<GBytes*>(g_task_propagate_pointer(G_TASK(result), error));
}

static void mock_shutdown(FlBinaryMessenger* messenger) {
  FlMockBinaryMessenger* self = FL_MOCK_BINARY_MESSENGER(messenger);
  std::map<std::string, Handler> handlers;
  {
    std::lock_guard<std::mutex> lock(self->state->mutex);
    handlers.swap(self->state->handlers);
  }
  for (auto& entry : handlers) {
    drop_handler(entry.second);
  }
}

static void fl_mock_binary_messenger_iface_init(FlBinaryMessengerInterface* iface) {
  iface->set_message_handler_on_channel = mock_set_message_handler_on_channel;
  iface->send_response = mock_send_response;
  iface->send_on_channel = mock_send_on_channel;
  iface->send_on_channel_finish = mock_send_on_channel_finish;
  iface->shutdown = mock_shutdown;
}

static void fl_mock_binary_messenger_dispose(GObject* object) {
  FlMockBinaryMessenger* self = FL_MOCK_BINARY_MESSENGER(object);
  if (self->state != nullptr) {
    mock_shutdown(FL_BINARY_MESSENGER(self));
  }
  G_OBJECT_CLASS(fl_mock_binary_messenger_parent_class)->dispose(object);
}

static void fl_mock_binary_messenger_finalize(GObject* object) {
  FlMockBinaryMessenger* self = FL_MOCK_BINARY_MESSENGER(object);
  for (auto& entry : self->state->calls) {
    bytes_unref(entry.second.reply);
    // A method call never answered still owns its callback data.
    if (entry.second.callback == method_reply_cb) {
      delete static_cast<MethodCallbackData*>(entry.second.user_data);
    }
  }
  delete self->state;
  g_main_context_unref(self->context);
  G_OBJECT_CLASS(fl_mock_binary_messenger_parent_class)->finalize(object);
}

static void fl_mock_binary_messenger_class_init(FlMockBinaryMessengerClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_mock_binary_messenger_dispose;
  G_OBJECT_CLASS(klass)->finalize = fl_mock_binary_messenger_finalize;
}

static void fl_mock_binary_messenger_init(FlMockBinaryMessenger* self) {
  self->context = g_main_context_ref_thread_default();
  self->state = new MockState();
}

// The test's side.

FlMockBinaryMessenger* fl_mock_binary_messenger_new() {
  return FL_MOCK_BINARY_MESSENGER(g_object_new(fl_mock_binary_messenger_get_type(), nullptr));
}

bool fl_mock_binary_messenger_has_handler(FlMockBinaryMessenger* self, const gchar* channel) {
  std::lock_guard<std::mutex> lock(self->state->mutex);
  return self->state->handlers.count(channel) > 0;
}

guint fl_mock_binary_messenger_send(FlMockBinaryMessenger* self,
                                    const gchar* channel,
                                    GBytes* message,
                                    FlMockReplyCallback callback,
                                    gpointer user_data) {
  Handler handler;
  bool found = false;
  guint call_id = 0;
  {
    std::lock_guard<std::mutex> lock(self->state->mutex);
    call_id = self->state->next_call_id++;
    CallRecord& record = self->state->calls[call_id];
    record.callback = callback;
    record.user_data = user_data;
    auto it = self->state->handlers.find(channel);
    if (it != self->state->handlers.end()) {
      handler = it->second;
      found = true;
    }
  }
  if (!found) {
    // What the engine does for a channel nobody handles.
    complete_call(self, call_id, nullptr);
    return call_id;
  }
  g_autoptr(GBytes) payload = message != nullptr ? g_bytes_ref(message) : empty_bytes();
  g_autoptr(FlMockResponseHandle) handle =
      FL_MOCK_RESPONSE_HANDLE(g_object_new(fl_mock_response_handle_get_type(), nullptr));
  handle->messenger = FL_MOCK_BINARY_MESSENGER(g_object_ref(self));
  handle->call_id = call_id;
  handler.handler(FL_BINARY_MESSENGER(self), channel, payload,
                  FL_BINARY_MESSENGER_RESPONSE_HANDLE(handle), handler.user_data);
  return call_id;
}

bool fl_mock_binary_messenger_run_until(FlMockBinaryMessenger* self,
                                        const std::function<bool()>& done) {
  gint64 deadline = g_get_monotonic_time() + kWaitLimitUs;
  while (!done()) {
    gint64 now = g_get_monotonic_time();
    if (now >= deadline) {
      return false;
    }
    // Wake up at the deadline even if nothing else happens.
    GSource* timeout = g_timeout_source_new((deadline - now) / 1000 + 1);
    g_source_set_callback(
        timeout, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(timeout, self->context);
    g_main_context_iteration(self->context, TRUE);
    g_source_destroy(timeout);
    g_source_unref(timeout);
  }
  return true;
}

GBytes* fl_mock_binary_messenger_send_sync(FlMockBinaryMessenger* self,
                                           const gchar* channel,
                                           GBytes* message,
                                           guint* call_id) {
  guint id = fl_mock_binary_messenger_send(self, channel, message, nullptr, nullptr);
  if (call_id != nullptr) {
    *call_id = id;
  }
  fl_mock_binary_messenger_run_until(self, [self, id] {
    std::lock_guard<std::mutex> lock(self->state->mutex);
    const CallRecord& record = self->state->calls[id];
    return record.replied || record.dropped;
  });
  std::lock_guard<std::mutex> lock(self->state->mutex);
  const CallRecord& record = self->state->calls[id];
  return record.reply != nullptr ? g_bytes_ref(record.reply) : nullptr;
}

guint fl_mock_binary_messenger_invoke_method(FlMockBinaryMessenger* self,
                                             const gchar* channel,
                                             const gchar* method,
                                             FlValue* args,
                                             FlMockMethodResponseCallback callback,
                                             gpointer user_data) {
  g_autoptr(GBytes) message = encode_method_call(method, args);
  if (callback == nullptr) {
    return fl_mock_binary_messenger_send(self, channel, message, nullptr, nullptr);
  }
  return fl_mock_binary_messenger_send(self, channel, message, method_reply_cb,
                                       new MethodCallbackData{callback, user_data});
}

FlMethodResponse* fl_mock_binary_messenger_invoke_method_sync(FlMockBinaryMessenger* self,
                                                              const gchar* channel,
                                                              const gchar* method,
                                                              FlValue* args,
                                                              GError** error,
                                                              guint* call_id) {
  g_autoptr(GBytes) message = encode_method_call(method, args);
  g_autoptr(GBytes) reply = fl_mock_binary_messenger_send_sync(self, channel, message, call_id);
  if (reply == nullptr) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT, "No reply to %s on %s", method, channel);
    return nullptr;
  }
  return decode_envelope(reply, error);
}

int fl_mock_binary_messenger_get_response_count(FlMockBinaryMessenger* self, guint call_id) {
  std::lock_guard<std::mutex> lock(self->state->mutex);
  auto it = self->state->calls.find(call_id);
  return it == self->state->calls.end() ? 0 : it->second.response_count;
}

FlMethodResponse* fl_mock_binary_messenger_listen(FlMockBinaryMessenger* self,
                                                  const gchar* channel,
                                                  FlValue* args,
                                                  GError** error) {
  return fl_mock_binary_messenger_invoke_method_sync(self, channel, "listen", args, error);
}

FlMethodResponse* fl_mock_binary_messenger_cancel(FlMockBinaryMessenger* self,
                                                  const gchar* channel,
                                                  FlValue* args,
                                                  GError** error) {
  return fl_mock_binary_messenger_invoke_method_sync(self, channel, "cancel", args, error);
}

size_t fl_mock_binary_messenger_get_message_count(FlMockBinaryMessenger* self,
                                                  const gchar* channel) {
  std::lock_guard<std::mutex> lock(self->state->mutex);
  auto it = self->state->messages.find(channel);
  return it == self->state->messages.end() ? 0 : it->second.size();
}

std::vector<std::shared_ptr<GBytes>> fl_mock_binary_messenger_take_messages(
    FlMockBinaryMessenger* self,
    const gchar* channel) {
  std::lock_guard<std::mutex> lock(self->state->mutex);
  std::vector<std::shared_ptr<GBytes>> taken;
  auto it = self->state->messages.find(channel);
  if (it != self->state->messages.end()) {
    taken.swap(it->second);
  }
  return taken;
}

std::vector<FlMockEvent> fl_mock_binary_messenger_take_events(FlMockBinaryMessenger* self,
                                                              const gchar* channel) {
  std::vector<FlMockEvent> events;
  for (const auto& message : fl_mock_binary_messenger_take_messages(self, channel)) {
    FlMockEvent event{FlMockEventKind::kUndecodable, nullptr, "", std::nullopt, nullptr};
    if (g_bytes_get_size(message.get()) == 0) {
      event.kind = FlMockEventKind::kEndOfStream;
    } else {
      g_autoptr(FlMethodResponse) response = decode_envelope(message.get(), nullptr);
      if (response != nullptr && FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
        event.kind = FlMockEventKind::kValue;
        event.value = fl_mock_value_take(fl_value_ref(
            fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response))));
      } else if (response != nullptr && FL_IS_METHOD_ERROR_RESPONSE(response)) {
        FlMethodErrorResponse* failure = FL_METHOD_ERROR_RESPONSE(response);
        event.kind = FlMockEventKind::kError;
        event.code = fl_method_error_response_get_code(failure);
        if (fl_method_error_response_get_message(failure) != nullptr) {
          event.message = fl_method_error_response_get_message(failure);
        }
        FlValue* details = fl_method_error_response_get_details(failure);
        if (details != nullptr) {
          event.details = fl_mock_value_take(fl_value_ref(details));
        }
      }
    }
    events.push_back(std::move(event));
  }
  return events;
}

void fl_mock_binary_messenger_set_dart_reply(FlMockBinaryMessenger* self,
                                             const gchar* channel,
                                             GBytes* reply) {
  std::lock_guard<std::mutex> lock(self->state->mutex);
  if (reply == nullptr) {
    self->state->dart_replies.erase(channel);
  } else {
    self->state->dart_replies[channel] = share_bytes(g_bytes_ref(reply));
  }
}

void fl_mock_binary_messenger_set_answers_lost(FlMockBinaryMessenger* self, bool lost) {
  std::lock_guard<std::mutex> lock(self->state->mutex);
  self->state->answers_lost = lost;
}

bool fl_mock_binary_messenger_wait_for_messages(FlMockBinaryMessenger* self,
                                                const gchar* channel,
                                                size_t count) {
  return fl_mock_binary_messenger_run_until(self, [self, channel, count] {
    return fl_mock_binary_messenger_get_message_count(self, channel) >= count;
  });
}

void fl_mock_binary_messenger_shutdown(FlMockBinaryMessenger* self) {
  mock_shutdown(FL_BINARY_MESSENGER(self));
}
