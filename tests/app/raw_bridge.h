#ifndef TESTS_APP_RAW_BRIDGE_H_
#define TESTS_APP_RAW_BRIDGE_H_

// A UI-side client of the host's bridge that keeps every frame it reads: replies to calls it did
// not make or already saw answered, and every message the host sends (events). Tests use it where
// "exactly one answer" and "nothing was sent" must be seen on the wire. Not thread-safe.

#include <flutter_linux/flutter_linux.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/korvanectl/bridge_client.h"

namespace korvane_test {

using korvane::BridgeClient;
using korvane::FlValuePtr;

class RawBridge {
 public:
  // A message the host sent to the UI side.
  struct HostMessage {
    std::string channel;
    std::string payload;
  };

  RawBridge() = default;
  ~RawBridge();
  RawBridge(const RawBridge&) = delete;
  RawBridge& operator=(const RawBridge&) = delete;

  // Connects and reads the hello frame.
  bool Connect(const std::string& socket_path, int timeout_ms, std::string* error);

  // Sends a method call (args may be null); returns its id.
  uint32_t Send(const std::string& channel, const std::string& method, FlValue* args);
  // Sends a call and waits for its reply. Returns the reply rendered as text: "success <json>",
  // "error <code>: <message>" (with " details <json>" when details are not null),
  // "not implemented", or "no reply: <why>".
  std::string Call(const std::string& channel,
                   const std::string& method,
                   FlValue* args,
                   int timeout_ms);
  // Waits for the reply of call |id| (see Call).
  std::string WaitForReply(uint32_t id, int timeout_ms);
  // Reads whatever arrives during |ms| (replies and host messages are recorded as usual).
  void Drain(int ms);

  // Replies read so far, by id: a correct host sends exactly one per call.
  const std::map<uint32_t, int>& reply_counts() const { return reply_counts_; }
  // Messages the host sent so far, in order (each was answered with an empty reply).
  const std::vector<HostMessage>& host_messages() const { return host_messages_; }
  // Host messages on |channel| decoded as event envelopes: "event <json>", "error ...", "end".
  std::vector<std::string> Events(const std::string& channel) const;
  bool connected() const { return fd_ >= 0; }

 private:
  struct Frame {
    uint8_t kind = 0;
    uint32_t id = 0;
    std::string channel;
    std::string payload;
  };
  // Reads one frame and records it; false on timeout or a closed connection (*error says why).
  bool ReadFrame(int timeout_ms, Frame* frame, std::string* error);
  bool ReadFull(size_t bytes, int64_t deadline_us, std::string* error);

  int fd_ = -1;
  uint32_t next_id_ = 1;
  std::string in_;
  std::map<uint32_t, int> reply_counts_;
  std::map<uint32_t, std::string> replies_;
  std::vector<HostMessage> host_messages_;
};

// Renders a decoded method response as RawBridge::Call does.
std::string RenderResponse(FlMethodResponse* response);
// Renders a value as compact JSON, map entries in their order ("null" for nullptr).
std::string RenderValue(FlValue* value);

}  // namespace korvane_test

#endif  // TESTS_APP_RAW_BRIDGE_H_
