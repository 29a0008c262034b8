#ifndef TESTS_EMBEDDING_CODEC_TEST_UTIL_H_
#define TESTS_EMBEDDING_CODEC_TEST_UTIL_H_

// Hex helpers for byte-exact codec tests. Spaces in hex strings are ignored.

#include <glib.h>

#include <string>

// Returns: (transfer full) the bytes written in @hex, in an allocation of exactly their size so
// that AddressSanitizer catches a decoder reading one byte too far.
inline GBytes* hex_to_bytes(const std::string& hex) {
  std::string data;
  std::string digits;
  for (char c : hex) {
    if (c != ' ') {
      digits += c;
    }
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    data += static_cast<char>(g_ascii_xdigit_value(digits[i]) * 16 +
                              g_ascii_xdigit_value(digits[i + 1]));
  }
  return g_bytes_new(data.data(), data.size());
}

// Lower-case hex of @bytes without spaces.
inline std::string bytes_to_hex(GBytes* bytes) {
  gsize length = 0;
  const guint8* data = static_cast<const guint8*>(g_bytes_get_data(bytes, &length));
  std::string hex;
  for (gsize i = 0; i < length; i++) {
    char text[3];
    g_snprintf(text, sizeof(text), "%02x", data[i]);
    hex += text;
  }
  return hex;
}

// @hex without its spaces.
inline std::string strip_spaces(const std::string& hex) {
  std::string digits;
  for (char c : hex) {
    if (c != ' ') {
      digits += c;
    }
  }
  return digits;
}

#endif  // TESTS_EMBEDDING_CODEC_TEST_UTIL_H_
