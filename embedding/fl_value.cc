#include "flutter_linux/fl_value.h"

#include <string.h>

// One value of any kind. Children of lists and maps are held with a reference each.
struct _FlValue {
  FlValueType type;
  // Plain int: values are not shared between threads.
  int ref_count;
  union {
    bool bool_value;
    int64_t int_value;
    double float_value;
    gchar* string_value;
    // Typed lists: a private copy of the elements.
    struct {
      gpointer data;
      size_t length;
    } typed;
    GPtrArray* list;
    // Parallel arrays keep insertion order for iteration.
    struct {
      GPtrArray* keys;
      GPtrArray* values;
    } map;
    struct {
      int type;
      gpointer value;
      GDestroyNotify destroy_notify;
    } custom;
  };
};

namespace {

FlValue* value_new(FlValueType type) {
  FlValue* value = g_new0(FlValue, 1);
  value->type = type;
  value->ref_count = 1;
  return value;
}

bool is_typed_list(FlValueType type) {
  switch (type) {
    case FL_VALUE_TYPE_UINT8_LIST:
    case FL_VALUE_TYPE_INT32_LIST:
    case FL_VALUE_TYPE_INT64_LIST:
    case FL_VALUE_TYPE_FLOAT_LIST:
    case FL_VALUE_TYPE_FLOAT32_LIST:
      return true;
    default:
      return false;
  }
}

// Copies @length elements of @element_size bytes. Never NULL, so callers may memcpy from an
// empty list.
FlValue* typed_list_new(FlValueType type, gconstpointer data, size_t length, size_t element_size) {
  FlValue* value = value_new(type);
  size_t size = length * element_size;
  value->typed.data = g_malloc(size > 0 ? size : 1);
  if (size > 0) {
    memcpy(value->typed.data, data, size);
  }
  value->typed.length = length;
  return value;
}

void value_destroy_notify(gpointer value) {
  fl_value_unref(static_cast<FlValue*>(value));
}

// Index of the entry whose key equals @key, or -1.
gssize map_find(FlValue* map, FlValue* key) {
  for (guint i = 0; i < map->map.keys->len; i++) {
    if (fl_value_equal(static_cast<FlValue*>(g_ptr_array_index(map->map.keys, i)), key)) {
      return i;
    }
  }
  return -1;
}

// Appends a float the way Dart prints doubles closely enough for logs: 16 decimals with the
// trailing zeros trimmed down to one ("1.0", "3.1415926535897931").
void append_float(GString* buffer, double value) {
  gchar text[G_ASCII_DTOSTR_BUF_SIZE + 320];
  g_ascii_formatd(text, sizeof(text), "%.16f", value);
  size_t length = strlen(text);
  if (strchr(text, '.') != nullptr) {
    while (length > 1 && text[length - 1] == '0' && text[length - 2] != '.') {
      length--;
    }
  }
  g_string_append_len(buffer, text, length);
}

void append_value(GString* buffer, FlValue* value);

template <typename T>
void append_typed_list(GString* buffer, FlValue* value, void (*append)(GString*, T)) {
  const T* data = static_cast<const T*>(value->typed.data);
  g_string_append_c(buffer, '[');
  for (size_t i = 0; i < value->typed.length; i++) {
    if (i > 0) {
      g_string_append(buffer, ", ");
    }
    append(buffer, data[i]);
  }
  g_string_append_c(buffer, ']');
}

void append_uint8(GString* buffer, uint8_t v) {
  g_string_append_printf(buffer, "%u", v);
}
void append_int32(GString* buffer, int32_t v) {
  g_string_append_printf(buffer, "%" G_GINT32_FORMAT, v);
}
void append_int64(GString* buffer, int64_t v) {
  g_string_append_printf(buffer, "%" G_GINT64_FORMAT, v);
}
void append_float32(GString* buffer, float v) {
  append_float(buffer, v);
}

void append_value(GString* buffer, FlValue* value) {
  switch (value->type) {
    case FL_VALUE_TYPE_NULL:
      g_string_append(buffer, "null");
      return;
    case FL_VALUE_TYPE_BOOL:
      g_string_append(buffer, value->bool_value ? "true" : "false");
      return;
    case FL_VALUE_TYPE_INT:
      append_int64(buffer, value->int_value);
      return;
    case FL_VALUE_TYPE_FLOAT:
      append_float(buffer, value->float_value);
      return;
    case FL_VALUE_TYPE_STRING:
      g_string_append(buffer, value->string_value);
      return;
    case FL_VALUE_TYPE_UINT8_LIST:
      append_typed_list<uint8_t>(buffer, value, append_uint8);
      return;
    case FL_VALUE_TYPE_INT32_LIST:
      append_typed_list<int32_t>(buffer, value, append_int32);
      return;
    case FL_VALUE_TYPE_INT64_LIST:
      append_typed_list<int64_t>(buffer, value, append_int64);
      return;
    case FL_VALUE_TYPE_FLOAT_LIST:
      append_typed_list<double>(buffer, value, append_float);
      return;
    case FL_VALUE_TYPE_FLOAT32_LIST:
      append_typed_list<float>(buffer, value, append_float32);
      return;
    case FL_VALUE_TYPE_LIST:
      g_string_append_c(buffer, '[');
      for (guint i = 0; i < value->list->len; i++) {
        if (i > 0) {
          g_string_append(buffer, ", ");
        }
        append_value(buffer, static_cast<FlValue*>(g_ptr_array_index(value->list, i)));
      }
      g_string_append_c(buffer, ']');
      return;
    case FL_VALUE_TYPE_MAP:
      g_string_append_c(buffer, '{');
      for (guint i = 0; i < value->map.keys->len; i++) {
        if (i > 0) {
          g_string_append(buffer, ", ");
        }
        append_value(buffer, static_cast<FlValue*>(g_ptr_array_index(value->map.keys, i)));
        g_string_append(buffer, ": ");
        append_value(buffer, static_cast<FlValue*>(g_ptr_array_index(value->map.values, i)));
      }
      g_string_append_c(buffer, '}');
      return;
    case FL_VALUE_TYPE_CUSTOM:
      g_string_append_printf(buffer, "(custom %d)", value->custom.type);
      return;
  }
  g_string_append(buffer, "<unknown type>");
}

}  // namespace

FlValue* fl_value_new_null() {
  return value_new(FL_VALUE_TYPE_NULL);
}

FlValue* fl_value_new_bool(bool value) {
  FlValue* self = value_new(FL_VALUE_TYPE_BOOL);
  self->bool_value = value;
  return self;
}

FlValue* fl_value_new_int(int64_t value) {
  FlValue* self = value_new(FL_VALUE_TYPE_INT);
  self->int_value = value;
  return self;
}

FlValue* fl_value_new_float(double value) {
  FlValue* self = value_new(FL_VALUE_TYPE_FLOAT);
  self->float_value = value;
  return self;
}

FlValue* fl_value_new_string(const gchar* value) {
  FlValue* self = value_new(FL_VALUE_TYPE_STRING);
  self->string_value = g_strdup(value != nullptr ? value : "");
  return self;
}

FlValue* fl_value_new_string_sized(const gchar* value, size_t value_length) {
  FlValue* self = value_new(FL_VALUE_TYPE_STRING);
  self->string_value =
      (value == nullptr || value_length == 0) ? g_strdup("") : g_strndup(value, value_length);
  return self;
}

FlValue* fl_value_new_uint8_list(const uint8_t* value, size_t value_length) {
  return typed_list_new(FL_VALUE_TYPE_UINT8_LIST, value, value_length, sizeof(uint8_t));
}

FlValue* fl_value_new_uint8_list_from_bytes(GBytes* value) {
  gsize length = 0;
  const uint8_t* data = static_cast<const uint8_t*>(g_bytes_get_data(value, &length));
  return fl_value_new_uint8_list(data, length);
}

FlValue* fl_value_new_int32_list(const int32_t* value, size_t value_length) {
  return typed_list_new(FL_VALUE_TYPE_INT32_LIST, value, value_length, sizeof(int32_t));
}

FlValue* fl_value_new_int64_list(const int64_t* value, size_t value_length) {
  return typed_list_new(FL_VALUE_TYPE_INT64_LIST, value, value_length, sizeof(int64_t));
}

FlValue* fl_value_new_float32_list(const float* value, size_t value_length) {
  return typed_list_new(FL_VALUE_TYPE_FLOAT32_LIST, value, value_length, sizeof(float));
}

FlValue* fl_value_new_float_list(const double* value, size_t value_length) {
  return typed_list_new(FL_VALUE_TYPE_FLOAT_LIST, value, value_length, sizeof(double));
}

FlValue* fl_value_new_list() {
  FlValue* self = value_new(FL_VALUE_TYPE_LIST);
  self->list = g_ptr_array_new_with_free_func(value_destroy_notify);
  return self;
}

FlValue* fl_value_new_list_from_strv(const gchar* const* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  FlValue* self = fl_value_new_list();
  for (size_t i = 0; value[i] != nullptr; i++) {
    fl_value_append_take(self, fl_value_new_string(value[i]));
  }
  return self;
}

FlValue* fl_value_new_map() {
  FlValue* self = value_new(FL_VALUE_TYPE_MAP);
  self->map.keys = g_ptr_array_new_with_free_func(value_destroy_notify);
  self->map.values = g_ptr_array_new_with_free_func(value_destroy_notify);
  return self;
}

FlValue* fl_value_new_custom(int type, gconstpointer value, GDestroyNotify destroy_notify) {
  FlValue* self = value_new(FL_VALUE_TYPE_CUSTOM);
  self->custom.type = type;
  self->custom.value = const_cast<gpointer>(value);
  self->custom.destroy_notify = destroy_notify;
  return self;
}

FlValue* fl_value_new_custom_object(int type, GObject* object) {
  g_return_val_if_fail(G_IS_OBJECT(object), nullptr);
  return fl_value_new_custom(type, g_object_ref(object), g_object_unref);
}

FlValue* fl_value_new_custom_object_take(int type, GObject* object) {
  g_return_val_if_fail(G_IS_OBJECT(object), nullptr);
  return fl_value_new_custom(type, object, g_object_unref);
}

FlValue* fl_value_ref(FlValue* self) {
  g_return_val_if_fail(self != nullptr, nullptr);
  self->ref_count++;
  return self;
}

void fl_value_unref(FlValue* self) {
  g_return_if_fail(self != nullptr);
  g_return_if_fail(self->ref_count > 0);
  if (--self->ref_count > 0) {
    return;
  }
  switch (self->type) {
    case FL_VALUE_TYPE_STRING:
      g_free(self->string_value);
      break;
    case FL_VALUE_TYPE_UINT8_LIST:
    case FL_VALUE_TYPE_INT32_LIST:
    case FL_VALUE_TYPE_INT64_LIST:
    case FL_VALUE_TYPE_FLOAT_LIST:
    case FL_VALUE_TYPE_FLOAT32_LIST:
      g_free(self->typed.data);
      break;
    case FL_VALUE_TYPE_LIST:
      g_ptr_array_unref(self->list);
      break;
    case FL_VALUE_TYPE_MAP:
      g_ptr_array_unref(self->map.keys);
      g_ptr_array_unref(self->map.values);
      break;
    case FL_VALUE_TYPE_CUSTOM:
      if (self->custom.destroy_notify != nullptr) {
        self->custom.destroy_notify(self->custom.value);
      }
      break;
    default:
      break;
  }
  g_free(self);
}

FlValueType fl_value_get_type(FlValue* self) {
  g_return_val_if_fail(self != nullptr, FL_VALUE_TYPE_NULL);
  return self->type;
}

bool fl_value_get_bool(FlValue* self) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_BOOL, false);
  return self->bool_value;
}

int64_t fl_value_get_int(FlValue* self) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_INT, 0);
  return self->int_value;
}

double fl_value_get_float(FlValue* self) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_FLOAT, 0.0);
  return self->float_value;
}

const gchar* fl_value_get_string(FlValue* self) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_STRING, nullptr);
  return self->string_value;
}

const uint8_t* fl_value_get_uint8_list(FlValue* self) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_UINT8_LIST, nullptr);
  return static_cast<const uint8_t*>(self->typed.data);
}

const int32_t* fl_value_get_int32_list(FlValue* self) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_INT32_LIST, nullptr);
  return static_cast<const int32_t*>(self->typed.data);
}

const int64_t* fl_value_get_int64_list(FlValue* self) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_INT64_LIST, nullptr);
  return static_cast<const int64_t*>(self->typed.data);
}

const double* fl_value_get_float_list(FlValue* self) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_FLOAT_LIST, nullptr);
  return static_cast<const double*>(self->typed.data);
}

const float* fl_value_get_float32_list(FlValue* self) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_FLOAT32_LIST, nullptr);
  return static_cast<const float*>(self->typed.data);
}

int fl_value_get_custom_type(FlValue* self) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_CUSTOM, -1);
  return self->custom.type;
}

gconstpointer fl_value_get_custom_value(FlValue* self) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_CUSTOM, nullptr);
  return self->custom.value;
}

GObject* fl_value_get_custom_value_object(FlValue* self) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_CUSTOM, nullptr);
  g_return_val_if_fail(G_IS_OBJECT(self->custom.value), nullptr);
  return G_OBJECT(self->custom.value);
}

size_t fl_value_get_length(FlValue* self) {
  g_return_val_if_fail(self != nullptr, 0);
  if (is_typed_list(self->type)) {
    return self->typed.length;
  }
  if (self->type == FL_VALUE_TYPE_LIST) {
    return self->list->len;
  }
  g_return_val_if_fail(self->type == FL_VALUE_TYPE_MAP, 0);
  return self->map.keys->len;
}

FlValue* fl_value_get_list_value(FlValue* self, size_t index) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_LIST, nullptr);
  g_return_val_if_fail(index < self->list->len, nullptr);
  return static_cast<FlValue*>(g_ptr_array_index(self->list, index));
}

FlValue* fl_value_get_map_key(FlValue* self, size_t index) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_MAP, nullptr);
  g_return_val_if_fail(index < self->map.keys->len, nullptr);
  return static_cast<FlValue*>(g_ptr_array_index(self->map.keys, index));
}

FlValue* fl_value_get_map_value(FlValue* self, size_t index) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_MAP, nullptr);
  g_return_val_if_fail(index < self->map.values->len, nullptr);
  return static_cast<FlValue*>(g_ptr_array_index(self->map.values, index));
}

FlValue* fl_value_lookup(FlValue* self, FlValue* key) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_MAP, nullptr);
  g_return_val_if_fail(key != nullptr, nullptr);
  gssize index = map_find(self, key);
  return index < 0 ? nullptr : static_cast<FlValue*>(g_ptr_array_index(self->map.values, index));
}

FlValue* fl_value_lookup_string(FlValue* self, const gchar* key) {
  g_return_val_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_MAP, nullptr);
  g_return_val_if_fail(key != nullptr, nullptr);
  g_autoptr(FlValue) string_key = fl_value_new_string(key);
  return fl_value_lookup(self, string_key);
}

void fl_value_append(FlValue* self, FlValue* child) {
  g_return_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_LIST);
  g_return_if_fail(child != nullptr);
  fl_value_append_take(self, fl_value_ref(child));
}

void fl_value_append_take(FlValue* self, FlValue* child) {
  g_return_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_LIST);
  g_return_if_fail(child != nullptr);
  g_ptr_array_add(self->list, child);
}

void fl_value_set(FlValue* self, FlValue* key, FlValue* child_value) {
  g_return_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_MAP);
  g_return_if_fail(key != nullptr && child_value != nullptr);
  fl_value_set_take(self, fl_value_ref(key), fl_value_ref(child_value));
}

void fl_value_set_take(FlValue* self, FlValue* key, FlValue* child_value) {
  g_return_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_MAP);
  g_return_if_fail(key != nullptr && child_value != nullptr);
  gssize index = map_find(self, key);
  if (index < 0) {
    g_ptr_array_add(self->map.keys, key);
    g_ptr_array_add(self->map.values, child_value);
    return;
  }
  // Replace in place so iteration order stays the order of first insertion. The caller's
  // references are already held, so dropping the old ones cannot free the new ones.
  FlValue* old_key = static_cast<FlValue*>(g_ptr_array_index(self->map.keys, index));
  FlValue* old_value = static_cast<FlValue*>(g_ptr_array_index(self->map.values, index));
  g_ptr_array_index(self->map.keys, index) = key;
  g_ptr_array_index(self->map.values, index) = child_value;
  fl_value_unref(old_key);
  fl_value_unref(old_value);
}

void fl_value_set_string(FlValue* self, const gchar* key, FlValue* child_value) {
  g_return_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_MAP);
  g_return_if_fail(key != nullptr && child_value != nullptr);
  fl_value_set_take(self, fl_value_new_string(key), fl_value_ref(child_value));
}

void fl_value_set_string_take(FlValue* self, const gchar* key, FlValue* child_value) {
  g_return_if_fail(self != nullptr && self->type == FL_VALUE_TYPE_MAP);
  g_return_if_fail(key != nullptr && child_value != nullptr);
  fl_value_set_take(self, fl_value_new_string(key), child_value);
}

bool fl_value_equal(FlValue* a, FlValue* b) {
  g_return_val_if_fail(a != nullptr, false);
  g_return_val_if_fail(b != nullptr, false);
  if (a->type != b->type) {
    return false;
  }
  switch (a->type) {
    case FL_VALUE_TYPE_NULL:
      return true;
    case FL_VALUE_TYPE_BOOL:
      return a->bool_value == b->bool_value;
    case FL_VALUE_TYPE_INT:
      return a->int_value == b->int_value;
    case FL_VALUE_TYPE_FLOAT:
      return a->float_value == b->float_value;
    case FL_VALUE_TYPE_STRING:
      return g_strcmp0(a->string_value, b->string_value) == 0;
    case FL_VALUE_TYPE_UINT8_LIST:
    case FL_VALUE_TYPE_INT32_LIST:
    case FL_VALUE_TYPE_INT64_LIST:
      return a->typed.length == b->typed.length &&
             memcmp(a->typed.data, b->typed.data,
                    a->typed.length * (a->type == FL_VALUE_TYPE_UINT8_LIST   ? 1
                                       : a->type == FL_VALUE_TYPE_INT32_LIST ? 4
                                                                             : 8)) == 0;
    case FL_VALUE_TYPE_FLOAT_LIST: {
      if (a->typed.length != b->typed.length) {
        return false;
      }
      const double* x = static_cast<const double*>(a->typed.data);
      const double* y = static_cast<const double*>(b->typed.data);
      for (size_t i = 0; i < a->typed.length; i++) {
        if (!(x[i] == y[i])) {
          return false;
        }
      }
      return true;
    }
    case FL_VALUE_TYPE_FLOAT32_LIST: {
      if (a->typed.length != b->typed.length) {
        return false;
      }
      const float* x = static_cast<const float*>(a->typed.data);
      const float* y = static_cast<const float*>(b->typed.data);
      for (size_t i = 0; i < a->typed.length; i++) {
        if (!(x[i] == y[i])) {
          return false;
        }
      }
      return true;
    }
    case FL_VALUE_TYPE_LIST:
      if (a->list->len != b->list->len) {
        return false;
      }
      for (guint i = 0; i < a->list->len; i++) {
        if (!fl_value_equal(static_cast<FlValue*>(g_ptr_array_index(a->list, i)),
                            static_cast<FlValue*>(g_ptr_array_index(b->list, i)))) {
          return false;
        }
      }
      return true;
    case FL_VALUE_TYPE_MAP:
      if (a->map.keys->len != b->map.keys->len) {
        return false;
      }
      // Keys are unique, so equal sizes plus every key of a found equal in b is equality.
      for (guint i = 0; i < a->map.keys->len; i++) {
        FlValue* other =
            fl_value_lookup(b, static_cast<FlValue*>(g_ptr_array_index(a->map.keys, i)));
        if (other == nullptr ||
            !fl_value_equal(static_cast<FlValue*>(g_ptr_array_index(a->map.values, i)), other)) {
          return false;
        }
      }
      return true;
    case FL_VALUE_TYPE_CUSTOM:
      return false;
  }
  return false;
}

gchar* fl_value_to_string(FlValue* self) {
  g_return_val_if_fail(self != nullptr, nullptr);
  GString* buffer = g_string_new(nullptr);
  append_value(buffer, self);
  return g_string_free(buffer, FALSE);
}
