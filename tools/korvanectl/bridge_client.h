#ifndef TOOLS_KORVANECTL_BRIDGE_CLIENT_H_
#define TOOLS_KORVANECTL_BRIDGE_CLIENT_H_

#include <flutter_linux/flutter_linux.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>

#include "embedding/include-private/ui_bridge_frame.h"

namespace korvane {

struct FlValueDeleter {
  void operator()(FlValue* value) const { fl_value_unref(value); }
};
using FlValuePtr = std::unique_ptr<FlValue, FlValueDeleter>;

// The UI side of the host's UI bridge: one blocking connection over its Unix socket, speaking
// the frames the host speaks (4-byte little-endian length, kind, id, [channel], payload) with
// the standard method codec. Not thread-safe: use one client from one thread.
//
// Timeouts are in milliseconds; a negative timeout waits for ever.
class BridgeClient {
 public:
  static constexpr uint8_t kKindMessage = ui_bridge::kKindMessage;
  static constexpr uint8_t kKindReply = ui_bridge::kKindReply;
  static constexpr uint8_t kKindHello = ui_bridge::kKindHello;

  enum class Status {
    kSuccess,         // success envelope (result set)
    kError,           // error envelope (code, message, details set)
    kNotImplemented,  // empty reply: no handler on that channel
    kClosed,          // the host closed the connection (or there was none)
    kTimeout,         // nothing arrived in time
    kProtocolError,   // the host sent something that is not a valid frame or envelope
  };

  struct Response {
    Status status = Status::kClosed;
    FlValuePtr result;
    std::string code;
    std::string message;
    FlValuePtr details;
    std::string failure;  // why, for kClosed, kTimeout and kProtocolError
  };

  struct Event {
    enum class Kind { kData, kError, kEndOfStream };
    Kind kind = Kind::kData;
    std::string channel;
    FlValuePtr value;  // kData
    std::string code;  // kError
    std::string message;
    FlValuePtr details;
  };

  // The socket path rule the host uses: KORVANE_UI_SOCKET, else
  // $XDG_RUNTIME_DIR/korvane/ui.sock, else /tmp/korvane-<real uid>/ui.sock.
  static std::string DefaultSocketPath();

  BridgeClient();
  ~BridgeClient();
  BridgeClient(const BridgeClient&) = delete;
  BridgeClient& operator=(const BridgeClient&) = delete;

  // Connects to |path| and reads the hello frame.
  bool Connect(const std::string& path, int timeout_ms, std::string* error);
  // Connects only; the hello is still to be read (ReadHello) or the refusal to be seen.
  // Refuses (before sending anything) a path whose directory is not ours alone (a directory of
  // our real uid, not a link, without group or other write) and a server of another uid.
  // *error is one sentence naming the path ("no host at PATH: ...", "refusing PATH: ...").
  bool ConnectSocket(const std::string& path, std::string* error);
  bool ReadHello(int timeout_ms, std::string* error);
  // The hello map, borrowed; null before ReadHello succeeded.
  FlValue* hello() const { return hello_.get(); }

  // Sends a method call on |channel| (args may be null) and waits for its reply. Messages the
  // host sends meanwhile are answered and, on listened channels, queued as events.
  Response Call(const std::string& channel,
                const std::string& method,
                FlValue* args,
                int timeout_ms);
  // Sends "listen" on the event channel |channel|; events are then read with NextEvent.
  Response Listen(const std::string& channel, FlValue* args, int timeout_ms);
  Response Cancel(const std::string& channel, FlValue* args, int timeout_ms);
  // Waits for the next event on a listened channel.
  Status NextEvent(int timeout_ms, Event* event, std::string* error);

  // Sends a message frame with a raw payload and waits for the raw reply payload (which may be
  // empty). Returns kSuccess when a reply arrived.
  Status Request(const std::string& channel,
                 const std::string& payload,
                 std::string* reply,
                 int timeout_ms,
                 std::string* error);
  // Writes bytes as they are (for tests of malformed input).
  bool SendRaw(const std::string& bytes);
  // Encodes a frame; kind 1 carries the channel name.
  static std::string EncodeFrame(uint8_t kind,
                                 uint32_t id,
                                 const std::string& channel,
                                 const std::string& payload);
  // Waits until the host closes the connection; true if it did within the timeout.
  bool WaitForClose(int timeout_ms);

  bool connected() const { return fd_ >= 0; }
  void Close();

  // Replies that arrived for no call being waited for (a second or late answer); they are
  // dropped, and counted so a test can see them.
  int unmatched_replies() const { return unmatched_replies_; }

 private:
  struct Frame {
    uint8_t kind = 0;
    uint32_t id = 0;
    std::string channel;
    std::string payload;
  };

  // Reads one frame, waiting at most until |deadline_us| (monotonic; negative: for ever).
  Status ReadFrame(int64_t deadline_us, Frame* frame, std::string* error);
  // Answers a host message and queues it when its channel is listened.
  void HandleHostMessage(const Frame& frame);
  // Reads frames until the reply to `id` (its payload into *payload), or with a null `id` until
  // one host message; host messages are answered on the way and stray replies counted.
  Status ReadUntilReply(int64_t deadline_us,
                        const uint32_t* id,
                        std::string* payload,
                        std::string* error);
  Status WaitForReply(uint32_t id, int timeout_ms, std::string* payload, std::string* error);
  Response DecodeResponse(const std::string& payload);
  bool ParseEvent(const std::string& payload, Event* event, std::string* error);

  int fd_ = -1;
  uint32_t next_id_ = 1;
  std::string in_;
  FlValuePtr hello_;
  std::set<std::string> listened_;
  std::deque<Frame> events_;
  int unmatched_replies_ = 0;
  FlMethodCodec* codec_;
};

// A readable name for a status ("success", "not implemented", ...).
const char* StatusName(BridgeClient::Status status);

}  // namespace korvane

#endif  // TOOLS_KORVANECTL_BRIDGE_CLIENT_H_
