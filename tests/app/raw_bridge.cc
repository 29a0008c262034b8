#include "tests/app/raw_bridge.h"
#include "embedding/include-private/ui_bridge_frame.h"

#include <errno.h>
#include <glib.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tools/korvanectl/bridge_client.h"
#include "tools/korvanectl/value_json.h"

namespace korvane_test {

using korvane::ValueToJson;

namespace {

using ui_bridge::kKindHello;
using ui_bridge::kKindMessage;
using ui_bridge::kKindReply;

FlMethodCodec* Codec() {
  static FlStandardMethodCodec* codec = fl_standard_method_codec_new();
  return FL_METHOD_CODEC(codec);
}

}  // namespace

std::string RenderValue(FlValue* value) {
  if (value == nullptr) {
    return "null";
  }
  switch (fl_value_get_type(value)) {
    case FL_VALUE_TYPE_NULL:
      return "null";
    case FL_VALUE_TYPE_BOOL:
      return fl_value_get_bool(value) ? "true" : "false";
    case FL_VALUE_TYPE_INT:
      return std::to_string(fl_value_get_int(value));
    case FL_VALUE_TYPE_STRING:
      return nlohmann::json(fl_value_get_string(value)).dump();
    case FL_VALUE_TYPE_LIST: {
      std::string text = "[";
      for (size_t i = 0; i < fl_value_get_length(value); ++i) {
        text += (i > 0 ? "," : "") + RenderValue(fl_value_get_list_value(value, i));
      }
      return text + "]";
    }
    case FL_VALUE_TYPE_MAP: {
      // Entries in the order the host put them in: the order is part of the protocol.
      std::string text = "{";
      for (size_t i = 0; i < fl_value_get_length(value); ++i) {
        text += (i > 0 ? "," : "") + RenderValue(fl_value_get_map_key(value, i)) + ":" +
                RenderValue(fl_value_get_map_value(value, i));
      }
      return text + "}";
    }
    default:
      return ValueToJson(value).dump();
  }
}

std::string RenderResponse(FlMethodResponse* response) {
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    return "success " +
           RenderValue(fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(response)));
  }
  if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* error = FL_METHOD_ERROR_RESPONSE(response);
    const gchar* message = fl_method_error_response_get_message(error);
    std::string text = std::string("error ") + fl_method_error_response_get_code(error) + ": " +
                       (message != nullptr ? message : "<no message>");
    FlValue* details = fl_method_error_response_get_details(error);
    if (details != nullptr && fl_value_get_type(details) != FL_VALUE_TYPE_NULL) {
      text += " details " + RenderValue(details);
    }
    return text;
  }
  return "not implemented";
}

RawBridge::~RawBridge() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

bool RawBridge::Connect(const std::string& socket_path, int timeout_ms, std::string* error) {
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof(address.sun_path)) {
    *error = "socket path too long";
    return false;
  }
  memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || connect(fd_, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
    *error = std::string("connect: ") + strerror(errno);
    return false;
  }
  Frame hello;
  if (!ReadFrame(timeout_ms, &hello, error)) {
    return false;
  }
  if (hello.kind != kKindHello) {
    *error = "the first frame is not a hello";
    return false;
  }
  return true;
}

uint32_t RawBridge::Send(const std::string& channel, const std::string& method, FlValue* args) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) message =
      FL_METHOD_CODEC_GET_CLASS(Codec())->encode_method_call(Codec(), method.c_str(), args, &error);
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(message, &size));
  const uint32_t id = next_id_++;
  const std::string frame =
      BridgeClient::EncodeFrame(kKindMessage, id, channel, std::string(data, size));
  size_t done = 0;
  while (fd_ >= 0 && done < frame.size()) {
    ssize_t n = send(fd_, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    done += static_cast<size_t>(n);
  }
  return id;
}

std::string RawBridge::Call(const std::string& channel,
                            const std::string& method,
                            FlValue* args,
                            int timeout_ms) {
  return WaitForReply(Send(channel, method, args), timeout_ms);
}

std::string RawBridge::WaitForReply(uint32_t id, int timeout_ms) {
  const int64_t deadline = g_get_monotonic_time() + static_cast<int64_t>(timeout_ms) * 1000;
  while (replies_.count(id) == 0) {
    const int64_t left_ms = (deadline - g_get_monotonic_time()) / 1000;
    Frame frame;
    std::string error;
    if (left_ms <= 0 || !ReadFrame(static_cast<int>(left_ms), &frame, &error)) {
      return "no reply: " + (error.empty() ? std::string("timeout") : error);
    }
  }
  const std::string& payload = replies_[id];
  if (payload.empty()) {
    return "not implemented";
  }
  g_autoptr(GBytes) bytes = g_bytes_new(payload.data(), payload.size());
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlMethodResponse) response =
      FL_METHOD_CODEC_GET_CLASS(Codec())->decode_response(Codec(), bytes, &error);
  if (response == nullptr) {
    return std::string("undecodable reply: ") + error->message;
  }
  return RenderResponse(response);
}

void RawBridge::Drain(int ms) {
  const int64_t deadline = g_get_monotonic_time() + static_cast<int64_t>(ms) * 1000;
  for (;;) {
    const int64_t left_ms = (deadline - g_get_monotonic_time()) / 1000;
    Frame frame;
    std::string error;
    if (left_ms <= 0 || !ReadFrame(static_cast<int>(left_ms), &frame, &error)) {
      return;
    }
  }
}

std::vector<std::string> RawBridge::Events(const std::string& channel) const {
  std::vector<std::string> events;
  for (const HostMessage& message : host_messages_) {
    if (message.channel != channel) {
      continue;
    }
    if (message.payload.empty()) {
      events.push_back("end");
      continue;
    }
    g_autoptr(GBytes) bytes = g_bytes_new(message.payload.data(), message.payload.size());
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlMethodResponse) response =
        FL_METHOD_CODEC_GET_CLASS(Codec())->decode_response(Codec(), bytes, &error);
    if (response == nullptr) {
      events.push_back("undecodable");
    } else if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
      events.push_back("event " + RenderValue(fl_method_success_response_get_result(
                                      FL_METHOD_SUCCESS_RESPONSE(response))));
    } else {
      events.push_back(RenderResponse(response));
    }
  }
  return events;
}

bool RawBridge::ReadFull(size_t bytes, int64_t deadline_us, std::string* error) {
  while (in_.size() < bytes) {
    if (fd_ < 0) {
      *error = "not connected";
      return false;
    }
    int64_t left_us = deadline_us - g_get_monotonic_time();
    if (left_us <= 0) {
      *error = "timeout";
      return false;
    }
    struct pollfd pfd = {fd_, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>((left_us + 999) / 1000));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      *error = "timeout";
      return false;
    }
    char buffer[65536];
    ssize_t n = read(fd_, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      *error = "the host closed the connection";
      close(fd_);
      fd_ = -1;
      return false;
    }
    in_.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

bool RawBridge::ReadFrame(int timeout_ms, Frame* frame, std::string* error) {
  const int64_t deadline = g_get_monotonic_time() + static_cast<int64_t>(timeout_ms) * 1000;
  if (!ReadFull(4, deadline, error)) {
    return false;
  }
  const uint32_t length = ui_bridge::ReadLe32(in_.data());
  if (length < ui_bridge::kHeaderSize || length > ui_bridge::kMaxFrame) {
    *error = "malformed frame length " + std::to_string(length);
    close(fd_);
    fd_ = -1;
    return false;
  }
  if (!ReadFull(ui_bridge::kLengthSize + static_cast<size_t>(length), deadline, error)) {
    return false;
  }
  std::string body = in_.substr(ui_bridge::kLengthSize, length);
  in_.erase(0, ui_bridge::kLengthSize + static_cast<size_t>(length));
  ui_bridge::FrameView view;
  if (ui_bridge::DecodeBody(body.data(), body.size(), &view) != ui_bridge::BodyStatus::kOk) {
    *error = "malformed frame from the host";
    close(fd_);
    fd_ = -1;
    return false;
  }
  frame->kind = view.kind;
  frame->id = view.id;
  frame->channel.assign(view.channel != nullptr ? view.channel : "", view.channel_length);
  frame->payload.assign(view.payload, view.payload_length);

  if (frame->kind == kKindReply) {
    if (++reply_counts_[frame->id] == 1) {
      replies_[frame->id] = frame->payload;
    }
  } else if (frame->kind == kKindMessage) {
    host_messages_.push_back({frame->channel, frame->payload});
    // The UI answers every host message; an event needs no content in the reply.
    const std::string reply = BridgeClient::EncodeFrame(kKindReply, frame->id, "", "");
    if (send(fd_, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
      *error = std::string("send: ") + strerror(errno);
    }
  }
  return true;
}

}  // namespace korvane_test
