#include "control_panel/panel_channel_client.h"

#include <gio/gio.h>

#include "fl_method_codec_private.h"
#include "flutter_linux/fl_method_response.h"
#include "flutter_linux/fl_standard_method_codec.h"

namespace {

constexpr char kListenMethod[] = "listen";
constexpr char kCancelMethod[] = "cancel";

std::shared_ptr<FlValue> ShareValue(FlValue* value) {
  return std::shared_ptr<FlValue>(fl_value_ref(value), fl_value_unref);
}

// Reads a reply payload the way the Dart side does.
PanelChannelClient::Answer DecodeAnswer(FlMethodCodec* codec, GBytes* reply) {
  PanelChannelClient::Answer answer;
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlMethodResponse) response = fl_method_codec_decode_response(codec, reply, &error);
  if (response == nullptr) {
    answer.message = std::string("undecodable answer: ") + error->message;
  } else if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    answer.kind = PanelChannelClient::Answer::Kind::kSuccess;
    answer.value =
        ShareValue(fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response)));
  } else if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* failure = FL_METHOD_ERROR_RESPONSE(response);
    answer.kind = PanelChannelClient::Answer::Kind::kError;
    answer.code = fl_method_error_response_get_code(failure);
    const gchar* message = fl_method_error_response_get_message(failure);
    answer.message = message != nullptr ? message : "";
  } else {
    answer.kind = PanelChannelClient::Answer::Kind::kNotImplemented;
  }
  return answer;
}

}  // namespace

// Carries a call's callback to its answer; freed there.
struct PanelChannelClient::PendingCall {
  PanelChannelClient* client;
  GCancellable* cancellable;
  AnswerCallback done;
};

std::string PanelChannelClient::Answer::Describe() const {
  switch (kind) {
    case Kind::kSuccess: {
      if (!value) {
        return "null";
      }
      g_autofree gchar* text = fl_value_to_string(value.get());
      return text;
    }
    case Kind::kError:
      return message.empty() ? code : code + ": " + message;
    case Kind::kNotImplemented:
      return "not implemented by the host";
    case Kind::kFailed:
      break;
  }
  return message;
}

PanelChannelClient::PanelChannelClient(FlBridgeMessenger* messenger)
    : messenger_(FL_BRIDGE_MESSENGER(g_object_ref(messenger))),
      codec_(FL_METHOD_CODEC(fl_standard_method_codec_new())),
      cancellable_(g_cancellable_new()) {}

PanelChannelClient::~PanelChannelClient() {
  if (!stream_channel_.empty()) {
    fl_bridge_messenger_set_ui_handler(messenger_, stream_channel_.c_str(), nullptr, nullptr,
                                       nullptr);
  }
  g_cancellable_cancel(cancellable_);
  g_object_unref(cancellable_);
  g_object_unref(codec_);
  g_object_unref(messenger_);
}

void PanelChannelClient::ReplyCb(GObject* source, GAsyncResult* result, gpointer user_data) {
  std::unique_ptr<PendingCall> pending(static_cast<PendingCall*>(user_data));
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) reply =
      fl_bridge_messenger_send_from_ui_finish(FL_BRIDGE_MESSENGER(source), result, &error);
  const bool cancelled = g_cancellable_is_cancelled(pending->cancellable);
  g_object_unref(pending->cancellable);
  if (cancelled) {
    // The client is gone.
    return;
  }
  Answer answer;
  if (reply == nullptr) {
    answer.message = error->message;
  } else {
    answer = DecodeAnswer(pending->client->codec_, reply);
  }
  if (pending->done) {
    pending->done(answer);
  }
}

void PanelChannelClient::Invoke(const char* channel,
                                const char* method,
                                FlValue* args,
                                AnswerCallback done) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) message = fl_method_codec_encode_method_call(codec_, method, args, &error);
  if (message == nullptr) {
    g_printerr("[Panel] cannot encode %s: %s\n", method, error->message);
    return;
  }
  auto* pending = new PendingCall{this, G_CANCELLABLE(g_object_ref(cancellable_)), std::move(done)};
  fl_bridge_messenger_send_from_ui(messenger_, channel, message, nullptr, ReplyCb, pending);
}

GBytes* PanelChannelClient::EventCb(FlBridgeMessenger*,
                                    const gchar*,
                                    GBytes* message,
                                    gpointer user_data) {
  PanelChannelClient* self = static_cast<PanelChannelClient*>(user_data);
  if (message == nullptr || g_bytes_get_size(message) == 0 || !self->on_event_) {
    // End of stream, or nobody to tell.
    return nullptr;
  }
  Answer event = DecodeAnswer(self->codec_, message);
  if (event.ok()) {
    self->on_event_(event.value.get(), "");
  } else {
    self->on_event_(nullptr, event.Describe());
  }
  // The Dart side answers events with an empty reply.
  return nullptr;
}

void PanelChannelClient::Listen(const char* channel, EventCallback on_event, AnswerCallback done) {
  stream_channel_ = channel;
  on_event_ = std::move(on_event);
  // As on the Dart side: the handler is in place before the host is asked to send.
  fl_bridge_messenger_set_ui_handler(messenger_, channel, EventCb, this, nullptr);
  Invoke(channel, kListenMethod, nullptr, std::move(done));
}

void PanelChannelClient::Cancel(const char* channel) {
  fl_bridge_messenger_set_ui_handler(messenger_, channel, nullptr, nullptr, nullptr);
  stream_channel_.clear();
  on_event_ = nullptr;
  Invoke(channel, kCancelMethod, nullptr, nullptr);
}
