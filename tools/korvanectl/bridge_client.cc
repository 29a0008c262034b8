#include "tools/korvanectl/bridge_client.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

#include "embedding/include-private/ui_bridge_frame.h"

namespace korvane {

namespace {

int64_t DeadlineFor(int timeout_ms) {
  return timeout_ms < 0 ? -1 : g_get_monotonic_time() + static_cast<int64_t>(timeout_ms) * 1000;
}

// Milliseconds left until |deadline_us| for poll(): -1 for ever, 0 when passed.
int PollTimeout(int64_t deadline_us) {
  if (deadline_us < 0) {
    return -1;
  }
  int64_t left = deadline_us - g_get_monotonic_time();
  if (left <= 0) {
    return 0;
  }
  return static_cast<int>((left + 999) / 1000);
}

GBytes* BytesOf(const std::string& s) {
  return g_bytes_new(s.data(), s.size());
}

std::string StringOf(GBytes* bytes) {
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  return std::string(data != nullptr ? data : "", size);
}

// Whoever can write to the socket's directory can put a server of their own in the host's
// place, so it must be ours alone: a directory (not a link) of our real uid that nobody else
// may write to.
bool CheckSocketDirectory(const std::string& path, std::string* error) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  // lstat would follow a link named with a trailing slash.
  while (dir.size() > 1 && dir.back() == '/') {
    dir.pop_back();
  }
  if (dir.empty()) {
    dir = "/";
  }
  struct stat info;
  if (lstat(dir.c_str(), &info) != 0) {
    *error = "no host at " + path + ": " + strerror(errno);
    return false;
  }
  const std::string refusing = "refusing " + path + ": its directory " + dir;
  if (S_ISLNK(info.st_mode)) {
    *error = refusing + " is a symbolic link";
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *error = refusing + " is not a directory";
    return false;
  }
  if (info.st_uid != getuid()) {
    *error = refusing + " belongs to uid " + std::to_string(info.st_uid) + ", not to uid " +
             std::to_string(getuid());
    return false;
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(info.st_mode & 07777));
    *error = refusing + " is writable by others (mode " + mode + ")";
    return false;
  }
  return true;
}

// Only a server of our own uid is the host: another user's would be given our configuration.
bool CheckServer(int fd, const std::string& path, std::string* error) {
  struct ucred credentials = {};
  socklen_t size = sizeof(credentials);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
    *error = "refusing " + path + ": cannot read the server's credentials: " + strerror(errno);
    return false;
  }
  if (credentials.uid != getuid()) {
    *error = "refusing " + path + ": the server there runs as uid " +
             std::to_string(credentials.uid) + ", not as uid " + std::to_string(getuid());
    return false;
  }
  return true;
}

}  // namespace

const char* StatusName(BridgeClient::Status status) {
  switch (status) {
    case BridgeClient::Status::kSuccess:
      return "success";
    case BridgeClient::Status::kError:
      return "error";
    case BridgeClient::Status::kNotImplemented:
      return "not implemented";
    case BridgeClient::Status::kClosed:
      return "connection closed";
    case BridgeClient::Status::kTimeout:
      return "timeout";
    case BridgeClient::Status::kProtocolError:
      return "protocol error";
  }
  return "unknown";
}

std::string BridgeClient::DefaultSocketPath() {
  const char* explicit_path = getenv("KORVANE_UI_SOCKET");
  if (explicit_path != nullptr && explicit_path[0] != '\0') {
    return explicit_path;
  }
  const char* runtime_dir = getenv("XDG_RUNTIME_DIR");
  if (runtime_dir != nullptr && runtime_dir[0] != '\0') {
    return std::string(runtime_dir) + "/korvane/ui.sock";
  }
  return "/tmp/korvane-" + std::to_string(getuid()) + "/ui.sock";
}

BridgeClient::BridgeClient() : codec_(FL_METHOD_CODEC(fl_standard_method_codec_new())) {}

BridgeClient::~BridgeClient() {
  Close();
  g_object_unref(codec_);
}

void BridgeClient::Close() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  in_.clear();
  events_.clear();
  listened_.clear();
}

bool BridgeClient::ConnectSocket(const std::string& path, std::string* error) {
  Close();
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    *error = "socket path too long: " + path;
    return false;
  }
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (!CheckSocketDirectory(path, error)) {
    return false;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("cannot make a socket: ") + strerror(errno);
    return false;
  }
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
    int saved = errno;
    close(fd);
    *error = "no host at " + path + ": " + strerror(saved);
    return false;
  }
  if (!CheckServer(fd, path, error)) {
    close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool BridgeClient::Connect(const std::string& path, int timeout_ms, std::string* error) {
  return ConnectSocket(path, error) && ReadHello(timeout_ms, error);
}

bool BridgeClient::ReadHello(int timeout_ms, std::string* error) {
  Frame frame;
  Status status = ReadFrame(DeadlineFor(timeout_ms), &frame, error);
  if (status != Status::kSuccess) {
    return false;
  }
  if (frame.kind != kKindHello || frame.id != 0) {
    *error = "first frame is not a hello";
    return false;
  }
  g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
  g_autoptr(GBytes) bytes = BytesOf(frame.payload);
  g_autoptr(GError) decode_error = nullptr;
  FlValue* value = fl_message_codec_decode_message(FL_MESSAGE_CODEC(codec), bytes, &decode_error);
  if (value == nullptr) {
    *error = std::string("undecodable hello: ") + decode_error->message;
    return false;
  }
  hello_.reset(value);
  if (fl_value_get_type(value) != FL_VALUE_TYPE_MAP) {
    hello_.reset();
    *error = "hello is not a map";
    return false;
  }
  return true;
}

std::string BridgeClient::EncodeFrame(uint8_t kind,
                                      uint32_t id,
                                      const std::string& channel,
                                      const std::string& payload) {
  return ui_bridge::EncodeFrame(kind, id, channel, payload);
}

bool BridgeClient::SendRaw(const std::string& bytes) {
  size_t done = 0;
  while (fd_ >= 0 && done < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return fd_ >= 0;
}

BridgeClient::Status BridgeClient::ReadFrame(int64_t deadline_us,
                                             Frame* frame,
                                             std::string* error) {
  for (;;) {
    if (in_.size() >= ui_bridge::kLengthSize) {
      uint32_t length = ui_bridge::ReadLe32(in_.data());
      if (length > ui_bridge::kMaxFrame || length < ui_bridge::kHeaderSize) {
        *error = "malformed frame length " + std::to_string(length);
        return Status::kProtocolError;
      }
      if (in_.size() >= ui_bridge::kLengthSize + static_cast<size_t>(length)) {
        std::string body = in_.substr(ui_bridge::kLengthSize, length);
        in_.erase(0, ui_bridge::kLengthSize + static_cast<size_t>(length));
        ui_bridge::FrameView view;
        switch (ui_bridge::DecodeBody(body.data(), body.size(), &view)) {
          case ui_bridge::BodyStatus::kShortMessage:
            *error = "short message frame";
            return Status::kProtocolError;
          case ui_bridge::BodyStatus::kTruncatedChannel:
            *error = "truncated channel name";
            return Status::kProtocolError;
          default:
            break;
        }
        frame->kind = view.kind;
        frame->id = view.id;
        frame->channel.assign(view.channel != nullptr ? view.channel : "", view.channel_length);
        frame->payload.assign(view.payload, view.payload_length);
        return Status::kSuccess;
      }
    }
    if (fd_ < 0) {
      *error = "not connected";
      return Status::kClosed;
    }
    struct pollfd pfd = {fd_, POLLIN, 0};
    int ready = poll(&pfd, 1, PollTimeout(deadline_us));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready == 0) {
      *error = "no answer from the host in time";
      return Status::kTimeout;
    }
    char buffer[65536];
    ssize_t n = read(fd_, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      *error = n == 0 ? "the host closed the connection" : std::string("read: ") + strerror(errno);
      close(fd_);
      fd_ = -1;
      return Status::kClosed;
    }
    in_.append(buffer, static_cast<size_t>(n));
  }
}

void BridgeClient::HandleHostMessage(const Frame& frame) {
  // The UI answers every host message; events need no content in the reply.
  SendRaw(EncodeFrame(kKindReply, frame.id, "", ""));
  if (listened_.count(frame.channel) != 0) {
    events_.push_back(frame);
  }
}

BridgeClient::Status BridgeClient::ReadUntilReply(int64_t deadline_us,
                                                  const uint32_t* id,
                                                  std::string* payload,
                                                  std::string* error) {
  for (;;) {
    Frame frame;
    Status status = ReadFrame(deadline_us, &frame, error);
    if (status != Status::kSuccess) {
      return status;
    }
    if (frame.kind == kKindMessage) {
      HandleHostMessage(frame);
      if (id == nullptr) {
        return Status::kSuccess;
      }
    } else if (frame.kind == kKindReply && id != nullptr && frame.id == *id) {
      *payload = std::move(frame.payload);
      return Status::kSuccess;
    } else if (frame.kind == kKindReply) {
      unmatched_replies_++;
    } else {
      *error = "unexpected frame kind " + std::to_string(frame.kind);
      return Status::kProtocolError;
    }
  }
}

BridgeClient::Status BridgeClient::WaitForReply(uint32_t id,
                                                int timeout_ms,
                                                std::string* payload,
                                                std::string* error) {
  return ReadUntilReply(DeadlineFor(timeout_ms), &id, payload, error);
}

BridgeClient::Status BridgeClient::Request(const std::string& channel,
                                           const std::string& payload,
                                           std::string* reply,
                                           int timeout_ms,
                                           std::string* error) {
  uint32_t id = next_id_++;
  if (!SendRaw(EncodeFrame(kKindMessage, id, channel, payload))) {
    *error = "not connected to the host";
    return Status::kClosed;
  }
  return WaitForReply(id, timeout_ms, reply, error);
}

BridgeClient::Response BridgeClient::DecodeResponse(const std::string& payload) {
  Response response;
  if (payload.empty()) {
    response.status = Status::kNotImplemented;
    return response;
  }
  g_autoptr(GBytes) bytes = BytesOf(payload);
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlMethodResponse) decoded =
      FL_METHOD_CODEC_GET_CLASS(codec_)->decode_response(codec_, bytes, &error);
  if (decoded == nullptr) {
    response.status = Status::kProtocolError;
    response.failure = std::string("undecodable reply: ") + error->message;
  } else if (FL_IS_METHOD_SUCCESS_RESPONSE(decoded)) {
    response.status = Status::kSuccess;
    response.result.reset(
        fl_value_ref(fl_method_success_response_get_result(FL_METHOD_SUCCESS_RESPONSE(decoded))));
  } else if (FL_IS_METHOD_ERROR_RESPONSE(decoded)) {
    FlMethodErrorResponse* error_response = FL_METHOD_ERROR_RESPONSE(decoded);
    response.status = Status::kError;
    response.code = fl_method_error_response_get_code(error_response);
    const gchar* message = fl_method_error_response_get_message(error_response);
    response.message = message != nullptr ? message : "";
    FlValue* details = fl_method_error_response_get_details(error_response);
    if (details != nullptr) {
      response.details.reset(fl_value_ref(details));
    }
  } else {
    response.status = Status::kNotImplemented;
  }
  return response;
}

BridgeClient::Response BridgeClient::Call(const std::string& channel,
                                          const std::string& method,
                                          FlValue* args,
                                          int timeout_ms) {
  Response response;
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) message =
      FL_METHOD_CODEC_GET_CLASS(codec_)->encode_method_call(codec_, method.c_str(), args, &error);
  if (message == nullptr) {
    response.status = Status::kProtocolError;
    response.failure = std::string("cannot encode the call: ") + error->message;
    return response;
  }
  std::string reply;
  response.status = Request(channel, StringOf(message), &reply, timeout_ms, &response.failure);
  if (response.status != Status::kSuccess) {
    return response;
  }
  return DecodeResponse(reply);
}

BridgeClient::Response BridgeClient::Listen(const std::string& channel,
                                            FlValue* args,
                                            int timeout_ms) {
  // Listen before the reply arrives: the host may send its first event right after it.
  listened_.insert(channel);
  Response response = Call(channel, "listen", args, timeout_ms);
  if (response.status != Status::kSuccess) {
    listened_.erase(channel);
  }
  return response;
}

BridgeClient::Response BridgeClient::Cancel(const std::string& channel,
                                            FlValue* args,
                                            int timeout_ms) {
  listened_.erase(channel);
  return Call(channel, "cancel", args, timeout_ms);
}

bool BridgeClient::ParseEvent(const std::string& payload, Event* event, std::string* error) {
  if (payload.empty()) {
    event->kind = Event::Kind::kEndOfStream;
    return true;
  }
  Response response = DecodeResponse(payload);
  if (response.status == Status::kSuccess) {
    event->kind = Event::Kind::kData;
    event->value = std::move(response.result);
    return true;
  }
  if (response.status == Status::kError) {
    event->kind = Event::Kind::kError;
    event->code = response.code;
    event->message = response.message;
    event->details = std::move(response.details);
    return true;
  }
  *error = response.failure;
  return false;
}

BridgeClient::Status BridgeClient::NextEvent(int timeout_ms, Event* event, std::string* error) {
  int64_t deadline = DeadlineFor(timeout_ms);
  while (events_.empty()) {
    // Up to the next host message (queued when its channel is listened).
    Status status = ReadUntilReply(deadline, nullptr, nullptr, error);
    if (status != Status::kSuccess) {
      return status;
    }
  }
  Frame frame = std::move(events_.front());
  events_.pop_front();
  event->channel = frame.channel;
  if (!ParseEvent(frame.payload, event, error)) {
    return Status::kProtocolError;
  }
  return Status::kSuccess;
}

bool BridgeClient::WaitForClose(int timeout_ms) {
  int64_t deadline = DeadlineFor(timeout_ms);
  for (;;) {
    Frame frame;
    std::string error;
    Status status = ReadFrame(deadline, &frame, &error);
    if (status == Status::kClosed) {
      return true;
    }
    if (status == Status::kTimeout || status == Status::kProtocolError) {
      return false;
    }
    if (frame.kind == kKindMessage) {
      HandleHostMessage(frame);
    }
  }
}

}  // namespace korvane
