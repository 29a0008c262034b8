#ifndef EMBEDDING_INCLUDE_PRIVATE_UI_BRIDGE_FRAME_H_
#define EMBEDDING_INCLUDE_PRIVATE_UI_BRIDGE_FRAME_H_

// The frames of the UI bridge, in both directions, written and read the same way by the
// embedding's bridge, korvanectl and the tests:
//
//   u32le length N, then N bytes: u8 kind (1 message, 2 reply, 3 hello), u32le id,
//   [kind 1 only: u16le channel name length L, L bytes channel name], payload.
//
// Header only and free of GLib, so that a client needs nothing of the embedding or the host.
// Any thread: nothing here keeps state.

#include <cstddef>
#include <cstdint>
#include <string>

namespace ui_bridge {

inline constexpr uint8_t kKindMessage = 1;
inline constexpr uint8_t kKindReply = 2;
inline constexpr uint8_t kKindHello = 3;
// A frame (the length after the prefix) larger than this is refused.
inline constexpr uint32_t kMaxFrame = 16u * 1024u * 1024u;
// The length prefix, the kind and id of every frame, and a message's channel name length.
inline constexpr size_t kLengthSize = 4;
inline constexpr size_t kHeaderSize = 5;
inline constexpr size_t kMessageHeaderSize = 7;

inline uint32_t ReadLe32(const void* data) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void AppendLe32(std::string* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  }
}

inline void AppendLe16(std::string* out, uint16_t value) {
  out->push_back(static_cast<char>(value & 0xff));
  out->push_back(static_cast<char>((value >> 8) & 0xff));
}

// One whole frame, length prefix included; kind 1 carries the channel name.
inline std::string EncodeFrame(uint8_t kind,
                               uint32_t id,
                               const char* channel,
                               size_t channel_length,
                               const char* payload,
                               size_t payload_length) {
  size_t body = kHeaderSize + payload_length;
  if (kind == kKindMessage) {
    body += 2 + channel_length;
  }
  std::string frame;
  frame.reserve(kLengthSize + body);
  AppendLe32(&frame, static_cast<uint32_t>(body));
  frame.push_back(static_cast<char>(kind));
  AppendLe32(&frame, id);
  if (kind == kKindMessage) {
    AppendLe16(&frame, static_cast<uint16_t>(channel_length));
    frame.append(channel, channel_length);
  }
  if (payload_length > 0) {
    frame.append(payload, payload_length);
  }
  return frame;
}

inline std::string EncodeFrame(uint8_t kind,
                               uint32_t id,
                               const std::string& channel,
                               const std::string& payload) {
  return EncodeFrame(kind, id, channel.data(), channel.size(), payload.data(), payload.size());
}

// A frame body taken apart. `channel` and `payload` point into the body decoded.
struct FrameView {
  uint8_t kind = 0;
  uint32_t id = 0;
  const char* channel = nullptr;
  size_t channel_length = 0;
  const char* payload = nullptr;
  size_t payload_length = 0;
};

enum class BodyStatus {
  kOk,
  kShort,             // shorter than kind and id
  kShortMessage,      // a message without its channel name length
  kTruncatedChannel,  // a message whose channel name runs past the body
};

// Takes apart the `length` bytes of a frame body (after the length prefix). The kind is not
// judged: every kind but a message is a kind and an id before the payload.
inline BodyStatus DecodeBody(const void* data, size_t length, FrameView* frame) {
  const char* body = static_cast<const char*>(data);
  if (length < kHeaderSize) {
    return BodyStatus::kShort;
  }
  frame->kind = static_cast<uint8_t>(body[0]);
  frame->id = ReadLe32(body + 1);
  size_t offset = kHeaderSize;
  frame->channel = nullptr;
  frame->channel_length = 0;
  if (frame->kind == kKindMessage) {
    if (length < kMessageHeaderSize) {
      return BodyStatus::kShortMessage;
    }
    const size_t name_length = static_cast<size_t>(static_cast<unsigned char>(body[5])) |
                               static_cast<size_t>(static_cast<unsigned char>(body[6])) << 8;
    if (name_length > length - kMessageHeaderSize) {
      frame->channel_length = name_length;
      return BodyStatus::kTruncatedChannel;
    }
    frame->channel = body + kMessageHeaderSize;
    frame->channel_length = name_length;
    offset = kMessageHeaderSize + name_length;
  }
  frame->payload = body + offset;
  frame->payload_length = length - offset;
  return BodyStatus::kOk;
}

}  // namespace ui_bridge

#endif  // EMBEDDING_INCLUDE_PRIVATE_UI_BRIDGE_FRAME_H_
