#include "flutter_linux/fl_standard_method_codec.h"

// Envelope bytes of responses.
constexpr uint8_t kEnvelopeSuccess = 0x00;
constexpr uint8_t kEnvelopeError = 0x01;

struct _FlStandardMethodCodec {
  FlMethodCodec parent_instance;

  // Encodes the values inside calls and envelopes.
  FlStandardMessageCodec* codec;
};

G_DEFINE_TYPE(FlStandardMethodCodec, fl_standard_method_codec, fl_method_codec_get_type())

namespace {

GBytes* finish_buffer(GByteArray* buffer) {
  return g_byte_array_free_to_bytes(buffer);
}

// Fails with FAILED when bytes remain after what was decoded.
gboolean check_consumed(GBytes* message, size_t offset, GError** error) {
  if (offset != g_bytes_get_size(message)) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Unexpected %zu bytes after the method codec message",
                g_bytes_get_size(message) - offset);
    return FALSE;
  }
  return TRUE;
}

}  // namespace

static void fl_standard_method_codec_dispose(GObject* object) {
  FlStandardMethodCodec* self = FL_STANDARD_METHOD_CODEC(object);
  g_clear_object(&self->codec);
  G_OBJECT_CLASS(fl_standard_method_codec_parent_class)->dispose(object);
}

// A call is the name as a string value followed by the arguments as one value.
static GBytes* fl_standard_method_codec_encode_method_call(FlMethodCodec* codec,
                                                           const gchar* name,
                                                           FlValue* args,
                                                           GError** error) {
  FlStandardMethodCodec* self = FL_STANDARD_METHOD_CODEC(codec);
  g_autoptr(GByteArray) buffer = g_byte_array_new();
  g_autoptr(FlValue) name_value = fl_value_new_string(name);
  if (!fl_standard_message_codec_write_value(self->codec, buffer, name_value, error) ||
      !fl_standard_message_codec_write_value(self->codec, buffer, args, error)) {
    return nullptr;
  }
  return finish_buffer(static_cast<GByteArray*>(g_steal_pointer(&buffer)));
}

static gboolean fl_standard_method_codec_decode_method_call(FlMethodCodec* codec,
                                                            GBytes* message,
                                                            gchar** name,
                                                            FlValue** args,
                                                            GError** error) {
  FlStandardMethodCodec* self = FL_STANDARD_METHOD_CODEC(codec);
  size_t offset = 0;
  g_autoptr(FlValue) name_value =
      fl_standard_message_codec_read_value(self->codec, message, &offset, error);
  if (name_value == nullptr) {
    return FALSE;
  }
  if (fl_value_get_type(name_value) != FL_VALUE_TYPE_STRING) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Method call name is not a string");
    return FALSE;
  }
  g_autoptr(FlValue) args_value =
      fl_standard_message_codec_read_value(self->codec, message, &offset, error);
  if (args_value == nullptr || !check_consumed(message, offset, error)) {
    return FALSE;
  }
  *name = g_strdup(fl_value_get_string(name_value));
  *args = static_cast<FlValue*>(g_steal_pointer(&args_value));
  return TRUE;
}

static GBytes* fl_standard_method_codec_encode_success_envelope(FlMethodCodec* codec,
                                                                FlValue* result,
                                                                GError** error) {
  FlStandardMethodCodec* self = FL_STANDARD_METHOD_CODEC(codec);
  g_autoptr(GByteArray) buffer = g_byte_array_new();
  g_byte_array_append(buffer, &kEnvelopeSuccess, 1);
  if (!fl_standard_message_codec_write_value(self->codec, buffer, result, error)) {
    return nullptr;
  }
  return finish_buffer(static_cast<GByteArray*>(g_steal_pointer(&buffer)));
}

static GBytes* fl_standard_method_codec_encode_error_envelope(FlMethodCodec* codec,
                                                              const gchar* code,
                                                              const gchar* message,
                                                              FlValue* details,
                                                              GError** error) {
  FlStandardMethodCodec* self = FL_STANDARD_METHOD_CODEC(codec);
  g_autoptr(GByteArray) buffer = g_byte_array_new();
  g_byte_array_append(buffer, &kEnvelopeError, 1);
  g_autoptr(FlValue) code_value = fl_value_new_string(code);
  g_autoptr(FlValue) message_value =
      message != nullptr ? fl_value_new_string(message) : fl_value_new_null();
  if (!fl_standard_message_codec_write_value(self->codec, buffer, code_value, error) ||
      !fl_standard_message_codec_write_value(self->codec, buffer, message_value, error) ||
      !fl_standard_message_codec_write_value(self->codec, buffer, details, error)) {
    return nullptr;
  }
  return finish_buffer(static_cast<GByteArray*>(g_steal_pointer(&buffer)));
}

// Reads the code, message and details of an error envelope after its envelope byte.
static FlMethodResponse* decode_error(FlStandardMethodCodec* self,
                                      GBytes* message,
                                      size_t* offset,
                                      GError** error) {
  g_autoptr(FlValue) code =
      fl_standard_message_codec_read_value(self->codec, message, offset, error);
  if (code == nullptr) {
    return nullptr;
  }
  if (fl_value_get_type(code) != FL_VALUE_TYPE_STRING) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Error envelope code is not a string");
    return nullptr;
  }
  g_autoptr(FlValue) text =
      fl_standard_message_codec_read_value(self->codec, message, offset, error);
  if (text == nullptr) {
    return nullptr;
  }
  FlValueType text_type = fl_value_get_type(text);
  if (text_type != FL_VALUE_TYPE_STRING && text_type != FL_VALUE_TYPE_NULL) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Error envelope message is neither a string nor null");
    return nullptr;
  }
  g_autoptr(FlValue) details =
      fl_standard_message_codec_read_value(self->codec, message, offset, error);
  if (details == nullptr || !check_consumed(message, *offset, error)) {
    return nullptr;
  }
  return FL_METHOD_RESPONSE(fl_method_error_response_new(
      fl_value_get_string(code),
      text_type == FL_VALUE_TYPE_STRING ? fl_value_get_string(text) : nullptr,
      fl_value_get_type(details) == FL_VALUE_TYPE_NULL ? nullptr : details));
}

static FlMethodResponse* fl_standard_method_codec_decode_response(FlMethodCodec* codec,
                                                                  GBytes* message,
                                                                  GError** error) {
  FlStandardMethodCodec* self = FL_STANDARD_METHOD_CODEC(codec);
  if (g_bytes_get_size(message) == 0) {
    return FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  }
  size_t offset = 1;
  uint8_t envelope = static_cast<const uint8_t*>(g_bytes_get_data(message, nullptr))[0];
  if (envelope == kEnvelopeSuccess) {
    g_autoptr(FlValue) result =
        fl_standard_message_codec_read_value(self->codec, message, &offset, error);
    if (result == nullptr || !check_consumed(message, offset, error)) {
      return nullptr;
    }
    return FL_METHOD_RESPONSE(fl_method_success_response_new(result));
  }
  if (envelope == kEnvelopeError) {
    return decode_error(self, message, &offset, error);
  }
  g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
              "Unknown response envelope %02x", envelope);
  return nullptr;
}

static void fl_standard_method_codec_class_init(FlStandardMethodCodecClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_standard_method_codec_dispose;
  FlMethodCodecClass* codec_class = FL_METHOD_CODEC_CLASS(klass);
  codec_class->encode_method_call = fl_standard_method_codec_encode_method_call;
  codec_class->decode_method_call = fl_standard_method_codec_decode_method_call;
  codec_class->encode_success_envelope = fl_standard_method_codec_encode_success_envelope;
  codec_class->encode_error_envelope = fl_standard_method_codec_encode_error_envelope;
  codec_class->decode_response = fl_standard_method_codec_decode_response;
}

static void fl_standard_method_codec_init(FlStandardMethodCodec* self) {}

FlStandardMethodCodec* fl_standard_method_codec_new() {
  g_autoptr(FlStandardMessageCodec) message_codec = fl_standard_message_codec_new();
  return fl_standard_method_codec_new_with_message_codec(message_codec);
}

FlStandardMethodCodec* fl_standard_method_codec_new_with_message_codec(
    FlStandardMessageCodec* message_codec) {
  g_return_val_if_fail(FL_IS_STANDARD_MESSAGE_CODEC(message_codec), nullptr);
  FlStandardMethodCodec* self =
      FL_STANDARD_METHOD_CODEC(g_object_new(fl_standard_method_codec_get_type(), nullptr));
  self->codec = FL_STANDARD_MESSAGE_CODEC(g_object_ref(message_codec));
  return self;
}
