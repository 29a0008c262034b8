// The standard method codec: calls and envelopes byte for byte, their malformed forms, and what
// FlMethodResponse makes of each response.

#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>

#include <string>

#include "fl_method_codec_private.h"
#include "tests/embedding/codec_test_util.h"

namespace {

class FlStandardMethodCodecTest : public ::testing::Test {
 protected:
  void TearDown() override { g_object_unref(codec_); }

  FlMethodCodec* codec() { return FL_METHOD_CODEC(codec_); }

  // Returns: (transfer full) the response in @hex, or NULL with *error set.
  FlMethodResponse* DecodeResponse(const std::string& hex, GError** error) {
    g_autoptr(GBytes) bytes = hex_to_bytes(hex);
    return fl_method_codec_decode_response(codec(), bytes, error);
  }

  FlStandardMethodCodec* codec_ = fl_standard_method_codec_new();
};

TEST_F(FlStandardMethodCodecTest, MethodCallsEncodeAndDecode) {
  struct Case {
    const char* name;
    std::function<FlValue*()> args;  // NULL result: no arguments
    const char* hex;
  } cases[] = {
      {"hello", [] { return static_cast<FlValue*>(nullptr); }, "07 05 68656c6c6f 00"},
      {"hello",
       [] {
         FlValue* args = fl_value_new_list();
         fl_value_append_take(args, fl_value_new_string("count"));
         fl_value_append_take(args, fl_value_new_int(42));
         return args;
       },
       "07 05 68656c6c6f 0c 02 07 05 636f756e74 03 2a000000"},
      // The float's padding counts the name: 5 bytes in, so 3 zero bytes.
      {"hi", [] { return fl_value_new_float(1.0); }, "07 02 6869 06 000000 000000000000f03f"},
      {"hello", [] { return fl_value_new_float(1.0); }, "07 05 68656c6c6f 06 000000000000f03f"},
  };
  for (const auto& c : cases) {
    g_autoptr(FlValue) args = c.args();
    g_autoptr(GError) error = nullptr;
    g_autoptr(GBytes) bytes = fl_method_codec_encode_method_call(codec(), c.name, args, &error);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes_to_hex(bytes), strip_spaces(c.hex));

    g_autofree gchar* name = nullptr;
    g_autoptr(FlValue) decoded_args = nullptr;
    ASSERT_TRUE(fl_method_codec_decode_method_call(codec(), bytes, &name, &decoded_args, &error));
    EXPECT_STREQ(name, c.name);
    ASSERT_NE(decoded_args, nullptr);  // absent arguments arrive as a null value
    g_autoptr(FlValue) expected = args != nullptr ? fl_value_ref(args) : fl_value_new_null();
    EXPECT_TRUE(fl_value_equal(decoded_args, expected));
  }
}

TEST_F(FlStandardMethodCodecTest, MalformedMethodCalls) {
  struct Case {
    const char* hex;
    FlMessageCodecError code;
  } cases[] = {
      {"", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"00 00 00", FL_MESSAGE_CODEC_ERROR_FAILED},                // null name, extra byte
      {"00 00", FL_MESSAGE_CODEC_ERROR_FAILED},                   // null name
      {"03 01000000 00", FL_MESSAGE_CODEC_ERROR_FAILED},          // int name
      {"07 05 68656c6c6f", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},   // no arguments value
      {"07 05 68656c6c6f 00 00", FL_MESSAGE_CODEC_ERROR_FAILED},  // trailing byte
      {"07 05 6865", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"07 05 68656c6c6f 0f", FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
  };
  for (const auto& c : cases) {
    g_autoptr(GBytes) bytes = hex_to_bytes(c.hex);
    g_autofree gchar* name = nullptr;
    g_autoptr(FlValue) args = nullptr;
    g_autoptr(GError) error = nullptr;
    EXPECT_FALSE(fl_method_codec_decode_method_call(codec(), bytes, &name, &args, &error)) << c.hex;
    EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR, c.code))
        << c.hex << ": " << (error ? error->message : "no error");
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(args, nullptr);
  }
}

TEST_F(FlStandardMethodCodecTest, EnvelopesEncode) {
  g_autoptr(FlValue) hello = fl_value_new_string("hello");
  g_autoptr(FlValue) details = fl_value_new_int(42);
  struct Case {
    std::function<GBytes*(GError**)> encode;
    const char* hex;
  } cases[] = {
      {[&](GError** e) { return fl_method_codec_encode_success_envelope(codec(), nullptr, e); },
       "00 00"},
      {[&](GError** e) { return fl_method_codec_encode_success_envelope(codec(), hello, e); },
       "00 07 05 68656c6c6f"},
      {[&](GError** e) {
         return fl_method_codec_encode_error_envelope(codec(), "error", "message", nullptr, e);
       },
       "01 07 05 6572726f72 07 07 6d657373616765 00"},
      {[&](GError** e) {
         return fl_method_codec_encode_error_envelope(codec(), "error", nullptr, nullptr, e);
       },
       "01 07 05 6572726f72 00 00"},
      {[&](GError** e) {
         return fl_method_codec_encode_error_envelope(codec(), "error", nullptr, details, e);
       },
       "01 07 05 6572726f72 00 03 2a000000"},
  };
  for (const auto& c : cases) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GBytes) bytes = c.encode(&error);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes_to_hex(bytes), strip_spaces(c.hex));
  }
}

// What decode_response makes of each reply, rendered through fl_method_response_get_result.
TEST_F(FlStandardMethodCodecTest, ResponsesDecode) {
  struct Case {
    const char* hex;
    GType type;
    const char* result;  // success: the result rendered; else the get_result error message
  } cases[] = {
      {"", fl_method_not_implemented_response_get_type(), "Requested method is not implemented"},
      {"00 00", fl_method_success_response_get_type(), "null"},
      {"00 07 05 68656c6c6f", fl_method_success_response_get_type(), "hello"},
      {"01 07 05 6572726f72 07 07 6d657373616765 00", fl_method_error_response_get_type(),
       "Remote code returned error error: message"},
      {"01 07 05 6572726f72 00 00", fl_method_error_response_get_type(),
       "Remote code returned error error"},
      {"01 07 05 6572726f72 07 01 6d 0c 01 03 2a000000", fl_method_error_response_get_type(),
       "Remote code returned error error: m [42]"},
  };
  for (const auto& c : cases) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlMethodResponse) response = DecodeResponse(c.hex, &error);
    ASSERT_NE(response, nullptr) << c.hex << ": " << error->message;
    EXPECT_EQ(G_OBJECT_TYPE(response), c.type) << c.hex;
    FlValue* result = fl_method_response_get_result(response, &error);
    if (result != nullptr) {
      g_autofree gchar* text = fl_value_to_string(result);
      EXPECT_STREQ(text, c.result);
    } else {
      ASSERT_NE(error, nullptr);
      EXPECT_STREQ(error->message, c.result);
    }
  }
}

TEST_F(FlStandardMethodCodecTest, ErrorResponseFieldsAndErrorCodes) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlMethodResponse) response =
      DecodeResponse("01 07 05 6572726f72 07 07 6d657373616765 00", &error);
  ASSERT_TRUE(FL_IS_METHOD_ERROR_RESPONSE(response));
  FlMethodErrorResponse* failure = FL_METHOD_ERROR_RESPONSE(response);
  EXPECT_STREQ(fl_method_error_response_get_code(failure), "error");
  EXPECT_STREQ(fl_method_error_response_get_message(failure), "message");
  EXPECT_EQ(fl_method_error_response_get_details(failure), nullptr);  // null details: NULL
  EXPECT_EQ(fl_method_response_get_result(response, &error), nullptr);
  EXPECT_TRUE(
      g_error_matches(error, FL_METHOD_RESPONSE_ERROR, FL_METHOD_RESPONSE_ERROR_REMOTE_ERROR));

  g_autoptr(GError) not_implemented_error = nullptr;
  g_autoptr(FlMethodResponse) not_implemented = DecodeResponse("", &error);
  EXPECT_EQ(fl_method_response_get_result(not_implemented, &not_implemented_error), nullptr);
  EXPECT_TRUE(g_error_matches(not_implemented_error, FL_METHOD_RESPONSE_ERROR,
                              FL_METHOD_RESPONSE_ERROR_NOT_IMPLEMENTED));
}

TEST_F(FlStandardMethodCodecTest, MalformedResponses) {
  struct Case {
    const char* hex;
    FlMessageCodecError code;
  } cases[] = {
      {"00", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"00 00 00", FL_MESSAGE_CODEC_ERROR_FAILED},
      {"02", FL_MESSAGE_CODEC_ERROR_FAILED},
      {"ff 00", FL_MESSAGE_CODEC_ERROR_FAILED},
      {"01 07 05 6572726f72 00 00 00", FL_MESSAGE_CODEC_ERROR_FAILED},  // extra byte
      {"01 03 01000000 00 00", FL_MESSAGE_CODEC_ERROR_FAILED},          // code not a string
      {"01 07 01 65 03 01000000 00", FL_MESSAGE_CODEC_ERROR_FAILED},    // message not a string
      {"01 07 05 6572726f72", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"01 07 05 6572726f72 00", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"01", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
  };
  for (const auto& c : cases) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlMethodResponse) response = DecodeResponse(c.hex, &error);
    EXPECT_EQ(response, nullptr) << c.hex;
    EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR, c.code))
        << c.hex << ": " << (error ? error->message : "no error");
  }
}

// Every strict prefix of a well-formed envelope (except the empty one) is refused.
TEST_F(FlStandardMethodCodecTest, TruncatedEnvelopesAreRefused) {
  const char* envelopes[] = {
      "00 07 05 68656c6c6f",
      "01 07 05 6572726f72 07 07 6d657373616765 00",
      "00 06 000000000000 000000000000f03f",
      "01 07 01 65 00 0d 01 07 01 6b 0b 01 00000000 000000000000f03f",
  };
  for (const char* envelope : envelopes) {
    std::string hex = strip_spaces(envelope);
    g_autoptr(GError) whole_error = nullptr;
    g_autoptr(FlMethodResponse) whole = DecodeResponse(hex, &whole_error);
    ASSERT_NE(whole, nullptr) << hex << ": " << whole_error->message;
    for (size_t length = 2; length < hex.size(); length += 2) {
      g_autoptr(GError) error = nullptr;
      g_autoptr(FlMethodResponse) response = DecodeResponse(hex.substr(0, length), &error);
      EXPECT_EQ(response, nullptr) << hex.substr(0, length);
      EXPECT_NE(error, nullptr);
    }
  }
}

TEST_F(FlStandardMethodCodecTest, ResponseConstructors) {
  g_autoptr(FlMethodSuccessResponse) success = fl_method_success_response_new(nullptr);
  EXPECT_EQ(fl_value_get_type(fl_method_success_response_get_result(success)), FL_VALUE_TYPE_NULL);
  g_autoptr(FlValue) details = fl_value_new_string("d");
  g_autoptr(FlMethodErrorResponse) failure = fl_method_error_response_new("c", nullptr, details);
  EXPECT_STREQ(fl_method_error_response_get_code(failure), "c");
  EXPECT_EQ(fl_method_error_response_get_message(failure), nullptr);
  EXPECT_EQ(fl_method_error_response_get_details(failure), details);
}

}  // namespace
