// The standard message codec: exact bytes, sizes, alignment, integer widths, nesting, custom
// types through a subclass, and a decoder that refuses every truncated or lying message.

#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "tests/embedding/codec_test_util.h"

namespace {

FlValue* list_of(std::initializer_list<FlValue*> children) {
  FlValue* list = fl_value_new_list();
  for (FlValue* child : children) {
    fl_value_append_take(list, child);
  }
  return list;
}

FlValue* map_of(std::initializer_list<std::pair<const char*, FlValue*>> entries) {
  FlValue* map = fl_value_new_map();
  for (const auto& entry : entries) {
    fl_value_set_string_take(map, entry.first, entry.second);
  }
  return map;
}

class FlStandardMessageCodecTest : public ::testing::Test {
 protected:
  std::string Encode(FlValue* value) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GBytes) bytes =
        fl_message_codec_encode_message(FL_MESSAGE_CODEC(codec_), value, &error);
    EXPECT_NE(bytes, nullptr) << (error ? error->message : "");
    return bytes ? bytes_to_hex(bytes) : "";
  }

  // Returns: (transfer full) the decoded value, or NULL with *error set.
  FlValue* Decode(const std::string& hex, GError** error) {
    g_autoptr(GBytes) bytes = hex_to_bytes(hex);
    return fl_message_codec_decode_message(FL_MESSAGE_CODEC(codec_), bytes, error);
  }

  // Decoding @hex fails with @code (and never reads out of bounds: ASan watches).
  void ExpectDecodeError(const std::string& hex, FlMessageCodecError code) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlValue) value = Decode(hex, &error);
    EXPECT_EQ(value, nullptr) << hex;
    EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR, code))
        << hex << ": " << (error ? error->message : "no error");
  }

  // Encodes @value to exactly @hex and decodes @hex back to a value equal to @value.
  void ExpectRoundTrip(FlValue* value, const std::string& hex) {
    EXPECT_EQ(Encode(value), strip_spaces(hex));
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlValue) decoded = Decode(hex, &error);
    ASSERT_NE(decoded, nullptr) << hex << ": " << error->message;
    g_autofree gchar* expected = fl_value_to_string(value);
    g_autofree gchar* actual = fl_value_to_string(decoded);
    EXPECT_TRUE(fl_value_equal(value, decoded)) << expected << " vs " << actual;
  }

  void TearDown() override { g_object_unref(codec_); }

  FlStandardMessageCodec* codec_ = fl_standard_message_codec_new();
};

struct Vector {
  const char* what;
  std::function<FlValue*()> make;
  const char* hex;
};

// The published vectors of the codec, plus one value of every kind not among them.
std::vector<Vector> PublishedVectors() {
  return {
      {"null", [] { return fl_value_new_null(); }, "00"},
      {"true", [] { return fl_value_new_bool(true); }, "01"},
      {"false", [] { return fl_value_new_bool(false); }, "02"},
      {"int 1", [] { return fl_value_new_int(1); }, "03 01000000"},
      {"int 0x01234567", [] { return fl_value_new_int(0x01234567); }, "03 67452301"},
      {"int32 min", [] { return fl_value_new_int(INT32_MIN); }, "03 00000080"},
      {"int32 max", [] { return fl_value_new_int(INT32_MAX); }, "03 ffffff7f"},
      {"int64", [] { return fl_value_new_int(0x0123456789abcdef); }, "04 efcdab8967452301"},
      {"int64 min", [] { return fl_value_new_int(INT64_MIN); }, "04 0000000000000080"},
      {"float 1.0", [] { return fl_value_new_float(1.0); }, "06 00000000000000 000000000000f03f"},
      {"float pi", [] { return fl_value_new_float(M_PI); }, "06 00000000000000 182d4454fb210940"},
      {"empty string", [] { return fl_value_new_string(""); }, "07 00"},
      {"string", [] { return fl_value_new_string("hello"); }, "07 05 68656c6c6f"},
      {"uint8 list",
       [] {
         uint8_t data[] = {0, 1, 2, 3, 4};
         return fl_value_new_uint8_list(data, 5);
       },
       "08 05 0001020304"},
      {"int32 list",
       [] {
         int32_t data[] = {0, -1, 2, -3, 4};
         return fl_value_new_int32_list(data, 5);
       },
       "09 05 0000 00000000 ffffffff 02000000 fdffffff 04000000"},
      {"int64 list",
       [] {
         int64_t data[] = {-1, 2};
         return fl_value_new_int64_list(data, 2);
       },
       "0a 02 000000000000 ffffffffffffffff 0200000000000000"},
      {"float32 list",
       [] {
         float data[] = {0.0f, -0.5f, 0.25f, -0.125f, 0.00625f};
         return fl_value_new_float32_list(data, 5);
       },
       "0e 05 0000 00000000 000000bf 0000803e 000000be cdcccc3b"},
      {"empty float64 list", [] { return fl_value_new_float_list(nullptr, 0); },
       "0b 00 000000000000"},
      {"float64 list",
       [] {
         double data[] = {1.0};
         return fl_value_new_float_list(data, 1);
       },
       "0b 01 000000000000 000000000000f03f"},
      {"list of every kind",
       [] {
         return list_of({fl_value_new_null(), fl_value_new_bool(true), fl_value_new_int(42),
                         fl_value_new_float(M_PI), fl_value_new_string("hello"),
                         fl_value_new_list(), fl_value_new_map()});
       },
       "0c 07 00 01 03 2a000000 06 000000000000 182d4454fb210940 07 05 68656c6c6f 0c 00 0d 00"},
      {"map of every kind",
       [] {
         return map_of({{"null", fl_value_new_null()},
                        {"bool", fl_value_new_bool(true)},
                        {"int", fl_value_new_int(42)},
                        {"float", fl_value_new_float(M_PI)},
                        {"string", fl_value_new_string("hello")},
                        {"list", fl_value_new_list()},
                        {"map", fl_value_new_map()}});
       },
       "0d 07 07 04 6e756c6c 00 07 04 626f6f6c 01 07 03 696e74 03 2a000000 07 05 666c6f6174 06 "
       "000000000000 182d4454fb210940 07 06 737472696e67 07 05 68656c6c6f 07 04 6c697374 0c 00 "
       "07 03 6d6170 0d 00"},
      {"nested lists and maps",
       [] {
         return list_of({list_of({fl_value_new_list()}),
                         map_of({{"k", list_of({fl_value_new_int(1),
                                                map_of({{"x", fl_value_new_null()}})})}})});
       },
       "0c 02 0c 01 0c 00 0d 01 07 01 6b 0c 02 03 01000000 0d 01 07 01 78 00"},
      {"map with non-string keys",
       [] {
         FlValue* map = fl_value_new_map();
         fl_value_set_take(map, fl_value_new_int(1), fl_value_new_bool(false));
         fl_value_set_take(map, fl_value_new_null(), fl_value_new_string("n"));
         return map;
       },
       "0d 02 03 01000000 02 00 07 01 6e"},
  };
}

TEST_F(FlStandardMessageCodecTest, PublishedVectorsRoundTrip) {
  for (const Vector& v : PublishedVectors()) {
    SCOPED_TRACE(v.what);
    g_autoptr(FlValue) value = v.make();
    ExpectRoundTrip(value, v.hex);
  }
}

TEST_F(FlStandardMessageCodecTest, NullMessageAndEmptyInput) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) bytes =
      fl_message_codec_encode_message(FL_MESSAGE_CODEC(codec_), nullptr, &error);
  EXPECT_EQ(bytes_to_hex(bytes), "00");
  // A zero-length message is how the other side sends null.
  g_autoptr(FlValue) value = Decode("", &error);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(fl_value_get_type(value), FL_VALUE_TYPE_NULL);
}

// The 32-bit form is used exactly for [-2^31, 2^31-1]; both forms decode to INT.
TEST_F(FlStandardMessageCodecTest, IntegerWidthBoundaries) {
  struct Case {
    int64_t value;
    const char* hex;
  } cases[] = {
      {0, "03 00000000"},
      {-1, "03 ffffffff"},
      {int64_t{INT32_MAX} + 1, "04 0000008000000000"},
      {int64_t{INT32_MIN} - 1, "04 ffffff7fffffffff"},
      {INT64_MAX, "04 ffffffffffffff7f"},
  };
  for (const Case& c : cases) {
    g_autoptr(FlValue) value = fl_value_new_int(c.value);
    ExpectRoundTrip(value, c.hex);
  }
}

// Sizes take 1 byte below 254, then 0xfe + uint16 up to 65535, then 0xff + uint32.
TEST_F(FlStandardMessageCodecTest, SizeFieldWidths) {
  struct Case {
    uint32_t size;
    const char* hex;
  } cases[] = {
      {0, "00"},
      {253, "fd"},
      {254, "fe fe00"},
      {255, "fe ff00"},
      {65535, "fe ffff"},
      {65536, "ff 00000100"},
      {0xFFFFFFFF, "ff ffffffff"},
  };
  for (const Case& c : cases) {
    g_autoptr(GByteArray) buffer = g_byte_array_new();
    fl_standard_message_codec_write_size(codec_, buffer, c.size);
    g_autoptr(GBytes) bytes = g_bytes_new(buffer->data, buffer->len);
    EXPECT_EQ(bytes_to_hex(bytes), strip_spaces(c.hex));
    size_t offset = 0;
    uint32_t read = 0;
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(fl_standard_message_codec_read_size(codec_, bytes, &offset, &read, &error));
    EXPECT_EQ(read, c.size);
    EXPECT_EQ(offset, g_bytes_get_size(bytes));
  }
  // A truncated size field is out of data.
  for (const char* hex : {"fe", "fe 00", "ff 000000", ""}) {
    g_autoptr(GBytes) bytes = hex_to_bytes(hex);
    size_t offset = 0;
    uint32_t read = 0;
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(fl_standard_message_codec_read_size(codec_, bytes, &offset, &read, &error));
    EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA));
  }
}

// Strings and byte lists at the size-width boundaries, content included.
TEST_F(FlStandardMessageCodecTest, LongStringsAndByteLists) {
  struct Case {
    size_t length;
    const char* size_hex;
  } cases[] = {{253, "fd"}, {254, "fefe00"}, {65535, "feffff"}, {65536, "ff00000100"}};
  for (const Case& c : cases) {
    std::string text(c.length, 'a');
    text[c.length - 1] = 'z';
    g_autoptr(FlValue) string_value = fl_value_new_string(text.c_str());
    std::string hex = Encode(string_value);
    EXPECT_EQ(hex.substr(0, 2 + strlen(c.size_hex)), std::string("07") + c.size_hex);
    EXPECT_EQ(hex.size(), 2 + strlen(c.size_hex) + 2 * c.length);
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlValue) decoded = Decode(hex, &error);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(fl_value_get_string(decoded), text);

    std::vector<uint8_t> data(c.length, 7);
    g_autoptr(FlValue) bytes_value = fl_value_new_uint8_list(data.data(), data.size());
    hex = Encode(bytes_value);
    EXPECT_EQ(hex.substr(0, 2 + strlen(c.size_hex)), std::string("08") + c.size_hex);
    g_autoptr(FlValue) decoded_bytes = Decode(hex, &error);
    ASSERT_NE(decoded_bytes, nullptr);
    EXPECT_TRUE(fl_value_equal(bytes_value, decoded_bytes));
  }
}

// Padding is measured from the start of the whole message, after the type byte (floats) or
// after the size field (typed lists).
TEST_F(FlStandardMessageCodecTest, AlignmentInsideContainers) {
  std::vector<Vector> cases = {
      {"float after 4 bytes",
       [] {
         return list_of({fl_value_new_bool(true), fl_value_new_float(1.0)});
       },
       "0c 02 01 06 00000000 000000000000f03f"},
      {"float as map value",
       [] {
         return map_of({{"a", fl_value_new_float(1.0)}});
       },
       "0d 01 07 01 61 06 0000 000000000000f03f"},
      {"float already aligned",
       [] {
         return list_of({fl_value_new_string("abc"), fl_value_new_float(1.0)});
       },
       "0c 02 07 03 616263 06 000000000000f03f"},
      {"int32 list needing no padding",
       [] {
         int32_t data[] = {1};
         return list_of({fl_value_new_string("ab"), fl_value_new_int32_list(data, 1)});
       },
       "0c 02 07 02 6162 09 01 01000000"},
      {"int64 list after 5 bytes",
       [] {
         int64_t data[] = {1};
         return list_of({fl_value_new_bool(true), fl_value_new_int64_list(data, 1)});
       },
       "0c 02 01 0a 01 000000 0100000000000000"},
      {"float32 list after 3 bytes",
       [] {
         float data[] = {1.0f};
         return list_of({fl_value_new_float32_list(data, 1)});
       },
       "0c 01 0e 01 0000803f"},
      {"float64 list as map value",
       [] {
         double data[] = {-2.0};
         return map_of({{"a", fl_value_new_float_list(data, 1)}});
       },
       "0d 01 07 01 61 0b 01 00 00000000000000c0"},
  };
  for (const Vector& v : cases) {
    SCOPED_TRACE(v.what);
    g_autoptr(FlValue) value = v.make();
    ExpectRoundTrip(value, v.hex);
  }
}

// A 3-byte size field moves the elements of a long typed list and so their padding.
TEST_F(FlStandardMessageCodecTest, AlignmentAfterLongSizeField) {
  std::vector<double> data(254, 0.5);
  g_autoptr(FlValue) value = fl_value_new_float_list(data.data(), data.size());
  std::string hex = Encode(value);
  EXPECT_EQ(hex.substr(0, 16), "0bfefe0000000000");  // type, size 254, 4 zero bytes to offset 8
  EXPECT_EQ(hex.size(), 2 * (8 + 254 * 8));
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlValue) decoded = Decode(hex, &error);
  ASSERT_NE(decoded, nullptr);
  EXPECT_TRUE(fl_value_equal(value, decoded));
}

TEST_F(FlStandardMessageCodecTest, StringsStopAtNulAndAreNotValidated) {
  g_autoptr(GError) error = nullptr;
  // Bytes after an embedded NUL are dropped, as g_strndup does; invalid UTF-8 is kept.
  g_autoptr(FlValue) with_nul = Decode("07 03 61 00 62", &error);
  ASSERT_NE(with_nul, nullptr);
  EXPECT_STREQ(fl_value_get_string(with_nul), "a");
  g_autoptr(FlValue) invalid = Decode("07 02 ff fe", &error);
  ASSERT_NE(invalid, nullptr);
  EXPECT_STREQ(fl_value_get_string(invalid), "\xff\xfe");
}

TEST_F(FlStandardMessageCodecTest, RejectedInputs) {
  struct Case {
    const char* hex;
    FlMessageCodecError code;
  } cases[] = {
      {"0f", FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
      {"05 02 3130", FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},  // large int: never written
      {"80", FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},          // extension type, no subclass
      {"0c 01 ff", FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
      {"03 67", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"00 00", FL_MESSAGE_CODEC_ERROR_ADDITIONAL_DATA},
      {"07 01 61 00", FL_MESSAGE_CODEC_ERROR_ADDITIONAL_DATA},
      {"0d 01 00", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},  // key without value
  };
  for (const Case& c : cases) {
    ExpectDecodeError(c.hex, c.code);
  }
  g_autoptr(FlValue) custom = fl_value_new_custom(128, nullptr, nullptr);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) bytes =
      fl_message_codec_encode_message(FL_MESSAGE_CODEC(codec_), custom, &error);
  EXPECT_EQ(bytes, nullptr);
  EXPECT_TRUE(
      g_error_matches(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE));
}

// Every strict prefix of a valid message ends too early; the empty prefix is null.
TEST_F(FlStandardMessageCodecTest, EveryTruncationIsOutOfData) {
  for (const Vector& v : PublishedVectors()) {
    std::string hex = strip_spaces(v.hex);
    for (size_t length = 2; length < hex.size(); length += 2) {
      ExpectDecodeError(hex.substr(0, length), FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA);
    }
  }
}

// Sizes and counts larger than what follows are refused before anything is read or allocated.
TEST_F(FlStandardMessageCodecTest, LyingLengthsAreOutOfData) {
  const char* cases[] = {
      "07 05 6162",
      "07 fe ffff 61",
      "07 ff ffffffff 61",
      "08 ff ffffffff 00",
      "09 ff ffffffff 0000",
      "09 02 0000 01000000",
      "0a ff ffffffff 000000000000 00",
      "0b ff 00000020 000000 0000000000000000",
      "0e ff ffffffff 0000",
      "0c ff ffffffff 00",
      "0c fe ffff 00 00",
      "0d ff ffffffff 00 00",
      "0d 02 00 00 00",
      "0c 02 07 ff ffffffff",
  };
  for (const char* hex : cases) {
    ExpectDecodeError(hex, FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA);
  }
}

// Nesting from outside is bounded so it cannot exhaust the stack; normal depths decode.
TEST_F(FlStandardMessageCodecTest, NestingDepthIsBounded) {
  auto nested = [](int depth) {
    std::string hex;
    for (int i = 0; i < depth; i++) {
      hex += "0c01";
    }
    return hex + "00";
  };
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlValue) fine = Decode(nested(500), &error);
  ASSERT_NE(fine, nullptr);
  ExpectDecodeError(nested(200000), FL_MESSAGE_CODEC_ERROR_FAILED);
}

// Corrupting any byte of a valid message gives a value or an error, never a bad read.
TEST_F(FlStandardMessageCodecTest, CorruptedBytesNeverCrash) {
  const uint8_t replacements[] = {0x00, 0x0c, 0x7f, 0xfe, 0xff};
  for (const Vector& v : PublishedVectors()) {
    std::string hex = strip_spaces(v.hex);
    for (size_t i = 0; i < hex.size(); i += 2) {
      for (uint8_t replacement : replacements) {
        char byte[3];
        g_snprintf(byte, sizeof(byte), "%02x", replacement);
        std::string corrupted = hex.substr(0, i) + byte + hex.substr(i + 2);
        g_autoptr(GError) error = nullptr;
        g_autoptr(FlValue) value = Decode(corrupted, &error);
        EXPECT_TRUE((value == nullptr) == (error != nullptr)) << corrupted;
      }
    }
  }
}

// An extension codec: a custom value of type 128 carrying a string, nested in standard values.
G_DECLARE_FINAL_TYPE(TestExtCodec, test_ext_codec, TEST, EXT_CODEC, FlStandardMessageCodec)

struct _TestExtCodec {
  FlStandardMessageCodec parent_instance;
};

G_DEFINE_TYPE(TestExtCodec, test_ext_codec, fl_standard_message_codec_get_type())

constexpr int kExtType = 128;

static gboolean test_ext_codec_write_value(FlStandardMessageCodec* codec,
                                           GByteArray* buffer,
                                           FlValue* value,
                                           GError** error) {
  if (fl_value_get_type(value) == FL_VALUE_TYPE_CUSTOM &&
      fl_value_get_custom_type(value) == kExtType) {
    uint8_t type = kExtType;
    g_byte_array_append(buffer, &type, 1);
    g_autoptr(FlValue) text =
        fl_value_new_string(static_cast<const gchar*>(fl_value_get_custom_value(value)));
    return fl_standard_message_codec_write_value(codec, buffer, text, error);
  }
  return FL_STANDARD_MESSAGE_CODEC_CLASS(test_ext_codec_parent_class)
      ->write_value(codec, buffer, value, error);
}

static FlValue* test_ext_codec_read_value_of_type(FlStandardMessageCodec* codec,
                                                  GBytes* buffer,
                                                  size_t* offset,
                                                  int type,
                                                  GError** error) {
  if (type == kExtType) {
    g_autoptr(FlValue) text = fl_standard_message_codec_read_value(codec, buffer, offset, error);
    if (text == nullptr) {
      return nullptr;
    }
    return fl_value_new_custom(kExtType, g_strdup(fl_value_get_string(text)), g_free);
  }
  return FL_STANDARD_MESSAGE_CODEC_CLASS(test_ext_codec_parent_class)
      ->read_value_of_type(codec, buffer, offset, type, error);
}

static void test_ext_codec_class_init(TestExtCodecClass* klass) {
  FL_STANDARD_MESSAGE_CODEC_CLASS(klass)->write_value = test_ext_codec_write_value;
  FL_STANDARD_MESSAGE_CODEC_CLASS(klass)->read_value_of_type = test_ext_codec_read_value_of_type;
}

static void test_ext_codec_init(TestExtCodec* self) {}

TEST(FlStandardMessageCodecExtensionTest, SubclassAddsCustomTypesInsideContainers) {
  g_autoptr(FlMessageCodec) codec =
      FL_MESSAGE_CODEC(g_object_new(test_ext_codec_get_type(), nullptr));
  g_autoptr(FlValue) value =
      list_of({fl_value_new_int(1), fl_value_new_custom(kExtType, g_strdup("ab"), g_free)});
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) bytes = fl_message_codec_encode_message(codec, value, &error);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(bytes_to_hex(bytes),
            "0c020301000000800702"
            "6162");
  g_autoptr(FlValue) decoded = fl_message_codec_decode_message(codec, bytes, &error);
  ASSERT_NE(decoded, nullptr);
  FlValue* custom = fl_value_get_list_value(decoded, 1);
  EXPECT_EQ(fl_value_get_custom_type(custom), kExtType);
  EXPECT_STREQ(static_cast<const gchar*>(fl_value_get_custom_value(custom)), "ab");
}

}  // namespace
