// The standard method codec's decoders over arbitrary bytes: the same bytes read as a method
// call (what the UI sends) and as a response envelope (what the UI answers). Each either fails
// with an error or gives something that encodes back to bytes that decode to the same thing.

#include <flutter_linux/flutter_linux.h>

#include "fl_method_codec_private.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// The encoding of a value (for comparisons that hold with NaN inside too).
GBytes* EncodeValue(FlValue* value) {
  static FlStandardMessageCodec* codec = fl_standard_message_codec_new();
  GBytes* bytes = fl_message_codec_encode_message(FL_MESSAGE_CODEC(codec), value, nullptr);
  FUZZ_CHECK(bytes != nullptr);
  return bytes;
}

bool SameValue(FlValue* a, FlValue* b) {
  if (a == nullptr || b == nullptr) {
    return a == b;
  }
  g_autoptr(GBytes) first = EncodeValue(a);
  g_autoptr(GBytes) second = EncodeValue(b);
  return g_bytes_equal(first, second);
}

void CheckMethodCall(FlMethodCodec* codec, GBytes* message) {
  g_autofree gchar* name = nullptr;
  g_autoptr(FlValue) args = nullptr;
  g_autoptr(GError) error = nullptr;
  if (!fl_method_codec_decode_method_call(codec, message, &name, &args, &error)) {
    FUZZ_CHECK(error != nullptr);
    return;
  }
  FUZZ_CHECK(error == nullptr && name != nullptr && args != nullptr);
  g_autoptr(GBytes) encoded = fl_method_codec_encode_method_call(codec, name, args, nullptr);
  FUZZ_CHECK(encoded != nullptr);
  g_autofree gchar* name_again = nullptr;
  g_autoptr(FlValue) args_again = nullptr;
  FUZZ_CHECK(fl_method_codec_decode_method_call(codec, encoded, &name_again, &args_again, nullptr));
  FUZZ_CHECK(g_strcmp0(name, name_again) == 0);
  FUZZ_CHECK(SameValue(args, args_again));
}

void CheckResponse(FlMethodCodec* codec, GBytes* message) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlMethodResponse) response = fl_method_codec_decode_response(codec, message, &error);
  if (response == nullptr) {
    FUZZ_CHECK(error != nullptr);
    return;
  }
  FUZZ_CHECK(error == nullptr);
  g_autoptr(GBytes) encoded = nullptr;
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    FlValue* result = fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response));
    encoded = fl_method_codec_encode_success_envelope(codec, result, nullptr);
  } else if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* failure = FL_METHOD_ERROR_RESPONSE(response);
    FUZZ_CHECK(fl_method_error_response_get_code(failure) != nullptr);
    encoded = fl_method_codec_encode_error_envelope(
        codec, fl_method_error_response_get_code(failure),
        fl_method_error_response_get_message(failure),
        fl_method_error_response_get_details(failure), nullptr);
  } else {
    // Only an empty message means "not implemented".
    FUZZ_CHECK(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response));
    FUZZ_CHECK(g_bytes_get_size(message) == 0);
    return;
  }
  FUZZ_CHECK(encoded != nullptr);
  g_autoptr(FlMethodResponse) again = fl_method_codec_decode_response(codec, encoded, nullptr);
  FUZZ_CHECK(again != nullptr);
  FUZZ_CHECK(G_OBJECT_TYPE(again) == G_OBJECT_TYPE(response));
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    FUZZ_CHECK(
        SameValue(fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response)),
                  fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(again))));
  } else {
    FlMethodErrorResponse* first = FL_METHOD_ERROR_RESPONSE(response);
    FlMethodErrorResponse* second = FL_METHOD_ERROR_RESPONSE(again);
    FUZZ_CHECK(g_strcmp0(fl_method_error_response_get_code(first),
                         fl_method_error_response_get_code(second)) == 0);
    FUZZ_CHECK(g_strcmp0(fl_method_error_response_get_message(first),
                         fl_method_error_response_get_message(second)) == 0);
    FUZZ_CHECK(SameValue(fl_method_error_response_get_details(first),
                         fl_method_error_response_get_details(second)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FlStandardMethodCodec* codec = fl_standard_method_codec_new();
  g_autoptr(GBytes) message = g_bytes_new(data, size);
  CheckMethodCall(FL_METHOD_CODEC(codec), message);
  CheckResponse(FL_METHOD_CODEC(codec), message);
  return 0;
}
