#ifndef CONTROL_PANEL_PANEL_CHANNEL_CLIENT_H_
#define CONTROL_PANEL_PANEL_CHANNEL_CLIENT_H_

#include <functional>
#include <memory>
#include <string>

#include "fl_bridge_messenger.h"
#include "flutter_linux/fl_method_codec.h"
#include "flutter_linux/fl_value.h"

// The panel's side of the host's channels, spoken as the Dart UI speaks it: method calls and
// event-stream "listen"/"cancel" encoded with the standard method codec and sent through the
// engine's messenger in the UI-to-host direction; answers and events come back from the main
// loop. Nothing here calls host code. Main thread only.
class PanelChannelClient {
 public:
  // One answer to a method call.
  struct Answer {
    enum class Kind { kSuccess, kError, kNotImplemented, kFailed };
    Kind kind = Kind::kFailed;
    // The success value (a null value for a null result); nullptr otherwise.
    std::shared_ptr<FlValue> value;
    // The error's code and message, or for kFailed what went wrong on the way.
    std::string code;
    std::string message;

    bool ok() const { return kind == Kind::kSuccess; }
    // "CODE: message", "not implemented" or the failure, for the user.
    std::string Describe() const;
  };
  using AnswerCallback = std::function<void(const Answer&)>;
  // A data event (borrowed), or nullptr with an error text for an error event.
  using EventCallback = std::function<void(FlValue* event, const std::string& error)>;

  explicit PanelChannelClient(FlBridgeMessenger* messenger);
  // No callback runs after this.
  ~PanelChannelClient();
  PanelChannelClient(const PanelChannelClient&) = delete;
  PanelChannelClient& operator=(const PanelChannelClient&) = delete;

  // Calls @method on @channel with @args (borrowed; nullptr: none). @done runs once, later.
  void Invoke(const char* channel, const char* method, FlValue* args, AnswerCallback done);
  // Subscribes to the event channel @channel: installs the event handler, then sends "listen".
  void Listen(const char* channel, EventCallback on_event, AnswerCallback done);
  // Removes the event handler and sends "cancel".
  void Cancel(const char* channel);

 private:
  struct PendingCall;
  static void ReplyCb(GObject* source, GAsyncResult* result, gpointer user_data);
  static GBytes* EventCb(FlBridgeMessenger* messenger,
                         const gchar* channel,
                         GBytes* message,
                         gpointer user_data);

  FlBridgeMessenger* messenger_;
  FlMethodCodec* codec_;
  // Cancelled on destruction, so late answers are dropped.
  GCancellable* cancellable_;
  // The one event stream the panel listens to ("" when none) and its handler.
  std::string stream_channel_;
  EventCallback on_event_;
};

#endif  // CONTROL_PANEL_PANEL_CHANNEL_CLIENT_H_
