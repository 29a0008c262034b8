#ifndef FLUTTER_LINUX_FL_VALUE_H_
#define FLUTTER_LINUX_FL_VALUE_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

G_BEGIN_DECLS

/**
 * FlValue:
 *
 * A reference-counted value that can cross a platform channel: null, bool, int (64 bit),
 * float (double), string, typed lists, lists, maps and custom values of codec extensions.
 * Not thread-safe: use each value on one thread only.
 */
typedef struct _FlValue FlValue;

/**
 * FlValueType:
 *
 * The kinds of FlValue. The numbering is part of the API.
 */
typedef enum {
  FL_VALUE_TYPE_NULL,
  FL_VALUE_TYPE_BOOL,
  FL_VALUE_TYPE_INT,
  FL_VALUE_TYPE_FLOAT,
  FL_VALUE_TYPE_STRING,
  FL_VALUE_TYPE_UINT8_LIST,
  FL_VALUE_TYPE_INT32_LIST,
  FL_VALUE_TYPE_INT64_LIST,
  FL_VALUE_TYPE_FLOAT_LIST,
  FL_VALUE_TYPE_LIST,
  FL_VALUE_TYPE_MAP,
  FL_VALUE_TYPE_FLOAT32_LIST,
  FL_VALUE_TYPE_CUSTOM,
} FlValueType;

// Constructors: each returns a new value with a reference count of 1 (transfer full).
G_MODULE_EXPORT FlValue* fl_value_new_null();
G_MODULE_EXPORT FlValue* fl_value_new_bool(bool value);
G_MODULE_EXPORT FlValue* fl_value_new_int(int64_t value);
G_MODULE_EXPORT FlValue* fl_value_new_float(double value);
// Copies @value.
G_MODULE_EXPORT FlValue* fl_value_new_string(const gchar* value);
// Copies at most @value_length bytes of @value, stopping at a NUL byte.
G_MODULE_EXPORT FlValue* fl_value_new_string_sized(const gchar* value, size_t value_length);
// Typed lists copy @value_length elements of @value.
G_MODULE_EXPORT FlValue* fl_value_new_uint8_list(const uint8_t* value, size_t value_length);
G_MODULE_EXPORT FlValue* fl_value_new_uint8_list_from_bytes(GBytes* value);
G_MODULE_EXPORT FlValue* fl_value_new_int32_list(const int32_t* value, size_t value_length);
G_MODULE_EXPORT FlValue* fl_value_new_int64_list(const int64_t* value, size_t value_length);
G_MODULE_EXPORT FlValue* fl_value_new_float32_list(const float* value, size_t value_length);
G_MODULE_EXPORT FlValue* fl_value_new_float_list(const double* value, size_t value_length);
G_MODULE_EXPORT FlValue* fl_value_new_list();
// A list of strings copied from a NULL-terminated array.
G_MODULE_EXPORT FlValue* fl_value_new_list_from_strv(const gchar* const* value);
G_MODULE_EXPORT FlValue* fl_value_new_map();
// A value of a codec extension: @type identifies it to the codec; @destroy_notify (may be NULL)
// is called on @value when the value is freed.
G_MODULE_EXPORT FlValue* fl_value_new_custom(int type,
                                             gconstpointer value,
                                             GDestroyNotify destroy_notify);
// A custom value holding a new reference to @object.
G_MODULE_EXPORT FlValue* fl_value_new_custom_object(int type, GObject* object);
// A custom value taking the caller's reference to @object.
G_MODULE_EXPORT FlValue* fl_value_new_custom_object_take(int type, GObject* object);

// Adds a reference; returns @value.
G_MODULE_EXPORT FlValue* fl_value_ref(FlValue* value);
// Drops a reference; frees the value and releases its children at zero.
G_MODULE_EXPORT void fl_value_unref(FlValue* value);

G_MODULE_EXPORT FlValueType fl_value_get_type(FlValue* value);

// Getters: calling one on a value of another kind is a programming error (critical, 0/NULL).
// Returned pointers are borrowed and live as long as @value.
G_MODULE_EXPORT bool fl_value_get_bool(FlValue* value);
G_MODULE_EXPORT int64_t fl_value_get_int(FlValue* value);
G_MODULE_EXPORT double fl_value_get_float(FlValue* value);
G_MODULE_EXPORT const gchar* fl_value_get_string(FlValue* value);
G_MODULE_EXPORT const uint8_t* fl_value_get_uint8_list(FlValue* value);
G_MODULE_EXPORT const int32_t* fl_value_get_int32_list(FlValue* value);
G_MODULE_EXPORT const int64_t* fl_value_get_int64_list(FlValue* value);
G_MODULE_EXPORT const double* fl_value_get_float_list(FlValue* value);
G_MODULE_EXPORT const float* fl_value_get_float32_list(FlValue* value);
G_MODULE_EXPORT int fl_value_get_custom_type(FlValue* value);
G_MODULE_EXPORT gconstpointer fl_value_get_custom_value(FlValue* value);
G_MODULE_EXPORT GObject* fl_value_get_custom_value_object(FlValue* value);

// Number of elements of a typed list, list or map (entries).
G_MODULE_EXPORT size_t fl_value_get_length(FlValue* value);
// Element @index of a list (transfer none).
G_MODULE_EXPORT FlValue* fl_value_get_list_value(FlValue* value, size_t index);
// Key and value of entry @index of a map, in insertion order (transfer none).
G_MODULE_EXPORT FlValue* fl_value_get_map_key(FlValue* value, size_t index);
G_MODULE_EXPORT FlValue* fl_value_get_map_value(FlValue* value, size_t index);
// The value stored under a key equal to @key, or NULL (transfer none).
G_MODULE_EXPORT FlValue* fl_value_lookup(FlValue* value, FlValue* key);
G_MODULE_EXPORT FlValue* fl_value_lookup_string(FlValue* value, const gchar* key);

// Appends @child to a list, adding a reference.
G_MODULE_EXPORT void fl_value_append(FlValue* value, FlValue* child);
// Appends @child to a list, taking the caller's reference.
G_MODULE_EXPORT void fl_value_append_take(FlValue* value, FlValue* child);
// Stores @child_value under @key in a map, adding references; an equal key already present is
// replaced in place (key and value), keeping the insertion order.
G_MODULE_EXPORT void fl_value_set(FlValue* value, FlValue* key, FlValue* child_value);
// As fl_value_set, taking the caller's references to @key and @child_value.
G_MODULE_EXPORT void fl_value_set_take(FlValue* value, FlValue* key, FlValue* child_value);
// As fl_value_set with a string key copied from @key.
G_MODULE_EXPORT void fl_value_set_string(FlValue* value, const gchar* key, FlValue* child_value);
// As fl_value_set_string, taking the caller's reference to @child_value.
G_MODULE_EXPORT void fl_value_set_string_take(FlValue* value,
                                              const gchar* key,
                                              FlValue* child_value);

// Deep equality: same kind and content, map order ignored, floats by ==, custom never equal.
G_MODULE_EXPORT bool fl_value_equal(FlValue* a, FlValue* b);

// A readable rendering ("[1, 2.0, {a: null}]"); free with g_free.
G_MODULE_EXPORT gchar* fl_value_to_string(FlValue* value);

G_DEFINE_AUTOPTR_CLEANUP_FUNC(FlValue, fl_value_unref)

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_VALUE_H_
