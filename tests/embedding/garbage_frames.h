#ifndef TESTS_EMBEDDING_GARBAGE_FRAMES_H_
#define TESTS_EMBEDDING_GARBAGE_FRAMES_H_

#include <string>
#include <vector>

#include "base/logger.h"
#include "tools/korvanectl/bridge_client.h"

namespace korvane_test {

// Malformed input for the UI bridge: each case must close its connection with one diagnostic
// line containing |fragment|, and leave the host serving the next client.
struct GarbageFrame {
  const char* name;
  std::string bytes;
  const char* fragment;
};

inline std::string Le32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; i++) {
    s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  }
  return s;
}

inline std::vector<GarbageFrame> GarbageFrames() {
  using korvane::BridgeClient;
  const std::string call_hello("\x07\x05hello\x00", 8);
  return {
      // Frames too short for their header.
      {"empty frame", Le32(0), "short frame (0 bytes)"},
      {"short frame", Le32(3) + std::string("\x01\x01\x00", 3), "short frame (3 bytes)"},
      {"message without channel length", Le32(6) + std::string("\x01\x01\x00\x00\x00\x05", 6),
       "short message frame"},
      {"truncated channel name", Le32(10) + std::string("\x01\x01\x00\x00\x00\x32\x00", 7) + "abc",
       "truncated channel name"},
      {"channel name not UTF-8", BridgeClient::EncodeFrame(1, 1, "\xff\xfe", call_hello),
       "not UTF-8"},
      // Kinds the UI may not send.
      {"unknown kind", BridgeClient::EncodeFrame(9, 1, "", "x"), "unknown frame kind 9"},
      {"hello from the UI", BridgeClient::EncodeFrame(3, 0, "", ""), "unknown frame kind 3"},
      // A length over the 16 MiB limit is refused before any of the body arrives.
      {"oversize length", Le32(16u * 1024u * 1024u + 1u), "exceeds the"},
      {"maximal length", Le32(0xffffffffu), "exceeds the"},
      // Payloads that are no method call.
      {"empty payload", BridgeClient::EncodeFrame(1, 1, "test/garbage", ""),
       "undecodable payload on test/garbage"},
      {"string longer than the payload",
       BridgeClient::EncodeFrame(1, 1, "test/garbage",
                                 std::string("\x07\x05"
                                             "ab",
                                             4)),
       "undecodable payload on test/garbage"},
      {"name that is not a string",
       BridgeClient::EncodeFrame(1, 1, "test/garbage", std::string("\x03\x01\x00\x00\x00\x00", 6)),
       "undecodable payload on test/garbage"},
      {"bytes after the arguments",
       BridgeClient::EncodeFrame(1, 1, "test/garbage", call_hello + std::string("\x00", 1)),
       "undecodable payload on test/garbage"},
      {"unknown value type",
       BridgeClient::EncodeFrame(1, 1, "test/garbage", std::string("\x07\x01m\x0f", 4)),
       "undecodable payload on test/garbage"},
      {"list longer than the payload",
       BridgeClient::EncodeFrame(1, 1, "test/garbage", std::string("\x07\x01m\x0c\xfe\xff\xff", 7)),
       "undecodable payload on test/garbage"},
      // A reply whose envelope cannot be read.
      {"undecodable reply", BridgeClient::EncodeFrame(2, 7, "", std::string("\x05", 1)),
       "undecodable reply payload"},
  };
}

// Counts the lines of |text| that carry the bridge's tag and contain |fragment|.
inline int CountBridgeLines(const std::string& text, const std::string& fragment) {
  int count = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::string line = text.substr(start, end - start);
    if (line.rfind(korvane::kUiBridgeTag, 0) == 0 && line.find(fragment) != std::string::npos) {
      count++;
    }
    start = end + 1;
  }
  return count;
}

}  // namespace korvane_test

#endif  // TESTS_EMBEDDING_GARBAGE_FRAMES_H_
