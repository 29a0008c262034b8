#include "flutter_linux/fl_standard_message_codec.h"

#include <string.h>

// Type bytes of the standard codec.
enum : uint8_t {
  kValueNull = 0x00,
  kValueTrue = 0x01,
  kValueFalse = 0x02,
  kValueInt32 = 0x03,
  kValueInt64 = 0x04,
  kValueFloat64 = 0x06,
  kValueString = 0x07,
  kValueUint8List = 0x08,
  kValueInt32List = 0x09,
  kValueInt64List = 0x0a,
  kValueFloat64List = 0x0b,
  kValueList = 0x0c,
  kValueMap = 0x0d,
  kValueFloat32List = 0x0e,
};

// Size fields: one byte below 254, else a marker byte then 2 or 4 bytes.
constexpr uint8_t kSize16Marker = 254;
constexpr uint8_t kSize32Marker = 255;

// Lists and maps nest by recursion; a message from outside must not exhaust the stack.
constexpr int kMaxNestingDepth = 1000;

// Nesting depth of the read in progress on this thread (shared by subclasses chaining up).
static thread_local int read_depth = 0;

G_DEFINE_TYPE(FlStandardMessageCodec, fl_standard_message_codec, fl_message_codec_get_type())

namespace {

void write_bytes(GByteArray* buffer, gconstpointer data, size_t length) {
  if (length > 0) {
    g_byte_array_append(buffer, static_cast<const guint8*>(data), length);
  }
}

void write_uint8(GByteArray* buffer, uint8_t value) {
  g_byte_array_append(buffer, &value, 1);
}

// Pads with zeros so the next byte sits at a multiple of @align from the message start.
void write_align(GByteArray* buffer, size_t align) {
  while (buffer->len % align != 0) {
    write_uint8(buffer, 0);
  }
}

// Fails with OUT_OF_DATA unless @required bytes remain after *@offset.
gboolean check_remaining(GBytes* buffer, size_t offset, size_t required, GError** error) {
  size_t length = g_bytes_get_size(buffer);
  if (offset > length || required > length - offset) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA,
                "Unexpected end of data: %zu bytes needed at offset %zu of %zu", required, offset,
                length);
    return FALSE;
  }
  return TRUE;
}

const uint8_t* data_at(GBytes* buffer, size_t offset) {
  return static_cast<const uint8_t*>(g_bytes_get_data(buffer, nullptr)) + offset;
}

// Copies @length bytes at *@offset into @value and advances, if they are there.
gboolean read_bytes(GBytes* buffer, size_t* offset, void* value, size_t length, GError** error) {
  if (!check_remaining(buffer, *offset, length, error)) {
    return FALSE;
  }
  if (length > 0) {
    memcpy(value, data_at(buffer, *offset), length);
  }
  *offset += length;
  return TRUE;
}

// Skips the padding a writer put before an aligned field.
gboolean read_align(GBytes* buffer, size_t* offset, size_t align, GError** error) {
  size_t padding = (align - *offset % align) % align;
  if (!check_remaining(buffer, *offset, padding, error)) {
    return FALSE;
  }
  *offset += padding;
  return TRUE;
}

// Checks that @count elements of @element_size bytes remain, without overflowing.
gboolean check_elements(GBytes* buffer,
                        size_t offset,
                        uint32_t count,
                        size_t element_size,
                        GError** error) {
  size_t length = g_bytes_get_size(buffer);
  size_t available = offset <= length ? length - offset : 0;
  if (count > available / element_size) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA,
                "Unexpected end of data: %u elements of %zu bytes at offset %zu of %zu", count,
                element_size, offset, length);
    return FALSE;
  }
  return TRUE;
}

gboolean write_length(FlStandardMessageCodec* codec,
                      GByteArray* buffer,
                      size_t length,
                      GError** error) {
  if (length > G_MAXUINT32) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Length %zu does not fit a size field", length);
    return FALSE;
  }
  fl_standard_message_codec_write_size(codec, buffer, static_cast<uint32_t>(length));
  return TRUE;
}

// Writes a typed list: type byte, element count, padding to @align, the elements.
gboolean write_typed_list(FlStandardMessageCodec* codec,
                          GByteArray* buffer,
                          uint8_t type,
                          gconstpointer data,
                          size_t count,
                          size_t element_size,
                          size_t align,
                          GError** error) {
  write_uint8(buffer, type);
  if (!write_length(codec, buffer, count, error)) {
    return FALSE;
  }
  write_align(buffer, align);
  write_bytes(buffer, data, count * element_size);
  return TRUE;
}

// Reads the count, padding and elements of a typed list into a new value.
FlValue* read_typed_list(FlStandardMessageCodec* codec,
                         GBytes* buffer,
                         size_t* offset,
                         size_t element_size,
                         size_t align,
                         FlValue* (*create)(gconstpointer, size_t),
                         GError** error) {
  uint32_t count = 0;
  if (!fl_standard_message_codec_read_size(codec, buffer, offset, &count, error) ||
      !read_align(buffer, offset, align, error) ||
      !check_elements(buffer, *offset, count, element_size, error)) {
    return nullptr;
  }
  // The elements may be misaligned in memory (GBytes data has no alignment promise): copy.
  FlValue* value = create(data_at(buffer, *offset), count);
  *offset += static_cast<size_t>(count) * element_size;
  return value;
}

template <typename T, FlValue* (*New)(const T*, size_t)>
FlValue* new_typed_list(gconstpointer data, size_t count) {
  g_autofree T* copy = g_new(T, count > 0 ? count : 1);
  if (count > 0) {
    memcpy(copy, data, count * sizeof(T));
  }
  return New(copy, count);
}

FlValue* read_list(FlStandardMessageCodec* codec, GBytes* buffer, size_t* offset, GError** error) {
  uint32_t count = 0;
  // Every element takes at least its type byte, so a count beyond the remaining bytes lies.
  if (!fl_standard_message_codec_read_size(codec, buffer, offset, &count, error) ||
      !check_elements(buffer, *offset, count, 1, error)) {
    return nullptr;
  }
  g_autoptr(FlValue) list = fl_value_new_list();
  for (uint32_t i = 0; i < count; i++) {
    FlValue* child = fl_standard_message_codec_read_value(codec, buffer, offset, error);
    if (child == nullptr) {
      return nullptr;
    }
    fl_value_append_take(list, child);
  }
  return static_cast<FlValue*>(g_steal_pointer(&list));
}

FlValue* read_map(FlStandardMessageCodec* codec, GBytes* buffer, size_t* offset, GError** error) {
  uint32_t count = 0;
  if (!fl_standard_message_codec_read_size(codec, buffer, offset, &count, error) ||
      !check_elements(buffer, *offset, count, 2, error)) {
    return nullptr;
  }
  g_autoptr(FlValue) map = fl_value_new_map();
  for (uint32_t i = 0; i < count; i++) {
    g_autoptr(FlValue) key = fl_standard_message_codec_read_value(codec, buffer, offset, error);
    if (key == nullptr) {
      return nullptr;
    }
    g_autoptr(FlValue) value = fl_standard_message_codec_read_value(codec, buffer, offset, error);
    if (value == nullptr) {
      return nullptr;
    }
    fl_value_set(map, key, value);
  }
  return static_cast<FlValue*>(g_steal_pointer(&map));
}

}  // namespace

// The standard encoding of every kind but custom values, which need a subclass.
static gboolean fl_standard_message_codec_real_write_value(FlStandardMessageCodec* self,
                                                           GByteArray* buffer,
                                                           FlValue* value,
                                                           GError** error) {
  switch (fl_value_get_type(value)) {
    case FL_VALUE_TYPE_NULL:
      write_uint8(buffer, kValueNull);
      return TRUE;
    case FL_VALUE_TYPE_BOOL:
      write_uint8(buffer, fl_value_get_bool(value) ? kValueTrue : kValueFalse);
      return TRUE;
    case FL_VALUE_TYPE_INT: {
      int64_t number = fl_value_get_int(value);
      if (number >= G_MININT32 && number <= G_MAXINT32) {
        int32_t narrow = static_cast<int32_t>(number);
        write_uint8(buffer, kValueInt32);
        write_bytes(buffer, &narrow, sizeof(narrow));
      } else {
        write_uint8(buffer, kValueInt64);
        write_bytes(buffer, &number, sizeof(number));
      }
      return TRUE;
    }
    case FL_VALUE_TYPE_FLOAT: {
      double number = fl_value_get_float(value);
      write_uint8(buffer, kValueFloat64);
      write_align(buffer, 8);
      write_bytes(buffer, &number, sizeof(number));
      return TRUE;
    }
    case FL_VALUE_TYPE_STRING: {
      const gchar* text = fl_value_get_string(value);
      size_t length = strlen(text);
      write_uint8(buffer, kValueString);
      if (!write_length(self, buffer, length, error)) {
        return FALSE;
      }
      write_bytes(buffer, text, length);
      return TRUE;
    }
    case FL_VALUE_TYPE_UINT8_LIST:
      return write_typed_list(self, buffer, kValueUint8List, fl_value_get_uint8_list(value),
                              fl_value_get_length(value), 1, 1, error);
    case FL_VALUE_TYPE_INT32_LIST:
      return write_typed_list(self, buffer, kValueInt32List, fl_value_get_int32_list(value),
                              fl_value_get_length(value), 4, 4, error);
    case FL_VALUE_TYPE_INT64_LIST:
      return write_typed_list(self, buffer, kValueInt64List, fl_value_get_int64_list(value),
                              fl_value_get_length(value), 8, 8, error);
    case FL_VALUE_TYPE_FLOAT_LIST:
      return write_typed_list(self, buffer, kValueFloat64List, fl_value_get_float_list(value),
                              fl_value_get_length(value), 8, 8, error);
    case FL_VALUE_TYPE_FLOAT32_LIST:
      return write_typed_list(self, buffer, kValueFloat32List, fl_value_get_float32_list(value),
                              fl_value_get_length(value), 4, 4, error);
    case FL_VALUE_TYPE_LIST: {
      size_t count = fl_value_get_length(value);
      write_uint8(buffer, kValueList);
      if (!write_length(self, buffer, count, error)) {
        return FALSE;
      }
      for (size_t i = 0; i < count; i++) {
        if (!fl_standard_message_codec_write_value(self, buffer, fl_value_get_list_value(value, i),
                                                   error)) {
          return FALSE;
        }
      }
      return TRUE;
    }
    case FL_VALUE_TYPE_MAP: {
      size_t count = fl_value_get_length(value);
      write_uint8(buffer, kValueMap);
      if (!write_length(self, buffer, count, error)) {
        return FALSE;
      }
      for (size_t i = 0; i < count; i++) {
        if (!fl_standard_message_codec_write_value(self, buffer, fl_value_get_map_key(value, i),
                                                   error) ||
            !fl_standard_message_codec_write_value(self, buffer, fl_value_get_map_value(value, i),
                                                   error)) {
          return FALSE;
        }
      }
      return TRUE;
    }
    case FL_VALUE_TYPE_CUSTOM:
      g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE,
                  "Custom value type %d not supported by the standard codec",
                  fl_value_get_custom_type(value));
      return FALSE;
  }
  g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE,
              "Unexpected FlValue type %d", fl_value_get_type(value));
  return FALSE;
}

// Reads the payload of a standard type; anything else (0x05 large ints included) is refused.
static FlValue* fl_standard_message_codec_real_read_value_of_type(FlStandardMessageCodec* self,
                                                                  GBytes* buffer,
                                                                  size_t* offset,
                                                                  int type,
                                                                  GError** error) {
  switch (type) {
    case kValueNull:
      return fl_value_new_null();
    case kValueTrue:
      return fl_value_new_bool(true);
    case kValueFalse:
      return fl_value_new_bool(false);
    case kValueInt32: {
      int32_t number = 0;
      if (!read_bytes(buffer, offset, &number, sizeof(number), error)) {
        return nullptr;
      }
      return fl_value_new_int(number);
    }
    case kValueInt64: {
      int64_t number = 0;
      if (!read_bytes(buffer, offset, &number, sizeof(number), error)) {
        return nullptr;
      }
      return fl_value_new_int(number);
    }
    case kValueFloat64: {
      double number = 0;
      if (!read_align(buffer, offset, 8, error) ||
          !read_bytes(buffer, offset, &number, sizeof(number), error)) {
        return nullptr;
      }
      return fl_value_new_float(number);
    }
    case kValueString: {
      uint32_t length = 0;
      if (!fl_standard_message_codec_read_size(self, buffer, offset, &length, error) ||
          !check_remaining(buffer, *offset, length, error)) {
        return nullptr;
      }
      FlValue* value = fl_value_new_string_sized(
          reinterpret_cast<const gchar*>(data_at(buffer, *offset)), length);
      *offset += length;
      return value;
    }
    case kValueUint8List:
      return read_typed_list(self, buffer, offset, 1, 1,
                             new_typed_list<uint8_t, fl_value_new_uint8_list>, error);
    case kValueInt32List:
      return read_typed_list(self, buffer, offset, 4, 4,
                             new_typed_list<int32_t, fl_value_new_int32_list>, error);
    case kValueInt64List:
      return read_typed_list(self, buffer, offset, 8, 8,
                             new_typed_list<int64_t, fl_value_new_int64_list>, error);
    case kValueFloat64List:
      return read_typed_list(self, buffer, offset, 8, 8,
                             new_typed_list<double, fl_value_new_float_list>, error);
    case kValueFloat32List:
      return read_typed_list(self, buffer, offset, 4, 4,
                             new_typed_list<float, fl_value_new_float32_list>, error);
    case kValueList:
      return read_list(self, buffer, offset, error);
    case kValueMap:
      return read_map(self, buffer, offset, error);
    default:
      g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE,
                  "Unexpected standard codec type %02x", type);
      return nullptr;
  }
}

static GBytes* fl_standard_message_codec_encode_message(FlMessageCodec* codec,
                                                        FlValue* message,
                                                        GError** error) {
  FlStandardMessageCodec* self = FL_STANDARD_MESSAGE_CODEC(codec);
  g_autoptr(GByteArray) buffer = g_byte_array_new();
  if (!fl_standard_message_codec_write_value(self, buffer, message, error)) {
    return nullptr;
  }
  return g_byte_array_free_to_bytes(static_cast<GByteArray*>(g_steal_pointer(&buffer)));
}

static FlValue* fl_standard_message_codec_decode_message(FlMessageCodec* codec,
                                                         GBytes* message,
                                                         GError** error) {
  FlStandardMessageCodec* self = FL_STANDARD_MESSAGE_CODEC(codec);
  // No bytes stand for null: that is how the other side encodes a null message.
  if (g_bytes_get_size(message) == 0) {
    return fl_value_new_null();
  }
  size_t offset = 0;
  g_autoptr(FlValue) value = fl_standard_message_codec_read_value(self, message, &offset, error);
  if (value == nullptr) {
    return nullptr;
  }
  if (offset != g_bytes_get_size(message)) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_ADDITIONAL_DATA,
                "Unused %zu bytes after standard codec message",
                g_bytes_get_size(message) - offset);
    return nullptr;
  }
  return static_cast<FlValue*>(g_steal_pointer(&value));
}

static void fl_standard_message_codec_class_init(FlStandardMessageCodecClass* klass) {
  FL_MESSAGE_CODEC_CLASS(klass)->encode_message = fl_standard_message_codec_encode_message;
  FL_MESSAGE_CODEC_CLASS(klass)->decode_message = fl_standard_message_codec_decode_message;
  klass->write_value = fl_standard_message_codec_real_write_value;
  klass->read_value_of_type = fl_standard_message_codec_real_read_value_of_type;
}

static void fl_standard_message_codec_init(FlStandardMessageCodec* self) {}

FlStandardMessageCodec* fl_standard_message_codec_new() {
  return FL_STANDARD_MESSAGE_CODEC(g_object_new(fl_standard_message_codec_get_type(), nullptr));
}

void fl_standard_message_codec_write_size(FlStandardMessageCodec* codec,
                                          GByteArray* buffer,
                                          uint32_t size) {
  g_return_if_fail(buffer != nullptr);
  if (size < kSize16Marker) {
    write_uint8(buffer, static_cast<uint8_t>(size));
  } else if (size <= G_MAXUINT16) {
    uint16_t size16 = static_cast<uint16_t>(size);
    write_uint8(buffer, kSize16Marker);
    write_bytes(buffer, &size16, sizeof(size16));
  } else {
    write_uint8(buffer, kSize32Marker);
    write_bytes(buffer, &size, sizeof(size));
  }
}

gboolean fl_standard_message_codec_read_size(FlStandardMessageCodec* codec,
                                             GBytes* buffer,
                                             size_t* offset,
                                             uint32_t* value,
                                             GError** error) {
  g_return_val_if_fail(buffer != nullptr && offset != nullptr && value != nullptr, FALSE);
  uint8_t first = 0;
  if (!read_bytes(buffer, offset, &first, 1, error)) {
    return FALSE;
  }
  if (first < kSize16Marker) {
    *value = first;
  } else if (first == kSize16Marker) {
    uint16_t size16 = 0;
    if (!read_bytes(buffer, offset, &size16, sizeof(size16), error)) {
      return FALSE;
    }
    *value = size16;
  } else {
    if (!read_bytes(buffer, offset, value, sizeof(*value), error)) {
      return FALSE;
    }
  }
  return TRUE;
}

gboolean fl_standard_message_codec_write_value(FlStandardMessageCodec* self,
                                               GByteArray* buffer,
                                               FlValue* value,
                                               GError** error) {
  g_return_val_if_fail(FL_IS_STANDARD_MESSAGE_CODEC(self), FALSE);
  g_return_val_if_fail(buffer != nullptr, FALSE);
  g_autoptr(FlValue) null_value = nullptr;
  if (value == nullptr) {
    null_value = fl_value_new_null();
    value = null_value;
  }
  return FL_STANDARD_MESSAGE_CODEC_GET_CLASS(self)->write_value(self, buffer, value, error);
}

FlValue* fl_standard_message_codec_read_value(FlStandardMessageCodec* self,
                                              GBytes* buffer,
                                              size_t* offset,
                                              GError** error) {
  g_return_val_if_fail(FL_IS_STANDARD_MESSAGE_CODEC(self), nullptr);
  g_return_val_if_fail(buffer != nullptr && offset != nullptr, nullptr);
  uint8_t type = 0;
  if (!read_bytes(buffer, offset, &type, 1, error)) {
    return nullptr;
  }
  if (read_depth >= kMaxNestingDepth) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Values nested deeper than %d levels", kMaxNestingDepth);
    return nullptr;
  }
  read_depth++;
  FlValue* value = FL_STANDARD_MESSAGE_CODEC_GET_CLASS(self)->read_value_of_type(
      self, buffer, offset, type, error);
  read_depth--;
  return value;
}
