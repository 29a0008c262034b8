// The standard message codec's decoder over arbitrary bytes: it either fails with an error or
// gives a value that encodes, and whose encoding decodes to a value of the same encoding.

#include <flutter_linux/flutter_linux.h>

#include <cstring>

#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FlStandardMessageCodec* codec = fl_standard_message_codec_new();
  FlMessageCodec* message_codec = FL_MESSAGE_CODEC(codec);

  g_autoptr(GBytes) message = g_bytes_new(data, size);
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlValue) value = fl_message_codec_decode_message(message_codec, message, &error);
  if (value == nullptr) {
    FUZZ_CHECK(error != nullptr);
    return 0;
  }
  FUZZ_CHECK(error == nullptr);
  g_autofree gchar* text = fl_value_to_string(value);
  FUZZ_CHECK(text != nullptr);

  g_autoptr(GError) encode_error = nullptr;
  g_autoptr(GBytes) encoded = fl_message_codec_encode_message(message_codec, value, &encode_error);
  FUZZ_CHECK(encoded != nullptr);
  g_autoptr(GError) again_error = nullptr;
  g_autoptr(FlValue) again = fl_message_codec_decode_message(message_codec, encoded, &again_error);
  FUZZ_CHECK(again != nullptr);
  g_autoptr(GBytes) reencoded = fl_message_codec_encode_message(message_codec, again, nullptr);
  FUZZ_CHECK(reencoded != nullptr);
  // Encodings are compared, not values, since NaN != NaN; values without one compare too.
  FUZZ_CHECK(g_bytes_equal(encoded, reencoded));
  if (strstr(text, "nan") == nullptr) {
    FUZZ_CHECK(fl_value_equal(value, again));
  }
  return 0;
}
