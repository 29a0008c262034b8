// FlValue: construction and getters of every kind, map semantics, equality and rendering.

#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

namespace {

std::string to_string(FlValue* value) {
  g_autofree gchar* text = fl_value_to_string(value);
  return text;
}

FlValue* list_of(std::initializer_list<FlValue*> children) {
  FlValue* list = fl_value_new_list();
  for (FlValue* child : children) {
    fl_value_append_take(list, child);
  }
  return list;
}

TEST(FlValueTest, ScalarsKeepKindAndContent) {
  g_autoptr(FlValue) null_value = fl_value_new_null();
  g_autoptr(FlValue) bool_value = fl_value_new_bool(true);
  g_autoptr(FlValue) int_value = fl_value_new_int(INT64_MIN);
  g_autoptr(FlValue) float_value = fl_value_new_float(-0.25);
  g_autoptr(FlValue) string_value = fl_value_new_string("héllo");
  EXPECT_EQ(fl_value_get_type(null_value), FL_VALUE_TYPE_NULL);
  EXPECT_EQ(fl_value_get_type(bool_value), FL_VALUE_TYPE_BOOL);
  EXPECT_TRUE(fl_value_get_bool(bool_value));
  EXPECT_EQ(fl_value_get_int(int_value), INT64_MIN);
  EXPECT_EQ(fl_value_get_float(float_value), -0.25);
  EXPECT_STREQ(fl_value_get_string(string_value), "héllo");
}

TEST(FlValueTest, SizedStringsStopAtLengthOrNul) {
  struct Case {
    const char* data;
    size_t length;
    const char* expected;
  } cases[] = {
      {"hello", 3, "hel"},  {"hello", 5, "hello"},
      {"he\0llo", 6, "he"},  // g_strndup stops at an embedded NUL
      {nullptr, 0, ""},     {"abc", 0, ""},
  };
  for (const Case& c : cases) {
    g_autoptr(FlValue) value = fl_value_new_string_sized(c.data, c.length);
    EXPECT_STREQ(fl_value_get_string(value), c.expected);
  }
}

TEST(FlValueTest, TypedListsCopyTheirElements) {
  uint8_t bytes[] = {0, 1, 255};
  int32_t ints32[] = {INT32_MIN, -1, INT32_MAX};
  int64_t ints64[] = {INT64_MIN, 0, INT64_MAX};
  float floats32[] = {-0.5f, 0.25f};
  double floats[] = {1.5, -2.25, 1e300};
  g_autoptr(FlValue) u8 = fl_value_new_uint8_list(bytes, 3);
  g_autoptr(FlValue) i32 = fl_value_new_int32_list(ints32, 3);
  g_autoptr(FlValue) i64 = fl_value_new_int64_list(ints64, 3);
  g_autoptr(FlValue) f32 = fl_value_new_float32_list(floats32, 2);
  g_autoptr(FlValue) f64 = fl_value_new_float_list(floats, 3);
  bytes[0] = 9;  // the value has its own copy
  EXPECT_EQ(fl_value_get_type(u8), FL_VALUE_TYPE_UINT8_LIST);
  EXPECT_EQ(fl_value_get_length(u8), 3u);
  EXPECT_EQ(fl_value_get_uint8_list(u8)[0], 0);
  EXPECT_EQ(fl_value_get_uint8_list(u8)[2], 255);
  EXPECT_EQ(fl_value_get_int32_list(i32)[0], INT32_MIN);
  EXPECT_EQ(fl_value_get_int64_list(i64)[2], INT64_MAX);
  EXPECT_EQ(fl_value_get_float32_list(f32)[1], 0.25f);
  EXPECT_EQ(fl_value_get_float_list(f64)[2], 1e300);
  EXPECT_EQ(fl_value_get_type(f32), FL_VALUE_TYPE_FLOAT32_LIST);
  EXPECT_EQ(fl_value_get_type(f64), FL_VALUE_TYPE_FLOAT_LIST);

  g_autoptr(GBytes) source = g_bytes_new("\x01\x02", 2);
  g_autoptr(FlValue) from_bytes = fl_value_new_uint8_list_from_bytes(source);
  EXPECT_EQ(fl_value_get_length(from_bytes), 2u);
  EXPECT_EQ(fl_value_get_uint8_list(from_bytes)[1], 2);

  g_autoptr(FlValue) empty = fl_value_new_int64_list(nullptr, 0);
  EXPECT_EQ(fl_value_get_length(empty), 0u);
}

TEST(FlValueTest, ListsHoldReferencesAndKeepOrder) {
  g_autoptr(FlValue) list = fl_value_new_list();
  g_autoptr(FlValue) child = fl_value_new_string("kept");
  fl_value_append(list, child);
  fl_value_append_take(list, fl_value_new_int(2));
  ASSERT_EQ(fl_value_get_length(list), 2u);
  EXPECT_EQ(fl_value_get_list_value(list, 0), child);
  EXPECT_EQ(fl_value_get_int(fl_value_get_list_value(list, 1)), 2);

  const gchar* strv[] = {"a", "b", nullptr};
  g_autoptr(FlValue) strings = fl_value_new_list_from_strv(strv);
  EXPECT_EQ(to_string(strings), "[a, b]");
}

TEST(FlValueTest, MapSetReplacesEqualKeyInPlace) {
  g_autoptr(FlValue) map = fl_value_new_map();
  fl_value_set_string_take(map, "first", fl_value_new_int(1));
  fl_value_set_take(map, fl_value_new_int(7), fl_value_new_string("seven"));
  fl_value_set_string_take(map, "last", fl_value_new_null());
  // Replacing keeps the entry's position and swaps both key and value objects.
  g_autoptr(FlValue) new_key = fl_value_new_string("first");
  g_autoptr(FlValue) new_value = fl_value_new_bool(false);
  fl_value_set(map, new_key, new_value);

  ASSERT_EQ(fl_value_get_length(map), 3u);
  EXPECT_EQ(fl_value_get_map_key(map, 0), new_key);
  EXPECT_EQ(fl_value_get_map_value(map, 0), new_value);
  EXPECT_EQ(to_string(map), "{first: false, 7: seven, last: null}");

  g_autoptr(FlValue) int_key = fl_value_new_int(7);
  EXPECT_STREQ(fl_value_get_string(fl_value_lookup(map, int_key)), "seven");
  EXPECT_EQ(fl_value_lookup_string(map, "last") != nullptr, true);
  EXPECT_EQ(fl_value_lookup_string(map, "absent"), nullptr);
  // A string "7" is not the int 7.
  EXPECT_EQ(fl_value_lookup_string(map, "7"), nullptr);
}

TEST(FlValueTest, SettingTheSameObjectAgainKeepsItAlive) {
  g_autoptr(FlValue) map = fl_value_new_map();
  FlValue* key = fl_value_new_string("k");
  FlValue* value = fl_value_new_int(1);
  fl_value_set_take(map, key, value);
  fl_value_set(map, key, value);  // the replaced entry is the same objects
  EXPECT_EQ(fl_value_get_int(fl_value_lookup_string(map, "k")), 1);
  EXPECT_EQ(fl_value_get_length(map), 1u);
}

TEST(FlValueTest, CustomValuesReleaseTheirContent) {
  static int destroyed = 0;
  destroyed = 0;
  {
    g_autoptr(FlValue) value = fl_value_new_custom(130, g_strdup("payload"), [](gpointer p) {
      destroyed++;
      g_free(p);
    });
    EXPECT_EQ(fl_value_get_type(value), FL_VALUE_TYPE_CUSTOM);
    EXPECT_EQ(fl_value_get_custom_type(value), 130);
    EXPECT_STREQ(static_cast<const char*>(fl_value_get_custom_value(value)), "payload");
    EXPECT_EQ(to_string(value), "(custom 130)");
  }
  EXPECT_EQ(destroyed, 1);

  g_autoptr(GObject) object = G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr));
  g_autoptr(FlValue) held = fl_value_new_custom_object(131, object);
  EXPECT_EQ(fl_value_get_custom_value_object(held), object);
  EXPECT_EQ(object->ref_count, 2u);
}

TEST(FlValueTest, EqualityCases) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  int32_t a32[] = {1, 2};
  int32_t b32[] = {1, 3};
  double nan_list[] = {nan};
  // Each row builds two fresh values and the expected result of fl_value_equal.
  struct Case {
    const char* what;
    std::function<FlValue*()> a;
    std::function<FlValue*()> b;
    bool equal;
  } cases[] = {
      {"null", [] { return fl_value_new_null(); }, [] { return fl_value_new_null(); }, true},
      {"int vs float", [] { return fl_value_new_int(1); }, [] { return fl_value_new_float(1); },
       false},
      {"ints", [] { return fl_value_new_int(5); }, [] { return fl_value_new_int(5); }, true},
      {"floats -0 == 0", [] { return fl_value_new_float(-0.0); },
       [] { return fl_value_new_float(0.0); }, true},
      {"NaN", [=] { return fl_value_new_float(nan); }, [=] { return fl_value_new_float(nan); },
       false},
      {"strings", [] { return fl_value_new_string("a"); }, [] { return fl_value_new_string("b"); },
       false},
      {"int32 lists", [&] { return fl_value_new_int32_list(a32, 2); },
       [&] { return fl_value_new_int32_list(a32, 2); }, true},
      {"int32 lists differ", [&] { return fl_value_new_int32_list(a32, 2); },
       [&] { return fl_value_new_int32_list(b32, 2); }, false},
      {"int32 lists lengths", [&] { return fl_value_new_int32_list(a32, 1); },
       [&] { return fl_value_new_int32_list(a32, 2); }, false},
      {"float list NaN", [&] { return fl_value_new_float_list(nan_list, 1); },
       [&] { return fl_value_new_float_list(nan_list, 1); }, false},
      {"nested lists",
       [] {
         return list_of({fl_value_new_int(1), list_of({fl_value_new_null()})});
       },
       [] {
         return list_of({fl_value_new_int(1), list_of({fl_value_new_null()})});
       },
       true},
      {"list order matters",
       [] {
         return list_of({fl_value_new_int(1), fl_value_new_int(2)});
       },
       [] {
         return list_of({fl_value_new_int(2), fl_value_new_int(1)});
       },
       false},
      {"map order ignored",
       [] {
         FlValue* m = fl_value_new_map();
         fl_value_set_string_take(m, "a", fl_value_new_int(1));
         fl_value_set_string_take(m, "b", fl_value_new_int(2));
         return m;
       },
       [] {
         FlValue* m = fl_value_new_map();
         fl_value_set_string_take(m, "b", fl_value_new_int(2));
         fl_value_set_string_take(m, "a", fl_value_new_int(1));
         return m;
       },
       true},
      {"map values differ",
       [] {
         FlValue* m = fl_value_new_map();
         fl_value_set_string_take(m, "a", fl_value_new_int(1));
         return m;
       },
       [] {
         FlValue* m = fl_value_new_map();
         fl_value_set_string_take(m, "a", fl_value_new_int(2));
         return m;
       },
       false},
      {"map key kinds differ",
       [] {
         FlValue* m = fl_value_new_map();
         fl_value_set_string_take(m, "1", fl_value_new_null());
         return m;
       },
       [] {
         FlValue* m = fl_value_new_map();
         fl_value_set_take(m, fl_value_new_int(1), fl_value_new_null());
         return m;
       },
       false},
      {"custom never equal", [] { return fl_value_new_custom(128, nullptr, nullptr); },
       [] { return fl_value_new_custom(128, nullptr, nullptr); }, false},
  };
  for (const Case& c : cases) {
    g_autoptr(FlValue) a = c.a();
    g_autoptr(FlValue) b = c.b();
    EXPECT_EQ(fl_value_equal(a, b), c.equal) << c.what;
    EXPECT_EQ(fl_value_equal(b, a), c.equal) << c.what;
  }
}

TEST(FlValueTest, ToStringCases) {
  uint8_t bytes[] = {1, 2};
  float floats32[] = {0.5f};
  double floats[] = {1.0, 0.1};
  int64_t ints[] = {-1, 9000000000};
  struct Case {
    std::function<FlValue*()> make;
    const char* expected;
  } cases[] = {
      {[] { return fl_value_new_null(); }, "null"},
      {[] { return fl_value_new_bool(false); }, "false"},
      {[] { return fl_value_new_int(-42); }, "-42"},
      {[] { return fl_value_new_float(1.0); }, "1.0"},
      {[] { return fl_value_new_float(M_PI); }, "3.1415926535897931"},
      {[] { return fl_value_new_float(-2.5); }, "-2.5"},
      {[] { return fl_value_new_string("plain text"); }, "plain text"},
      {[&] { return fl_value_new_uint8_list(bytes, 2); }, "[1, 2]"},
      {[&] { return fl_value_new_float32_list(floats32, 1); }, "[0.5]"},
      {[&] { return fl_value_new_float_list(floats, 2); }, "[1.0, 0.1]"},
      {[&] { return fl_value_new_int64_list(ints, 2); }, "[-1, 9000000000]"},
      {[] { return fl_value_new_list(); }, "[]"},
      {[] { return fl_value_new_map(); }, "{}"},
      {[] {
         FlValue* m = fl_value_new_map();
         fl_value_set_string_take(m, "list", list_of({fl_value_new_int(1), fl_value_new_null()}));
         fl_value_set_take(m, fl_value_new_bool(true), fl_value_new_string("x"));
         return m;
       },
       "{list: [1, null], true: x}"},
  };
  for (const Case& c : cases) {
    g_autoptr(FlValue) value = c.make();
    EXPECT_EQ(to_string(value), c.expected);
  }
}

TEST(FlValueTest, RefCountingKeepsSharedChildren) {
  g_autoptr(FlValue) child = fl_value_new_string("shared");
  {
    g_autoptr(FlValue) list = fl_value_new_list();
    g_autoptr(FlValue) map = fl_value_new_map();
    fl_value_append(list, child);
    fl_value_set_string(map, "k", child);
  }
  // Containers are gone; our reference still works (ASan would catch a premature free).
  EXPECT_STREQ(fl_value_get_string(child), "shared");
  EXPECT_EQ(fl_value_ref(child), child);
  fl_value_unref(child);
}

}  // namespace
